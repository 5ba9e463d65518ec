// What the library knows of each protocol, in one place: one row of
// operations per protocol kind (the layout of a client's message and its
// size limit, the mailbox that sends it, the RP1210 message made from a
// receive mailbox, the pass-all and transmit mailboxes, the hardware-status
// place), and one rule per filter kind (the match and the adapter-side
// mailbox). The receive and transmit paths hold threads, queues and rings
// only and ask these rows; adding a protocol touches this file (and the
// configuration that recognises its name).
#pragma once

#include "rp1210/config.h"
#include "rp1210/library.h"

#include <cstdint>

// A mailbox of a connection as the rows describe it.
struct MailboxSpec {
    uint8_t linkCode;     // 0: the connection's data link
    uint8_t width;        // identifier width: 29, 11, 24, 0 (J1708)
    uint8_t frameKind;
    uint16_t bufferSize;  // receive: the data area offered
    uint8_t sizeLimitOn;
    uint16_t sizeLimit;
    bool fullMask;        // transmit: byte 0x15
    bool noTimestamp;     // takes the connection's no-timestamp flag
};

// The persistent transmit mailboxes of adapters below type 5, by role.
enum class TransmitRole : uint8_t { kMain, kStandard, kClaim };
struct PersistentMailbox {
    TransmitRole role;
    MailboxSpec spec;
};

// How one client message goes to the adapter.
struct TransmitPlan {
    int header;            // message bytes before the data
    uint32_t identifier;   // frame identifier (J1708: none)
    // Adapters below type 5: the persistent mailbox that sends it, unless
    // it always needs a one-shot one (J1939 transport).
    TransmitRole persistent;
    bool oneShotAlways;
    bool alwaysIdentifier;  // the update always says the identifier changed
    bool j1708Header;       // message bytes 0-2 are the J1708 header bytes
    // A one-shot mailbox (adapters of type 5 and above, and transport).
    MailboxSpec oneShot;
    uint8_t destination;
    bool quietAllowed;      // may end through the no-op completion when nobody waits for it
    bool busyRetried;       // a busy adapter's load is tried again
};

struct ProtocolRow {
    ProtocolKind kind;
    const char* name;
    uint8_t linkCode;        // the data link's LinkCode on its first channel (3, 1, 2)
    bool secondChannel;      // LinkCode 7, or 3 on an adapter of type 4
    bool j1939;              // J1939: addresses, claims, the claim bookkeeping
    bool j1708Mode;          // has the J1708 mode of command 15 (one client per device)
    bool transportNeedsAddress;  // a transport message needs a protected address (channel 1)
    bool claimMailboxes;     // transport receive mailboxes for protected addresses (channel 1)
    bool filtered;           // clients' filters apply (J1850: only pass-all lets messages in)
    FilterKind filterKind;   // the kind of filter that applies to its messages
    int statusPair;          // hardware status: the first byte of its pair (2-8), or 0
    int echoSkip;            // leading message bytes an echo leaves out (J1708's priority)
    // Client messages.
    int (*headerLength)(const uint8_t* message);
    int (*sizeLimit)(const uint8_t* message);
    bool (*formatValid)(const uint8_t* message);
    TransmitPlan (*planTransmit)(const uint8_t* message, int length, bool claimFrame);
    // The mailboxes of a connection.
    PersistentMailbox persistent[2];
    int persistentCount;
    MailboxSpec passAll[2];    // loaded in order; all but the last may fail
    int passAllCount;
    bool passAllOnce;          // one mailbox takes everything: loaded only while none is
};

const ProtocolRow& Protocol(int32_t kind);

// The data link's LinkCode for a protocol kind on an adapter of `adapterType`.
uint8_t DataLinkCode(int32_t kind, int32_t adapterType);

// Builds the RP1210 message of a frame a receive mailbox of `connection`
// holds into `message` (room for kMessageRoom bytes): its length, or 0 when
// the frame is dropped (a link code the connection does not carry, or a
// data length beyond the message room or the receive buffer). Timestamp
// from the mailbox (with the connection's base and byte order).
int BuildReceivedMessage(const DeviceConnection* connection, const Mailbox* mailbox, uint8_t* message);

// The four timestamp bytes of a message: the connection's base added, most
// significant first, or least significant first for a device whose
// parameters ask for reversed ones.
void PutTimestamp(const DeviceConnection* connection, uint32_t time, uint8_t* out);

// ---- Filters --------------------------------------------------------------------

// What the adapter is asked to let in for one filter.
struct FilterMailbox {
    bool openAll;          // every message of the data link (J1708: one mailbox takes all)
    MailboxSpec spec;
    uint32_t identifier;
    uint32_t mask;
};

struct FilterRule {
    FilterKind kind;
    int length;            // command bytes per filter
    int capacity;          // receive mailboxes a connection may hold before its last lets all in
    // Whether the filter lets the message in; `k` skips an echo byte.
    bool (*matches)(const FilterEntry& filter, const uint8_t* message, int length, int k);
    FilterMailbox (*mailbox)(const FilterEntry& filter);
};

const FilterRule& RuleOf(FilterKind kind);
