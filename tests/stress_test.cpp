// Sixteen clients on three connections under load: the virtual adapter
// injects counted frames as fast as it delivers them, clients read blocking
// and not, send blocking and not, and disconnect and connect again at
// random. Every message a client reads is well formed and in order, none is
// lost while its ring has room (an overflow is reported as -139 and allows
// a gap), every blocking call returns, and everything is released at the
// end (the sanitizers watch for races, leaks and use after free).
//
// It runs for HVLNK32_STRESS_SECONDS seconds (default 20).
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using StressTest = LibraryTest;

struct Place {
    int16_t device;
    const char* protocol;
    size_t messageLength;  // of an injected 8-byte frame
};
const Place kPlaces[] = {{kUsbDevice, "J1939", 18}, {kUsbDevice, "CAN", 17}, {kSerialDevice, "J1939", 18}};

TEST_F(StressTest, SixteenClientsUnderLoad) {
    ScopedHooks hooks;  // real waits: sixteen busy threads may keep a lock for a while
    hooks.table().waitMilliseconds = OsPlatformHooks().waitMilliseconds;
    hooks.Apply();
    const char* configured = std::getenv("HVLNK32_STRESS_SECONDS");
    int seconds = configured != nullptr ? std::atoi(configured) : 20;
    if (seconds < 1) seconds = 1;

    std::atomic<bool> stop{false};
    std::atomic<long> messages{0}, overflows{0}, malformed{0}, outOfOrder{0}, lost{0}, sends{0}, reconnects{0};
    std::atomic<long> finished{0};

    // Injectors: counted bursts on both modules' buses, each burst delivered
    // before the next, so the adapter's queue stays bounded.
    std::vector<std::thread> injectors;
    for (VaModule* va : {&usb_, &serial_}) {
        injectors.emplace_back([&, va] {
            uint32_t counter = 0;
            const uint8_t data[8] = {0, 0, 0, 0, 5, 6, 7, 8};
            while (!stop) {
                if (va->VaInjectBurst(0, 3, 29, 0x18FECA00, data, 8, 256, counter) == 0) counter += 256;
                va->VaWaitIdle(5000);
                if (va->VaAdapterThreadRunning() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }

    std::vector<std::thread> clients;
    for (int t = 0; t < kClientSlots; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t * 7919 + 1));
            const Place& place = kPlaces[t % 3];
            while (!stop) {
                int16_t id = Connect(place.device, place.protocol);
                if (id < 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                RP1210_SendCommand(3, id, nullptr, 0);
                bool haveLast = false;
                uint32_t last = 0;
                int rounds = 50 + static_cast<int>(random() % 500);
                for (int i = 0; i < rounds && !stop; ++i) {
                    char buffer[2000];
                    bool block = random() % 4 == 0;
                    int16_t got = RP1210_ReadMessage(id, buffer, sizeof buffer, block);
                    if (got == -139) {
                        ++overflows;
                        haveLast = false;  // a gap is allowed after an overflow
                    } else if (got == -148) {
                        break;  // disconnected from outside at the end
                    } else if (got > 0) {
                        ++messages;
                        if (static_cast<size_t>(got) != place.messageLength) {
                            ++malformed;
                            continue;
                        }
                        uint32_t counter;
                        std::memcpy(&counter, buffer + got - 8, 4);
                        if (haveLast && counter != last + 1) ++(counter > last + 1 ? lost : outOfOrder);
                        last = counter;
                        haveLast = true;
                    }
                    if (random() % 16 == 0) {
                        uint8_t j1939[] = {0xCA, 0xFE, 0x00, 0x06, static_cast<uint8_t>(0x80 + t), 0xFF, 1, 2, 3};
                        uint8_t can[] = {1, 0x18, 0xFE, 0xCA, static_cast<uint8_t>(t), 1, 2};
                        bool isCan = std::string(place.protocol) == "CAN";
                        uint8_t* message = isCan ? can : j1939;
                        int16_t size = static_cast<int16_t>(isCan ? sizeof can : sizeof j1939);
                        RP1210_SendMessage(id, reinterpret_cast<char*>(message), size, 0, random() % 2);
                        ++sends;
                    }
                }
                RP1210_ClientDisconnect(id);
                ++reconnects;
            }
            ++finished;
        });
    }

    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (auto& injector : injectors) injector.join();
    // Readers blocked on a quiet bus are woken by disconnecting them.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (finished < kClientSlots && std::chrono::steady_clock::now() < deadline) {
        for (int16_t id = 1; id <= kClientSlots; ++id) RP1210_ClientDisconnect(id);
    }
    ASSERT_EQ(finished, kClientSlots) << "a client thread did not return";
    for (auto& client : clients) client.join();

    std::printf("stress: %ld messages read, %ld overflows, %ld sends, %ld reconnects in %d s\n", messages.load(),
                overflows.load(), sends.load(), reconnects.load(), seconds);
    EXPECT_GT(messages, 1000);
    EXPECT_GT(reconnects, kClientSlots);
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(lost, 0);
}

}  // namespace
