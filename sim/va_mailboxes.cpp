// The virtual adapter's adapters and mailboxes: delivery to receive
// mailboxes, transmission, completions and data-link errors.
#include "sim/va_state.h"
#include "sim/va_wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace va {

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

bool Answers(const Adapter& adapter) {
    return adapter.powered && !adapter.gone && !(adapter.wire && WireLinkDown(*adapter.wire));
}

void Reboot_locked(Adapter& adapter) {
    adapter.paused = false;
    SetTimer_locked(adapter, 0);
    adapter.dataLinkMask = 0;
    for (DataLinkErrorCallback& callback : adapter.errorCallbacks) callback = nullptr;
    std::memset(adapter.dataLinkSetup, 0, sizeof adapter.dataLinkSetup);
    adapter.baudRate = 0;
    for (VaMailbox* mailbox : adapter.mailboxes) mailbox->stale = true;
    ++adapter.boots;
    UpdateWireDestinations_locked(adapter);
}

Adapter* FindAdapter_locked(uint16_t id) {
    auto it = S().adapters.find(id);
    return it == S().adapters.end() ? nullptr : it->second.get();
}

// The live mailbox at `key`, when it has the given serial (0: any).
VaMailbox* FindMailbox_locked(const Mailbox* key, uint64_t serial) {
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

// ---- The transmitted log -----------------------------------------------------

void Log_locked(LoggedFrame&& frame) {
    if (S().transmitted.size() >= kLogLimit) S().transmitted.pop_front();
    S().transmitted.push_back(std::move(frame));
}

// ---- Delivery ------------------------------------------------------------------

bool Accepts(const VaMailbox& mailbox, const BusMessage& message) {
    if (mailbox.stale || mailbox.direction != 0 || mailbox.linkCode != message.linkCode) return false;
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
        if (adapter.id == exclude || !Answers(adapter)) continue;
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
        if (mailbox == nullptr || S().silent || mailbox->stale) continue;
        Adapter* adapter = FindAdapter_locked(mailbox->adapterId);
        if (adapter == nullptr || !Answers(*adapter)) continue;
        Fill_locked(*mailbox, message, TimerValue_locked(*adapter, Clock::now()));
        if (mailbox->callback != nullptr) {
            MailboxCallback callback = mailbox->callback;
            Mailbox* record = &mailbox->mb;
            RunCallback_locked(mailbox, lock, [&] { callback(record); });
        }
    }
}

// A completion or failure report whose adapter has lost power (or its
// connection), or whose mailbox died with a reboot, is lost: the one-shot
// mailbox is freed without a callback. True when it was dropped.
bool DropLostReport_locked(VaMailbox* mailbox, const Adapter* adapter, bool freeAfter) {
    if (adapter != nullptr && Answers(*adapter) && !mailbox->stale) return false;
    if (freeAfter) {
        Unregister_locked(mailbox);
        delete mailbox;
    }
    return true;
}

void CompleteTransmit_locked(const Work& item, Lock& lock) {
    VaMailbox* mailbox = FindMailbox_locked(item.key, item.mailboxSerial);
    if (mailbox == nullptr) return;
    Adapter* adapter = FindAdapter_locked(mailbox->adapterId);
    if (DropLostReport_locked(mailbox, adapter, item.freeAfter)) return;
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

// A transmission that did not go out: the data-link error callback of its
// link gets the mailbox (the library ends the send as not sent); a one-shot
// mailbox is freed afterwards.
void FailTransmit_locked(const Work& item, Lock& lock) {
    VaMailbox* mailbox = FindMailbox_locked(item.key, item.mailboxSerial);
    if (mailbox == nullptr) return;
    Adapter* adapter = FindAdapter_locked(mailbox->adapterId);
    if (DropLostReport_locked(mailbox, adapter, item.freeAfter)) return;
    DataLinkErrorCallback callback = adapter != nullptr ? adapter->errorCallbacks[mailbox->linkCode] : nullptr;
    bool alive = true;
    if (callback != nullptr) {
        Mailbox* record = &mailbox->mb;
        alive = RunCallback_locked(mailbox, lock, [&] { callback(record, 0); });
    }
    if (alive && item.freeAfter) {
        Unregister_locked(mailbox);
        delete mailbox;
    }
}

void RaiseDataLinkError_locked(const Work& item, Lock& lock) {
    Adapter* adapter = FindAdapter_locked(item.adapterId);
    if (adapter == nullptr || adapter->serial != item.adapterSerial || !Answers(*adapter)) return;
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
    if (mailbox == nullptr || S().silent || mailbox->stale) return;
    Adapter* adapter = FindAdapter_locked(mailbox->adapterId);
    if (adapter == nullptr || !Answers(*adapter)) return;
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
        case Work::kTxFailed: FailTransmit_locked(item, lock); break;
        case Work::kDataLinkError: RaiseDataLinkError_locked(item, lock); break;
    }
}

void Queue_locked(Work&& item) {
    if (item.kind == Work::kTxComplete && S().holdCompletions) {
        S().heldCompletions.push_back(std::move(item));
        return;
    }
    if (item.kind == Work::kDeliver) {
        // Frames heard while the adapter thread is held up (a callback that
        // does not return) wait in a bounded queue; what does not fit is lost,
        // as in a full receive buffer.
        if (S().queuedDeliveries >= kVaDeliveryQueueLimit) {
            ++S().droppedDeliveries;
            return;
        }
        ++S().queuedDeliveries;
    }
    S().work.push_back(std::move(item));
    S().wake.notify_all();
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
    if (!transmit) UpdateWireDestinations_locked(adapter);
    if (oneShot && WireCarries(adapter, mailbox->linkCode)) {
        int32_t result = WireTransmit_locked(adapter, deliver.message, &mailbox->mb, mailbox->serial, true);
        if (result != kVaOk) {
            Unregister_locked(mailbox);
            delete mailbox;
            return result;
        }
        setup->mailbox = &mailbox->mb;
        return kVaOk;
    }
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

}  // namespace va
