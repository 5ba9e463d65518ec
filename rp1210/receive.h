// The receive path: frames from the adapter's receive mailboxes become
// RP1210 messages in each client's ring; clients read them out.
//
// Locks (library.h): the receive callback runs on the adapter's thread and
// takes only connectionsLock (to find its connection), tableLock (to find
// its clients), then each client's filterLock and ringLock, one at a time:
// never AdapterCallLock. A reader holds ringLock only while it looks at or
// copies out of the ring, never while it waits.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// RP1210_ReadMessage's work: the message length, 0 when non-blocking and
// nothing waits, or -139 (ring overflowed, now emptied), -141 (message
// longer than the buffer: skipped; with no buffer at all it stays), -148
// (disconnected while blocked), -162 (hardware status change).
int16_t ReadClientMessage(ClientRecord* client, uint8_t* buffer, int16_t bufferSize, bool block);

// The receive callback registered in every receive mailboxes (owner: the
// connection). Runs on the adapter's thread: the connection's observer
// sees the message first, then every client of the connection is offered it.
void HV_CALL OnFrameReceived(Mailbox* mailbox);
