// The adapter driver multiplexer as the library uses it: "ZMXMRP32.DLL",
// loaded once per connection, its 23 entry points, and AdapterCallLock, the
// process-wide mutex held around every call into it (the multiplexer has no
// locks of its own and relies on it).
//
// AdapterCallLock lives from the first connection to the last (created and
// destroyed under the connection layer's open lock). Whoever takes it holds a
// live connection, so it exists for as long as they use it.
#pragma once

#include "mux/zmx_entries.h"
#include "os/os.h"

#include <cstdint>

using MuxInitZmxFn = int32_t(HV_CALL*)(uint16_t* handle, int16_t adapterNumber);
using MuxRestoreZmxFn = int32_t(HV_CALL*)(uint16_t handle);
using MuxNameFn = int32_t(HV_CALL*)(const char* name);

struct MuxEntries {
    MuxInitZmxFn InitZMX;
    MuxRestoreZmxFn RestoreZMX;
    ZmxEntryW1 InitDataLink;
    ZmxEntryW1 CheckDataLink;
    ZmxEntryWSS LoadZMXBuffer;  // bound, never called
    ZmxEntryWSS ReadZMXBuffer;  // bound, never called
    ZmxEntryW1 LoadMailBox;
    ZmxEntryW1 UnloadMailBox;
    ZmxEntryW1 TransmitMailBoxAsync;  // bound, never called
    ZmxEntryW1 TransmitMailBox;       // bound, never called
    ZmxEntryWB UpdateTransmitMailBox;
    ZmxEntryW1 RequestTimerValue;
    ZmxEntryWB UpdateTransmitMailBoxAsync;
    ZmxEntryW1 ConfigureTransportProtocol;
    ZmxEntryW1 ResetZMX;
    MuxNameFn SetSerialDLL;
    MuxNameFn SetSerialHDLL;
    MuxNameFn SetIsaDLL;
    MuxNameFn SetTcp_IpDLL;
    MuxNameFn SetUsb2KDLL;
    MuxNameFn SetUsb98DLL;
    MuxNameFn SetWirelessDLL;  // optional
    MuxNameFn SetINIFile;
};

struct MuxBinding {
    OsLibrary* module;
    MuxEntries entries;
};

// How long a thread waits for AdapterCallLock: callers' threads and opens
// give up after 500 ms (the call then fails with 142); releases, which must
// not leave an adapter open, wait longer.
constexpr unsigned kAdapterCallWait = 500;
constexpr unsigned kReleaseCallWait = 5000;

// Creates or destroys AdapterCallLock (only under the open lock).
bool CreateAdapterCallLock();
void DestroyAdapterCallLock();
bool AdapterCallLockExists();

// Holds AdapterCallLock for a scope when it could be taken in time.
class AdapterCallGuard {
public:
    explicit AdapterCallGuard(unsigned milliseconds);
    ~AdapterCallGuard();
    AdapterCallGuard(const AdapterCallGuard&) = delete;
    AdapterCallGuard& operator=(const AdapterCallGuard&) = delete;
    bool held() const { return lock_ != nullptr; }

private:
    OsMutex* lock_;
};

// Loads "ZMXMRP32.DLL", binds the 23 entry points and names the transport
// libraries and the INI file (holding AdapterCallLock). 0, 254 when the
// library or an entry point is missing, 142 when AdapterCallLock cannot be
// had. On failure nothing stays loaded.
int16_t BindMultiplexer(MuxBinding* binding);
void UnbindMultiplexer(MuxBinding* binding);
