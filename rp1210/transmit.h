// The transmit path: RP1210_SendMessage's checks, the transmit queue of a
// connection, its transmit thread, and the callbacks the library places in
// the adapter's records for transmit completion and data-link errors.
//
// One request per connection is on the wire at a time: the head of the
// queue. The transmit thread marks the head in progress and sends it
// without holding queueLock; a completion callback (or a refusal, or its
// time running out) ends it, tells its sender and lets the next one go.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// The result of QueueRequest when another request is on the wire.
constexpr int16_t kQueuedBehind = 255;

// RP1210_SendMessage's work (the client looked up): a blocking send's final
// status (0, 159, 142; 148 when the client is disconnected before it ends),
// a non-blocking send's 0 or sequence number, or an error code (142, 158,
// 155, 141, 163, 157, 153, 148, 137 when the client's queue is full, 133).
int16_t SendClientMessage(ClientRecord* client, const uint8_t* message, int16_t size, bool notify, bool block);

// The checks of a client message for the client's protocol: 0, 141 (size),
// 163 (J1850 byte 0, or shorter than the protocol's header), 157 or 153
// (J1939 address protection). Changes nothing: the send lets a lost
// address's entry go under the client's sendLock.
int16_t CheckClientMessage(ClientRecord* client, const uint8_t* message, int size);

// A new queued request with room for a message of `length` bytes
// (zero-filled, its serial set), or nullptr.
TransmitRequest* NewRequest(int length);
// Appends a request to the connection's queue: 0 (the thread is woken),
// kQueuedBehind, or 137 when a client's send would pass the client's bound
// (the request is freed). The queue owns the request from then on.
int16_t QueueRequest(DeviceConnection* connection, TransmitRequest* request);
// Removes done requests from the head.
void PurgeQueue(DeviceConnection* connection);
// Takes a request back (a sender that gave up): removed, or, when it is on
// the wire already, left to finish without its sender.
void RemoveRequest(DeviceConnection* connection, uint32_t serial);
// A client that goes: its requests forget it (waiting ones are dropped, the
// one on the wire finishes without telling anyone).
void DetachClientRequests(DeviceConnection* connection, ClientRecord* client);
// A connection that is lost, re-opened or closed: every request not done
// ends with 142 as if refused (its sender is told, a notify send gets its
// window message). Safe while the transmit thread runs.
void FailPendingRequests(DeviceConnection* connection);

// The transmit thread of a connection (argument: the DeviceConnection). It
// waits for wakeEvent and sends the head of the queue, and ends a request
// whose completion is overdue with 142; it ends when the release sets
// threadState to kThreadStopAsked and wakes it.
void TransmitThreadMain(void* connection);

// Callbacks registered with the adapter (Mailbox owner: the connection).
void HV_CALL OnTransmitComplete(Mailbox* mailbox);
void HV_CALL OnNoOpComplete(Mailbox* mailbox);
void HV_CALL OnClaimComplete(Mailbox* mailbox);
void HV_CALL OnDataLinkError(Mailbox* mailbox, ZmxWord value);
