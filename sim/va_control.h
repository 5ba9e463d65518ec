// The virtual adapter's control interface: what tests and demos use to drive
// the simulated adapters and buses of one virtual adapter module.
//
// The virtual adapter is a transport library (test equipment) installed under
// every transport file name the multiplexer loads (ZMXS32.DLL, ZMXSRP32.DLL,
// ZMXT32.DLL, ...). Each loaded file is one module instance with its own state:
// its own adapters, one simulated bus per link code shared by those adapters,
// its own adapter thread, transmitted log, counters and controls. The control
// functions below are exported by every copy next to the transport entries;
// they act on the module instance they are called in.
//
// Contract of the transport side, in short (details at each function):
// - Open entries give adapter ids 1..511 (bits 0-8 of the handle word; the
//   other bits are kept). Forwarded entries take that id; any other value is
//   an unknown adapter (kVaErrUnknownAdapter).
// - Callbacks (mailbox callbacks, data-link error callbacks) run only on the
//   module's adapter thread, one at a time, never on a caller's thread and
//   never while the module's lock is held: a callback may call every entry,
//   including UnloadMailBox of its own mailbox.
// - A silent module (VaSetSilent) answers kVaErrSilent on every forwarded
//   entry except UnloadMailBox and delivers no frames; opens and restores
//   still work.
// - Power (VaSetPower): an adapter without power answers like a silent one,
//   hears nothing, and its completions and data-link errors are lost. When
//   power returns it answers as a rebooted adapter: timer from 0, no data
//   link, and the mailboxes loaded before are dead (never delivered to,
//   transmitting through them answers kVaErrUnknownMailbox, unloading them
//   works). A TCP/IP adapter's power is its connection: when it breaks (the
//   server drops it, or the power goes) the adapter is silent, and the link
//   connects again by itself, first after 500 ms and then every second,
//   coming back rebooted.
// - LoadMailBox needs InitDataLink for the setup's link code first
//   (kVaErrNoDataLink). Widths: 11 or 29 on link codes 3 and 7, 24 on 2
//   (J1850), 0 on 1 (J1708). The Mailbox gets link code, width, identifier
//   (acceptance code), destination (0x0a = setup 0x0d), mask (0x0b), owner
//   (0x841 = setup 0x36); the created Mailbox is returned at setup 0x01.
//
// Delivery (on the adapter thread, in the order frames reached the bus):
// - a receive mailbox takes a frame of its own link code (3 and 7 are two
//   buses) and width whose identifier matches the acceptance code where the
//   mask, cut to the width, has bits set (mask 0 accepts all); an adapter
//   puts each frame into one mailbox per owner (MailboxSetup 0x36): the
//   first, in load order, that accepts it, as a hardware mailbox bank does;
// - single frames go to mailboxes of frame kind 0 or 1; reassembled J1939
//   transport messages to kind 2 when their destination is 0xFF, and to kinds
//   4 and 6 whose destination byte equals theirs; J1708 messages to every
//   link-code-1 mailbox;
// - before the callback: identifier (0x06; J1850: 24 bits in 0x06-0x08),
//   width (0x02), destination (0x0a, transport messages only), receive time
//   (0x1b, adapter timer ms), data (0x83d) copied into the setup's buffer
//   (setup data, cut to setup dataLength) or, without one, the mailbox's own
//   4096-byte area, and its length (0x29). J1708: 0x833 = MID, 0x834 = the
//   first byte after it, data = the bytes after those two.
// - The receive mailbox's identifier field is rewritten by every delivery:
//   keep the acceptance code elsewhere when it is needed later.
//
// Transmitting: UpdateTransmitMailBox(Async) and TransmitMailBox(Async) send
// what a persistent transmit mailbox holds (0x06, 0x29, 0x83d; J1708 header
// 0x832-0x834: priority, MID, second byte); a one-shot transmit setup
// (0x07 = 1) sends its own frame at LoadMailBox (0x09, 0x0d, 0x3a, 0x3c,
// J1708 0x25-0x27; kind 2 goes to destination 0xFF, kind 4 to 0x0d) and is
// freed by the adapter after its callback. Every transmission is logged
// (VaTakeTransmitted), reaches the other adapters of the module on the same
// link code (never the sender), and completes with the mailbox callback on
// the adapter thread, transmitTime (0x1f) set. No entry waits for a callback.
//
// Script file: at the first open of a module, "<file name>.SCRIPT" beside it
// (else "VADAPTER.SCRIPT" there) is read, one key=value per line:
// replay=PATH (relative to the script's folder), speed=N, loop=0|1,
// j1708=MS (1 means 100 ms), description=TEXT. For programs that load the
// adapter in a process the tests cannot call into.
//
// Results: entries answer 0 or a VaResult code; the functions that count
// answer the count, or -1 where stated.
#pragma once

