// The adapter driver multiplexer as the library uses it: "ZMXMRP32.DLL",
// loaded once per connection, its 23 entry points, and AdapterCallLock, the
// process-wide mutex held around every call into it (the multiplexer has no
// locks of its own and relies on it).
//
// AdapterCallLock is the library context's (library.h): it lives from the
// first connection to the last (created and destroyed under openLock).
// Whoever takes it holds a live connection, so it exists for as long as they
// use it. The binding's records (MuxEntries, MuxBinding) are declared with
// the connection in library.h.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// How long a thread waits for AdapterCallLock: callers' threads and opens
// give up after 500 ms (the call then fails with 142); releases, which must
// not leave an adapter open, wait longer.
constexpr unsigned kAdapterCallWait = 500;
constexpr unsigned kReleaseCallWait = 5000;

// Creates or destroys AdapterCallLock (the library context's; openLock held).
bool CreateAdapterCallLock_openLocked();
void DestroyAdapterCallLock_openLocked();
bool AdapterCallLockExists();

// Holds AdapterCallLock for a scope when it could be taken in time.
class AdapterCallGuard {
public:
    explicit AdapterCallGuard(unsigned milliseconds);
    bool held() const { return guard_.held(); }

private:
    OsMutexGuard guard_;
};

// Loads "ZMXMRP32.DLL", binds the 23 entry points and names the transport
// libraries and the INI file (holding AdapterCallLock). 0, 254 when the
// library or an entry point is missing, 142 when AdapterCallLock cannot be
// had. On failure nothing stays loaded.
int16_t BindMultiplexer(MuxBinding* binding);
void UnbindMultiplexer(MuxBinding* binding);
