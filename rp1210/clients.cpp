// The connect and the teardown of a client.
//
// Locks (library.h): connect and teardown take no lock of their own around
// their work; the client table (library.cpp) has tableLock, and the
// connection layer serialises opening and releasing.
#include "rp1210/clients.h"

#include "rp1210/claim.h"
#include "rp1210/connection.h"
#include "rp1210/monitor.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

constexpr unsigned kSettle = 250;            // ms at the end of connect and disconnect
constexpr uint32_t kDrainLimit = 10000;      // ms a teardown waits for calls still inside
constexpr unsigned kDrainStep = 2;           // ms between wake-ups while it waits

void WakeWaiters(ClientRecord* c) {
    OsSetEvent(c->txRelease);
    OsSetEvent(c->txDone);
    OsSetEvent(c->dataReady);
}

void StopMonitor(ClientRecord* c) {
    if (c->monitorThread == nullptr) return;
    // closing is set: the monitor leaves its loop at its next look.
    OsJoinThread(c->monitorThread);
    c->monitorThread = nullptr;
    c->monitorRunning.store(false);
}

// Frees what a client holds, in the reverse order of its connect: monitor,
// filters, synchronisation objects, connection, ring, record. Works on a
// client built only in part.
void FreeClient(ClientRecord* c) {
    c->receiveOn.store(false);
    c->closing.store(true);
    StopMonitor(c);
    if (c->filters != nullptr) {
        FilterEntry* entry;
        {
            OsMutexGuard filters(c->filterLock);  // (none when the connect failed before it)
            entry = c->filters->first;
            c->filters->first = nullptr;
        }
        while (entry != nullptr) {
            FilterEntry* next = entry->next;
            OsFree(entry);
            entry = next;
        }
        OsFree(c->filters);
        c->filters = nullptr;
    }
    if (c->ringLock != nullptr) OsDestroyMutex(c->ringLock);
    if (c->filterLock != nullptr) OsDestroyMutex(c->filterLock);
    if (c->sendLock != nullptr) OsDestroyMutex(c->sendLock);
    if (c->txDone != nullptr) OsDestroyEvent(c->txDone);
    if (c->txRelease != nullptr) OsDestroyEvent(c->txRelease);
    if (c->dataReady != nullptr) OsDestroyEvent(c->dataReady);
    ReleaseConnection(SwapClientConnection(c, nullptr));
    OsFree(c->ringBase);
    FreeRecord(c);
}

// Waits until only `expected` references are left on the client, waking its
// waiters meanwhile. False when calls are still inside after the limit.
bool DrainReferences(ClientRecord* c, int expected) {
    uint32_t start = OsTickCount();
    while (c->refs.load() > expected) {
        if (OsTickCount() - start > kDrainLimit) return false;
        WakeWaiters(c);
        OsSleep(kDrainStep);
    }
    return true;
}

// Ends a client that is out of the table (or never got in): every blocked
// call on it returns, then everything it holds is freed. The caller's
// references and the table's one are the only ones that may remain.
void TeardownClient(ClientRecord* c, int callerRefs) {
    c->receiveOn.store(false);
    c->closing.store(true);
    WakeWaiters(c);
    StopMonitor(c);
    if (!DrainReferences(c, 1 + callerRefs)) return;  // a call is stuck inside: leave the record alone
    ReleaseClientClaim(c);
    if (DeviceConnection* connection = PinClientConnection(c)) {
        DetachClientRequests(connection, c);  // its queued sends no longer tell it anything
        UnpinConnection(connection);
    }
    FreeClient(c);
}

}  // namespace

int16_t HeartbeatFlag() { return Lib().heartbeat.load(); }

