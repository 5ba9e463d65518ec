// The receive path.
//
// Lock order (library.h): the receive callback runs on the adapter's thread
// and takes only the list lock (to find its connection), the table lock (to
// find the connection's clients), then each client's filterLock and
// ringLock, one at a time: never AdapterCallLock. The receive mailbox list
// of a connection changes only together with a multiplexer call, so
// AdapterCallLock guards it. A reader holds ringLock only while it looks at
// or copies out of the ring, never while it waits.
#include "rp1210/receive.h"

#include "rp1210/claim.h"
#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "rp1210/ring.h"
#include "rp1210/rp1210_defs.h"

#include <cstring>

namespace {

bool IsJ1939(int32_t kind) { return kind == kKindJ1939 || kind == kKindJ1939Ch2; }
bool IsCan(int32_t kind) { return kind == kKindCan || kind == kKindCanCh2; }

// Whether a filter of the J1939 kind lets the message through. `k` skips
// the echo byte after the timestamp.
bool MatchesJ1939(const FilterEntry& f, const uint8_t* m, int length, int k) {
    if (length < 10 + k) return false;
    uint8_t flags = f.data[0];
    if ((flags & 0x01) && std::memcmp(f.data + 1, m + 4 + k, 3) != 0) return false;
    if ((flags & 0x02) && f.data[4] != m[7 + k]) return false;
    if ((flags & 0x04) && f.data[5] != m[8 + k]) return false;
    if ((flags & 0x08) && f.data[6] != m[9 + k]) return false;
    return true;
}

bool MatchesCan(const FilterEntry& f, const uint8_t* m, int length, int k) {
    bool standard = f.data[0] == 0 || f.data[0] == '0';
    const uint8_t* mask = f.data + 1;
    const uint8_t* header = f.data + 5;
    if (standard) {
        if (length < 7 + k) return false;
        for (int i = 0; i < 2; ++i) {
            if (((header[2 + i] ^ m[5 + k + i]) & mask[2 + i]) != 0) return false;
        }
        return true;
    }
    if (length < 9 + k) return false;
    for (int i = 0; i < 4; ++i) {
        if (((header[i] ^ m[5 + k + i]) & mask[i]) != 0) return false;
    }
    return true;
}

// Whether the client's settings let the message of a connection of `kind`
// into its ring.
bool Passes(ClientRecord* c, int32_t kind, const uint8_t* message, int length) {
    if (c->passAll.load()) return true;
    if (kind == kKindJ1850) return false;
    int k = c->echoOn.load() ? 1 : 0;
    bool pass = false;
    OsLockMutex(c->filterLock, kOsWaitForever);
    for (const FilterEntry* f = c->filters->first; f != nullptr && !pass; f = f->next) {
        if (IsJ1939(kind) && f->length == 7) {
            pass = MatchesJ1939(*f, message, length, k);
        } else if (IsCan(kind) && f->length == 9) {
            pass = MatchesCan(*f, message, length, k);
        } else if (kind == kKindJ1708 && f->length == 1) {
            pass = length > 4 + k && f->data[0] == message[4 + k];
        }
    }
    OsUnlockMutex(c->filterLock);
    return pass;
}

// Loads one receive mailbox and lists it. Expects AdapterCallLock held.
// 0, a load failure (the multiplexer's result), or 133 for the list node.
int32_t LoadReceive_locked(DeviceConnection* c, uint8_t linkCode, uint8_t width, uint8_t frameKind, uint32_t identifier,
                           uint32_t mask, bool fullMask, uint16_t bufferSize, uint16_t sizeLimit) {
    MailboxNode* node = static_cast<MailboxNode*>(OsAllocate(sizeof(MailboxNode)));
    if (node == nullptr) return kErrNotEnoughMemory;
    MailboxSetup setup;
    std::memset(&setup, 0, sizeof setup);
    setup.linkCode = linkCode;
    setup.direction = 0;
    setup.frameKind = frameKind;
    setup.identifierWidth = width;
    setup.identifier = identifier;
    setup.mask = mask;
    setup.receive = 1;
    setup.noTimestamp = static_cast<uint8_t>(c->noTimestamp);
    setup.fullMask = fullMask ? 1 : 0;
    if (sizeLimit != 0) {
        setup.sizeLimitOn = 1;
        setup.sizeLimit = sizeLimit;
    }
    setup.callback = OnFrameReceived;
    setup.owner = c;
    setup.dataLength = bufferSize;
    setup.data = c->receiveBuffer;
    int32_t result = c->mux.entries.LoadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(&setup));
    if (result != 0 || setup.mailbox == nullptr) {
        OsFree(node);
        return result != 0 ? result : kErrHardwareNotResponding;
    }
    node->mailbox = setup.mailbox;
    node->linkCode = linkCode;
    node->width = width;
    node->identifier = identifier;
    node->mask = mask;
    node->next = c->receiveMailboxes;
    c->receiveMailboxes = node;
    return 0;
}

