// The transmit path.
//
// Lock order (library.h): a sender takes its sendLock (250 ms), then
// queueLock; the transmit thread takes queueLock to pick the head and
// AdapterCallLock (without holding queueLock) to send it; completion
// callbacks take queueLock, then the sender's ringLock for an echo. No
// callback takes AdapterCallLock.
//
// Every accepted request ends, and its sender is told: by its completion,
// by a data-link error (159), by a refusal (142), by a completion that does
// not come within CompletionLimit (142), or by a lost or closing connection
// (142). Only a leaving client's own requests are dropped unsent.
#include "rp1210/transmit.h"

#include "rp1210/claim.h"
#include "rp1210/connection.h"
#include "rp1210/receive.h"
#include "rp1210/rp1210_defs.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

constexpr unsigned kSendLockWait = 250;   // ms a sender waits for its sendLock
constexpr unsigned kReleaseWait = 1000;   // ms a blocking sender behind another waits for its turn
constexpr unsigned kBusyPause = 1;        // ms before a load the adapter was too busy for is tried again
constexpr unsigned kWaiterSlice = 100;    // ms between looks of a blocking sender at its own request
constexpr unsigned kCallLockSlice = 100;  // ms between the thread's looks at its stop request
constexpr uint32_t kSingleFrameLimit = 1000;  // ms a frame's completion may take
constexpr uint32_t kPerPacketLimit = 100;     // ms more per transport packet (7 bytes)
constexpr int32_t kAdapterBusy = 10;

std::atomic<uint8_t> g_sequence{0};
std::atomic<uint32_t> g_serial{0};

// The next sequence number, 1..126 and round again; shared by every sender.
uint16_t NextSequence() {
    uint8_t current = g_sequence.load();
    uint8_t next;
    do {
        next = current >= 126 ? 1 : static_cast<uint8_t>(current + 1);
    } while (!g_sequence.compare_exchange_weak(current, next));
    return next;
}

bool IsJ1939(int32_t kind) { return kind == kKindJ1939 || kind == kKindJ1939Ch2; }
bool IsCan(int32_t kind) { return kind == kKindCan || kind == kKindCanCh2; }
bool IsStandardCan(const uint8_t* message) { return message[0] == 0 || message[0] == '0'; }

// Header bytes before the data of a client message.
int HeaderLength(int32_t kind, const uint8_t* message) {
    if (IsJ1939(kind)) return 6;
    if (IsCan(kind)) return IsStandardCan(message) ? 3 : 5;
    if (kind == kKindJ1850) return 6;
    return 3;  // J1708, PLC: priority, MID, the first data byte
}

int SizeLimit(int32_t kind, const uint8_t* message) {
    if (IsJ1939(kind)) return 1791;
    if (IsCan(kind)) return IsStandardCan(message) ? 11 : 13;
    if (kind == kKindJ1850) return 514;
    return 508;
}

// The frame identifier of a J1939 client message.
uint32_t J1939Identifier(const uint8_t* m) {
    uint32_t id = static_cast<uint32_t>(m[3]) << 26 | static_cast<uint32_t>(m[2]) << 24 |
                  static_cast<uint32_t>(m[1]) << 16 | static_cast<uint32_t>(m[0]) << 8 | m[4];
    if (m[1] < 0xF0) id |= static_cast<uint32_t>(m[5]) << 8;
    return id;
}

// How long the adapter may take to report a request: a frame 1 s, a
// transport message (more than 8 data bytes: BAM at 50 ms a packet, or
// RTS/CTS with its windows) 100 ms more per 7-byte packet.
uint32_t CompletionLimit(const TransmitRequest& r) {
    int data = r.length - HeaderLength(r.connection->protocolKind, r.message);
    uint32_t packets = data > 8 ? static_cast<uint32_t>((data + 6) / 7) : 0;
    return kSingleFrameLimit + packets * kPerPacketLimit;
}

// ---- The queue under queueLock ------------------------------------------------------

// The first request that is not done: the one on the wire, or next.
TransmitRequest* Head_locked(DeviceConnection* c) {
    TransmitRequest* r = c->transmitQueue;
    while (r != nullptr && r->done) r = r->next;
    return r;
}

