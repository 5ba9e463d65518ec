// The virtual adapter's internal state, shared by its parts (test equipment):
//   va_module.cpp     module state, adapter thread, module file
//   va_mailboxes.cpp  adapters, mailboxes, delivery and transmission
//   va_traffic.cpp    traffic sources: capture replay, J1708, script file
//   va_wire.cpp       bus links to a socketcand server (TCP/IP adapters)
//   va_entries.cpp    the transport entries
//   va_control.cpp    the control interface (va_control.h)
//
// Design
// - One module instance (one loaded file) holds everything in one State
//   object guarded by one mutex, `lock`: the open adapters, the mailbox
//   registry, the work queue of the adapter thread, the transmitted log, the
//   traffic sources and the test controls. Call counters are atomics.
// - Each module instance simulates one bus per link code; its adapters all
//   sit on those buses. A frame injected by a test, replayed from a capture,
//   or transmitted by an adapter is queued as work and delivered by the
//   adapter thread to the receive mailboxes that accept it (a transmitted
//   frame to every adapter but the sender).
// - The adapter thread starts at the first open and is asked to stop and
//   joined at the last restore. It runs every callback, one at a time, with
//   `lock` released, so a callback may call any entry. Around a callback the
//   mailbox is marked inCallback: an unload from another thread waits for the
//   callback to end (at most 10 s); an unload on the adapter thread itself
//   (from inside a callback) leaves the freeing to the thread once the
//   callback has returned.
// - Work items name mailboxes and adapters by address or id together with a
//   serial number, so an item never reaches a mailbox or adapter that was
//   freed, even when its address or id has been given out again.
// - The thread object lives on the heap. If the process ends while a thread
//   still runs (an adapter never restored), the state is left allocated and
//   the thread is not joined: joining inside the loader's unload would
//   deadlock, and destroying a joinable std::thread ends the process. (A
//   program must restore its adapters before it unloads the module.) When
//   the last restore happens on the adapter thread itself, the module is
//   pinned in memory, because the thread still has to return through this
//   code.
//
// Lock order: only `lock`. No callback is called with it held.
#pragma once

#include "sim/va_control.h"

#include "mux/adapter_config.h"
#include "mux/zmx_entries.h"
#include "mux/zmx_records.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace va {

class WireLink;  // va_wire.h

using Clock = std::chrono::steady_clock;

constexpr uint16_t kMaxAdapterId = 0x1FF;
constexpr uint32_t kOwnArea = 4096;          // a mailbox's own receive area
constexpr size_t kLogLimit = 20000;          // transmitted frames kept
constexpr uint32_t kMaxTransport = 1785;     // J1939 transport message size
constexpr auto kCallbackWait = std::chrono::seconds(10);
constexpr char kDefaultDescription[] = "Halvery Virtual VDA,1.00,3,BUF,4096";

// ---- Entry counters --------------------------------------------------------

enum EntryIndex : int {
#define VA_LINK_ENTRY_INDEX(name) k##name##Entry,
    ZMX_LINK_ENTRIES(VA_LINK_ENTRY_INDEX)
#undef VA_LINK_ENTRY_INDEX
    kFirstForwardedEntry,
    kEntryCount = kFirstForwardedEntry + kForwardedCount
};
extern const char* const kEntryNames[kEntryCount];

// ---- Records ---------------------------------------------------------------

inline bool ValidLinkCode(unsigned code) {
    return code == kLinkCodeJ1708 || code == kLinkCodeJ1850 || code == kLinkCodeCan1 || code == kLinkCodeCan2;
}
inline bool IsCan(unsigned code) { return code == kLinkCodeCan1 || code == kLinkCodeCan2; }

inline uint32_t WidthMask(unsigned width) {
    switch (width) {
        case 29: return 0x1FFFFFFFu;
        case 11: return 0x7FFu;
        case 24: return 0xFFFFFFu;
        default: return 0;
    }
}

// A frame or message on a simulated bus.
struct BusMessage {
    uint8_t linkCode = 0;
    uint8_t width = 0;           // 29, 11, 24; 0 J1708
    bool transport = false;      // a reassembled J1939 transport message
    uint8_t destination = 0;     // of a transport message
    uint32_t identifier = 0;
    std::vector<uint8_t> data;   // J1708: MID, then the message's bytes
};

