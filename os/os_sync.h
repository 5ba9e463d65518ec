// The OS layer's mutex with a time-out and its auto-reset event, written
// once for both platforms over a platform "monitor": a small lock with a
// condition variable (POSIX: std::mutex; Win32: a slim reader/writer lock).
// Taking and releasing cost no kernel call unless someone has to wait, and
// thread checkers see every take and release. A mutex is not taken twice by
// its owner.
//
//   struct Monitor {
//       void Lock(); void Unlock();
//       void Wait(unsigned realMilliseconds);  // lock held; kOsWaitForever: no limit; may wake early
//       void Wake();                           // one waiter
//   };
#pragma once

#include "os/os_internal.h"

#include <chrono>

namespace ossync {

// Waits (the monitor's lock held) until `done()` or the time-out; true when done.
template <class Monitor, class Done>
bool WaitUntil_monitorLocked(Monitor& monitor, unsigned milliseconds, Done done) {
    unsigned real = OsRealWait(milliseconds);
    auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (real == kOsWaitForever) {
            monitor.Wait(kOsWaitForever);
            continue;
        }
        auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (passed.count() >= static_cast<long long>(real)) return false;
        monitor.Wait(real - static_cast<unsigned>(passed.count()));
    }
    return true;
}

template <class Monitor>
struct TimedMutex {
    Monitor monitor;
    bool held = false;
    int waiters = 0;  // threads in a wait: only they need a wake-up

    bool Lock(unsigned milliseconds) {
        monitor.Lock();
        bool taken = true;
        if (held) {
            ++waiters;
            taken = WaitUntil_monitorLocked(monitor, milliseconds, [this] { return !held; });
            --waiters;
        }
        if (taken) held = true;
        monitor.Unlock();
        return taken;
    }
    void Unlock() {
        monitor.Lock();
        held = false;
        bool wake = waiters > 0;
        monitor.Unlock();
        if (wake) monitor.Wake();
    }
};

template <class Monitor>
struct AutoResetEvent {
    Monitor monitor;
    bool set = false;
    int waiters = 0;

    void Set() {
        monitor.Lock();
        set = true;
        bool wake = waiters > 0;
        monitor.Unlock();
        if (wake) monitor.Wake();
    }
    void Reset() {
        monitor.Lock();
        set = false;
        monitor.Unlock();
    }
    bool Wait(unsigned milliseconds) {
        monitor.Lock();
        bool got = true;
        if (!set) {
            ++waiters;
            got = WaitUntil_monitorLocked(monitor, milliseconds, [this] { return set; });
            --waiters;
        }
        if (got) set = false;  // auto-reset: one waiter takes it
        monitor.Unlock();
        return got;
    }
};

}  // namespace ossync
