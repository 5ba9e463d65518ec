// The link monitor: one thread per client when the heartbeat flag is 1. It
// notices an adapter that stops answering (every client of the connection
// then fails its sends, commands and status calls with 142, a blocked
// reader gets -162, and what was queued ends with 142) and one whose timer
// went back (reset), and opens the connection again for all its clients:
// when the adapter answers again, and, while it does not, freshly at most
// once a second (a handle that never answers again, an adapter that comes
// back as a new device).
#pragma once

#include "rp1210/library.h"

// The thread (argument: the ClientRecord). It ends when the client's closing
// flag is set; its sleeps are 200 ms and its waits bounded, so a join ends.
void LinkMonitorThreadMain(void* client);

// Opens the client's connection again (command 15: the client is its only
// user, and its config carries the new J1708 mode), then restores its
// receive paths and its protected address. 0 or the re-open's error code;
// the connection is then without an adapter until a later re-open
// succeeds. The caller holds the client's sendLock.
int16_t ReopenClientConnection(ClientRecord* client);
