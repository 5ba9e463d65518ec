// A clock for tests: sleeping moves it on at once, so a five-second read loop
// costs no real time. The calendar time, the millisecond tick and sleep of
// the OS layer follow it while the object lives.
#pragma once

#include "os/os.h"
#include "tests/support/scoped_hooks.h"

class FakeClock {
public:
    // Starts `startMilliseconds` into a calendar second.
    explicit FakeClock(long long startMilliseconds = 0);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    long long sleeps() const;  // sleep calls so far

private:
    ScopedHooks hooks_;  // the table in force before comes back with it
};
