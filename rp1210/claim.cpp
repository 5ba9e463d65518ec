// J1939 address protection.
//
// Lock order (library.h): the claim list lock, then a context's lock, then
// queueLock (claim frames go through the transmit queue) and AdapterCallLock
// (claim mailboxes). The bookkeeping runs on the adapter's thread and takes
// the list lock and the context lock only; its frames are queued for the
// transmit thread, so it never calls into the multiplexer. The claim's
// waits (550 ms for the frame, 250 ms for a competitor) hold no lock.
//
// A client's own claim state (its context and entry) changes under its
// sendLock: command 19, a re-open and the teardown.
#include "rp1210/claim.h"

#include "rp1210/commands.h"
#include "rp1210/connection.h"
#include "rp1210/receive.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

#include <cstring>
#include <mutex>

struct ClaimEntry {
    ClaimEntry* next;
    int16_t active;  // 1 = held
    ClientRecord* owner;
    uint8_t address;
    uint8_t name[8];  // in the byte order the client gave
};

struct ClaimContext {
    ClaimContext* next;
    int16_t users;
    DeviceConnection* connection;
    ClaimEntry* entries;  // newest first
    uint16_t flags;       // bit 0: a claim is in progress
    ClientRecord* pendingOwner;
    uint8_t pendingAddress;
    uint8_t pendingName[8];
    OsMutex* lock;        // guards the entries and the pending claim
    OsMutex* turn;        // held by the one claim in progress: claims take turns
    OsEvent* contention;  // another node claimed the pending address
    OsEvent* claimSent;   // the claim frame reached the head of the queue or left the adapter
};

namespace {

constexpr unsigned kClaimSentWait = 550;
constexpr unsigned kContentionWait = 250;
constexpr unsigned kSendLockWait = 1000;
constexpr unsigned kTurnWait = 2000;  // ms a claim waits for another one's 550 + 250 ms
constexpr uint16_t kClaimInProgress = 0x01;
constexpr uint8_t kGlobal = 0xFF;
constexpr uint8_t kNullAddress = 0xFE;

std::mutex g_listLock;  // the context list and the users of each context
ClaimContext* g_contexts = nullptr;

bool IsJ1939Channel1(const DeviceConnection* c) { return c->protocolKind == kKindJ1939; }

ClaimContext* Find_locked(const DeviceConnection* connection) {
    for (ClaimContext* x = g_contexts; x != nullptr; x = x->next) {
        if (x->connection == connection) return x;
    }
    return nullptr;
}

void SignalClaimSent(ClientRecord*, TransmitRequest* r) {
    if (r->claim != nullptr) SignalClaimFrame(r->claim);
}

// Queues the Address Claimed frame of `address` and `name` to `destination`
// on the connection; `sent` is told when it goes. 0, kQueuedBehind or 133.
int16_t QueueClaimFrame(DeviceConnection* c, ClientRecord* owner, uint8_t address, const uint8_t name[8],
                        uint8_t destination, ClaimContext* sent, uint32_t* serial = nullptr) {
    TransmitRequest* r = NewRequest(14);
    if (r == nullptr) return kErrNotEnoughMemory;
    const uint8_t header[6] = {0x00, 0xEE, 0x00, 0x06, address, destination};
    std::memcpy(r->message, header, 6);
    std::memcpy(r->message + 6, name, 8);
    r->length = 14;
    r->client = owner;
    r->claimFrame = 1;
    r->claim = sent;
    if (sent != nullptr) {
        // Someone waits for it: its completion must be reported.
        r->block = 1;
        r->completion = SignalClaimSent;
        r->release = SignalClaimSent;
    }
    if (serial != nullptr) *serial = r->serial;
    return QueueRequest(c, r);
}

// A client loses its address to another node or client: its sends learn it,
// its window is told.
void LoseAddress(ClientRecord* owner, uint8_t address) {
    owner->addressHeld.store(false);
    owner->lastTxStatus.store(kErrAddressLost);
    OsSetEvent(owner->txRelease);
    OsSetEvent(owner->txDone);
    if (owner->window != nullptr) OsPostMessage(owner->window, owner->statusMessageId, kErrAddressLost, address);
}

// The client holds `address` with `name` through `entry` from now on. Under
// the context's lock, so that a loss the bookkeeping reports (under the same
// lock) can never come before it and be overwritten.
void Commit_locked(ClientRecord* owner, ClaimEntry* entry, uint8_t address, const uint8_t name[8]) {
    owner->claimAddress = address;
    std::memcpy(owner->claimName, name, 8);
    owner->claimEntry.store(entry);
    owner->protectOn.store(true);
    owner->addressHeld.store(true);
}

// ---- Claim mailboxes (J1939 channel 1): transport messages to the address.

int32_t LoadClaimMailbox(DeviceConnection* c, uint8_t frameKind, uint8_t address, uint16_t sizeLimit, Mailbox** out) {
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = c->config.dataLinkSetup[0];
    setup.frameKind = frameKind;
    setup.identifierWidth = 29;
    setup.destination = address;
    setup.receive = 1;
    setup.noTimestamp = static_cast<uint8_t>(c->noTimestamp);
    setup.sizeLimitOn = 1;
    setup.sizeLimit = sizeLimit;
    setup.callback = OnFrameReceived;
    setup.owner = c;
    setup.dataLength = 1785;
    setup.data = c->receiveBuffer;
    int32_t result = c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup));
    *out = setup.mailbox;
    return result == 0 && setup.mailbox == nullptr ? kErrHardwareNotResponding : result;
}

