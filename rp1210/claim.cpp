// J1939 address protection (claim.h).
//
// A claim is a state machine run on the caller's thread, one claim of a
// connection at a time (the context's turn), driven by two timed waits:
//
//   kCheck        the address held by another client of the connection?
//                   yes: the lower NAME keeps it          -> kDone (0 or 146)
//                   no: the claim becomes the context's pending claim
//                                                          -> kSendFrame
//   kSendFrame    the Address Claimed frame (to everyone) is queued
//                   not queued                            -> kDone (152)
//                   mode 0 (wait for the frame)           -> kAwaitFrame
//                   else                                  -> kAwaitRivals
//   kAwaitFrame   the frame reaches the head of the queue or is sent
//                   within 550 ms                         -> kAwaitRivals
//                   not: taken back                       -> kDone (142)
//   kAwaitRivals  another node claims the pending address
//                   within 250 ms (the bookkeeping says)  -> kDone (146)
//                   not                                   -> kHold
//   kHold         the entry is made, the address's transport mailboxes
//                 loaded (unless the application packetizes), the client
//                 committed under the context lock         -> kDone (0, or 133/142)
//
// An entry is held (active) until the bookkeeping sees another node win
// the address (inactive: its owner is told 153), and freed at its owner's
// release or at the next claim of the connection.
//
// Locks (library.h): the claim turn, then claimsLock, then a context's
// lock, then queueLock (claim frames go through the transmit queue) and
// AdapterCallLock (mailboxes). The bookkeeping runs on the adapter's
// thread and takes claimsLock and the context lock only; its frames are
// queued for the transmit thread. The claim's waits hold only the turn. A
// client's own claim state (its context and entry) changes under its
// sendLock: command 19, a re-open and the teardown.
#include "rp1210/claim.h"

#include "rp1210/j1939.h"
#include "rp1210/mailboxes.h"
#include "rp1210/notify.h"
#include "rp1210/protocols.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

#include <cstring>

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
    bool claiming;        // a claim is waiting for rivals (the pending claim is set)
    uint8_t pendingAddress;
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
constexpr int kProtectSize = 10;      // address, NAME, mode

ClaimContext* Find_claimsLocked(const DeviceConnection* connection) {
    for (ClaimContext* x = Lib().claims; x != nullptr; x = x->next) {
        if (x->connection == connection) return x;
    }
    return nullptr;
}

// The completion (and release) of a claim frame someone waits for.
void SignalClaimSent(ClientRecord*, TransmitRequest* r) {
    if (r->tag != nullptr) OsSetEvent(static_cast<ClaimContext*>(r->tag)->claimSent);
}

