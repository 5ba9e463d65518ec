// J1939 address protection: the claim contexts of connections, the claims
// of clients, and the bookkeeping on every received J1939 message.
//
// A connection with protected addresses has one ClaimContext; each client
// that protects an address has an entry in it. A claim puts an Address
// Claimed frame on the bus and waits 250 ms for a competitor; the
// bookkeeping answers requests for address claims and defends the addresses
// against other nodes. NAMEs are compared as the 64-bit numbers the frames
// carry (least significant byte first): the lower one wins.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// Runs the address-claim bookkeeping on a received J1939 message of the
// connection (receive format: PGN bytes 4-6, source 8, destination 9, data
// from 10), before the clients see it. On the adapter's thread.
void ClaimBookkeeping(DeviceConnection* connection, const uint8_t* message, int length);

// Releases the client's claim entry (the address goes; the client stays
// with its context: its J1939 sends fail with 153 until it claims again).
void ReleaseClientEntry(ClientRecord* client);
// Releases the entry and the client's reference on the claim context.
void ReleaseClientClaim(ClientRecord* client);

// Tells a claim waiting for its frame that the frame is gone (sent, or
// dropped by a closing connection).
void SignalClaimFrame(ClaimContext* context);

// The completion callback of a connection's claim transmit mailbox.
void ClaimFrameComplete(Mailbox* mailbox);

// Whether a client holds its protected address now (protectOn and
// addressHeld, with an entry), and which.
struct ClaimMemory {
    bool held;
    uint8_t address;
    uint8_t name[8];
};
ClaimMemory RememberClaim(ClientRecord* client);
// Claims the client's last protected address again (after a re-open), as
// command 19 with mode 0 would: 0 or the claim's code. The caller holds the
// client's sendLock.
int16_t ReclaimAddress(ClientRecord* client);
// A re-claim that failed: the client has lost its address as to another
// node (its sends answer 153, its window is told).
void LoseReclaimedAddress(ClientRecord* client);

// Whether NAME `challenger` wins against `holder` (compared as the 64-bit
// numbers of the claim frame, least significant byte first; lower wins).
bool NameWins(const uint8_t challenger[8], const uint8_t holder[8]);
