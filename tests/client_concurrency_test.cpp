// Sixteen threads connecting and disconnecting at once, while others call
// into whatever client ids exist: no slot is ever given twice, every id is
// handed out, no call touches a freed client (AddressSanitizer and
// ThreadSanitizer watch), and everything is released at the end.
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using ClientConcurrencyTest = LibraryTest;

TEST_F(ClientConcurrencyTest, SixteenThreadsConnectingAndDisconnecting) {
    // Real waits: under a sanitizer sixteen threads may hold AdapterCallLock
    // for a while, and a shortened 500 ms wait would fail connects.
    ScopedHooks hooks;
    hooks.table().waitMilliseconds = OsPlatformHooks().waitMilliseconds;
    hooks.Apply();

    constexpr int kThreads = 16;
    std::atomic<int> owner[kClientSlots + 1];
    std::atomic<bool> seen[kClientSlots + 1];
    for (int i = 0; i <= kClientSlots; ++i) {
        owner[i] = 0;
        seen[i] = false;
    }
    std::atomic<int> doubleGrants{0}, connects{0}, failures{0};
    std::atomic<bool> stop{false};
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);

    // First round: all sixteen connect at once and stay until all are in,
    // so every id is handed out; then they come and go as they please.
    std::atomic<int> firstRoundIn{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= kThreads; ++t) {
        threads.emplace_back([&, t] {
            int16_t first = Connect(static_cast<int16_t>(1 + t % 2));
            if (first >= 1 && first <= kClientSlots) {
                seen[first] = true;
                if (owner[first].exchange(t) != 0) ++doubleGrants;
            } else {
                ++failures;
            }
            ++firstRoundIn;
            while (firstRoundIn < kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (first >= 1 && first <= kClientSlots) {
                if (owner[first].exchange(0) != t) ++doubleGrants;
                RP1210_ClientDisconnect(first);
            }
            int round = 0;
            while (std::chrono::steady_clock::now() < until) {
                int16_t device = static_cast<int16_t>(1 + (t + round++) % 2);
                int16_t id = Connect(device, (t % 3) ? "J1939" : "J1708");
                if (id < 1 || id > kClientSlots) {
                    ++failures;
                    continue;
                }
                ++connects;
                seen[id] = true;
                if (owner[id].exchange(t) != 0) ++doubleGrants;
                char info[16];
                RP1210_GetHardwareStatus(id, info, 16, 0);
                char buffer[64];
                RP1210_ReadMessage(id, buffer, sizeof buffer, 0);
                if (owner[id].exchange(0) != t) ++doubleGrants;
                RP1210_ClientDisconnect(id);
            }
        });
    }
    // Callers that use whatever ids exist, some of them going away under them.
    std::vector<std::thread> bystanders;
    for (int b = 0; b < 2; ++b) {
        bystanders.emplace_back([&, b] {
            int16_t id = static_cast<int16_t>(1 + b);
            while (!stop) {
                char api[17], dll[17], firmware[17], info[16];
                RP1210_ReadDetailedVersion(id, api, dll, firmware);
                RP1210_GetHardwareStatus(id, info, 16, 0);
                id = static_cast<int16_t>(id % kClientSlots + 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    stop = true;
    for (auto& thread : bystanders) thread.join();

    EXPECT_EQ(doubleGrants, 0);
    EXPECT_EQ(failures, 0);
    EXPECT_GT(connects, kThreads);
    for (int id = 1; id <= kClientSlots; ++id) EXPECT_TRUE(seen[id]) << "id " << id << " never handed out";
    ExpectNothingLeft();
}

}  // namespace
