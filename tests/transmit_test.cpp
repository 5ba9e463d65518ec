// The transmit path through the exports: what the adapter is asked to send
// for each protocol on both adapter generations, the checks, sequence
// numbers and notifications, blocking senders, refusals, busy adapters,
// data-link errors and echo.
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

class TransmitTest : public LibraryTest {
protected:
    int16_t Open(const char* protocol, const char* params = "", const char* description = "VDA,1.00,3",
                 void* window = nullptr) {
        WriteVendorIni(WithProtocol(protocol, params, "1"));
        EXPECT_EQ(usb_.VaSetDescription(description), 0);
        return Connect(kUsbDevice, protocol, 0, 0, window);
    }
    static int16_t Send(int16_t id, std::vector<uint8_t> message, bool block = true, bool notify = false) {
        return RP1210_SendMessage(id, reinterpret_cast<char*>(message.data()), static_cast<int16_t>(message.size()),
                                  notify, block);
    }
    // Sends and returns what went on the bus and the flags byte it was sent with.
    VaFrame SendOne(int16_t id, const std::vector<uint8_t>& message) {
        EXPECT_EQ(Send(id, message), 0);
        Idle(usb_);
        std::vector<VaFrame> frames = Transmitted(usb_);
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? VaFrame{} : frames[0];
    }
    static std::string Data(const VaFrame& frame) {
        return Hex(std::vector<uint8_t>(frame.data, frame.data + frame.length));
    }
};

