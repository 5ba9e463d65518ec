// The adapter connection layer (connection.h).
//
// Locks (library.h): opening, sharing, re-opening and releasing hold
// openLock and take AdapterCallLock around their multiplexer calls;
// connectionsLock is taken alone, briefly, to change the list or a share
// count. The functions named _openLocked expect openLock held.
#include "rp1210/connection.h"

#include "rp1210/mailboxes.h"
#include "rp1210/mux_binding.h"
#include "rp1210/protocols.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kReleaseSettle = 250;    // ms before the last look at a closing adapter
constexpr uint32_t kPinDrainLimit = 10000;  // ms a release waits for calls still inside

// The TransportSetup values of "FAST_TRANSPORT".
constexpr uint16_t kFastTransportValues[9] = {1000, 0, 0, 6, 1000, 1250, 0, 500, 500};
constexpr uint8_t kFastTransportTail = 0x20;

ConnectionList*& List() { return Lib().connections; }

DeviceConnection* First_openLocked() { return List() != nullptr ? List()->first : nullptr; }

bool SameSettings(const ConnectConfig& a, const ConnectConfig& b) {
    return a.deviceId == b.deviceId && a.appPacketizing == b.appPacketizing && a.j1708Mode == b.j1708Mode &&
           std::strcmp(a.protocolName, b.protocolName) == 0 && std::strcmp(a.protocolParams, b.protocolParams) == 0;
}

// Another listed connection whose adapter handle a new connection on the
// device may take: open, and not one that stopped answering. Or nullptr.
DeviceConnection* OtherOnDevice_openLocked(const DeviceConnection* self) {
    for (DeviceConnection* c = First_openLocked(); c != nullptr; c = c->next) {
        if (c != self && c->config.deviceId == self->config.deviceId && c->adapterOpen.load() &&
            !c->handleSuspect.load()) {
            return c;
        }
    }
    return nullptr;
}

// Whether another listed connection still uses the adapter handle of `self`.
bool HandleShared_openLocked(const DeviceConnection* self) {
    for (DeviceConnection* c = First_openLocked(); c != nullptr; c = c->next) {
        if (c != self && c->config.deviceId == self->config.deviceId && c->adapterOpen.load() &&
            c->adapterHandle == self->adapterHandle) {
            return true;
        }
    }
    return false;
}

// A second data link for a device and protocol name that a listed
// connection already uses: 0 when allowed, else 149.
int16_t CheckSharing_openLocked(const DeviceConnection* self) {
    for (DeviceConnection* c = First_openLocked(); c != nullptr; c = c->next) {
        if (c == self || c->config.deviceId != self->config.deviceId ||
            std::strcmp(c->config.protocolName, self->config.protocolName) != 0) {
            continue;
        }
        if (std::strcmp(c->config.protocolParams, self->config.protocolParams) != 0) return kErrConnectNotAllowed;
        if (!SecondDataLinkAllowed(self->plan, c->config, self->config)) return kErrConnectNotAllowed;
    }
    return kRp1210Ok;
}

int32_t MuxCheckDataLink_adapterCallLocked(DeviceConnection* c, char* text) {
    // The transport writes the text: room beyond the 80 bytes it is allowed,
    // and the text ends at 79 characters whatever it wrote.
    char area[256];
    std::memset(area, 0, sizeof area);
    int32_t result = c->mux.entries.CheckDataLink(c->adapterHandle, reinterpret_cast<ZmxWord>(area));
    area[kConfigTextSize - 1] = '\0';
    std::memcpy(text, area, kConfigTextSize);
    return result;
}

// Reads ",BUF" and the adapter type from a description.
void ReadDescription(DeviceConnection* c, const char* text) {
    if (const char* buf = std::strstr(text, ",BUF")) {
        const char* p = buf + 4;
        while (*p == ',' || *p == ' ' || *p == '\t' || *p == '=' || *p == ':') ++p;
        if (*p >= '0' && *p <= '9') {
            long size = std::strtol(p, nullptr, 10);
            c->largeBuffers = size >= 4096 ? 1 : 0;
        }
    }
    char field[kConfigTextSize];
    DescriptionField(text, 2, field, sizeof field);
    c->adapterType = static_cast<int32_t>(std::strtol(field, nullptr, 10));
}