#include "mux/adapter_config.h"
#include "mux/zmx_records.h"

#include <cstdint>

// Results of the virtual adapter (transport results the multiplexer passes on).
enum VaResult : int32_t {
    kVaOk = 0,
    kVaBusy = 10,                  // only when forced by VaFailLoads(n, 10)
    kVaErrUnknownAdapter = 60,     // no open adapter has this id
    kVaErrNullPointer = 61,        // a required pointer was null
    kVaErrBadParameter = 62,       // link code, width, frame kind, length or name not valid
    kVaErrUnknownMailbox = 63,     // not a live mailbox of this adapter
    kVaErrNoFreeId = 64,           // all 511 adapter ids are in use
    kVaErrNoDataLink = 65,         // LoadMailBox for a link code without InitDataLink
    kVaErrSilent = 66,             // the module is silent (VaSetSilent)
    kVaErrWrongLink = 67,          // restore entry of another link kind than the open
    kVaErrWrongDirection = 68,     // transmit on a receive or one-shot mailbox
    kVaErrCallbackRunning = 69,    // unload/restore: a callback did not end within 10 s
    kVaErrNoFile = 70,             // replay: file missing or without frames
    kVaErrNotRunning = 71,         // no adapter open (no adapter thread)
    kVaErrNoMemory = 72,           // allocation or thread creation failed
    kVaErrTimeout = 73,            // VaWaitIdle: not idle in time
    kVaErrOnAdapterThread = 74,    // VaWaitIdle called from a callback
    kVaErrNoConnection = 75,       // TCP/IP open: the bus server cannot be reached or refuses the bus
};

// The open entry an adapter was opened with.
enum VaOpenEntry : uint8_t {
    kVaOpenCommLink = 1,
    kVaOpenPCCard = 2,
    kVaOpenTcpIp = 3,
    kVaOpenTcpIpListen = 4,
    kVaOpenUsbLink = 5,
};

// Largest frame data the module carries (J1939 transport messages are at most
// 1785 bytes; J1708 messages fit easily).
constexpr uint32_t kVaMaxData = 2048;
// Frames heard and not yet delivered that the adapter keeps; more are
// dropped (counted: VaDeliveryQueue), as an adapter's full receive buffer does.
constexpr uint32_t kVaDeliveryQueueLimit = 65536;

// One frame put on a simulated bus by an adapter (the transmitted log).
struct VaFrame {
    uint16_t adapterId;       // the sending adapter
    uint8_t linkCode;         // LinkCode
    uint8_t identifierWidth;  // 29, 11, 24 (J1850), 0 (J1708)
    uint8_t frameKind;        // mailbox frame kind: 1 single, 2 broadcast, 4 connection transport; 0 J1708
    uint8_t destination;      // J1939 transport destination (0xFF broadcast); 0 for single frames
    uint8_t priority;         // J1708 priority (header byte 0x832, or 0x25 of a one-shot setup)
    uint8_t flags;            // flags byte of UpdateTransmitMailBox(Async); 0 otherwise
    uint8_t oneShot;          // 1 when sent by a one-shot mailbox
    uint8_t reserved[3];
    uint32_t identifier;      // frame identifier within its width; 0 for J1708
    uint32_t time;            // the sender's adapter timer (ms) when the frame went out
    uint32_t length;          // bytes in data
    uint8_t data[kVaMaxData]; // J1708: MID, second byte, then the rest
};

