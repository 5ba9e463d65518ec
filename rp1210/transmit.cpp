// The transmit side of a connection (transmit.h).
#include "rp1210/transmit.h"

#include "rp1210/mux_binding.h"
#include "rp1210/notify.h"
#include "rp1210/protocols.h"
#include "rp1210/ring.h"
#include "rp1210/rp1210_defs.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

constexpr unsigned kBusyPause = 1;        // ms before a load the adapter was too busy for is tried again
constexpr unsigned kWaiterSlice = 100;    // ms between looks of a blocking sender at its own request
constexpr unsigned kCallLockSlice = 100;  // ms between the thread's looks at its stop request
constexpr uint32_t kSingleFrameLimit = 1000;  // ms a frame's completion may take
constexpr uint32_t kPerPacketLimit = 100;     // ms more per transport packet (7 bytes)
constexpr uint32_t kThreadStopLimit = 5000;   // ms a release waits for the thread

// How long the adapter may take to report a request: a frame 1 s, a
// transport message (more than 8 data bytes: BAM at 50 ms a packet, or
// RTS/CTS with its windows) 100 ms more per 7-byte packet.
uint32_t CompletionLimit(const TransmitRequest& r) {
    int data = r.length - Protocol(r.connection->protocolKind).headerLength(r.message);
    uint32_t packets = data > 8 ? static_cast<uint32_t>((data + 6) / 7) : 0;
    return kSingleFrameLimit + packets * kPerPacketLimit;
}

// ---- The queue under queueLock ------------------------------------------------------

// The first request that is not done: the one on the wire, or next.
TransmitRequest* Head_queueLocked(DeviceConnection* c) {
    TransmitRequest* r = c->transmitQueue;
    while (r != nullptr && r->done) r = r->next;
    return r;
}

// Frees done requests from the head; never the one the thread is sending.
void Purge_queueLocked(DeviceConnection* c) {
    while (TransmitRequest* r = c->transmitQueue) {
        if (!r->done || r == c->sending) break;
        c->transmitQueue = r->next;
        if (c->transmitQueue == nullptr) c->transmitTail = nullptr;
        OsFree(r);
    }
}

// A request leaves its client's queue bound.
void Uncount_queueLocked(TransmitRequest* r) {
    if (!r->counted || r->client == nullptr) return;
    r->client->txQueued -= 1;
    r->client->txQueuedBytes -= r->length;
    r->counted = 0;
}

// A request that ends without a status to tell (nobody needs one).
void Drop_queueLocked(TransmitRequest* r) {
    Uncount_queueLocked(r);
    r->done = 1;
}

// Ends a request with `status`: its completion, its event. Once only.
void Finish_queueLocked(TransmitRequest* r, int32_t status, uint32_t timestamp) {
    if (r->done) return;
    r->timestamp = timestamp;
    r->status = status;
    if (r->completion != nullptr) r->completion(r->client, r);
    Uncount_queueLocked(r);
    r->done = 1;
    if (r->event != nullptr) OsSetEvent(r->event);
}

// Ends the head with `status` and lets the next one go. Returns whether
// another request waits (the caller wakes the thread).
bool Complete_queueLocked(TransmitRequest* head, int32_t status, uint32_t timestamp) {
    Finish_queueLocked(head, status, timestamp);
    TransmitRequest* second = head->next;
    while (second != nullptr && second->done) second = second->next;
    if (second != nullptr && second->release != nullptr) second->release(second->client, second);
    return second != nullptr;
}

// A completion from the adapter for the request on the wire.
void CompleteFromAdapter(Mailbox* mailbox, int32_t status) {
    if (mailbox == nullptr) return;
    DeviceConnection* c = PinListedConnection(mailbox->owner);
    if (c == nullptr) return;
    bool another = false;
    {
        OsMutexGuard queue(c->queueLock);
        TransmitRequest* head = Head_queueLocked(c);
        if (head != nullptr && head->inProgress) {
            another = Complete_queueLocked(head, status, status == 0 ? uint32_t{mailbox->transmitTime} : 0);
        }
    }
    if (another) OsSetEvent(c->wakeEvent);
    UnpinConnection(c);
}

