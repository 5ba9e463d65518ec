// What an application asks of a client's adapter: the detailed version
// texts and the hardware status record.
#pragma once

#include "rp1210/library.h"

#include <cstdint>

// The library's versions: DLL 5.47, API 2.0.
extern const char kDllMajor[];
extern const char kDllMinor[];
extern const char kApiMajor[];
extern const char kApiMinor[];

// The longest text RP1210_ReadDetailedVersion writes into a caller's buffer:
// 16 characters and the terminator, the size applications allocate.
constexpr int kVersionTextSize = 17;

// RP1210_ReadDetailedVersion's work: 0, or 142 (the buffers untouched).
int16_t ReadDetailedVersion(ClientRecord* client, char* apiVersion, char* dllVersion, char* firmwareVersion);

// RP1210_GetHardwareStatus's work on a 16-byte record: 0 or 142.
int16_t ReadHardwareStatus(ClientRecord* client, uint8_t info[16]);
