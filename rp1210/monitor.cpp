// The link monitor and the re-open of a connection.
//
// Locks (library.h): a re-open takes the sendLock of every client of the
// connection (lowest id first, at most 1000 ms each), then the
// connection's recoverLock, then goes through the connection layer
// (openLock, AdapterCallLock) and the claims. Each client's monitor looks at
// its own connection; whichever gets there first re-opens it for all.
#include "rp1210/monitor.h"

#include "rp1210/claim.h"
#include "rp1210/connection.h"
#include "rp1210/mailboxes.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

namespace {

constexpr unsigned kMonitorPeriod = 200;    // ms between looks
constexpr uint32_t kSilenceLimit = 1000;    // ms without traffic before the timer is asked
constexpr unsigned kSendLockWait = 1000;    // ms a re-open waits for each client's sends
constexpr uint32_t kRetryPace = 1000;       // ms between fresh opens, and after a failed re-open

bool Reached(uint32_t now, uint32_t at) { return static_cast<int32_t>(now - at) >= 0; }

// The adapter of the connection does not answer: every client learns it
// (sends, commands and status calls fail with 142, a blocked reader gets
// -162) and what is queued ends with 142.
void MarkLost(DeviceConnection* connection) {
    bool first = !connection->lost.exchange(true);
    if (first) connection->nextFreshOpen.store(OsTickCount() + kRetryPace);
    ClientRecord* clients[kClientSlots];
    int count = AcquireClientsOf(connection, clients);
    for (int i = 0; i < count; ++i) {
        ClientRecord* c = clients[i];
        if (!c->linkLost.exchange(true)) {
            c->statusChange.store(true);
            OsSetEvent(c->dataReady);
        }
        ReleaseClient(c);
    }
    if (first) FailPendingRequests(connection);
}

// Loads again what the client let in: everything, or its filters (oldest
// first, as the commands added them). 0 or the first failure.
int16_t RestoreReceivePaths(ClientRecord* c, DeviceConnection* connection) {
    if (c->passAll.load()) return OpenAllReceivePaths(connection);
    // A copy of the filters, so that no lock is held over the adapter calls.
    size_t count = 0, copied = 0;
    FilterEntry* filters = nullptr;
    {
        OsMutexGuard guard(c->filterLock);
        for (FilterEntry* f = c->filters->first; f != nullptr; f = f->next) ++count;
        filters = count > 0 ? static_cast<FilterEntry*>(OsAllocate(count * sizeof(FilterEntry))) : nullptr;
        for (FilterEntry* f = c->filters->first; f != nullptr && filters != nullptr; f = f->next) filters[copied++] = *f;
    }
    if (count > 0 && filters == nullptr) return kErrNotEnoughMemory;
    int16_t result = kRp1210Ok;
    for (size_t i = copied; i > 0 && result == kRp1210Ok; --i) result = AddFilterMailbox(connection, filters[i - 1]);
    OsFree(filters);
    return result;
}

// Re-opens the connection for the clients of `group` (every client of it,
// their sendLocks and the recoverLock held): claims let go, the connection
// opened again, then each client's receive paths and protected address. A
// claim that cannot be made again on the bus (another node has the address
// now) is lost as any address is lost; the re-open itself still succeeds.
int16_t ReopenForClients(DeviceConnection* connection, ClientRecord* const* group, int count, bool freshHandle) {
    for (int i = 0; i < count; ++i) {
        ClientRecord* c = group[i];
        if (RememberClaim(c).held) c->reclaimPending.store(true);
        ReleaseClientClaim(c);
    }
    int16_t result = ReopenConnection(connection, freshHandle);
    for (int i = 0; i < count && result == kRp1210Ok; ++i) {
        if (!group[i]->closing.load()) result = RestoreReceivePaths(group[i], connection);
    }
    for (int i = 0; i < count && result == kRp1210Ok; ++i) {
        ClientRecord* c = group[i];
        if (c->closing.load() || !c->reclaimPending.load()) continue;
        int16_t claimed = ReclaimAddress(c);
        if (claimed == kErrHardwareNotResponding) {
            result = claimed;  // the link, not the address: tried again with the next re-open
        } else {
            c->reclaimPending.store(false);
            if (claimed != kRp1210Ok) LoseReclaimedAddress(c);
        }
    }
    return result;
}

// Re-opens the connection for all its clients when nobody did since
// `generation` was read. -1 when it could not start (a client's sends or
// another re-open in the way), else the re-open's result.
int16_t Recover(DeviceConnection* connection, uint32_t generation, bool freshHandle) {
    ClientRecord* group[kClientSlots];
    int count = AcquireClientsOf(connection, group);
    int locked = 0;
    while (locked < count && OsLockMutex(group[locked]->sendLock, kSendLockWait)) ++locked;
    int16_t result = -1;
    if (locked == count) {
        OsMutexGuard recover(connection->recoverLock, 0);  // another monitor is at it: leave it
        if (recover.held() && connection->generation.load() == generation) {
            result = ReopenForClients(connection, group, count, freshHandle);
        }
    }
    uint32_t timer = 0;
    bool answers = result == kRp1210Ok && QueryAdapterTimer(connection, &timer) == kRp1210Ok;
    if (result == kRp1210Ok && answers) {
        for (int i = 0; i < count; ++i) {
            group[i]->lastTimerValue.store(timer);
            group[i]->lastActivity.store(OsTickCount());
            group[i]->linkLost.store(false);
        }
        connection->lost.store(false);
        // Last: a monitor that read the generation before this re-open
        // finished leaves it alone; one that reads it after sees all of it.
        connection->generation.fetch_add(1);
    } else if (result != -1) {
        connection->retryAt.store(OsTickCount() + kRetryPace);
        MarkLost(connection);
    }
    for (int i = 0; i < locked; ++i) OsUnlockMutex(group[i]->sendLock);
    for (int i = 0; i < count; ++i) ReleaseClient(group[i]);
    return result;
}

// One look of a client's monitor at its connection.
void Look(ClientRecord* c, DeviceConnection* connection) {
    // The generation first: what follows is read after it (see Recover).
    uint32_t generation = connection->generation.load();
    uint32_t now = OsTickCount();
    bool lost = c->linkLost.load() || connection->lost.load();
    if (!lost && now - c->lastActivity.load() <= kSilenceLimit) return;
    uint32_t value = 0;
    if (QueryAdapterTimer(connection, &value) != kRp1210Ok) {
        // Not answering. While it stays so, a fresh open is tried now and
        // then: a handle that never answers again is not the end.
        MarkLost(connection);
        if (Reached(now, connection->nextFreshOpen.load()) && Reached(now, connection->retryAt.load())) {
            connection->nextFreshOpen.store(now + kRetryPace);
            Recover(connection, generation, true);
        }
        return;
    }
    if (!lost && value >= c->lastTimerValue.load()) {
        // Quiet, but the adapter is there and its timer runs on.
        c->lastTimerValue.store(value);
        c->lastActivity.store(now);
        return;
    }
    // Answering again after it was lost, or its timer went back (it was
    // reset and its data link is gone): open the connection again.
    if (Reached(now, connection->retryAt.load())) Recover(connection, generation, false);
}

}  // namespace