// The completion of a client's send: its status, its window message, its
// echo (of a message that went out), its waiting sender; txDone is set last,
// so that the echo is in the ring when a blocking send returns. Only a
// request that went out counts as activity of the link.
void ClientCompletion(ClientRecord* client, TransmitRequest* r) {
    if (client == nullptr) return;  // the sender has gone
    if (r->status == kRp1210Ok) client->lastActivity.store(OsTickCount());
    client->lastTxStatus.store(r->status);
    if (r->waiter != nullptr) {
        r->waiter->status = r->status;
        r->waiter->done = true;
        r->waiter = nullptr;
    }
    if (r->notify) NotifyTransmitStatus(client, r->sequence, r->status);
    if (r->echo && r->status == kRp1210Ok) {
        // Timestamp, 1, then the message (J1708 and PLC without the priority byte).
        const ProtocolRow& row = Protocol(r->connection->protocolKind);
        uint8_t echo[kMessageRoom + 5];
        PutTimestamp(r->connection, r->timestamp, echo);
        echo[4] = 1;
        const uint8_t* body = r->message + row.echoSkip;
        int bodyLength = r->length - row.echoSkip;
        std::memcpy(echo + 5, body, static_cast<size_t>(bodyLength));
        OfferToClient(client, row, echo, bodyLength + 5);
    }
    OsSetEvent(client->txDone);
}

void ClientRelease(ClientRecord* client, TransmitRequest*) {
    if (client != nullptr) OsSetEvent(client->txRelease);
}

// ---- Sending the head ------------------------------------------------------------

enum class Sent { kOnTheWire, kDoneNow, kBusy, kRefused };

Mailbox* MailboxOfRole(DeviceConnection* c, TransmitRole role) {
    switch (role) {
        case TransmitRole::kMain: return c->txMailboxMain;
        case TransmitRole::kStandard: return c->txMailboxStandard;
        case TransmitRole::kClaim: return c->txMailboxClaim;
    }
    return nullptr;
}

// Writes a persistent transmit mailbox and updates it; the flags byte says
// what changed.
Sent UpdatePersistent_adapterCallLocked(DeviceConnection* c, const TransmitPlan& plan, const TransmitRequest& r) {
    Mailbox* mailbox = MailboxOfRole(c, plan.persistent);
    if (mailbox == nullptr) return Sent::kRefused;
    const uint8_t* data = r.message + plan.header;
    int length = r.length - plan.header;
    uint8_t flags = 0x41;
    mailbox->owner = c;
    mailbox->data = const_cast<uint8_t*>(data);
    if (mailbox->dataLength != length) {
        flags = 0x61;
        mailbox->dataLength = static_cast<uint16_t>(length);
    }
    if (plan.j1708Header) {
        if (std::memcmp(mailbox->j1708Header, r.message, 3) != 0) {
            std::memcpy(mailbox->j1708Header, r.message, 3);
            flags |= 0x02;
        }
    } else if (plan.alwaysIdentifier || mailbox->identifier != plan.identifier) {
        mailbox->identifier = plan.identifier;
        flags |= 0x02;
    }
    mailbox->transmitPending = 1;
    int32_t result = c->mux.entries.UpdateTransmitMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(mailbox), flags);
    return result == 0 ? Sent::kOnTheWire : Sent::kRefused;
}

// Loads a one-shot transmit mailbox that sends the request.
Sent LoadOneShot_adapterCallLocked(DeviceConnection* c, const TransmitPlan& plan, const TransmitRequest& r) {
    bool quiet = plan.quietAllowed && !r.echo && !r.block && !r.notify;
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = c->linkCode;
    setup.direction = 1;
    setup.frameKind = plan.oneShot.frameKind;
    setup.oneShot = 1;
    setup.identifierWidth = plan.oneShot.width;
    setup.identifier = plan.identifier;
    setup.destination = plan.destination;
    setup.noTimestamp = 1;
    setup.fullMask = 1;
    setup.oneShotWord = 1;
    if (plan.j1708Header) std::memcpy(setup.j1708Header, r.message, 3);
    setup.sizeLimitOn = plan.oneShot.sizeLimitOn;
    setup.sizeLimit = plan.oneShot.sizeLimit;
    // Nothing to report: the request is done when the adapter has it.
    setup.callback = quiet ? OnNoOpComplete : OnTransmitComplete;
    setup.owner = c;
    setup.dataLength = static_cast<uint16_t>(r.length - plan.header);
    setup.data = const_cast<uint8_t*>(r.message + plan.header);
    int32_t result = c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup));
    if (result == 0) return quiet ? Sent::kDoneNow : Sent::kOnTheWire;
    return result == kZmxAdapterBusy && plan.busyRetried ? Sent::kBusy : Sent::kRefused;
}