// Queues the Address Claimed frame of `address` and `name` to `destination`
// on the connection; `sent` (when given) is told when it goes. 0,
// kQueuedBehind or 133.
int16_t QueueClaimFrame(DeviceConnection* c, ClientRecord* owner, uint8_t address, const uint8_t name[8],
                        uint8_t destination, ClaimContext* sent, uint32_t* serial = nullptr) {
    TransmitRequest* r = NewRequest(14);
    if (r == nullptr) return kErrNotEnoughMemory;
    // PGN 0x00EE00, least significant byte first; priority; source; destination.
    const uint8_t header[6] = {0x00, j1939::kPfAddressClaimed, 0x00, j1939::kControlPriority, address, destination};
    std::memcpy(r->message, header, 6);
    std::memcpy(r->message + 6, name, 8);
    r->length = 14;
    r->client = owner;
    r->claimFrame = 1;
    if (sent != nullptr) {
        // Someone waits for it: its completion must be reported.
        r->tag = sent;
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
    NotifyAddressLost(owner, address);
}

// The client holds `address` with `name` through `entry` from now on. Under
// the context's lock, so that a loss the bookkeeping reports (under the same
// lock) can never come before it and be overwritten.
void Commit_contextLocked(ClientRecord* owner, ClaimEntry* entry, uint8_t address, const uint8_t name[8]) {
    owner->claimAddress = address;
    std::memcpy(owner->claimName, name, 8);
    owner->claimEntry.store(entry);
    owner->protectOn.store(true);
    owner->addressHeld.store(true);
}

// Frees an entry that is out of its context's list (its address mailboxes with it).
void FreeEntry(ClaimContext* x, ClaimEntry* entry) {
    if (!x->connection->config.appPacketizing) RemoveAddressMailboxes(x->connection, entry->address);
    OsFree(entry);
}

// ---- The bookkeeping (the connection's frame observer) -------------------------------

void ClaimBookkeeping(DeviceConnection* connection, const uint8_t* m, int length) {
    if (length < 10) return;
    uint8_t format = m[5];
    if (format != j1939::kPfRequest && format != j1939::kPfAddressClaimed) return;
    OsMutexGuard claims(Lib().claimsLock);
    ClaimContext* x = Find_claimsLocked(connection);
    if (x == nullptr) return;
    OsMutexGuard context(x->lock);
    uint8_t source = m[8];
    if (format == j1939::kPfRequest && length >= 13 && m[11] == j1939::kPfAddressClaimed) {
        // A request for address claim: every protected address answers a
        // global one (in turn, through the queue), the address asked for a
        // directed one.
        uint8_t destination = m[9];
        uint8_t replyTo = source == j1939::kNullAddress ? j1939::kGlobalAddress : source;
        for (ClaimEntry* entry = x->entries; entry != nullptr; entry = entry->next) {
            if (!entry->active) continue;
            if (destination == j1939::kGlobalAddress) {
                QueueClaimFrame(connection, entry->owner, entry->address, entry->name, replyTo, nullptr);
            } else if (entry->address == destination) {
                QueueClaimFrame(connection, entry->owner, entry->address, entry->name, source, nullptr);
                break;
            }
        }
    } else if (format == j1939::kPfAddressClaimed && length >= 18) {
        const uint8_t* name = m + 10;
        if (x->claiming && source == x->pendingAddress) {
            OsSetEvent(x->contention);
            return;
        }
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

// ---- Contexts ---------------------------------------------------------------

void DestroyContextObjects(ClaimContext* x) {
    if (x->claimSent) OsDestroyEvent(x->claimSent);
    if (x->contention) OsDestroyEvent(x->contention);
    if (x->turn) OsDestroyMutex(x->turn);
    if (x->lock) OsDestroyMutex(x->lock);
    OsFree(x);
}

// The connection's context with one more user, made when it has none:
// 0, 133, or 142 when its filter mailboxes cannot be loaded.
int16_t AcquireContext(DeviceConnection* c, ClaimContext** out) {
    {
        OsMutexGuard claims(Lib().claimsLock);
        if (ClaimContext* x = Find_claimsLocked(c)) {
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
    FilterEntry request = {nullptr, {0x01, 0x00, j1939::kPfRequest, 0x00, 0, 0, 0}, FilterKind::kJ1939};
    FilterEntry claimed = {nullptr, {0x01, 0x00, j1939::kPfAddressClaimed, 0x00, 0, 0, 0}, FilterKind::kJ1939};
    if (result == kRp1210Ok) result = AddFilterMailbox(c, request);
    if (result == kRp1210Ok) result = AddFilterMailbox(c, claimed);
    if (result != kRp1210Ok) {
        DestroyContextObjects(x);
        return result == kErrNotEnoughMemory ? kErrNotEnoughMemory : kErrHardwareNotResponding;
    }
    x->connection = c;
    x->users = 1;
    c->observer.store(ClaimBookkeeping);
    OsMutexGuard claims(Lib().claimsLock);
    if (ClaimContext* other = Find_claimsLocked(c)) {
        // Another client of the connection made one meanwhile: share it.
        ++other->users;
        DestroyContextObjects(x);
        *out = other;
        return kRp1210Ok;
    }
    x->next = Lib().claims;
    Lib().claims = x;
    *out = x;
    return kRp1210Ok;
}

void DropContext(ClaimContext* x) {
    {
        OsMutexGuard claims(Lib().claimsLock);
        if (--x->users > 0) return;
        for (ClaimContext** link = &Lib().claims; *link != nullptr; link = &(*link)->next) {
            if (*link == x) {
                *link = x->next;
                break;
            }
        }
    }
    // Out of the list: the bookkeeping no longer finds it. Frames still
    // queued forget it before its events go.
    ForgetTag(x->connection, x);
    while (ClaimEntry* entry = x->entries) {
        x->entries = entry->next;
        FreeEntry(x, entry);
    }
    OsSetEvent(x->contention);
    OsSetEvent(x->claimSent);
    DestroyContextObjects(x);
}

// ---- The claim ----------------------------------------------------------------

enum class ClaimState { kCheck, kSendFrame, kAwaitFrame, kAwaitRivals, kHold, kDone };

struct ClaimRun {
    ClientRecord* owner;
    ClaimContext* x;
    uint8_t address;
    const uint8_t* name;
    bool waitForFrame;
    uint32_t serial;
    int16_t result;
};

// Entries lost to other nodes go (their mailboxes are unloaded outside the
// lock: an unload waits for the adapter's callbacks, which take it).
void RemoveLostEntries(ClaimContext* x) {
    ClaimEntry* lost = nullptr;
    {
        OsMutexGuard context(x->lock);
        for (ClaimEntry** link = &x->entries; *link != nullptr;) {
            ClaimEntry* entry = *link;
            if (entry->active) {
                link = &entry->next;
                continue;
            }
            *link = entry->next;
            entry->next = lost;
            lost = entry;
        }
    }
    while (lost != nullptr) {
        ClaimEntry* next = lost->next;
        FreeEntry(x, lost);
        lost = next;
    }
}

void EndPending(ClaimContext* x) {
    OsMutexGuard context(x->lock);
    x->claiming = false;
}

ClaimState Check(ClaimRun& run) {
    OsMutexGuard context(run.x->lock);
    for (ClaimEntry* entry = run.x->entries; entry != nullptr; entry = entry->next) {
        if (!entry->active || entry->address != run.address) continue;
        // Another client of this connection holds it: the lower NAME keeps it.
        if (!NameWins(run.name, entry->name)) {
            run.result = kErrAddressClaimFailed;
            return ClaimState::kDone;
        }
        ClientRecord* holder = entry->owner;
        if (holder != run.owner) LoseAddress(holder, run.address);
        entry->owner = run.owner;
        std::memcpy(entry->name, run.name, 8);
        Commit_contextLocked(run.owner, entry, run.address, run.name);
        run.result = kRp1210Ok;
        return ClaimState::kDone;
    }
    run.x->pendingAddress = run.address;
    run.x->claiming = true;
    OsResetEvent(run.x->contention);
    OsResetEvent(run.x->claimSent);
    return ClaimState::kSendFrame;
}

ClaimState SendFrame(ClaimRun& run) {
    int16_t queued = QueueClaimFrame(run.x->connection, run.owner, run.address, run.name, j1939::kGlobalAddress,
                                     run.x, &run.serial);
    if (queued != kRp1210Ok && queued != kQueuedBehind) {
        EndPending(run.x);
        run.result = kErrCouldNotTxAddressClaimed;
        return ClaimState::kDone;
    }
    return run.waitForFrame ? ClaimState::kAwaitFrame : ClaimState::kAwaitRivals;
}

ClaimState AwaitFrame(ClaimRun& run) {
    if (OsWaitEvent(run.x->claimSent, kClaimSentWait)) return ClaimState::kAwaitRivals;
    RemoveRequest(run.x->connection, run.serial);
    PurgeQueue(run.x->connection);
    EndPending(run.x);
    run.result = kErrHardwareNotResponding;
    return ClaimState::kDone;
}

ClaimState AwaitRivals(ClaimRun& run) {
    bool rival = OsWaitEvent(run.x->contention, kContentionWait);
    EndPending(run.x);
    if (!rival) return ClaimState::kHold;
    run.result = kErrAddressClaimFailed;  // another node claimed the address meanwhile
    return ClaimState::kDone;
}

ClaimState Hold(ClaimRun& run) {
    DeviceConnection* c = run.x->connection;
    ClaimEntry* entry = static_cast<ClaimEntry*>(OsAllocate(sizeof(ClaimEntry)));
    if (entry == nullptr) {
        run.result = kErrNotEnoughMemory;
        return ClaimState::kDone;
    }
    entry->active = 1;
    entry->owner = run.owner;
    entry->address = run.address;
    std::memcpy(entry->name, run.name, 8);
    if (!c->config.appPacketizing) {
        int16_t loaded = AddAddressMailboxes(c, run.address);
        if (loaded != kRp1210Ok) {
            OsFree(entry);
            run.result = loaded;
            return ClaimState::kDone;
        }
    }
    OsMutexGuard context(run.x->lock);
    entry->next = run.x->entries;
    run.x->entries = entry;
    Commit_contextLocked(run.owner, entry, run.address, run.name);
    run.result = kRp1210Ok;
    return ClaimState::kDone;
}

// Runs one claim of `data` (address, NAME, mode) for the client on its
// context: 0 with the client committed, or 144, 146, 152, 142, 133.
int16_t Claim(ClientRecord* owner, ClaimContext* x, const uint8_t* data, int16_t size) {
    OsMutexGuard turn(x->turn, kTurnWait);
    if (!turn.held()) return kErrHardwareNotResponding;
    RemoveLostEntries(x);
    if (size != kProtectSize) return kErrInvalidCommand;
    ClaimRun run{owner, x, data[0], data + 1, data[9] == 0, 0, kRp1210Ok};
    ClaimState state = ClaimState::kCheck;
    while (state != ClaimState::kDone) {
        switch (state) {
            case ClaimState::kCheck: state = Check(run); break;
            case ClaimState::kSendFrame: state = SendFrame(run); break;
            case ClaimState::kAwaitFrame: state = AwaitFrame(run); break;
            case ClaimState::kAwaitRivals: state = AwaitRivals(run); break;
            case ClaimState::kHold: state = Hold(run); break;
            case ClaimState::kDone: break;
        }
    }
    return run.result;
}

// Command 19 on a client whose sendLock is held.
int16_t Protect_sendLocked(ClientRecord* client, const uint8_t* data, int16_t size) {
    if (data[0] == j1939::kReleaseAddress) {
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
    int16_t result = Claim(client, x, data, size);
    if (result != kRp1210Ok) ReleaseClientClaim(client);  // nothing was committed: the context goes
    return result;  // a success committed the client's state
}

}  // namespace

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
    if (!Protocol(client->plan.kind).j1939) return kErrInvalidProtocol;
    OsMutexGuard send(client->sendLock, kSendLockWait);
    if (!send.held()) return kErrHardwareNotResponding;
    client->reclaimPending.store(false);  // the client's own command decides from now on
    return Protect_sendLocked(client, data, size);
}

void ReleaseClientEntry(ClientRecord* client) {
    ClaimContext* x = client->claimContext.load();
    if (client->claimEntry.exchange(nullptr) == nullptr || x == nullptr) return;
    ClaimEntry* found = nullptr;
    {
        OsMutexGuard claims(Lib().claimsLock);
        OsMutexGuard context(x->lock);
        for (ClaimEntry** link = &x->entries; *link != nullptr; link = &(*link)->next) {
            ClaimEntry* entry = *link;
            if (entry->owner == client && entry->address == client->claimAddress &&
                std::memcmp(entry->name, client->claimName, 8) == 0) {
                *link = entry->next;
                found = entry;
                break;
            }
        }
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
    uint8_t data[kProtectSize];
    data[0] = client->claimAddress;
    std::memcpy(data + 1, client->claimName, 8);
    data[9] = 0;
    return Protect_sendLocked(client, data, kProtectSize);
}

void LoseReclaimedAddress(ClientRecord* client) {
    client->protectOn.store(true);  // protected, not held: its sends answer 153
    LoseAddress(client, client->claimAddress);
}
