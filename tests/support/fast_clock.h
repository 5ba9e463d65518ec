// A clock that runs `factor` times faster than real time while the object
// lives: the millisecond tick advances factor ms per real ms, and sleeps
// (and, unless told otherwise, the time-outs of mutex and event waits) last
// a factor-th of what they ask. Threads keep their real interleaving, so
// code with 250 ms settles and 200 ms polls runs in tests at full speed.
#pragma once

#include "os/os.h"
#include "tests/support/scoped_hooks.h"

class FastClock {
public:
    explicit FastClock(unsigned factor = 25, bool fastWaits = true);
    ~FastClock();
    FastClock(const FastClock&) = delete;
    FastClock& operator=(const FastClock&) = delete;

private:
    ScopedHooks hooks_;  // the table in force before comes back with it
};
