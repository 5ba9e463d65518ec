// The transmit side of a connection.
#include "rp1210/transmit.h"

#include "rp1210/connection.h"

void TransmitThreadMain(void* argument) {
    DeviceConnection* c = static_cast<DeviceConnection*>(argument);
    for (;;) {
        // The release sets threadState and wakes the thread: no time limit needed.
        OsWaitEvent(c->wakeEvent, kOsWaitForever);
        if (c->threadState.load() == kThreadStopAsked) break;
    }
    c->threadState.store(kThreadStopped);
}

void HV_CALL OnTransmitComplete(Mailbox* mailbox) {
    if (mailbox == nullptr) return;
    DeviceConnection* c = PinListedConnection(mailbox->owner);
    if (c == nullptr) return;
    UnpinConnection(c);
}

void HV_CALL OnClaimComplete(Mailbox* mailbox) {
    if (mailbox == nullptr) return;
    DeviceConnection* c = PinListedConnection(mailbox->owner);
    if (c == nullptr) return;
    UnpinConnection(c);
}

void HV_CALL OnDataLinkError(Mailbox* mailbox, ZmxWord) {
    if (mailbox == nullptr) return;
    DeviceConnection* c = PinListedConnection(mailbox->owner);
    if (c == nullptr) return;
    UnpinConnection(c);
}
