// The virtual adapter: a transport library behind the multiplexer with the
// whole adapter contract, on simulated buses (test equipment).
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
#include "sim/va_candump.h"
#include "sim/va_control.h"

#include "mux/adapter_config.h"
#include "mux/zmx_entries.h"
#include "mux/zmx_records.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// The transport entries, declared from the shared list so that every
// definition below must have exactly the shape the multiplexer calls.
#define VA_DECLARE_FORWARDED(name, shape, serialN) HV_EXPORT int32_t HV_CALL name(ZMX_PARAMS_##shape);
ZMX_FORWARDED_OPERATIONS(VA_DECLARE_FORWARDED)
#undef VA_DECLARE_FORWARDED
HV_EXPORT int32_t HV_CALL InitCommLink(uint16_t* handle, LinkParams* params);
HV_EXPORT int32_t HV_CALL InitPCCard(uint16_t* handle, LinkParams* params);
HV_EXPORT int32_t HV_CALL InitTCP_IP(uint16_t* handle, LinkParams* params);
HV_EXPORT int32_t HV_CALL InitTCP_IPListen(uint16_t* handle, LinkParams* params);
HV_EXPORT int32_t HV_CALL InitUSBLink(uint16_t* handle, LinkParams* params);
HV_EXPORT int32_t HV_CALL RestoreCommLink(uint16_t adapterId);
HV_EXPORT int32_t HV_CALL RestorePCCard(uint16_t adapterId);
HV_EXPORT int32_t HV_CALL RestoreTCP_IP(uint16_t adapterId);
HV_EXPORT int32_t HV_CALL RestoreUSBLink(uint16_t adapterId);

// The shapes must agree with the multiplexer's entry types.
static_assert(std::is_same<decltype(&InitCommLink), ZmxOpenEntry>::value, "open entry shape");
static_assert(std::is_same<decltype(&RestoreCommLink), ZmxRestoreEntry>::value, "restore entry shape");
#define VA_CHECK_SHAPE(name, shape, serialN) \
    static_assert(std::is_same<decltype(&name), ZmxEntry##shape>::value, #name " shape");
ZMX_FORWARDED_OPERATIONS(VA_CHECK_SHAPE)
#undef VA_CHECK_SHAPE

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kMaxAdapterId = 0x1FF;
constexpr uint32_t kOwnArea = 4096;          // a mailbox's own receive area
constexpr size_t kLogLimit = 20000;          // transmitted frames kept
constexpr uint32_t kMaxTransport = 1785;     // J1939 transport message size
constexpr auto kCallbackWait = std::chrono::seconds(10);
const char kDefaultDescription[] = "Halvery Virtual VDA,1.00,3,BUF,4096";

// ---- Entry counters --------------------------------------------------------

enum EntryIndex : int {
#define VA_LINK_ENTRY_INDEX(name) k##name##Entry,
    ZMX_LINK_ENTRIES(VA_LINK_ENTRY_INDEX)
#undef VA_LINK_ENTRY_INDEX
    kFirstForwardedEntry,
    kEntryCount = kFirstForwardedEntry + kForwardedCount
};

const char* const kEntryNames[kEntryCount] = {
#define VA_LINK_ENTRY_NAME(name) #name,
    ZMX_LINK_ENTRIES(VA_LINK_ENTRY_NAME)
#undef VA_LINK_ENTRY_NAME
#define VA_ENTRY_NAME(name, shape, serialN) #name,
    ZMX_FORWARDED_OPERATIONS(VA_ENTRY_NAME)
#undef VA_ENTRY_NAME
};

// ---- Records ---------------------------------------------------------------

bool ValidLinkCode(unsigned code) {
    return code == kLinkCodeJ1708 || code == kLinkCodeJ1850 || code == kLinkCodeCan1 || code == kLinkCodeCan2;
}
bool IsCan(unsigned code) { return code == kLinkCodeCan1 || code == kLinkCodeCan2; }

uint32_t WidthMask(unsigned width) {
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
};

struct Work {
    enum Kind { kDeliver, kTxComplete, kDataLinkError, kRaw } kind = kDeliver;
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
    // kTxComplete
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

// The state lives on the heap. At unload it is freed only when no adapter
// thread is left; otherwise it stays for the thread (see the design above).
struct StateHolder {
    State* state = new State;
    ~StateHolder() {
        if (state->thread == nullptr && state->retired.empty()) delete state;
    }
};
StateHolder g_holder;
State& S() { return *g_holder.state; }

using Lock = std::unique_lock<std::mutex>;

// ---- The module file -------------------------------------------------------

std::string OwnPath() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnPath), &self)) {
        return std::string();
    }
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OwnPath), &info) == 0 || info.dli_fname == nullptr) return std::string();
    return info.dli_fname;
#endif
}

// Keeps this module loaded until the process ends.
void PinModule() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinModule), &self);
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&PinModule), &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
#endif
}

// ---- Adapters and mailboxes --------------------------------------------------

uint32_t TimerValue_locked(const Adapter& adapter, Clock::time_point now) {
    if (adapter.paused) return adapter.pausedValue;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - adapter.timerBase).count();
    return adapter.timerOffset + static_cast<uint32_t>(elapsed);
}

void SetTimer_locked(Adapter& adapter, uint32_t value) {
    adapter.timerBase = Clock::now();
    adapter.timerOffset = value;
    adapter.pausedValue = value;
}

Adapter* FindAdapter_locked(uint16_t id) {
    auto it = S().adapters.find(id);
    return it == S().adapters.end() ? nullptr : it->second.get();
}

// The live mailbox at `key`, when it has the given serial (0: any).
VaMailbox* FindMailbox_locked(const Mailbox* key, uint64_t serial = 0) {
    auto it = S().registry.find(key);
    if (it == S().registry.end()) return nullptr;
    if (serial != 0 && it->second->serial != serial) return nullptr;
    return it->second;
}

bool OnAdapterThread_locked() {
    std::thread::id self = std::this_thread::get_id();
    if (S().thread != nullptr && S().thread->id == self) return true;
    for (ThreadRecord* record : S().retired) {
        if (record->id == self) return true;
    }
    return false;
}

// Takes a mailbox out of the registry and its adapter's list.
void Unregister_locked(VaMailbox* mailbox) {
    S().registry.erase(&mailbox->mb);
    if (Adapter* adapter = FindAdapter_locked(mailbox->adapterId)) {
        auto& list = adapter->mailboxes;
        list.erase(std::remove(list.begin(), list.end(), mailbox), list.end());
    }
    mailbox->unloaded = true;
}

// Frees an unregistered mailbox once no callback runs on it. On the adapter
// thread (inside a callback) the freeing is left to the thread. Otherwise
// waits up to 10 s for the callback to end; kVaErrCallbackRunning when it
// does not (the thread frees it later).
int32_t Release_locked(VaMailbox* mailbox, Lock& lock) {
    if (!mailbox->inCallback) {
        delete mailbox;
        return kVaOk;
    }
    if (OnAdapterThread_locked()) {
        mailbox->freeByAdapterThread = true;
        return kVaOk;
    }
    S().changed.wait_for(lock, kCallbackWait, [&] { return !mailbox->inCallback; });
    if (!mailbox->inCallback) {
        delete mailbox;
        return kVaOk;
    }
    mailbox->freeByAdapterThread = true;
    return kVaErrCallbackRunning;
}

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

// ---- The transmitted log -----------------------------------------------------

void Log_locked(LoggedFrame&& frame) {
    if (S().transmitted.size() >= kLogLimit) S().transmitted.pop_front();
    S().transmitted.push_back(std::move(frame));
}

// ---- Delivery ------------------------------------------------------------------

bool Accepts(const VaMailbox& mailbox, const BusMessage& message) {
    if (mailbox.direction != 0 || mailbox.linkCode != message.linkCode) return false;
    if (message.linkCode == kLinkCodeJ1708) return true;  // J1708 has no identifier
    if (mailbox.width != message.width) return false;
    if (!message.transport) {
        if (mailbox.frameKind > kFrameSingle) return false;
    } else if (mailbox.frameKind == kFrameBroadcastTransport) {
        if (message.destination != 0xFF) return false;
    } else if (mailbox.frameKind == kFrameConnectionTransport || mailbox.frameKind == kFrameConnectionSmall) {
        if (message.destination == 0xFF || message.destination != mailbox.destination) return false;
    } else {
        return false;
    }
    return ((message.identifier ^ mailbox.code) & mailbox.mask & WidthMask(mailbox.width)) == 0;
}