int32_t LoadClaimMailboxes_locked(DeviceConnection* c, uint8_t address) {
    if (c->largeBuffers && c->broadcastMailbox == nullptr) {
        Mailbox* broadcast = nullptr;
        int32_t result = LoadClaimMailbox(c, kFrameBroadcastTransport, address, 4086, &broadcast);
        if (result != 0) return result;
        c->broadcastMailbox = broadcast;
    }
    MailboxNode* node = static_cast<MailboxNode*>(OsAllocate(sizeof(MailboxNode)));
    if (node == nullptr) return kErrNotEnoughMemory;
    int32_t result = LoadClaimMailbox(c, c->largeBuffers ? kFrameConnectionTransport : kFrameConnectionSmall, address,
                                      0, &node->mailbox);
    if (result != 0) {
        OsFree(node);
        return result;
    }
    node->linkCode = c->config.dataLinkSetup[0];
    node->width = 29;
    node->destination = address;
    node->next = c->claimMailboxes;
    c->claimMailboxes = node;
    return 0;
}

// 0, 133 or 142.
int16_t AddClaimMailboxes(DeviceConnection* c, uint8_t address) {
    if (!IsJ1939Channel1(c)) return kRp1210Ok;
    int32_t result;
    {
        AdapterCallGuard guard(kAdapterCallWait);
        if (!guard.held()) return kErrHardwareNotResponding;
        result = LoadClaimMailboxes_locked(c, address);
    }
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    if (result == 0) return kRp1210Ok;
    // The adapter may be out of mailboxes: open the receive paths and try once more.
    OpenAllReceivePaths(c);
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    result = LoadClaimMailboxes_locked(c, address);
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    return result == 0 ? kRp1210Ok : kErrHardwareNotResponding;
}

void RemoveClaimMailboxes(DeviceConnection* c, uint8_t address) {
    if (!IsJ1939Channel1(c)) return;
    AdapterCallGuard guard(kReleaseCallWait);
    if (!guard.held()) return;
    for (MailboxNode** link = &c->claimMailboxes; *link != nullptr; link = &(*link)->next) {
        MailboxNode* node = *link;
        if (node->destination != address) continue;
        *link = node->next;
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(node->mailbox));
        OsFree(node);
        break;
    }
    if (c->claimMailboxes == nullptr && c->broadcastMailbox != nullptr) {
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(c->broadcastMailbox));
        c->broadcastMailbox = nullptr;
    }
}

// Frees an entry that is out of its context's list (its claim mailbox with it).
void FreeEntry(ClaimContext* x, ClaimEntry* entry) {
    if (!x->connection->config.appPacketizing) RemoveClaimMailboxes(x->connection, entry->address);
    OsFree(entry);
}

// ---- Contexts ---------------------------------------------------------------

