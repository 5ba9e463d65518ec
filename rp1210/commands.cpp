// RP1210_SendCommand: the command table.
//
// Locks (library.h): a command that changes what the adapter lets in
// (filters, pass-all, discard), re-opens (J1708 mode) or claims takes the
// client's sendLock first, so that a re-open of the connection, which
// restores every client's receive paths and claims, never runs beside it;
// then the claim locks for address protection, and the leaves (filterLock,
// ringLock) for its own settings; adapter calls go through the connection
// layer with AdapterCallLock.
#include "rp1210/commands.h"

#include "rp1210/claim.h"
#include "rp1210/connection.h"
#include "rp1210/mailboxes.h"
#include "rp1210/monitor.h"
#include "rp1210/protocols.h"
#include "rp1210/ring.h"
#include "rp1210/rp1210_defs.h"

#include <cstring>

namespace {

constexpr unsigned kSendLockWait = 1000;

// Runs `body` holding the client's sendLock (142 when it cannot be had).
template <class Body>
int16_t WithSendLock(ClientRecord* c, Body body) {
    OsMutexGuard send(c->sendLock, kSendLockWait);
    if (!send.held()) return kErrHardwareNotResponding;
    return body();
}

int FilterCount(ClientRecord* c) {
    OsMutexGuard filters(c->filterLock);
    int count = 0;
    for (FilterEntry* f = c->filters->first; f != nullptr; f = f->next) ++count;
    return count;
}

bool On(uint8_t byte) { return byte == 1 || byte == '1'; }

void EmptyRing(ClientRecord* c) {
    OsMutexGuard ring(c->ringLock);
    RingEmpty_ringLocked(c);
    c->ringOverflow = 0;
}

void FreeFilters(ClientRecord* c) {
    FilterEntry* entry;
    {
        OsMutexGuard filters(c->filterLock);
        entry = c->filters->first;
        c->filters->first = nullptr;
    }
    while (entry != nullptr) {
        FilterEntry* next = entry->next;
        OsFree(entry);
        entry = next;
    }
}

// Commands 4, 5 and 7: one filter of the command's kind per group of bytes.
int16_t AddFilters_sendLocked(ClientRecord* c, const uint8_t* data, int size, FilterKind kind) {
    int group = RuleOf(kind).length;
    if (size < 0 || size % group != 0 || (size > 0 && data == nullptr)) return kErrInvalidCommand;
    if (FilterCount(c) + size / group > kMaxFilters) return kErrMaxFiltersExceeded;
    c->passAll.store(false);
    for (int at = 0; at < size; at += group) {
        FilterEntry* entry = static_cast<FilterEntry*>(OsAllocate(sizeof(FilterEntry)));
        if (entry == nullptr) return kErrNotEnoughMemory;
        std::memcpy(entry->data, data + at, static_cast<size_t>(group));
        entry->kind = kind;
        DeviceConnection* connection = PinClientConnection(c);
        int16_t result = connection != nullptr ? AddFilterMailbox(connection, *entry) : kErrHardwareNotResponding;
        UnpinConnection(connection);
        if (result != kRp1210Ok) {
            OsFree(entry);
            return result;  // the groups before it stay
        }
        OsMutexGuard filters(c->filterLock);
        entry->next = c->filters->first;
        c->filters->first = entry;
    }
    return kRp1210Ok;
}

int16_t ResetDevice(ClientRecord* c) {
    if (ConnectedClientCount() > 1) return kErrMultipleClientsConnected;
    DeviceConnection* connection = PinClientConnection(c);
    if (connection == nullptr) return kErrHardwareNotResponding;
    int16_t result = ResetAdapter(connection);
    UnpinConnection(connection);
    return result;
}

int16_t SetJ1708Mode(ClientRecord* c, const uint8_t* data, int size) {
    if (size < 1 || data == nullptr) return kErrInvalidCommand;
    if (!Protocol(c->plan.kind).j1708Mode) return kErrInvalidProtocol;
    if (ClientsOfKindCount(c->plan.kind, c->config.deviceId) > 1) return kErrMultipleClientsConnected;
    int16_t result = WithSendLock(c, [&] {
        c->config.j1708Mode = (data[0] == 0 || data[0] == '0') ? 1 : 0;
        return ReopenClientConnection(c);
    });
    EmptyRing(c);
    return result;
}

int16_t OpenAllPaths_sendLocked(ClientRecord* c) {
    DeviceConnection* connection = PinClientConnection(c);
    int16_t result = connection != nullptr ? OpenAllReceivePaths(connection) : kErrHardwareNotResponding;
    UnpinConnection(connection);
    if (result == kRp1210Ok) c->passAll.store(true);
    return result;
}

// Every client of the connection loses its adapter receive paths.
int16_t DiscardAll_sendLocked(ClientRecord* c) {
    DeviceConnection* connection = PinClientConnection(c);
    if (connection != nullptr) UnloadReceivePaths(connection);
    UnpinConnection(connection);
    c->passAll.store(false);
    FreeFilters(c);
    return kRp1210Ok;
}

}  // namespace

int16_t ExecuteCommand(int16_t number, ClientRecord* c, const uint8_t* data, int16_t size) {
    if (c->linkLost.load()) return kErrHardwareNotResponding;
    switch (number) {
        case kCmdResetDevice: return ResetDevice(c);
        case kCmdSetAllFiltersToPass: return WithSendLock(c, [&] { return OpenAllPaths_sendLocked(c); });
        case kCmdSetJ1939Filters:
            return WithSendLock(c, [&] { return AddFilters_sendLocked(c, data, size, FilterKind::kJ1939); });
        case kCmdSetCanFilters:
            return WithSendLock(c, [&] { return AddFilters_sendLocked(c, data, size, FilterKind::kCan); });
        case kCmdSetJ1708Filters:
            return WithSendLock(c, [&] { return AddFilters_sendLocked(c, data, size, FilterKind::kJ1708); });
        case kCmdGenericDriverCommand: return kRp1210Ok;
        case kCmdSetJ1708Mode: return SetJ1708Mode(c, data, size);
        case kCmdEchoTransmittedMessages:
            if (size < 1 || data == nullptr) return kErrInvalidCommand;
            c->echoOn.store(On(data[0]));
            EmptyRing(c);  // what is in it was stored for the other setting
            return kRp1210Ok;
        case kCmdSetAllFiltersToDiscard: return WithSendLock(c, [&] { return DiscardAll_sendLocked(c); });
        case kCmdSetMessageReceive:
            if (size < 1 || data == nullptr) return kErrInvalidCommand;
            c->receiveOn.store(On(data[0]));
            return kRp1210Ok;
        case kCmdProtectJ1939Address: return ProtectAddress(c, data, size);
        default: return kErrCommandNotSupported;  // 1, 2, 6, 8-13 and every number outside 0..19
    }
}
