// Clients: the connect that builds a client and the teardown that ends one
// (the table that turns a client id into a record is the library
// context's: library.h). The teardown empties the slot before it starts,
// wakes whatever waits on the client, and frees the record only when every
// reference is back.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// The process-wide heartbeat flag: [Heartbeat] "HeartbeatFlag" of the last
// connect that read it; 1 starts a link monitor per client.
int16_t HeartbeatFlag();

// RP1210_ClientConnect's work: the new client id (1..16) or an error code.
// txBufferSize (bytes) bounds the client's transmit queue (library.h).
int16_t ConnectClient(void* window, int16_t deviceId, const char* protocol, int32_t txBufferSize,
                      int32_t rxBufferSize, int16_t appPacketizing);

// RP1210_ClientDisconnect's work: 0, or 129 for an id not in the table.
int16_t DisconnectClient(int16_t clientId);
// The same for a client the caller holds a reference on; the reference goes
// with the record (the caller must not use either afterwards).
int16_t DisconnectHeldClient(ClientRecord* client);