// Frees done requests from the head; never the one the thread is sending.
void Purge_locked(DeviceConnection* c) {
    while (TransmitRequest* r = c->transmitQueue) {
        if (!r->done || r == c->sending) break;
        c->transmitQueue = r->next;
        if (c->transmitQueue == nullptr) c->transmitTail = nullptr;
        OsFree(r);
    }
}

// A request leaves its client's queue bound.
void Uncount_locked(TransmitRequest* r) {
    if (!r->counted || r->client == nullptr) return;
    r->client->txQueued -= 1;
    r->client->txQueuedBytes -= r->length;
    r->counted = 0;
}

// A request that ends without a status to tell (its sender is gone, or it
// needs none).
void Drop_locked(TransmitRequest* r) {
    Uncount_locked(r);
    r->done = 1;
}

// Ends a request with `status`: its completion (the sender's status, window
// message, echo, waiter), its event. Once only.
void Finish_locked(TransmitRequest* r, int32_t status, uint32_t timestamp) {
    if (r->done) return;
    r->timestamp = timestamp;
    r->status = status;
    if (r->completion != nullptr) r->completion(r->client, r);
    Uncount_locked(r);
    r->done = 1;
    if (r->event != nullptr) OsSetEvent(r->event);
}

// Ends the head with `status` and lets the next one go. Returns whether
// another request waits (the caller wakes the thread).
bool Complete_locked(TransmitRequest* head, int32_t status, uint32_t timestamp) {
    Finish_locked(head, status, timestamp);
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
    OsLockMutex(c->queueLock, kOsWaitForever);
    TransmitRequest* head = Head_locked(c);
    if (head != nullptr && head->inProgress) {
        another = Complete_locked(head, status, status == 0 ? uint32_t{mailbox->transmitTime} : 0);
    }
    OsUnlockMutex(c->queueLock);
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
    if (r->notify && client->window != nullptr) {
        OsPostMessage(client->window, client->statusMessageId, kErrTxMessageStatus,
                      static_cast<intptr_t>(r->sequence + r->status));
    }
    if (r->echo && r->status == kRp1210Ok) {
        // Timestamp, 1, then the message (J1708 and PLC without the priority byte).
        uint8_t echo[kMessageRoom + 5];
        PutTimestamp(r->connection, r->timestamp, echo);
        echo[4] = 1;
        bool j1708 = r->connection->protocolKind == kKindJ1708;
        const uint8_t* body = j1708 ? r->message + 1 : r->message;
        int bodyLength = j1708 ? r->length - 1 : r->length;
        std::memcpy(echo + 5, body, static_cast<size_t>(bodyLength));
        AppendToClient(client, r->connection, echo, bodyLength + 5);
    }
    OsSetEvent(client->txDone);
}

void ClientRelease(ClientRecord* client, TransmitRequest*) {
    if (client != nullptr) OsSetEvent(client->txRelease);
}

// ---- Sending the head ------------------------------------------------------------

enum class Sent { kOnTheWire, kDoneNow, kBusy, kRefused };

// Writes a persistent transmit mailbox and updates it; the flags byte says
// what changed.
Sent UpdatePersistent(DeviceConnection* c, Mailbox* mailbox, uint32_t identifier, bool alwaysIdentifier,
                      const uint8_t* data, int length, const uint8_t* j1708Header) {
    if (mailbox == nullptr) return Sent::kRefused;
    uint8_t flags = 0x41;
    mailbox->owner = c;
    mailbox->data = const_cast<uint8_t*>(data);
    if (mailbox->dataLength != length) {
        flags = 0x61;
        mailbox->dataLength = static_cast<uint16_t>(length);
    }
    if (j1708Header != nullptr) {
        if (std::memcmp(mailbox->j1708Header, j1708Header, 3) != 0) {
            std::memcpy(mailbox->j1708Header, j1708Header, 3);
            flags |= 0x02;
        }
    } else if (alwaysIdentifier || mailbox->identifier != identifier) {
        mailbox->identifier = identifier;
        flags |= 0x02;
    }
    mailbox->transmitPending = 1;
    int32_t result = c->mux.entries.UpdateTransmitMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(mailbox), flags);
    return result == 0 ? Sent::kOnTheWire : Sent::kRefused;
}

