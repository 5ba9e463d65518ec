// The receive mailboxes a connection loads in the adapter: what lets frames
// in for its clients (pass-all, one per filter) and for its protected
// addresses (transport messages to them). Every list of them changes only
// together with a multiplexer call, under AdapterCallLock.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// Opens every receive path of the connection (pass-all): 0, 133 or 142.
int16_t OpenAllReceivePaths(DeviceConnection* connection);
// Adds the adapter-side pre-filter mailbox for one filter: 0, 133 or 142
// (the client-side match stays authoritative). A mailbox for the same
// frames is not loaded twice; with the filter kind's capacity reached the
// last one lets everything in, and beyond it none is added.
int16_t AddFilterMailbox(DeviceConnection* connection, const FilterEntry& filter);
// Unloads every receive mailbox the clients asked for.
void UnloadReceivePaths(DeviceConnection* connection);

// The transport receive mailboxes of a protected address (J1939 channel 1
// only; others need none): 0, 133 or 142. When the adapter is out of
// mailboxes the receive paths are opened again and one more try is made.
int16_t AddAddressMailboxes(DeviceConnection* connection, uint8_t address);
// Unloads them for the address (the broadcast one with the last address).
void RemoveAddressMailboxes(DeviceConnection* connection, uint8_t address);

// Unloads every receive mailbox of the connection (client paths and
// addresses), AdapterCallLock held.
void UnloadAllReceive_adapterCallLocked(DeviceConnection* connection);