int16_t ConnectClient(void* window, int16_t deviceId, const char* protocol, int32_t txBufferSize,
                      int32_t rxBufferSize, int16_t appPacketizing) {
    if (protocol == nullptr) return kErrInvalidProtocol;
    ClientRecord* c = NewRecord<ClientRecord>();
    if (c == nullptr) return kErrNotEnoughMemory;
    ConnectConfig& config = c->config;
    config.deviceId = deviceId;
    std::strncpy(config.protocolName, protocol, sizeof config.protocolName - 1);
    config.appPacketizing = appPacketizing;
    config.j1708Mode = 0;

    int16_t heartbeat = 0;
    int16_t result = ReadConnectConfig(&config, &heartbeat);
    if (result == kRp1210Ok) {
        Lib().heartbeat.store(heartbeat);
        result = PlanProtocol(config, &c->plan);
    }
    if (result == kRp1210Ok) {
        unsigned dataMessage = OsRegisterWindowMessage(config.messageString);
        unsigned statusMessage = OsRegisterWindowMessage(config.errorString);
        c->dataMessageId = static_cast<uint16_t>(dataMessage);
        c->statusMessageId = static_cast<uint16_t>(statusMessage);
        if (dataMessage == 0 || statusMessage == 0) result = kErrDllNotInitialized;
    }
    DeviceConnection* connection = nullptr;
    if (result == kRp1210Ok) result = OpenConnection(config, c->plan, &connection);
    if (result != kRp1210Ok) {
        FreeRecord(c);
        return result;
    }
    c->window = window;
    SwapClientConnection(c, connection);
    c->receiveOn.store(true);
    c->statusChange.store(false);
    c->linkLost.store(connection->lost.load());  // a shared connection may be lost already
    c->txBudget = txBufferSize > 0 ? std::max(txBufferSize, kLargestMessage) : kDefaultTxBudget;
    c->lastActivity.store(OsTickCount());

    if (rxBufferSize < 0) {
        result = kErrNotEnoughMemory;  // no ring of a negative size
    } else {
        c->ringSize = rxBufferSize == 0 ? kDefaultRingSize : rxBufferSize;
        c->ringBase = static_cast<uint8_t*>(OsAllocate(static_cast<size_t>(c->ringSize)));
        if (c->ringBase == nullptr) result = kErrNotEnoughMemory;
    }
    if (result == kRp1210Ok) {
        c->filters = NewRecord<FilterList>();
        if (c->filters == nullptr) result = kErrNotEnoughMemory;
    }
    if (result == kRp1210Ok) {
        c->ringLock = OsCreateMutex();
        c->filterLock = c->ringLock ? OsCreateMutex() : nullptr;
        c->txDone = c->filterLock ? OsCreateEvent() : nullptr;
        c->txRelease = c->txDone ? OsCreateEvent() : nullptr;
        c->dataReady = c->txRelease ? OsCreateEvent() : nullptr;
        c->sendLock = c->dataReady ? OsCreateMutex() : nullptr;
        if (c->sendLock == nullptr) result = kErrBlockNotAllowed;  // the connect's answer to any of them
    }
    if (result == kRp1210Ok && heartbeat == 1) {
        c->monitorRunning.store(true);
        c->monitorThread = OsStartThread(LinkMonitorThreadMain, c, kThreadStack);
        if (c->monitorThread == nullptr) {
            c->monitorRunning.store(false);
            result = kErrNotEnoughMemory;
        }
    }
    if (result != kRp1210Ok) {
        FreeClient(c);
        return result;
    }
    int16_t id = InsertClient(c);
    if (id == 0) {
        c->refs.store(1);  // as the table would hold it
        TeardownClient(c, 0);
        return kErrClientAreaFull;
    }
    OsSleep(kSettle);
    return id;
}

int16_t DisconnectClient(int16_t clientId) {
    ClientRecord* c = TakeOutClient(clientId);  // no call finds it from now on
    if (c != nullptr) TeardownClient(c, 0);
    OsSleep(kSettle);
    return c != nullptr ? kRp1210Ok : kErrInvalidClientId;
}

int16_t DisconnectHeldClient(ClientRecord* c) {
    if (!TakeOutHeldClient(c)) {
        // Another thread's disconnect has it: that teardown waits for this reference.
        ReleaseClient(c);
        OsSleep(kSettle);
        return kErrInvalidClientId;
    }
    TeardownClient(c, 1);
    OsSleep(kSettle);
    return kRp1210Ok;
}
