// The receive path (receive.h).
#include "rp1210/receive.h"

#include "rp1210/protocols.h"
#include "rp1210/ring.h"
#include "rp1210/rp1210_defs.h"

#include <cstring>

void HV_CALL OnFrameReceived(Mailbox* mailbox) {
    if (mailbox == nullptr) return;
    DeviceConnection* c = PinListedConnection(mailbox->owner);
    if (c == nullptr) return;
    // The message, and room before it for the echo byte some clients want.
    uint8_t area[kMessageRoom + 1];
    uint8_t* message = area + 1;
    int length = BuildReceivedMessage(c, mailbox, message);
    if (length == 0) {
        c->droppedFrames.fetch_add(1);
        UnpinConnection(c);
        return;
    }
    const ProtocolRow& row = Protocol(c->protocolKind);
    if (FrameObserver observer = c->observer.load()) observer(c, message, length);
    ClientRecord* clients[kClientSlots];
    int count = AcquireClientsOf(c, clients);
    uint32_t now = OsTickCount();
    uint8_t* echoed = nullptr;  // the message with an echo byte 0 after the timestamp, made once
    uint8_t echoArea[kMessageRoom + 1];
    for (int i = 0; i < count; ++i) {
        ClientRecord* client = clients[i];
        client->lastActivity.store(now);
        if (client->receiveOn.load()) {
            if (!client->echoOn.load()) {
                OfferToClient(client, row, message, length);
            } else {
                if (echoed == nullptr) {
                    echoed = echoArea;
                    std::memcpy(echoed, message, 4);
                    echoed[4] = 0;
                    std::memcpy(echoed + 5, message + 4, static_cast<size_t>(length - 4));
                }
                OfferToClient(client, row, echoed, length + 1);
            }
        }
        ReleaseClient(client);
    }
    UnpinConnection(c);
}

namespace {

// Takes the oldest message out for a reader (the ring not empty).
int16_t TakeMessage_ringLocked(ClientRecord* c, uint8_t* buffer, int16_t bufferSize) {
    int32_t length = RingPeekLength_ringLocked(c);
    int16_t result;
    if (buffer == nullptr) {
        result = -kErrMessageTooLong;
    } else if (length > bufferSize) {
        RingTake_ringLocked(c, nullptr, 0);
        result = -kErrMessageTooLong;
    } else {
        RingTake_ringLocked(c, buffer, length);
        result = static_cast<int16_t>(length);
    }
    // Appends wake a reader only when the ring was empty: what is left is
    // for another blocked reader of the same client, so it is woken too.
    if (c->readersWaiting.load() > 0 && RingUsed_ringLocked(c) > 0) OsSetEvent(c->dataReady);
    return result;
}

}  // namespace

int16_t ReadClientMessage(ClientRecord* c, uint8_t* buffer, int16_t bufferSize, bool block) {
    for (;;) {
        {
            OsMutexGuard ring(c->ringLock);
            if (c->ringOverflow != 0) {
                // A message did not fit: the reader learns it once, and the ring starts afresh.
                c->ringOverflow = 0;
                RingEmpty_ringLocked(c);
                return -kErrRxQueueFull;
            }
            OsResetEvent(c->dataReady);
            if (RingUsed_ringLocked(c) > 0) return TakeMessage_ringLocked(c, buffer, bufferSize);
            if (!block) return 0;
            c->readersWaiting += 1;
        }
        OsWaitEvent(c->dataReady, kOsWaitForever);  // set by appends, overflows, the teardown and link loss
        c->readersWaiting -= 1;
        if (c->closing.load()) return -kErrClientDisconnected;
        if (c->statusChange.exchange(false)) return -kErrHardwareStatusChange;
    }
}