// Fills a receive mailbox with a message, as the library reads it.
void Fill_locked(VaMailbox& mailbox, const BusMessage& message, uint32_t time) {
    Mailbox& record = mailbox.mb;
    // Fields that rarely change are written only when they do: the library may
    // read them on its own threads (the destination byte names claim mailboxes).
    if (record.linkCode != message.linkCode) record.linkCode = message.linkCode;
    if (record.identifierWidth != message.width) record.identifierWidth = message.width;
    if (message.transport && record.destination != message.destination) record.destination = message.destination;
    record.identifier = message.identifier;
    const uint8_t* payload = message.data.data();
    size_t size = message.data.size();
    if (message.linkCode == kLinkCodeJ1708) {
        // The library rebuilds MID, first byte, data from 0x833, 0x834 and the data.
        record.j1708Header[1] = size > 0 ? payload[0] : 0;
        record.j1708Header[2] = size > 1 ? payload[1] : 0;
        size_t header = std::min<size_t>(size, 2);
        payload += header;
        size -= header;
    }
    size_t copied = std::min<size_t>(size, mailbox.bufferSize);
    if (copied > 0) std::memcpy(mailbox.buffer, payload, copied);
    if (record.data != mailbox.buffer) record.data = mailbox.buffer;
    record.dataLength = static_cast<uint16_t>(copied);
    record.receiveTime = time;
}

// Hands a message to every accepting receive mailbox of the target adapters.
void Deliver_locked(const BusMessage& message, uint16_t target, uint64_t targetSerial, uint16_t exclude,
                    Lock& lock) {
    if (S().silent) return;
    std::vector<std::pair<const Mailbox*, uint64_t>> receivers;
    for (auto& entry : S().adapters) {
        Adapter& adapter = *entry.second;
        if (target != 0 && (adapter.id != target || adapter.serial != targetSerial)) continue;
        if (adapter.id == exclude) continue;
        // Like a hardware mailbox bank, an adapter puts a frame into one
        // mailbox of each owner: the first, in load order, that accepts it.
        std::vector<void*> served;
        for (VaMailbox* mailbox : adapter.mailboxes) {
            if (!Accepts(*mailbox, message)) continue;
            if (std::find(served.begin(), served.end(), mailbox->owner) != served.end()) continue;
            served.push_back(mailbox->owner);
            receivers.emplace_back(&mailbox->mb, mailbox->serial);
        }
    }
    for (auto& receiver : receivers) {
        // Earlier callbacks may have unloaded it, or silenced the module.
        VaMailbox* mailbox = FindMailbox_locked(receiver.first, receiver.second);
        if (mailbox == nullptr || S().silent) continue;
        Adapter* adapter = FindAdapter_locked(mailbox->adapterId);
        if (adapter == nullptr) continue;
        Fill_locked(*mailbox, message, TimerValue_locked(*adapter, Clock::now()));
        if (mailbox->callback != nullptr) {
            MailboxCallback callback = mailbox->callback;
            Mailbox* record = &mailbox->mb;
            RunCallback_locked(mailbox, lock, [&] { callback(record); });
        }
    }
}

void CompleteTransmit_locked(const Work& item, Lock& lock) {
    VaMailbox* mailbox = FindMailbox_locked(item.key, item.mailboxSerial);
    if (mailbox == nullptr) return;
    Adapter* adapter = FindAdapter_locked(mailbox->adapterId);
    if (adapter == nullptr) return;
    mailbox->mb.transmitTime = TimerValue_locked(*adapter, Clock::now());
    bool alive = true;
    if (mailbox->callback != nullptr) {
        MailboxCallback callback = mailbox->callback;
        Mailbox* record = &mailbox->mb;
        alive = RunCallback_locked(mailbox, lock, [&] { callback(record); });
    }
    if (alive && item.freeAfter) {
        Unregister_locked(mailbox);
        delete mailbox;
    }
}

void RaiseDataLinkError_locked(const Work& item, Lock& lock) {
    Adapter* adapter = FindAdapter_locked(item.adapterId);
    if (adapter == nullptr || adapter->serial != item.adapterSerial) return;
    std::vector<DataLinkErrorCallback> callbacks;
    for (unsigned code = 1; code < 8; ++code) {
        if ((item.linkCode == 0 || item.linkCode == code) && adapter->errorCallbacks[code] != nullptr) {
            callbacks.push_back(adapter->errorCallbacks[code]);
        }
    }
    for (DataLinkErrorCallback callback : callbacks) {
        if (item.key == nullptr) {
            lock.unlock();
            callback(nullptr, item.value);
            lock.lock();
            continue;
        }
        VaMailbox* mailbox = FindMailbox_locked(item.key, item.mailboxSerial);
        if (mailbox == nullptr) return;  // unloaded meanwhile: nothing to report on
        Mailbox* record = &mailbox->mb;
        RunCallback_locked(mailbox, lock, [&] { callback(record, item.value); });
    }
}

// Fills a receive mailbox exactly as a test asked and runs its callback.
void DeliverRaw_locked(const Work& item, Lock& lock) {
    VaMailbox* mailbox = FindMailbox_locked(item.key, item.mailboxSerial);
    if (mailbox == nullptr || S().silent) return;
    const VaDelivery& d = *item.raw;
    Mailbox& record = mailbox->mb;
    if (d.linkCode != 0) record.linkCode = d.linkCode;
    record.identifier = d.identifier;
    record.identifierWidth = d.identifierWidth;
    record.destination = d.destination;
    record.receiveTime = d.receiveTime;
    record.j1708Header[1] = d.j1708Mid;
    record.j1708Header[2] = d.j1708First;
    size_t bytes = std::min<size_t>({d.bytes, sizeof d.data, mailbox->bufferSize});
    if (bytes > 0) std::memcpy(mailbox->buffer, d.data, bytes);
    record.data = mailbox->buffer;
    record.dataLength = d.dataLength;  // as told, whatever the buffer holds
    if (mailbox->callback != nullptr) {
        MailboxCallback callback = mailbox->callback;
        RunCallback_locked(mailbox, lock, [&] { callback(&record); });
    }
}

void Process_locked(const Work& item, Lock& lock) {
    switch (item.kind) {
        case Work::kDeliver:
            if (item.repeat == 1 && !item.counted) {
                Deliver_locked(item.message, item.target, item.targetSerial, item.exclude, lock);
                break;
            }
            for (uint32_t i = 0; i < item.repeat; ++i) {
                BusMessage message = item.message;
                if (item.counted && message.data.size() >= 4) {
                    uint32_t counter = item.counterStart + i;
                    std::memcpy(message.data.data(), &counter, 4);
                }
                Deliver_locked(message, item.target, item.targetSerial, item.exclude, lock);
            }
            break;
        case Work::kRaw: DeliverRaw_locked(item, lock); break;
        case Work::kTxComplete: CompleteTransmit_locked(item, lock); break;
        case Work::kDataLinkError: RaiseDataLinkError_locked(item, lock); break;
    }
}

void Queue_locked(Work&& item) {
    if (item.kind == Work::kTxComplete && S().holdCompletions) {
        S().heldCompletions.push_back(std::move(item));
        return;
    }
    S().work.push_back(std::move(item));
    S().wake.notify_all();
}

// ---- Traffic sources -------------------------------------------------------------

Clock::time_point ReplayDue_locked() {
    const ReplayFrame& frame = S().replayFrames[S().replayNext];
    if (S().replaySpeed == 0) return S().replayStart;
    return S().replayStart + std::chrono::microseconds(frame.offsetMicros / S().replaySpeed);
}

// Plays the next replay frame when it is due. True when one was played.
bool ReplayStep_locked(Clock::time_point now, Clock::time_point& wakeAt, Lock& lock) {
    if (!S().replayActive) return false;
    if (!S().replayStarted) {
        S().replayStarted = true;
        S().replayStart = now;
    }
    if (S().replayNext >= S().replayFrames.size()) {
        if (S().replayLoop && !S().replayFrames.empty()) {
            S().replayNext = 0;
            S().replayStart = now;
        } else {
            S().replayActive = false;
            S().replayDone = true;
            S().changed.notify_all();
            return false;
        }
    }
    Clock::time_point due = ReplayDue_locked();
    if (due > now) {
        wakeAt = std::min(wakeAt, due);
        return false;
    }
    const ReplayFrame& frame = S().replayFrames[S().replayNext++];
    BusMessage message;
    message.linkCode = kLinkCodeCan1;
    message.width = frame.width;
    message.identifier = frame.identifier;
    message.data.assign(frame.data, frame.data + frame.length);
    ++S().replayDelivered;
    if (S().replayNext >= S().replayFrames.size() && !S().replayLoop) {
        S().replayActive = false;
        S().replayDone = true;
    }
    Deliver_locked(message, 0, 0, 0, lock);
    return true;
}