TEST_F(TransmitTest, PersistentMailboxesFlagsAndIdentifiers) {
    int16_t id = Open("J1939");
    ASSERT_EQ(id, 1);
    // PGN 0xFECA, priority 6, from 0x80: 0x61 (length) | 0x02 (identifier) the first time.
    std::vector<uint8_t> pdu2 = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    VaFrame frame = SendOne(id, pdu2);
    EXPECT_EQ(frame.identifier, 0x18FECA80u);
    EXPECT_EQ(frame.identifierWidth, 29);
    EXPECT_EQ(frame.flags, 0x63);
    EXPECT_EQ(Data(frame), "01 02 03 04 05 06 07 08");
    EXPECT_EQ(SendOne(id, pdu2).flags, 0x41);  // nothing changed
    pdu2.resize(9);
    EXPECT_EQ(SendOne(id, pdu2).flags, 0x61);  // the length changed
    pdu2[4] = 0x81;
    EXPECT_EQ(SendOne(id, pdu2).flags, 0x43);  // the identifier changed
    // PDU1: the destination goes into the identifier.
    frame = SendOne(id, {0x00, 0xEF, 0x00, 0x03, 0x80, 0x25, 0xAA});
    EXPECT_EQ(frame.identifier, 0x0CEF2580u);
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);

    const struct {
        const char* protocol;
        std::vector<uint8_t> message;
        uint32_t identifier;
        uint8_t width, flags, priority;
        const char* data;
    } cases[] = {
        {"CAN", {0, 0x01, 0x23, 9, 8}, 0x123, 11, 0x63, 0, "09 08"},
        {"CAN", {'0', 0x01, 0x23, 9, 8}, 0x123, 11, 0x63, 0, "09 08"},
        {"CAN", {1, 0x18, 0xFE, 0xF1, 0x00, 7}, 0x18FEF100, 29, 0x63, 0, "07"},
        {"J1708", {3, 0x80, 0xBE, 0x01, 0x02}, 0, 0, 0x63, 3, "80 be 01 02"},
        {"J1850", {3, 0, 0, 0xAB, 0xCD, 0xEF, 1, 2}, 0xABCDEF, 24, 0x63, 0, "01 02"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        id = Open(c.protocol);
        frame = SendOne(id, c.message);
        EXPECT_EQ(frame.identifier, c.identifier);
        EXPECT_EQ(frame.identifierWidth, c.width);
        EXPECT_EQ(frame.flags, c.flags);
        EXPECT_EQ(frame.priority, c.priority);
        EXPECT_EQ(Data(frame), c.data);
        EXPECT_EQ(frame.oneShot, 0);
        // A standard CAN frame always says its identifier changed.
        bool standard = std::string(c.protocol) == "CAN" && c.width == 11;
        EXPECT_EQ(SendOne(id, c.message).flags, standard ? 0x43 : 0x41);
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(TransmitTest, OneShotMailboxesFromTypeFiveAndForLongJ1939Messages) {
    int dummyWindow = 0;
    const struct {
        const char* protocol;
        const char* params;
        const char* description;
        std::vector<uint8_t> message;
        uint8_t width, frameKind, destination, sizeLimitOn;
        uint16_t sizeLimit;
        uint32_t identifier;
    } cases[] = {
        {"J1939", "", "VDA,1,5", {0xCA, 0xFE, 0x00, 0x06, 0x80, 0x33, 1, 2}, 29, 1, 0x33, 0, 0, 0x18FECA80},
        {"J1939", "Channel=2", "VDA,1,3", std::vector<uint8_t>(6 + 20, 0x80), 29, 2, 0x80, 1, 1785, 0},
        {"J1939", "Channel=2", "VDA,1,5", {0x00, 0xEF, 0x00, 0x06, 0x80, 0x25, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 29, 4,
         0x25, 1, 1785, 0x18EF2580},
        {"CAN", "", "VDA,1,5", {0, 0x07, 0xFF, 1}, 11, 1, 0, 0, 0, 0x7FF},
        {"CAN", "", "VDA,1,5", {1, 0x1F, 0xFF, 0xFF, 0xFF, 1}, 29, 1, 0, 0, 0, 0x1FFFFFFF},
        {"J1850", "", "VDA,1,5", {3, 0, 0, 0x12, 0x34, 0x56, 1}, 24, 1, 0, 1, 0, 0x123456},
        {"J1708", "", "VDA,1,5", std::vector<uint8_t>(3 + 20, 0x41), 0, 0, 0, 1, 3830, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.params + " " + c.description);
        int16_t id = Open(c.protocol, c.params, c.description, &dummyWindow);
        ASSERT_EQ(id, 1);
        TakeCalls(usb_);
        EXPECT_EQ(Send(id, c.message), 0);
        EXPECT_GT(Send(id, c.message, false, true), 0);  // with notify: its sequence number
        EXPECT_EQ(Send(id, c.message, false, false), 0);
        ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) == 3; }));  // the thread sent all three
        ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeCalls(nullptr, 0) >= 3; }));        // and their loads are logged
        Idle(usb_);
        std::vector<VaCall> calls = TakeCalls(usb_);
        MailboxSetup blocking, quiet;
        ASSERT_TRUE(FirstRecord(calls, "LoadMailBox", &blocking, 0));
        ASSERT_TRUE(FirstRecord(calls, "LoadMailBox", &quiet, 2));
        EXPECT_EQ(blocking.direction, 1);
        EXPECT_EQ(blocking.oneShot, 1);
        EXPECT_EQ(blocking.noTimestamp, 1);
        EXPECT_EQ(blocking.fullMask, 1);
        EXPECT_EQ(uint16_t{blocking.oneShotWord}, 1);
        EXPECT_TRUE(blocking.owner != nullptr);
        EXPECT_EQ(blocking.identifierWidth, c.width);
        EXPECT_EQ(blocking.frameKind, c.frameKind);
        EXPECT_EQ(blocking.destination, c.destination);
        EXPECT_EQ(blocking.sizeLimitOn, c.sizeLimitOn);
        EXPECT_EQ(uint16_t{blocking.sizeLimit}, c.sizeLimit);
        if (c.identifier != 0) {
            EXPECT_EQ(uint32_t{blocking.identifier}, c.identifier);
        }
        int header = c.width == 11 ? 3 : c.width == 0 ? 3 : std::string(c.protocol) == "CAN" ? 5 : 6;
        EXPECT_EQ(uint16_t{blocking.dataLength}, c.message.size() - static_cast<size_t>(header));
        if (c.width == 0) {
            EXPECT_EQ(blocking.j1708Header[1], 0x41);
        }
        // Single frames nobody waits for, to be told of or echoed complete
        // through the no-op callback; the rest through transmit-complete.
        bool single = c.frameKind == 1;
        EXPECT_EQ(blocking.callback == quiet.callback, !single);
        EXPECT_EQ(Transmitted(usb_).size(), 3u);
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(TransmitTest, ChecksOfTheMessage) {
    int dummyWindow = 0;
    const struct {
        const char* protocol;
        const char* params;
        size_t size;
        uint8_t first;
        int16_t result;
    } cases[] = {
        {"J1939", "Channel=2", 1791, 0, 0},   {"J1939", "Channel=2", 1792, 0, 141},
        {"J1939", "", 14, 0, 0},               {"J1939", "", 15, 0, 157},
        {"J1939", "", 5, 0, 163},              {"CAN", "", 11, 0, 0},
        {"CAN", "", 12, 0, 141},               {"CAN", "", 13, 1, 0},
        {"CAN", "", 14, 1, 141},               {"CAN", "", 4, 1, 163},
        {"J1708", "", 508, 3, 0},              {"J1708", "", 509, 3, 141},
        {"J1708", "", 2, 3, 163},              {"J1850", "", 514, 3, 0},
        {"J1850", "", 515, 3, 141},            {"J1850", "", 8, 4, 163},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.params + " " + std::to_string(c.size));
        int16_t id = Open(c.protocol, c.params, "VDA,1.00,3", &dummyWindow);
        std::vector<uint8_t> message(c.size, 0x11);
        message[0] = c.first;
        EXPECT_EQ(Send(id, message), c.result);
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
    int16_t id = Open("J1939");
    std::vector<uint8_t> message = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1};
    EXPECT_EQ(Send(id, message, false, true), kErrWindowHandleRequired);
    EXPECT_EQ(RP1210_SendMessage(id, nullptr, 8, 0, 1), kErrMessageFormatNotSupported);
    EXPECT_EQ(RP1210_SendMessage(id, reinterpret_cast<char*>(message.data()), -1, 0, 1), kErrMessageTooLong);
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    id = Open("J1939", "", "VDA,1.00,3", &dummyWindow);
    EXPECT_EQ(Send(id, message, true, true), kErrBlockNotAllowed);
}

