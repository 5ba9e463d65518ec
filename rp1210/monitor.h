// The link monitor: one thread per client when the heartbeat flag is 1. It
// notices an adapter that stops answering (every send, command and status
// call then fails with 142, and a blocked reader gets -162) and one whose
// timer went back (reset), and opens the client's connection again.
#pragma once

#include "rp1210/library.h"

// The thread (argument: the ClientRecord). It ends when the client's closing
// flag is set; its sleeps are 200 ms and its waits bounded, so a join ends.
void LinkMonitorThreadMain(void* client);

// Releases the client's connection and opens (or shares) one again with the
// client's settings, then restores its receive paths and its protected
// address. 0 or the open's error code; the client then has no connection
// until a later re-open succeeds. The caller holds the client's sendLock.
int16_t ReopenClientConnection(ClientRecord* client);
