// J1939 address protection (command 19) on the virtual bus: claims, foreign
// claims, requests for address claims, clients contesting one address, and
// the claim again after a re-open.
#include "rp1210/claim.h"
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

using Name = std::vector<uint8_t>;
// NAMEs that differ in byte 0 one way and in byte 7 the other: as the
// numbers the frames carry, kLow is the lower one.
const Name kLow = {0xFF, 0, 0, 0, 0, 0, 0, 0x01};
const Name kHigh = {0x00, 0, 0, 0, 0, 0, 0, 0x02};

class ClaimTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        // Real waits: frames from "other nodes" must arrive inside the 250 ms.
        hooks_.table().waitMilliseconds = OsPlatformHooks().waitMilliseconds;
        hooks_.Apply();
    }
    static int16_t Protect(int16_t id, uint8_t address, const Name& name, uint8_t mode = 0, size_t size = 10) {
        std::vector<uint8_t> data = {address};
        data.insert(data.end(), name.begin(), name.end());
        data.push_back(mode);
        data.resize(size);
        return RP1210_SendCommand(19, id, reinterpret_cast<char*>(data.data()), static_cast<int16_t>(size));
    }
    // An Address Claimed frame of another node.
    void ForeignClaim(uint8_t address, const Name& name) {
        ASSERT_EQ(usb_.VaInjectFrame(0, 3, 29, 0x18EEFF00u | address, name.data(), 8), 0);
        Idle(usb_);
    }
    // The Address Claimed frames sent since the last look, as
    // (address, destination, NAME) text.
    std::vector<std::string> SentClaims() {
        std::vector<std::string> claims;
        for (const VaFrame& frame : Transmitted(usb_)) {
            if (((frame.identifier >> 16) & 0xFF) != 0xEE) continue;
            char text[16];
            std::snprintf(text, sizeof text, "%02x>%02x ", frame.identifier & 0xFF, (frame.identifier >> 8) & 0xFF);
            claims.push_back(text + Hex(std::vector<uint8_t>(frame.data, frame.data + frame.length)));
        }
        return claims;
    }
    static int16_t SendJ1939(int16_t id) {
        uint8_t message[] = {0xCA, 0xFE, 0x00, 0x06, 0xF9, 0xFF, 1};
        return RP1210_SendMessage(id, reinterpret_cast<char*>(message), sizeof message, 0, 1);
    }
    bool Settled() {
        // The transmit thread has sent what the bookkeeping queued.
        return WaitFor([&] { return usb_.VaWaitIdle(1000) == 0; });
    }

    ScopedHooks hooks_;
    int window_ = 0;
};

TEST_F(ClaimTest, AFreeAddressIsClaimedAndHeld) {
    ASSERT_EQ(Connect(), 1);
    EXPECT_EQ(Protect(1, 249, kHigh, 0, 9), kErrInvalidCommand);
    ClientRecord* client = AcquireClient(1);
    EXPECT_FALSE(client->protectOn.load());
    EXPECT_EQ(Protect(1, 249, kHigh), 0);
    EXPECT_TRUE(client->protectOn.load() && client->addressHeld.load());
    ReleaseClient(client);
    Idle(usb_);
    std::vector<VaFrame> frames = Transmitted(usb_);
    ASSERT_EQ(frames.size(), 1u);  // 00 EE 00, priority 6, from 249 to everyone, the NAME
    EXPECT_EQ(frames[0].identifier, 0x18EEFFF9u);
    EXPECT_EQ(Hex(std::vector<uint8_t>(frames[0].data, frames[0].data + frames[0].length)), "00 00 00 00 00 00 00 02");
    // Protected: a message that needs the transport protocol may go.
    std::vector<uint8_t> big = {0xCA, 0xFE, 0x00, 0x86, 0xF9, 0xFF};
    big.resize(30, 0x55);
    EXPECT_EQ(RP1210_SendMessage(1, reinterpret_cast<char*>(big.data()), 30, 0, 1), 0);
    EXPECT_EQ(Protect(1, 0xFF, {}, 0, 1), 0);
    EXPECT_EQ(Protect(1, 0xFF, {}, 0, 1), 0);  // a second release is harmless
    EXPECT_EQ(RP1210_SendMessage(1, reinterpret_cast<char*>(big.data()), 30, 0, 1), kErrAddressNeverClaimed);
}

TEST_F(ClaimTest, ForeignClaimsDuringAndAfterTheClaim) {
    ASSERT_EQ(Connect(kUsbDevice, "J1939", 0, 0, &window_), 1);
    // Another node claims the address while ours waits: 146.
    std::atomic<int> result{-1};
    std::thread claim([&] { result = Protect(1, 249, kHigh); });
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) > 0; }));
    ForeignClaim(249, kLow);
    claim.join();
    EXPECT_EQ(result, kErrAddressClaimFailed);

    // Held, then a claim with a higher NAME is answered with ours ...
    ASSERT_EQ(Protect(1, 249, kLow), 0);
    Transmitted(usb_);
    ForeignClaim(249, kHigh);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) >= 1; }));
    EXPECT_EQ(SentClaims(), std::vector<std::string>{"f9>f9 ff 00 00 00 00 00 00 01"});
    // ... and one with a lower NAME takes the address.
    ASSERT_EQ(Protect(1, 249, kHigh), 0);
    OsTakePostedMessages();
    ForeignClaim(249, kLow);
    EXPECT_EQ(SendJ1939(1), kErrAddressLost);
    bool told = false;
    for (const OsPostedMessage& posted : OsTakePostedMessages()) {
        told = told || (posted.wParam == kErrAddressLost && posted.lParam == 249 && posted.window == &window_);
    }
    EXPECT_TRUE(told);
}

