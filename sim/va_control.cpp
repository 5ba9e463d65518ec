// The virtual adapter's control interface (va_control.h).
#include "sim/va_state.h"
#include "sim/va_wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace va;

namespace {

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

namespace {

void SetAdapterPower_locked(Adapter& adapter, int32_t power) {
    if (adapter.gone) return;  // a gone handle stays gone
    if (power == kVaPowerOn) {
        if (!adapter.powered) {
            adapter.powered = true;
            // A TCP/IP adapter reboots when its link has connected again.
            if (!adapter.wire) Reboot_locked(adapter);
        }
    } else {
        adapter.powered = false;
        adapter.gone = power == kVaPowerGone;
    }
    if (adapter.wire) HoldWireLink(*adapter.wire, !adapter.powered || adapter.gone);
}

}  // namespace

HV_EXPORT int32_t HV_CALL VaSetPower(uint16_t adapterId, int32_t power) {
    if (power != kVaPowerOff && power != kVaPowerOn && power != kVaPowerGone) return kVaErrBadParameter;
    Lock lock(S().lock);
    if (adapterId != 0) {
        Adapter* adapter = FindAdapter_locked(adapterId);
        if (adapter == nullptr) return kVaErrUnknownAdapter;
        SetAdapterPower_locked(*adapter, power);
        return kVaOk;
    }
    if (power != kVaPowerGone) S().powerOff = power == kVaPowerOff;
    for (auto& entry : S().adapters) SetAdapterPower_locked(*entry.second, power);
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

HV_EXPORT int32_t HV_CALL VaDeliveryQueue(uint32_t* waiting, uint32_t* dropped) {
    Lock lock(S().lock);
    if (waiting != nullptr) *waiting = S().queuedDeliveries;
    if (dropped != nullptr) *dropped = S().droppedDeliveries;
    return kVaOk;
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
            out.answers = Answers(adapter) ? 1 : 0;
            out.boots = adapter.boots;
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
                out.stale = mailbox->stale ? 1 : 0;
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
    S().droppedDeliveries = 0;
    for (auto& count : S().calls) count.store(0);
    for (auto& rule : S().forced) rule = State::ForcedFailure();
    S().failLoads = 0;
    S().failResult = 0;
    S().silent = false;
    S().powerOff = false;
    for (auto& entry : S().adapters) {
        Adapter& adapter = *entry.second;
        adapter.gone = false;
        if (!adapter.powered) SetAdapterPower_locked(adapter, kVaPowerOn);
    }
    S().description = kDefaultDescription;
    S().replayActive = false;
    S().replayFrames.clear();
    S().replayNext = 0;
    S().replayDelivered = 0;
    S().replayDone = false;
    S().j1708Interval = 0;
    return kVaOk;
}
