#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>

class QDeadlineTimer;
class QSerialPort;
class QTimer;

// Waits n milliseconds while the calling thread's events keep flowing (the
// receive timer of every Serial on this thread runs meanwhile). The thread
// sleeps in its event dispatcher between events instead of spinning.
void delayMs(int ms);
// The same wait, up to a deadline on the monotonic clock.
void waitUntil(const QDeadlineTimer &deadline);

// Benchmarks compare the sleeping wait with a processEvents spin, which
// costs a whole core per waiting thread; the tool itself never spins.
enum class WaitStyle { Sleep, Spin };
void setWaitStyle(WaitStyle style);

// One serial port, the bytes it has received and the budget of a reply wait.
// Owned and used by one thread; only closePort may be called from another.
class Serial : public QObject
{
    Q_OBJECT

public:
    Serial();
    ~Serial() override;

    bool openPort(const QString &portName, uint32_t baudRate);
    // The last openPort failed because another opener holds the device,
    // under whatever name it used.
    bool inUse() const { return busy; }
    // Why the last openPort failed, for the operator (openProblemText):
    // the permission missing, or who holds the port. Empty when neither.
    QStringList openProblem() const { return problem; }
    // The name the last openPort was given.
    QString portName() const;
    // From another thread the close is handed to the owning thread, which
    // carries it out at its next event pump.
    void closePort();
    void setBaudRate(uint32_t baudRate);
    bool sendData(const QByteArray &bytes);
    // Waits up to ms, pumping the thread's events, and returns as soon as
    // new bytes have reached rxBuffer.
    void waitForBytes(int ms);
    void stopTimer();
    void startTimer();
    bool isOpen() const;
    // Drops whatever the host and the driver still hold in both directions.
    void clearQueues();
    // True once the device vanished while it was open (unplugged, or the far
    // end of a pseudo-terminal gone), until the next openPort; an orderly
    // closePort never sets it. A caller tells a lost port apart from a stop
    // by this.
    bool portLost() const;
    // Bytes the driver still holds for the line (0 when it cannot tell).
    int pendingOutput() const;

    // Control lines. A port driven by the chip simulator carries them over
    // its side channel; a pseudo-terminal without it has none at all.
    bool hasModemLines() const;
    // Returns once what was written has left the host as far as can be
    // told; a simulated chip takes it in now, as a real line has carried it
    // by the time a speed change or a flush follows.
    void lineCarried();
    bool setDtr(bool on);
    bool setRts(bool on);
    bool dsr();
    // DSR transitions since some fixed moment, as the driver counts them, so
    // that a lever let go and pressed again between two samples is seen;
    // -1 where they are not counted.
    qint64 dsrChanges();

    QSerialPort *port;
    QByteArray rxBuffer;
    uint32_t waitCount;
    QTimer *pollTimer;

public slots:
    void readData();

private:
    bool controlRequest(const QByteArray &request, QByteArray *reply);
    void closeControl();
    void noteRefusal(const QString &device);

    int controlFd = -1;
    bool modemLines = false;
    bool lost = false;
    bool busy = false;
    QString openedName;
    QStringList problem;
};
