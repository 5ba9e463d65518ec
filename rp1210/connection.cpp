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

constexpr unsigned kReleaseSettle = 250;  // ms before the last look at a closing adapter
constexpr uint32_t kPinDrainLimit = 10000;  // ms a release waits for calls still inside

bool SameSettings(const ConnectConfig& a, const ConnectConfig& b) {
    return a.deviceId == b.deviceId && a.appPacketizing == b.appPacketizing && a.j1708Mode == b.j1708Mode &&
           std::strcmp(a.protocolName, b.protocolName) == 0 && std::strcmp(a.protocolParams, b.protocolParams) == 0;
}

// Another listed connection on the same adapter (device id), or nullptr.
DeviceConnection* OtherOnDevice_locked(const DeviceConnection* self, int16_t deviceId) {
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) {
        if (c != self && c->config.deviceId == deviceId) return c;
    }
    return nullptr;
}

// A second data link for a device and protocol name that a listed
// connection already uses: 0 when allowed, else 149.
int16_t CheckSharing_locked(const ConnectConfig& config, const ProtocolPlan& plan) {
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) {
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

// Closes the adapter unless another listed connection uses it.
void CloseAdapter_locked(DeviceConnection* c, unsigned wait) {
    if (OtherOnDevice_locked(c, c->config.deviceId) != nullptr) return;
    AdapterCallGuard guard(wait);
    if (guard.held()) c->mux.entries.RestoreZMX(c->adapterHandle);
}

// Opens the data link with the set-up the config and the adapter ask for.
int16_t OpenDataLink(DeviceConnection* c) {
    int16_t sharing = CheckSharing_locked(c->config, c->plan);
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

void StopTransmitThread(DeviceConnection* c) {
    if (c->transmitThread != nullptr) {
        c->threadState.store(kThreadStopAsked);
        OsSetEvent(c->wakeEvent);
        OsJoinThread(c->transmitThread);  // its loop ends at the next wake
        c->transmitThread = nullptr;
    }
    c->threadState.store(kThreadStopped);
}

void DestroyList_locked() {
    if (g_list != nullptr && g_list->first == nullptr) {
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
    UnbindMultiplexer(&c->mux);
    FreeRecord(c);
}

// Waits until no call or callback works on the connection any more. False
// when one is still inside after the limit: the connection must then stay
// allocated.
bool DrainPins(DeviceConnection* c) {
    uint32_t start = OsTickCount();
    while (c->pins.load() > 0) {
        if (OsTickCount() - start > kPinDrainLimit) return false;
        OsSleep(1);
    }
    return true;
}

}  // namespace

int16_t OpenConnection(const ConnectConfig& config, const ProtocolPlan& plan, DeviceConnection** connection) {
    std::lock_guard<std::mutex> open(g_openLock);
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
        result = BindMultiplexer(&c->mux);
    }
    if (result == kRp1210Ok) {
        stage = kBound;
        result = OpenAdapter(c);
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
    StopTransmitThread(c);
    {
        AdapterCallGuard guard(kReleaseCallWait);
        if (guard.held()) {
            UnloadList(c, &c->receiveMailboxes);
            UnloadList(c, &c->claimMailboxes);
            UnloadMailbox(c, &c->broadcastMailbox);
        }
    }
    // Senders still waiting on this queue wake with 142; callbacks that found
    // the connection before it left the list end first.
    FailPendingRequests(c);
    bool drained = DrainPins(c);
    UnloadTransmitMailboxes(c, kReleaseCallWait);
    OsSleep(kReleaseSettle);
    {
        AdapterCallGuard guard(kReleaseCallWait);
        char text[kConfigTextSize];
        if (guard.held()) MuxCheckDataLink(c, text);  // the result does not matter
    }
    CloseAdapter_locked(c, kReleaseCallWait);
    if (drained) FreeConnection(c);  // else it stays allocated for whoever is still inside
    DestroyList_locked();
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

int ConnectionClientCount(DeviceConnection* connection) {
    std::lock_guard<std::mutex> guard(g_listLock);
    return connection->clientCount;
}

int16_t QueryAdapterDescription(DeviceConnection* c, char text[kConfigTextSize]) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    return MuxCheckDataLink(c, text) == 0 ? kRp1210Ok : kErrHardwareNotResponding;
}

int16_t QueryAdapterTimer(DeviceConnection* c, uint32_t* value) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    uint32_t timer = 0;
    if (c->mux.entries.RequestTimerValue(c->adapterHandle, reinterpret_cast<ZmxWord>(&timer)) != 0) {
        return kErrHardwareNotResponding;
    }
    *value = timer;
    return kRp1210Ok;
}

int OpenConnectionCount() {
    std::lock_guard<std::mutex> guard(g_listLock);
    int count = 0;
    for (DeviceConnection* c = g_list ? g_list->first : nullptr; c != nullptr; c = c->next) ++count;
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