void UnloadReceive_locked(DeviceConnection* c) {
    while (MailboxNode* node = c->receiveMailboxes) {
        c->receiveMailboxes = node->next;
        c->mux.entries.UnloadMailBox(c->adapterHandle, reinterpret_cast<ZmxWord>(node->mailbox));
        OsFree(node);
    }
}

int CountReceive_locked(const DeviceConnection* c) {
    int count = 0;
    for (const MailboxNode* node = c->receiveMailboxes; node != nullptr; node = node->next) ++count;
    return count;
}

// Whether a receive mailbox for the same frames is loaded already. The
// identifier width counts too: an 11-bit and a 29-bit mailbox with the same
// numbers take different frames.
bool Listed_locked(const DeviceConnection* c, uint8_t linkCode, uint8_t width, uint32_t identifier, uint32_t mask) {
    for (const MailboxNode* node = c->receiveMailboxes; node != nullptr; node = node->next) {
        if (node->linkCode == linkCode && node->width == width && node->identifier == identifier && node->mask == mask) {
            return true;
        }
    }
    return false;
}

// An accept-all mailbox, unless the connection has one for these frames:
// every client of a connection asks for pass-all, and a second mailbox
// would hand each frame to every client twice.
int32_t LoadAcceptAll_locked(DeviceConnection* c, uint8_t linkCode, uint8_t width, uint8_t frameKind,
                             uint16_t bufferSize, uint16_t sizeLimit) {
    if (Listed_locked(c, linkCode, width, 0, 0)) return 0;
    return LoadReceive_locked(c, linkCode, width, frameKind, 0, 0, false, bufferSize, sizeLimit);
}

uint8_t LinkCodeOf(const DeviceConnection* c) { return c->config.dataLinkSetup[0]; }

// The pass-all mailboxes of the connection's protocol.
int32_t LoadPassAll_locked(DeviceConnection* c) {
    uint8_t link = LinkCodeOf(c);
    switch (c->protocolKind) {
        case kKindJ1939:
        case kKindJ1939Ch2: return LoadAcceptAll_locked(c, link, 29, kFrameSingle, 8, 0);
        case kKindCan:
        case kKindCanCh2:
            LoadAcceptAll_locked(c, link, 29, kFrameSingle, 8, 0);  // extended frames: best effort
            return LoadAcceptAll_locked(c, link, 11, kFrameSingle, 8, 0);
        case kKindJ1850: return LoadAcceptAll_locked(c, kLinkCodeJ1850, 24, kFrameSingle, 508, 512);
        default:
            if (c->receiveMailboxes != nullptr) return 0;  // J1708 has one mailbox for everything
            return LoadReceive_locked(c, kLinkCodeJ1708, 0, 0, 0, 0, false, 505, 3572);
    }
}

}  // namespace

void PutTimestamp(const DeviceConnection* c, uint32_t time, uint8_t* out) {
    time += c->timeBase.load(std::memory_order_relaxed);  // one clock across re-opens
    if (c->plan.reverseTimestamp) {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(time >> (8 * i));
    } else {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(time >> (24 - 8 * i));
    }
}

int BuildReceivedMessage(const DeviceConnection* c, const Mailbox* mailbox, uint8_t* m) {
    uint32_t identifier = mailbox->identifier;
    uint16_t length = mailbox->dataLength;
    const uint8_t* data = mailbox->data;
    uint8_t link = mailbox->linkCode;
    if (length > 0 && data == nullptr) return 0;
    // The adapter writes the length: never believe more than the buffer it
    // filled, nor more than a message can hold.
    if (data == c->receiveBuffer && length > kReceiveBufferSize) return 0;
    int header;
    bool canLink = link == kLinkCodeCan1 || link == kLinkCodeCan2;
    if (canLink && IsJ1939(c->protocolKind)) {
        header = 10;
    } else if (canLink && IsCan(c->protocolKind)) {
        header = mailbox->identifierWidth == 11 ? 7 : 9;
    } else if (link == kLinkCodeJ1708) {
        header = 6;
    } else if (link == kLinkCodeJ1850) {
        header = 11;
    } else {
        return 0;
    }
    if (header + length > kMessageRoom) return 0;
    PutTimestamp(c, mailbox->receiveTime, m);
    if (header == 10) {
        m[4] = static_cast<uint8_t>(identifier >> 8);   // PDU specific
        m[5] = static_cast<uint8_t>(identifier >> 16);  // PDU format
        m[6] = static_cast<uint8_t>((identifier >> 24) & 0x03);
        m[7] = static_cast<uint8_t>((identifier >> 26) & 0x07);  // priority
        m[8] = static_cast<uint8_t>(identifier);        // source address
        if (length >= 9) {
            m[9] = mailbox->destination;  // a reassembled message names its destination
        } else if (m[5] < 0xF0) {
            m[9] = m[4];  // PDU1: the PDU specific byte is the destination
            m[4] = 0;
        } else {
            m[9] = 0;
        }
    } else if (header == 7) {
        m[4] = 0;
        m[5] = static_cast<uint8_t>(identifier >> 8);
        m[6] = static_cast<uint8_t>(identifier);
    } else if (header == 9) {
        m[4] = 1;
        for (int i = 0; i < 4; ++i) m[5 + i] = static_cast<uint8_t>(identifier >> (24 - 8 * i));
    } else if (header == 6) {
        m[4] = mailbox->j1708Header[1];  // MID
        m[5] = mailbox->j1708Header[2];
    } else {
        const uint8_t* id = reinterpret_cast<const uint8_t*>(mailbox) + offsetof(Mailbox, identifier);
        m[4] = 3;
        m[5] = static_cast<uint8_t>(length >> 8);
        m[6] = static_cast<uint8_t>(length);
        m[7] = 0;
        m[8] = id[2];
        m[9] = id[1];
        m[10] = id[0];
    }
    if (length > 0) std::memcpy(m + header, data, length);
    return header + length;
}

