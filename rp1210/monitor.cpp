// The link monitor and the re-open of a client's connection.
//
// Lock order (library.h): the monitor takes the client's sendLock (at most
// 1000 ms) before a re-open, so that no send of the client runs meanwhile;
// the re-open then goes through the connection layer (open lock,
// AdapterCallLock).
#include "rp1210/monitor.h"

#include "rp1210/claim.h"
#include "rp1210/connection.h"
#include "rp1210/receive.h"
#include "rp1210/transmit.h"
#include "rp1210/rp1210_defs.h"

namespace {

constexpr unsigned kMonitorPeriod = 200;    // ms between looks
constexpr uint32_t kSilenceLimit = 1000;    // ms without traffic before the timer is asked
constexpr unsigned kSendLockWait = 1000;    // ms the monitor waits for the client's sends

constexpr int16_t kNoConnection = -1;

// The adapter timer through the client's connection: 0, 142, or
// kNoConnection when a re-open has failed before.
int16_t ReadTimer(ClientRecord* c, uint32_t* value) {
    DeviceConnection* connection = PinClientConnection(c);
    if (connection == nullptr) return kNoConnection;
    int16_t result = QueryAdapterTimer(connection, value);
    UnpinConnection(connection);
    return result;
}

}  // namespace

int16_t ReopenClientConnection(ClientRecord* c) {
    ClaimMemory claim = RememberClaim(c);
    ReleaseClientClaim(c);
    if (DeviceConnection* old = SwapClientConnection(c, nullptr)) {
        DetachClientRequests(old, c);
        ReleaseConnection(old);
    }
    DeviceConnection* connection = nullptr;
    int16_t result = OpenConnection(c->config, c->plan, &connection);
    if (result != kRp1210Ok) return result;
    SwapClientConnection(c, connection);

    // What the client let in comes back: everything, or its filters.
    if (c->passAll.load()) {
        result = OpenAllReceivePaths(connection);
    } else {
        // A copy of the filters, so that no lock is held over the adapter calls;
        // added oldest first, as the commands added them.
        OsLockMutex(c->filterLock, kOsWaitForever);
        size_t count = 0;
        for (FilterEntry* f = c->filters->first; f != nullptr; f = f->next) ++count;
        FilterEntry* filters = count > 0 ? static_cast<FilterEntry*>(OsAllocate(count * sizeof(FilterEntry))) : nullptr;
        size_t copied = 0;
        for (FilterEntry* f = c->filters->first; f != nullptr && filters != nullptr; f = f->next) filters[copied++] = *f;
        OsUnlockMutex(c->filterLock);
        if (count > 0 && filters == nullptr) return kErrNotEnoughMemory;
        for (size_t i = copied; i > 0 && result == kRp1210Ok; --i) result = AddFilterMailbox(connection, filters[i - 1]);
        OsFree(filters);
    }
    if (result == kRp1210Ok) result = ReclaimAddress(c, claim);
    return result;
}

void LinkMonitorThreadMain(void* argument) {
    ClientRecord* c = static_cast<ClientRecord*>(argument);
    uint32_t value = 0;
    c->lastTimerValue.store(ReadTimer(c, &value) == kRp1210Ok ? value : 0);
    for (;;) {
        OsSleep(kMonitorPeriod);
        if (c->closing.load()) break;
        bool lost = c->linkLost.load();
        if (!lost && OsTickCount() - c->lastActivity.load() <= kSilenceLimit) continue;
        value = 0;
        int16_t timer = ReadTimer(c, &value);
        if (timer != kRp1210Ok && timer != kNoConnection) {
            // The adapter does not answer: a blocked reader learns it at once.
            c->statusChange.store(true);
            OsSetEvent(c->dataReady);
            c->linkLost.store(true);
            continue;
        }
        if (timer == kRp1210Ok && !lost && value >= c->lastTimerValue.load()) {
            // Quiet, but the adapter is there and its timer runs on.
            c->lastTimerValue.store(value);
            c->lastActivity.store(OsTickCount());
            continue;
        }
        // Answering again after it was lost, its timer went back (it was
        // reset and its data link is gone), or no connection since a failed
        // re-open: open the connection again.
        if (!OsLockMutex(c->sendLock, kSendLockWait)) {
            c->linkLost.store(true);
            continue;
        }
        if (!c->closing.load() && ReopenClientConnection(c) == kRp1210Ok) {
            c->lastTimerValue.store(value);
            c->lastActivity.store(OsTickCount());
            c->linkLost.store(false);
        } else {
            c->linkLost.store(true);
        }
        OsUnlockMutex(c->sendLock);
    }
    c->monitorRunning.store(false);
}
