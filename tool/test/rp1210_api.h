// The RP1210 entry points the checker binds in the vendor library it tests,
// with the arguments the RP1210A/RP1210B API gives them. Short values are
// 16-bit signed; long values 32-bit.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define RP1210_CALL __stdcall
#else
#define RP1210_CALL
#endif

struct OsLibrary;

extern "C" {
typedef int16_t(RP1210_CALL* Rp1210ClientConnectFn)(void* window, int16_t deviceId, const char* protocol,
                                                     int32_t txBufferSize, int32_t rxBufferSize,
                                                     int16_t appPacketizes);
typedef int16_t(RP1210_CALL* Rp1210ClientDisconnectFn)(int16_t clientId);
typedef int16_t(RP1210_CALL* Rp1210ReadMessageFn)(int16_t clientId, char* buffer, int16_t bufferSize,
                                                  int16_t blockOnRead);
typedef int16_t(RP1210_CALL* Rp1210SendMessageFn)(int16_t clientId, char* message, int16_t messageSize,
                                                  int16_t notifyOnTransmit, int16_t blockOnSend);
typedef int16_t(RP1210_CALL* Rp1210SendCommandFn)(int16_t command, int16_t clientId, char* buffer,
                                                  int16_t bufferSize);
typedef void(RP1210_CALL* Rp1210ReadVersionFn)(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor);
typedef int16_t(RP1210_CALL* Rp1210ReadDetailedVersionFn)(int16_t clientId, char* apiVersion, char* dllVersion,
                                                          char* firmwareVersion);
typedef int16_t(RP1210_CALL* Rp1210GetErrorMsgFn)(int16_t errorCode, char* description);
typedef int16_t(RP1210_CALL* Rp1210GetLastErrorMsgFn)(int16_t errorCode, int* subErrorCode, char* description,
                                                      int16_t clientId);
typedef int16_t(RP1210_CALL* Rp1210GetHardwareStatusFn)(int16_t clientId, char* info, int16_t infoSize,
                                                        int16_t blockOnRequest);
}

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
