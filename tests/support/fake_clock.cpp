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

FakeClock::FakeClock(long long startMilliseconds) {
    g_milliseconds = startMilliseconds;
    g_sleeps = 0;
    hooks_.table().timeSeconds = Seconds;
    hooks_.table().tickCount = Tick;
    hooks_.table().sleep = Sleep;
    hooks_.Apply();
}

FakeClock::~FakeClock() = default;

long long FakeClock::sleeps() const { return g_sleeps.load(); }
