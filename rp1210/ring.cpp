// The receive ring (ring.h) and what lets a message into it.
#include "rp1210/ring.h"

#include "rp1210/notify.h"
#include "rp1210/rp1210_defs.h"

namespace {

void Put(ClientRecord* c, uint8_t byte) {
    c->ringBase[c->ringWrite] = byte;
    if (++c->ringWrite == c->ringSize) c->ringWrite = 0;
}

uint8_t Get(ClientRecord* c) {
    uint8_t byte = c->ringBase[c->ringRead];
    if (++c->ringRead == c->ringSize) c->ringRead = 0;
    return byte;
}

// Whether the client's settings let the message in: pass-all, or a filter
// of the kind its protocol takes (J1850: pass-all only). `k` skips the echo
// byte after the timestamp.
bool Passes(ClientRecord* c, const ProtocolRow& row, const uint8_t* message, int length) {
    if (c->passAll.load()) return true;
    if (!row.filtered) return false;
    const FilterRule& rule = RuleOf(row.filterKind);
    int k = c->echoOn.load() ? 1 : 0;
    OsMutexGuard filters(c->filterLock);
    for (const FilterEntry* f = c->filters->first; f != nullptr; f = f->next) {
        if (f->kind == row.filterKind && rule.matches(*f, message, length, k)) return true;
    }
    return false;
}

}  // namespace

int32_t RingUsed_ringLocked(const ClientRecord* c) {
    int32_t used = c->ringWrite - c->ringRead;
    return used < 0 ? used + c->ringSize : used;
}

bool RingAppend_ringLocked(ClientRecord* c, const uint8_t* message, int32_t length) {
    if (c->ringRead == c->ringWrite) c->ringRead = c->ringWrite = 0;
    int32_t space = c->ringSize - RingUsed_ringLocked(c);
    if (length < 0 || space <= length + 2) return false;
    Put(c, static_cast<uint8_t>(length & 0xFF));
    Put(c, static_cast<uint8_t>((length >> 8) & 0xFF));
    for (int32_t i = 0; i < length; ++i) Put(c, message[i]);
    return true;
}

int32_t RingPeekLength_ringLocked(const ClientRecord* c) {
    int32_t second = c->ringRead + 1 == c->ringSize ? 0 : c->ringRead + 1;
    return c->ringBase[c->ringRead] | (c->ringBase[second] << 8);
}

void RingTake_ringLocked(ClientRecord* c, uint8_t* out, int32_t capacity) {
    int32_t length = Get(c);
    length |= Get(c) << 8;
    for (int32_t i = 0; i < length; ++i) {
        uint8_t byte = Get(c);
        if (out != nullptr && i < capacity) out[i] = byte;
    }
}

void RingEmpty_ringLocked(ClientRecord* c) { c->ringRead = c->ringWrite = 0; }

void OfferToClient(ClientRecord* c, const ProtocolRow& row, const uint8_t* message, int length) {
    if (!Passes(c, row, message, length)) return;
    OsMutexGuard ring(c->ringLock);
    bool wasEmpty = c->ringRead == c->ringWrite;
    if (!RingAppend_ringLocked(c, message, length)) {
        c->ringOverflow = kErrRxQueueFull;
        OsSetEvent(c->dataReady);  // a blocked reader reports it
        return;
    }
    // A reader waits only on an empty ring (it looks, and clears dataReady,
    // under ringLock): only the first message after empty needs to wake it.
    if (wasEmpty) OsSetEvent(c->dataReady);
    ring.Unlock();
    if (wasEmpty) NotifyData(c);
}
