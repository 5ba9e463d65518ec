// The adapter API between the multiplexer and a transport library: the open
// and restore entries and the forwarded operations, by name and shape.
//
// Every forwarded operation takes the adapter's 16-bit id (the transport's
// own number, bits 0-8 of the adapter handle) followed by its arguments. The
// shapes, by the arguments after the id:
//   W0   none
//   W1   32-bit word
//   WB   32-bit word, 8-bit value
//   B1   8-bit value
//   BW   8-bit value, 32-bit word
//   WSS  32-bit word, 16-bit value, 16-bit value
#pragma once

#include "mux/adapter_config.h"
#include "mux/zmx_records.h"

#include <cstdint>

using ZmxOpenEntry = int32_t(HV_CALL*)(uint16_t* handle, LinkParams* params);
using ZmxRestoreEntry = int32_t(HV_CALL*)(uint16_t adapterId);
using ZmxEntryW0 = int32_t(HV_CALL*)(uint16_t id);
using ZmxEntryW1 = int32_t(HV_CALL*)(uint16_t id, ZmxWord value);
using ZmxEntryWB = int32_t(HV_CALL*)(uint16_t id, ZmxWord value, uint8_t flags);
using ZmxEntryB1 = int32_t(HV_CALL*)(uint16_t id, uint8_t value);
using ZmxEntryBW = int32_t(HV_CALL*)(uint16_t id, uint8_t value, ZmxWord word);
using ZmxEntryWSS = int32_t(HV_CALL*)(uint16_t id, ZmxWord value, uint16_t first, uint16_t second);

// A transport's answer to LoadMailBox when the adapter is busy: try later.
constexpr int32_t kZmxAdapterBusy = 10;

// X(entry, slot, file, use): the multiplexer's entries that name a transport
// library (slot: the multiplexer's LibraryName), in the order the RP1210
// library calls them, with the file it names and its use of the entry: 1
// needed (a multiplexer without it is not bound), 0 called when present,
// -1 not called. SetINIFile, which names the adapter INI, comes after the
// needed ones.
#define ZMX_NAME_ENTRIES(X)                          \
    X(SetSerialDLL, Serial, "ZMXSRP32.DLL", 1)       \
    X(SetIsaDLL, Isa, "ZMXIRP32.DLL", 1)             \
    X(SetTcp_IpDLL, TcpIp, "ZMXTRP32.DLL", 1)        \
    X(SetSerialHDLL, SerialH, "ZMXHRP32.DLL", 1)     \
    X(SetUsb2KDLL, Usb2K, "ZMXURP2K.DLL", 1)         \
    X(SetUsb98DLL, Usb98, "ZMXURP98.DLL", 1)         \
    X(SetWirelessDLL, Wireless, "ZMXWRP32.DLL", 0)   \
    X(SetSerialNDLL, SerialN, "", -1)

enum ZmxNameEntry : int {
#define ZMX_NAME_INDEX(entry, slot, file, use) kName##entry,
    ZMX_NAME_ENTRIES(ZMX_NAME_INDEX)
#undef ZMX_NAME_INDEX
    kZmxNameEntryCount
};

// X(name): the open and restore entries of a transport library, in the
// order of a transport's entry row.
#define ZMX_LINK_ENTRIES(X) \
    X(InitCommLink)         \
    X(RestoreCommLink)      \
    X(InitPCCard)           \
    X(RestorePCCard)        \
    X(InitTCP_IP)           \
    X(RestoreTCP_IP)        \
    X(InitTCP_IPListen)     \
    X(InitUSBLink)          \
    X(RestoreUSBLink)

// X(name, shape, offeredOnSerialN): the 34 forwarded operations. Operations
// not offered on SerialN links answer 26 there.
#define ZMX_FORWARDED_OPERATIONS(X)            \
    X(GoToLoader, W0, 1)                       \
    X(PauseTimer, W0, 1)                       \
    X(ResumeTimer, W0, 1)                      \
    X(SuspendTimerInterrupt, W0, 0)            \
    X(CheckDataLink, W1, 1)                    \
    X(InitDataLink, W1, 1)                     \
    X(LoadMailBox, W1, 1)                      \
    X(UnloadMailBox, W1, 1)                    \
    X(ReceiveMailBox, W1, 1)                   \
    X(LoadTimer, W1, 1)                        \
    X(RequestTimerValue, W1, 1)                \
    X(SetBaudRate, W1, 1)                      \
    X(ResetZMX, W1, 1)                         \
    X(TransmitMailBox, W1, 0)                  \
    X(TransmitMailBoxAsync, W1, 0)             \
    X(UpdateTransMailBoxData, W1, 0)           \
    X(UpdateTransMailBoxDataAsync, W1, 0)      \
    X(EnableTimerInterrupt, W1, 0)             \
    X(ReadZMXChecksum, W1, 0)                  \
    X(ConfigureTransportProtocol, W1, 0)       \
    X(InitDisplay, W1, 0)                      \
    X(WriteDisplay, W1, 0)                     \
    X(SendBuffer, W1, 0)                       \
    X(SetDecodeCallback, W1, 0)                \
    X(UpdateTransmitMailBox, WB, 0)            \
    X(UpdateTransmitMailBoxAsync, WB, 0)       \
    X(UpdateReceiveMailBox, WB, 0)             \
    X(UpdateReceiveMailBoxAsync, WB, 0)        \
    X(StoreDataLink, B1, 0)                    \
    X(RestoreDataLink, B1, 0)                  \
    X(DisableDataLink, B1, 0)                  \
    X(ReadDataLink, BW, 0)                     \
    X(LoadZMXBuffer, WSS, 1)                   \
    X(ReadZMXBuffer, WSS, 1)

// The parameter lists of each shape, for declaring and defining entries:
// ZMX_PARAMS_<shape> names the parameters, ZMX_ARGS_<shape> passes them on.
#define ZMX_PARAMS_W0 uint16_t handle
#define ZMX_PARAMS_W1 uint16_t handle, ZmxWord value
#define ZMX_PARAMS_WB uint16_t handle, ZmxWord value, uint8_t flags
#define ZMX_PARAMS_B1 uint16_t handle, uint8_t value
#define ZMX_PARAMS_BW uint16_t handle, uint8_t value, ZmxWord word
#define ZMX_PARAMS_WSS uint16_t handle, ZmxWord value, uint16_t first, uint16_t second
#define ZMX_ARGS_W0
#define ZMX_ARGS_W1 , value
#define ZMX_ARGS_WB , value, flags
#define ZMX_ARGS_B1 , value
#define ZMX_ARGS_BW , value, word
#define ZMX_ARGS_WSS , value, first, second
// Stack bytes of each shape's stdcall name decoration.
#define ZMX_STACK_W0 4
#define ZMX_STACK_W1 8
#define ZMX_STACK_WB 12
#define ZMX_STACK_B1 8
#define ZMX_STACK_BW 12
#define ZMX_STACK_WSS 16

// The index of each forwarded operation in a transport's entry row.
enum ZmxForwarded : int {
#define ZMX_ENUM_ENTRY(name, shape, serialN) kFwd##name,
    ZMX_FORWARDED_OPERATIONS(ZMX_ENUM_ENTRY)
#undef ZMX_ENUM_ENTRY
    kForwardedCount
};
static_assert(kForwardedCount == 34, "the adapter API forwards 34 operations");
