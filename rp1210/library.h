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
// Locks, in the order they may be taken (a lock is never taken while a lock
// further down the list is held):
//   sendLock (per client)
//   open lock (process-wide: opening, sharing and releasing connections)
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
    std::atomic<int32_t> lastTxStatus;
    int32_t ringOverflow;  // under ringLock
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