// Sends the request: AdapterCallLock without a time limit, but a stop
// request is looked at between tries; an adapter a re-open could not open
// again refuses it.
Sent SendHead(DeviceConnection* c, const TransmitRequest& r) {
    TransmitPlan plan = Protocol(c->protocolKind).planTransmit(r.message, r.length, r.claimFrame != 0);
    for (;;) {
        AdapterCallGuard guard(kCallLockSlice);
        if (guard.held()) {
            if (!c->adapterOpen.load()) return Sent::kRefused;
            bool persistent = c->adapterType < 5 && !plan.oneShotAlways;
            return persistent ? UpdatePersistent_adapterCallLocked(c, plan, r) : LoadOneShot_adapterCallLocked(c, plan, r);
        }
        if (c->threadState.load() == kThreadStopAsked) return Sent::kRefused;
    }
}

// Ends the request on the wire when its completion is overdue (142). The
// time until it is due, or kOsWaitForever when nothing is on the wire.
unsigned EndOverdue(DeviceConnection* c) {
    unsigned wait = kOsWaitForever;
    bool another = false;
    {
        OsMutexGuard queue(c->queueLock);
        TransmitRequest* head = Head_queueLocked(c);
        if (head != nullptr && head->inProgress && head != c->sending) {
            uint32_t elapsed = OsTickCount() - head->sentAt;
            uint32_t limit = CompletionLimit(*head);
            if (elapsed >= limit) {
                another = Complete_queueLocked(head, kErrHardwareNotResponding, 0);
            } else {
                wait = limit - elapsed;
            }
        }
    }
    if (another) OsSetEvent(c->wakeEvent);
    return wait;
}

// Sends heads until one is on the wire, the queue is empty or a stop is asked.
void SendWaiting(DeviceConnection* c) {
    for (;;) {
        TransmitRequest* head;
        {
            OsMutexGuard queue(c->queueLock);
            Purge_queueLocked(c);
            head = Head_queueLocked(c);
            if (head == nullptr || head->inProgress) return;
            head->inProgress = 1;
            head->sentAt = OsTickCount();
            c->sending = head;  // stays allocated while the thread uses it
        }
        Sent sent = SendHead(c, *head);
        bool another = false;
        bool onTheWire = false;
        {
            OsMutexGuard queue(c->queueLock);
            c->sending = nullptr;
            if (head->done) {
                // Ended meanwhile (a lost connection fails what is queued).
                another = Head_queueLocked(c) != nullptr;
            } else if (sent == Sent::kOnTheWire) {
                head->sentAt = OsTickCount();  // its completion is due from now
                onTheWire = true;
            } else if (sent == Sent::kBusy) {
                head->inProgress = 0;
                another = true;
            } else if (sent == Sent::kDoneNow) {
                Drop_queueLocked(head);  // nothing to tell anyone
                another = Head_queueLocked(c) != nullptr;
            } else {
                another = Complete_queueLocked(head, kErrHardwareNotResponding, 0);
            }
        }
        if (onTheWire) return;  // its completion wakes the thread for the next
        if (sent == Sent::kBusy) OsSleep(kBusyPause);
        if (!another || c->threadState.load() == kThreadStopAsked) return;
    }
}

void TransmitThreadMain(void* argument) {
    DeviceConnection* c = static_cast<DeviceConnection*>(argument);
    unsigned wait = kOsWaitForever;
    for (;;) {
        // Woken by queues, completions and the release (which sets
        // threadState first); bounded while a request is on the wire.
        OsWaitEvent(c->wakeEvent, wait);
        if (c->threadState.load() == kThreadStopAsked) break;
        EndOverdue(c);
        SendWaiting(c);
        wait = EndOverdue(c);
    }
    c->threadState.store(kThreadStopped);
}

// ---- Persistent transmit mailboxes ---------------------------------------------------

Mailbox** SlotOf(DeviceConnection* c, TransmitRole role) {
    switch (role) {
        case TransmitRole::kMain: return &c->txMailboxMain;
        case TransmitRole::kStandard: return &c->txMailboxStandard;
        case TransmitRole::kClaim: return &c->txMailboxClaim;
    }
    return &c->txMailboxMain;
}