// The connection's context with one more user, made when it has none:
// 0, 133, or 142 when its filter mailboxes cannot be loaded.
int16_t AcquireContext(DeviceConnection* c, ClaimContext** out) {
    {
        std::lock_guard<std::mutex> list(g_listLock);
        if (ClaimContext* x = Find_locked(c)) {
            ++x->users;
            *out = x;
            return kRp1210Ok;
        }
    }
    ClaimContext* x = static_cast<ClaimContext*>(OsAllocate(sizeof(ClaimContext)));
    if (x == nullptr) return kErrNotEnoughMemory;
    x->lock = OsCreateMutex();
    x->turn = x->lock ? OsCreateMutex() : nullptr;
    x->contention = x->turn ? OsCreateEvent() : nullptr;
    x->claimSent = x->contention ? OsCreateEvent() : nullptr;
    int16_t result = x->claimSent != nullptr ? kRp1210Ok : kErrNotEnoughMemory;
    // Requests for address claims and Address Claimed frames reach the bookkeeping.
    FilterEntry request = {nullptr, {0x01, 0x00, 0xEA, 0x00, 0, 0, 0}, 7};
    FilterEntry claimed = {nullptr, {0x01, 0x00, 0xEE, 0x00, 0, 0, 0}, 7};
    if (result == kRp1210Ok) result = AddFilterMailbox(c, request);
    if (result == kRp1210Ok) result = AddFilterMailbox(c, claimed);
    if (result != kRp1210Ok) {
        if (x->claimSent) OsDestroyEvent(x->claimSent);
        if (x->contention) OsDestroyEvent(x->contention);
        if (x->turn) OsDestroyMutex(x->turn);
        if (x->lock) OsDestroyMutex(x->lock);
        OsFree(x);
        return result == kErrNotEnoughMemory ? kErrNotEnoughMemory : kErrHardwareNotResponding;
    }
    x->connection = c;
    x->users = 1;
    std::lock_guard<std::mutex> list(g_listLock);
    if (ClaimContext* other = Find_locked(c)) {
        // Another client of the connection made one meanwhile: share it.
        ++other->users;
        OsDestroyEvent(x->claimSent);
        OsDestroyEvent(x->contention);
        OsDestroyMutex(x->turn);
        OsDestroyMutex(x->lock);
        OsFree(x);
        *out = other;
        return kRp1210Ok;
    }
    x->next = g_contexts;
    g_contexts = x;
    *out = x;
    return kRp1210Ok;
}

void DropContext(ClaimContext* x) {
    {
        std::lock_guard<std::mutex> list(g_listLock);
        if (--x->users > 0) return;
        for (ClaimContext** link = &g_contexts; *link != nullptr; link = &(*link)->next) {
            if (*link == x) {
                *link = x->next;
                break;
            }
        }
    }
    // Out of the list: the bookkeeping no longer finds it. Frames still
    // queued forget it before its events go.
    OsLockMutex(x->connection->queueLock, kOsWaitForever);
    for (TransmitRequest* r = x->connection->transmitQueue; r != nullptr; r = r->next) {
        if (r->claim == x) r->claim = nullptr;
    }
    OsUnlockMutex(x->connection->queueLock);
    while (ClaimEntry* entry = x->entries) {
        x->entries = entry->next;
        FreeEntry(x, entry);
    }
    OsSetEvent(x->contention);
    OsSetEvent(x->claimSent);
    OsDestroyEvent(x->contention);
    OsDestroyEvent(x->claimSent);
    OsDestroyMutex(x->turn);
    OsDestroyMutex(x->lock);
    OsFree(x);
}

// ---- The claim ----------------------------------------------------------------

// Claims `address` with `name` for the client on its context, in its turn
// (the pending claim is one per context). 0 with the entry, or 144, 146,
// 152, 142, 133.
int16_t ClaimInTurn(ClientRecord* owner, ClaimContext* x, const uint8_t* data, int16_t size, ClaimEntry** claimed);

int16_t Claim(ClientRecord* owner, ClaimContext* x, const uint8_t* data, int16_t size, ClaimEntry** claimed) {
    if (!OsLockMutex(x->turn, kTurnWait)) return kErrHardwareNotResponding;
    int16_t result = ClaimInTurn(owner, x, data, size, claimed);
    OsUnlockMutex(x->turn);
    return result;
}

