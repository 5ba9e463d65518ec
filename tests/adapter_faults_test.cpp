// Adapter faults through the exports: an adapter that loses its power (or
// its connection) and comes back rebooted, one whose handle never answers
// again, completions that never come, floods of sends; and the transmit
// path's faults around them. Every client keeps its bus: 142 and -162
// during the loss, the same client id reading, sending and holding its
// address after the return.
#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "rp1210/mux_binding.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"
#include "tests/support/socketcand_server.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

const std::vector<uint8_t> kName = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
const std::vector<uint8_t> kFrame = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2, 3};  // PGN FECA from 0x80
constexpr uint32_t kClaimFromAddress80 = 0x18EEFF80;   // Address Claimed, global, from 0x80
constexpr uint32_t kFecaFrame = 0x18FECA33;            // PGN FECA from another node (0x33)

class AdapterFaultTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_TRUE(isa_.ok());
        isa_.VaResetControls();
    }
    void TearDown() override {
        LibraryTest::TearDown();
        EXPECT_EQ(isa_.VaListAdapters(nullptr, 0), 0);
    }
    // The default vendor INI with device 4 described by `params`, and the heartbeat.
    void UseDevice(const std::string& params, bool heartbeat = true) {
        IniText ini = DefaultVendorIni();
        for (int p = 1; p <= 5; ++p) ini.Set("ProtocolInformation" + std::to_string(p), "Devices", "1,2,3,4");
        ini.Set("VendorInformation", "Devices", "1,2,3,4")
            .Set("DeviceInformation4", "DeviceDescription", "Halvery VDA under test, " + params)
            .Set("DeviceInformation4", "DeviceName", "HV-TEST")
            .Set("DeviceInformation4", "DeviceParams", params)
            .Set("Heartbeat", "HeartbeatFlag", heartbeat ? "1" : "0");
        WriteVendorIni(ini);
    }
    static int16_t Send(int16_t id, std::vector<uint8_t> message, bool block, bool notify = false) {
        return RP1210_SendMessage(id, reinterpret_cast<char*>(message.data()), static_cast<int16_t>(message.size()),
                                  notify, block);
    }
    static int16_t Command(int16_t number, int16_t id, std::vector<uint8_t> data) {
        return RP1210_SendCommand(number, id, reinterpret_cast<char*>(data.data()), static_cast<int16_t>(data.size()));
    }
    static int16_t Protect(int16_t id, uint8_t address, const std::vector<uint8_t>& name) {
        std::vector<uint8_t> data = {address};
        data.insert(data.end(), name.begin(), name.end());
        data.push_back(0);
        return Command(19, id, data);
    }
    // The next message of the client within `limit` (empty when none came).
    static std::vector<uint8_t> ReadWithin(int16_t id, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::vector<uint8_t> message;
        WaitFor([&] { return !(message = Read(id)).empty(); }, limit);
        return message;
    }
    static uint32_t Timestamp(const std::vector<uint8_t>& m) {
        return m.size() < 4 ? 0 : uint32_t{m[0]} << 24 | uint32_t{m[1]} << 16 | uint32_t{m[2]} << 8 | m[3];
    }
    // The window messages posted in this test so far with this wParam.
    std::vector<intptr_t> Posted(uintptr_t wParam) {
        for (const OsPostedMessage& m : OsTakePostedMessages()) posted_.push_back(m);
        std::vector<intptr_t> values;
        for (const OsPostedMessage& m : posted_) {
            if (m.wParam == wParam) values.push_back(m.lParam);
        }
        return values;
    }
    // The millisecond tick at its real pace (sleeps and waits stay fast):
    // for tests that keep completions back longer than a request may wait.
    void RealTicks() {
        hooks_.table().tickCount = OsPlatformHooks().tickCount;
        hooks_.Apply();
    }

    VaModule isa_{"ZMXIRP32.DLL"};
    std::vector<OsPostedMessage> posted_;
    ScopedHooks hooks_;
};

