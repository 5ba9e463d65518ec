// The transmit side of a connection: its transmit thread and the callbacks
// the library places in the adapter's records for transmit completion and
// data-link errors.
#pragma once

#include "rp1210/library.h"

// The transmit thread of a connection (argument: the DeviceConnection). It
// waits for wakeEvent and sends the head of the transmit queue; it ends when
// the connection's release sets threadState to kThreadStopAsked and wakes it.
void TransmitThreadMain(void* connection);

// Callbacks registered with the adapter (Mailbox owner: the connection).
void HV_CALL OnTransmitComplete(Mailbox* mailbox);
void HV_CALL OnClaimComplete(Mailbox* mailbox);
void HV_CALL OnDataLinkError(Mailbox* mailbox, ZmxWord value);
