// The receive path: frames from the adapter's receive mailboxes become
// RP1210 messages in each client's ring; clients read them out; the
// adapter-side mailboxes that let frames in.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// RP1210_ReadMessage's work: the message length, 0 when non-blocking and
// nothing waits, or -139 (ring overflowed, now emptied), -141 (message
// longer than the buffer: skipped; with no buffer at all it stays), -148
// (disconnected while blocked), -162 (hardware status change).
int16_t ReadClientMessage(ClientRecord* client, uint8_t* buffer, int16_t bufferSize, bool block);

// The receive callback registered in every receive mailbox (owner: the
// connection). Runs on the adapter's thread.
void HV_CALL OnFrameReceived(Mailbox* mailbox);

// Builds the RP1210 message of a received frame into `message` (room for
// kMessageRoom bytes): its length, or 0 when the frame is dropped (a link
// code the connection does not carry, or a data length beyond the message
// room or the receive buffer).
int BuildReceivedMessage(const DeviceConnection* connection, const Mailbox* mailbox, uint8_t* message);

// Offers a message to a client: filtered by the connection's protocol, then
// appended to its ring (dataMessage posted when the ring was empty). Used
// for received frames and for echoes of sent ones.
void AppendToClient(ClientRecord* client, const DeviceConnection* connection, const uint8_t* message, int length);

// Opens every receive path of the connection (pass-all): 0 or 142.
int16_t OpenAllReceivePaths(DeviceConnection* connection);
// Adds the adapter-side pre-filter mailbox for one filter: 0 or 142.
// `kind` is the filter's kind (FilterEntry length: 7 J1939, 9 CAN, 1 J1708).
int16_t AddFilterMailbox(DeviceConnection* connection, const FilterEntry& filter);
// Unloads every receive mailbox of the connection.
void UnloadReceivePaths(DeviceConnection* connection);

// The four timestamp bytes of a message: most significant first, or least
// significant first for a device whose parameters ask for reversed ones.
void PutTimestamp(const DeviceConnection* connection, uint32_t time, uint8_t* out);
