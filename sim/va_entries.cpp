// The virtual adapter's transport entries: opens, restores and the
// forwarded operations.
#include "sim/va_state.h"
#include "sim/va_wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <type_traits>

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

namespace va {

const char* const kEntryNames[kEntryCount] = {
#define VA_LINK_ENTRY_NAME(name) #name,
    ZMX_LINK_ENTRIES(VA_LINK_ENTRY_NAME)
#undef VA_LINK_ENTRY_NAME
#define VA_ENTRY_NAME(name, shape, serialN) #name,
    ZMX_FORWARDED_OPERATIONS(VA_ENTRY_NAME)
#undef VA_ENTRY_NAME
};

}  // namespace va

using namespace va;

namespace {

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
    if (S().silent || !Answers(**adapter)) return kVaErrSilent;
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
        {
            Lock lock(S().lock);
            if (S().powerOff) return kVaErrSilent;  // no adapter there to open
        }
        // A TCP/IP adapter's CAN 1 is the bus of a socketcand server: connected
        // before the module lock is taken (it may take a while).
        std::shared_ptr<WireLink> wire;
        if (openEntry == kVaOpenTcpIp) {
            int32_t result = kVaOk;
            wire = OpenWireLink(*params, &result);
            if (!wire) return result;
        }
        Lock lock(S().lock);
        if (S().powerOff) {  // switched off while the link connected
            lock.unlock();
            if (wire) StopWireLink(*wire);
            return kVaErrSilent;
        }
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
        if (result == kVaOk && wire) result = StartWireLink(*wire, id, adapter->serial);
        if (result != kVaOk) {
            if (S().adapters.empty()) StopThread_locked(lock);
            lock.unlock();
            if (wire) StopWireLink(*wire);
            return result;
        }
        adapter->wire = wire;
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
        std::shared_ptr<WireLink> wire = adapter->wire;
        for (VaMailbox* mailbox : mailboxes) Unregister_locked(mailbox);
        S().adapters.erase(id);
        if (wire) {
            // Its thread may be waiting for the module lock to report.
            lock.unlock();
            StopWireLink(*wire);
            lock.lock();
        }
        int32_t result = kVaOk;
        for (VaMailbox* mailbox : mailboxes) {
            int32_t released = Release_locked(mailbox, lock);
            if (released != kVaOk) result = released;
        }
        if (S().adapters.empty()) StopThread_locked(lock);
        return result;
    }, note);
}

// Sends the frame the library placed in a persistent transmit mailbox; the
// completion callback follows on the adapter thread.
int32_t TransmitPersistent(ZmxForwarded operation, uint16_t id, ZmxWord value, uint8_t flags) {
    return Forwarded(
        operation, id,
        [&](Adapter& adapter, Lock&) -> int32_t {
        if (value == 0) return kVaErrNullPointer;
        VaMailbox* mailbox = AdapterMailbox_locked(adapter, value);
        if (mailbox == nullptr || mailbox->stale) return kVaErrUnknownMailbox;  // dead since a reboot
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
        if (WireCarries(adapter, mailbox->linkCode)) {
            return WireTransmit_locked(adapter, message, &mailbox->mb, mailbox->serial, false);
        }
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
        VaMailbox* mailbox = AdapterMailbox_locked(adapter, value);
        return mailbox != nullptr && !mailbox->stale ? kVaOk : kVaErrUnknownMailbox;
    });
}

template <class T>
void WriteOut(ZmxWord address, const T& value) {
    std::memcpy(reinterpret_cast<void*>(address), &value, sizeof value);  // no alignment assumed
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
            UpdateWireDestinations_locked(*adapter);
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