TEST_F(TransmitTest, SequenceNumbersNotificationsAndEcho) {
    int dummyWindow = 0;
    int16_t id = Open("J1939", "", "VDA,1.00,3", &dummyWindow);
    std::vector<uint8_t> message = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2};
    int16_t first = Send(id, message, false, true);
    ASSERT_GE(first, 1);
    ASSERT_LE(first, 126);
    int16_t previous = first;
    for (int i = 0; i < 130; ++i) {
        int16_t next = Send(id, message, false, true);
        ASSERT_EQ(next, previous % 126 + 1);
        previous = next;
    }
    Idle(usb_);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) == 131; }));
    OsTakePostedMessages();
    int16_t sequence = Send(id, message, false, true);
    // Its completion posts statusMessage: 145, and the sequence number plus the status.
    bool told = false;
    ASSERT_TRUE(WaitFor([&] {
        for (const OsPostedMessage& posted : OsTakePostedMessages()) {
            told = told || (posted.window == &dummyWindow && posted.message == OsRegisterWindowMessage("HVLNK32_Err") &&
                            posted.wParam == kErrTxMessageStatus && posted.lParam == sequence);
        }
        return told;
    }));

    // Echo: the sender reads what it sent, marked 1, J1708 without its priority.
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    uint8_t on = 1;
    ASSERT_EQ(RP1210_SendCommand(16, id, reinterpret_cast<char*>(&on), 1), 0);
    ASSERT_EQ(Send(id, message), 0);
    std::vector<uint8_t> echo = Read(id);
    ASSERT_EQ(echo.size(), message.size() + 5);
    EXPECT_EQ(echo[4], 1);
    EXPECT_EQ(Hex(std::vector<uint8_t>(echo.begin() + 5, echo.end())), Hex(message));
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);

    id = Open("J1708");
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    ASSERT_EQ(RP1210_SendCommand(16, id, reinterpret_cast<char*>(&on), 1), 0);
    ASSERT_EQ(Send(id, {3, 0x80, 0xBE, 0x01}), 0);
    echo = Read(id);
    ASSERT_EQ(echo.size(), 8u);
    EXPECT_EQ(Hex(std::vector<uint8_t>(echo.begin() + 4, echo.end())), "01 80 be 01");
}

