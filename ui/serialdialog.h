#pragma once
#include <QDialog>
#include <QMap>
#include <QString>

#include "serialrule.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

// The factory window's serial rule as its settings file keeps it (the keys
// serial_*, added the first time they are used).
struct serialSettings {
    bool enabled = false;
    QString address;
    bool fromList = false;
    QString start = QStringLiteral("0");
    QString step = QStringLiteral("1");
    int bytes = 4;
    QString format = QStringLiteral("le");
    QString listPath;

    // From the settings file; a missing key keeps its default.
    static serialSettings read();
    // Every key but serial_flag, for the file.
    QMap<QString, QString> keys() const;
    // The rule these settings make, the list file read; false with why
    // not, in the operator's words.
    bool rule(serialRule *rule, QString *why) const;
};

// "序列号设置": where each chip's value goes and where it comes from. OK
// keeps the dialog open while the settings would not make a rule.
class serialDialog : public QDialog
{
    Q_OBJECT

public:
    serialDialog(const serialSettings &settings, QWidget *parent = nullptr);
    serialSettings settings() const;

    void accept() override;

private:
    void chooseList();
    void showMode();

    serialSettings initial;
    QLineEdit *address;
    QRadioButton *counter;
    QRadioButton *list;
    QLineEdit *start;
    QLineEdit *step;
    QSpinBox *bytes;
    QComboBox *format;
    QLineEdit *listPath;
    QPushButton *choose;
    QLabel *problem;
};
