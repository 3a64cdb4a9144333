#include "scriptedhand.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QWidget>

#include <cstdio>

namespace {
constexpr int kTickMs = 50;

QWidget *visibleWindow(const QString &name)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->objectName() == name)
            return w;
    }
    return nullptr;
}

// NAME, or a path "outer/inner" where a window holds several NAMEs.
QWidget *visibleWidget(const QString &path)
{
    const QStringList names = path.split(QLatin1Char('/'));
    QList<QWidget *> scope;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->isVisible())
            scope << top;
    }
    for (const QString &name : names) {
        QList<QWidget *> found;
        for (QWidget *outer : qAsConst(scope)) {
            if (outer->objectName() == name && outer->isWindow())
                found << outer;
            for (QWidget *w : outer->findChildren<QWidget *>(name)) {
                if (w->isVisible())
                    found << w;
            }
        }
        scope = found;
    }
    return scope.value(0);
}

// A button's words without its shortcut mark: "否(&N)" and "&No" read "否"
// and "No".
QString plainText(QString text)
{
    static const QRegularExpression mark(QStringLiteral("\\(&.\\)$"));
    return text.remove(mark).remove(QLatin1Char('&'));
}

QString textOf(const QWidget *w)
{
    if (auto *label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(w))
        return edit->text();
    if (auto *combo = qobject_cast<const QComboBox *>(w))
        return combo->currentText();
    return QString();
}
} // namespace

scriptedHand::scriptedHand(const QString &text, QObject *parent)
    : QObject(parent)
{
    for (const QString &step : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!step.trimmed().isEmpty())
            steps << step.trimmed();
    }
    ticker.setInterval(kTickMs);
    connect(&ticker, &QTimer::timeout, this, &scriptedHand::tick);
    ticker.start();
}

void scriptedHand::startFromEnvironment(QObject *parent)
{
    const QString steps = qEnvironmentVariable("VQ_TEST_STEPS");
    if (!steps.isEmpty())
        new scriptedHand(steps, parent);
}

void scriptedHand::tick()
{
    if (steps.isEmpty()) {
        ticker.stop();
        return;
    }
    const QStringList words = steps.first().split(QLatin1Char(' '));
    static const QStringList verbs{QStringLiteral("press"), QStringLiteral("type"),  QStringLiteral("until"),
                                   QStringLiteral("answer"), QStringLiteral("close"), QStringLiteral("wait")};
    if (!verbs.contains(words.first())) {
        std::fprintf(stderr, "[step] unknown: %s\n", qUtf8Printable(steps.first()));
        steps.clear();
        return;
    }
    if (!perform(words))
        return;
    std::fprintf(stderr, "[step] %s\n", qUtf8Printable(steps.first()));
    std::fflush(stderr);
    steps.removeFirst();
    waitUntil = -1;
}

bool scriptedHand::perform(const QStringList &step)
{
    const QString verb = step.value(0);
    const QString name = step.value(1);
    const QString rest = step.mid(2).join(QLatin1Char(' '));
    if (verb == QLatin1String("wait")) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (waitUntil < 0)
            waitUntil = now + name.toLongLong();
        return now >= waitUntil;
    }
    if (verb == QLatin1String("answer")) {
        QWidget *box = QApplication::activeModalWidget();
        const QString wanted = step.mid(1).join(QLatin1Char(' '));
        for (QAbstractButton *b : box ? box->findChildren<QAbstractButton *>() : QList<QAbstractButton *>()) {
            if (b->isVisible() && plainText(b->text()) == wanted) {
                // Queued, like every action here: the hand must not wait
                // inside a dialog that the click opens.
                QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
                return true;
            }
        }
        return false;
    }
    if (verb == QLatin1String("close")) {
        QWidget *w = visibleWindow(name);
        if (w)
            QMetaObject::invokeMethod(w, "close", Qt::QueuedConnection);
        return w != nullptr;
    }
    QWidget *w = visibleWidget(name);
    if (!w)
        return false;
    if (verb == QLatin1String("until"))
        return textOf(w) == rest;
    if (verb == QLatin1String("type")) {
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            edit->setText(rest);
        else if (auto *combo = qobject_cast<QComboBox *>(w))
            combo->setCurrentText(rest);
        return true;
    }
    if (verb == QLatin1String("press")) {
        auto *button = qobject_cast<QAbstractButton *>(w);
        if (!button || !button->isEnabled())
            return false;
        QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
        return true;
    }
    return false;
}
