// Records that cross the boundary between the RP1210 library, the adapter
// driver multiplexer and the transport libraries behind it.
//
// The multiplexer hands these records to a transport library unread, so the
// byte layouts below are the definition both sides build on: packed,
// little-endian, with the offsets checked in the 32-bit product build. Fields
// that hold an address are 4 bytes there; the native (64-bit) test build uses
// the same declarations with pointer-sized fields, which is sound because
// every party of that build is compiled from these headers.
#pragma once

#include "os/abi.h"

#include <cstddef>
#include <cstdint>

// A 32-bit argument of the adapter API. It carries numbers and addresses
// alike, so it is as wide as an address (4 bytes in the product build).
using ZmxWord = std::uintptr_t;

// The data link of a mailbox or of InitDataLink.
enum LinkCode : uint8_t {
    kLinkCodeJ1708 = 1,  // J1708 and PLC
    kLinkCodeJ1850 = 2,
    kLinkCodeCan1 = 3,   // J1939 or CAN, channel 1
    kLinkCodeCan2 = 7,   // J1939 or CAN, channel 2
};

// MailboxSetup frame kinds.
enum MailboxFrameKind : uint8_t {
    kFrameSingle = 1,              // single frames (J1939/CAN up to 8 bytes, J1850)
    kFrameBroadcastTransport = 2,  // reassembled J1939 broadcast (BAM) messages
    kFrameConnectionTransport = 4, // J1939 connection transport (RTS/CTS)
    kFrameConnectionSmall = 6,     // J1939 connection transport receive, small buffers
};

struct Mailbox;
// Mailbox callbacks: received frame, transmit complete.
using MailboxCallback = void(HV_CALL*)(Mailbox* mailbox);
// The data-link error callback: the mailbox concerned and a value of the
// transport's own (the library ignores it).
using DataLinkErrorCallback = void(HV_CALL*)(Mailbox* mailbox, ZmxWord value);

#pragma pack(push, 1)

// Passed to InitDataLink.
struct DataLinkSetup {
    uint8_t linkCode;                    // 0x00 LinkCode
    uint8_t setup[5];                    // 0x01 setup bytes 1-5 (bit rate code, ..., mode flags, ...)
    DataLinkErrorCallback errorCallback; // 0x06
    uint32_t reserved[2];                // 0x0a, 0x0e: 0
};

// Passed to ConfigureTransportProtocol (J1939 transport timing).
struct TransportSetup {
    uint8_t linkCode;    // 0x00
    uint16_t values[9];  // 0x01..0x12: 1000, 0, 0, 6, 1000, 1250, 0, 500, 500
    uint8_t tail[2];     // 0x13, 0x14: 0x20, 0x20
};

// Passed to LoadMailBox; the transport answers the created Mailbox at 0x01.
struct MailboxSetup {
    uint8_t linkCode;          // 0x00
    Mailbox* mailbox;          // 0x01 out
    uint8_t direction;         // 0x05 0 receive, 1 transmit
    uint8_t frameKind;         // 0x06 MailboxFrameKind; 0 for J1708
    uint8_t oneShot;           // 0x07 1: one-shot transmit
    uint8_t identifierWidth;   // 0x08 29, 11, 24 (J1850); 0 for J1708
    uint32_t identifier;       // 0x09 acceptance code (receive) or frame identifier (transmit)
    uint8_t destination;       // 0x0d J1939 destination address
    uint32_t mask;             // 0x0e acceptance mask (receive; 0 accepts all)
    uint8_t reserved12;        // 0x12
    uint8_t receive;           // 0x13 1 on receive mailboxes
    uint8_t noTimestamp;       // 0x14
    uint8_t fullMask;          // 0x15 receive: mask all ones; transmit: 1 (0 for J1850)
    uint8_t reserved16[11];    // 0x16
    uint16_t oneShotWord;      // 0x21 1 on one-shot transmit
    uint8_t reserved23[2];     // 0x23
    uint8_t j1708Header[3];    // 0x25 one-shot J1708 transmit: priority, MID, second byte
    uint8_t reserved28[2];     // 0x28
    uint8_t sizeLimitOn;       // 0x2a
    uint16_t sizeLimit;        // 0x2b
    MailboxCallback callback;  // 0x2d
    uint8_t reserved31[5];     // 0x31
    void* owner;               // 0x36 the library's connection
    uint16_t dataLength;       // 0x3a transmit: data length; receive: buffer size
    uint8_t* data;             // 0x3c transmit data, or the receive buffer
};

