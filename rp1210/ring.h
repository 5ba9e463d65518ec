// A client's receive ring: each stored message is a 16-bit length, least
// significant byte first, then its bytes; both wrap around the end byte by
// byte. read == write means empty; a writer that finds the ring empty moves
// both positions back to the start. The _ringLocked functions expect the
// client's ringLock held.
#pragma once

#include "rp1210/library.h"
#include "rp1210/protocols.h"

#include <cstdint>

// Bytes in use.
int32_t RingUsed_ringLocked(const ClientRecord* client);
// Appends a message when it fits with room to spare (free space larger than
// length + 2); false when it does not.
bool RingAppend_ringLocked(ClientRecord* client, const uint8_t* message, int32_t length);
// The length of the oldest message (the ring must not be empty).
int32_t RingPeekLength_ringLocked(const ClientRecord* client);
// Takes the oldest message out, copying at most `capacity` bytes of it to
// `out` (nullptr: none).
void RingTake_ringLocked(ClientRecord* client, uint8_t* out, int32_t capacity);
void RingEmpty_ringLocked(ClientRecord* client);

// Offers a message of the client's connection (kind `row`) to the client:
// its pass-all or filters decide (filterLock), then it is appended to the
// ring (ringLock; an overflow is remembered for the reader) and a reader
// woken, dataMessage posted when the ring was empty. For received frames
// and for echoes of sent ones.
void OfferToClient(ClientRecord* client, const ProtocolRow& row, const uint8_t* message, int length);
