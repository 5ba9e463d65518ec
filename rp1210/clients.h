// Clients: the table of 16 slots that turns a client id into a ClientRecord,
// the connect that builds a client and the teardown that ends one.
//
// The table has a lock of its own (a leaf: nothing else is taken under it,
// no multiplexer call is made inside it). A client found in the table is
// handed out with a reference; the teardown empties the slot before it
// starts, wakes whatever waits on the client, and frees the record only
// when every reference is back.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// The process-wide heartbeat flag: [Heartbeat] "HeartbeatFlag" of the last
// connect that read it; 1 starts a link monitor per client.
int16_t HeartbeatFlag();

// The client with this id, with a reference taken, or nullptr (ids outside
// 1..16, empty slots).
ClientRecord* AcquireClient(int16_t clientId);
// Returns a reference.
void ReleaseClient(ClientRecord* client);

// The clients whose connection is `connection`, each with a reference
// (at most 16); returns how many.
int AcquireClientsOf(const DeviceConnection* connection, ClientRecord* clients[kClientSlots]);

// The number of clients in the table, and the number of those whose
// connection is J1708/PLC on device `deviceId`.
int ConnectedClientCount();
int J1708ClientCount(int16_t deviceId);

// RP1210_ClientConnect's work: the new client id (1..16) or an error code.
// txBufferSize (bytes) bounds the client's transmit queue (library.h).
int16_t ConnectClient(void* window, int16_t deviceId, const char* protocol, int32_t txBufferSize,
                      int32_t rxBufferSize, int16_t appPacketizing);

// RP1210_ClientDisconnect's work: 0, or 129 for an id not in the table.
int16_t DisconnectClient(int16_t clientId);
// The same for a client the caller holds a reference on; the reference goes
// with the record (the caller must not use either afterwards).
int16_t DisconnectHeldClient(ClientRecord* client);