// Opens the adapter (or takes the handle of a listed connection on it).
int16_t OpenAdapter_openLocked(DeviceConnection* c) {
    if (DeviceConnection* other = OtherOnDevice_openLocked(c)) {
        // The adapter is open already: its handle, type and buffers are ours too.
        c->adapterHandle = other->adapterHandle;
        c->adapterType = other->adapterType;
        c->largeBuffers = other->largeBuffers;
        return kRp1210Ok;
    }
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    const MuxEntries& mux = c->mux.entries;
    uint16_t handle = 0;
    if (mux.InitZMX(&handle, c->config.deviceId) != 0) return kErrHardwareNotResponding;
    c->adapterHandle = handle;
    char text[kConfigTextSize];
    if (MuxCheckDataLink_adapterCallLocked(c, text) != 0) {
        // One more try from the start: close, open, ask again.
        mux.RestoreZMX(handle);
        handle = 0;
        if (mux.InitZMX(&handle, c->config.deviceId) != 0) return kErrHardwareNotResponding;
        c->adapterHandle = handle;
        if (MuxCheckDataLink_adapterCallLocked(c, text) != 0) {
            mux.RestoreZMX(handle);
            return kErrHardwareNotResponding;
        }
    }
    ReadDescription(c, text);
    return kRp1210Ok;
}

// Closes the adapter unless another listed connection uses its handle.
// True when nothing of the connection is left in the adapter's driver (the
// handle was restored, or stays with another connection).
bool CloseAdapter_openLocked(DeviceConnection* c, unsigned wait) {
    if (HandleShared_openLocked(c)) return true;
    AdapterCallGuard guard(wait);
    return guard.held() && c->mux.entries.RestoreZMX(c->adapterHandle) == 0;
}

// Records an adapter time read now, for the timestamps of a later re-open.
void SeeAdapterTime(DeviceConnection* c, uint32_t time) {
    c->lastAdapterTime.store(time);
    c->lastAdapterTick.store(OsTickCount());
    c->adapterTimeSeen.store(true);
}

// Opens the data link with the set-up the config and the adapter ask for.
int16_t OpenDataLink_openLocked(DeviceConnection* c) {
    int16_t sharing = CheckSharing_openLocked(c);
    if (sharing != kRp1210Ok) return sharing;
    DataLinkSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = DataLinkCode(c->protocolKind, c->adapterType);
    BuildSetupBytes(c->plan, c->config, c->adapterType, setup.setup);
    setup.errorCallback = OnDataLinkError;
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    if (c->mux.entries.InitDataLink(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup)) != 0) {
        return kErrHardwareNotResponding;
    }
    std::memcpy(c->config.dataLinkSetup, &setup, sizeof setup);
    c->linkCode = setup.linkCode;
    if (c->plan.fastTransport) {
        TransportSetup transport;
        std::memset(&transport, 0, sizeof transport);
        transport.linkCode = setup.linkCode;
        for (int i = 0; i < 9; ++i) transport.values[i] = kFastTransportValues[i];
        transport.tail[0] = kFastTransportTail;
        transport.tail[1] = kFastTransportTail;
        if (c->mux.entries.ConfigureTransportProtocol(c->adapterHandle, reinterpret_cast<ZmxWord>(&transport)) != 0) {
            return kErrHardwareNotResponding;
        }
    }
    return kRp1210Ok;
}

// Unloads every mailbox of the connection (receive, addresses, transmit).
// False when AdapterCallLock could not be had: the adapter may then still
// write into the connection's receive buffer.
bool UnloadAllMailboxes(DeviceConnection* c, unsigned wait) {
    AdapterCallGuard guard(wait);
    if (!guard.held()) return false;
    UnloadAllReceive_adapterCallLocked(c);
    UnloadTransmitMailboxes_adapterCallLocked(c);
    return true;
}

void DestroyList_openLocked() {
    if (List() != nullptr && List()->first == nullptr && Lib().parked == nullptr) {
        {
            OsMutexGuard list(Lib().connectionsLock);
            OsFree(List());
            List() = nullptr;
        }
        DestroyAdapterCallLock_openLocked();
    }
}

// Frees what a connection holds once nothing can reach it any more.
void FreeConnection(DeviceConnection* c) {
    TransmitRequest* queued = c->transmitQueue;
    c->transmitQueue = nullptr;
    c->transmitTail = nullptr;
    while (queued != nullptr) {
        TransmitRequest* next = queued->next;
        OsFree(queued);
        queued = next;
    }
    if (c->queueLock != nullptr) OsDestroyMutex(c->queueLock);
    if (c->wakeEvent != nullptr) OsDestroyEvent(c->wakeEvent);
    if (c->recoverLock != nullptr) OsDestroyMutex(c->recoverLock);
    UnbindMultiplexer(&c->mux);
    FreeRecord(c);
}

// Waits until no call or callback works on the connection any more. False
// when one is still inside after the limit: the connection must then stay
// allocated.
bool DrainPins(DeviceConnection* c, uint32_t limit) {
    uint32_t start = OsTickCount();
    while (c->pins.load() > 0) {
        if (OsTickCount() - start > limit) return false;
        OsSleep(1);
    }
    return true;
}

