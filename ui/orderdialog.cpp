#include "orderdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

orderDialog::orderDialog(const QString &number, const QStringList &models, QWidget *parent)
    : QDialog(parent)
    , numberEdit(new QLineEdit(number, this))
    , productEdit(new QLineEdit(this))
    , quantityEdit(new QLineEdit(QStringLiteral("0"), this))
    , buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
{
    setWindowTitle(QStringLiteral("保存为工单"));
    numberEdit->setObjectName(QStringLiteral("leOrderNumber"));
    productEdit->setObjectName(QStringLiteral("leOrderProduct"));
    quantityEdit->setObjectName(QStringLiteral("leOrderQuantity"));
    quantityEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,15}")), this));
    quantityEdit->setToolTip(QStringLiteral("需要的良品数量，0为不限数量"));
    auto *modelRow = new QHBoxLayout;
    for (const QString &model : models) {
        auto *box = new QCheckBox(model, this);
        box->setObjectName(QStringLiteral("cbOrderModel_") + model);
        modelRow->addWidget(box);
        modelBoxes.append(box);
        connect(box, &QCheckBox::toggled, this, &orderDialog::follow);
    }
    auto *form = new QFormLayout(this);
    form->addRow(QStringLiteral("工单号："), numberEdit);
    form->addRow(QStringLiteral("产品："), productEdit);
    form->addRow(QStringLiteral("数量："), quantityEdit);
    form->addRow(QStringLiteral("芯片型号："), modelRow);
    form->addRow(buttons);
    connect(numberEdit, &QLineEdit::textChanged, this, &orderDialog::follow);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    follow();
}

void orderDialog::follow()
{
    // An order fixes its models: at least one must be chosen.
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!number().isEmpty() && !models().isEmpty());
}

QString orderDialog::number() const
{
    return numberEdit->text().trimmed();
}

QString orderDialog::product() const
{
    return productEdit->text().trimmed();
}

qint64 orderDialog::quantity() const
{
    return quantityEdit->text().toLongLong();
}

QStringList orderDialog::models() const
{
    QStringList chosen;
    for (const QCheckBox *box : modelBoxes) {
        if (box->isChecked())
            chosen << box->text();
    }
    return chosen;
}
