// The library's records and its one context: the client table, the
// connection list, the claim contexts, AdapterCallLock and the counters.
//
// Lifetimes (written once, here):
// - A ClientRecord is reachable through the client table from the end of
//   its connect until its disconnect empties the slot. Every export that
//   finds a client takes a reference on it (refs); the teardown empties the
//   slot first, wakes every waiter and frees the record only when no
//   reference is left, so no call or callback reads a freed client.
// - A DeviceConnection is listed while it is open; calls and callbacks pin
//   it (pins) while they use it, and its release frees it only when no pin
//   is left, its transmit thread has stopped and no mailbox of the adapter
//   can still fill its buffer; otherwise it is parked and tried again at the
//   next open or release. Callbacks find their connection through the list:
//   a mailbox whose owner is not listed, or has no clients, is ignored. A
//   re-open keeps the record (its clients move with it).
// - The connection list (a record, as the connect's allocations count) and
//   AdapterCallLock live from the first open connection to the last one, or
//   the last parked one.
// - A ClaimContext lives while a client of its connection protects an
//   address (users); see claim.h.
// - A TransmitRequest belongs to its connection's queue from QueueRequest to
//   the purge after it is done; see transmit.h.
//
// Locks, in the order they may be taken (a lock is never taken while a lock
// further down the list is held), each named for what it guards:
//   sendLock         per client: its sends, claims and receive-path commands;
//                    a re-open takes those of every client of the connection,
//                    lowest client id first
//   recoverLock      per connection: one re-open at a time
//   openLock         process-wide: opening, sharing, re-opening, releasing
//   claim turn       per claim context: one claim at a time
//   claimsLock       process-wide: the claim contexts and their users
//   context lock     per claim context: its entries and pending claim
//   queueLock        per connection: the transmit queue, its requests' flags
//                    and the queue bound of its clients
//   AdapterCallLock  process-wide: every call into the multiplexer
//   tableLock, connectionsLock, filterLock, ringLock: leaves, held briefly,
//                    no other lock and no multiplexer call inside them.
// Callbacks from the multiplexer never take AdapterCallLock or openLock. A
// function that expects a lock held says which in its name's suffix
// (Purge_queueLocked, Find_claimsLocked). Every lock is the OS layer's
// mutex, taken through OsMutexGuard where a scope holds it.
#pragma once

#include "mux/zmx_entries.h"
#include "mux/zmx_records.h"
#include "os/os.h"
#include "rp1210/config.h"

#include <atomic>
#include <cstdint>
#include <new>

constexpr int kClientSlots = 16;
constexpr int32_t kDefaultRingSize = 8192;
constexpr int kMessageRoom = 1801;             // largest RP1210 message the library builds
constexpr uint32_t kReceiveBufferSize = 2048;  // the data area of a connection's receive mailboxes
constexpr unsigned kThreadStack = 16384;

// A client's transmit queue holds at most this many requests not yet done,
// and at most its byte budget of message bytes: txBufferSize of the connect,
// or kDefaultTxBudget when that is 0 or less, never less than one largest
// message. Beyond either a send answers 137.
constexpr int32_t kMaxQueuedRequests = 1024;
constexpr int32_t kDefaultTxBudget = 65536;
constexpr int32_t kLargestMessage = 1791;
// Filters a client may hold (commands 4, 5, 7); beyond that 161.
constexpr int kMaxFilters = 256;

// The multiplexer "ZMXMRP32.DLL" as one connection binds it (mux_binding.h).
using MuxInitZmxFn = int32_t(HV_CALL*)(uint16_t* handle, int16_t adapterNumber);
using MuxRestoreZmxFn = int32_t(HV_CALL*)(uint16_t handle);
using MuxNameFn = int32_t(HV_CALL*)(const char* name);

