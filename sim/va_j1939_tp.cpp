#include "sim/va_j1939_tp.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace va {
namespace {

constexpr uint8_t kPfControl = 0xEC;  // TP.CM: connection management
constexpr uint8_t kPfData = 0xEB;     // TP.DT: the packets
constexpr uint8_t kRts = 16;
constexpr uint8_t kCts = 17;
constexpr uint8_t kEndOfMessage = 19;
constexpr uint8_t kBam = 32;
constexpr uint8_t kAbort = 255;
constexpr uint8_t kGlobal = 0xFF;

// Connection Abort reasons (J1939-21).
constexpr uint8_t kReasonTimeout = 3;
constexpr uint8_t kReasonCtsDuringData = 4;     // a CTS while data of the last one is still being sent
constexpr uint8_t kReasonRetransmitLimit = 5;   // too many requests for packets sent before
constexpr uint8_t kReasonBadSequence = 7;
constexpr uint8_t kReasonDuplicate = 8;
constexpr uint8_t kReasonOther = 250;           // an announcement that contradicts itself

constexpr size_t kMinSize = 9;
constexpr size_t kMaxSize = 1785;  // 255 packets of 7 bytes
constexpr unsigned kWindowLimit = 16;   // packets this node lets through per CTS

constexpr uint64_t kBamGapMs = 50;  // between the packets of a BAM
constexpr uint64_t kPacketGapMs = 1;  // between the packets of a CTS window
constexpr unsigned kMaxRetransmits = 2;  // CTS asking again for packets already sent
constexpr unsigned kMaxHolds = 16;       // CTS holding a connection without data
constexpr uint64_t kT1Ms = 750;     // receiving: between packets
constexpr uint64_t kT2Ms = 1250;    // receiving: from a CTS to its first packet
constexpr uint64_t kT3Ms = 1250;    // sending: from the RTS or a window's last packet to the answer
constexpr uint64_t kT4Ms = 1050;    // sending: from a CTS that holds the connection to the next one
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

uint16_t Key(uint8_t source, uint8_t destination) {
    return static_cast<uint16_t>(source << 8 | destination);
}

unsigned PacketsFor(size_t size) { return static_cast<unsigned>((size + 6) / 7); }

bool IsPdu1(uint32_t pgn) { return (pgn >> 8 & 0xFF) < 0xF0; }

// The PGN carried in bytes 5..7 of every TP.CM frame.
uint32_t ControlPgn(const uint8_t* d) {
    return (static_cast<uint32_t>(d[5]) | static_cast<uint32_t>(d[6]) << 8 |
            static_cast<uint32_t>(d[7]) << 16) & 0x3FFFF;
}

uint8_t Low(size_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t High(size_t v) { return static_cast<uint8_t>(v >> 8 & 0xFF); }

}  // namespace

J1939Transport::J1939Transport(std::function<bool(uint8_t)> acceptsDestination)
    : accepts_(std::move(acceptsDestination)) {}

uint64_t J1939Transport::Send(uint32_t identifier, uint8_t destination, const uint8_t* data, size_t length,
                              uint64_t nowMs) {
    if (data == nullptr || length < kMinSize || length > kMaxSize) return 0;
    uint32_t pgn = identifier >> 8 & 0x3FFFF;
    if (IsPdu1(pgn)) pgn &= 0x3FF00;  // PS names the destination, not the group
    const uint64_t ticket = nextTicket_++;
    sends_.push_back(Outgoing{ticket, static_cast<uint8_t>(identifier & 0xFF), destination, pgn,
                              std::vector<uint8_t>(data, data + length), SendState::Waiting, 1, kNever});
    StartWaiting(nowMs);
    return ticket;
}

// Starts every waiting send that has no earlier send of its own (source,
// destination) ahead of it: a BAM announces itself, a connection asks with
// an RTS.
void J1939Transport::StartWaiting(uint64_t nowMs) {
    for (size_t i = 0; i < sends_.size(); ++i) {
        Outgoing& s = sends_[i];
        if (s.state != SendState::Waiting) continue;
        const bool queued = std::any_of(sends_.begin(), sends_.begin() + static_cast<std::ptrdiff_t>(i),
                                        [&s](const Outgoing& o) {
                                            return o.source == s.source && o.destination == s.destination;
                                        });
        if (queued) continue;
        const size_t size = s.data.size();
        const uint8_t packets = static_cast<uint8_t>(s.Packets());
        if (s.destination == kGlobal) {
            Control(s.source, kGlobal, kBam, Low(size), High(size), packets, 0xFF, s.pgn);
            s.state = SendState::Paced;
            s.deadline = nowMs + kBamGapMs;
        } else {
            Control(s.source, s.destination, kRts, Low(size), High(size), packets, 0xFF, s.pgn);
            s.state = SendState::AwaitCts;
            s.deadline = nowMs + kT3Ms;
        }
    }
}

// Ends a connection this node sends with an Abort of `reason`.
void J1939Transport::Abort(size_t index, uint8_t reason, uint64_t nowMs) {
    const Outgoing& s = sends_[index];
    Control(s.source, s.destination, kAbort, reason, 0xFF, 0xFF, 0xFF, s.pgn);
    Finish(index, false, reason, nowMs);
}

void J1939Transport::Finish(size_t index, bool ok, uint8_t reason, uint64_t nowMs) {
    results_.push_back(TpSendResult{sends_[index].ticket, ok, reason});
    sends_.erase(sends_.begin() + static_cast<std::ptrdiff_t>(index));
    StartWaiting(nowMs);
}

// Packet `number` (1-based): its sequence number and 7 bytes, the last
// packet filled up with 0xFF.
void J1939Transport::SendPacket(const Outgoing& send, unsigned number) {
    uint8_t bytes[8];
    bytes[0] = static_cast<uint8_t>(number);
    const size_t offset = static_cast<size_t>(number - 1) * 7;
    for (size_t k = 0; k < 7; ++k)
        bytes[1 + k] = offset + k < send.data.size() ? send.data[offset + k] : 0xFF;
    Emit(kPfData, send.source, send.destination, bytes);
}

// The next packet of the window being sent; after the window's last, the
// receiver's answer is awaited.
void J1939Transport::SendWindowPacket(Outgoing& s, uint64_t nowMs) {
    SendPacket(s, s.nextPacket);
    s.sentUpTo = std::max(s.sentUpTo, s.nextPacket);
    if (s.nextPacket++ < s.windowLast) {
        s.deadline = nowMs + kPacketGapMs;
        return;
    }
    s.state = s.windowLast == s.Packets() ? SendState::AwaitEnd : SendState::AwaitCts;
    s.deadline = nowMs + kT3Ms;
}

void J1939Transport::OnFrame(uint32_t identifier, const uint8_t* data, uint8_t length, uint64_t nowMs) {
    identifier &= 0x1FFFFFFF;
    if (data == nullptr || (identifier >> 24 & 3) != 0) return;  // DP or EDP set: another PGN
    const uint8_t pf = static_cast<uint8_t>(identifier >> 16 & 0xFF);
    const uint8_t to = static_cast<uint8_t>(identifier >> 8 & 0xFF);
    const uint8_t from = static_cast<uint8_t>(identifier & 0xFF);
    if (pf == kPfControl && length >= 8) OnControl(from, to, data, nowMs);
    else if (pf == kPfData && length >= 2) OnData(from, to, data, std::min<uint8_t>(length, 8), nowMs);
}

void J1939Transport::OnControl(uint8_t from, uint8_t to, const uint8_t* d, uint64_t nowMs) {
    const uint32_t pgn = ControlPgn(d);
    switch (d[0]) {
    case kBam:
        if (to == kGlobal) OpenIncoming(from, to, d, nowMs);
        return;
    case kRts:
        if (to != kGlobal && accepts_ && accepts_(to)) OpenIncoming(from, to, d, nowMs);
        return;
    case kAbort: {
        // The sender giving up a connection this node receives; the same
        // Abort may instead close a connection this node sends, below.
        auto in = receives_.find(Key(from, to));
        if (in != receives_.end() && !in->second.bam && in->second.pgn == pgn) receives_.erase(in);
        break;
    }
    case kCts:
    case kEndOfMessage:
        break;
    default:
        return;
    }
    // The answer of a receiver: the running connection from `to` to `from`.
    for (size_t i = 0; i < sends_.size(); ++i) {
        Outgoing& s = sends_[i];
        if (s.source != to || s.destination != from) continue;
        if (s.state != SendState::AwaitCts && s.state != SendState::AwaitEnd && s.state != SendState::Window) return;
        if (s.pgn != pgn) return;
        if (d[0] == kAbort) {
            Finish(i, false, d[1], nowMs);
        } else if (d[0] == kEndOfMessage) {
            if (s.state == SendState::AwaitEnd) Finish(i, true, 0, nowMs);
        } else if (s.state == SendState::Window) {
            Abort(i, kReasonCtsDuringData, nowMs);  // the receiver asks again before the window is through
        } else if (d[1] == 0) {
            // Hold: the receiver keeps the connection open without data, a
            // bounded number of times.
            if (++s.holds > kMaxHolds) {
                Abort(i, kReasonTimeout, nowMs);
                return;
            }
            s.state = SendState::AwaitCts;
            s.deadline = nowMs + kT4Ms;
        } else if (d[2] >= 1 && d[2] <= s.Packets()) {
            // A window, or a repeat of packets sent before (a bounded number
            // of times): its packets paced, the first now.
            if (d[2] <= s.sentUpTo && ++s.retransmits > kMaxRetransmits) {
                Abort(i, kReasonRetransmitLimit, nowMs);
                return;
            }
            s.nextPacket = d[2];
            s.windowLast = std::min<unsigned>(d[2] + d[1] - 1u, s.Packets());
            s.state = SendState::Window;
            SendWindowPacket(s, nowMs);
        }
        return;
    }
}

// A BAM or an RTS: a new session from `from` to `to`, in place of any
// earlier one between them. An announcement whose size and packet count do
// not agree (or that is too long) opens nothing: an RTS is answered with an
// Abort, a BAM is ignored.
void J1939Transport::OpenIncoming(uint8_t from, uint8_t to, const uint8_t* d, uint64_t nowMs) {
    const size_t size = static_cast<size_t>(d[1] | d[2] << 8);
    if (size < kMinSize || size > kMaxSize || d[3] != PacketsFor(size)) {
        if (to != kGlobal) Control(to, from, kAbort, kReasonOther, 0xFF, 0xFF, 0xFF, ControlPgn(d));
        return;
    }
    Incoming& in = receives_[Key(from, to)];
    in = Incoming{to == kGlobal, ControlPgn(d), d[3], 1, 0, 0, std::vector<uint8_t>(size, 0xFF), 0};
    if (in.bam) {
        in.deadline = nowMs + kT1Ms;
        return;
    }
    const unsigned offered = d[4] == 0 ? 0xFFu : d[4];  // 0xFF: the sender sets no limit
    in.window = std::min(offered, kWindowLimit);
    SendCts(from, to, in, nowMs);
}

// Lets the next window through: up to `window` packets from the next one
// expected.
void J1939Transport::SendCts(uint8_t from, uint8_t to, Incoming& in, uint64_t nowMs) {
    const unsigned count = std::min(in.window, in.packets - in.expected + 1);
    in.windowEnd = in.expected + count - 1;
    in.deadline = nowMs + kT2Ms;
    Control(to, from, kCts, static_cast<uint8_t>(count), static_cast<uint8_t>(in.expected), 0xFF, 0xFF, in.pgn);
}

void J1939Transport::OnData(uint8_t from, uint8_t to, const uint8_t* d, uint8_t length, uint64_t nowMs) {
    auto it = receives_.find(Key(from, to));
    if (it == receives_.end()) return;
    Incoming& in = it->second;
    const size_t offset = static_cast<size_t>(in.expected - 1) * 7;
    if (d[0] != in.expected || offset >= in.data.size()) {
        // Data cannot be recovered out of order: a BAM just ends, a
        // connection is aborted. Sequence numbers start at 1: 0 is never a
        // repeat.
        if (!in.bam) {
            const uint8_t reason = d[0] != 0 && d[0] + 1u == in.expected ? kReasonDuplicate : kReasonBadSequence;
            Control(to, from, kAbort, reason, 0xFF, 0xFF, 0xFF, in.pgn);
        }
        receives_.erase(it);
        return;
    }
    // Bounded by the message being put together, whatever the packet says.
    const size_t count = std::min<size_t>(std::min<size_t>(length - 1u, 7), in.data.size() - offset);
    std::memcpy(in.data.data() + offset, d + 1, count);
    ++in.expected;
    if (in.expected <= in.packets) {
        if (!in.bam && in.expected > in.windowEnd) SendCts(from, to, in, nowMs);
        else in.deadline = nowMs + kT1Ms;
        return;
    }
    const size_t size = in.data.size();
    if (!in.bam)
        Control(to, from, kEndOfMessage, Low(size), High(size), static_cast<uint8_t>(in.packets), 0xFF, in.pgn);
    // Priority 6, the PGN, for PDU1 the destination in PS, the source.
    uint32_t identifier = 6u << 26 | (in.pgn & 0x3FF00) << 8 | from;
    identifier |= (IsPdu1(in.pgn) ? to : in.pgn & 0xFF) << 8;
    messages_.push_back(TpMessage{identifier, to, std::move(in.data)});
    receives_.erase(it);
}

void J1939Transport::Poll(uint64_t nowMs) {
    for (size_t i = 0; i < sends_.size();) {
        Outgoing& s = sends_[i];
        if (s.state == SendState::Waiting || s.deadline > nowMs) {
            ++i;
        } else if (s.state == SendState::Window) {
            SendWindowPacket(s, nowMs);
            ++i;
        } else if (s.state == SendState::Paced) {
            SendPacket(s, s.nextPacket);
            if (s.nextPacket++ == s.Packets()) {
                Finish(i, true, 0, nowMs);
            } else {
                s.deadline = nowMs + kBamGapMs;
                ++i;
            }
        } else {
            Abort(i, kReasonTimeout, nowMs);
        }
    }
    for (auto it = receives_.begin(); it != receives_.end();) {
        if (it->second.deadline > nowMs) {
            ++it;
            continue;
        }
        // A BAM just ends; a connection is aborted towards its sender.
        if (!it->second.bam) {
            Control(static_cast<uint8_t>(it->first & 0xFF), static_cast<uint8_t>(it->first >> 8), kAbort,
                    kReasonTimeout, 0xFF, 0xFF, 0xFF, it->second.pgn);
        }
        it = receives_.erase(it);
    }
}

uint64_t J1939Transport::NextDue() const {
    uint64_t due = kNever;
    for (const Outgoing& s : sends_)
        if (s.state != SendState::Waiting) due = std::min(due, s.deadline);
    for (const auto& entry : receives_) due = std::min(due, entry.second.deadline);
    return due;
}

void J1939Transport::Control(uint8_t from, uint8_t to, uint8_t code, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4,
                             uint32_t pgn) {
    const uint8_t bytes[8] = {code, b1, b2, b3, b4, static_cast<uint8_t>(pgn & 0xFF),
                              static_cast<uint8_t>(pgn >> 8 & 0xFF), static_cast<uint8_t>(pgn >> 16 & 0xFF)};
    Emit(kPfControl, from, to, bytes);
}

// TP.CM and TP.DT go out at priority 7.
void J1939Transport::Emit(uint8_t pf, uint8_t from, uint8_t to, const uint8_t (&bytes)[8]) {
    TpFrame frame;
    frame.identifier = 7u << 26 | static_cast<uint32_t>(pf) << 16 | static_cast<uint32_t>(to) << 8 | from;
    frame.length = 8;
    std::memcpy(frame.data, bytes, 8);
    frames_.push_back(frame);
}

std::vector<TpFrame> J1939Transport::TakeFrames() { return std::exchange(frames_, {}); }
std::vector<TpMessage> J1939Transport::TakeMessages() { return std::exchange(messages_, {}); }
std::vector<TpSendResult> J1939Transport::TakeResults() { return std::exchange(results_, {}); }

void J1939Transport::Clear() {
    for (const Outgoing& s : sends_) results_.push_back(TpSendResult{s.ticket, false, kReasonTimeout});
    sends_.clear();
    receives_.clear();
}

}  // namespace va
