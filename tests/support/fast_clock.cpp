#include "tests/support/fast_clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<unsigned> g_factor{1};
const auto g_start = std::chrono::steady_clock::now();

uint32_t Tick() {
    auto real = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - g_start);
    return static_cast<uint32_t>(real.count() * g_factor.load() / 1000);
}

void Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{milliseconds} * 1000 / g_factor.load()));
}

unsigned Wait(unsigned milliseconds) {
    unsigned real = milliseconds / g_factor.load();
    return real == 0 && milliseconds > 0 ? 1 : real;
}

}  // namespace

FastClock::FastClock(unsigned factor, bool fastWaits) {
    g_factor = factor == 0 ? 1 : factor;
    hooks_.table().tickCount = Tick;
    hooks_.table().sleep = Sleep;
    if (fastWaits) hooks_.table().waitMilliseconds = Wait;
    hooks_.Apply();
}

FastClock::~FastClock() = default;
