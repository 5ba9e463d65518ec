// The window messages a client is told things by: dataMessage when its ring
// goes from empty to not empty, statusMessage with a send's status or a
// lost address. Posted only to a client that gave a window.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// dataMessage (wParam 0, lParam 0).
void NotifyData(const ClientRecord* client);
// statusMessage: wParam 145 (transmit message status), lParam the send's
// sequence number plus its status.
void NotifyTransmitStatus(const ClientRecord* client, uint16_t sequence, int32_t status);
// statusMessage: wParam 153 (address lost), lParam the address.
void NotifyAddressLost(const ClientRecord* client, uint8_t address);
