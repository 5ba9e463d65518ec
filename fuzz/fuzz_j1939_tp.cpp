// Drives the J1939 transport sessions of the virtual adapter's bus links
// with arbitrary traffic from other nodes, sends of its own and time:
// announcements and packets in any order, contradicting sizes, aborts, CTS
// windows of any shape.
//
// Input: events, each an opcode byte and its bytes:
//   0 SA DA b0..b7     a TP.CM frame from SA to DA
//   1 SA DA n b0..b7   a TP.DT frame of n % 9 bytes
//   2 t                t * 7 ms pass (Poll)
//   3 DA hi lo         a send of this node (0x80) to DA of (hi << 8 | lo) % 1800 bytes
//   4                  the link closes (Clear)
//
// Checked: every frame is a whole CAN frame of this node; every message
// holds 9..1785 bytes; after Poll(now) nothing is due at or before now (the
// link thread would spin); every send ends exactly once; with no more
// traffic, every session ends within bounded time.
#include "sim/va_j1939_tp.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

namespace {

constexpr uint8_t kSelf = 0x80;

void Check(bool ok) {
    if (!ok) std::abort();
}

struct Run {
    va::J1939Transport engine{[](uint8_t destination) { return destination == kSelf; }};
    uint64_t now = 0;
    std::set<uint64_t> open;  // tickets not ended yet

    void Collect() {
        for (const va::TpFrame& frame : engine.TakeFrames()) {
            Check(frame.length == 8 && (frame.identifier & 0xFF) == kSelf && frame.identifier <= 0x1FFFFFFF);
        }
        for (const va::TpMessage& message : engine.TakeMessages()) {
            Check(message.data.size() >= 9 && message.data.size() <= 1785);
        }
        for (const va::TpSendResult& result : engine.TakeResults()) Check(open.erase(result.ticket) == 1);
    }
    void Poll() {
        engine.Poll(now);
        Check(engine.NextDue() > now);
        Collect();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Run run;
    size_t at = 0;
    auto take = [&](size_t n) -> const uint8_t* {
        if (at + n > size) return nullptr;
        const uint8_t* p = data + at;
        at += n;
        return p;
    };
    static const uint8_t kMessage[1800] = {};
    while (const uint8_t* op = take(1)) {
        switch (*op % 5) {
            case 0: {
                const uint8_t* f = take(10);
                if (f == nullptr) break;
                run.engine.OnFrame(7u << 26 | 0xECu << 16 | uint32_t{f[1]} << 8 | f[0], f + 2, 8, run.now);
                break;
            }
            case 1: {
                const uint8_t* f = take(11);
                if (f == nullptr) break;
                run.engine.OnFrame(7u << 26 | 0xEBu << 16 | uint32_t{f[1]} << 8 | f[0], f + 3,
                                   static_cast<uint8_t>(f[2] % 9), run.now);
                break;
            }
            case 2: {
                const uint8_t* t = take(1);
                if (t == nullptr) break;
                run.now += uint64_t{*t} * 7;
                run.Poll();
                break;
            }
            case 3: {
                const uint8_t* s = take(3);
                if (s == nullptr) break;
                size_t length = (size_t{s[1]} << 8 | s[2]) % 1800;
                uint32_t identifier = 6u << 26 | 0xEFu << 16 | uint32_t{s[0]} << 8 | kSelf;
                uint64_t ticket = run.engine.Send(identifier, s[0], kMessage, length, run.now);
                Check((ticket != 0) == (length >= 9 && length <= 1785));
                if (ticket != 0) run.open.insert(ticket);
                break;
            }
            case 4: run.engine.Clear(); break;
        }
        run.Collect();
    }
    // No more traffic: every session ends by itself, and every send with it.
    for (int step = 0; step < 100000 && run.engine.NextDue() != UINT64_MAX; ++step) {
        run.now = std::max(run.now, run.engine.NextDue());
        run.Poll();
    }
    Check(run.engine.NextDue() == UINT64_MAX);
    Check(run.open.empty());
    return 0;
}