// One kind of link: how its adapter is described, where its frames go, how
// it loses its power and gets it back.
struct LinkCase {
    const char* name;
    std::string params;
    VaModule* module;                    // the virtual adapter module of the link kind
    bool server;                         // its bus is the test's bus server (TCP/IP)
    std::function<void(bool)> power;     // false: lost; true: back
};

TEST_F(AdapterFaultTest, EveryLinkKindLosesItsPowerAndComesBackWithItsClients) {
    SocketcandServer server;
    ASSERT_TRUE(server.ok());
    std::vector<LinkCase> cases = {
        {"USB", "USB", &usb_, false, [&](bool on) { usb_.VaSetPower(0, on ? kVaPowerOn : kVaPowerOff); }},
        {"serial", "COM1", &serial_, false, [&](bool on) { serial_.VaSetPower(0, on ? kVaPowerOn : kVaPowerOff); }},
        {"PC card", "ISA,0x300,5", &isa_, false, [&](bool on) { isa_.VaSetPower(0, on ? kVaPowerOn : kVaPowerOff); }},
        // A networked adapter's power is its connection: the server goes away and comes back.
        {"TCP/IP", "TCP/IP,IP=127.0.0.1,PORT=" + std::to_string(server.port()), &tcp_, true,
         [&](bool on) { server.Refuse(!on); }},
    };
    for (const LinkCase& kind : cases) {
        SCOPED_TRACE(kind.name);
        UseDevice(kind.params);
        int window = 0;
        int16_t a = Connect(4, "J1939", 0, 0, &window);
        int16_t b = Connect(4, "J1939");  // shares the connection
        ASSERT_EQ(a, 1);
        ASSERT_EQ(b, 2);
        ASSERT_EQ(OpenConnectionCount(), 1);
        ASSERT_EQ(Protect(a, 0x80, kName), 0);
        ASSERT_EQ(RP1210_SendCommand(3, a, nullptr, 0), 0);
        ASSERT_EQ(Command(4, b, {0x01, 0xCA, 0xFE, 0x00, 0, 0, 0}), 0);
        auto busFrame = [&] {
            std::vector<uint8_t> data = {9, 8, 7, 6, 5, 4, 3, 2};
            if (kind.server) {
                server.SendFrame(kFecaFrame, data);
            } else {
                kind.module->VaInjectFrame(0, kLinkCodeCan1, 29, kFecaFrame, data.data(), 8);
            }
        };
        busFrame();
        std::vector<uint8_t> before = ReadWithin(a);
        ASSERT_EQ(before.size(), 18u);
        ASSERT_EQ(ReadWithin(b).size(), 18u);

        // A blocked reader, and a request the adapter has when the power goes.
        std::atomic<int> blocked{1};
        std::thread reader([&] {
            char buffer[64];
            blocked = RP1210_ReadMessage(a, buffer, sizeof buffer, 1);
        });
        kind.module->VaHoldCompletions(1);
        int16_t sequence = Send(a, kFrame, false, true);
        ASSERT_GT(sequence, 0);
        kind.power(false);
        reader.join();
        EXPECT_EQ(blocked, -kErrHardwareStatusChange);
        for (int16_t id : {a, b}) {
            EXPECT_EQ(Send(id, kFrame, true), kErrHardwareNotResponding);
            EXPECT_EQ(Send(id, kFrame, false), kErrHardwareNotResponding);
            EXPECT_EQ(Command(18, id, {1}), kErrHardwareNotResponding);
            char info[16];
            EXPECT_EQ(RP1210_GetHardwareStatus(id, info, 16, 0), kErrHardwareNotResponding);
        }
        // The request the adapter had ends with 142: its window is told.
        EXPECT_TRUE(WaitFor([&] {
            std::vector<intptr_t> told = Posted(kErrTxMessageStatus);
            return std::find(told.begin(), told.end(), sequence + kErrHardwareNotResponding) != told.end();
        }));
        kind.module->VaHoldCompletions(-1);

        kind.power(true);
        // The same clients carry on: sending, the address claimed again on
        // the bus, reading with their own settings.
        EXPECT_TRUE(WaitFor([&] { return Send(a, kFrame, true) == 0; }, std::chrono::seconds(20)));
        EXPECT_EQ(Send(b, kFrame, true), 0);
        EXPECT_TRUE(WaitFor([&] {
            std::vector<uint32_t> sent = server.TakeSent();
            for (const VaFrame& frame : Transmitted(*kind.module)) sent.push_back(frame.identifier);
            return std::find(sent.begin(), sent.end(), kClaimFromAddress80) != sent.end();
        }));
        while (!Read(a).empty()) {
        }
        busFrame();
        std::vector<uint8_t> after = ReadWithin(a);
        ASSERT_EQ(after.size(), 18u);
        EXPECT_EQ(ReadWithin(b).size(), 18u);
        // One clock across the reboot: the timestamps never run backwards.
        EXPECT_GE(Timestamp(after), Timestamp(before));
        // The address is held again: a message that needs it is sent.
        std::vector<uint8_t> longMessage(20, 0x55);
        longMessage[0] = 0x00, longMessage[1] = 0xEF, longMessage[2] = 0x00, longMessage[3] = 0x86;
        longMessage[4] = 0x80, longMessage[5] = 0xFF;
        EXPECT_EQ(Send(a, longMessage, false), 0);

        EXPECT_EQ(RP1210_ClientDisconnect(b), 0);
        EXPECT_EQ(RP1210_ClientDisconnect(a), 0);
        ExpectNothingLeft();
    }
}