// Ends a connection that is out of the list: transmit thread stopped and
// joined, queued requests ended with 142, calls inside drained, every
// mailbox unloaded, the adapter closed, the record freed. False, with the
// record kept and the steps done so far remembered, when something may
// still reach it.
bool FinishRelease_openLocked(DeviceConnection* c, unsigned callWait, uint32_t drainLimit, bool settle) {
    if (!StopTransmitThread(c)) return false;
    // Senders still waiting on this queue wake with 142; calls and callbacks
    // that found the connection before it left the list end first, so that
    // no mailbox is loaded after the unloads below.
    FailPendingRequests(c);
    if (!DrainPins(c, drainLimit)) return false;
    if (c->adapterOpen.load()) {
        bool unloaded = UnloadAllMailboxes(c, callWait);
        if (settle) OsSleep(kReleaseSettle);
        {
            AdapterCallGuard guard(callWait);
            char text[kConfigTextSize];
            if (guard.held()) MuxCheckDataLink_adapterCallLocked(c, text);  // the result does not matter
        }
        bool closed = CloseAdapter_openLocked(c, callWait);
        // The adapter may still fill a mailbox it was not told to unload,
        // unless the adapter itself is gone.
        if (!unloaded && !closed) return false;
        c->adapterOpen.store(false);
    }
    FreeConnection(c);
    return true;
}

// Tries to end the parked connections again.
void RetryParked_openLocked() {
    for (DeviceConnection** link = &Lib().parked; *link != nullptr;) {
        DeviceConnection* c = *link;
        DeviceConnection* next = c->next;
        if (FinishRelease_openLocked(c, kAdapterCallWait, 0, false)) {
            *link = next;
        } else {
            link = &c->next;
        }
    }
}

}  // namespace

int16_t OpenConnection(const ConnectConfig& config, const ProtocolPlan& plan, DeviceConnection** connection) {
    OsMutexGuard open(Lib().openLock);
    RetryParked_openLocked();
    bool createdList = false;
    if (List() == nullptr) {
        ConnectionList* list = NewRecord<ConnectionList>();
        if (list == nullptr) return kErrNotEnoughMemory;
        if (!CreateAdapterCallLock_openLocked()) {
            FreeRecord(list);
            return kErrNotEnoughMemory;
        }
        OsMutexGuard guard(Lib().connectionsLock);
        List() = list;
        createdList = true;
    }
    for (DeviceConnection* c = First_openLocked(); c != nullptr; c = c->next) {
        if (SameSettings(c->config, config)) {
            OsMutexGuard guard(Lib().connectionsLock);
            ++c->clientCount;
            *connection = c;
            return kRp1210Ok;
        }
    }

    int16_t result = kErrNotEnoughMemory;
    DeviceConnection* c = NewRecord<DeviceConnection>();
    enum Stage { kNone, kBound, kAdapterOpen, kMailboxes } stage = kNone;
    if (c != nullptr) {
        c->config = config;
        c->plan = plan;
        c->protocolKind = plan.kind;
        c->noTimestamp = plan.noTimestamp ? 1 : 0;
        c->externalDevice = Contains(config.deviceDescription, "COM");
        c->threadState.store(kThreadStopped);
        c->recoverLock = OsCreateMutex();
        result = c->recoverLock != nullptr ? BindMultiplexer(&c->mux) : int16_t{kErrNotEnoughMemory};
    }
    if (result == kRp1210Ok) {
        stage = kBound;
        result = OpenAdapter_openLocked(c);
        c->adapterOpen.store(result == kRp1210Ok);
    }
    if (result == kRp1210Ok) {
        stage = kAdapterOpen;
        result = OpenDataLink_openLocked(c);
    }
    if (result == kRp1210Ok) {
        c->clientCount = 1;
        c->queueLock = OsCreateMutex();
        result = c->queueLock != nullptr ? LoadTransmitMailboxes(c) : int16_t{kErrNotEnoughMemory};
    }
    if (result == kRp1210Ok) {
        stage = kMailboxes;
        result = StartTransmitThread(c);
    }
    if (result == kRp1210Ok) {
        OsMutexGuard guard(Lib().connectionsLock);
        c->next = List()->first;
        List()->first = c;
        *connection = c;
        return kRp1210Ok;
    }

    // Undo in reverse order.
    if (stage >= kMailboxes) {
        AdapterCallGuard guard(kReleaseCallWait);
        if (guard.held()) UnloadTransmitMailboxes_adapterCallLocked(c);
    }
    if (stage >= kAdapterOpen) CloseAdapter_openLocked(c, kReleaseCallWait);
    if (c != nullptr) FreeConnection(c);
    if (createdList) DestroyList_openLocked();
    return result;
}

