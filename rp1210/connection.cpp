// The adapter connection layer.
//
// Lock order (library.h): sendLock, open lock, claim locks, queueLock,
// AdapterCallLock, then the leaves (table, list, filterLock, ringLock). Here:
// opening and releasing hold the open lock and take AdapterCallLock around
// their multiplexer calls; the list lock is taken alone, briefly, to change
// the list or a share count, and by callbacks to find their connection.
#include "rp1210/connection.h"

#include "rp1210/rp1210_defs.h"
#include "rp1210/transmit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct ConnectionList {
    DeviceConnection* first;
};

std::mutex g_openLock;            // opening, sharing and releasing
std::mutex g_listLock;            // the list, share counts, clients' connection fields
ConnectionList* g_list = nullptr;  // changed under both locks
// Released connections that something may still reach (a transmit thread
// inside a multiplexer call, a call still inside, mailboxes that could not
// be unloaded): kept allocated and tried again at every later open and
// release (under the open lock).
DeviceConnection* g_parked = nullptr;

constexpr unsigned kReleaseSettle = 250;  // ms before the last look at a closing adapter
constexpr uint32_t kPinDrainLimit = 10000;  // ms a release waits for calls still inside

bool SameSettings(const ConnectConfig& a, const ConnectConfig& b) {
    return a.deviceId == b.deviceId && a.appPacketizing == b.appPacketizing && a.j1708Mode == b.j1708Mode &&
           std::strcmp(a.protocolName, b.protocolName) == 0 && std::strcmp(a.protocolParams, b.protocolParams) == 0;
}

// Another listed connection whose adapter handle a new connection on the
// device may take: open, and not one that stopped answering. Or nullptr.
DeviceConnection* OtherOnDevice_locked(const DeviceConnection* self, int16_t deviceId) {
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) {
        if (c != self && c->config.deviceId == deviceId && c->adapterOpen.load() && !c->handleSuspect.load()) {
            return c;
        }
    }
    return nullptr;
}

// Whether another listed connection still uses the adapter handle of `self`.
bool HandleShared_locked(const DeviceConnection* self) {
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) {
        if (c != self && c->config.deviceId == self->config.deviceId && c->adapterOpen.load() &&
            c->adapterHandle == self->adapterHandle) {
            return true;
        }
    }
    return false;
}

// A second data link for a device and protocol name that a listed
// connection already uses: 0 when allowed, else 149.
int16_t CheckSharing_locked(const DeviceConnection* self, const ConnectConfig& config, const ProtocolPlan& plan) {
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) {
        if (c == self) continue;
        if (c->config.deviceId != config.deviceId || std::strcmp(c->config.protocolName, config.protocolName) != 0) {
            continue;
        }
        if (std::strcmp(c->config.protocolParams, config.protocolParams) != 0) return kErrConnectNotAllowed;
        bool allowed = false;
        switch (plan.family) {
            case ProtocolFamily::kJ1939: allowed = c->config.appPacketizing == config.appPacketizing; break;
            case ProtocolFamily::kJ1708: allowed = c->config.j1708Mode == 0; break;
            case ProtocolFamily::kCan:
            case ProtocolFamily::kJ1850:
            case ProtocolFamily::kPlc: allowed = true; break;
        }
        if (!allowed) return kErrConnectNotAllowed;
    }
    return kRp1210Ok;
}