TEST_F(ClaimTest, AClaimWaitsAQuarterSecondForCompetitors) {
    ASSERT_EQ(Connect(), 1);
    // Another node's claim 120 ms after ours went out still counts.
    std::atomic<int> result{-1};
    std::thread claim([&] { result = Protect(1, 249, kHigh); });
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    ForeignClaim(249, kLow);
    claim.join();
    EXPECT_EQ(result, kErrAddressClaimFailed);
}

TEST_F(ClaimTest, RequestsForAddressClaims) {
    ASSERT_EQ(Connect(), 1);
    ASSERT_EQ(Connect(), 2);
    ASSERT_EQ(Protect(1, 249, kHigh), 0);
    ASSERT_EQ(Protect(2, 250, kLow), 0);
    Idle(usb_);
    Transmitted(usb_);
    const uint8_t request[] = {0x00, 0xEE, 0x00};
    // A global request from 0x10: every protected address, to the requester.
    ASSERT_EQ(usb_.VaInjectFrame(0, 3, 29, 0x18EAFF10, request, 3), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) >= 2; }));
    std::vector<std::string> claims = SentClaims();
    std::sort(claims.begin(), claims.end());
    EXPECT_EQ(claims, (std::vector<std::string>{"f9>10 00 00 00 00 00 00 00 02", "fa>10 ff 00 00 00 00 00 00 01"}));
    // A request from the null address is answered to everyone.
    ASSERT_EQ(usb_.VaInjectFrame(0, 3, 29, 0x18EAFFFE, request, 3), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) >= 2; }));
    for (const std::string& claim : SentClaims()) EXPECT_EQ(claim.substr(2, 3), ">ff");
    // A directed request: one answer, from the address asked.
    ASSERT_EQ(usb_.VaInjectFrame(0, 3, 29, 0x18EAFA10, request, 3), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaTakeTransmitted(nullptr, 0) >= 1; }));
    ASSERT_TRUE(Settled());
    EXPECT_EQ(SentClaims(), std::vector<std::string>{"fa>10 ff 00 00 00 00 00 00 01"});
}

TEST_F(ClaimTest, ClientsOfOneConnectionContestAnAddress) {
    ASSERT_EQ(Connect(kUsbDevice, "J1939", 0, 0, &window_), 1);
    ASSERT_EQ(Connect(), 2);
    ASSERT_EQ(Connect(), 3);
    ASSERT_EQ(Protect(1, 249, kHigh), 0);
    Idle(usb_);
    Transmitted(usb_);
    OsTakePostedMessages();
    EXPECT_EQ(Protect(2, 249, kLow), 0);  // the lower NAME wins; no frame needed
    EXPECT_EQ(Protect(3, 249, kHigh), kErrAddressClaimFailed);
    Idle(usb_);
    EXPECT_TRUE(SentClaims().empty());
    EXPECT_EQ(SendJ1939(1), kErrAddressLost);
    EXPECT_EQ(OsTakePostedMessages().size(), 1u);
    EXPECT_EQ(SendJ1939(2), 0);
    ClientRecord* third = AcquireClient(3);
    EXPECT_FALSE(third->protectOn.load());
    ReleaseClient(third);
    EXPECT_TRUE(NameWins(kLow.data(), kHigh.data()));
    EXPECT_FALSE(NameWins(kHigh.data(), kLow.data()));
    EXPECT_FALSE(NameWins(kLow.data(), kLow.data()));
}

TEST_F(ClaimTest, AReopenClaimsTheAddressAgain) {
    WriteVendorIni(DefaultVendorIni().Set("Heartbeat", "HeartbeatFlag", "1"));
    ASSERT_EQ(Connect(), 1);
    ASSERT_EQ(Protect(1, 249, kHigh), 0);
    VaAdapterInfo adapter;
    ASSERT_EQ(usb_.VaListAdapters(&adapter, 1), 1);
    ASSERT_EQ(usb_.LoadTimer(adapter.id, 5000000), 0);
    ClientRecord* client = AcquireClient(1);
    ASSERT_TRUE(WaitFor([&] { return client->lastTimerValue.load() >= 5000000; }));
    Idle(usb_);
    Transmitted(usb_);
    int opens = usb_.VaCallCount("InitDataLink");
    ASSERT_EQ(usb_.VaResetTimer(0), 0);
    ASSERT_TRUE(WaitFor([&] { return usb_.VaCallCount("InitDataLink") > opens; }));
    ASSERT_TRUE(WaitFor([&] { return !SentClaims().empty(); }));
    ASSERT_TRUE(WaitFor([&] { return client->addressHeld.load() && !client->linkLost.load(); }));
    ReleaseClient(client);
    EXPECT_EQ(SendJ1939(1), 0);
}

}  // namespace