// One call of an entry, as the call log keeps it.
struct VaCall {
    char entry[32];         // the entry's name
    uint16_t adapterId;     // forwarded entries and restores: the id passed; opens: 0
    uint8_t flags;          // UpdateTransmitMailBox(Async): the flags byte
    uint8_t forced;         // 1 when VaFailEntry refused the call
    int32_t result;
    uint32_t recordLength;  // bytes in record
    // The record passed, copied before the call: DataLinkSetup (InitDataLink),
    // TransportSetup (ConfigureTransportProtocol), MailboxSetup (LoadMailBox),
    // the command byte (ResetZMX); nothing for other entries or a null pointer.
    uint8_t record[96];
};

// What VaDeliverRaw puts in a receive mailbox before its callback: every
// field the library reads, as given (the data length too, even beyond the
// buffer: the library must not believe it).
struct VaDelivery {
    uint8_t linkCode;         // 0: the mailbox's own
    uint8_t identifierWidth;  // 0x02
    uint8_t destination;      // 0x0a
    uint8_t j1708Mid;         // 0x833
    uint8_t j1708First;       // 0x834
    uint8_t reserved[3];
    uint32_t identifier;      // 0x06
    uint32_t receiveTime;     // 0x1b
    uint16_t dataLength;      // 0x29, as reported
    uint16_t bytes;           // data bytes copied into the mailbox's buffer (cut to its size)
    uint8_t data[2048];
};

// One open adapter.
struct VaAdapterInfo {
    uint16_t id;
    uint8_t openEntry;             // VaOpenEntry
    uint8_t answers;               // 1 when powered, its handle not gone and its connection (TCP/IP) up
    uint32_t dataLinkMask;         // bit n set: InitDataLink done for link code n
    uint8_t dataLinkSetup[8][6];   // per link code: the first 6 bytes of its DataLinkSetup
    uint32_t baudRate;             // last SetBaudRate value (0 when none)
    uint32_t mailboxes;            // live mailboxes
    uint32_t transportSetups;      // ConfigureTransportProtocol calls
    TransportSetup transportSetup; // the last one
    LinkParams params;             // copy of the block handed to the open entry
    uint32_t boots;                // reboots since the open (power returns, connections made again)
};

// One live mailbox, as loaded.
struct VaMailboxInfo {
    Mailbox* mailbox;
    void* owner;              // MailboxSetup 0x36
    uint16_t adapterId;
    uint8_t linkCode;
    uint8_t direction;        // 0 receive, 1 transmit
    uint8_t frameKind;
    uint8_t oneShot;
    uint8_t identifierWidth;
    uint8_t destination;      // MailboxSetup 0x0d
    uint32_t identifier;      // acceptance code (receive) or frame identifier (transmit)
    uint32_t mask;            // acceptance mask
    uint32_t bufferSize;      // receive: size of the area frames are copied into
    uint16_t sizeLimit;       // MailboxSetup 0x2b when 0x2a is set, else 0
    uint8_t hasCallback;
    uint8_t stale;            // 1 when loaded before the adapter rebooted (dead)
};