// Loads a one-shot transmit mailbox that sends the request.
Sent LoadOneShot(DeviceConnection* c, MailboxSetup& setup, bool quiet) {
    setup.direction = 1;
    setup.oneShot = 1;
    setup.noTimestamp = 1;
    setup.fullMask = 1;
    setup.oneShotWord = 1;
    setup.owner = c;
    // Nothing to report: the request is done when the adapter has it.
    setup.callback = quiet ? OnNoOpComplete : OnTransmitComplete;
    int32_t result = c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup));
    if (result == 0) return quiet ? Sent::kDoneNow : Sent::kOnTheWire;
    bool retriable = c->protocolKind != kKindJ1708;
    return result == kAdapterBusy && retriable ? Sent::kBusy : Sent::kRefused;
}

Sent SendHead_locked(DeviceConnection* c, TransmitRequest* r);

// Sends the request: AdapterCallLock without a time limit, but a stop
// request is looked at between tries; an adapter a re-open could not open
// again refuses it.
Sent SendHead(DeviceConnection* c, TransmitRequest* r) {
    for (;;) {
        AdapterCallGuard guard(kCallLockSlice);
        if (guard.held()) return c->adapterOpen.load() ? SendHead_locked(c, r) : Sent::kRefused;
        if (c->threadState.load() == kThreadStopAsked) return Sent::kRefused;
    }
}

// Sends the request through the adapter's mailboxes; AdapterCallLock held.
Sent SendHead_locked(DeviceConnection* c, TransmitRequest* r) {
    const uint8_t* m = r->message;
    int32_t kind = c->protocolKind;
    int header = HeaderLength(kind, m);
    const uint8_t* data = m + header;
    int length = r->length - header;
    bool quiet = !r->echo && !r->block && !r->notify;
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = c->config.dataLinkSetup[0];
    setup.dataLength = static_cast<uint16_t>(length);
    setup.data = const_cast<uint8_t*>(data);
    if (IsJ1939(kind)) {
        uint32_t id = J1939Identifier(m);
        if (length <= 8 && c->adapterType < 5) {
            Mailbox* mailbox = r->claimFrame ? c->txMailboxClaim : c->txMailboxMain;
            return UpdatePersistent(c, mailbox, id, false, data, length, nullptr);
        }
        setup.identifierWidth = 29;
        setup.identifier = id;
        setup.destination = m[5];
        if (length <= 8) {
            setup.frameKind = kFrameSingle;
            return LoadOneShot(c, setup, quiet);
        }
        setup.frameKind = (m[3] & 0x80) ? kFrameBroadcastTransport : kFrameConnectionTransport;
        setup.sizeLimitOn = 1;
        setup.sizeLimit = 1785;
        return LoadOneShot(c, setup, false);
    }
    if (IsCan(kind)) {
        bool standard = IsStandardCan(m);
        uint32_t id = standard ? (static_cast<uint32_t>(m[1]) << 8 | m[2])
                               : (static_cast<uint32_t>(m[1]) << 24 | static_cast<uint32_t>(m[2]) << 16 |
                                  static_cast<uint32_t>(m[3]) << 8 | m[4]);
        if (c->adapterType < 5) {
            return standard ? UpdatePersistent(c, c->txMailboxStandard, id, true, data, length, nullptr)
                            : UpdatePersistent(c, c->txMailboxMain, id, false, data, length, nullptr);
        }
        setup.identifierWidth = standard ? 11 : 29;
        setup.frameKind = kFrameSingle;
        setup.identifier = id;
        return LoadOneShot(c, setup, quiet);
    }
    if (kind == kKindJ1850) {
        uint32_t id = static_cast<uint32_t>(m[3]) << 16 | static_cast<uint32_t>(m[4]) << 8 | m[5];
        // A persistent J1850 mailbox is written as the one-shot layout
        // would be: the three header bytes as a 24-bit identifier.
        if (c->adapterType < 5) return UpdatePersistent(c, c->txMailboxMain, id, false, data, length, nullptr);
        setup.identifierWidth = 24;
        setup.frameKind = kFrameSingle;
        setup.sizeLimitOn = 1;
        setup.identifier = id;
        return LoadOneShot(c, setup, quiet);
    }
    // J1708 and PLC: priority, MID and the first data byte go in the header.
    if (c->adapterType < 5) return UpdatePersistent(c, c->txMailboxMain, 0, false, data, length, m);
    std::memcpy(setup.j1708Header, m, 3);
    setup.sizeLimitOn = length > 19 ? 1 : 0;
    setup.sizeLimit = 3830;
    return LoadOneShot(c, setup, false);
}

