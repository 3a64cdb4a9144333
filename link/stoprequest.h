#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>

// The one stop request of a job: raised from any thread, read by the job's
// own thread at every wait (the command layer's reply waits, the sender's
// ticks, the job's naps). Levels only climb until the owner clears them for
// the next job, so a request can never be lost to a later, weaker one.
class stopRequest
{
public:
    enum level : int {
        none = 0,
        // Take no further chip; the chip in hand is finished as usual.
        release = 1,
        // End the chip in hand with the stop code, then bring it back to its
        // boot ROM where that can be done.
        stop = 2,
        // End everything at once, the bringing back included.
        abandon = 3,
    };

    void raise(level wanted)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            int seen = current.load();
            while (seen < wanted && !current.compare_exchange_weak(seen, wanted)) {
            }
        }
        wake.notify_all();
    }
    // By the owner only, while nothing runs on the request.
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = none;
        haltAt = stop;
    }
    level raised() const { return static_cast<level>(current.load()); }
    bool atLeast(level wanted) const { return current.load() >= wanted; }

    // Whether the step running on the owner's thread must give way now. A run
    // gives way to a stop; bringing a stopped chip back only to abandon.
    bool halts() const { return current.load() >= haltAt.load(); }
    void setHaltLevel(level from) { haltAt = from; }
    level haltLevel() const { return static_cast<level>(haltAt.load()); }

    // Sleeps up to ms, waking the moment the request reaches `wanted`; true
    // when it has.
    bool sleepUnless(int ms, level wanted) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return current.load() >= wanted; });
    }

private:
    std::atomic<int> current{none};
    std::atomic<int> haltAt{stop};
    mutable std::mutex mutex;
    mutable std::condition_variable wake;
};

// Sets the level a step halts at for as long as it runs.
class haltLevelScope
{
public:
    haltLevelScope(stopRequest &request, stopRequest::level from)
        : r(request)
        , before(request.haltLevel())
    {
        r.setHaltLevel(from);
    }
    ~haltLevelScope() { r.setHaltLevel(before); }
    haltLevelScope(const haltLevelScope &) = delete;
    haltLevelScope &operator=(const haltLevelScope &) = delete;

private:
    stopRequest &r;
    stopRequest::level before;
};
