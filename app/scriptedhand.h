#pragma once
#include <QObject>
#include <QStringList>
#include <QTimer>

// A test that runs the whole program in a child process has no hand to
// press its buttons; VQ_TEST_STEPS gives it one. Test use only.
//
// Steps, separated by ';', each waiting until it can be done:
//   press NAME        click the enabled button NAME of a visible window
//   type NAME TEXT    set line edit or combo box NAME to TEXT
//   until NAME TEXT   wait until the text of NAME reads TEXT
//   answer TEXT       click the button TEXT of the modal box that is up
//   close NAME        close the visible window NAME, as its title bar would
//   wait MS           let MS milliseconds pass
// Each step is echoed to standard error as "[step] ..." when done.
class scriptedHand : public QObject
{
    Q_OBJECT

public:
    explicit scriptedHand(const QString &steps, QObject *parent = nullptr);

    // Starts the hand when the variable is set.
    static void startFromEnvironment(QObject *parent);

private:
    void tick();
    bool perform(const QStringList &step);

    QStringList steps;
    QTimer ticker;
    qint64 waitUntil = -1;
};
