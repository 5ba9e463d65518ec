// The receive path.
//
// Lock order (library.h): ringLock and filterLock are leaves; a reader holds
// ringLock only while it looks at or copies out of the ring, never while it
// waits.
#include "rp1210/receive.h"

#include "rp1210/rp1210_defs.h"
#include "rp1210/ring.h"

int16_t ReadClientMessage(ClientRecord* c, uint8_t* buffer, int16_t bufferSize, bool block) {
    OsLockMutex(c->ringLock, kOsWaitForever);
    if (c->ringOverflow != 0) {
        // A message did not fit: the reader learns it once, and the ring starts afresh.
        c->ringOverflow = 0;
        RingEmpty_locked(c);
        OsUnlockMutex(c->ringLock);
        return -kErrRxQueueFull;
    }
    OsResetEvent(c->dataReady);
    while (RingUsed_locked(c) == 0) {
        OsUnlockMutex(c->ringLock);
        if (!block) return 0;
        OsWaitEvent(c->dataReady, kOsWaitForever);  // set by appends, the teardown and link loss
        if (c->closing.load()) return -kErrClientDisconnected;
        if (c->statusChange.exchange(false)) return -kErrHardwareStatusChange;
        OsLockMutex(c->ringLock, kOsWaitForever);
    }
    int32_t length = RingPeekLength_locked(c);
    if (buffer == nullptr) {
        OsUnlockMutex(c->ringLock);
        return -kErrMessageTooLong;
    }
    if (length > bufferSize) {
        RingTake_locked(c, nullptr, 0);
        OsUnlockMutex(c->ringLock);
        return -kErrMessageTooLong;
    }
    RingTake_locked(c, buffer, length);
    OsUnlockMutex(c->ringLock);
    return static_cast<int16_t>(length);
}
