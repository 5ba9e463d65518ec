// RP1210_SendMessage's work: the checks of a client's message for its
// protocol and its protected address, then the request on the connection's
// transmit queue; a blocking send waits for its own request's end.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// A blocking send's final status (0, 159, 142; 148 when the client is
// disconnected before it ends), a non-blocking send's 0 or sequence
// number, or an error code (142, 158, 155, 141, 163, 157, 153, 148, 137
// when the client's queue is full, 133).
int16_t SendClientMessage(ClientRecord* client, const uint8_t* message, int16_t size, bool notify, bool block);

// The checks of a client message for the client's protocol: 0, 141 (size),
// 163 (J1850 byte 0, or shorter than the protocol's header), 157 or 153
// (J1939 address protection). Changes nothing: the send lets a lost
// address's entry go under the client's sendLock.
int16_t CheckClientMessage(const ClientRecord* client, const uint8_t* message, int size);