void AppendToClient(ClientRecord* c, const DeviceConnection* connection, const uint8_t* message, int length) {
    if (!Passes(c, connection->protocolKind, message, length)) return;
    OsLockMutex(c->ringLock, kOsWaitForever);
    bool wasEmpty = c->ringRead == c->ringWrite;
    if (!RingAppend_locked(c, message, length)) {
        c->ringOverflow = kErrRxQueueFull;
        OsSetEvent(c->dataReady);  // a blocked reader reports it
        OsUnlockMutex(c->ringLock);
        return;
    }
    // A reader waits only on an empty ring (it looks, and clears dataReady,
    // under ringLock): only the first message after empty needs to wake it.
    if (wasEmpty) OsSetEvent(c->dataReady);
    OsUnlockMutex(c->ringLock);
    if (wasEmpty && c->window != nullptr) OsPostMessage(c->window, c->dataMessageId, 0, 0);
}

void HV_CALL OnFrameReceived(Mailbox* mailbox) {
    if (mailbox == nullptr) return;
    DeviceConnection* c = PinListedConnection(mailbox->owner);
    if (c == nullptr) return;
    // The message, and room before it for the echo byte some clients want.
    uint8_t area[kMessageRoom + 1];
    uint8_t* message = area + 1;
    int length = BuildReceivedMessage(c, mailbox, message);
    if (length == 0) {
        c->droppedFrames.fetch_add(1);
        UnpinConnection(c);
        return;
    }
    if (IsJ1939(c->protocolKind)) ClaimBookkeeping(c, message, length);
    ClientRecord* clients[kClientSlots];
    int count = AcquireClientsOf(c, clients);
    uint32_t now = OsTickCount();
    uint8_t* echoed = nullptr;  // the message with an echo byte 0 after the timestamp, made once
    uint8_t echoArea[kMessageRoom + 1];
    for (int i = 0; i < count; ++i) {
        ClientRecord* client = clients[i];
        client->lastActivity.store(now);
        if (client->receiveOn.load()) {
            if (!client->echoOn.load()) {
                AppendToClient(client, c, message, length);
            } else {
                if (echoed == nullptr) {
                    echoed = echoArea;
                    std::memcpy(echoed, message, 4);
                    echoed[4] = 0;
                    std::memcpy(echoed + 5, message + 4, static_cast<size_t>(length - 4));
                }
                AppendToClient(client, c, echoed, length + 1);
            }
        }
        ReleaseClient(client);
    }
    UnpinConnection(c);
}

