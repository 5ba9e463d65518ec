#include "tests/support/fake_clock.h"

#include <atomic>

namespace {

constexpr long long kEpochSeconds = 1700000000;  // any whole second
std::atomic<long long> g_milliseconds{0};
std::atomic<long long> g_sleeps{0};

long long Seconds() { return kEpochSeconds + g_milliseconds.load() / 1000; }
uint32_t Tick() { return static_cast<uint32_t>(g_milliseconds.load()); }
void Sleep(unsigned milliseconds) {
    g_milliseconds += milliseconds;
    ++g_sleeps;
}

}  // namespace

FakeClock::FakeClock(long long startMilliseconds) : saved_(OsGetHooks()) {
    g_milliseconds = startMilliseconds;
    g_sleeps = 0;
    OsHooks hooks = saved_;
    hooks.timeSeconds = Seconds;
    hooks.tickCount = Tick;
    hooks.sleep = Sleep;
    OsSetHooks(&hooks);
}

FakeClock::~FakeClock() { OsSetHooks(&saved_); }

long long FakeClock::sleeps() const { return g_sleeps.load(); }
