// The OS layer's mutex with a time-out and its auto-reset event, written
// once for both platforms over a platform "monitor": a small lock with a
// condition variable (POSIX: std::mutex; Win32: a slim reader/writer lock).
// Nothing costs a kernel call unless someone has to wait. A mutex is not
// taken twice by its owner.
//
//   struct Monitor {
//       void Lock(); void Unlock();
//       void Wait(unsigned realMilliseconds);  // lock held; kOsWaitForever: no limit; may wake early
//       void Wake();                           // one waiter
//   };
#pragma once

#include "os/os_internal.h"

#include <atomic>
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

// Taking a free mutex and releasing one nobody waits for are one atomic
// operation each (acquire and release ordering, which thread checkers
// follow); only a thread that has to wait uses the monitor.
template <class Monitor>
struct TimedMutex {
    Monitor monitor;
    std::atomic<int> state{0};  // 0: free; 1: held; 2: held, and a thread may be waiting

    bool Lock(unsigned milliseconds) {
        int expected = 0;
        if (state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return true;
        monitor.Lock();
        // A waiter marks the mutex 2 as it looks, so the holder's release wakes it.
        bool taken = WaitUntil_monitorLocked(
            monitor, milliseconds, [this] { return state.exchange(2, std::memory_order_acquire) == 0; });
        monitor.Unlock();
        return taken;
    }
    void Unlock() {
        if (state.exchange(0, std::memory_order_release) != 2) return;
        // Through the monitor's lock: a waiter is either still looking (and
        // sees the mutex free) or already waiting (and gets the wake-up).
        monitor.Lock();
        monitor.Unlock();
        monitor.Wake();
    }
};

template <class Monitor>
struct AutoResetEvent {
    Monitor monitor;
    std::atomic<bool> set{false};  // changed under the monitor's lock
    int waiters = 0;

    void Set() {
        monitor.Lock();
        set = true;
        bool wake = waiters > 0;
        monitor.Unlock();
        if (wake) monitor.Wake();
    }
    void Reset() {
        if (!set.load(std::memory_order_relaxed)) return;  // a Set racing this one may as well come after it
        monitor.Lock();
        set = false;
        monitor.Unlock();
    }
    bool Wait(unsigned milliseconds) {
        monitor.Lock();
        bool got = true;
        if (!set) {
            ++waiters;
            got = WaitUntil_monitorLocked(monitor, milliseconds, [this] { return set.load(); });
            --waiters;
        }
        if (got) set = false;  // auto-reset: one waiter takes it
        monitor.Unlock();
        return got;
    }
};

}  // namespace ossync
