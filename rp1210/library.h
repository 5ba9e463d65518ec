// The library's records: clients, connections and what hangs off them.
//
// Lifetimes. A ClientRecord is reachable through ClientTable from the end of
// its connect until its disconnect empties the slot. Every export that finds
// a client takes a reference on it (refs); the teardown empties the slot
// first, wakes every waiter and frees the record only when no reference is
// left, so no call or callback ever reads a freed client. A DeviceConnection
// is listed in ConnectionList while it is open; callbacks and client calls
// pin it (pins) while they use it, and its release frees it only when no pin
// is left. Callbacks find their connection through the list: a mailbox whose
// owner is not listed, or has no clients, is ignored.
//
// Adapter faults. A connection whose adapter stops answering is lost (every
// client's sends, commands and status calls fail with 142, a blocked reader
// gets -162, the requests queued then end with 142); the link monitor opens
// it again in place when the adapter answers again with a timer that went
// back, or, while it stays lost, freshly at most once a second. The record
// stays the same, so every client of a shared connection moves with it; each
// gets back its receive paths and its protected address.
//
// Locks, in the order they may be taken (a lock is never taken while a lock
// further down the list is held):
//   sendLock (per client; a re-open takes those of every client of the
//     connection, lowest client id first)
//   recoverLock (per connection: one re-open at a time)
//   open lock (process-wide: opening, sharing, re-opening and releasing)
//   claim turn (per claim context: one claim at a time)
//   claim list lock, then a claim context's lock
//   queueLock (per connection)
//   AdapterCallLock (process-wide: every call into the multiplexer)
//   table lock, list lock, filterLock, ringLock: leaves, held briefly, no
//   other lock and no multiplexer call inside them.
// Callbacks from the multiplexer never take AdapterCallLock or the open lock.
#pragma once

#include "mux/zmx_records.h"
#include "os/os.h"
#include "rp1210/config.h"
#include "rp1210/mux_binding.h"

#include <atomic>
#include <cstdint>
#include <new>

constexpr int kClientSlots = 16;
constexpr int32_t kDefaultRingSize = 8192;
constexpr int kMessageRoom = 1801;          // largest RP1210 message the library builds
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

struct DeviceConnection;
struct ClaimContext;
struct ClaimEntry;

// One filter of a client (commands 4, 5, 7), newest first.
struct FilterEntry {
    FilterEntry* next;
    uint8_t data[9];
    uint16_t length;  // 7 J1939, 9 CAN, 1 J1708
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

struct ClientRecord;
struct TransmitRequest;

// What a blocking sender waits for: its own request's end. Lives on the
// sender's stack; the request points at it until it is done or the sender
// takes it back (both under queueLock).
struct SendWaiter {
    bool done;
    int32_t status;
};

using RequestCallback = void (*)(ClientRecord* client, TransmitRequest* request);

// One send on a connection's transmit queue (oldest first, under queueLock).
// A queued request is allocated with room for its own message only.
struct TransmitRequest {
    TransmitRequest* next;
    DeviceConnection* connection;
    ClientRecord* client;          // the sender, or the owner of a claim frame
    uint32_t timestamp;            // set at completion from the mailbox
    RequestCallback completion;
    RequestCallback release;
    uint16_t length;
    uint16_t inProgress;
    OsEvent* event;                // the sender's txRelease for blocking sends
    uint16_t done;
    int32_t status;                // 0 sent, 159 not sent, 142 refused
    uint16_t notify;
    uint16_t sequence;
    uint16_t echo;
    uint16_t block;
    uint32_t serial;  // unique per request, for taking one back
    ClaimContext* claim;  // an address claim frame: the context told when it is sent
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
    std::atomic<DeviceConnection*> connection;  // swapped only under the list lock
    std::atomic<ClaimContext*> claimContext;  // set and dropped by command 19 and re-opens (under sendLock)
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

    int16_t id;                // 1..16 once in the table
    std::atomic<int32_t> refs;  // calls working on the record, and the table's own
    // The transmit queue bound: requests not done and their bytes (under
    // the connection's queueLock), and the byte budget.
    int32_t txQueued;
    int32_t txQueuedBytes;
    int32_t txBudget;
    ConnectConfig config;      // what the client connected with; re-opens use it
    ProtocolPlan plan;
};

// Thread states of a connection's transmit thread.
enum TransmitThreadState : int16_t { kThreadRunning = 0, kThreadStopAsked = 1, kThreadStopped = 2 };

struct DeviceConnection {
    ConnectConfig config;
    int16_t clientCount;  // under the list lock
    uint16_t adapterHandle;
    int32_t protocolKind;  // ProtocolKind
    uint8_t receiveBuffer[kReceiveBufferSize];
    TransmitRequest* transmitQueue;  // oldest first, under queueLock
    TransmitRequest* transmitTail;
    MailboxNode* receiveMailboxes;
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
    bool externalDevice;           // "COM" in the device description
    std::atomic<uint32_t> droppedFrames;  // received frames that made no message
    DeviceConnection* next;        // ConnectionList, newest first
    std::atomic<int32_t> pins;     // calls and callbacks working on it

    // Adapter faults (see the top of this file).
    std::atomic<bool> lost;          // the adapter does not answer
    std::atomic<bool> adapterOpen;   // false after a re-open that could not open it
    std::atomic<bool> handleSuspect; // the handle stopped answering: no other connection takes it
    std::atomic<uint32_t> generation;  // re-opens so far
    std::atomic<uint32_t> nextFreshOpen;  // tick before which no fresh open is tried
    std::atomic<uint32_t> retryAt;        // tick before which a failed re-open is not tried again
    OsMutex* recoverLock;
    TransmitRequest* sending;        // the request the thread is handing to the adapter (queueLock)
    // Timestamps stay on one clock across re-opens: a rebooted adapter's
    // timer starts again at 0, so its times get timeBase added, made from
    // the last adapter time seen and the ticks since.
    std::atomic<uint32_t> timeBase;
    std::atomic<uint32_t> lastAdapterTime;
    std::atomic<uint32_t> lastAdapterTick;
    std::atomic<bool> adapterTimeSeen;
};

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
