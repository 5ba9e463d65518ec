// The RP1210 entry points the checker binds in the vendor library it tests
// (function types in rp1210/rp1210_defs.h).
#pragma once

#include "rp1210/rp1210_defs.h"

struct OsLibrary;

// The bound entry points and the library that holds them. Only a bind that
// reported success makes the record valid; ReadDetailedVersion and
// GetLastErrorMsg may be empty after one.
struct Rp1210Api {
    Rp1210ClientConnectFn ClientConnect;
    Rp1210ClientDisconnectFn ClientDisconnect;
    Rp1210ReadMessageFn ReadMessage;
    Rp1210SendMessageFn SendMessage;
    Rp1210SendCommandFn SendCommand;
    Rp1210ReadVersionFn ReadVersion;
    Rp1210ReadDetailedVersionFn ReadDetailedVersion;
    Rp1210GetErrorMsgFn GetErrorMsg;
    Rp1210GetLastErrorMsgFn GetLastErrorMsg;
    Rp1210GetHardwareStatusFn GetHardwareStatus;
    OsLibrary* library;  // nullptr when no library is held
};
