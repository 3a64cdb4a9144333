#include "serialdialog.h"

#include "cfgfile.h"
#include "imageplan.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
// Wide enough for a list file's path.
constexpr int kMinimumWidth = 460;
const char *const kFormats[] = {"le", "be", "dec", "hex"};
const char *const kFormatNames[] = {"二进制，小端", "二进制，大端", "十进制字符", "十六进制字符"};

QString setting(const char *key, const QString &fallback)
{
    QString value = fallback;
    readValue(QLatin1String(key), value);
    return value;
}

} // namespace

serialSettings serialSettings::read()
{
    serialSettings s;
    s.enabled = setting("serial_flag", QStringLiteral("0")).toUInt() == 1;
    s.address = setting("serial_addr", s.address);
    s.fromList = setting("serial_mode", QStringLiteral("counter")) == QLatin1String("list");
    s.start = setting("serial_start", s.start);
    s.step = setting("serial_step", s.step);
    s.bytes = setting("serial_bytes", QString::number(s.bytes)).toInt();
    s.format = setting("serial_format", s.format);
    s.listPath = setting("serial_list", s.listPath);
    return s;
}

QMap<QString, QString> serialSettings::keys() const
{
    return {{QStringLiteral("serial_addr"), address},
            {QStringLiteral("serial_mode"), fromList ? QStringLiteral("list") : QStringLiteral("counter")},
            {QStringLiteral("serial_start"), start},
            {QStringLiteral("serial_step"), step},
            {QStringLiteral("serial_bytes"), QString::number(bytes)},
            {QStringLiteral("serial_format"), format},
            {QStringLiteral("serial_list"), listPath}};
}

bool serialSettings::rule(serialRule *out, QString *why) const
{
    serialRule r;
    QString digits = address.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]{1,8}$"));
    if (!hexDigits.match(digits).hasMatch()) {
        *why = QStringLiteral("序列号地址“%1”无效").arg(address);
        return false;
    }
    r.address = digits.toUInt(nullptr, 16);
    if (!imagePlan::aligned(r.address)) {
        *why = QStringLiteral("序列号地址未进行4k对齐，请检查序列号地址！（“%1”）").arg(address);
        return false;
    }
    if (fromList) {
        const serialListProblem p = loadSerialList(listPath, &r);
        if (p) {
            *why = serialListProblemText(p) + QStringLiteral("：") + QDir::toNativeSeparators(listPath);
            return false;
        }
        *out = r;
        return true;
    }
    r.bytes = bytes;
    if (!parseSerialCounter(start, &r.start)) {
        *why = QStringLiteral("序列号起始值“%1”无效（十进制，或以0x开头的十六进制）").arg(start);
        return false;
    }
    if (!parseSerialCounter(step, &r.step)) {
        *why = QStringLiteral("序列号步长“%1”无效").arg(step);
        return false;
    }
    if (!parseSerialFormat(format, &r.written)) {
        *why = QStringLiteral("序列号格式“%1”无效").arg(format);
        return false;
    }
    switch (checkCounterRule(r)) {
    case serialFault::badBytes:
        *why = QStringLiteral("序列号字节数须为1到%1").arg(kMaxCounterBytes);
        return false;
    case serialFault::badStep:
        *why = QStringLiteral("序列号步长须至少为1");
        return false;
    case serialFault::startTooWide:
        *why = QStringLiteral("序列号起始值“%1”超出%2字节所能表示的范围").arg(start).arg(bytes);
        return false;
    case serialFault::none:
        break;
    }
    *out = r;
    return true;
}

