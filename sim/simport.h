#pragma once

#include "chipmodel.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

// Nanoseconds on CLOCK_MONOTONIC, the clock of every time the simulator
// reports.
int64_t simNowNs();

// One simulated chip on a pseudo-terminal, published as DIR/COM<k>, with its
// control-line socket DIR/COM<k>.ctl, served by a thread of its own.
class SimPort
{
public:
    SimPort(int number, const QString &dir, const ChipOptions &options, bool pace,
            const std::vector<SimFault> &faults);

    // Bytes cross only while the host's port speed equals the chip's.
    void setCheckSpeed(bool on) { m_checkSpeed = on; }
    // The first chip lies in a fixture whose lever is down, let go as soon
    // as the host's first byte reaches it (as NEXTCHIP does). Before start().
    void pressFirstChip()
    {
        m_dsrUntil = INT64_MAX;
        m_dsrEdges = 1;
        m_releaseWhenHeard = true;
    }
    // Also publish the port as the link `path`, named after the USB socket
    // the chip sits in: it stays with the chip when PLUG gives the port
    // another name, and goes while the chip is unplugged, as a link of
    // /dev/serial/by-path does. Set before open().
    void setSocketLink(const QString &path) { m_socketLink = path; }
    ~SimPort();
    SimPort(const SimPort &) = delete;
    SimPort &operator=(const SimPort &) = delete;

    bool open(QString *error);
    void start();
    void stop();

    // How late the chip thread fed arrived bytes to the chip and handed
    // replies to the pty, against their paced times, as one line of text.
    QString lateness() const;

    QString name() const { return m_name; }
    QString linkPath() const { return m_linkPath; }

private:
    struct Client {
        int fd;
        QByteArray buffer;
    };
    struct Event {
        int64_t us;
        const char *line;
        bool level;
    };

    void run();
    void readHost(int64_t now);
    void feedChip(int64_t now);
    void queueReplies(int64_t now);
    void writeHost(int64_t now);
    bool openPty(QString *error);
    bool listenControl(QString *error);
    // Gives an unplugged chip's port another name, as enumeration order
    // does to adapters when a hub comes back: "ERR ..." or empty.
    QByteArray rename(const QString &name);
    void closePty();
    // closePty, and what the host wrote is lost with the line.
    void dropPty();
    // DSR reads 1 until `until` (ns; INT64_MAX: until released).
    void pressFixture(int64_t until, int64_t now, bool newChip = false);
    // Counts a timed press's release once its time has come.
    void settleDsr(int64_t now);
    void acceptClients();
    bool serveClient(Client &client);
    QByteArray control(const QByteArray &request, int64_t now);
    int64_t byteNs() const;

    int m_number;
    QString m_name;
    QString m_dir;
    QString m_linkPath;
    QString m_ctlPath;
    QString m_socketLink;
    bool speedMatches() const;

    bool m_pace;
    bool m_checkSpeed = false;
    std::unique_ptr<ChipModel> m_chip;
    int m_master = -1;
    int m_slave = -1;
    int m_listen = -1;
    int m_wake = -1;
    std::vector<Client> m_clients;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};

    // Host-to-chip bytes with the time each finishes crossing the line.
    std::vector<uint8_t> m_in;
    std::vector<int64_t> m_inAt;
    // The port's speed when each byte was read (0: not checked); the chip
    // judges it against its own when the byte arrives.
    std::vector<int> m_inSpeed;
    size_t m_inHead = 0;
    int64_t m_inFree = 0;
    // Chip-to-host bytes with the time each may reach the host.
    std::vector<uint8_t> m_out;
    std::vector<int64_t> m_outAt;
    size_t m_outHead = 0;
    int64_t m_outFree = 0;
    bool m_writeBlocked = false;

    struct Late {
        int64_t count = 0;
        int64_t sumNs = 0;
        int64_t maxNs = 0;
        void add(int64_t ns)
        {
            ++count;
            sumNs += ns;
            maxNs = std::max(maxNs, ns);
        }
    };
    Late m_feedLate;
    Late m_writeLate;

    std::vector<Event> m_events;
    bool m_dtr = false;
    bool m_rts = false;
    int64_t m_dsrUntil = 0;
    // DSR transitions since start, as a serial driver counts them
    // (TIOCGICOUNT); a timed press's release is counted once it is due.
    int64_t m_dsrEdges = 0;
    bool m_dsrTimed = false;
    bool m_releaseWhenHeard = false;
    uint32_t m_chipsFed = 0;
};