struct MuxEntries {
    MuxInitZmxFn InitZMX;
    MuxRestoreZmxFn RestoreZMX;
    ZmxEntryW1 InitDataLink;
    ZmxEntryW1 CheckDataLink;
    ZmxEntryWSS LoadZMXBuffer;  // bound, never called
    ZmxEntryWSS ReadZMXBuffer;  // bound, never called
    ZmxEntryW1 LoadMailBox;
    ZmxEntryW1 UnloadMailBox;
    ZmxEntryW1 TransmitMailBoxAsync;  // bound, never called
    ZmxEntryW1 TransmitMailBox;       // bound, never called
    ZmxEntryWB UpdateTransmitMailBox;
    ZmxEntryW1 RequestTimerValue;
    ZmxEntryWB UpdateTransmitMailBoxAsync;
    ZmxEntryW1 ConfigureTransportProtocol;
    ZmxEntryW1 ResetZMX;
    MuxNameFn names[kZmxNameEntryCount];  // the entries that name a transport library (ZMX_NAME_ENTRIES)
    MuxNameFn SetINIFile;
};

struct MuxBinding {
    OsLibrary* module;
    MuxEntries entries;
};

struct DeviceConnection;
struct ClaimContext;
struct ClaimEntry;
struct ClientRecord;
struct TransmitRequest;

// The kinds of filter, chosen by the command that adds one.
enum class FilterKind : uint8_t { kJ1939 = 4, kCan = 5, kJ1708 = 7 };

// One filter of a client (commands 4, 5, 7), newest first.
struct FilterEntry {
    FilterEntry* next;
    uint8_t data[9];  // the command's bytes for one filter
    FilterKind kind;
};

struct FilterList {
    FilterEntry* first;
};

// A mailbox the library loaded, with what it was loaded for (a receive
// mailbox's identifier field is rewritten by every delivery).
struct MailboxNode {
    MailboxNode* next;
    Mailbox* mailbox;
    uint8_t linkCode;
    uint8_t width;
    uint32_t identifier;
    uint32_t mask;
    uint8_t destination;
};

// What a blocking sender waits for: its own request's end. Lives on the
// sender's stack; the request points at it until it is done or the sender
// takes it back (both under queueLock).
struct SendWaiter {
    bool done;
    int32_t status;
};

using RequestCallback = void (*)(ClientRecord* client, TransmitRequest* request);

// Sees every RP1210 message of a connection before its clients do (the J1939
// address-claim bookkeeping, which sets it when the connection gets its
// first claim context). On the adapter's thread.
using FrameObserver = void (*)(DeviceConnection* connection, const uint8_t* message, int length);

// One send on a connection's transmit queue (oldest first, under queueLock).
// A queued request is allocated with room for its own message only.
struct TransmitRequest {
    TransmitRequest* next;
    DeviceConnection* connection;
    ClientRecord* client;          // the sender, or the owner of a claim frame
    uint32_t timestamp;            // set at completion from the mailbox
    RequestCallback completion;    // when it ends (any status)
    RequestCallback release;       // when it becomes the next to go
    uint16_t length;
    uint16_t inProgress;
    OsEvent* event;                // the sender's txRelease for blocking sends
    uint16_t done;
    int32_t status;                // 0 sent, 159 not sent, 142 refused
    uint16_t notify;
    uint16_t sequence;
    uint16_t echo;
    uint16_t block;
    uint32_t serial;      // unique per request, for taking one back
    void* tag;            // the completion's own reference (a claim frame's context); see ForgetTag
    uint16_t claimFrame;  // sent through the claim transmit mailbox on older adapters
    uint16_t counted;     // counted in its client's transmit queue bound
    uint32_t sentAt;      // tick when it went to the adapter (in progress)
    SendWaiter* waiter;   // the blocking sender waiting for it, or null
    uint8_t message[kMessageRoom];  // the client's bytes as passed (length of them)
};