int16_t ReadClientMessage(ClientRecord* c, uint8_t* buffer, int16_t bufferSize, bool block) {
    OsLockMutex(c->ringLock, kOsWaitForever);
    for (;;) {
        if (c->ringOverflow != 0) {
            // A message did not fit: the reader learns it once, and the ring starts afresh.
            c->ringOverflow = 0;
            RingEmpty_locked(c);
            OsUnlockMutex(c->ringLock);
            return -kErrRxQueueFull;
        }
        OsResetEvent(c->dataReady);
        if (RingUsed_locked(c) > 0) break;
        if (!block) {
            OsUnlockMutex(c->ringLock);
            return 0;
        }
        c->readersWaiting += 1;
        OsUnlockMutex(c->ringLock);
        OsWaitEvent(c->dataReady, kOsWaitForever);  // set by appends, overflows, the teardown and link loss
        c->readersWaiting -= 1;
        if (c->closing.load()) return -kErrClientDisconnected;
        if (c->statusChange.exchange(false)) return -kErrHardwareStatusChange;
        OsLockMutex(c->ringLock, kOsWaitForever);
    }
    int32_t length = RingPeekLength_locked(c);
    int16_t result;
    if (buffer == nullptr) {
        result = -kErrMessageTooLong;
    } else if (length > bufferSize) {
        RingTake_locked(c, nullptr, 0);
        result = -kErrMessageTooLong;
    } else {
        RingTake_locked(c, buffer, length);
        result = static_cast<int16_t>(length);
    }
    // Appends wake a reader only when the ring was empty: what is left is
    // for another blocked reader of the same client, so it is woken too.
    if (c->readersWaiting.load() > 0 && RingUsed_locked(c) > 0) OsSetEvent(c->dataReady);
    OsUnlockMutex(c->ringLock);
    return result;
}

int16_t OpenAllReceivePaths(DeviceConnection* c) {
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    int32_t result = LoadPassAll_locked(c);
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    if (result != 0) {
        // The adapter may be out of mailboxes: start again from none.
        UnloadReceive_locked(c);
        result = LoadPassAll_locked(c);
        if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
        if (result != 0) return kErrHardwareNotResponding;
    }
    return kRp1210Ok;
}

int16_t AddFilterMailbox(DeviceConnection* c, const FilterEntry& f) {
    uint8_t link = LinkCodeOf(c);
    uint32_t identifier = 0, mask = 0;
    uint8_t width = 29;
    bool fullMask = false;
    int capacity;
    if (f.length == 7) {  // J1939
        uint8_t flags = f.data[0];
        const uint8_t* pgn = f.data + 1;
        if (flags & 0x01) {
            identifier = static_cast<uint32_t>(pgn[2]) << 24 | static_cast<uint32_t>(pgn[1]) << 16 |
                         static_cast<uint32_t>(pgn[0]) << 8;
            mask = pgn[1] < 0xF0 ? 0x03FF0000u : 0x03FFFF00u;
        }
        if (flags & 0x04) {
            identifier |= f.data[5];
            mask |= 0xFFu;
        }
        if ((flags & 0x08) && pgn[1] < 0xF0) {
            identifier |= static_cast<uint32_t>(f.data[6]) << 8;
            mask |= 0xFF00u;
        }
        if (flags & 0x02) {
            identifier |= static_cast<uint32_t>(f.data[4]) << 26;
            mask |= 0x1C000000u;
        }
        capacity = 13;
    } else if (f.length == 9) {  // CAN
        const uint8_t* m = f.data + 1;
        const uint8_t* h = f.data + 5;
        if (f.data[0] == 0 || f.data[0] == '0') {
            // An 11-bit identifier and its mask are the last two of their four
            // bytes, as the client-side match reads them.
            identifier = static_cast<uint32_t>(h[2]) << 8 | h[3];
            mask = static_cast<uint32_t>(m[2]) << 8 | m[3];
            width = 11;
            fullMask = mask == 0xFFFF;
        } else {
            identifier = static_cast<uint32_t>(h[0]) << 24 | static_cast<uint32_t>(h[1]) << 16 |
                         static_cast<uint32_t>(h[2]) << 8 | h[3];
            mask = static_cast<uint32_t>(m[0]) << 24 | static_cast<uint32_t>(m[1]) << 16 |
                   static_cast<uint32_t>(m[2]) << 8 | m[3];
            fullMask = mask == 0xFFFFFFFFu;
        }
        capacity = 14;
    } else if (f.length == 1) {  // J1708: every MID arrives through the one J1708 mailbox
        return OpenAllReceivePaths(c);
    } else {
        return kRp1210Ok;  // J1850: the library filters alone
    }
    AdapterCallGuard guard(kAdapterCallWait);
    if (!guard.held()) return kErrHardwareNotResponding;
    int loaded = CountReceive_locked(c);
    if (loaded > capacity) return kRp1210Ok;  // no room: the client-side filter still applies
    if (loaded == capacity) {
        identifier = 0;  // the last mailbox the adapter has room for lets everything in
        mask = 0;
        fullMask = false;
    }
    if (Listed_locked(c, link, width, identifier, mask)) return kRp1210Ok;
    int32_t result = LoadReceive_locked(c, link, width, kFrameSingle, identifier, mask, fullMask, 8, 0);
    if (result == kErrNotEnoughMemory) return kErrNotEnoughMemory;
    return result == 0 ? kRp1210Ok : kErrHardwareNotResponding;
}

void UnloadReceivePaths(DeviceConnection* c) {
    AdapterCallGuard guard(kReleaseCallWait);
    if (guard.held()) UnloadReceive_locked(c);
}
