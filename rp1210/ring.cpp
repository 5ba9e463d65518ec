#include "rp1210/ring.h"

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

}  // namespace

int32_t RingUsed_locked(const ClientRecord* c) {
    int32_t used = c->ringWrite - c->ringRead;
    return used < 0 ? used + c->ringSize : used;
}

bool RingAppend_locked(ClientRecord* c, const uint8_t* message, int32_t length) {
    if (c->ringRead == c->ringWrite) c->ringRead = c->ringWrite = 0;
    int32_t space = c->ringSize - RingUsed_locked(c);
    if (length < 0 || space <= length + 2) return false;
    Put(c, static_cast<uint8_t>(length & 0xFF));
    Put(c, static_cast<uint8_t>((length >> 8) & 0xFF));
    for (int32_t i = 0; i < length; ++i) Put(c, message[i]);
    return true;
}

int32_t RingPeekLength_locked(const ClientRecord* c) {
    int32_t second = c->ringRead + 1 == c->ringSize ? 0 : c->ringRead + 1;
    return c->ringBase[c->ringRead] | (c->ringBase[second] << 8);
}

void RingTake_locked(ClientRecord* c, uint8_t* out, int32_t capacity) {
    int32_t length = Get(c);
    length |= Get(c) << 8;
    for (int32_t i = 0; i < length; ++i) {
        uint8_t byte = Get(c);
        if (out != nullptr && i < capacity) out[i] = byte;
    }
}

void RingEmpty_locked(ClientRecord* c) { c->ringRead = c->ringWrite = 0; }