struct ClientRecord {
    void* window;
    uint8_t* ringBase;
    int32_t ringSize;
    int32_t ringRead;   // offsets into the ring, under ringLock
    int32_t ringWrite;
    uint16_t dataMessageId;
    uint16_t statusMessageId;
    std::atomic<DeviceConnection*> connection;  // swapped only under connectionsLock
    std::atomic<ClaimContext*> claimContext;  // set and dropped under sendLock (command 19, re-opens)
    std::atomic<ClaimEntry*> claimEntry;  // whether it has an entry; found by address and NAME, never followed
    uint8_t claimAddress;
    uint8_t claimName[8];
    std::atomic<bool> reclaimPending;  // a re-open let the held address go: claim it again
    std::atomic<int32_t> lastTxStatus;
    int32_t ringOverflow;  // under ringLock
    std::atomic<int32_t> readersWaiting;  // blocked RP1210_ReadMessage calls
    std::atomic<bool> closing;
    std::atomic<bool> echoOn;
    std::atomic<bool> receiveOn;
    std::atomic<bool> passAll;
    std::atomic<bool> protectOn;
    std::atomic<bool> addressHeld;
    FilterList* filters;
    std::atomic<bool> monitorRunning;
    std::atomic<uint32_t> lastActivity;
    std::atomic<uint32_t> lastTimerValue;
    std::atomic<bool> linkLost;
    std::atomic<bool> statusChange;
    OsMutex* filterLock;
    OsMutex* ringLock;
    OsEvent* txDone;
    OsEvent* txRelease;
    OsEvent* dataReady;
    OsThread* monitorThread;
    OsMutex* sendLock;
    uint32_t monitorThreadId;

    int16_t id;                 // 1..16 once in the table
    std::atomic<int32_t> refs;  // calls working on the record, and the table's own
    // The transmit queue bound: requests not done and their bytes (under
    // the connection's queueLock), and the byte budget.
    int32_t txQueued;
    int32_t txQueuedBytes;
    int32_t txBudget;
    ConnectConfig config;  // what the client connected with; re-opens use it
    ProtocolPlan plan;
};

// Thread states of a connection's transmit thread.
enum TransmitThreadState : int16_t { kThreadRunning = 0, kThreadStopAsked = 1, kThreadStopped = 2 };

struct DeviceConnection {
    ConnectConfig config;
    int16_t clientCount;  // under connectionsLock
    uint16_t adapterHandle;
    int32_t protocolKind;  // ProtocolKind
    uint8_t linkCode;      // the data link's LinkCode (DataLinkSetup byte 0)
    uint8_t receiveBuffer[kReceiveBufferSize];
    TransmitRequest* transmitQueue;  // oldest first, under queueLock
    TransmitRequest* transmitTail;
    TransmitRequest* sending;        // the request the thread is handing to the adapter (queueLock)
    MailboxNode* receiveMailboxes;   // these four change only with a multiplexer call: AdapterCallLock
    MailboxNode* claimMailboxes;
    Mailbox* broadcastMailbox;
    Mailbox* txMailboxMain;
    Mailbox* txMailboxStandard;
    Mailbox* txMailboxClaim;
    MuxBinding mux;
    int16_t largeBuffers;
    int16_t noTimestamp;
    OsMutex* queueLock;
    OsThread* transmitThread;
    uint32_t transmitThreadId;
    OsEvent* wakeEvent;
    std::atomic<int16_t> threadState;
    int32_t adapterType;

    ProtocolPlan plan;
    bool externalDevice;                  // "COM" in the device description
    std::atomic<uint32_t> droppedFrames;  // received frames that made no message
    DeviceConnection* next;               // the connection list (newest first), or the parked ones
    std::atomic<int32_t> pins;            // calls and callbacks working on it

    // Adapter faults (monitor.h).
    std::atomic<bool> lost;               // the adapter does not answer
    std::atomic<bool> adapterOpen;        // false after a re-open that could not open it
    std::atomic<bool> handleSuspect;      // the handle stopped answering: no other connection takes it
    std::atomic<uint32_t> generation;     // re-opens so far
    std::atomic<uint32_t> nextFreshOpen;  // tick before which no fresh open is tried
    std::atomic<uint32_t> retryAt;        // tick before which a failed re-open is not tried again
    OsMutex* recoverLock;
    // Timestamps stay on one clock across re-opens: a rebooted adapter's
    // timer starts again at 0, so its times get timeBase added, made from
    // the last adapter time seen and the ticks since.
    std::atomic<uint32_t> timeBase;
    std::atomic<uint32_t> lastAdapterTime;
    std::atomic<uint32_t> lastAdapterTick;
    std::atomic<bool> adapterTimeSeen;