// Ends the request on the wire when its completion is overdue (142). The
// time until it is due, or kOsWaitForever when nothing is on the wire.
unsigned EndOverdue(DeviceConnection* c) {
    unsigned wait = kOsWaitForever;
    bool another = false;
    OsLockMutex(c->queueLock, kOsWaitForever);
    TransmitRequest* head = Head_locked(c);
    if (head != nullptr && head->inProgress && head != c->sending) {
        uint32_t elapsed = OsTickCount() - head->sentAt;
        uint32_t limit = CompletionLimit(*head);
        if (elapsed >= limit) {
            another = Complete_locked(head, kErrHardwareNotResponding, 0);
        } else {
            wait = limit - elapsed;
        }
    }
    OsUnlockMutex(c->queueLock);
    if (another) OsSetEvent(c->wakeEvent);
    return wait;
}

// Sends heads until one is on the wire, the queue is empty or a stop is asked.
void SendWaiting(DeviceConnection* c) {
    for (;;) {
        OsLockMutex(c->queueLock, kOsWaitForever);
        Purge_locked(c);
        TransmitRequest* head = Head_locked(c);
        if (head == nullptr || head->inProgress) {
            OsUnlockMutex(c->queueLock);
            return;
        }
        head->inProgress = 1;
        head->sentAt = OsTickCount();
        c->sending = head;  // stays allocated while the thread uses it
        OsUnlockMutex(c->queueLock);

        Sent sent = SendHead(c, head);
        bool another = false;
        bool onTheWire = false;
        OsLockMutex(c->queueLock, kOsWaitForever);
        c->sending = nullptr;
        if (head->done) {
            // Ended meanwhile (a lost connection fails what is queued).
            another = Head_locked(c) != nullptr;
        } else if (sent == Sent::kOnTheWire) {
            head->sentAt = OsTickCount();  // its completion is due from now
            onTheWire = true;
        } else if (sent == Sent::kBusy) {
            head->inProgress = 0;
            another = true;
        } else if (sent == Sent::kDoneNow) {
            Drop_locked(head);  // nothing to tell anyone
            another = Head_locked(c) != nullptr;
        } else {
            another = Complete_locked(head, kErrHardwareNotResponding, 0);
        }
        OsUnlockMutex(c->queueLock);
        if (onTheWire) return;  // its completion wakes the thread for the next
        if (sent == Sent::kBusy) OsSleep(kBusyPause);
        if (!another || c->threadState.load() == kThreadStopAsked) return;
    }
}

}  // namespace

// ---- The queue ---------------------------------------------------------------------

TransmitRequest* NewRequest(int length) {
    size_t room = length < 0 ? 0 : length > kMessageRoom ? kMessageRoom : static_cast<size_t>(length);
    TransmitRequest* r = static_cast<TransmitRequest*>(OsAllocate(offsetof(TransmitRequest, message) + room));
    if (r != nullptr) r->serial = g_serial.fetch_add(1) + 1;
    return r;
}