struct VaMailbox {
    Mailbox mb;                  // the record the library sees; first member
    uint64_t serial = 0;
    uint16_t adapterId = 0;
    uint8_t linkCode = 0;
    uint8_t direction = 0;
    uint8_t frameKind = 0;
    uint8_t oneShot = 0;
    uint8_t width = 0;
    uint8_t destination = 0;
    uint32_t code = 0;
    uint32_t mask = 0;
    uint16_t sizeLimit = 0;
    MailboxCallback callback = nullptr;
    void* owner = nullptr;
    uint8_t* buffer = nullptr;   // where received data goes
    uint32_t bufferSize = 0;
    bool inCallback = false;
    bool stale = false;               // loaded before the adapter rebooted: dead until unloaded
    bool unloaded = false;            // out of the registry; freed when no callback runs
    bool freeByAdapterThread = false; // the adapter thread frees it after the callback
    uint8_t own[kOwnArea];
};

struct Adapter {
    uint16_t id = 0;
    uint64_t serial = 0;
    uint8_t openEntry = 0;
    LinkParams params;
    DataLinkErrorCallback errorCallbacks[8] = {};
    uint32_t dataLinkMask = 0;
    uint8_t dataLinkSetup[8][6] = {};
    uint32_t baudRate = 0;
    uint32_t transportSetups = 0;
    TransportSetup transportSetup;
    // The adapter timer: timerOffset + elapsed since timerBase, or frozen.
    Clock::time_point timerBase;
    uint32_t timerOffset = 0;
    bool paused = false;
    uint32_t pausedValue = 0;
    std::vector<VaMailbox*> mailboxes;  // load order
    std::shared_ptr<WireLink> wire;     // TCP/IP adapters: the bus link of CAN 1
    // Power (VaSetPower): an adapter without power, or one whose handle is
    // gone for good, answers nothing and hears nothing.
    bool powered = true;
    bool gone = false;
    uint32_t boots = 0;                 // reboots since the open
};

// Whether the adapter answers and takes part in its buses now.
bool Answers(const Adapter& adapter);

struct Work {
    enum Kind { kDeliver, kTxComplete, kTxFailed, kDataLinkError, kRaw } kind = kDeliver;
    // kDeliver
    BusMessage message;
    uint16_t target = 0;          // 0: every adapter
    uint64_t targetSerial = 0;
    uint16_t exclude = 0;         // the sender, which hears no echo
    uint32_t repeat = 1;          // a burst: the message this many times
    bool counted = false;         // a burst: data bytes 0-3 count up from counterStart
    uint32_t counterStart = 0;
    // kRaw (also key/mailboxSerial)
    std::shared_ptr<VaDelivery> raw;
    // kTxComplete, kTxFailed (a transmission that did not go out: the
    // data-link error callback of adapterId's linkCode gets the mailbox)
    const Mailbox* key = nullptr;
    uint64_t mailboxSerial = 0;
    bool freeAfter = false;       // one-shot: the adapter frees it after the callback
    // kDataLinkError (also key/mailboxSerial)
    uint16_t adapterId = 0;
    uint64_t adapterSerial = 0;
    uint8_t linkCode = 0;
    ZmxWord value = 0;
};

// A transmitted frame in the log: VaFrame without its data array.
struct LoggedFrame {
    uint16_t adapterId = 0;
    uint8_t linkCode = 0;
    uint8_t identifierWidth = 0;
    uint8_t frameKind = 0;
    uint8_t destination = 0;
    uint8_t priority = 0;
    uint8_t flags = 0;
    uint8_t oneShot = 0;
    uint32_t identifier = 0;
    uint32_t time = 0;
    std::vector<uint8_t> data;
};

struct ReplayFrame {
    int64_t offsetMicros;  // from the first frame
    uint32_t identifier;
    uint8_t width;
    uint8_t length;
    uint8_t data[8];
};

struct ThreadRecord {
    std::thread thread;
    std::thread::id id;
    bool stop = false;
    bool exited = false;
};

struct State {
    std::mutex lock;
    std::condition_variable wake;     // the adapter thread waits on it
    std::condition_variable changed;  // callback ended, thread idle or exited

    std::map<uint16_t, std::unique_ptr<Adapter>> adapters;
    std::unordered_map<const Mailbox*, VaMailbox*> registry;
    uint16_t lastId = 0;
    uint64_t nextSerial = 1;