bool J1708Step_locked(Clock::time_point now, Clock::time_point& wakeAt, Lock& lock) {
    if (S().j1708Interval == 0) return false;
    auto interval = std::chrono::milliseconds(S().j1708Interval);
    if (!S().j1708Started) {
        S().j1708Started = true;
        S().j1708Next = now + interval;
    }
    if (S().j1708Next > now) {
        wakeAt = std::min(wakeAt, S().j1708Next);
        return false;
    }
    S().j1708Next += interval;
    if (S().j1708Next < now) S().j1708Next = now + interval;  // fell behind: no burst
    uint32_t tick = S().j1708Tick++;
    // An engine warming up at idle: engine speed 0.25 rpm/bit, road speed
    // 0.5 mph/bit, coolant 1 degree F/bit, oil pressure 0.5 psi/bit.
    uint32_t rpm4 = (600 + (tick * 25) % 800) * 4;
    std::vector<std::vector<uint8_t>> messages = {
        {128, 190, static_cast<uint8_t>(rpm4 & 0xFF), static_cast<uint8_t>(rpm4 >> 8)},
        {128, 84, static_cast<uint8_t>(tick % 120)},
        {128, 110, static_cast<uint8_t>(150 + tick % 40), 100, static_cast<uint8_t>(80 + tick % 20)},
    };
    for (auto& bytes : messages) {
        BusMessage message;
        message.linkCode = kLinkCodeJ1708;
        message.data = std::move(bytes);
        Deliver_locked(message, 0, 0, 0, lock);
    }
    return true;
}

// Something of a traffic source is due now (for VaWaitIdle).
bool SourceDue_locked(Clock::time_point now) {
    if (S().replayActive && (!S().replayStarted || S().replayNext >= S().replayFrames.size() ||
                             ReplayDue_locked() <= now)) {
        return true;
    }
    return S().j1708Interval != 0 && (!S().j1708Started || S().j1708Next <= now);
}

// ---- The adapter thread ------------------------------------------------------------

void AdapterThreadMain(ThreadRecord* self) {
    Lock lock(S().lock);
    while (!self->stop) {
        if (!S().work.empty()) {
            Work item = std::move(S().work.front());
            S().work.pop_front();
            ++S().processing;
            Process_locked(item, lock);
            --S().processing;
            continue;
        }
        Clock::time_point now = Clock::now();
        Clock::time_point wakeAt = Clock::time_point::max();
        ++S().processing;
        bool played = ReplayStep_locked(now, wakeAt, lock) || J1708Step_locked(now, wakeAt, lock);
        --S().processing;
        if (played) continue;
        S().changed.notify_all();  // idle
        if (wakeAt == Clock::time_point::max()) {
            S().wake.wait(lock);
        } else {
            S().wake.wait_until(lock, wakeAt);
        }
    }
    self->exited = true;
    S().changed.notify_all();
}

// Joins retired threads that have ended.
void ReapRetired_locked() {
    auto& retired = S().retired;
    for (auto it = retired.begin(); it != retired.end();) {
        if ((*it)->exited) {
            (*it)->thread.join();  // it has left its loop and needs the lock no more
            delete *it;
            it = retired.erase(it);
        } else {
            ++it;
        }
    }
}

int32_t StartThread_locked() {
    if (S().thread != nullptr) return kVaOk;
    ReapRetired_locked();
    auto* record = new (std::nothrow) ThreadRecord;
    if (record == nullptr) return kVaErrNoMemory;
    try {
        record->thread = std::thread(AdapterThreadMain, record);
    } catch (...) {
        delete record;
        return kVaErrNoMemory;
    }
    record->id = record->thread.get_id();
    S().thread = record;
    return kVaOk;
}

// Asks the adapter thread to stop and joins it (at most 10 s of waiting for
// it to leave a callback). A thread that cannot be joined now, including the
// calling thread itself, is kept for later and the module pinned.
void StopThread_locked(Lock& lock) {
    ThreadRecord* record = S().thread;
    if (record == nullptr) return;
    S().thread = nullptr;
    record->stop = true;
    S().wake.notify_all();
    if (record->id == std::this_thread::get_id()) {
        S().retired.push_back(record);
        PinModule();
        return;
    }
    S().changed.wait_for(lock, kCallbackWait, [&] { return record->exited; });
    if (!record->exited) {
        S().retired.push_back(record);
        PinModule();
        return;
    }
    lock.unlock();
    record->thread.join();
    lock.lock();
    delete record;
}

// ---- The script file ---------------------------------------------------------------

void ApplyScriptLine_locked(const std::string& line, const std::string& directory, std::string& replayPath,
                            uint32_t& speed, bool& loop) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    auto trim = [](std::string& text) {
        size_t start = text.find_first_not_of(" \t\r\n");
        size_t end = text.find_last_not_of(" \t\r\n");
        text = start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
    };
    trim(key);
    trim(value);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key == "replay") {
        bool absolute = !value.empty() && (value[0] == '/' || value[0] == '\\' || value.find(':') != std::string::npos);
        replayPath = absolute || directory.empty() ? value : directory + value;
    } else if (key == "speed") {
        speed = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (key == "loop") {
        loop = std::strtol(value.c_str(), nullptr, 10) != 0;
    } else if (key == "j1708") {
        unsigned long interval = std::strtoul(value.c_str(), nullptr, 10);
        S().j1708Interval = interval == 1 ? 100 : static_cast<uint32_t>(interval);
    } else if (key == "description") {
        S().description = value.substr(0, 79);
    }
}

void InstallReplay_locked(std::vector<ReplayFrame>&& frames, uint32_t speed, bool loop) {
    S().replayFrames = std::move(frames);
    S().replayNext = 0;
    S().replaySpeed = speed;
    S().replayLoop = loop;
    S().replayActive = true;
    S().replayStarted = false;
    S().replayDone = false;
    S().replayDelivered = 0;
    S().wake.notify_all();
}

std::vector<ReplayFrame> LoadReplay(const std::string& path) {
    std::vector<CandumpFrame> frames = ReadCandumpFile(path);
    std::vector<ReplayFrame> replay;
    replay.reserve(frames.size());
    for (const CandumpFrame& frame : frames) {
        ReplayFrame out{};
        out.offsetMicros = std::max<int64_t>(0, frame.timeMicros - frames.front().timeMicros);
        out.identifier = frame.identifier;
        out.width = frame.width;
        out.length = frame.length;
        std::memcpy(out.data, frame.data, frame.length);
        replay.push_back(out);
    }
    return replay;
}

// At the first open of the module: <own name>.SCRIPT beside the module, or
// else VADAPTER.SCRIPT there. One key=value per line: replay=PATH (relative to
// the script's directory), speed=N, loop=0|1, j1708=MS (1 means 100 ms),
// description=TEXT.
void ReadScript_locked() {
    if (S().scriptRead) return;
    S().scriptRead = true;
    std::string path = OwnPath();
    size_t slash = path.find_last_of("/\\");
    std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = path.substr(directory.size());
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos) base = base.substr(0, dot);
    std::FILE* file = std::fopen((directory + base + ".SCRIPT").c_str(), "r");
    if (file == nullptr) file = std::fopen((directory + "VADAPTER.SCRIPT").c_str(), "r");
    if (file == nullptr) return;
    std::string replayPath;
    uint32_t speed = 1;
    bool loop = false;
    char line[1024];
    for (int lines = 0; lines < 1000 && std::fgets(line, sizeof line, file) != nullptr; ++lines) {
        ApplyScriptLine_locked(line, directory, replayPath, speed, loop);
    }
    std::fclose(file);
    if (!replayPath.empty()) {
        std::vector<ReplayFrame> frames = LoadReplay(replayPath);
        if (!frames.empty()) InstallReplay_locked(std::move(frames), speed, loop);
    }
}

// ---- Entry helpers -----------------------------------------------------------------

