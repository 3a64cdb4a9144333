#pragma once
#include <QString>
#include <memory>

#include "recordstore.h"
#include "serialrule.h"
#include "serialsource.h"

class QThread;

// The line's serial values, kept in its production database so that none
// is given twice. Each value is reserved in a committed transaction before
// its chip is touched, with the reserving process (host, pid and start
// time); it is then used (a good chip), void (its transfer had begun: it
// may be in a failed or stopped chip) or given back (the chip failed
// before). Reservations left by a process that is gone are made void when
// a run opens the store: a killed process or a power cut never lets a
// value be given again.
//
// Without a server the values come from the line's own counter of the
// rule; with one, from leases of the factory's counter (a block of places
// per lease, taken in one server transaction), so that lines never meet.
// A line goes on with its lease while the server is away and refuses a
// chip once the lease is spent.
//
// Every call runs on the store's own thread, one at a time, and commits
// before it returns; the jobs call reserve and settle from theirs.
class serialStore : public chipSerialSource
{
public:
    serialStore(const QString &databasePath, const recordServer &server, const serialRule &rule,
                const recordOrigin &origin);
    ~serialStore() override;
    serialStore(const serialStore &) = delete;
    serialStore &operator=(const serialStore &) = delete;

    // Before a run's first chip: the tables brought to the current version
    // and the reservations of processes that are gone made void (voided:
    // how many). false with why the line's database cannot be used.
    bool open(QString *error, int *voided = nullptr);
    chipSerial reserve(int station) override;
    bool settle(const chipSerial &value, serialUse use, const QString &rowId, const QString &uid) override;

private:
    class worker;
    std::unique_ptr<QThread> thread;
    worker *w = nullptr;
};

// The value the next chip would get under the rule, as the operator reads
// it, from the line's database without writing to it; empty when only the
// server can say (no lease left), or when the rule's values are used up
// (usedUp set).
QString nextSerialText(const QString &databasePath, const recordServer &server, const serialRule &rule,
                       bool *usedUp = nullptr);

// The reserving process as reservations name it: this boot of the machine
// and the process's start on it; empty when the process is not running.
QString processStamp(qint64 pid);
