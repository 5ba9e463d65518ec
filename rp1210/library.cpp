// The library's context: the client table, the connection list as calls
// and callbacks find it, and the counters (lifetimes and locks: library.h).
#include "rp1210/library.h"

namespace {

// The context's own locks come from the platform directly: a test that
// fails object creation in turn counts what a connect makes, not these.
// They go when the library is unloaded with nothing open; a process that
// ends with connections open keeps them (its threads may still run).
struct LibraryHolder {
    Library library{};
    LibraryHolder() {
        OsHooks platform = OsPlatformHooks();
        library.tableLock = platform.createMutex();
        library.openLock = platform.createMutex();
        library.connectionsLock = platform.createMutex();
        library.claimsLock = platform.createMutex();
    }
    ~LibraryHolder() {
        if (library.connections != nullptr || library.parked != nullptr) return;
        for (OsMutex* lock : {library.tableLock, library.openLock, library.connectionsLock, library.claimsLock}) {
            OsDestroyMutex(lock);
        }
    }
};

}  // namespace

Library& Lib() {
    static LibraryHolder holder;
    return holder.library;
}

// ---- The client table (tableLock) --------------------------------------------------

ClientRecord* AcquireClient(int16_t clientId) {
    if (clientId < 1 || clientId > kClientSlots) return nullptr;
    OsMutexGuard table(Lib().tableLock);
    ClientRecord* c = Lib().clients[clientId - 1];
    if (c != nullptr) c->refs.fetch_add(1);
    return c;
}

void ReleaseClient(ClientRecord* client) {
    if (client != nullptr) client->refs.fetch_sub(1);
}

int AcquireClientsOf(const DeviceConnection* connection, ClientRecord* clients[kClientSlots]) {
    OsMutexGuard table(Lib().tableLock);
    int count = 0;
    for (ClientRecord* c : Lib().clients) {
        if (c != nullptr && c->connection == connection) {
            c->refs.fetch_add(1);
            clients[count++] = c;
        }
    }
    return count;
}

int ConnectedClientCount() {
    OsMutexGuard table(Lib().tableLock);
    int count = 0;
    for (ClientRecord* c : Lib().clients) count += c != nullptr ? 1 : 0;
    return count;
}

int ClientsOfKindCount(int32_t kind, int16_t deviceId) {
    OsMutexGuard table(Lib().tableLock);
    int count = 0;
    for (ClientRecord* c : Lib().clients) {
        if (c != nullptr && c->plan.kind == kind && c->config.deviceId == deviceId) ++count;
    }
    return count;
}

int16_t InsertClient(ClientRecord* c) {
    OsMutexGuard table(Lib().tableLock);
    for (int slot = 0; slot < kClientSlots; ++slot) {
        if (Lib().clients[slot] == nullptr) {
            c->id = static_cast<int16_t>(slot + 1);
            c->refs.store(1);  // the table's
            Lib().clients[slot] = c;
            return c->id;
        }
    }
    return 0;
}

ClientRecord* TakeOutClient(int16_t clientId) {
    if (clientId < 1 || clientId > kClientSlots) return nullptr;
    OsMutexGuard table(Lib().tableLock);
    ClientRecord* c = Lib().clients[clientId - 1];
    Lib().clients[clientId - 1] = nullptr;
    return c;
}

bool TakeOutHeldClient(ClientRecord* c) {
    OsMutexGuard table(Lib().tableLock);
    if (Lib().clients[c->id - 1] != c) return false;
    Lib().clients[c->id - 1] = nullptr;
    return true;
}

// ---- Connections as calls and callbacks find them (connectionsLock) ------------------

DeviceConnection* PinListedConnection(const void* owner) {
    if (owner == nullptr) return nullptr;
    OsMutexGuard list(Lib().connectionsLock);
    ConnectionList* connections = Lib().connections;
    for (DeviceConnection* c = connections != nullptr ? connections->first : nullptr; c != nullptr; c = c->next) {
        if (c == owner) {
            if (c->clientCount <= 0) return nullptr;
            c->pins.fetch_add(1);
            return c;
        }
    }
    return nullptr;
}

DeviceConnection* PinClientConnection(ClientRecord* client) {
    OsMutexGuard list(Lib().connectionsLock);
    DeviceConnection* c = client->connection;
    if (c != nullptr) c->pins.fetch_add(1);
    return c;
}

void UnpinConnection(DeviceConnection* connection) {
    if (connection != nullptr) connection->pins.fetch_sub(1);
}

DeviceConnection* SwapClientConnection(ClientRecord* client, DeviceConnection* connection) {
    OsMutexGuard list(Lib().connectionsLock);
    return client->connection.exchange(connection);
}

int ConnectionClientCount(DeviceConnection* connection) {
    OsMutexGuard list(Lib().connectionsLock);
    return connection->clientCount;
}

// ---- Counters ------------------------------------------------------------------------

uint16_t NextSequence() {
    std::atomic<uint8_t>& sequence = Lib().sequence;
    uint8_t current = sequence.load();
    uint8_t next;
    do {
        next = current >= 126 ? 1 : static_cast<uint8_t>(current + 1);
    } while (!sequence.compare_exchange_weak(current, next));
    return next;
}

uint32_t NextSerial() { return Lib().serial.fetch_add(1) + 1; }
