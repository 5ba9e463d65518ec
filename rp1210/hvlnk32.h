// The nine RP1210A functions HVLNK32.DLL exports (plain names, Windows API
// calling convention). Short values are 16-bit signed, long values 32-bit.
#pragma once

#include "os/abi.h"

#include <cstdint>

HV_EXPORT int16_t HV_CALL RP1210_ClientConnect(void* window, int16_t deviceId, const char* protocol,
                                                int32_t txBufferSize, int32_t rxBufferSize, int16_t appPacketizing);
HV_EXPORT int16_t HV_CALL RP1210_ClientDisconnect(int16_t clientId);
HV_EXPORT int16_t HV_CALL RP1210_ReadMessage(int16_t clientId, char* buffer, int16_t bufferSize, int16_t blockOnRead);
HV_EXPORT int16_t HV_CALL RP1210_SendMessage(int16_t clientId, char* message, int16_t messageSize, int16_t notifyOnTx,
                                              int16_t blockOnSend);
HV_EXPORT int16_t HV_CALL RP1210_SendCommand(int16_t commandNumber, int16_t clientId, char* commandData,
                                              int16_t commandSize);
// RP1210A declares no result; 0 is returned for applications that read one.
HV_EXPORT int16_t HV_CALL RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor);
HV_EXPORT int16_t HV_CALL RP1210_ReadDetailedVersion(int16_t clientId, char* apiVersion, char* dllVersion,
                                                      char* firmwareVersion);
HV_EXPORT int16_t HV_CALL RP1210_GetErrorMsg(int16_t errorCode, char* description);
HV_EXPORT int16_t HV_CALL RP1210_GetHardwareStatus(int16_t clientId, char* info, int16_t infoSize,
                                                    int16_t blockOnRequest);
