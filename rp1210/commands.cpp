// RP1210_SendCommand: the command table.
//
// Lock order (library.h): a command that changes what the adapter lets in
// (filters, pass-all, discard), re-opens (J1708 mode) or claims takes the
// client's sendLock first, so that a re-open of the connection, which
// restores every client's receive paths and claims, never runs beside it;
// then the claim locks for address protection, and the leaves (filterLock,
// ringLock) for its own settings; adapter calls go through the connection
// layer with AdapterCallLock.
#include "rp1210/commands.h"

#include "rp1210/claim.h"
#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "rp1210/monitor.h"
#include "rp1210/receive.h"
#include "rp1210/ring.h"
#include "rp1210/rp1210_defs.h"

#include <cstring>

namespace {

constexpr unsigned kSendLockWait = 1000;

// Runs `body` holding the client's sendLock (142 when it cannot be had).
template <class Body>
int16_t WithSendLock(ClientRecord* c, Body body) {
    if (!OsLockMutex(c->sendLock, kSendLockWait)) return kErrHardwareNotResponding;
    int16_t result = body();
    OsUnlockMutex(c->sendLock);
    return result;
}

int FilterCount(ClientRecord* c) {
    OsLockMutex(c->filterLock, kOsWaitForever);
    int count = 0;
    for (FilterEntry* f = c->filters->first; f != nullptr; f = f->next) ++count;
    OsUnlockMutex(c->filterLock);
    return count;
}

bool On(uint8_t byte) { return byte == 1 || byte == '1'; }

void EmptyRing(ClientRecord* c) {
    OsLockMutex(c->ringLock, kOsWaitForever);
    RingEmpty_locked(c);
    c->ringOverflow = 0;
    OsUnlockMutex(c->ringLock);
}

void FreeFilters(ClientRecord* c) {
    OsLockMutex(c->filterLock, kOsWaitForever);
    FilterEntry* entry = c->filters->first;
    c->filters->first = nullptr;
    OsUnlockMutex(c->filterLock);
    while (entry != nullptr) {
        FilterEntry* next = entry->next;
        OsFree(entry);
        entry = next;
    }
}

// Commands 4, 5 and 7: one filter per group of `group` bytes.
int16_t AddFilters(ClientRecord* c, const uint8_t* data, int size, int group) {
    if (size < 0 || size % group != 0 || (size > 0 && data == nullptr)) return kErrInvalidCommand;
    if (FilterCount(c) + size / group > kMaxFilters) return kErrMaxFiltersExceeded;
    c->passAll.store(false);
    for (int at = 0; at < size; at += group) {
        FilterEntry* entry = static_cast<FilterEntry*>(OsAllocate(sizeof(FilterEntry)));
        if (entry == nullptr) return kErrNotEnoughMemory;
        std::memcpy(entry->data, data + at, static_cast<size_t>(group));
        entry->length = static_cast<uint16_t>(group);
        DeviceConnection* connection = PinClientConnection(c);
        int16_t result = connection != nullptr ? AddFilterMailbox(connection, *entry) : kErrHardwareNotResponding;
        UnpinConnection(connection);
        if (result != kRp1210Ok) {
            OsFree(entry);
            return result;  // the groups before it stay
        }
        OsLockMutex(c->filterLock, kOsWaitForever);
        entry->next = c->filters->first;
        c->filters->first = entry;
        OsUnlockMutex(c->filterLock);
    }
    return kRp1210Ok;
}

int16_t ResetDevice(ClientRecord* c) {
    if (ConnectedClientCount() > 1) return kErrMultipleClientsConnected;
    DeviceConnection* connection = PinClientConnection(c);
    if (connection == nullptr) return kErrHardwareNotResponding;
    int16_t result = kErrHardwareNotResponding;
    {
        AdapterCallGuard guard(kAdapterCallWait);
        uint8_t command = 0;
        if (guard.held() &&
            connection->mux.entries.ResetZMX(connection->adapterHandle, reinterpret_cast<ZmxWord>(&command)) == 0) {
            result = kRp1210Ok;
        }
    }
    UnpinConnection(connection);
    return result;
}

int16_t SetJ1708Mode(ClientRecord* c, const uint8_t* data, int size) {
    if (size < 1 || data == nullptr) return kErrInvalidCommand;
    if (KindOf(c->plan) != kKindJ1708) return kErrInvalidProtocol;
    if (J1708ClientCount(c->config.deviceId) > 1) return kErrMultipleClientsConnected;
    if (!OsLockMutex(c->sendLock, kSendLockWait)) return kErrHardwareNotResponding;
    c->config.j1708Mode = (data[0] == 0 || data[0] == '0') ? 1 : 0;
    int16_t result = ReopenClientConnection(c);
    OsUnlockMutex(c->sendLock);
    EmptyRing(c);
    return result;
}

}  // namespace

int16_t ExecuteCommand(int16_t number, ClientRecord* c, const uint8_t* data, int16_t size) {
    if (c->linkLost.load()) return kErrHardwareNotResponding;
    switch (number) {
        case kCmdResetDevice: return ResetDevice(c);
        case kCmdSetAllFiltersToPass:
            return WithSendLock(c, [&] {
                DeviceConnection* connection = PinClientConnection(c);
                int16_t result = connection != nullptr ? OpenAllReceivePaths(connection) : kErrHardwareNotResponding;
                UnpinConnection(connection);
                if (result == kRp1210Ok) c->passAll.store(true);
                return result;
            });
        case kCmdSetJ1939Filters: return WithSendLock(c, [&] { return AddFilters(c, data, size, 7); });
        case kCmdSetCanFilters: return WithSendLock(c, [&] { return AddFilters(c, data, size, 9); });
        case kCmdSetJ1708Filters: return WithSendLock(c, [&] { return AddFilters(c, data, size, 1); });
        case kCmdGenericDriverCommand: return kRp1210Ok;
        case kCmdSetJ1708Mode: return SetJ1708Mode(c, data, size);
        case kCmdEchoTransmittedMessages:
            if (size < 1 || data == nullptr) return kErrInvalidCommand;
            c->echoOn.store(On(data[0]));
            EmptyRing(c);  // what is in it was stored for the other setting
            return kRp1210Ok;
        case kCmdSetAllFiltersToDiscard:
            return WithSendLock(c, [&] {
                // Every client of the connection loses its adapter receive paths.
                DeviceConnection* connection = PinClientConnection(c);
                if (connection != nullptr) UnloadReceivePaths(connection);
                UnpinConnection(connection);
                c->passAll.store(false);
                FreeFilters(c);
                return kRp1210Ok;
            });
        case kCmdSetMessageReceive:
            if (size < 1 || data == nullptr) return kErrInvalidCommand;
            c->receiveOn.store(On(data[0]));
            return kRp1210Ok;
        case kCmdProtectJ1939Address: return ProtectAddress(c, data, size);
        default: return kErrCommandNotSupported;  // 1, 2, 6, 8-13 and every number outside 0..19
    }
}