int32_t MuxCheckDataLink(DeviceConnection* c, char* text) {
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
// Holds AdapterCallLock.
int16_t OpenAdapter(DeviceConnection* c) {
    if (DeviceConnection* other = OtherOnDevice_locked(c, c->config.deviceId)) {
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
    if (MuxCheckDataLink(c, text) != 0) {
        // One more try from the start: close, open, ask again.
        mux.RestoreZMX(handle);
        handle = 0;
        if (mux.InitZMX(&handle, c->config.deviceId) != 0) return kErrHardwareNotResponding;
        c->adapterHandle = handle;
        if (MuxCheckDataLink(c, text) != 0) {
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
bool CloseAdapter_locked(DeviceConnection* c, unsigned wait) {
    if (HandleShared_locked(c)) return true;
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
int16_t OpenDataLink(DeviceConnection* c) {
    int16_t sharing = CheckSharing_locked(c, c->config, c->plan);
    if (sharing != kRp1210Ok) return sharing;
    DataLinkSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = LinkCodeOf(c->plan, c->adapterType);
    BuildSetupBytes(c->plan, c->config, c->adapterType, setup.setup);
    setup.errorCallback = OnDataLinkError;
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    if (c->mux.entries.InitDataLink(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup)) != 0) {
        return kErrHardwareNotResponding;
    }
    std::memcpy(c->config.dataLinkSetup, &setup, sizeof setup);
    if (c->plan.fastTransport) {
        TransportSetup transport;
        std::memset(&transport, 0, sizeof transport);
        transport.linkCode = setup.linkCode;
        const uint16_t values[9] = {1000, 0, 0, 6, 1000, 1250, 0, 500, 500};
        for (int i = 0; i < 9; ++i) transport.values[i] = values[i];
        transport.tail[0] = 0x20;
        transport.tail[1] = 0x20;
        if (c->mux.entries.ConfigureTransportProtocol(c->adapterHandle, reinterpret_cast<ZmxWord>(&transport)) != 0) {
            return kErrHardwareNotResponding;
        }
    }
    return kRp1210Ok;
}

// Loads one persistent transmit mailbox.
bool LoadTransmitMailbox(DeviceConnection* c, uint8_t width, MailboxCallback callback, Mailbox** out) {
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = c->config.dataLinkSetup[0];
    setup.direction = 1;
    switch (c->protocolKind) {
        case kKindJ1708:
            setup.sizeLimitOn = 1;
            setup.sizeLimit = 3830;
            setup.fullMask = 1;
            break;
        case kKindJ1850:
            setup.frameKind = kFrameSingle;
            setup.identifierWidth = 24;
            setup.sizeLimitOn = 1;
            break;
        default:  // J1939 and CAN, both channels
            setup.frameKind = kFrameSingle;
            setup.identifierWidth = width;
            setup.noTimestamp = static_cast<uint8_t>(c->noTimestamp);
            setup.fullMask = 1;
            break;
    }
    setup.callback = callback;
    if (c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup)) != 0) return false;
    *out = setup.mailbox;
    return *out != nullptr;
}

void UnloadMailbox(DeviceConnection* c, Mailbox** mailbox) {
    if (*mailbox != nullptr) c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(*mailbox));
    *mailbox = nullptr;
}

void UnloadTransmitMailboxes(DeviceConnection* c, unsigned wait) {
    AdapterCallGuard guard(wait);
    if (!guard.held()) return;
    UnloadMailbox(c, &c->txMailboxMain);
    UnloadMailbox(c, &c->txMailboxStandard);
    UnloadMailbox(c, &c->txMailboxClaim);
}

// The persistent transmit mailboxes of adapters below type 5.
int16_t LoadTransmitMailboxes(DeviceConnection* c) {
    if (c->adapterType >= 5) return kRp1210Ok;  // one-shot mailboxes per request instead
    bool loaded = true;
    {
        AdapterCallGuard guard(kAdapterCallWait);
        if (!guard.held()) return kErrHardwareNotResponding;
        switch (c->protocolKind) {
            case kKindJ1939:
            case kKindJ1939Ch2:
                loaded = LoadTransmitMailbox(c, 29, OnTransmitComplete, &c->txMailboxMain) &&
                         LoadTransmitMailbox(c, 29, OnClaimComplete, &c->txMailboxClaim);
                break;
            case kKindCan:
            case kKindCanCh2:
                loaded = LoadTransmitMailbox(c, 29, OnTransmitComplete, &c->txMailboxMain) &&
                         LoadTransmitMailbox(c, 11, OnTransmitComplete, &c->txMailboxStandard);
                break;
            default: loaded = LoadTransmitMailbox(c, 0, OnTransmitComplete, &c->txMailboxMain); break;
        }
    }
    if (loaded) return kRp1210Ok;
    UnloadTransmitMailboxes(c, kAdapterCallWait);
    return kErrHardwareNotResponding;
}

void UnloadList(DeviceConnection* c, MailboxNode** list) {
    while (MailboxNode* node = *list) {
        *list = node->next;
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(node->mailbox));
        OsFree(node);
    }
}

// Unloads every mailbox of the connection (receive, claim, broadcast,
// transmit). False when AdapterCallLock could not be had: the adapter may
// then still write into the connection's receive buffer.
bool UnloadAllMailboxes(DeviceConnection* c, unsigned wait) {
    AdapterCallGuard guard(wait);
    if (!guard.held()) return false;
    UnloadList(c, &c->receiveMailboxes);
    UnloadList(c, &c->claimMailboxes);
    UnloadMailbox(c, &c->broadcastMailbox);
    UnloadMailbox(c, &c->txMailboxMain);
    UnloadMailbox(c, &c->txMailboxStandard);
    UnloadMailbox(c, &c->txMailboxClaim);
    return true;
}

constexpr uint32_t kThreadStopLimit = 5000;  // ms a release waits for the transmit thread

// Asks the transmit thread to stop and joins it once it has left its loop
// (its waits are bounded by the stop request, but a multiplexer call it is
// inside may not be). False when it did not stop in time: it is left
// running and the connection must stay allocated.
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

void DestroyList_locked() {
    if (g_list != nullptr && g_list->first == nullptr && g_parked == nullptr) {
        {
            std::lock_guard<std::mutex> list(g_listLock);
            OsFree(g_list);
            g_list = nullptr;
        }
        DestroyAdapterCallLock();
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
// still reach it. Under the open lock.
bool FinishRelease_locked(DeviceConnection* c, unsigned callWait, uint32_t drainLimit, bool settle) {
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
            if (guard.held()) MuxCheckDataLink(c, text);  // the result does not matter
        }
        bool closed = CloseAdapter_locked(c, callWait);
        // The adapter may still fill a mailbox it was not told to unload,
        // unless the adapter itself is gone.
        if (!unloaded && !closed) return false;
        c->adapterOpen.store(false);
    }
    FreeConnection(c);
    return true;
}

// Tries to end the parked connections again.
void RetryParked_locked() {
    for (DeviceConnection** link = &g_parked; *link != nullptr;) {
        DeviceConnection* c = *link;
        DeviceConnection* next = c->next;
        if (FinishRelease_locked(c, kAdapterCallWait, 0, false)) {
            *link = next;
        } else {
            link = &c->next;
        }
    }
}

}  // namespace