int16_t ClaimInTurn(ClientRecord* owner, ClaimContext* x, const uint8_t* data, int16_t size, ClaimEntry** claimed) {
    DeviceConnection* c = x->connection;
    bool packetizing = c->config.appPacketizing != 0;
    // Entries lost to other nodes go (their mailboxes are unloaded outside
    // the lock: an unload waits for the adapter's callbacks, which take it).
    ClaimEntry* inactive = nullptr;
    OsLockMutex(x->lock, kOsWaitForever);
    for (ClaimEntry** link = &x->entries; *link != nullptr;) {
        ClaimEntry* entry = *link;
        if (entry->active) {
            link = &entry->next;
            continue;
        }
        *link = entry->next;
        entry->next = inactive;
        inactive = entry;
    }
    OsUnlockMutex(x->lock);
    while (inactive != nullptr) {
        ClaimEntry* next = inactive->next;
        FreeEntry(x, inactive);
        inactive = next;
    }
    if (size != 10) return kErrInvalidCommand;
    uint8_t address = data[0];
    const uint8_t* name = data + 1;
    bool waitForFrame = data[9] == 0;

    OsLockMutex(x->lock, kOsWaitForever);
    for (ClaimEntry* entry = x->entries; entry != nullptr; entry = entry->next) {
        if (!entry->active || entry->address != address) continue;
        // Another client of this connection holds it: the lower NAME keeps it.
        if (!NameWins(name, entry->name)) {
            OsUnlockMutex(x->lock);
            return kErrAddressClaimFailed;
        }
        ClientRecord* holder = entry->owner;
        if (holder != owner) LoseAddress(holder, address);
        entry->owner = owner;
        std::memcpy(entry->name, name, 8);
        Commit_locked(owner, entry, address, name);
        OsUnlockMutex(x->lock);
        *claimed = entry;
        return kRp1210Ok;
    }
    x->pendingOwner = owner;
    x->pendingAddress = address;
    std::memcpy(x->pendingName, name, 8);
    OsResetEvent(x->contention);
    OsResetEvent(x->claimSent);
    x->flags |= kClaimInProgress;
    OsUnlockMutex(x->lock);

    auto endClaim = [x] {
        OsLockMutex(x->lock, kOsWaitForever);
        x->flags &= static_cast<uint16_t>(~kClaimInProgress);
        x->pendingOwner = nullptr;
        OsUnlockMutex(x->lock);
    };
    uint32_t serial = 0;
    int16_t queued = QueueClaimFrame(c, owner, address, name, kGlobal, x, &serial);
    if (queued != kRp1210Ok && queued != kQueuedBehind) {
        endClaim();
        return kErrCouldNotTxAddressClaimed;
    }
    if (waitForFrame && !OsWaitEvent(x->claimSent, kClaimSentWait)) {
        RemoveRequest(c, serial);
        PurgeQueue(c);
        endClaim();
        return kErrHardwareNotResponding;
    }
    if (OsWaitEvent(x->contention, kContentionWait)) {
        endClaim();  // another node claimed the address meanwhile
        return kErrAddressClaimFailed;
    }
    endClaim();

    ClaimEntry* entry = static_cast<ClaimEntry*>(OsAllocate(sizeof(ClaimEntry)));
    if (entry == nullptr) return kErrNotEnoughMemory;
    entry->active = 1;
    entry->owner = owner;
    entry->address = address;
    std::memcpy(entry->name, name, 8);
    if (!packetizing) {
        int16_t loaded = AddClaimMailboxes(c, address);
        if (loaded != kRp1210Ok) {
            OsFree(entry);
            return loaded;
        }
    }
    OsLockMutex(x->lock, kOsWaitForever);
    entry->next = x->entries;
    x->entries = entry;
    Commit_locked(owner, entry, address, name);
    OsUnlockMutex(x->lock);
    *claimed = entry;
    return kRp1210Ok;
}

// Command 19 on a client whose sendLock is held.
int16_t Protect_locked(ClientRecord* client, const uint8_t* data, int16_t size) {
    if (data[0] == 0xFF) {
        ReleaseClientClaim(client);
        return kRp1210Ok;
    }
    ClaimContext* x = client->claimContext.load();
    if (x == nullptr) {
        DeviceConnection* connection = PinClientConnection(client);
        if (connection == nullptr) return kErrHardwareNotResponding;
        int16_t result = AcquireContext(connection, &x);
        UnpinConnection(connection);
        if (result != kRp1210Ok) return result;
        client->claimContext.store(x);
    } else if (client->addressHeld.load()) {
        ReleaseClientEntry(client);
    }
    ClaimEntry* entry = nullptr;
    int16_t result = Claim(client, x, data, size, &entry);
    if (result != kRp1210Ok) {
        client->claimEntry.store(nullptr);
        client->claimContext.store(nullptr);
        client->protectOn.store(false);
        client->addressHeld.store(false);
        DropContext(x);
        return result;
    }
    return kRp1210Ok;  // the claim committed the client's state
}

}  // namespace

void SignalClaimFrame(ClaimContext* context) { OsSetEvent(context->claimSent); }

bool NameWins(const uint8_t challenger[8], const uint8_t holder[8]) {
    uint64_t a = 0, b = 0;
    for (int i = 7; i >= 0; --i) {
        a = a << 8 | challenger[i];
        b = b << 8 | holder[i];
    }
    return a < b;
}

