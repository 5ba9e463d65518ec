// The transmit side of a connection: its queue (the only code that walks
// it), its transmit thread, its persistent transmit mailboxes and the
// callbacks the adapter calls for completions and data-link errors.
//
// One request per connection is on the wire at a time: the head of the
// queue. The transmit thread marks the head in progress and sends it
// without holding queueLock; a completion callback (or a refusal, or its
// time running out) ends it, tells its sender and lets the next one go.
// Every accepted request ends and its sender is told: by its completion,
// by a data-link error (159), by a refusal (142), by a completion that does
// not come within its limit (142), or by a lost or closing connection
// (142). Only a leaving client's own requests are dropped unsent.
//
// Locks (library.h): queueLock guards the queue, the requests' flags and
// the queue bound of the clients; the thread takes AdapterCallLock to send
// (never under queueLock); callbacks take queueLock, then a sender's
// ringLock for an echo, never AdapterCallLock.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// The result of QueueRequest when another request is on the wire.
constexpr int16_t kQueuedBehind = 255;

// A new request with room for a message of `length` bytes (zero-filled, its
// serial set), or nullptr.
TransmitRequest* NewRequest(int length);
// A client's send of `message` as a request: the client's completion (its
// status, window message, echo, waiter) and release; `waiter` for a
// blocking send. nullptr when there is no memory.
TransmitRequest* NewClientRequest(ClientRecord* client, const uint8_t* message, int size, uint16_t sequence,
                                  bool notify, bool block, SendWaiter* waiter);
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
// ends with 142 as if refused (its completion runs: a sender is told, a
// notify send gets its window message). Safe while the thread runs.
void FailPendingRequests(DeviceConnection* connection);
// Requests whose completion refers to `tag` (TransmitRequest::tag) forget
// it: whatever it names is going away.
void ForgetTag(DeviceConnection* connection, const void* tag);

// Whether a blocking sender's request has ended.
bool WaiterDone(DeviceConnection* connection, const SendWaiter* waiter);
// Waits for a blocking sender's own request to end: its status, or 148 when
// the client is disconnected first.
int16_t AwaitOwnRequest(ClientRecord* client, DeviceConnection* connection, SendWaiter* waiter);

// The persistent transmit mailboxes of adapters below type 5: 0 or 142.
int16_t LoadTransmitMailboxes(DeviceConnection* connection);
void UnloadTransmitMailboxes_adapterCallLocked(DeviceConnection* connection);

// Creates wakeEvent and starts the thread: 0, 155 (the event) or 133.
int16_t StartTransmitThread(DeviceConnection* connection);
// Asks the thread to stop and joins it once it has left its loop (its
// waits are bounded by the stop request, but a multiplexer call it is inside
// may not be). False when it did not stop within 5 s: it is left running
// and the connection must stay allocated.
bool StopTransmitThread(DeviceConnection* connection);
void WakeTransmitThread(DeviceConnection* connection);

// Callbacks registered with the adapter (Mailbox owner: the connection).
void HV_CALL OnTransmitComplete(Mailbox* mailbox);
void HV_CALL OnNoOpComplete(Mailbox* mailbox);
void HV_CALL OnDataLinkError(Mailbox* mailbox, ZmxWord value);
