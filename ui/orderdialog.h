#pragma once
#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QCheckBox;
class QDialogButtonBox;
class QLineEdit;

// "保存为工单…": what an order needs beyond the window's file rows, speed
// and options: its number, product, quantity and chip models.
class orderDialog : public QDialog
{
    Q_OBJECT

public:
    // number: the proposed order number; models: those of the catalogue.
    orderDialog(const QString &number, const QStringList &models, QWidget *parent = nullptr);

    QString number() const;
    QString product() const;
    qint64 quantity() const;  // 0: no limit
    QStringList models() const;

private:
    void follow();

    QLineEdit *numberEdit;
    QLineEdit *productEdit;
    QLineEdit *quantityEdit;
    QList<QCheckBox *> modelBoxes;
    QDialogButtonBox *buttons;
};
