// The receive mailboxes of a connection (mailboxes.h).
#include "rp1210/mailboxes.h"

#include "rp1210/mux_binding.h"
#include "rp1210/protocols.h"
#include "rp1210/receive.h"
#include "rp1210/rp1210_defs.h"

#include <cstring>

namespace {

constexpr uint16_t kAddressBufferSize = 1785;   // a J1939 transport message's data
constexpr uint16_t kBroadcastSizeLimit = 4086;

// Loads one receive mailbox and lists it. 0, a load failure (the
// multiplexer's result), or 133 for the list node.
int32_t LoadReceive_adapterCallLocked(DeviceConnection* c, const MailboxSpec& spec, uint32_t identifier,
                                      uint32_t mask) {
    MailboxNode* node = static_cast<MailboxNode*>(OsAllocate(sizeof(MailboxNode)));
    if (node == nullptr) return kErrNotEnoughMemory;
    uint8_t linkCode = spec.linkCode != 0 ? spec.linkCode : c->linkCode;
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = linkCode;
    setup.direction = 0;
    setup.frameKind = spec.frameKind;
    setup.identifierWidth = spec.width;
    setup.identifier = identifier;
    setup.mask = mask;
    setup.receive = 1;
    setup.noTimestamp = static_cast<uint8_t>(c->noTimestamp);
    setup.fullMask = spec.fullMask ? 1 : 0;
    if (spec.sizeLimit != 0) {
        setup.sizeLimitOn = 1;
        setup.sizeLimit = spec.sizeLimit;
    }
    setup.callback = OnFrameReceived;
    setup.owner = c;
    setup.dataLength = spec.bufferSize;
    setup.data = c->receiveBuffer;
    int32_t result = c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup));
    if (result != 0 || setup.mailbox == nullptr) {
        OsFree(node);
        return result != 0 ? result : kErrHardwareNotResponding;
    }
    node->mailbox = setup.mailbox;
    node->linkCode = linkCode;
    node->width = spec.width;
    node->identifier = identifier;
    node->mask = mask;
    node->next = c->receiveMailboxes;
    c->receiveMailboxes = node;
    return 0;
}

void UnloadList_adapterCallLocked(DeviceConnection* c, MailboxNode** list) {
    while (MailboxNode* node = *list) {
        *list = node->next;
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(node->mailbox));
        OsFree(node);
    }
}

int CountReceive_adapterCallLocked(const DeviceConnection* c) {
    int count = 0;
    for (const MailboxNode* node = c->receiveMailboxes; node != nullptr; node = node->next) ++count;
    return count;
}

// Whether a receive mailbox for the same frames is loaded already. The
// identifier width counts too: an 11-bit and a 29-bit mailbox with the same
// numbers take different frames.
bool Listed_adapterCallLocked(const DeviceConnection* c, uint8_t linkCode, uint8_t width, uint32_t identifier,
                              uint32_t mask) {
    for (const MailboxNode* node = c->receiveMailboxes; node != nullptr; node = node->next) {
        if (node->linkCode == linkCode && node->width == width && node->identifier == identifier && node->mask == mask) {
            return true;
        }
    }
    return false;
}

// The pass-all mailboxes of the connection's protocol. An accept-all
// mailbox is loaded only when the connection has none for those frames:
// every client of a connection asks for pass-all, and a second mailbox would
// hand each frame to every client twice.
int32_t LoadPassAll_adapterCallLocked(DeviceConnection* c) {
    const ProtocolRow& row = Protocol(c->protocolKind);
    if (row.passAllOnce && c->receiveMailboxes != nullptr) return 0;
    int32_t result = 0;
    for (int i = 0; i < row.passAllCount; ++i) {
        const MailboxSpec& spec = row.passAll[i];
        uint8_t linkCode = spec.linkCode != 0 ? spec.linkCode : c->linkCode;
        if (!row.passAllOnce && Listed_adapterCallLocked(c, linkCode, spec.width, 0, 0)) {
            result = 0;
            continue;
        }
        result = LoadReceive_adapterCallLocked(c, spec, 0, 0);  // only the last one's result counts
    }
    return result;
}

// One transport receive mailbox for a protected address.
int32_t LoadAddressMailbox(DeviceConnection* c, uint8_t frameKind, uint8_t address, uint16_t sizeLimit,
                           Mailbox** out) {
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = c->linkCode;
    setup.frameKind = frameKind;
    setup.identifierWidth = 29;
    setup.destination = address;
    setup.receive = 1;
    setup.noTimestamp = static_cast<uint8_t>(c->noTimestamp);
    setup.sizeLimitOn = 1;
    setup.sizeLimit = sizeLimit;
    setup.callback = OnFrameReceived;
    setup.owner = c;
    setup.dataLength = kAddressBufferSize;
    setup.data = c->receiveBuffer;
    int32_t result = c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup));
    *out = setup.mailbox;
    return result == 0 && setup.mailbox == nullptr ? kErrHardwareNotResponding : result;
}