bool LoadPersistent_adapterCallLocked(DeviceConnection* c, const PersistentMailbox& wanted) {
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = c->linkCode;
    setup.direction = 1;
    setup.frameKind = wanted.spec.frameKind;
    setup.identifierWidth = wanted.spec.width;
    setup.sizeLimitOn = wanted.spec.sizeLimitOn;
    setup.sizeLimit = wanted.spec.sizeLimit;
    setup.fullMask = wanted.spec.fullMask ? 1 : 0;
    if (wanted.spec.noTimestamp) setup.noTimestamp = static_cast<uint8_t>(c->noTimestamp);
    setup.callback = OnTransmitComplete;  // a claim frame's completion too: it ends as any request
    if (c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup)) != 0) return false;
    *SlotOf(c, wanted.role) = setup.mailbox;
    return setup.mailbox != nullptr;
}

void UnloadMailbox_adapterCallLocked(DeviceConnection* c, Mailbox** mailbox) {
    if (*mailbox != nullptr) c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(*mailbox));
    *mailbox = nullptr;
}

}  // namespace

// ---- The queue ---------------------------------------------------------------------

TransmitRequest* NewRequest(int length) {
    size_t room = length < 0 ? 0 : length > kMessageRoom ? kMessageRoom : static_cast<size_t>(length);
    TransmitRequest* r = static_cast<TransmitRequest*>(OsAllocate(offsetof(TransmitRequest, message) + room));
    if (r != nullptr) r->serial = NextSerial();
    return r;
}

TransmitRequest* NewClientRequest(ClientRecord* c, const uint8_t* message, int size, uint16_t sequence, bool notify,
                                  bool block, SendWaiter* waiter) {
    TransmitRequest* r = NewRequest(size);
    if (r == nullptr) return nullptr;
    std::memcpy(r->message, message, static_cast<size_t>(size));
    r->length = static_cast<uint16_t>(size);
    r->sequence = sequence;
    r->client = c;
    r->completion = ClientCompletion;
    r->release = ClientRelease;
    r->notify = notify ? 1 : 0;
    r->echo = c->echoOn.load() ? 1 : 0;
    r->block = block ? 1 : 0;
    r->event = block ? c->txRelease : nullptr;
    r->waiter = block ? waiter : nullptr;
    return r;
}

int16_t QueueRequest(DeviceConnection* c, TransmitRequest* request) {
    request->connection = c;
    request->inProgress = 0;
    request->done = 0;
    request->next = nullptr;
    bool behind;
    {
        OsMutexGuard queue(c->queueLock);
        Purge_queueLocked(c);
        ClientRecord* owner = request->client;
        if (request->completion == ClientCompletion && owner != nullptr) {
            // A client's send counts against its queue bound.
            if (owner->txQueued >= kMaxQueuedRequests || owner->txQueuedBytes + request->length > owner->txBudget) {
                queue.Unlock();
                OsFree(request);
                return kErrTxQueueFull;
            }
            owner->txQueued += 1;
            owner->txQueuedBytes += request->length;
            request->counted = 1;
        }
        if (c->transmitTail != nullptr) {
            c->transmitTail->next = request;
        } else {
            c->transmitQueue = request;
        }
        c->transmitTail = request;
        TransmitRequest* head = Head_queueLocked(c);
        behind = head != request && head->inProgress;
    }
    if (behind) return kQueuedBehind;
    OsSetEvent(c->wakeEvent);
    return kRp1210Ok;
}

void PurgeQueue(DeviceConnection* c) {
    OsMutexGuard queue(c->queueLock);
    Purge_queueLocked(c);
}

void RemoveRequest(DeviceConnection* c, uint32_t serial) {
    bool wake = false;
    {
        OsMutexGuard queue(c->queueLock);
        TransmitRequest* previous = nullptr;
        for (TransmitRequest* r = c->transmitQueue; r != nullptr; previous = r, r = r->next) {
            if (r->serial != serial) continue;
            if (r->done) break;
            Uncount_queueLocked(r);
            if (r->inProgress || r == c->sending) {
                // On the wire: it finishes, but its sender no longer waits for it.
                r->client = nullptr;
                r->event = nullptr;
                r->waiter = nullptr;
            } else {
                (previous != nullptr ? previous->next : c->transmitQueue) = r->next;
                if (c->transmitTail == r) c->transmitTail = previous;
                OsFree(r);
            }
            break;
        }
        TransmitRequest* head = Head_queueLocked(c);
        if (head != nullptr && !head->inProgress) {
            if (head->release != nullptr) head->release(head->client, head);
            wake = true;
        }
    }
    if (wake) OsSetEvent(c->wakeEvent);
}