// What the call log keeps of a call besides its entry and result.
struct CallNote {
    uint16_t adapterId = 0;
    const void* record = nullptr;  // the record passed, copied before the call
    size_t length = 0;
    uint8_t flags = 0;
};

// Whether this call of entry `index` is one that VaFailEntry refuses.
bool ForcedFailure(int index, int32_t* result) {
    Lock lock(S().lock);
    State::ForcedFailure& rule = S().forced[index];
    if (rule.count == 0) return false;
    if (rule.skip > 0) {
        --rule.skip;
        return false;
    }
    --rule.count;
    *result = rule.result;
    return true;
}

// Counts and logs the call, refuses it when told to, and keeps exceptions
// inside the module.
template <class Body>
int32_t Entry(int index, Body body, const CallNote& note = CallNote()) {
    S().calls[index].fetch_add(1, std::memory_order_relaxed);
    VaCall call;
    std::memset(&call, 0, sizeof call);
    std::snprintf(call.entry, sizeof call.entry, "%s", kEntryNames[index]);
    call.adapterId = note.adapterId;
    call.flags = note.flags;
    if (note.record != nullptr) {
        call.recordLength = static_cast<uint32_t>(std::min(note.length, sizeof call.record));
        std::memcpy(call.record, note.record, call.recordLength);
    }
    int32_t result = kVaOk;
    if (ForcedFailure(index, &result)) {
        call.forced = 1;
    } else {
        try {
            result = body();
        } catch (...) {
            result = kVaErrNoMemory;
        }
    }
    call.result = result;
    Lock lock(S().lock);
    if (S().callLog.size() >= kLogLimit) S().callLog.pop_front();
    S().callLog.push_back(call);
    return result;
}

int ForwardedIndex(ZmxForwarded operation) { return kFirstForwardedEntry + operation; }

// A forwarded entry's common start: the adapter must be open and the
// module answering.
int32_t Check_locked(uint16_t id, Adapter** adapter) {
    *adapter = FindAdapter_locked(id);
    if (*adapter == nullptr) return kVaErrUnknownAdapter;
    if (S().silent) return kVaErrSilent;
    return kVaOk;
}

template <class Body>
int32_t Forwarded(ZmxForwarded operation, uint16_t id, Body body, CallNote note = CallNote()) {
    note.adapterId = id;
    return Entry(
        ForwardedIndex(operation),
        [&]() -> int32_t {
            Lock lock(S().lock);
            Adapter* adapter = nullptr;
            int32_t result = Check_locked(id, &adapter);
            if (result != kVaOk) return result;
            return body(*adapter, lock);
        },
        note);
}

// A note carrying the record at `value` (none when it is null).
CallNote Record(ZmxWord value, size_t length, uint8_t flags = 0) {
    CallNote note;
    note.record = value != 0 ? reinterpret_cast<const void*>(value) : nullptr;
    note.length = length;
    note.flags = flags;
    return note;
}

// A live mailbox of the adapter, or null.
VaMailbox* AdapterMailbox_locked(const Adapter& adapter, ZmxWord value) {
    VaMailbox* mailbox = FindMailbox_locked(reinterpret_cast<const Mailbox*>(value));
    return mailbox != nullptr && mailbox->adapterId == adapter.id ? mailbox : nullptr;
}

uint16_t NextFreeId_locked() {
    // Ids go round, so that a restored id is not handed out again at once.
    for (unsigned step = 1; step <= kMaxAdapterId; ++step) {
        uint16_t id = static_cast<uint16_t>((S().lastId + step - 1) % kMaxAdapterId + 1);
        if (S().adapters.find(id) == S().adapters.end()) {
            S().lastId = id;
            return id;
        }
    }
    return 0;
}

int32_t Open(int index, uint8_t openEntry, uint16_t* handle, LinkParams* params) {
    return Entry(index, [&]() -> int32_t {
        if (handle == nullptr || params == nullptr) return kVaErrNullPointer;
        Lock lock(S().lock);
        ReadScript_locked();
        uint16_t id = NextFreeId_locked();
        if (id == 0) return kVaErrNoFreeId;
        auto adapter = std::make_unique<Adapter>();
        adapter->id = id;
        adapter->serial = S().nextSerial++;
        adapter->openEntry = openEntry;
        std::memcpy(&adapter->params, params, sizeof(LinkParams));
        std::memset(&adapter->transportSetup, 0, sizeof(TransportSetup));
        SetTimer_locked(*adapter, 0);
        int32_t result = StartThread_locked();
        if (result != kVaOk) return result;
        S().adapters[id] = std::move(adapter);
        *handle = static_cast<uint16_t>((*handle & ~kMaxAdapterId) | id);
        return kVaOk;
    });
}

// Closes an adapter: its mailboxes are freed (after any running callback) and
// the adapter thread stops with the last adapter.
int32_t Restore(int index, uint8_t family, uint16_t id) {
    CallNote note;
    note.adapterId = id;
    return Entry(index, [&]() -> int32_t {
        Lock lock(S().lock);
        Adapter* adapter = FindAdapter_locked(id);
        if (adapter == nullptr) return kVaErrUnknownAdapter;
        uint8_t opened = adapter->openEntry == kVaOpenTcpIpListen ? uint8_t{kVaOpenTcpIp} : adapter->openEntry;
        if (opened != family) return kVaErrWrongLink;
        std::vector<VaMailbox*> mailboxes = adapter->mailboxes;
        for (VaMailbox* mailbox : mailboxes) Unregister_locked(mailbox);
        S().adapters.erase(id);
        int32_t result = kVaOk;
        for (VaMailbox* mailbox : mailboxes) {
            int32_t released = Release_locked(mailbox, lock);
            if (released != kVaOk) result = released;
        }
        if (S().adapters.empty()) StopThread_locked(lock);
        return result;
    }, note);
}

// Builds a bus message and its log entry from a transmitted frame.
int32_t BuildTransmit(const VaMailbox& mailbox, uint8_t width, uint8_t frameKind, uint32_t identifier,
                      uint8_t destination, const uint8_t* data, uint32_t length, const uint8_t header[3],
                      BusMessage& message, LoggedFrame& logged) {
    if (length > 0 && data == nullptr) return kVaErrNullPointer;
    message.linkCode = mailbox.linkCode;
    message.width = width;
    message.identifier = identifier & WidthMask(width);
    if (mailbox.linkCode == kLinkCodeJ1708) {
        if (length > kVaMaxData - 2) return kVaErrBadParameter;
        message.width = 0;
        message.identifier = 0;
        message.data.push_back(header[1]);
        message.data.push_back(header[2]);
    } else if (frameKind == kFrameBroadcastTransport || frameKind == kFrameConnectionTransport) {
        if (length > kMaxTransport) return kVaErrBadParameter;
        message.transport = true;
        message.destination = frameKind == kFrameBroadcastTransport ? 0xFF : destination;
    } else if (IsCan(mailbox.linkCode) && length > 8) {
        return kVaErrBadParameter;
    } else if (length > kVaMaxData) {
        return kVaErrBadParameter;
    }
    if (length > 0) message.data.insert(message.data.end(), data, data + length);
    logged.adapterId = mailbox.adapterId;
    logged.linkCode = message.linkCode;
    logged.identifierWidth = message.width;
    if (mailbox.linkCode != kLinkCodeJ1708) logged.frameKind = frameKind == 0 ? uint8_t{kFrameSingle} : frameKind;
    logged.destination = message.transport ? message.destination : 0;
    logged.priority = mailbox.linkCode == kLinkCodeJ1708 ? header[0] : 0;
    logged.identifier = message.identifier;
    logged.data = message.data;
    return kVaOk;
}

// Sends the frame the library placed in a persistent transmit mailbox; the
// completion callback follows on the adapter thread.
int32_t TransmitPersistent(ZmxForwarded operation, uint16_t id, ZmxWord value, uint8_t flags) {
    return Forwarded(
        operation, id,
        [&](Adapter& adapter, Lock&) -> int32_t {
        if (value == 0) return kVaErrNullPointer;
        VaMailbox* mailbox = AdapterMailbox_locked(adapter, value);
        if (mailbox == nullptr) return kVaErrUnknownMailbox;
        if (mailbox->direction != 1 || mailbox->oneShot) return kVaErrWrongDirection;
        const Mailbox& record = mailbox->mb;
        BusMessage message;
        LoggedFrame logged;
        int32_t result = BuildTransmit(*mailbox, mailbox->width, mailbox->frameKind, record.identifier, 0,
                                       record.data, record.dataLength, record.j1708Header, message, logged);
        if (result != kVaOk) return result;
        logged.flags = flags;
        logged.time = TimerValue_locked(adapter, Clock::now());
        Log_locked(std::move(logged));
        Work deliver;
        deliver.kind = Work::kDeliver;
        deliver.message = std::move(message);
        deliver.exclude = adapter.id;
        Work complete;
        complete.kind = Work::kTxComplete;
        complete.key = &mailbox->mb;
        complete.mailboxSerial = mailbox->serial;
        Queue_locked(std::move(deliver));
        Queue_locked(std::move(complete));
        return kVaOk;
        },
        Record(0, 0, flags));
}

