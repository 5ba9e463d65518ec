// The RP1210A/RP1210B API as both the checker and the maker's library see it:
// the function types, the error codes with their names and texts, and the
// command numbers. Short arguments and results are 16-bit signed, long ones
// 32-bit; every function uses the Windows API calling convention.
#pragma once

#include "os/abi.h"

#include <cstdint>

extern "C" {
typedef int16_t(HV_CALL* Rp1210ClientConnectFn)(void* window, int16_t deviceId, const char* protocol,
                                                int32_t txBufferSize, int32_t rxBufferSize, int16_t appPacketizes);
typedef int16_t(HV_CALL* Rp1210ClientDisconnectFn)(int16_t clientId);
typedef int16_t(HV_CALL* Rp1210ReadMessageFn)(int16_t clientId, char* buffer, int16_t bufferSize,
                                              int16_t blockOnRead);
typedef int16_t(HV_CALL* Rp1210SendMessageFn)(int16_t clientId, char* message, int16_t messageSize,
                                              int16_t notifyOnTransmit, int16_t blockOnSend);
typedef int16_t(HV_CALL* Rp1210SendCommandFn)(int16_t command, int16_t clientId, char* buffer, int16_t bufferSize);
// RP1210A declares no result; the maker's library returns 0 in the result
// register, which callers of the void form ignore.
typedef void(HV_CALL* Rp1210ReadVersionFn)(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor);
typedef int16_t(HV_CALL* Rp1210ReadDetailedVersionFn)(int16_t clientId, char* apiVersion, char* dllVersion,
                                                      char* firmwareVersion);
typedef int16_t(HV_CALL* Rp1210GetErrorMsgFn)(int16_t errorCode, char* description);
typedef int16_t(HV_CALL* Rp1210GetLastErrorMsgFn)(int16_t errorCode, int* subErrorCode, char* description,
                                                  int16_t clientId);
typedef int16_t(HV_CALL* Rp1210GetHardwareStatusFn)(int16_t clientId, char* info, int16_t infoSize,
                                                    int16_t blockOnRequest);
}

// Error codes the library returns (RP1210A numbers), and 254, which the
// library returns when it cannot bind the adapter driver multiplexer.
constexpr int16_t kRp1210Ok = 0;
constexpr int16_t kErrDllNotInitialized = 128;
constexpr int16_t kErrInvalidClientId = 129;
constexpr int16_t kErrClientAreaFull = 131;
constexpr int16_t kErrNotEnoughMemory = 133;
constexpr int16_t kErrInvalidDevice = 134;
constexpr int16_t kErrInvalidProtocol = 136;
constexpr int16_t kErrTxQueueFull = 137;
constexpr int16_t kErrRxQueueFull = 139;
constexpr int16_t kErrMessageTooLong = 141;
constexpr int16_t kErrHardwareNotResponding = 142;
constexpr int16_t kErrCommandNotSupported = 143;
constexpr int16_t kErrInvalidCommand = 144;
constexpr int16_t kErrTxMessageStatus = 145;
constexpr int16_t kErrAddressClaimFailed = 146;
constexpr int16_t kErrClientDisconnected = 148;
constexpr int16_t kErrConnectNotAllowed = 149;
constexpr int16_t kErrCouldNotTxAddressClaimed = 152;
constexpr int16_t kErrAddressLost = 153;
constexpr int16_t kErrCodeNotFound = 154;
constexpr int16_t kErrBlockNotAllowed = 155;
constexpr int16_t kErrMultipleClientsConnected = 156;
constexpr int16_t kErrAddressNeverClaimed = 157;
constexpr int16_t kErrWindowHandleRequired = 158;
constexpr int16_t kErrMessageNotSent = 159;
constexpr int16_t kErrMaxFiltersExceeded = 161;
constexpr int16_t kErrHardwareStatusChange = 162;
constexpr int16_t kErrMessageFormatNotSupported = 163;
constexpr int16_t kErrMultiplexerNotBound = 254;

// RP1210_SendCommand numbers.
constexpr int16_t kCmdResetDevice = 0;
constexpr int16_t kCmdSetAllFiltersToPass = 3;
constexpr int16_t kCmdSetJ1939Filters = 4;
constexpr int16_t kCmdSetCanFilters = 5;
constexpr int16_t kCmdSetJ1708Filters = 7;
constexpr int16_t kCmdGenericDriverCommand = 14;
constexpr int16_t kCmdSetJ1708Mode = 15;
constexpr int16_t kCmdEchoTransmittedMessages = 16;
constexpr int16_t kCmdSetAllFiltersToDiscard = 17;
constexpr int16_t kCmdSetMessageReceive = 18;
constexpr int16_t kCmdProtectJ1939Address = 19;

// One RP1210 result code: its standard name (nullptr where the checker's
// table has none) and the maker's library's description (nullptr outside
// 128..163).
struct Rp1210CodeInfo {
    int16_t code;
    const char* name;
    const char* text;
};

// Every known code in ascending order; the last entry is 999
// (ERR_CODE_UNKNOWN), which ends the checker's lookups unmatched.
const Rp1210CodeInfo* Rp1210Codes();
int Rp1210CodeCount();
// The entry of `code`, or nullptr.
const Rp1210CodeInfo* FindRp1210Code(int32_t code);
