// A connect that fails half-way: every multiplexer call refused in turn,
// every allocation and every thread, mutex and event creation failing in
// turn. The connect answers the code of the step that failed and leaves
// nothing behind: no client, no connection, no open adapter or mailbox.
// (LeakSanitizer checks the native builds for memory left over.)
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <atomic>
#include <map>
#include <string>

namespace {

class ConnectFaultTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        IniText ini = DefaultVendorIni();
        ini.Set("ProtocolInformation1", "ProtocolParams", "FAST_TRANSPORT").Set("Heartbeat", "HeartbeatFlag", "1");
        WriteVendorIni(ini);
    }
};

TEST_F(ConnectFaultTest, EachMultiplexerCallRefusedInTurn) {
    ASSERT_EQ(Connect(), 1);
    std::vector<VaCall> calls = TakeCalls(usb_);
    ASSERT_EQ(RP1210_ClientDisconnect(1), 0);
    std::vector<std::string> sequence;
    for (const VaCall& call : calls) {
        if (std::string(call.entry) == "RequestTimerValue") continue;  // the link monitor's, after the connect
        sequence.push_back(call.entry);
    }
    ASSERT_EQ(sequence, (std::vector<std::string>{"InitUSBLink", "CheckDataLink", "InitDataLink",
                                                  "ConfigureTransportProtocol", "LoadMailBox", "LoadMailBox"}));
    std::map<std::string, uint32_t> earlier;
    for (const std::string& entry : sequence) {
        uint32_t skip = earlier[entry]++;
        SCOPED_TRACE(entry + " #" + std::to_string(skip + 1));
        usb_.VaResetControls();
        ASSERT_EQ(usb_.VaFailEntry(entry.c_str(), skip, 1, 66), 0);
        int16_t result = Connect();
        // A first description that fails is asked for again after a re-open.
        int16_t expected = entry == "CheckDataLink" ? 1 : kErrHardwareNotResponding;
        EXPECT_EQ(result, expected);
        if (result == 1) {
            EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
        }
        EXPECT_EQ(usb_.VaCallCount("InitUSBLink") - usb_.VaCallCount("RestoreUSBLink"),
                  entry == "InitUSBLink" ? 1 : 0);  // every adapter opened is closed again
        ExpectNothingLeft();
    }
}

// Object creation through the OS layer, failing at the N-th one.
enum Kind { kAllocation, kMutex, kEvent, kThread };
std::atomic<int> g_countdown{0};     // fails the creation that takes it to 0
std::atomic<int> g_counts[4];
std::atomic<int> g_failedKind{-1};
std::atomic<int> g_failedIndex{0};

bool Fails(Kind kind) {
    int index = ++g_counts[kind];
    if (--g_countdown != 0) return false;
    g_failedKind = kind;
    g_failedIndex = index;
    return true;
}
void* Allocate(size_t bytes) { return Fails(kAllocation) ? nullptr : OsPlatformHooks().allocate(bytes); }
OsMutex* CreateMutex() { return Fails(kMutex) ? nullptr : OsPlatformHooks().createMutex(); }
OsEvent* CreateEvent() { return Fails(kEvent) ? nullptr : OsPlatformHooks().createEvent(); }
OsThread* StartThread(OsThreadMain main, void* argument, unsigned stack) {
    return Fails(kThread) ? nullptr : OsPlatformHooks().startThread(main, argument, stack);
}

TEST_F(ConnectFaultTest, EachAllocationAndObjectCreationFailingInTurn) {
    // What the connect answers when the n-th object of a kind cannot be made.
    const std::map<std::pair<int, int>, int16_t> expected = {
        {{kAllocation, 1}, 133},  // client record
        {{kAllocation, 2}, 133},  // connection list
        {{kAllocation, 3}, 133},  // connection
        {{kAllocation, 4}, 133},  // receive ring
        {{kAllocation, 5}, 133},  // filter list
        {{kMutex, 1}, 133},       // AdapterCallLock
        {{kMutex, 2}, 133},       // recoverLock
        {{kMutex, 3}, 133},       // queueLock
        {{kMutex, 4}, 155},       // ringLock
        {{kMutex, 5}, 155},       // filterLock
        {{kMutex, 6}, 155},       // sendLock
        {{kEvent, 1}, 155},       // wakeEvent
        {{kEvent, 2}, 155},       // txDone
        {{kEvent, 3}, 155},       // txRelease
        {{kEvent, 4}, 155},       // dataReady
        {{kThread, 1}, 133},      // transmitThread
        {{kThread, 2}, 133},      // linkMonitorThread
    };
    ScopedHooks hooks;
    hooks.table().allocate = Allocate;
    hooks.table().createMutex = CreateMutex;
    hooks.table().createEvent = CreateEvent;
    hooks.table().startThread = StartThread;
    hooks.Apply();
    size_t failures = 0;
    for (int n = 1;; ++n) {
        for (auto& count : g_counts) count = 0;
        g_failedKind = -1;
        g_countdown = n;
        int16_t result = Connect();
        g_countdown = 0;
        if (g_failedKind < 0) {
            EXPECT_EQ(result, 1) << "nothing failed";
            EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
            break;
        }
        auto key = std::make_pair(g_failedKind.load(), g_failedIndex.load());
        SCOPED_TRACE("kind " + std::to_string(key.first) + " #" + std::to_string(key.second));
        ASSERT_TRUE(expected.count(key));
        EXPECT_EQ(result, expected.at(key));
        ExpectNothingLeft();
        ++failures;
    }
    EXPECT_EQ(failures, expected.size());
}

unsigned NoMessage(const char*) { return 0; }

TEST_F(ConnectFaultTest, WindowMessagesThatCannotBeRegistered) {
    ScopedHooks hooks;
    hooks.table().registerWindowMessage = NoMessage;
    hooks.Apply();
    EXPECT_EQ(Connect(), kErrDllNotInitialized);
    EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), 0);
}

}  // namespace
