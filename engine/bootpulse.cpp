#include "bootpulse.h"

#include "serial.h"

#include <QThread>

bool runPulse(Serial *link, const pulseStep *steps, size_t count)
{
    bool all = true;
    for (size_t i = 0; i < count; ++i) {
        const pulseStep &s = steps[i];
        all &= s.line == pulseStep::Dtr ? link->setDtr(s.level) : link->setRts(s.level);
        if (s.waitMs > 0)
            QThread::msleep(static_cast<unsigned long>(s.waitMs));
    }
    return all;
}