int16_t QueueRequest(DeviceConnection* c, TransmitRequest* request) {
    request->connection = c;
    request->inProgress = 0;
    request->done = 0;
    request->next = nullptr;
    OsLockMutex(c->queueLock, kOsWaitForever);
    Purge_locked(c);
    ClientRecord* owner = request->client;
    if (request->completion == ClientCompletion && owner != nullptr) {
        // A client's send counts against its queue bound.
        if (owner->txQueued >= kMaxQueuedRequests || owner->txQueuedBytes + request->length > owner->txBudget) {
            OsUnlockMutex(c->queueLock);
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
    TransmitRequest* head = Head_locked(c);
    bool behind = head != request && head->inProgress;
    OsUnlockMutex(c->queueLock);
    if (behind) return kQueuedBehind;
    OsSetEvent(c->wakeEvent);
    return kRp1210Ok;
}

void PurgeQueue(DeviceConnection* c) {
    OsLockMutex(c->queueLock, kOsWaitForever);
    Purge_locked(c);
    OsUnlockMutex(c->queueLock);
}

void RemoveRequest(DeviceConnection* c, uint32_t serial) {
    bool wake = false;
    OsLockMutex(c->queueLock, kOsWaitForever);
    TransmitRequest* previous = nullptr;
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; previous = r, r = r->next) {
        if (r->serial != serial) continue;
        if (r->done) break;
        if (r->inProgress || r == c->sending) {
            // On the wire: it finishes, but its sender no longer waits for it.
            Uncount_locked(r);
            r->client = nullptr;
            r->event = nullptr;
            r->waiter = nullptr;
        } else {
            Uncount_locked(r);
            (previous != nullptr ? previous->next : c->transmitQueue) = r->next;
            if (c->transmitTail == r) c->transmitTail = previous;
            OsFree(r);
        }
        break;
    }
    TransmitRequest* head = Head_locked(c);
    if (head != nullptr && !head->inProgress) {
        if (head->release != nullptr) head->release(head->client, head);
        wake = true;
    }
    OsUnlockMutex(c->queueLock);
    if (wake) OsSetEvent(c->wakeEvent);
}

void DetachClientRequests(DeviceConnection* c, ClientRecord* client) {
    OsLockMutex(c->queueLock, kOsWaitForever);
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; r = r->next) {
        if (r->client != client || r->done) continue;
        Uncount_locked(r);
        r->client = nullptr;
        r->event = nullptr;
        r->waiter = nullptr;
        if (!r->inProgress && r != c->sending) r->done = 1;  // not sent yet: dropped
    }
    Purge_locked(c);
    OsUnlockMutex(c->queueLock);
}

void FailPendingRequests(DeviceConnection* c) {
    if (c->queueLock == nullptr) return;
    OsLockMutex(c->queueLock, kOsWaitForever);
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; r = r->next) {
        if (r->done) continue;
        if (r->claim != nullptr) {
            SignalClaimFrame(r->claim);  // its claim ends with the wait
            r->claim = nullptr;
        }
        Finish_locked(r, kErrHardwareNotResponding, 0);
    }
    Purge_locked(c);
    OsUnlockMutex(c->queueLock);
}

// ---- Sending ---------------------------------------------------------------------

int16_t CheckClientMessage(ClientRecord* client, const uint8_t* message, int size) {
    int32_t kind = KindOf(client->plan);
    if (size < 0) return kErrMessageTooLong;
    if (message == nullptr || size < 1) return kErrMessageFormatNotSupported;
    if (size > SizeLimit(kind, message)) return kErrMessageTooLong;
    if (size < HeaderLength(kind, message)) return kErrMessageFormatNotSupported;
    if (kind == kKindJ1850 && message[0] != 3) return kErrMessageFormatNotSupported;
    if (!client->protectOn.load()) {
        // Messages that need the transport protocol need a claimed address.
        if (kind == kKindJ1939 && size >= 15) return kErrAddressNeverClaimed;
        return kRp1210Ok;
    }
    return client->addressHeld.load() ? kRp1210Ok : kErrAddressLost;
}

