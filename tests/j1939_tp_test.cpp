// The J1939 transport engine through its public calls, time given explicitly.
#include "sim/va_j1939_tp.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<std::pair<uint32_t, Bytes>>;  // identifier, data
constexpr uint8_t kA = 0x11, kB = 0x22;
constexpr uint32_t kIdAtoB = 0x18EF2211;  // PGN 0xEF00 (PDU1) from A to B
constexpr uint32_t kCmAtoB = 0x1CEC2211, kCmBtoA = 0x1CEC1122, kDtAtoB = 0x1CEB2211;
constexpr uint64_t kNever = UINT64_MAX;

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + i / 256);  // does not repeat every 256
    return b;
}
Bytes Cm(uint8_t code, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint32_t pgn = 0xEF00) {
    return {code, b1, b2, b3, b4, uint8_t(pgn), uint8_t(pgn >> 8), uint8_t(pgn >> 16)};
}
Bytes Dt(const Bytes& data, unsigned seq) {
    Bytes b{uint8_t(seq)};
    for (size_t i = (seq - 1) * 7; i < seq * 7; ++i) b.push_back(i < data.size() ? data[i] : 0xFF);
    return b;
}
Frames Sent(va::J1939Transport& t) {
    Frames out;
    for (const va::TpFrame& f : t.TakeFrames()) out.push_back({f.identifier, Bytes(f.data, f.data + f.length)});
    return out;
}
Frames One(uint32_t id, const Bytes& d) { return {{id, d}}; }
void Feed(va::J1939Transport& t, uint32_t id, const Bytes& d, uint64_t now) { t.OnFrame(id, d.data(), 8, now); }
bool AcceptsB(uint8_t da) { return da == kB; }
void ExpectMessage(va::J1939Transport& t, uint32_t id, uint8_t destination, const Bytes& data) {
    const auto m = t.TakeMessages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(std::make_pair(m[0].identifier, m[0].destination), std::make_pair(id, destination));
    EXPECT_EQ(m[0].data, data);
}
void ExpectResult(va::J1939Transport& t, uint64_t ticket, bool ok, uint8_t reason) {
    const auto r = t.TakeResults();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].ticket == ticket && r[0].ok == ok && r[0].abortReason == reason);
}

TEST(J1939TpSend, BamAnnouncesThenPacesPaddedPackets) {
    va::J1939Transport t(AcceptsB);
    const Bytes data = Pattern(10);
    EXPECT_EQ(t.Send(0x18FF1011, 0xFF, data.data(), 8, 0), 0u);  // too short for transport
    const uint64_t ticket = t.Send(0x18FF1011, 0xFF, data.data(), data.size(), 1000);
    EXPECT_EQ(Sent(t), One(0x1CECFF11, Cm(32, 10, 0, 2, 0xFF, 0xFF10)));
    EXPECT_EQ(t.NextDue(), 1050u);
    t.Poll(1049);
    EXPECT_EQ(Sent(t), Frames{});
    t.Poll(1050);
    EXPECT_EQ(Sent(t), One(0x1CEBFF11, Dt(data, 1)));
    EXPECT_EQ(t.NextDue(), 1100u);
    t.Poll(1100);
    EXPECT_EQ(Sent(t), One(0x1CEBFF11, {2, 49, 56, 63, 0xFF, 0xFF, 0xFF, 0xFF}));
    ExpectResult(t, ticket, true, 0);
    EXPECT_EQ(t.NextDue(), kNever);
}

TEST(J1939TpSend, RtsFollowsCtsWindowsAndHoldUntilEndOfMessage) {
    va::J1939Transport t(AcceptsB);
    const Bytes data = Pattern(40);  // 6 packets
    const uint64_t ticket = t.Send(kIdAtoB, kB, data.data(), data.size(), 0);
    t.Send(kIdAtoB, kB, data.data(), data.size(), 0);  // waits its turn
    EXPECT_EQ(Sent(t), One(kCmAtoB, Cm(16, 40, 0, 6, 0xFF)));
    // A window's packets go a millisecond apart, the first at once.
    Feed(t, kCmBtoA, Cm(17, 2, 1, 0xFF, 0xFF), 100);
    EXPECT_EQ(Sent(t), One(kDtAtoB, Dt(data, 1)));
    EXPECT_EQ(t.NextDue(), 101u);
    t.Poll(101);
    EXPECT_EQ(Sent(t), One(kDtAtoB, Dt(data, 2)));
    Feed(t, kCmBtoA, Cm(17, 0, 3, 0xFF, 0xFF), 200);  // hold
    EXPECT_EQ(t.NextDue(), 1250u);
    Feed(t, kCmBtoA, Cm(17, 4, 3, 0xFF, 0xFF), 300);
    for (uint64_t now = 301; now <= 303; ++now) t.Poll(now);
    EXPECT_EQ(Sent(t), (Frames{{kDtAtoB, Dt(data, 3)}, {kDtAtoB, Dt(data, 4)}, {kDtAtoB, Dt(data, 5)},
                               {kDtAtoB, Dt(data, 6)}}));
    Feed(t, kCmBtoA, Cm(19, 40, 0, 6, 0xFF), 400);
    ExpectResult(t, ticket, true, 0);
    EXPECT_EQ(Sent(t), One(kCmAtoB, Cm(16, 40, 0, 6, 0xFF)));  // the second starts
}