extern "C" {

// Puts a single frame on the bus of `linkCode` (3 or 7 CAN/J1939 with width 11
// or 29 and at most 8 bytes; 2 J1850 with width 24), as received by adapter
// `adapterId`, or by every open adapter when it is 0. Delivered on the adapter
// thread to the receive mailboxes that accept it.
int32_t HV_CALL VaInjectFrame(uint16_t adapterId, uint8_t linkCode, uint8_t identifierWidth,
                               uint32_t identifier, const uint8_t* data, uint32_t length);

// Puts a reassembled J1939 transport message (9..1785 bytes, 29-bit
// identifier) on the bus of `linkCode` (3 or 7). Destination 0xFF reaches
// broadcast (kind 2) mailboxes; any other reaches kind 4 and 6 mailboxes whose
// destination byte equals it.
int32_t HV_CALL VaInjectTransport(uint16_t adapterId, uint8_t linkCode, uint32_t identifier,
                                   uint8_t destination, const uint8_t* data, uint32_t length);

// Puts a J1708 message (MID first, then its bytes; 1..kVaMaxData bytes) on
// the J1708 bus (link code 1).
int32_t HV_CALL VaInjectJ1708(uint16_t adapterId, const uint8_t* message, uint32_t length);

// A burst: `count` single frames (as VaInjectFrame, link codes 3 and 7) one
// after the other in one work item; with 4 or more data bytes, bytes 0-3
// carry a counter (least significant first) from `counterStart` up.
int32_t HV_CALL VaInjectBurst(uint16_t adapterId, uint8_t linkCode, uint8_t identifierWidth, uint32_t identifier,
                              const uint8_t* data, uint32_t length, uint32_t count, uint32_t counterStart);

// Fills the live receive mailbox `mailbox` with `delivery` and runs its
// callback on the adapter thread (in turn with other work).
int32_t HV_CALL VaDeliverRaw(Mailbox* mailbox, const VaDelivery* delivery);

// Transmit completions: 1 keeps them back from now on (the requests stay on
// the wire); 0 lets the kept ones run and keeps no more; -1 drops the kept
// ones and keeps no more. Returns how many were kept (0 for hold 1).
int32_t HV_CALL VaHoldCompletions(int32_t hold);

// Copies out up to `capacity` transmitted frames, oldest first, and removes
// them from the log. With `frames` null: the number waiting, nothing removed.
// The log keeps the newest 20000 frames.
int32_t HV_CALL VaTakeTransmitted(VaFrame* frames, uint32_t capacity);

// The next `count` LoadMailBox calls (of any adapter of the module) answer
// `result` (10: busy) and create nothing. 0 ends it.
int32_t HV_CALL VaFailLoads(uint32_t count, int32_t result);

// Calls the data-link error callback of adapter `adapterId` for `linkCode`
// (0: of every data link of the adapter) on the adapter thread, with
// `mailbox` (null, or a live mailbox of the module: if it is unloaded before
// the call, the call is dropped) and `value`.
int32_t HV_CALL VaRaiseDataLinkError(uint16_t adapterId, uint8_t linkCode, Mailbox* mailbox,
                                      ZmxWord value);

// Copies out up to `capacity` logged calls of every entry (open, restore and
// forwarded), oldest first, and removes them from the log. With `calls`
// null: the number waiting. The log keeps the newest 20000 calls.
int32_t HV_CALL VaTakeCalls(VaCall* calls, uint32_t capacity);

// Refuses calls of the entry `entryName` (exact name): after `skip` more
// calls have passed, the next `count` calls answer `result` at once and do
// nothing (they are counted and logged, marked forced). A null name ends
// every refusal. kVaErrBadParameter for a name that is not an entry.
int32_t HV_CALL VaFailEntry(const char* entryName, uint32_t skip, uint32_t count, int32_t result);

// Makes the module silent (non-zero) or answering again (0).
int32_t HV_CALL VaSetSilent(int32_t silent);

// Power of adapter `adapterId`, or with 0 of the whole module (every open
// adapter, and opens: they fail with kVaErrSilent while its power is off):
//   kVaPowerOff   the power goes (TCP/IP: the connection is closed and not
//                 made again);
//   kVaPowerOn    it returns: every adapter that was off answers again as a
//                 rebooted one (TCP/IP: once connected again);
//   kVaPowerGone  the adapter comes back as a new device: its handle never
//                 answers again (restoring it still works), while a fresh
//                 open gives a working adapter; with 0, every open adapter.
// kVaErrUnknownAdapter for an id that is not open, kVaErrBadParameter for
// another state.
enum VaPower : int32_t { kVaPowerOff = 0, kVaPowerOn = 1, kVaPowerGone = 2 };
int32_t HV_CALL VaSetPower(uint16_t adapterId, int32_t power);

// Restarts the adapter timer at 0 (the timer jumps back), for one adapter or,
// with 0, for all.
int32_t HV_CALL VaResetTimer(uint16_t adapterId);

// The CheckDataLink text (at most 79 characters are kept); null restores the
// default "Halvery Virtual VDA,1.00,3,BUF,4096".
int32_t HV_CALL VaSetDescription(const char* text);

// Calls made to the entry `entryName` (open, restore or forwarded entry,
// exact name) since the module was loaded or VaResetControls; -1 for a name
// that is not an entry. Failed calls count too.
int32_t HV_CALL VaCallCount(const char* entryName);

// The adapter thread's work: frames heard and waiting to be delivered, and
// frames dropped because kVaDeliveryQueueLimit were already waiting (since
// the module was loaded or VaResetControls). Null pointers are skipped.
int32_t HV_CALL VaDeliveryQueue(uint32_t* waiting, uint32_t* dropped);

// Copies up to `capacity` open adapters, lowest id first; returns how many are open.
int32_t HV_CALL VaListAdapters(VaAdapterInfo* adapters, uint32_t capacity);

// Copies up to `capacity` live mailboxes of adapter `adapterId` (0: all), in
// load order; returns how many there are, or -1 when the adapter is not open.
int32_t HV_CALL VaListMailboxes(uint16_t adapterId, VaMailboxInfo* mailboxes, uint32_t capacity);

// Replays a candump log ("(seconds.micros) can1 18FEF100#0011223344556677";
// 8-digit ids 29-bit, 3-digit ids 11-bit) on link code 3 of every open
// adapter, in file order: `speed` 1 at the recorded pace, N N times faster,
// 0 as fast as possible; `loop` non-zero starts again at the end. Replaces a
// running replay. The pace counts from when the adapter thread starts on it.
int32_t HV_CALL VaStartReplay(const char* path, uint32_t speed, int32_t loop);

// Stops the replay (done is set).
int32_t HV_CALL VaStopReplay(void);

// Frames of the replay put on the bus so far, frames in the file, and 1 when
// the replay has ended (all played, or stopped). Null pointers are skipped.
int32_t HV_CALL VaReplayStatus(uint32_t* delivered, uint32_t* total, int32_t* done);

// Every `intervalMs` ms (0: off) puts three J1708 engine messages of MID 128
// on the J1708 bus: engine speed (PID 190), road speed (PID 84), coolant
// temperature and oil pressure (PIDs 110, 100).
int32_t HV_CALL VaSetJ1708Periodic(uint32_t intervalMs);

// Waits until the adapter thread has nothing queued or due and runs no
// callback. 0 when idle (also when no thread runs), kVaErrTimeout, or
// kVaErrOnAdapterThread when called from a callback.
int32_t HV_CALL VaWaitIdle(uint32_t timeoutMs);

// 1 while the module's adapter thread runs (an adapter is open), else 0.
int32_t HV_CALL VaAdapterThreadRunning(void);

// Copies the module's own file path into `path` (size bytes with the
// terminator); returns its length, or 0 when it is unknown or does not fit.
int32_t HV_CALL VaModulePath(char* path, uint32_t size);

// Returns the controls to their start: transmitted log and call log
// emptied, call counts 0, no forced load failures or refused entries, no
// completions kept back, not silent, default description, replay and
// periodic J1708 stopped, power on (adapters without power come back
// rebooted; gone ones answer again). Open adapters and their mailboxes stay.
int32_t HV_CALL VaResetControls(void);

}  // extern "C"

// X(name): every control function, for binding them by name.
#define VA_CONTROL_FUNCTIONS(X) \
    X(VaInjectFrame)            \
    X(VaInjectTransport)        \
    X(VaInjectJ1708)            \
    X(VaInjectBurst)            \
    X(VaDeliverRaw)             \
    X(VaHoldCompletions)        \
    X(VaTakeTransmitted)        \
    X(VaFailLoads)              \
    X(VaTakeCalls)              \
    X(VaFailEntry)              \
    X(VaRaiseDataLinkError)     \
    X(VaSetSilent)              \
    X(VaSetPower)               \
    X(VaResetTimer)             \
    X(VaSetDescription)         \
    X(VaCallCount)              \
    X(VaDeliveryQueue)          \
    X(VaListAdapters)           \
    X(VaListMailboxes)          \
    X(VaStartReplay)            \
    X(VaStopReplay)             \
    X(VaReplayStatus)           \
    X(VaSetJ1708Periodic)       \
    X(VaWaitIdle)               \
    X(VaAdapterThreadRunning)   \
    X(VaModulePath)             \
    X(VaResetControls)
