// The link monitor: an adapter that goes silent, one that comes back, and
// one whose timer went back (reset): the client notices and carries on.
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <atomic>
#include <thread>

namespace {

class LinkMonitorTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        WriteVendorIni(DefaultVendorIni().Set("Heartbeat", "HeartbeatFlag", "1"));
    }
    template <class Check>
    static bool ClientState(int16_t id, Check check) {
        return WaitFor([&] {
            ClientRecord* client = AcquireClient(id);
            bool result = client != nullptr && check(client);
            ReleaseClient(client);
            return result;
        });
    }
    static int16_t SendOne(int16_t id) {
        uint8_t message[] = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1};
        return RP1210_SendMessage(id, reinterpret_cast<char*>(message), sizeof message, 0, 1);
    }
    void InjectAndRead(int16_t id) {
        uint8_t data[] = {1, 2, 3};
        ASSERT_EQ(usb_.VaInjectFrame(0, 3, 29, 0x18FECA00, data, 3), 0);
        Idle(usb_);
        EXPECT_EQ(Read(id).size(), 13u);
    }
};

TEST_F(LinkMonitorTest, ASilentAdapterIsLostAndFoundAgain) {
    int16_t id = Connect();
    ASSERT_EQ(id, 1);
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    std::atomic<int> blocked{1};
    std::thread reader([&] {
        char buffer[64];
        blocked = RP1210_ReadMessage(id, buffer, sizeof buffer, 1);
    });
    ASSERT_EQ(usb_.VaSetSilent(1), 0);
    ASSERT_TRUE(ClientState(id, [](ClientRecord* c) { return c->linkLost.load(); }));
    reader.join();
    EXPECT_EQ(blocked, -kErrHardwareStatusChange);
    EXPECT_EQ(SendOne(id), kErrHardwareNotResponding);
    char info[16];
    EXPECT_EQ(RP1210_GetHardwareStatus(id, info, 16, 0), kErrHardwareNotResponding);
    EXPECT_EQ(RP1210_SendCommand(3, id, nullptr, 0), kErrHardwareNotResponding);

    // Answering again: the connection is opened anew, pass-all restored.
    int opensBefore = usb_.VaCallCount("InitUSBLink");
    ASSERT_EQ(usb_.VaSetSilent(0), 0);
    ASSERT_TRUE(ClientState(id, [](ClientRecord* c) { return !c->linkLost.load(); }));
    EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), opensBefore + 1);
    InjectAndRead(id);
    EXPECT_EQ(SendOne(id), 0);
}

TEST_F(LinkMonitorTest, ATimerThatWentBackReopensWithTheFilters) {
    int16_t id = Connect();
    ASSERT_EQ(id, 1);
    uint8_t filter[] = {0x01, 0xCA, 0xFE, 0x00, 0, 0, 0};
    ASSERT_EQ(RP1210_SendCommand(4, id, reinterpret_cast<char*>(filter), 7), 0);
    // An adapter that has run for a while; once the monitor has seen that,
    // its timer restarts from 0.
    VaAdapterInfo adapter;
    ASSERT_EQ(usb_.VaListAdapters(&adapter, 1), 1);
    ASSERT_EQ(usb_.LoadTimer(adapter.id, 5000000), 0);
    ASSERT_TRUE(ClientState(id, [](ClientRecord* c) { return c->lastTimerValue.load() >= 5000000; }));
    int dataLinksBefore = usb_.VaCallCount("InitDataLink");
    ASSERT_EQ(usb_.VaResetTimer(0), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("InitDataLink") > dataLinksBefore; }));
    ASSERT_TRUE(WaitFor([&] { return Mailboxes(usb_, 0).size() == 1; }));
    EXPECT_EQ(Mailboxes(usb_, 0)[0].identifier, 0x00FECA00u);
    ASSERT_TRUE(ClientState(id, [](ClientRecord* c) { return !c->linkLost.load(); }));
    InjectAndRead(id);
}

TEST_F(LinkMonitorTest, SilenceIsLookedIntoAfterOneSecond) {
    // Real time: from a quiet adapter's loss to the client learning it, the
    // monitor's 1000 ms of silence and its 200 ms look.
    ScopedHooks real;
    real.table().tickCount = OsPlatformHooks().tickCount;
    real.table().sleep = OsPlatformHooks().sleep;
    real.table().waitMilliseconds = OsPlatformHooks().waitMilliseconds;
    real.Apply();
    auto start = std::chrono::steady_clock::now();
    int16_t id = Connect();
    ASSERT_EQ(id, 1);
    ASSERT_EQ(usb_.VaSetSilent(1), 0);
    char info[16];
    ASSERT_TRUE(WaitFor([&] { return RP1210_GetHardwareStatus(id, info, 16, 0) == kErrHardwareNotResponding; }));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2800));  // connect's 250 ms settle, then 1000 + 200 at most
    ASSERT_EQ(usb_.VaSetSilent(0), 0);
}

}  // namespace
