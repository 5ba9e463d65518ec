// The adapter connection layer: opening, sharing, re-opening and releasing
// the DeviceConnection that serves clients of identical settings, and the
// calls that ask an open adapter for its description, its timer and a
// reset.
//
// The connection list and AdapterCallLock exist from the first open
// connection to the last (library.h). openLock serialises opening, sharing,
// re-opening and releasing.
#pragma once

#include "rp1210/library.h"

#include <cstddef>
#include <cstdint>

// Opens a connection for `config` (read and planned by the connect), or
// shares the listed one with the same device, appPacketizing, J1708 mode,
// protocol name and parameters. 0 with *connection set, or 133, 142, 149,
// 155 or 254; a failure leaves the list, the other connections and the
// adapter as they were.
int16_t OpenConnection(const ConnectConfig& config, const ProtocolPlan& plan, DeviceConnection** connection);

// Drops one client's share; the last one closes the connection: transmit
// thread stopped and joined, queued requests ended with 142, mailboxes
// unloaded, the adapter restored unless another connection uses its handle,
// the multiplexer released. The last connection takes the list and
// AdapterCallLock with it. A connection that something may still reach (a
// thread that did not stop, a call still inside, mailboxes the adapter may
// still fill) is parked rather than freed, and tried again at every later
// open and release.
void ReleaseConnection(DeviceConnection* connection);

// Opens the connection again in place, for every client that shares it:
// what is queued ends with 142, every mailbox is unloaded, the adapter
// handle closed (unless another connection uses it) and an adapter opened
// (a listed connection's handle on the device is taken unless
// `freshHandle`: the handle stopped answering, and is then taken by no
// connection again), then the data link and the transmit mailboxes. The
// clients' receive paths and claims are the caller's. 0, or the open's
// error code with the connection left without an adapter (adapterOpen
// false) until a later re-open succeeds. The caller holds the sendLock of
// every client of the connection and its recoverLock.
int16_t ReopenConnection(DeviceConnection* connection, bool freshHandle);

// Sets the J1708 mode the connection's data link is opened with (command 15,
// before its re-open).
void SetConnectionJ1708Mode(DeviceConnection* connection, int16_t mode);

// The adapter's description text (CheckDataLink, at most 79 characters):
// 0, or 142 when the adapter does not answer or AdapterCallLock cannot be had.
int16_t QueryAdapterDescription(DeviceConnection* connection, char text[kConfigTextSize]);
// The adapter timer (RequestTimerValue): 0 or 142 (also while the
// connection has no adapter). A value read is remembered for timestamps.
int16_t QueryAdapterTimer(DeviceConnection* connection, uint32_t* value);
// Resets the adapter (ResetZMX with a command byte 0): 0 or 142.
int16_t ResetAdapter(DeviceConnection* connection);

// Open connections, released ones that could not be ended yet included
// (for tests and checks).
int OpenConnectionCount();

// Splits the first 120 characters of an adapter description into fields
// ended by a tab or a comma; copies field `index` (0-based, cut to size - 1).
void DescriptionField(const char* text, int index, char* field, size_t size);