    std::atomic<FrameObserver> observer;  // set once, never cleared (it finds its own state)
};

struct ConnectionList {
    DeviceConnection* first;
};

// The library's process-wide state. Its own locks exist for the life of
// the process (made by the platform, not through the replaceable table).
struct Library {
    OsMutex* tableLock;
    ClientRecord* clients[kClientSlots];  // slot n holds client id n + 1

    OsMutex* openLock;
    OsMutex* connectionsLock;  // the list, share counts, clients' connection fields
    ConnectionList* connections;  // under both locks to change, either to read
    DeviceConnection* parked;     // under openLock

    std::atomic<OsMutex*> adapterCallLock;  // made and destroyed under openLock

    OsMutex* claimsLock;
    ClaimContext* claims;  // under claimsLock

    std::atomic<uint8_t> sequence;  // the last sequence number handed out (1..126)
    std::atomic<uint32_t> serial;   // the last request serial handed out
    std::atomic<int16_t> heartbeat;  // [Heartbeat] "HeartbeatFlag" of the last connect that read it
};

Library& Lib();

// ---- The client table --------------------------------------------------------

// The client with this id, with a reference taken, or nullptr (ids outside
// 1..16, empty slots).
ClientRecord* AcquireClient(int16_t clientId);
// Returns a reference.
void ReleaseClient(ClientRecord* client);
// The clients whose connection is `connection`, lowest id first, each with a
// reference (at most 16); returns how many.
int AcquireClientsOf(const DeviceConnection* connection, ClientRecord* clients[kClientSlots]);
// The number of clients in the table, and of those of protocol `kind` on
// device `deviceId`.
int ConnectedClientCount();
int ClientsOfKindCount(int32_t kind, int16_t deviceId);
// Puts the client in the lowest empty slot (its id set, the table's
// reference taken): the id, or 0 when the table is full.
int16_t InsertClient(ClientRecord* client);
// Empties the slot of `clientId` (no call finds the client from then on):
// the client that was there, or nullptr.
ClientRecord* TakeOutClient(int16_t clientId);
// The same for a client the caller holds; false when another thread's
// disconnect took it out first.
bool TakeOutHeldClient(ClientRecord* client);

// ---- Connections as calls and callbacks find them ---------------------------------

// The listed connection at `owner` (a mailbox's owner field) when it has
// clients, pinned; nullptr otherwise. Every pin is returned with
// UnpinConnection.
DeviceConnection* PinListedConnection(const void* owner);
// The client's connection, pinned, or nullptr while it has none.
DeviceConnection* PinClientConnection(ClientRecord* client);
void UnpinConnection(DeviceConnection* connection);
// Puts `connection` in the client's place; returns the one it replaces.
DeviceConnection* SwapClientConnection(ClientRecord* client, DeviceConnection* connection);
// The number of clients sharing the connection.
int ConnectionClientCount(DeviceConnection* connection);

// ---- Counters -------------------------------------------------------------------

// The next sequence number, 1..126 and round again; shared by every sender.
uint16_t NextSequence();
// A serial unique among requests.
uint32_t NextSerial();

// Zero-filled records from the OS layer's allocator (which tests can make
// fail), and their release. Records with atomics are constructed in place.
template <class T>
T* NewRecord() {
    void* block = OsAllocate(sizeof(T));
    return block != nullptr ? new (block) T() : nullptr;
}
template <class T>
void FreeRecord(T* record) {
    if (record == nullptr) return;
    record->~T();
    OsFree(record);
}