// Forwarded entries that only check their adapter (and, for `mailboxArg`,
// that the word names one of its live mailboxes).
int32_t Plain(ZmxForwarded operation, uint16_t id) {
    return Forwarded(operation, id, [](Adapter&, Lock&) -> int32_t { return kVaOk; });
}
int32_t PlainMailbox(ZmxForwarded operation, uint16_t id, ZmxWord value) {
    return Forwarded(operation, id, [&](Adapter& adapter, Lock&) -> int32_t {
        if (value == 0) return kVaErrNullPointer;
        return AdapterMailbox_locked(adapter, value) != nullptr ? kVaOk : kVaErrUnknownMailbox;
    });
}

int32_t LoadMailBox_locked(Adapter& adapter, MailboxSetup* setup) {
    if (S().failLoads > 0) {
        --S().failLoads;
        return S().failResult;
    }
    unsigned link = setup->linkCode;
    if (!ValidLinkCode(link) || setup->direction > 1) return kVaErrBadParameter;
    if ((adapter.dataLinkMask & (1u << link)) == 0) return kVaErrNoDataLink;
    unsigned width = setup->identifierWidth;
    unsigned kind = setup->frameKind;
    bool transmit = setup->direction == 1;
    bool oneShot = transmit && setup->oneShot != 0;
    if (IsCan(link)) {
        if (width != 29 && width != 11) return kVaErrBadParameter;
        bool transportKind = kind == kFrameBroadcastTransport || kind == kFrameConnectionTransport ||
                             (!transmit && kind == kFrameConnectionSmall);
        if (kind > kFrameSingle && !transportKind) return kVaErrBadParameter;
        if (transportKind && (width != 29 || (transmit && !oneShot))) return kVaErrBadParameter;
    } else {
        if (width != (link == kLinkCodeJ1850 ? 24u : 0u) || kind > kFrameSingle) return kVaErrBadParameter;
    }

    auto* mailbox = new (std::nothrow) VaMailbox();
    if (mailbox == nullptr) return kVaErrNoMemory;
    mailbox->serial = S().nextSerial++;
    mailbox->adapterId = adapter.id;
    mailbox->linkCode = setup->linkCode;
    mailbox->direction = setup->direction;
    mailbox->frameKind = setup->frameKind;
    mailbox->oneShot = oneShot ? 1 : 0;
    mailbox->width = setup->identifierWidth;
    mailbox->destination = setup->destination;
    mailbox->code = setup->identifier;
    mailbox->mask = setup->mask;
    mailbox->sizeLimit = setup->sizeLimitOn ? setup->sizeLimit : 0;
    mailbox->callback = setup->callback;
    mailbox->owner = setup->owner;
    if (!transmit) {
        if (setup->data != nullptr) {
            mailbox->buffer = setup->data;
            mailbox->bufferSize = setup->dataLength;
        } else {
            mailbox->buffer = mailbox->own;
            mailbox->bufferSize = kOwnArea;
        }
    }
    Mailbox& record = mailbox->mb;
    record.linkCode = setup->linkCode;
    record.identifierWidth = setup->identifierWidth;
    record.identifier = setup->identifier;
    record.destination = setup->destination;
    record.mask = setup->mask;
    record.owner = setup->owner;
    record.data = transmit ? setup->data : mailbox->buffer;
    record.dataLength = transmit ? setup->dataLength : 0;

    Work deliver;
    if (oneShot) {
        LoggedFrame logged;
        int32_t result = BuildTransmit(*mailbox, mailbox->width, mailbox->frameKind, setup->identifier,
                                       setup->destination, setup->data, setup->dataLength, setup->j1708Header,
                                       deliver.message, logged);
        if (result != kVaOk) {
            delete mailbox;
            return result;
        }
        std::memcpy(record.j1708Header, setup->j1708Header, 3);
        logged.oneShot = 1;
        logged.time = TimerValue_locked(adapter, Clock::now());
        Log_locked(std::move(logged));
    }
    S().registry[&mailbox->mb] = mailbox;
    adapter.mailboxes.push_back(mailbox);
    setup->mailbox = &mailbox->mb;
    if (oneShot) {
        deliver.kind = Work::kDeliver;
        deliver.exclude = adapter.id;
        Work complete;
        complete.kind = Work::kTxComplete;
        complete.key = &mailbox->mb;
        complete.mailboxSerial = mailbox->serial;
        complete.freeAfter = true;
        Queue_locked(std::move(deliver));
        Queue_locked(std::move(complete));
    }
    return kVaOk;
}

template <class T>
void WriteOut(ZmxWord address, const T& value) {
    std::memcpy(reinterpret_cast<void*>(address), &value, sizeof value);  // no alignment assumed
}

// Puts a message on the bus as received, for one open adapter or all;
// `repeat` times, counted from `counterStart` when `counted`.
int32_t Inject(uint16_t adapterId, BusMessage&& message, uint32_t repeat = 1, bool counted = false,
               uint32_t counterStart = 0) {
    Lock lock(S().lock);
    if (S().thread == nullptr) return kVaErrNotRunning;
    Work item;
    item.kind = Work::kDeliver;
    if (adapterId != 0) {
        Adapter* adapter = FindAdapter_locked(adapterId);
        if (adapter == nullptr) return kVaErrUnknownAdapter;
        item.target = adapterId;
        item.targetSerial = adapter->serial;
    }
    item.message = std::move(message);
    item.repeat = repeat;
    item.counted = counted;
    item.counterStart = counterStart;
    Queue_locked(std::move(item));
    return kVaOk;
}

template <class Body>
int32_t Control(Body body) {
    try {
        return body();
    } catch (...) {
        return kVaErrNoMemory;
    }
}

}  // namespace

// ---- Open and restore entries ------------------------------------------------------
// An open gives the next free adapter id (1..511, going round) in bits 0-8 of
// the handle word and keeps its other bits; the LinkParams block is copied.
// A restore takes an adapter opened through the same link kind's open entry
// (InitTCP_IPListen counts as TCP/IP).

HV_EXPORT int32_t HV_CALL InitCommLink(uint16_t* handle, LinkParams* params) {
    return Open(kInitCommLinkEntry, kVaOpenCommLink, handle, params);
}
HV_EXPORT int32_t HV_CALL InitPCCard(uint16_t* handle, LinkParams* params) {
    return Open(kInitPCCardEntry, kVaOpenPCCard, handle, params);
}
HV_EXPORT int32_t HV_CALL InitTCP_IP(uint16_t* handle, LinkParams* params) {
    return Open(kInitTCP_IPEntry, kVaOpenTcpIp, handle, params);
}
HV_EXPORT int32_t HV_CALL InitTCP_IPListen(uint16_t* handle, LinkParams* params) {
    return Open(kInitTCP_IPListenEntry, kVaOpenTcpIpListen, handle, params);
}
HV_EXPORT int32_t HV_CALL InitUSBLink(uint16_t* handle, LinkParams* params) {
    return Open(kInitUSBLinkEntry, kVaOpenUsbLink, handle, params);
}
HV_EXPORT int32_t HV_CALL RestoreCommLink(uint16_t adapterId) {
    return Restore(kRestoreCommLinkEntry, kVaOpenCommLink, adapterId);
}
HV_EXPORT int32_t HV_CALL RestorePCCard(uint16_t adapterId) {
    return Restore(kRestorePCCardEntry, kVaOpenPCCard, adapterId);
}
HV_EXPORT int32_t HV_CALL RestoreTCP_IP(uint16_t adapterId) {
    return Restore(kRestoreTCP_IPEntry, kVaOpenTcpIp, adapterId);
}
HV_EXPORT int32_t HV_CALL RestoreUSBLink(uint16_t adapterId) {
    return Restore(kRestoreUSBLinkEntry, kVaOpenUsbLink, adapterId);
}