TEST_F(AdapterFaultTest, AHandleThatNeverAnswersAgainIsReplacedByAFreshOpen) {
    UseDevice("USB");
    int16_t id = Connect(4);
    ASSERT_EQ(id, 1);
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    VaAdapterInfo adapter{};
    ASSERT_EQ(usb_.VaListAdapters(&adapter, 1), 1);
    int opens = usb_.VaCallCount("InitUSBLink");
    ASSERT_EQ(usb_.VaSetPower(adapter.id, kVaPowerGone), 0);  // comes back as a new device
    EXPECT_TRUE(WaitFor([&] { return Send(id, kFrame, true) == 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), opens + 1);
    EXPECT_EQ(usb_.VaCallCount("RestoreUSBLink"), 1);  // the gone handle is let go
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(usb_.VaInjectFrame(0, kLinkCodeCan1, 29, kFecaFrame, data, 8), 0);
    EXPECT_EQ(ReadWithin(id).size(), 18u);
}

TEST_F(AdapterFaultTest, RequestsEndEvenWhenTheirCompletionNeverComes) {
    UseDevice("USB", false);
    int16_t id = Connect(4);
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    std::atomic<int> blocking{-1};
    std::thread sender([&] { blocking = Send(id, kFrame, true); });
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("UpdateTransmitMailBox") == 1; }));
    EXPECT_EQ(usb_.VaHoldCompletions(-1), 1);  // lost
    EXPECT_TRUE(WaitFor([&] { return blocking != -1; }, std::chrono::seconds(5)));
    EXPECT_EQ(blocking, kErrHardwareNotResponding);
    if (blocking == -1) RP1210_ClientDisconnect(id);  // still waiting: the disconnect wakes it
    sender.join();
    if (blocking != -1) {
        EXPECT_EQ(Send(id, kFrame, true), 0);  // the connection goes on
    }
}