serialDialog::serialDialog(const serialSettings &settings, QWidget *parent)
    : QDialog(parent)
    , initial(settings)
    , address(new QLineEdit(settings.address, this))
    , counter(new QRadioButton(QStringLiteral("计数器"), this))
    , list(new QRadioButton(QStringLiteral("列表文件"), this))
    , start(new QLineEdit(settings.start, this))
    , step(new QLineEdit(settings.step, this))
    , bytes(new QSpinBox(this))
    , format(new QComboBox(this))
    , listPath(new QLineEdit(settings.listPath, this))
    , choose(new QPushButton(QStringLiteral("选择文件"), this))
    , problem(new QLabel(this))
{
    setWindowTitle(QStringLiteral("序列号设置"));
    setObjectName(QStringLiteral("serialDialog"));
    address->setObjectName(QStringLiteral("leSerialAddr"));
    address->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("(0[xX])?[0-9A-Fa-f]{0,8}")), address));
    address->setPlaceholderText(QStringLiteral("4k对齐，例如 3ff000"));
    counter->setObjectName(QStringLiteral("rbSerialCounter"));
    list->setObjectName(QStringLiteral("rbSerialList"));
    start->setObjectName(QStringLiteral("leSerialStart"));
    step->setObjectName(QStringLiteral("leSerialStep"));
    bytes->setObjectName(QStringLiteral("sbSerialBytes"));
    bytes->setRange(1, kMaxCounterBytes);
    bytes->setValue(settings.bytes);
    format->setObjectName(QStringLiteral("cbSerialFormat"));
    for (int i = 0; i < 4; ++i) {
        format->addItem(QString::fromUtf8(kFormatNames[i]), QLatin1String(kFormats[i]));
        if (settings.format == QLatin1String(kFormats[i]))
            format->setCurrentIndex(i);
    }
    listPath->setObjectName(QStringLiteral("leSerialList"));
    problem->setObjectName(QStringLiteral("lbSerialProblem"));
    problem->setStyleSheet(QStringLiteral("color:red;"));
    problem->setWordWrap(true);
    (settings.fromList ? list : counter)->setChecked(true);

    setMinimumWidth(kMinimumWidth);
    connect(choose, &QPushButton::clicked, this, &serialDialog::chooseList);
    auto *listRow = new QHBoxLayout;
    listRow->addWidget(listPath, 1);
    listRow->addWidget(choose);
    auto *modeRow = new QHBoxLayout;
    modeRow->addWidget(counter);
    modeRow->addWidget(list);
    modeRow->addStretch(1);

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("写入地址：0x"), address);
    form->addRow(QStringLiteral("来源："), modeRow);
    form->addRow(QStringLiteral("起始值："), start);
    form->addRow(QStringLiteral("步长："), step);
    form->addRow(QStringLiteral("字节数："), bytes);
    form->addRow(QStringLiteral("格式："), format);
    form->addRow(QStringLiteral("列表文件："), listRow);
    auto *note = new QLabel(QStringLiteral("每块芯片写入一个不重复的值；列表文件每行一个值（十六进制字节，可用“:”“-”或空格分隔），"
                                           "空行和以“#”开头的行跳过。"),
                            this);
    note->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &serialDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &serialDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(problem);
    layout->addWidget(buttons);
    connect(counter, &QRadioButton::toggled, this, &serialDialog::showMode);
    showMode();
}

serialSettings serialDialog::settings() const
{
    serialSettings s = initial;
    s.address = address->text().trimmed();
    s.fromList = list->isChecked();
    s.start = start->text().trimmed();
    s.step = step->text().trimmed();
    s.bytes = bytes->value();
    s.format = format->currentData().toString();
    s.listPath = listPath->text().trimmed();
    return s;
}

void serialDialog::accept()
{
    serialRule rule;
    QString why;
    if (!settings().rule(&rule, &why)) {
        problem->setText(why);
        return;
    }
    QDialog::accept();
}

void serialDialog::chooseList()
{
    const QString current = listPath->text().trimmed();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("选择序列号列表文件"),
                                                      current.isEmpty() ? QDir::homePath() : QFileInfo(current).absolutePath());
    if (!path.isEmpty())
        listPath->setText(path);
}

void serialDialog::showMode()
{
    const bool fromCounter = counter->isChecked();
    for (QWidget *w : {static_cast<QWidget *>(start), static_cast<QWidget *>(step), static_cast<QWidget *>(bytes),
                       static_cast<QWidget *>(format)})
        w->setEnabled(fromCounter);
    listPath->setEnabled(!fromCounter);
    choose->setEnabled(!fromCounter);
}