    ThreadRecord* thread = nullptr;
    std::vector<ThreadRecord*> retired;  // asked to stop, not joined yet
    std::deque<Work> work;
    int processing = 0;                  // work items being handled
    uint32_t queuedDeliveries = 0;       // kDeliver items in `work`
    uint32_t droppedDeliveries = 0;      // refused because that many were queued

    std::deque<LoggedFrame> transmitted;
    std::atomic<uint32_t> calls[kEntryCount];
    std::deque<VaCall> callLog;
    bool holdCompletions = false;
    std::deque<Work> heldCompletions;

    // Controls.
    uint32_t failLoads = 0;
    int32_t failResult = 0;
    struct ForcedFailure {
        uint32_t skip = 0;   // calls that still pass first
        uint32_t count = 0;  // calls that then fail
        int32_t result = 0;
    };
    ForcedFailure forced[kEntryCount];
    bool silent = false;
    bool powerOff = false;            // the module's power is off: opens fail too
    std::string description = kDefaultDescription;
    bool scriptRead = false;

    // Capture replay.
    std::vector<ReplayFrame> replayFrames;
    size_t replayNext = 0;
    uint32_t replaySpeed = 0;
    bool replayLoop = false;
    bool replayActive = false;
    bool replayStarted = false;
    bool replayDone = false;
    Clock::time_point replayStart;
    uint32_t replayDelivered = 0;

    // Periodic J1708 engine messages.
    uint32_t j1708Interval = 0;
    bool j1708Started = false;
    Clock::time_point j1708Next;
    uint32_t j1708Tick = 0;

    State() {
        for (auto& count : calls) count.store(0);
    }
};

State& S();

using Lock = std::unique_lock<std::mutex>;

// ---- Shared by the parts -------------------------------------------------------

// va_module.cpp
std::string OwnPath();
void PinModule();
bool OnAdapterThread_locked();
int32_t StartThread_locked();
void StopThread_locked(Lock& lock);

// va_mailboxes.cpp
uint32_t TimerValue_locked(const Adapter& adapter, Clock::time_point now);
void SetTimer_locked(Adapter& adapter, uint32_t value);
// The adapter starts again as after a power cycle: its timer from 0, no data
// link, its mailboxes dead (kept for the library to unload).
void Reboot_locked(Adapter& adapter);
Adapter* FindAdapter_locked(uint16_t id);
VaMailbox* FindMailbox_locked(const Mailbox* key, uint64_t serial = 0);
void Unregister_locked(VaMailbox* mailbox);
int32_t Release_locked(VaMailbox* mailbox, Lock& lock);
void Log_locked(LoggedFrame&& frame);
void Deliver_locked(const BusMessage& message, uint16_t target, uint64_t targetSerial, uint16_t exclude,
                    Lock& lock);
void Process_locked(const Work& item, Lock& lock);
void Queue_locked(Work&& item);
int32_t BuildTransmit(const VaMailbox& mailbox, uint8_t width, uint8_t frameKind, uint32_t identifier,
                      uint8_t destination, const uint8_t* data, uint32_t length, const uint8_t header[3],
                      BusMessage& message, LoggedFrame& logged);
int32_t LoadMailBox_locked(Adapter& adapter, MailboxSetup* setup);

// va_traffic.cpp
bool ReplayStep_locked(Clock::time_point now, Clock::time_point& wakeAt, Lock& lock);
bool J1708Step_locked(Clock::time_point now, Clock::time_point& wakeAt, Lock& lock);
bool SourceDue_locked(Clock::time_point now);
void InstallReplay_locked(std::vector<ReplayFrame>&& frames, uint32_t speed, bool loop);
std::vector<ReplayFrame> LoadReplay(const std::string& path);
void ReadScript_locked();

// Calls `call` for a registered mailbox with the lock released. Returns true
// when the mailbox is still alive afterwards.
template <class Call>
bool RunCallback_locked(VaMailbox* mailbox, Lock& lock, Call call) {
    mailbox->inCallback = true;
    lock.unlock();
    call();
    lock.lock();
    mailbox->inCallback = false;
    S().changed.notify_all();
    if (mailbox->freeByAdapterThread) {
        delete mailbox;
        return false;
    }
    return !mailbox->unloaded;
}


}  // namespace va