// ---- Forwarded entries ----------------------------------------------------------------

// Timer control: PauseTimer freezes the adapter timer, ResumeTimer lets it
// run on from the frozen value, LoadTimer(value) sets it.
HV_EXPORT int32_t HV_CALL PauseTimer(ZMX_PARAMS_W0) {
    return Forwarded(kFwdPauseTimer, handle, [](Adapter& adapter, Lock&) -> int32_t {
        if (!adapter.paused) {
            adapter.pausedValue = TimerValue_locked(adapter, Clock::now());
            adapter.paused = true;
        }
        return kVaOk;
    });
}
HV_EXPORT int32_t HV_CALL ResumeTimer(ZMX_PARAMS_W0) {
    return Forwarded(kFwdResumeTimer, handle, [](Adapter& adapter, Lock&) -> int32_t {
        if (adapter.paused) {
            adapter.paused = false;
            SetTimer_locked(adapter, adapter.pausedValue);
        }
        return kVaOk;
    });
}
HV_EXPORT int32_t HV_CALL LoadTimer(ZMX_PARAMS_W1) {
    return Forwarded(kFwdLoadTimer, handle, [&](Adapter& adapter, Lock&) -> int32_t {
        SetTimer_locked(adapter, static_cast<uint32_t>(value));
        return kVaOk;
    });
}

// RequestTimerValue(id, uint32_t* out): the adapter timer in milliseconds.
HV_EXPORT int32_t HV_CALL RequestTimerValue(ZMX_PARAMS_W1) {
    return Forwarded(kFwdRequestTimerValue, handle, [&](Adapter& adapter, Lock&) -> int32_t {
        if (value == 0) return kVaErrNullPointer;
        WriteOut(value, TimerValue_locked(adapter, Clock::now()));
        return kVaOk;
    });
}

// ResetZMX(id, uint8_t* command): resets the adapter: its timer restarts at 0
// (and runs, if it was paused). Data links and mailboxes stay.
HV_EXPORT int32_t HV_CALL ResetZMX(ZMX_PARAMS_W1) {
    return Forwarded(
        kFwdResetZMX, handle,
        [&](Adapter& adapter, Lock&) -> int32_t {
            if (value == 0) return kVaErrNullPointer;
            adapter.paused = false;
            SetTimer_locked(adapter, 0);
            return kVaOk;
        },
        Record(value, 1));
}

// CheckDataLink(id, char* text): the description (at most 79 characters and
// the terminator).
HV_EXPORT int32_t HV_CALL CheckDataLink(ZMX_PARAMS_W1) {
    return Forwarded(kFwdCheckDataLink, handle, [&](Adapter&, Lock&) -> int32_t {
        if (value == 0) return kVaErrNullPointer;
        char* text = reinterpret_cast<char*>(value);
        size_t length = std::min<size_t>(S().description.size(), 79);
        std::memcpy(text, S().description.data(), length);
        text[length] = '\0';
        return kVaOk;
    });
}

// InitDataLink(id, DataLinkSetup*): opens (or opens again) the data link of
// the setup's link code and keeps its error callback and setup bytes.
HV_EXPORT int32_t HV_CALL InitDataLink(ZMX_PARAMS_W1) {
    return Forwarded(
        kFwdInitDataLink, handle,
        [&](Adapter& adapter, Lock&) -> int32_t {
            if (value == 0) return kVaErrNullPointer;
            DataLinkSetup setup;
            std::memcpy(&setup, reinterpret_cast<const void*>(value), sizeof setup);
            if (!ValidLinkCode(setup.linkCode)) return kVaErrBadParameter;
            adapter.errorCallbacks[setup.linkCode] = setup.errorCallback;
            adapter.dataLinkMask |= 1u << setup.linkCode;
            std::memcpy(adapter.dataLinkSetup[setup.linkCode], &setup, 6);
            return kVaOk;
        },
        Record(value, sizeof(DataLinkSetup)));
}

// LoadMailBox(id, MailboxSetup*): creates a mailbox (rules in va_control.h);
// a one-shot transmit mailbox sends at once and is freed by the adapter after
// its callback.
HV_EXPORT int32_t HV_CALL LoadMailBox(ZMX_PARAMS_W1) {
    return Forwarded(
        kFwdLoadMailBox, handle,
        [&](Adapter& adapter, Lock&) -> int32_t {
            if (value == 0) return kVaErrNullPointer;
            return LoadMailBox_locked(adapter, reinterpret_cast<MailboxSetup*>(value));
        },
        Record(value, sizeof(MailboxSetup)));
}

// UnloadMailBox(id, Mailbox*): frees a mailbox of the adapter once no
// callback runs on it. Works while the module is silent.
HV_EXPORT int32_t HV_CALL UnloadMailBox(ZMX_PARAMS_W1) {
    CallNote note;
    note.adapterId = handle;
    return Entry(
        ForwardedIndex(kFwdUnloadMailBox),
        [&]() -> int32_t {
            Lock lock(S().lock);
            Adapter* adapter = FindAdapter_locked(handle);
            if (adapter == nullptr) return kVaErrUnknownAdapter;
            if (value == 0) return kVaErrNullPointer;
            VaMailbox* mailbox = AdapterMailbox_locked(*adapter, value);
            if (mailbox == nullptr) return kVaErrUnknownMailbox;
            Unregister_locked(mailbox);
            return Release_locked(mailbox, lock);
        },
        note);
}

// SetBaudRate(id, rate): recorded (VaListAdapters).
HV_EXPORT int32_t HV_CALL SetBaudRate(ZMX_PARAMS_W1) {
    return Forwarded(kFwdSetBaudRate, handle, [&](Adapter& adapter, Lock&) -> int32_t {
        adapter.baudRate = static_cast<uint32_t>(value);
        return kVaOk;
    });
}

// ConfigureTransportProtocol(id, TransportSetup*): recorded.
HV_EXPORT int32_t HV_CALL ConfigureTransportProtocol(ZMX_PARAMS_W1) {
    return Forwarded(
        kFwdConfigureTransportProtocol, handle,
        [&](Adapter& adapter, Lock&) -> int32_t {
            if (value == 0) return kVaErrNullPointer;
            std::memcpy(&adapter.transportSetup, reinterpret_cast<const void*>(value), sizeof(TransportSetup));
            ++adapter.transportSetups;
            return kVaOk;
        },
        Record(value, sizeof(TransportSetup)));
}

// The transmit entries: UpdateTransmitMailBox(Async)(id, Mailbox*, flags) and
// TransmitMailBox(Async)(id, Mailbox*) send what the persistent transmit
// mailbox holds now (identifier 0x06, data 0x83d, length 0x29, J1708 header
// 0x832-0x834). None of them waits for the completion callback.
HV_EXPORT int32_t HV_CALL UpdateTransmitMailBox(ZMX_PARAMS_WB) {
    return TransmitPersistent(kFwdUpdateTransmitMailBox, handle, value, flags);
}
HV_EXPORT int32_t HV_CALL UpdateTransmitMailBoxAsync(ZMX_PARAMS_WB) {
    return TransmitPersistent(kFwdUpdateTransmitMailBoxAsync, handle, value, flags);
}
HV_EXPORT int32_t HV_CALL TransmitMailBox(ZMX_PARAMS_W1) {
    return TransmitPersistent(kFwdTransmitMailBox, handle, value, 0);
}
HV_EXPORT int32_t HV_CALL TransmitMailBoxAsync(ZMX_PARAMS_W1) {
    return TransmitPersistent(kFwdTransmitMailBoxAsync, handle, value, 0);
}

// Entries that take a mailbox and change nothing: the virtual adapter reads
// mailbox contents when it sends, and receive mailboxes keep the acceptance
// they were loaded with.
HV_EXPORT int32_t HV_CALL ReceiveMailBox(ZMX_PARAMS_W1) { return PlainMailbox(kFwdReceiveMailBox, handle, value); }
HV_EXPORT int32_t HV_CALL UpdateTransMailBoxData(ZMX_PARAMS_W1) {
    return PlainMailbox(kFwdUpdateTransMailBoxData, handle, value);
}
HV_EXPORT int32_t HV_CALL UpdateTransMailBoxDataAsync(ZMX_PARAMS_W1) {
    return PlainMailbox(kFwdUpdateTransMailBoxDataAsync, handle, value);
}
HV_EXPORT int32_t HV_CALL UpdateReceiveMailBox(ZMX_PARAMS_WB) {
    (void)flags;
    return PlainMailbox(kFwdUpdateReceiveMailBox, handle, value);
}
HV_EXPORT int32_t HV_CALL UpdateReceiveMailBoxAsync(ZMX_PARAMS_WB) {
    (void)flags;
    return PlainMailbox(kFwdUpdateReceiveMailBoxAsync, handle, value);
}