int16_t OpenConnection(const ConnectConfig& config, const ProtocolPlan& plan, DeviceConnection** connection) {
    std::lock_guard<std::mutex> open(g_openLock);
    RetryParked_locked();
    bool createdList = false;
    if (g_list == nullptr) {
        ConnectionList* list = NewRecord<ConnectionList>();
        if (list == nullptr) return kErrNotEnoughMemory;
        if (!CreateAdapterCallLock()) {
            FreeRecord(list);
            return kErrNotEnoughMemory;
        }
        std::lock_guard<std::mutex> guard(g_listLock);
        g_list = list;
        createdList = true;
    }
    for (DeviceConnection* c = g_list->first; c != nullptr; c = c->next) {
        if (SameSettings(c->config, config)) {
            std::lock_guard<std::mutex> guard(g_listLock);
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
        c->protocolKind = KindOf(plan);
        c->noTimestamp = plan.noTimestamp ? 1 : 0;
        c->externalDevice = Contains(config.deviceDescription, "COM");
        c->threadState.store(kThreadStopped);
        c->recoverLock = OsCreateMutex();
        result = c->recoverLock != nullptr ? BindMultiplexer(&c->mux) : int16_t{kErrNotEnoughMemory};
    }
    if (result == kRp1210Ok) {
        stage = kBound;
        result = OpenAdapter(c);
        c->adapterOpen.store(result == kRp1210Ok);
    }
    if (result == kRp1210Ok) {
        stage = kAdapterOpen;
        result = OpenDataLink(c);
    }
    if (result == kRp1210Ok) {
        c->clientCount = 1;
        c->queueLock = OsCreateMutex();
        result = c->queueLock != nullptr ? LoadTransmitMailboxes(c) : int16_t{kErrNotEnoughMemory};
    }
    if (result == kRp1210Ok) {
        stage = kMailboxes;
        c->wakeEvent = OsCreateEvent();
        result = c->wakeEvent != nullptr ? int16_t{kRp1210Ok} : int16_t{kErrBlockNotAllowed};
    }
    if (result == kRp1210Ok) {
        c->threadState.store(kThreadRunning);
        c->transmitThread = OsStartThread(TransmitThreadMain, c, kThreadStack);
        if (c->transmitThread == nullptr) {
            c->threadState.store(kThreadStopped);
            result = kErrNotEnoughMemory;
        }
    }
    if (result == kRp1210Ok) {
        std::lock_guard<std::mutex> guard(g_listLock);
        c->next = g_list->first;
        g_list->first = c;
        *connection = c;
        return kRp1210Ok;
    }

    // Undo in reverse order.
    if (stage >= kMailboxes) UnloadTransmitMailboxes(c, kReleaseCallWait);
    if (stage >= kAdapterOpen) CloseAdapter_locked(c, kReleaseCallWait);
    if (c != nullptr) FreeConnection(c);
    if (createdList) DestroyList_locked();
    return result;
}

void ReleaseConnection(DeviceConnection* c) {
    if (c == nullptr) return;
    std::lock_guard<std::mutex> open(g_openLock);
    {
        std::lock_guard<std::mutex> guard(g_listLock);
        if (--c->clientCount > 0) return;
        // Out of the list: no callback finds it from now on.
        for (DeviceConnection** link = &g_list->first; *link != nullptr; link = &(*link)->next) {
            if (*link == c) {
                *link = c->next;
                break;
            }
        }
    }
    c->next = nullptr;
    if (!FinishRelease_locked(c, kReleaseCallWait, kPinDrainLimit, true)) {
        c->next = g_parked;
        g_parked = c;
    }
    RetryParked_locked();
    DestroyList_locked();
}

int16_t ReopenConnection(DeviceConnection* c, bool freshHandle) {
    std::lock_guard<std::mutex> open(g_openLock);
    // What was queued at the loss ends now, with 142.
    FailPendingRequests(c);
    uint32_t timer = 0;
    if (!c->adapterTimeSeen.load() && c->adapterOpen.load()) QueryAdapterTimer(c, &timer);  // the clock to go on from
    if (c->adapterOpen.load()) {
        if (!UnloadAllMailboxes(c, kReleaseCallWait)) return kErrHardwareNotResponding;
        if (freshHandle) {
            // The handle stopped answering: no connection takes it again.
            std::lock_guard<std::mutex> guard(g_listLock);
            for (DeviceConnection* other = g_list->first; other != nullptr; other = other->next) {
                if (other->config.deviceId == c->config.deviceId && other->adapterHandle == c->adapterHandle) {
                    other->handleSuspect.store(true);
                }
            }
        }
        CloseAdapter_locked(c, kReleaseCallWait);
        c->adapterOpen.store(false);
    }
    c->handleSuspect.store(false);
    uint32_t lastTime = c->lastAdapterTime.load();
    uint32_t lastTick = c->lastAdapterTick.load();
    bool seen = c->adapterTimeSeen.load();
    int16_t result = OpenAdapter(c);
    if (result != kRp1210Ok) return result;
    c->adapterOpen.store(true);
    result = OpenDataLink(c);
    if (result == kRp1210Ok) result = LoadTransmitMailboxes(c);
    if (result != kRp1210Ok) {
        CloseAdapter_locked(c, kReleaseCallWait);
        c->adapterOpen.store(false);
        return result;
    }
    // The new adapter's times continue the old ones: base + (old time +
    // ticks since it was seen) - the timer now.
    uint32_t now = 0;
    if (seen && QueryAdapterTimer(c, &now) == kRp1210Ok) {
        c->timeBase.store(c->timeBase.load() + lastTime + (OsTickCount() - lastTick) - now);
    }
    OsSetEvent(c->wakeEvent);
    return kRp1210Ok;
}

DeviceConnection* PinListedConnection(const void* owner) {
    if (owner == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(g_listLock);
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) {
        if (c == owner) {
            if (c->clientCount <= 0) return nullptr;
            c->pins.fetch_add(1);
            return c;
        }
    }
    return nullptr;
}

DeviceConnection* PinClientConnection(ClientRecord* client) {
    std::lock_guard<std::mutex> guard(g_listLock);
    DeviceConnection* c = client->connection;
    if (c != nullptr) c->pins.fetch_add(1);
    return c;
}

void UnpinConnection(DeviceConnection* connection) {
    if (connection != nullptr) connection->pins.fetch_sub(1);
}

DeviceConnection* SwapClientConnection(ClientRecord* client, DeviceConnection* connection) {
    std::lock_guard<std::mutex> guard(g_listLock);
    return client->connection.exchange(connection);
}

void SetConnectionJ1708Mode(DeviceConnection* connection, int16_t mode) {
    std::lock_guard<std::mutex> open(g_openLock);
    connection->config.j1708Mode = mode;
}

int ConnectionClientCount(DeviceConnection* connection) {
    std::lock_guard<std::mutex> guard(g_listLock);
    return connection->clientCount;
}

int16_t QueryAdapterDescription(DeviceConnection* c, char text[kConfigTextSize]) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held() || !c->adapterOpen.load()) return kErrHardwareNotResponding;
    return MuxCheckDataLink(c, text) == 0 ? kRp1210Ok : kErrHardwareNotResponding;
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

int OpenConnectionCount() {
    std::lock_guard<std::mutex> open(g_openLock);
    int count = 0;
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) ++count;
    for (DeviceConnection* c = g_parked; c != nullptr; c = c->next) ++count;
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