int16_t ProtectAddress(ClientRecord* client, const uint8_t* data, int16_t size) {
    if (data == nullptr || size < 1) return kErrInvalidCommand;
    // Address Claimed frames belong on J1939 only: a CAN or J1708 link would
    // carry them as malformed frames.
    ProtocolKind kind = KindOf(client->plan);
    if (kind != kKindJ1939 && kind != kKindJ1939Ch2) return kErrInvalidProtocol;
    if (!OsLockMutex(client->sendLock, kSendLockWait)) return kErrHardwareNotResponding;
    client->reclaimPending.store(false);  // the client's own command decides from now on
    int16_t result = Protect_locked(client, data, size);
    OsUnlockMutex(client->sendLock);
    return result;
}

void ReleaseClientEntry(ClientRecord* client) {
    ClaimContext* x = client->claimContext.load();
    if (client->claimEntry.exchange(nullptr) == nullptr || x == nullptr) return;
    ClaimEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> list(g_listLock);
        OsLockMutex(x->lock, kOsWaitForever);
        for (ClaimEntry** link = &x->entries; *link != nullptr; link = &(*link)->next) {
            ClaimEntry* entry = *link;
            if (entry->owner == client && entry->address == client->claimAddress &&
                std::memcmp(entry->name, client->claimName, 8) == 0) {
                *link = entry->next;
                found = entry;
                break;
            }
        }
        OsUnlockMutex(x->lock);
    }
    if (found != nullptr) FreeEntry(x, found);
}

void ReleaseClientClaim(ClientRecord* client) {
    ReleaseClientEntry(client);
    ClaimContext* x = client->claimContext.exchange(nullptr);
    client->protectOn.store(false);
    client->addressHeld.store(false);
    if (x != nullptr) DropContext(x);
}

void ClaimFrameComplete(Mailbox* mailbox) { OnTransmitComplete(mailbox); }

ClaimMemory RememberClaim(ClientRecord* client) {
    ClaimMemory memory{false, 0, {0}};
    if (client->protectOn.load() && client->addressHeld.load() && client->claimEntry.load() != nullptr) {
        memory.held = true;
        memory.address = client->claimAddress;
        std::memcpy(memory.name, client->claimName, 8);
    }
    return memory;
}

int16_t ReclaimAddress(ClientRecord* client) {
    uint8_t data[10];
    data[0] = client->claimAddress;
    std::memcpy(data + 1, client->claimName, 8);
    data[9] = 0;
    return Protect_locked(client, data, 10);
}

void LoseReclaimedAddress(ClientRecord* client) {
    client->protectOn.store(true);  // protected, not held: its sends answer 153
    LoseAddress(client, client->claimAddress);
}

void ClaimBookkeeping(DeviceConnection* connection, const uint8_t* m, int length) {
    if (length < 10) return;
    uint8_t format = m[5];
    if (format != 0xEA && format != 0xEE) return;
    std::lock_guard<std::mutex> list(g_listLock);
    ClaimContext* x = Find_locked(connection);
    if (x == nullptr) return;
    OsLockMutex(x->lock, kOsWaitForever);
    uint8_t source = m[8];
    if (format == 0xEA && length >= 13 && m[11] == 0xEE) {
        // A request for address claim: every protected address answers a
        // global one (in turn, through the queue), the address asked for a
        // directed one.
        uint8_t destination = m[9];
        uint8_t replyTo = source == kNullAddress ? kGlobal : source;
        for (ClaimEntry* entry = x->entries; entry != nullptr; entry = entry->next) {
            if (!entry->active) continue;
            if (destination == kGlobal) {
                QueueClaimFrame(connection, entry->owner, entry->address, entry->name, replyTo, nullptr);
            } else if (entry->address == destination) {
                QueueClaimFrame(connection, entry->owner, entry->address, entry->name, source, nullptr);
                break;
            }
        }
    } else if (format == 0xEE && length >= 18) {
        const uint8_t* name = m + 10;
        if ((x->flags & kClaimInProgress) && source == x->pendingAddress) {
            OsSetEvent(x->contention);
        } else {
            for (ClaimEntry* entry = x->entries; entry != nullptr; entry = entry->next) {
                if (!entry->active || entry->address != source) continue;
                if (NameWins(name, entry->name)) {
                    entry->active = 0;  // the other node keeps the address
                    LoseAddress(entry->owner, entry->address);
                } else {
                    QueueClaimFrame(connection, entry->owner, entry->address, entry->name, entry->address, nullptr);
                }
            }
        }
    }
    OsUnlockMutex(x->lock);
}