// Entries the simulated adapter has no use for: counted, adapter checked,
// arguments not touched, 0.
#define VA_UNUSED_W0
#define VA_UNUSED_W1 (void)value;
#define VA_UNUSED_B1 (void)value;
#define VA_UNUSED_BW (void)value, (void)word;
#define VA_UNUSED_WSS (void)value, (void)first, (void)second;
#define VA_PLAIN_ENTRY(name, shape)                       \
    HV_EXPORT int32_t HV_CALL name(ZMX_PARAMS_##shape) { \
        VA_UNUSED_##shape return Plain(kFwd##name, handle); \
    }
VA_PLAIN_ENTRY(GoToLoader, W0)
VA_PLAIN_ENTRY(SuspendTimerInterrupt, W0)
VA_PLAIN_ENTRY(EnableTimerInterrupt, W1)
VA_PLAIN_ENTRY(ReadZMXChecksum, W1)
VA_PLAIN_ENTRY(InitDisplay, W1)
VA_PLAIN_ENTRY(WriteDisplay, W1)
VA_PLAIN_ENTRY(SendBuffer, W1)
VA_PLAIN_ENTRY(SetDecodeCallback, W1)
VA_PLAIN_ENTRY(StoreDataLink, B1)
VA_PLAIN_ENTRY(RestoreDataLink, B1)
VA_PLAIN_ENTRY(DisableDataLink, B1)
VA_PLAIN_ENTRY(ReadDataLink, BW)
VA_PLAIN_ENTRY(LoadZMXBuffer, WSS)
VA_PLAIN_ENTRY(ReadZMXBuffer, WSS)
#undef VA_PLAIN_ENTRY

// ---- Control interface (va_control.h) ---------------------------------------------------

HV_EXPORT int32_t HV_CALL VaInjectFrame(uint16_t adapterId, uint8_t linkCode, uint8_t identifierWidth,
                                         uint32_t identifier, const uint8_t* data, uint32_t length) {
    return Control([&]() -> int32_t {
        if (length > 0 && data == nullptr) return kVaErrNullPointer;
        if (IsCan(linkCode)) {
            if ((identifierWidth != 29 && identifierWidth != 11) || length > 8) return kVaErrBadParameter;
        } else if (linkCode == kLinkCodeJ1850) {
            if (identifierWidth != 24 || length > kVaMaxData) return kVaErrBadParameter;
        } else {
            return kVaErrBadParameter;  // J1708 goes through VaInjectJ1708
        }
        BusMessage message;
        message.linkCode = linkCode;
        message.width = identifierWidth;
        message.identifier = identifier & WidthMask(identifierWidth);
        if (length > 0) message.data.assign(data, data + length);
        return Inject(adapterId, std::move(message));
    });
}

HV_EXPORT int32_t HV_CALL VaInjectBurst(uint16_t adapterId, uint8_t linkCode, uint8_t identifierWidth,
                                         uint32_t identifier, const uint8_t* data, uint32_t length, uint32_t count,
                                         uint32_t counterStart) {
    return Control([&]() -> int32_t {
        if (length > 0 && data == nullptr) return kVaErrNullPointer;
        if (!IsCan(linkCode) || (identifierWidth != 29 && identifierWidth != 11) || length > 8 || count == 0) {
            return kVaErrBadParameter;
        }
        BusMessage message;
        message.linkCode = linkCode;
        message.width = identifierWidth;
        message.identifier = identifier & WidthMask(identifierWidth);
        if (length > 0) message.data.assign(data, data + length);
        return Inject(adapterId, std::move(message), count, length >= 4, counterStart);
    });
}

HV_EXPORT int32_t HV_CALL VaDeliverRaw(Mailbox* mailbox, const VaDelivery* delivery) {
    return Control([&]() -> int32_t {
        if (mailbox == nullptr || delivery == nullptr) return kVaErrNullPointer;
        Lock lock(S().lock);
        VaMailbox* known = FindMailbox_locked(mailbox);
        if (known == nullptr) return kVaErrUnknownMailbox;
        if (known->direction != 0) return kVaErrWrongDirection;
        Work item;
        item.kind = Work::kRaw;
        item.key = mailbox;
        item.mailboxSerial = known->serial;
        item.raw = std::make_shared<VaDelivery>(*delivery);
        Queue_locked(std::move(item));
        return kVaOk;
    });
}

HV_EXPORT int32_t HV_CALL VaHoldCompletions(int32_t hold) {
    Lock lock(S().lock);
    if (hold > 0) {
        S().holdCompletions = true;
        return kVaOk;
    }
    S().holdCompletions = false;
    int32_t count = static_cast<int32_t>(S().heldCompletions.size());
    if (hold == 0) {
        for (Work& item : S().heldCompletions) S().work.push_back(std::move(item));
        S().wake.notify_all();
    }
    S().heldCompletions.clear();
    return count;
}

HV_EXPORT int32_t HV_CALL VaInjectTransport(uint16_t adapterId, uint8_t linkCode, uint32_t identifier,
                                             uint8_t destination, const uint8_t* data, uint32_t length) {
    return Control([&]() -> int32_t {
        if (data == nullptr) return kVaErrNullPointer;
        if (!IsCan(linkCode) || length < 9 || length > kMaxTransport) return kVaErrBadParameter;
        BusMessage message;
        message.linkCode = linkCode;
        message.width = 29;
        message.transport = true;
        message.destination = destination;
        message.identifier = identifier & WidthMask(29);
        message.data.assign(data, data + length);
        return Inject(adapterId, std::move(message));
    });
}

HV_EXPORT int32_t HV_CALL VaInjectJ1708(uint16_t adapterId, const uint8_t* message, uint32_t length) {
    return Control([&]() -> int32_t {
        if (message == nullptr) return kVaErrNullPointer;
        if (length < 1 || length > kVaMaxData) return kVaErrBadParameter;
        BusMessage bus;
        bus.linkCode = kLinkCodeJ1708;
        bus.data.assign(message, message + length);
        return Inject(adapterId, std::move(bus));
    });
}

HV_EXPORT int32_t HV_CALL VaTakeTransmitted(VaFrame* frames, uint32_t capacity) {
    return Control([&]() -> int32_t {
        Lock lock(S().lock);
        auto& log = S().transmitted;
        if (frames == nullptr) return static_cast<int32_t>(log.size());
        uint32_t count = 0;
        while (count < capacity && !log.empty()) {
            const LoggedFrame& logged = log.front();
            VaFrame& out = frames[count++];
            std::memset(&out, 0, sizeof out);
            out.adapterId = logged.adapterId;
            out.linkCode = logged.linkCode;
            out.identifierWidth = logged.identifierWidth;
            out.frameKind = logged.frameKind;
            out.destination = logged.destination;
            out.priority = logged.priority;
            out.flags = logged.flags;
            out.oneShot = logged.oneShot;
            out.identifier = logged.identifier;
            out.time = logged.time;
            out.length = static_cast<uint32_t>(logged.data.size());
            if (!logged.data.empty()) std::memcpy(out.data, logged.data.data(), logged.data.size());
            log.pop_front();
        }
        return static_cast<int32_t>(count);
    });
}

HV_EXPORT int32_t HV_CALL VaFailLoads(uint32_t count, int32_t result) {
    Lock lock(S().lock);
    S().failLoads = count;
    S().failResult = result;
    return kVaOk;
}

HV_EXPORT int32_t HV_CALL VaTakeCalls(VaCall* calls, uint32_t capacity) {
    Lock lock(S().lock);
    auto& log = S().callLog;
    if (calls == nullptr) return static_cast<int32_t>(log.size());
    uint32_t count = 0;
    while (count < capacity && !log.empty()) {
        calls[count++] = log.front();
        log.pop_front();
    }
    return static_cast<int32_t>(count);
}