// The broadcast mailbox (adapters with large buffers, once per connection)
// and the address's own connection transport mailbox.
int32_t LoadAddressMailboxes_adapterCallLocked(DeviceConnection* c, uint8_t address) {
    if (c->largeBuffers && c->broadcastMailbox == nullptr) {
        Mailbox* broadcast = nullptr;
        int32_t result = LoadAddressMailbox(c, kFrameBroadcastTransport, address, kBroadcastSizeLimit, &broadcast);
        if (result != 0) return result;
        c->broadcastMailbox = broadcast;
    }
    MailboxNode* node = static_cast<MailboxNode*>(OsAllocate(sizeof(MailboxNode)));
    if (node == nullptr) return kErrNotEnoughMemory;
    int32_t result = LoadAddressMailbox(c, c->largeBuffers ? kFrameConnectionTransport : kFrameConnectionSmall,
                                        address, 0, &node->mailbox);
    if (result != 0) {
        OsFree(node);
        return result;
    }
    node->linkCode = c->linkCode;
    node->width = 29;
    node->destination = address;
    node->next = c->claimMailboxes;
    c->claimMailboxes = node;
    return 0;
}

}  // namespace

int16_t OpenAllReceivePaths(DeviceConnection* c) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    int32_t result = LoadPassAll_adapterCallLocked(c);
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    if (result != 0) {
        // The adapter may be out of mailboxes: start again from none.
        UnloadList_adapterCallLocked(c, &c->receiveMailboxes);
        result = LoadPassAll_adapterCallLocked(c);
        if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
        if (result != 0) return kErrHardwareNotResponding;
    }
    return kRp1210Ok;
}

int16_t AddFilterMailbox(DeviceConnection* c, const FilterEntry& f) {
    const FilterRule& rule = RuleOf(f.kind);
    FilterMailbox wanted = rule.mailbox(f);
    if (wanted.openAll) return OpenAllReceivePaths(c);
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    int loaded = CountReceive_adapterCallLocked(c);
    if (loaded > rule.capacity) return kRp1210Ok;  // no room: the client-side filter still applies
    if (loaded == rule.capacity) {
        wanted.identifier = 0;  // the last mailbox the adapter has room for lets everything in
        wanted.mask = 0;
        wanted.spec.fullMask = false;
    }
    if (Listed_adapterCallLocked(c, c->linkCode, wanted.spec.width, wanted.identifier, wanted.mask)) return kRp1210Ok;
    int32_t result = LoadReceive_adapterCallLocked(c, wanted.spec, wanted.identifier, wanted.mask);
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    return result == 0 ? kRp1210Ok : kErrHardwareNotResponding;
}

void UnloadReceivePaths(DeviceConnection* c) {
    AdapterCallGuard guard(kReleaseCallWait);
    if (guard.held()) UnloadList_adapterCallLocked(c, &c->receiveMailboxes);
}

int16_t AddAddressMailboxes(DeviceConnection* c, uint8_t address) {
    if (!Protocol(c->protocolKind).claimMailboxes) return kRp1210Ok;
    int32_t result;
    {
        AdapterCallGuard guard(kAdapterCallWait);
        if (!guard.held()) return kErrHardwareNotResponding;
        result = LoadAddressMailboxes_adapterCallLocked(c, address);
    }
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    if (result == 0) return kRp1210Ok;
    // The adapter may be out of mailboxes: open the receive paths and try once more.
    OpenAllReceivePaths(c);
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    result = LoadAddressMailboxes_adapterCallLocked(c, address);
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    return result == 0 ? kRp1210Ok : kErrHardwareNotResponding;
}

void RemoveAddressMailboxes(DeviceConnection* c, uint8_t address) {
    if (!Protocol(c->protocolKind).claimMailboxes) return;
    AdapterCallGuard guard(kReleaseCallWait);
    if (!guard.held()) return;
    for (MailboxNode** link = &c->claimMailboxes; *link != nullptr; link = &(*link)->next) {
        MailboxNode* node = *link;
        if (node->destination != address) continue;
        *link = node->next;
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(node->mailbox));
        OsFree(node);
        break;
    }
    if (c->claimMailboxes == nullptr && c->broadcastMailbox != nullptr) {
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(c->broadcastMailbox));
        c->broadcastMailbox = nullptr;
    }
}

void UnloadAllReceive_adapterCallLocked(DeviceConnection* c) {
    UnloadList_adapterCallLocked(c, &c->receiveMailboxes);
    UnloadList_adapterCallLocked(c, &c->claimMailboxes);
    if (c->broadcastMailbox != nullptr) {
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(c->broadcastMailbox));
        c->broadcastMailbox = nullptr;
    }
}
