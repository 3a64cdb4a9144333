#include "appglobals.h"

#include <QMessageBox>

uint32_t deviceCount = 0;

void warnHighSpeed(QWidget *parent)
{
    QMessageBox::warning(parent, QStringLiteral("警告"),
                         QStringLiteral("请注意：高速模式虽然可以极大的提升下载速度，但是目前还处于测试阶段，"
                                        "如果出现多次下载失败的情况，请取消选中该模式！"
                                        "量产测试阶段烧录完成后应该对Flash进行校验，无误后方可使用本模式！"),
                         QMessageBox::Ok);
}

void initToolResources()
{
    Q_INIT_RESOURCE(vq_download_tool);
}