void ReleaseConnection(DeviceConnection* c) {
    if (c == nullptr) return;
    OsMutexGuard open(Lib().openLock);
    {
        OsMutexGuard guard(Lib().connectionsLock);
        if (--c->clientCount > 0) return;
        // Out of the list: no callback finds it from now on.
        for (DeviceConnection** link = &List()->first; *link != nullptr; link = &(*link)->next) {
            if (*link == c) {
                *link = c->next;
                break;
            }
        }
    }
    c->next = nullptr;
    if (!FinishRelease_openLocked(c, kReleaseCallWait, kPinDrainLimit, true)) {
        c->next = Lib().parked;
        Lib().parked = c;
    }
    RetryParked_openLocked();
    DestroyList_openLocked();
}

int16_t ReopenConnection(DeviceConnection* c, bool freshHandle) {
    OsMutexGuard open(Lib().openLock);
    // What was queued at the loss ends now, with 142.
    FailPendingRequests(c);
    uint32_t timer = 0;
    if (!c->adapterTimeSeen.load() && c->adapterOpen.load()) QueryAdapterTimer(c, &timer);  // the clock to go on from
    if (c->adapterOpen.load()) {
        if (!UnloadAllMailboxes(c, kReleaseCallWait)) return kErrHardwareNotResponding;
        if (freshHandle) {
            // The handle stopped answering: no connection takes it again.
            OsMutexGuard guard(Lib().connectionsLock);
            for (DeviceConnection* other = List()->first; other != nullptr; other = other->next) {
                if (other->config.deviceId == c->config.deviceId && other->adapterHandle == c->adapterHandle) {
                    other->handleSuspect.store(true);
                }
            }
        }
        CloseAdapter_openLocked(c, kReleaseCallWait);
        c->adapterOpen.store(false);
    }
    c->handleSuspect.store(false);
    uint32_t lastTime = c->lastAdapterTime.load();
    uint32_t lastTick = c->lastAdapterTick.load();
    bool seen = c->adapterTimeSeen.load();
    int16_t result = OpenAdapter_openLocked(c);
    if (result != kRp1210Ok) return result;
    c->adapterOpen.store(true);
    result = OpenDataLink_openLocked(c);
    if (result == kRp1210Ok) result = LoadTransmitMailboxes(c);
    if (result != kRp1210Ok) {
        CloseAdapter_openLocked(c, kReleaseCallWait);
        c->adapterOpen.store(false);
        return result;
    }
    // The new adapter's times continue the old ones: base + (old time +
    // ticks since it was seen) - the timer now.
    uint32_t now = 0;
    if (seen && QueryAdapterTimer(c, &now) == kRp1210Ok) {
        c->timeBase.store(c->timeBase.load() + lastTime + (OsTickCount() - lastTick) - now);
    }
    WakeTransmitThread(c);
    return kRp1210Ok;
}

void SetConnectionJ1708Mode(DeviceConnection* connection, int16_t mode) {
    OsMutexGuard open(Lib().openLock);
    connection->config.j1708Mode = mode;
}

int16_t QueryAdapterDescription(DeviceConnection* c, char text[kConfigTextSize]) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held() || !c->adapterOpen.load()) return kErrHardwareNotResponding;
    return MuxCheckDataLink_adapterCallLocked(c, text) == 0 ? kRp1210Ok : kErrHardwareNotResponding;
}

int16_t QueryAdapterTimer(DeviceConnection* c, uint32_t* value) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held() || !c->adapterOpen.load()) return kErrHardwareNotResponding;
    uint32_t timer = 0;
    if (c->mux.entries.RequestTimerValue(c->adapterHandle, reinterpret_cast<ZmxWord>(&timer)) != 0) {
        return kErrHardwareNotResponding;
    }
    *value = timer;
    SeeAdapterTime(c, timer);
    return kRp1210Ok;
}

int16_t ResetAdapter(DeviceConnection* c) {
    AdapterCallGuard guard(kAdapterCallWait);
    uint8_t command = 0;
    if (!guard.held() || c->mux.entries.ResetZMX(c->adapterHandle, reinterpret_cast<ZmxWord>(&command)) != 0) {
        return kErrHardwareNotResponding;
    }
    return kRp1210Ok;
}

int OpenConnectionCount() {
    OsMutexGuard open(Lib().openLock);
    int count = 0;
    for (DeviceConnection* c = First_openLocked(); c != nullptr; c = c->next) ++count;
    for (DeviceConnection* c = Lib().parked; c != nullptr; c = c->next) ++count;
    return count;
}

void DescriptionField(const char* text, int index, char* field, size_t size) {
    field[0] = '\0';
    size_t limit = 120;
    int current = 0;
    size_t start = 0;
    for (size_t i = 0;; ++i) {
        bool end = i >= limit || text[i] == '\0';
        if (end || text[i] == '\t' || text[i] == ',') {
            if (current == index) {
                size_t length = i - start;
                if (length > size - 1) length = size - 1;
                std::memcpy(field, text + start, length);
                field[length] = '\0';
                return;
            }
            if (end) return;
            ++current;
            start = i + 1;
        }
    }
}
