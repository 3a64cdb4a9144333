#include "appglobals.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

uint32_t deviceCount = 0;

void warnHighSpeed(QWidget *parent)
{
    QMessageBox::warning(parent, QStringLiteral("警告"),
                         QStringLiteral("请注意：高速模式虽然可以极大的提升下载速度，但是目前还处于测试阶段，"
                                        "如果出现多次下载失败的情况，请取消选中该模式！"
                                        "量产测试阶段烧录完成后应该对Flash进行校验，无误后方可使用本模式！"),
                         QMessageBox::Ok);
}

void acceptHexOnly(QLineEdit *field)
{
    field->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("(0[xX])?[0-9A-Fa-f]{0,8}")), field));
}

bool confirmWholeErase(QWidget *parent, int stations)
{
    const QString which = stations == 1 ? QStringLiteral("芯片") : QStringLiteral("所选%1个工位上芯片").arg(stations);
    return QMessageBox::question(parent, QStringLiteral("整片擦除"),
                                 QStringLiteral("整片擦除将清除%1的全部内容，确定要擦除吗？").arg(which),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void initToolResources()
{
    Q_INIT_RESOURCE(vq_download_tool);
}