int16_t ReopenClientConnection(ClientRecord* c) {
    DeviceConnection* connection = PinClientConnection(c);
    if (connection == nullptr) return kErrHardwareNotResponding;
    int16_t result = kErrHardwareNotResponding;
    OsMutexGuard recover(connection->recoverLock, kSendLockWait);
    if (recover.held()) {
        SetConnectionJ1708Mode(connection, c->config.j1708Mode);
        ClientRecord* group[1] = {c};
        result = ReopenForClients(connection, group, 1, false);
        if (result == kRp1210Ok) connection->generation.fetch_add(1);
        recover.Unlock();
    }
    if (result != kRp1210Ok && c->monitorRunning.load()) MarkLost(connection);
    UnpinConnection(connection);
    return result;
}

void LinkMonitorThreadMain(void* argument) {
    ClientRecord* c = static_cast<ClientRecord*>(argument);
    uint32_t value = 0;
    DeviceConnection* connection = PinClientConnection(c);
    c->lastTimerValue.store(connection != nullptr && QueryAdapterTimer(connection, &value) == kRp1210Ok ? value : 0);
    UnpinConnection(connection);
    for (;;) {
        OsSleep(kMonitorPeriod);
        if (c->closing.load()) break;
        connection = PinClientConnection(c);
        if (connection != nullptr) Look(c, connection);
        UnpinConnection(connection);
    }
    c->monitorRunning.store(false);
}