TEST_F(TransmitTest, BlockingSendersRefusalsBusyAndDataLinkErrors) {
    // Real waits: the second sender's turn must not time out while the test
    // holds the first completion back.
    ScopedHooks hooks;
    hooks.table().waitMilliseconds = OsPlatformHooks().waitMilliseconds;
    hooks.Apply();
    int16_t a = Open("J1939");
    int16_t b = Connect();  // shares the connection
    ASSERT_EQ(b, 2);
    std::vector<uint8_t> message = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2};

    // Two blocking senders of two clients: the second waits for the first.
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    TakeCalls(usb_);
    std::atomic<int> resultA{-1}, resultB{-1};
    std::thread first([&] { resultA = Send(a, message); });
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("UpdateTransmitMailBox") == 1; }));
    std::thread second([&] { resultB = Send(b, message); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(resultA, -1);
    EXPECT_EQ(resultB, -1);
    // The first fails on the data link; the second goes and is sent.
    std::vector<VaMailboxInfo> transmit = Mailboxes(usb_, 1);
    ASSERT_FALSE(transmit.empty());
    ASSERT_EQ(usb_.VaRaiseDataLinkError(transmit[0].adapterId, 3, transmit[0].mailbox, 7), 0);
    first.join();
    EXPECT_EQ(resultA, kErrMessageNotSent);
    // Both updates have returned (logged at their end): both completions are held.
    int updates = 0;
    ASSERT_TRUE(WaitFor([&] { return (updates += Count(TakeCalls(usb_), "UpdateTransmitMailBox")) >= 2; }));
    EXPECT_EQ(usb_.VaHoldCompletions(-1), 2);  // the first one's own completion comes too late: dropped
    // ... and the second's completion with it: the queue would stall, so
    // the second is completed by a data-link error too.
    ASSERT_EQ(usb_.VaRaiseDataLinkError(transmit[0].adapterId, 3, transmit[0].mailbox, 7), 0);
    second.join();
    EXPECT_EQ(resultB, kErrMessageNotSent);
    EXPECT_EQ(Send(a, message), 0);
    EXPECT_EQ(Send(b, message), 0);
    EXPECT_EQ(RP1210_ClientDisconnect(b), 0);
    EXPECT_EQ(RP1210_ClientDisconnect(a), 0);

    // A newer adapter refusing the load: 142; busy: tried again until it takes it.
    a = Open("J1939", "", "VDA,1.00,5");
    ASSERT_EQ(usb_.VaFailLoads(1, 77), 0);
    EXPECT_EQ(Send(a, message), kErrHardwareNotResponding);
    int loadsBefore = usb_.VaCallCount("LoadMailBox");
    ASSERT_EQ(usb_.VaFailLoads(3, 10), 0);
    EXPECT_EQ(Send(a, message), 0);
    EXPECT_EQ(usb_.VaCallCount("LoadMailBox") - loadsBefore, 4);
    // A disconnect from another thread wakes a blocked sender.
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    std::thread blocked([&] { resultA = Send(a, message); });
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("LoadMailBox") - loadsBefore == 5; }));
    EXPECT_EQ(RP1210_ClientDisconnect(a), 0);
    blocked.join();
    EXPECT_NE(resultA, -1);
    usb_.VaHoldCompletions(-1);
}