TEST_F(AdapterFaultTest, AFloodOfSendsMeetsTheQueueBound) {
    RealTicks();
    UseDevice("USB", false);
    const struct {
        int32_t txBufferSize;
        int accepted;
    } cases[] = {
        {0, kMaxQueuedRequests},            // 1024 requests of 9 bytes: within 64 KiB
        {2000, 2000 / 9},                   // the application's byte budget
        {10, kLargestMessage / 9},          // never less than one largest message
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.txBufferSize);
        int16_t id = RP1210_ClientConnect(nullptr, 4, "J1939", c.txBufferSize, 0, 0);
        ASSERT_EQ(id, 1);
        ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
        int accepted = 0, full = 0;
        for (int i = 0; i < 3000; ++i) {
            int16_t result = Send(id, kFrame, false);
            accepted += result == 0;
            full += result == kErrTxQueueFull;
        }
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(full, 3000 - c.accepted);
        usb_.VaHoldCompletions(0);  // the queue drains
        EXPECT_TRUE(WaitFor([&] { return Send(id, kFrame, false) == 0; }));
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(AdapterFaultTest, AReopenEndsTheQueuedRequestsInsteadOfDroppingThem) {
    RealTicks();
    // Command 15 opens a J1708 connection again while sends wait behind one
    // the adapter has not completed.
    UseDevice("USB", false);
    int window = 0;
    int16_t id = Connect(4, "J1708", 0, 0, &window);
    ASSERT_EQ(id, 1);
    std::vector<uint8_t> message = {3, 0x80, 0xBE, 1};
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    int16_t first = Send(id, message, false, true);
    int16_t second = Send(id, message, false, true);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    std::atomic<int> blocking{-1};
    std::thread sender([&] { blocking = Send(id, message, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Command(15, id, {'0'}), 0);
    sender.join();
    EXPECT_EQ(blocking, kErrHardwareNotResponding);  // told, not left waiting
    std::vector<intptr_t> told = Posted(kErrTxMessageStatus);
    EXPECT_NE(std::find(told.begin(), told.end(), first + kErrHardwareNotResponding), told.end());
    EXPECT_NE(std::find(told.begin(), told.end(), second + kErrHardwareNotResponding), told.end());
    usb_.VaHoldCompletions(-1);
    EXPECT_EQ(Send(id, message, true), 0);
}

TEST_F(AdapterFaultTest, ABlockingSendReturnsItsOwnStatusNotAnEarlierOnes) {
    RealTicks();
    UseDevice("USB", false);
    int16_t id = Connect(4);
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    ASSERT_EQ(Send(id, kFrame, false), 0);  // on the wire, held
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("UpdateTransmitMailBox") == 1; }));
    std::atomic<int> blocking{-1};
    std::thread sender([&] { blocking = Send(id, kFrame, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The earlier one fails on the data link (159); the blocking one is sent
    // next and its completion still held.
    std::vector<VaMailboxInfo> transmit = Mailboxes(usb_, 1);
    ASSERT_FALSE(transmit.empty());
    ASSERT_EQ(usb_.VaRaiseDataLinkError(transmit[0].adapterId, 3, transmit[0].mailbox, 7), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("UpdateTransmitMailBox") == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(blocking, -1);  // still waiting for its own frame
    usb_.VaHoldCompletions(0);
    sender.join();
    EXPECT_EQ(blocking, 0);
}

TEST_F(AdapterFaultTest, TwoClaimsAtOnceNeverLeaveOneAddressWithTwoClients) {
    UseDevice("USB", false);
    int16_t a = Connect(4), b = Connect(4);
    ASSERT_EQ(b, 2);
    const std::vector<uint8_t> low = {0x10, 0, 0, 0, 0, 0, 0, 0}, high = {0x20, 0, 0, 0, 0, 0, 0, 0};
    std::atomic<int> resultA{-1}, resultB{-1};
    std::thread first([&] { resultA = Protect(a, 0x90, high); });
    std::thread second([&] { resultB = Protect(b, 0x90, low); });
    first.join();
    second.join();
    // Whoever came second met the other's claim: the lower NAME (b) holds it.
    std::vector<uint8_t> longMessage(20, 0x11);
    longMessage[1] = 0xEF, longMessage[3] = 0x06, longMessage[4] = 0x90, longMessage[5] = 0xFF;
    EXPECT_EQ(Send(b, longMessage, false), 0);
    EXPECT_NE(Send(a, longMessage, false), 0);  // 146 at its claim, or 153 after losing it
    EXPECT_TRUE(resultA == 0 || resultA == kErrAddressClaimFailed) << resultA;
    EXPECT_EQ(resultB, 0);
}

TEST_F(AdapterFaultTest, ASendThatFindsItsAddressLostRacesTheReleaseOfTheClaimSafely) {
    // The send lets the lost address's entry go while command 19 drops the
    // claim context: both under the client's sendLock, never one freeing
    // what the other reads (the sanitizers watch).
    UseDevice("USB", false);
    int16_t id = Connect(4);
    const std::vector<uint8_t> high = {0x20, 0, 0, 0, 0, 0, 0, 0}, low = {0x10, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> longMessage(20, 0x11);
    longMessage[1] = 0xEF, longMessage[3] = 0x06, longMessage[4] = 0x90, longMessage[5] = 0xFF;
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(Protect(id, 0x90, high), 0);
        ASSERT_EQ(usb_.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18EEFF90, low.data(), 8), 0);  // another node wins
        Idle(usb_);
        std::thread sender([&] { Send(id, longMessage, false); });
        EXPECT_EQ(Command(19, id, std::vector<uint8_t>(10, 0xFF)), 0);  // lets the address go
        sender.join();
    }
}

TEST_F(AdapterFaultTest, CommandsThatDoNotFitTheProtocolOrTheBoundsAreRefused) {
    UseDevice("USB", false);
    for (const char* protocol : {"CAN", "J1708"}) {
        SCOPED_TRACE(protocol);
        int16_t id = Connect(4, protocol);
        Transmitted(usb_);
        EXPECT_EQ(Protect(id, 0x80, kName), kErrInvalidProtocol);
        usb_.VaWaitIdle(1000);
        EXPECT_TRUE(Transmitted(usb_).empty());  // no claim frame on a CAN or J1708 link
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
    int16_t id = Connect(4);
    std::vector<uint8_t> filters;
    for (int i = 0; i < kMaxFilters; ++i) {
        std::vector<uint8_t> one = {0x01, static_cast<uint8_t>(i), 0xFE, 0x00, 0, 0, 0};
        filters.insert(filters.end(), one.begin(), one.end());
    }
    EXPECT_EQ(Command(4, id, filters), 0);
    EXPECT_EQ(Command(4, id, {0x01, 0xCA, 0xFE, 0x00, 0, 0, 0}), kErrMaxFiltersExceeded);
}

TEST_F(AdapterFaultTest, TwoBlockedReadersOfOneClientBothGetAMessage) {
    UseDevice("USB", false);
    int16_t id = Connect(4);
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    std::atomic<int> got[2] = {{0}, {0}};
    std::thread readers[2];
    for (int i = 0; i < 2; ++i) {
        readers[i] = std::thread([&, i] {
            char buffer[64];
            got[i] = RP1210_ReadMessage(id, buffer, sizeof buffer, 1);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // Back to back: the ring is seldom empty again between them.
    ASSERT_EQ(usb_.VaInjectBurst(0, kLinkCodeCan1, 29, kFecaFrame, data, 8, 100, 0), 0);
    EXPECT_TRUE(WaitFor([&] { return got[0] > 0 && got[1] > 0; }, std::chrono::seconds(3)));
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);  // wakes a reader left waiting
    for (std::thread& reader : readers) reader.join();
}

TEST_F(AdapterFaultTest, AReleaseThatCannotReachTheAdapterNeitherHangsNorFreesWhatItStillFills) {
    UseDevice("USB", false);
    int16_t id = Connect(4);
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    // Another thread holds AdapterCallLock (a multiplexer call that does not
    // return) while a send waits for the transmit thread and the client goes.
    std::atomic<bool> held{false}, letGo{false};
    std::thread holder([&] {
        AdapterCallGuard guard(kOsWaitForever);
        held = true;
        while (!letGo) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(WaitFor([&] { return held.load(); }));
    EXPECT_EQ(Send(id, kFrame, false), 0);
    std::atomic<bool> gone{false};
    std::thread leaver([&] {
        RP1210_ClientDisconnect(id);
        gone = true;
    });
    EXPECT_TRUE(WaitFor([&] { return gone.load(); }, std::chrono::seconds(5)));  // while the lock is still held
    // Its receive mailbox is still loaded: a frame delivered now lands in a
    // buffer that is still there.
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(usb_.VaInjectFrame(0, kLinkCodeCan1, 29, kFecaFrame, data, 8), 0);
    Idle(usb_);
    letGo = true;
    holder.join();
    leaver.join();
    // The next connect ends what was left.
    id = Connect(4);
    ASSERT_EQ(id, 1);
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
}

}  // namespace
