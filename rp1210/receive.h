// The receive path of a client: reading its ring (RP1210_ReadMessage).
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// RP1210_ReadMessage's work: the message length, 0 when non-blocking and
// nothing waits, or -139 (ring overflowed, now emptied), -141 (message
// longer than the buffer: skipped; with no buffer at all it stays), -148
// (disconnected while blocked), -162 (hardware status change).
int16_t ReadClientMessage(ClientRecord* client, uint8_t* buffer, int16_t bufferSize, bool block);
