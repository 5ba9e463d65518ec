// RP1210_SendCommand's command table.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// Runs command `number` for the client: 0 or the command's error code (142
// for every command while the link is lost, 143 for numbers without a
// command). A reset (0) that succeeded leaves the disconnect to the caller.
int16_t ExecuteCommand(int16_t number, ClientRecord* client, const uint8_t* data, int16_t size);
