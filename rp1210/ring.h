// A client's receive ring: each stored message is a 16-bit length, least
// significant byte first, then its bytes; both wrap around the end byte by
// byte. read == write means empty; a writer that finds the ring empty moves
// both positions back to the start. Every function here expects the
// client's ringLock held.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// Bytes in use.
int32_t RingUsed_locked(const ClientRecord* client);
// Appends a message when it fits with room to spare (free space larger than
// length + 2); false when it does not.
bool RingAppend_locked(ClientRecord* client, const uint8_t* message, int32_t length);
// The length of the oldest message (the ring must not be empty).
int32_t RingPeekLength_locked(const ClientRecord* client);
// Takes the oldest message out, copying at most `capacity` bytes of it to
// `out` (nullptr: none).
void RingTake_locked(ClientRecord* client, uint8_t* out, int32_t capacity);
void RingEmpty_locked(ClientRecord* client);
