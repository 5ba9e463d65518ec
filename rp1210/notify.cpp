#include "rp1210/notify.h"

#include "rp1210/rp1210_defs.h"

void NotifyData(const ClientRecord* client) {
    if (client->window != nullptr) OsPostMessage(client->window, client->dataMessageId, 0, 0);
}

void NotifyTransmitStatus(const ClientRecord* client, uint16_t sequence, int32_t status) {
    if (client->window != nullptr) {
        OsPostMessage(client->window, client->statusMessageId, kErrTxMessageStatus,
                      static_cast<intptr_t>(sequence + status));
    }
}

void NotifyAddressLost(const ClientRecord* client, uint8_t address) {
    if (client->window != nullptr) OsPostMessage(client->window, client->statusMessageId, kErrAddressLost, address);
}
