// J1939 address protection: the claim contexts of connections, the claims
// of clients, and the bookkeeping on every received J1939 message.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// Runs the address-claim bookkeeping on a received J1939 message of the
// connection (receive format: PGN bytes 4-6, source 8, destination 9, data
// from 10), before the clients see it. On the adapter's thread.
void ClaimBookkeeping(DeviceConnection* connection, const uint8_t* message, int length);

// Releases the client's claim entry and its reference on the claim context
// (nothing when it protects no address).
void ReleaseClientClaim(ClientRecord* client);

// The completion callback of a connection's claim transmit mailbox.
void ClaimFrameComplete(Mailbox* mailbox);

// What a re-open needs to claim a client's address again.
struct ClaimMemory {
    bool held;        // protectOn and addressHeld were set
    uint8_t address;
    uint8_t name[8];
};
ClaimMemory RememberClaim(ClientRecord* client);
// Claims the remembered address again on the client's new connection: 0 or
// the claim's code.
int16_t ReclaimAddress(ClientRecord* client, const ClaimMemory& memory);