TEST(J1939TpSend, FailsOnTimeOutsAndAborts) {
    struct Case { const char* name; std::vector<Bytes> answers; uint64_t due; uint8_t reason; };
    const Case cases[] = {{"no CTS", {}, 1250, 3},
                          {"hold not renewed", {Cm(17, 0, 1, 0xFF, 0xFF)}, 1050, 3},
                          {"no EoMA", {Cm(17, 2, 1, 0xFF, 0xFF)}, 1251, 3},  // the window's last packet at 1
                          {"Abort received", {Cm(255, 2, 0xFF, 0xFF, 0xFF)}, kNever, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        va::J1939Transport t(AcceptsB);
        const Bytes data = Pattern(9);
        const uint64_t ticket = t.Send(kIdAtoB, kB, data.data(), data.size(), 0);
        for (const Bytes& answer : c.answers) Feed(t, kCmBtoA, answer, 0);
        t.Poll(1);
        Sent(t);
        EXPECT_EQ(t.NextDue(), c.due);
        if (c.due != kNever) t.Poll(c.due);
        EXPECT_EQ(Sent(t), c.due == kNever ? Frames{} : One(kCmAtoB, Cm(255, 3, 0xFF, 0xFF, 0xFF)));
        ExpectResult(t, ticket, false, c.reason);
    }
}

TEST(J1939TpSend, AReceiverCanNeitherFloodNorKeepAConnection) {
    const Bytes data = Pattern(1785);  // 255 packets
    // A window of 255 packets: paced, one a millisecond.
    {
        va::J1939Transport t(AcceptsB);
        t.Send(kIdAtoB, kB, data.data(), data.size(), 0);
        Sent(t);
        Feed(t, kCmBtoA, Cm(17, 255, 1, 0xFF, 0xFF), 10);
        EXPECT_EQ(Sent(t).size(), 1u);
        t.Poll(10);
        EXPECT_EQ(Sent(t).size(), 0u);
        t.Poll(12);
        EXPECT_EQ(Sent(t).size(), 1u);
    }
    // A CTS while a window is still being sent; too many repeats; too many holds.
    struct Case { const char* name; std::vector<Bytes> answers; uint8_t reason; };
    std::vector<Bytes> repeats(4, Cm(17, 1, 1, 0xFF, 0xFF)), holds(17, Cm(17, 0, 1, 0xFF, 0xFF));
    const Case cases[] = {{"CTS during data", {Cm(17, 16, 1, 0xFF, 0xFF), Cm(17, 16, 1, 0xFF, 0xFF)}, 4},
                          {"repeated packets", repeats, 5},
                          {"held for ever", holds, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        va::J1939Transport t(AcceptsB);
        const uint64_t ticket = t.Send(kIdAtoB, kB, data.data(), data.size(), 0);
        Sent(t);
        Frames last;
        for (const Bytes& answer : c.answers) {
            Feed(t, kCmBtoA, answer, 100);
            last = Sent(t);
        }
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(last.back(), std::make_pair(kCmAtoB, Cm(255, c.reason, 0xFF, 0xFF, 0xFF)));
        ExpectResult(t, ticket, false, c.reason);
    }
}

TEST(J1939TpReceive, AnnouncementsThatContradictThemselvesOpenNothing) {
    // Size 9 but 255 packets, and too long: an RTS is answered with an Abort,
    // a BAM ignored; the packets that follow make no message.
    for (const Bytes& sizes : {Bytes{9, 0, 255}, Bytes{0xFA, 0x06, 255}}) {
        va::J1939Transport t(AcceptsB);
        Feed(t, kCmAtoB, Cm(16, sizes[0], sizes[1], sizes[2], 0xFF), 0);
        EXPECT_EQ(Sent(t), One(kCmBtoA, Cm(255, 250, 0xFF, 0xFF, 0xFF)));
        Feed(t, 0x1CECFF33, Cm(32, sizes[0], sizes[1], sizes[2], 0xFF), 0);
        const Bytes data = Pattern(1785);
        for (unsigned seq = 1; seq <= 255; ++seq) {
            Feed(t, kDtAtoB, Dt(data, seq), 1);
            Feed(t, 0x1CEBFF33, Dt(data, seq), 1);
        }
        EXPECT_TRUE(t.TakeMessages().empty());
        EXPECT_EQ(Sent(t), Frames{});
        EXPECT_EQ(t.NextDue(), kNever);
    }
}

TEST(J1939TpReceive, BamReassemblesByteForByte) {
    for (size_t size : {size_t(100), size_t(1785)}) {
        va::J1939Transport t(AcceptsB);
        const Bytes data = Pattern(size);
        const unsigned packets = unsigned((size + 6) / 7);
        Feed(t, 0x1CECFF33, Cm(32, uint8_t(size), uint8_t(size >> 8), uint8_t(packets), 0xFF, 0xFECA), 0);
        for (unsigned seq = 1; seq <= packets; ++seq) Feed(t, 0x1CEBFF33, Dt(data, seq), seq * 50);
        ExpectMessage(t, 0x18FECA33, 0xFF, data);
        EXPECT_EQ(Sent(t), Frames{});
    }
}

TEST(J1939TpReceive, RtsIsAnsweredWithCtsWindowsAndEndOfMessage) {
    va::J1939Transport t(AcceptsB);
    const Bytes data = Pattern(40);  // 6 packets, 4 per CTS as the sender asks
    Feed(t, kCmAtoB, Cm(16, 40, 0, 6, 4), 0);
    EXPECT_EQ(Sent(t), One(kCmBtoA, Cm(17, 4, 1, 0xFF, 0xFF)));
    for (unsigned seq = 1; seq <= 4; ++seq) Feed(t, kDtAtoB, Dt(data, seq), 10);
    EXPECT_EQ(Sent(t), One(kCmBtoA, Cm(17, 2, 5, 0xFF, 0xFF)));
    for (unsigned seq = 5; seq <= 6; ++seq) Feed(t, kDtAtoB, Dt(data, seq), 20);
    EXPECT_EQ(Sent(t), One(kCmBtoA, Cm(19, 40, 0, 6, 0xFF)));
    ExpectMessage(t, kIdAtoB, kB, data);
}

TEST(J1939TpReceive, AbortsOnBadSequenceAndTimeOut) {
    struct Case { const char* name; std::vector<unsigned> packets; uint64_t due; uint8_t reason; };
    const Case cases[] = {{"out of order", {1, 3}, kNever, 7}, {"repeated", {1, 1}, kNever, 8},
                          {"sequence number 0", {0}, kNever, 7},
                          {"silence between packets", {1}, 750, 3}, {"silence after CTS", {}, 1250, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        va::J1939Transport t(AcceptsB);
        const Bytes data = Pattern(40);
        Feed(t, kCmAtoB, Cm(16, 40, 0, 6, 0xFF), 0);
        Sent(t);
        for (unsigned seq : c.packets) Feed(t, kDtAtoB, Dt(data, seq), 0);
        if (c.due != kNever) {
            t.Poll(c.due - 1);
            EXPECT_EQ(Sent(t), Frames{});
            t.Poll(c.due);
        }
        EXPECT_EQ(Sent(t), One(kCmBtoA, Cm(255, c.reason, 0xFF, 0xFF, 0xFF)));
        EXPECT_EQ(t.NextDue(), kNever);  // the session is gone
    }
}

TEST(J1939TpReceive, RtsToAnotherDestinationIsIgnored) {
    va::J1939Transport t(AcceptsB);
    Feed(t, 0x1CEC3311, Cm(16, 9, 0, 2, 0xFF), 0);
    EXPECT_EQ(Sent(t), Frames{});
    EXPECT_EQ(t.NextDue(), kNever);
}

TEST(J1939TpLink, TwoEnginesTransferTheLongestMessageBothWays) {
    va::J1939Transport a([](uint8_t da) { return da == kA; }), b(AcceptsB);
    const Bytes toB = Pattern(1785), toA(1785, 0x5A);
    const uint64_t ticketA = a.Send(kIdAtoB, kB, toB.data(), toB.size(), 0);
    const uint64_t ticketB = b.Send(0x18EF1122, kA, toA.data(), toA.size(), 0);
    unsigned windowsToA = 0;  // the CTS frames of B's answers
    uint64_t now = 0;
    for (bool moved = true; moved || a.NextDue() != kNever || b.NextDue() != kNever; ++now) {  // until all is done
        a.Poll(now);
        b.Poll(now);
        const auto fromA = a.TakeFrames(), fromB = b.TakeFrames();
        moved = !fromA.empty() || !fromB.empty();
        for (const va::TpFrame& f : fromA) b.OnFrame(f.identifier, f.data, f.length, now);
        for (const va::TpFrame& f : fromB) {
            windowsToA += f.identifier == kCmBtoA && f.data[0] == 17;
            a.OnFrame(f.identifier, f.data, f.length, now);
        }
    }
    EXPECT_EQ(windowsToA, 16u);  // 255 packets, 16 per CTS at most
    ExpectResult(a, ticketA, true, 0);
    ExpectResult(b, ticketB, true, 0);
    ExpectMessage(b, kIdAtoB, kB, toB);
    ExpectMessage(a, 0x18EF1122, kA, toA);
    EXPECT_EQ(a.NextDue(), kNever);
    EXPECT_EQ(b.NextDue(), kNever);
}

}  // namespace