// A mailbox, created and owned by the transport side. The library reads and
// writes the fields named here; the rest belongs to the transport.
struct Mailbox {
    uint8_t linkCode;           // 0x00
    uint8_t reserved01;         // 0x01
    uint8_t identifierWidth;    // 0x02 of a received frame: 11 or 29
    uint8_t reserved03[3];      // 0x03
    uint32_t identifier;        // 0x06 received, or to transmit (J1850: 24 bits)
    uint8_t destination;        // 0x0a of a reassembled J1939 message
    uint32_t mask;              // 0x0b acceptance mask
    uint8_t reserved0f[12];     // 0x0f
    uint32_t receiveTime;       // 0x1b
    uint32_t transmitTime;      // 0x1f transmit complete
    uint8_t reserved23[4];      // 0x23
    uint16_t transmitPending;   // 0x27 set to 1 before a transmit update
    uint16_t dataLength;        // 0x29
    uint8_t transport[0x807];   // 0x2b the transport's own
    uint8_t j1708Header[3];     // 0x832 priority, MID, second byte
    uint8_t reserved835[8];     // 0x835
    uint8_t* data;              // 0x83d
    void* owner;                // 0x841 the library's connection
};

#pragma pack(pop)

#if !defined(_WIN64) && (UINTPTR_MAX == 0xFFFFFFFFu)
// The 32-bit product build: the layouts are byte-exact.
static_assert(sizeof(DataLinkSetup) == 18, "DataLinkSetup layout");
static_assert(offsetof(DataLinkSetup, errorCallback) == 6, "DataLinkSetup layout");
static_assert(offsetof(DataLinkSetup, reserved) == 10, "DataLinkSetup layout");
static_assert(sizeof(TransportSetup) == 21, "TransportSetup layout");
static_assert(offsetof(TransportSetup, tail) == 19, "TransportSetup layout");
static_assert(sizeof(MailboxSetup) == 64, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, mailbox) == 0x01, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, direction) == 0x05, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, frameKind) == 0x06, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, oneShot) == 0x07, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, identifierWidth) == 0x08, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, identifier) == 0x09, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, destination) == 0x0d, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, mask) == 0x0e, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, receive) == 0x13, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, noTimestamp) == 0x14, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, fullMask) == 0x15, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, oneShotWord) == 0x21, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, j1708Header) == 0x25, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, sizeLimitOn) == 0x2a, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, sizeLimit) == 0x2b, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, callback) == 0x2d, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, owner) == 0x36, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, dataLength) == 0x3a, "MailboxSetup layout");
static_assert(offsetof(MailboxSetup, data) == 0x3c, "MailboxSetup layout");
static_assert(offsetof(Mailbox, identifierWidth) == 0x02, "Mailbox layout");
static_assert(offsetof(Mailbox, identifier) == 0x06, "Mailbox layout");
static_assert(offsetof(Mailbox, destination) == 0x0a, "Mailbox layout");
static_assert(offsetof(Mailbox, mask) == 0x0b, "Mailbox layout");
static_assert(offsetof(Mailbox, receiveTime) == 0x1b, "Mailbox layout");
static_assert(offsetof(Mailbox, transmitTime) == 0x1f, "Mailbox layout");
static_assert(offsetof(Mailbox, transmitPending) == 0x27, "Mailbox layout");
static_assert(offsetof(Mailbox, dataLength) == 0x29, "Mailbox layout");
static_assert(offsetof(Mailbox, j1708Header) == 0x832, "Mailbox layout");
static_assert(offsetof(Mailbox, data) == 0x83d, "Mailbox layout");
static_assert(offsetof(Mailbox, owner) == 0x841, "Mailbox layout");
static_assert(sizeof(Mailbox) == 0x845, "Mailbox layout");
#endif