namespace {

// The checks under the client's sendLock: a client whose address was lost
// lets its entry go (the claim state changes only under sendLock).
int16_t Check_sendLocked(ClientRecord* c, const uint8_t* message, int size) {
    int16_t checked = CheckClientMessage(c, message, size);
    if (checked == kErrAddressLost) ReleaseClientEntry(c);
    return checked;
}

bool WaiterDone(DeviceConnection* c, const SendWaiter* waiter) {
    OsLockMutex(c->queueLock, kOsWaitForever);
    bool done = waiter->done;
    OsUnlockMutex(c->queueLock);
    return done;
}

// Takes a blocking sender's waiter back from its request (not done yet).
void Unwait(DeviceConnection* c, SendWaiter* waiter) {
    OsLockMutex(c->queueLock, kOsWaitForever);
    for (TransmitRequest* r = c->transmitQueue; r != nullptr; r = r->next) {
        if (r->waiter == waiter) r->waiter = nullptr;
    }
    OsUnlockMutex(c->queueLock);
}

// Waits for the blocking sender's own request to end: its status, or 148
// when the client is disconnected first.
int16_t AwaitOwnRequest(ClientRecord* c, DeviceConnection* connection, SendWaiter* waiter) {
    for (;;) {
        if (WaiterDone(connection, waiter)) return static_cast<int16_t>(waiter->status);
        if (c->closing.load()) {
            Unwait(connection, waiter);
            return waiter->done ? static_cast<int16_t>(waiter->status) : kErrClientDisconnected;
        }
        // Every completion of the client sets txDone; the slices cover a
        // second sender of the same client that took the wake-up.
        OsWaitEvent(c->txDone, kWaiterSlice);
    }
}

}  // namespace

int16_t SendClientMessage(ClientRecord* c, const uint8_t* message, int16_t size, bool notify, bool block) {
    if (c->linkLost.load()) return kErrHardwareNotResponding;
    if (notify && c->window == nullptr) return kErrWindowHandleRequired;
    if (notify && block) return kErrBlockNotAllowed;
    int16_t checked = CheckClientMessage(c, message, size);
    if (checked != kRp1210Ok && checked != kErrAddressLost) return checked;

    // The link monitor holds sendLock while it opens the connection again.
    if (!OsLockMutex(c->sendLock, kSendLockWait)) return kErrHardwareNotResponding;
    checked = Check_sendLocked(c, message, size);
    if (checked != kRp1210Ok) {
        OsUnlockMutex(c->sendLock);
        return checked;
    }
    TransmitRequest* r = NewRequest(size);
    if (r == nullptr) {
        OsUnlockMutex(c->sendLock);
        return kErrNotEnoughMemory;
    }
    uint16_t sequence = NextSequence();
    SendWaiter waiter{false, 0};
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
    r->waiter = block ? &waiter : nullptr;
    uint32_t serial = r->serial;

    OsResetEvent(c->txRelease);
    DeviceConnection* connection = PinClientConnection(c);
    if (connection == nullptr) {
        OsUnlockMutex(c->sendLock);
        OsFree(r);
        return kErrHardwareNotResponding;
    }
    int16_t queued = QueueRequest(connection, r);
    OsUnlockMutex(c->sendLock);

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
            if (again == kErrAddressLost && OsLockMutex(c->sendLock, kSendLockWait)) {
                again = Check_sendLocked(c, message, size);
                OsUnlockMutex(c->sendLock);
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
        // Woken by its completion (every request ends: see the top), or by a
        // disconnect.
        int16_t status = AwaitOwnRequest(c, connection, &waiter);
        UnpinConnection(connection);
        return status;
    }
    UnpinConnection(connection);
    if (c->closing.load()) return kErrClientDisconnected;
    return notify ? static_cast<int16_t>(sequence) : kRp1210Ok;
}

// ---- The thread and the callbacks ------------------------------------------------------

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

void HV_CALL OnTransmitComplete(Mailbox* mailbox) { CompleteFromAdapter(mailbox, kRp1210Ok); }

void HV_CALL OnNoOpComplete(Mailbox*) {}

void HV_CALL OnClaimComplete(Mailbox* mailbox) { ClaimFrameComplete(mailbox); }

void HV_CALL OnDataLinkError(Mailbox* mailbox, ZmxWord) { CompleteFromAdapter(mailbox, kErrMessageNotSent); }