void DetachClientRequests(DeviceConnection* c, ClientRecord* client) {
    OsMutexGuard queue(c->queueLock);
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; r = r->next) {
        if (r->client != client || r->done) continue;
        Uncount_queueLocked(r);
        r->client = nullptr;
        r->event = nullptr;
        r->waiter = nullptr;
        if (!r->inProgress && r != c->sending) r->done = 1;  // not sent yet: dropped
    }
    Purge_queueLocked(c);
}

void FailPendingRequests(DeviceConnection* c) {
    if (c->queueLock == nullptr) return;
    OsMutexGuard queue(c->queueLock);
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; r = r->next) {
        Finish_queueLocked(r, kErrHardwareNotResponding, 0);
    }
    Purge_queueLocked(c);
}

void ForgetTag(DeviceConnection* c, const void* tag) {
    OsMutexGuard queue(c->queueLock);
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; r = r->next) {
        if (r->tag == tag) r->tag = nullptr;
    }
}

bool WaiterDone(DeviceConnection* c, const SendWaiter* waiter) {
    OsMutexGuard queue(c->queueLock);
    return waiter->done;
}

int16_t AwaitOwnRequest(ClientRecord* c, DeviceConnection* connection, SendWaiter* waiter) {
    for (;;) {
        if (WaiterDone(connection, waiter)) return static_cast<int16_t>(waiter->status);
        if (c->closing.load()) {
            // Taken back from its request, so that no completion writes to it
            // once the sender has gone.
            OsMutexGuard queue(connection->queueLock);
            for (TransmitRequest* r = connection->transmitQueue; r != nullptr; r = r->next) {
                if (r->waiter == waiter) r->waiter = nullptr;
            }
            return waiter->done ? static_cast<int16_t>(waiter->status) : kErrClientDisconnected;
        }
        // Every completion of the client sets txDone; the slices cover a
        // second sender of the same client that took the wake-up.
        OsWaitEvent(c->txDone, kWaiterSlice);
    }
}

// ---- The connection's transmit side ---------------------------------------------------

int16_t LoadTransmitMailboxes(DeviceConnection* c) {
    if (c->adapterType >= 5) return kRp1210Ok;  // one-shot mailboxes per request instead
    const ProtocolRow& row = Protocol(c->protocolKind);
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    for (int i = 0; i < row.persistentCount; ++i) {
        if (!LoadPersistent_adapterCallLocked(c, row.persistent[i])) {
            UnloadTransmitMailboxes_adapterCallLocked(c);
            return kErrHardwareNotResponding;
        }
    }
    return kRp1210Ok;
}

void UnloadTransmitMailboxes_adapterCallLocked(DeviceConnection* c) {
    UnloadMailbox_adapterCallLocked(c, &c->txMailboxMain);
    UnloadMailbox_adapterCallLocked(c, &c->txMailboxStandard);
    UnloadMailbox_adapterCallLocked(c, &c->txMailboxClaim);
}

int16_t StartTransmitThread(DeviceConnection* c) {
    c->wakeEvent = OsCreateEvent();
    if (c->wakeEvent == nullptr) return kErrBlockNotAllowed;  // the connect's answer to an event it cannot make
    c->threadState.store(kThreadRunning);
    c->transmitThread = OsStartThread(TransmitThreadMain, c, kThreadStack);
    if (c->transmitThread == nullptr) {
        c->threadState.store(kThreadStopped);
        return kErrNotEnoughMemory;
    }
    return kRp1210Ok;
}

bool StopTransmitThread(DeviceConnection* c) {
    if (c->transmitThread != nullptr) {
        c->threadState.store(kThreadStopAsked);
        uint32_t start = OsTickCount();
        while (c->threadState.load() != kThreadStopped) {
            if (OsTickCount() - start > kThreadStopLimit) return false;
            OsSetEvent(c->wakeEvent);
            OsSleep(1);
        }
        OsJoinThread(c->transmitThread);
        c->transmitThread = nullptr;
    }
    c->threadState.store(kThreadStopped);
    return true;
}

void WakeTransmitThread(DeviceConnection* c) {
    if (c->wakeEvent != nullptr) OsSetEvent(c->wakeEvent);
}

void HV_CALL OnTransmitComplete(Mailbox* mailbox) { CompleteFromAdapter(mailbox, kRp1210Ok); }

void HV_CALL OnNoOpComplete(Mailbox*) {}

void HV_CALL OnDataLinkError(Mailbox* mailbox, ZmxWord) { CompleteFromAdapter(mailbox, kErrMessageNotSent); }
