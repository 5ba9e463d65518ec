// RP1210_SendMessage's work (send.h).
//
// Locks (library.h): a sender takes its sendLock (250 ms) for its checks
// and its queueing, then the transmit side takes queueLock.
#include "rp1210/send.h"

#include "rp1210/claim.h"
#include "rp1210/protocols.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

namespace {

constexpr unsigned kSendLockWait = 250;   // ms a sender waits for its sendLock
constexpr unsigned kReleaseWait = 1000;   // ms a blocking sender behind another waits for its turn
constexpr int kTransportSize = 15;        // a J1939 message this long needs the transport protocol

// The checks under the client's sendLock: a client whose address was lost
// lets its entry go (the claim state changes only under sendLock).
int16_t Check_sendLocked(ClientRecord* c, const uint8_t* message, int size) {
    int16_t checked = CheckClientMessage(c, message, size);
    if (checked == kErrAddressLost) ReleaseClientEntry(c);
    return checked;
}

}  // namespace

int16_t CheckClientMessage(const ClientRecord* client, const uint8_t* message, int size) {
    const ProtocolRow& row = Protocol(client->plan.kind);
    if (size < 0) return kErrMessageTooLong;
    if (message == nullptr || size < 1) return kErrMessageFormatNotSupported;
    if (size > row.sizeLimit(message)) return kErrMessageTooLong;
    if (size < row.headerLength(message)) return kErrMessageFormatNotSupported;
    if (!row.formatValid(message)) return kErrMessageFormatNotSupported;
    if (!client->protectOn.load()) {
        // Messages that need the transport protocol need a claimed address.
        if (row.transportNeedsAddress && size >= kTransportSize) return kErrAddressNeverClaimed;
        return kRp1210Ok;
    }
    return client->addressHeld.load() ? kRp1210Ok : kErrAddressLost;
}

int16_t SendClientMessage(ClientRecord* c, const uint8_t* message, int16_t size, bool notify, bool block) {
    if (c->linkLost.load()) return kErrHardwareNotResponding;
    if (notify && c->window == nullptr) return kErrWindowHandleRequired;
    if (notify && block) return kErrBlockNotAllowed;
    int16_t checked = CheckClientMessage(c, message, size);
    if (checked != kRp1210Ok && checked != kErrAddressLost) return checked;

    // The link monitor holds sendLock while it opens the connection again.
    OsMutexGuard send(c->sendLock, kSendLockWait);
    if (!send.held()) return kErrHardwareNotResponding;
    checked = Check_sendLocked(c, message, size);
    if (checked != kRp1210Ok) return checked;
    SendWaiter waiter{false, 0};
    uint16_t sequence = NextSequence();
    TransmitRequest* r = NewClientRequest(c, message, size, sequence, notify, block, &waiter);
    if (r == nullptr) return kErrNotEnoughMemory;
    uint32_t serial = r->serial;

    OsResetEvent(c->txRelease);
    DeviceConnection* connection = PinClientConnection(c);
    if (connection == nullptr) {
        OsFree(r);
        return kErrHardwareNotResponding;
    }
    int16_t queued = QueueRequest(connection, r);
    send.Unlock();

    if (queued == kQueuedBehind && block) {
        // Another request is on the wire: wait for this one's turn.
        if (!OsWaitEvent(c->txRelease, kReleaseWait)) {
            RemoveRequest(connection, serial);
            PurgeQueue(connection);
            UnpinConnection(connection);
            return kErrHardwareNotResponding;
        }
        if (!c->closing.load() && !WaiterDone(connection, &waiter)) {
            int16_t again = CheckClientMessage(c, message, size);
            if (again == kErrAddressLost) {
                OsMutexGuard relock(c->sendLock, kSendLockWait);
                if (relock.held()) again = Check_sendLocked(c, message, size);
            }
            if (again != kRp1210Ok) {
                RemoveRequest(connection, serial);
                UnpinConnection(connection);
                return again;
            }
            PurgeQueue(connection);
        }
        queued = kRp1210Ok;
    }
    if (queued != kRp1210Ok && queued != kQueuedBehind) {
        UnpinConnection(connection);
        if (queued == kErrNotEnoughMemory && c->monitorRunning.load()) c->linkLost.store(true);
        return queued;
    }
    if (block) {
        // Woken by its completion (every request ends: transmit.h), or by a
        // disconnect.
        int16_t status = AwaitOwnRequest(c, connection, &waiter);
        UnpinConnection(connection);
        return status;
    }
    UnpinConnection(connection);
    if (c->closing.load()) return kErrClientDisconnected;
    return notify ? static_cast<int16_t>(sequence) : kRp1210Ok;
}
