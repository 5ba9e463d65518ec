// J1939 transport sessions of the virtual adapter's bus links: messages of 9
// to 1785 bytes cut into TP.DT packets of 7 bytes under TP.CM connection
// management, and put back together on the receiving side. A BAM broadcasts
// to every node at a fixed pace; an RTS/CTS connection to one node is paced
// by the receiver's clear-to-send windows (the packets of a window paced a
// millisecond apart) and closed by its end-of-message acknowledgement.
//
// Whatever the other node sends is taken as possibly hostile: an
// announcement whose size and packet count disagree is refused (an RTS with
// an Abort), every copy into a message is bounded by that message, a
// sequence number out of turn (0 included) ends the session, and a
// receiver can neither ask for packets again more than twice nor hold a
// connection open more than 16 times.
//
// The engine does no I/O and keeps no clock: every call takes the current
// time in milliseconds, frames to transmit and finished work are collected
// with the Take calls, and NextDue tells when Poll next has work. One owner
// drives it; it is not safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace va {

// A 29-bit CAN frame.
struct TpFrame {
    uint32_t identifier;
    uint8_t length;
    uint8_t data[8];
};

// A reassembled message: identifier priority 6, the PGN of the announcement
// (for PDU1 PGNs the destination in PS) and the source address.
struct TpMessage {
    uint32_t identifier;
    uint8_t destination;  // 0xFF for a BAM
    std::vector<uint8_t> data;
};

// A finished send: abortReason 0 when delivered, else the reason it ended
// with: the Abort reason received, or the one this node sent (3 time-out,
// 4 CTS while a window is still being sent, 5 retransmit limit).
struct TpSendResult {
    uint64_t ticket;
    bool ok;
    uint8_t abortReason;
};

class J1939Transport {
public:
    // acceptsDestination(da): whether this node receives RTS/CTS sessions
    // to `da` (answers them with CTS and EoMA).
    explicit J1939Transport(std::function<bool(uint8_t)> acceptsDestination);

    // Starts sending a message. identifier = priority<<26 | DP<<24 | PF<<16 |
    // PS<<8 | SA; destination 0xFF sends a BAM, anything else opens an
    // RTS/CTS connection to it. Returns a ticket (> 0), or 0 when the length
    // is outside 9..1785. One BAM per source and one connection per (source,
    // destination) run at a time; later sends wait their turn.
    uint64_t Send(uint32_t identifier, uint8_t destination, const uint8_t* data, size_t length, uint64_t nowMs);

    // A frame heard on the bus (29-bit identifiers; the node's own
    // transmissions are not fed back). Frames of other PGNs are ignored.
    void OnFrame(uint32_t identifier, const uint8_t* data, uint8_t length, uint64_t nowMs);

    // Runs the timers: BAM packet pacing and time-outs.
    void Poll(uint64_t nowMs);
    // The time Poll next has something to do, or UINT64_MAX.
    uint64_t NextDue() const;

    std::vector<TpFrame> TakeFrames();        // frames to transmit, in order
    std::vector<TpMessage> TakeMessages();    // reassembled, in order of completion
    std::vector<TpSendResult> TakeResults();  // finished sends

    // The link is closed: every session is dropped without a frame, and
    // every unfinished send (running or waiting) ends failed with reason 3.
    void Clear();

private:
    // Waiting its turn, a BAM paced, a connection's window being sent
    // (paced), waiting for the receiver's CTS or for its end of message.
    enum class SendState { Waiting, Paced, Window, AwaitCts, AwaitEnd };
    struct Outgoing {
        uint64_t ticket;
        uint8_t source;
        uint8_t destination;
        uint32_t pgn;
        std::vector<uint8_t> data;
        SendState state;
        unsigned nextPacket;  // BAM and a window: the next packet to send
        uint64_t deadline;
        unsigned windowLast = 0;   // the last packet of the window being sent
        unsigned sentUpTo = 0;     // the highest packet sent so far
        unsigned retransmits = 0;  // CTS asking for packets sent before
        unsigned holds = 0;        // CTS holding the connection without data
        unsigned Packets() const { return static_cast<unsigned>((data.size() + 6) / 7); }
    };
    struct Incoming {
        bool bam;
        uint32_t pgn;
        unsigned packets;
        unsigned expected;   // the next sequence number
        unsigned window;     // packets per CTS
        unsigned windowEnd;  // the last packet of the current window
        std::vector<uint8_t> data;
        uint64_t deadline;
    };

    void StartWaiting(uint64_t nowMs);
    void Finish(size_t index, bool ok, uint8_t reason, uint64_t nowMs);
    void SendPacket(const Outgoing& send, unsigned number);
    void SendWindowPacket(Outgoing& send, uint64_t nowMs);
    void Abort(size_t index, uint8_t reason, uint64_t nowMs);
    void OnControl(uint8_t source, uint8_t destination, const uint8_t* d, uint64_t nowMs);
    void OnData(uint8_t source, uint8_t destination, const uint8_t* d, uint8_t length, uint64_t nowMs);
    void OpenIncoming(uint8_t source, uint8_t destination, const uint8_t* d, uint64_t nowMs);
    void SendCts(uint8_t source, uint8_t destination, Incoming& in, uint64_t nowMs);
    void Control(uint8_t from, uint8_t to, uint8_t code, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4,
                 uint32_t pgn);
    void Emit(uint8_t pf, uint8_t from, uint8_t to, const uint8_t (&bytes)[8]);

    std::function<bool(uint8_t)> accepts_;
    uint64_t nextTicket_ = 1;
    std::vector<Outgoing> sends_;               // in order of Send
    std::map<uint16_t, Incoming> receives_;     // by source << 8 | destination
    std::vector<TpFrame> frames_;
    std::vector<TpMessage> messages_;
    std::vector<TpSendResult> results_;
};

}  // namespace va