// The queue's bookkeeping, seen from the bus: with the adapter keeping
// completions back, what goes out, what does not and what the window is told.
TEST_F(TransmitTest, TheQueueSendsWhatItAcceptedAndNothingElse) {
    ScopedHooks hooks;  // completions are kept back longer than a request may wait
    hooks.table().tickCount = OsPlatformHooks().tickCount;
    hooks.Apply();
    int window = 0;
    auto frame = [](uint8_t tag) { return std::vector<uint8_t>{0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, tag}; };
    auto tags = [&] {
        std::vector<int> out;
        for (const VaFrame& f : Transmitted(usb_)) out.push_back(f.data[0]);
        return out;
    };

    // A blocking sender that gives up its turn takes back its own request.
    int16_t id = Open("J1939", "", "VDA,1.00,3", &window);
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    ASSERT_EQ(Send(id, frame(1), false), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("UpdateTransmitMailBox") == 1; }));
    int16_t second = Send(id, frame(2), false, true);
    ASSERT_GT(second, 0);
    EXPECT_EQ(Send(id, frame(3), true), kErrHardwareNotResponding);  // no turn within 1000 ms
    OsTakePostedMessages();
    usb_.VaHoldCompletions(0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaWaitIdle(1000) == 0 && usb_.VaTakeTransmitted(nullptr, 0) >= 2; }));
    EXPECT_EQ(tags(), (std::vector<int>{1, 2}));
    bool told = false;
    ASSERT_TRUE(WaitFor([&] {
        for (const OsPostedMessage& m : OsTakePostedMessages()) told = told || (m.lParam == second);
        return told;
    }));

    // A refused send's window message carries its sequence number plus 142.
    ASSERT_EQ(usb_.VaFailEntry("UpdateTransmitMailBox", 0, 1, 77), 0);
    int16_t refused = Send(id, frame(4), false, true);
    told = false;
    ASSERT_TRUE(WaitFor([&] {
        for (const OsPostedMessage& m : OsTakePostedMessages()) {
            told = told || (m.wParam == kErrTxMessageStatus && m.lParam == refused + kErrHardwareNotResponding);
        }
        return told;
    }));

    // An echo carries the time the adapter sent it.
    VaAdapterInfo adapter{};
    ASSERT_EQ(usb_.VaListAdapters(&adapter, 1), 1);
    ASSERT_EQ(usb_.LoadTimer(adapter.id, 700000), 0);
    ASSERT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
    uint8_t on = 1;
    ASSERT_EQ(RP1210_SendCommand(16, id, reinterpret_cast<char*>(&on), 1), 0);
    ASSERT_EQ(Send(id, frame(5), true), 0);
    std::vector<uint8_t> echo = Read(id);
    ASSERT_EQ(echo.size(), 12u);
    uint32_t stamp = uint32_t{echo[0]} << 24 | uint32_t{echo[1]} << 16 | uint32_t{echo[2]} << 8 | echo[3];
    EXPECT_GE(stamp, 700000u);
    EXPECT_LT(stamp, 800000u);
    Transmitted(usb_);

    // A leaving client's requests that have not gone out do not go, while
    // another client keeps the connection.
    int16_t other = Connect();
    ASSERT_EQ(other, 2);
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    for (uint8_t tag = 6; tag <= 8; ++tag) ASSERT_EQ(Send(id, frame(tag), false), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) == 1; }));
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    usb_.VaHoldCompletions(0);
    EXPECT_EQ(Send(other, frame(9), true), 0);
    EXPECT_EQ(tags(), (std::vector<int>{6, 9}));
}

TEST_F(TransmitTest, ASenderWaitsAQuarterSecondForItsTurnAtTheSendLock) {
    // Real waits: a claim that waits for its frame (kept back) holds the
    // client's sendLock for 550 ms; a send of the same client meanwhile
    // gives up after 250 ms.
    ScopedHooks hooks;
    hooks.table().tickCount = OsPlatformHooks().tickCount;
    hooks.table().waitMilliseconds = OsPlatformHooks().waitMilliseconds;
    hooks.Apply();
    int16_t id = Open("J1939");
    ASSERT_EQ(usb_.VaHoldCompletions(1), 0);
    std::vector<uint8_t> claim = {0x80, 1, 2, 3, 4, 5, 6, 7, 8, 0};
    std::thread claimer([&] { RP1210_SendCommand(19, id, reinterpret_cast<char*>(claim.data()), 10); });
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("UpdateTransmitMailBox") == 1; }));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(id, {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1}, false), kErrHardwareNotResponding);
    auto waited = std::chrono::steady_clock::now() - start;
    claimer.join();
    EXPECT_GE(waited, std::chrono::milliseconds(200));  // (a longer wait would outlast the claim: 0)
    usb_.VaHoldCompletions(-1);
}

}  // namespace
