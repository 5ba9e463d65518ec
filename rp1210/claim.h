// J1939 address protection (command 19): the claim contexts of connections,
// the claims of clients, and the bookkeeping on every received J1939
// message.
//
// A connection with protected addresses has one ClaimContext; each client
// that protects an address has an entry in it. A claim puts an Address
// Claimed frame on the bus and waits 250 ms for a competitor; the
// bookkeeping (the connection's frame observer) answers requests for
// address claims and defends the addresses against other nodes. NAMEs are
// compared as the 64-bit numbers the frames carry (least significant byte
// first): the lower one wins. The states of a claim are written at the top
// of claim.cpp.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// Command 19, Protect J1939 Address: 0, 136 (not a J1939 connection), 144,
// 146, 152, 142, 133.
int16_t ProtectAddress(ClientRecord* client, const uint8_t* data, int16_t size);

// Releases the client's claim entry (the address goes; the client stays
// with its context: its J1939 sends fail with 153 until it claims again).
// Under the client's sendLock.
void ReleaseClientEntry(ClientRecord* client);
// Releases the entry and the client's reference on the claim context.
void ReleaseClientClaim(ClientRecord* client);

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