HV_EXPORT int32_t HV_CALL VaFailEntry(const char* entryName, uint32_t skip, uint32_t count, int32_t result) {
    Lock lock(S().lock);
    if (entryName == nullptr) {
        for (auto& rule : S().forced) rule = State::ForcedFailure();
        return kVaOk;
    }
    for (int i = 0; i < kEntryCount; ++i) {
        if (std::strcmp(kEntryNames[i], entryName) == 0) {
            S().forced[i].skip = skip;
            S().forced[i].count = count;
            S().forced[i].result = result;
            return kVaOk;
        }
    }
    return kVaErrBadParameter;
}

HV_EXPORT int32_t HV_CALL VaRaiseDataLinkError(uint16_t adapterId, uint8_t linkCode, Mailbox* mailbox,
                                                ZmxWord value) {
    return Control([&]() -> int32_t {
        Lock lock(S().lock);
        Adapter* adapter = FindAdapter_locked(adapterId);
        if (adapter == nullptr) return kVaErrUnknownAdapter;
        if (linkCode != 0 && (!ValidLinkCode(linkCode) || adapter->errorCallbacks[linkCode] == nullptr)) {
            return kVaErrNoDataLink;
        }
        Work item;
        item.kind = Work::kDataLinkError;
        item.adapterId = adapterId;
        item.adapterSerial = adapter->serial;
        item.linkCode = linkCode;
        item.value = value;
        if (mailbox != nullptr) {
            VaMailbox* known = FindMailbox_locked(mailbox);
            if (known == nullptr) return kVaErrUnknownMailbox;
            item.key = mailbox;
            item.mailboxSerial = known->serial;
        }
        Queue_locked(std::move(item));
        return kVaOk;
    });
}

HV_EXPORT int32_t HV_CALL VaSetSilent(int32_t silent) {
    Lock lock(S().lock);
    S().silent = silent != 0;
    return kVaOk;
}

HV_EXPORT int32_t HV_CALL VaResetTimer(uint16_t adapterId) {
    Lock lock(S().lock);
    if (adapterId != 0 && FindAdapter_locked(adapterId) == nullptr) return kVaErrUnknownAdapter;
    for (auto& entry : S().adapters) {
        if (adapterId == 0 || entry.first == adapterId) SetTimer_locked(*entry.second, 0);
    }
    return kVaOk;
}

HV_EXPORT int32_t HV_CALL VaSetDescription(const char* text) {
    return Control([&]() -> int32_t {
        Lock lock(S().lock);
        S().description = text == nullptr ? std::string(kDefaultDescription) : std::string(text).substr(0, 79);
        return kVaOk;
    });
}

HV_EXPORT int32_t HV_CALL VaCallCount(const char* entryName) {
    if (entryName == nullptr) return -1;
    for (int i = 0; i < kEntryCount; ++i) {
        if (std::strcmp(kEntryNames[i], entryName) == 0) {
            return static_cast<int32_t>(S().calls[i].load(std::memory_order_relaxed));
        }
    }
    return -1;
}

HV_EXPORT int32_t HV_CALL VaListAdapters(VaAdapterInfo* adapters, uint32_t capacity) {
    Lock lock(S().lock);
    uint32_t index = 0;
    for (auto& entry : S().adapters) {
        if (adapters != nullptr && index < capacity) {
            const Adapter& adapter = *entry.second;
            VaAdapterInfo& out = adapters[index];
            std::memset(&out, 0, sizeof out);
            out.id = adapter.id;
            out.openEntry = adapter.openEntry;
            out.dataLinkMask = adapter.dataLinkMask;
            std::memcpy(out.dataLinkSetup, adapter.dataLinkSetup, sizeof out.dataLinkSetup);
            out.baudRate = adapter.baudRate;
            out.mailboxes = static_cast<uint32_t>(adapter.mailboxes.size());
            out.transportSetups = adapter.transportSetups;
            std::memcpy(&out.transportSetup, &adapter.transportSetup, sizeof(TransportSetup));
            std::memcpy(&out.params, &adapter.params, sizeof(LinkParams));
        }
        ++index;
    }
    return static_cast<int32_t>(index);
}

HV_EXPORT int32_t HV_CALL VaListMailboxes(uint16_t adapterId, VaMailboxInfo* mailboxes, uint32_t capacity) {
    Lock lock(S().lock);
    if (adapterId != 0 && FindAdapter_locked(adapterId) == nullptr) return -1;
    uint32_t index = 0;
    for (auto& entry : S().adapters) {
        if (adapterId != 0 && entry.first != adapterId) continue;
        for (const VaMailbox* mailbox : entry.second->mailboxes) {
            if (mailboxes != nullptr && index < capacity) {
                VaMailboxInfo& out = mailboxes[index];
                std::memset(&out, 0, sizeof out);
                out.mailbox = const_cast<Mailbox*>(&mailbox->mb);
                out.owner = mailbox->owner;
                out.adapterId = mailbox->adapterId;
                out.linkCode = mailbox->linkCode;
                out.direction = mailbox->direction;
                out.frameKind = mailbox->frameKind;
                out.oneShot = mailbox->oneShot;
                out.identifierWidth = mailbox->width;
                out.destination = mailbox->destination;
                out.identifier = mailbox->code;
                out.mask = mailbox->mask;
                out.bufferSize = mailbox->bufferSize;
                out.sizeLimit = mailbox->sizeLimit;
                out.hasCallback = mailbox->callback != nullptr ? 1 : 0;
            }
            ++index;
        }
    }
    return static_cast<int32_t>(index);
}

HV_EXPORT int32_t HV_CALL VaStartReplay(const char* path, uint32_t speed, int32_t loop) {
    return Control([&]() -> int32_t {
        if (path == nullptr) return kVaErrNullPointer;
        std::vector<ReplayFrame> frames = LoadReplay(path);  // outside the lock: file reading
        if (frames.empty()) return kVaErrNoFile;
        Lock lock(S().lock);
        InstallReplay_locked(std::move(frames), speed, loop != 0);
        return kVaOk;
    });
}

HV_EXPORT int32_t HV_CALL VaStopReplay(void) {
    Lock lock(S().lock);
    if (S().replayActive) {
        S().replayActive = false;
        S().replayDone = true;
        S().changed.notify_all();
    }
    return kVaOk;
}

HV_EXPORT int32_t HV_CALL VaReplayStatus(uint32_t* delivered, uint32_t* total, int32_t* done) {
    Lock lock(S().lock);
    if (delivered != nullptr) *delivered = S().replayDelivered;
    if (total != nullptr) *total = static_cast<uint32_t>(S().replayFrames.size());
    if (done != nullptr) *done = S().replayDone ? 1 : 0;
    return kVaOk;
}

HV_EXPORT int32_t HV_CALL VaSetJ1708Periodic(uint32_t intervalMs) {
    Lock lock(S().lock);
    S().j1708Interval = intervalMs;
    S().j1708Started = false;
    S().wake.notify_all();
    return kVaOk;
}

HV_EXPORT int32_t HV_CALL VaWaitIdle(uint32_t timeoutMs) {
    Lock lock(S().lock);
    if (OnAdapterThread_locked()) return kVaErrOnAdapterThread;
    auto idle = [] {
        if (S().thread == nullptr) return true;
        return S().work.empty() && S().processing == 0 && !SourceDue_locked(Clock::now());
    };
    if (S().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle)) return kVaOk;
    return kVaErrTimeout;
}

HV_EXPORT int32_t HV_CALL VaAdapterThreadRunning(void) {
    Lock lock(S().lock);
    return S().thread != nullptr ? 1 : 0;
}

HV_EXPORT int32_t HV_CALL VaModulePath(char* path, uint32_t size) {
    return Control([&]() -> int32_t {
        if (path == nullptr) return 0;
        std::string own = OwnPath();
        if (own.empty() || own.size() + 1 > size) return 0;
        std::memcpy(path, own.c_str(), own.size() + 1);
        return static_cast<int32_t>(own.size());
    });
}

HV_EXPORT int32_t HV_CALL VaResetControls(void) {
    Lock lock(S().lock);
    S().transmitted.clear();
    S().callLog.clear();
    S().holdCompletions = false;
    S().heldCompletions.clear();
    for (auto& count : S().calls) count.store(0);
    for (auto& rule : S().forced) rule = State::ForcedFailure();
    S().failLoads = 0;
    S().failResult = 0;
    S().silent = false;
    S().description = kDefaultDescription;
    S().replayActive = false;
    S().replayFrames.clear();
    S().replayNext = 0;
    S().replayDelivered = 0;
    S().replayDone = false;
    S().j1708Interval = 0;
    return kVaOk;
}
