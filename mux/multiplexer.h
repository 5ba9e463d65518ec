// The adapter driver multiplexer: seven transport slots, the open and restore
// operations, and the resolution of forwarded calls.
//
// A Multiplexer holds everything the multiplexer keeps: the library names, the
// adapter INI file name and, per transport slot, the loaded library, its open
// count and its row of entry points. The library's exports work on one
// process-wide Multiplexer; tests make their own.
//
// No locks: the slots, counts and rows are shared by every caller in the
// process, so callers must not open, restore or forward at the same time (the
// RP1210 library serialises its calls with one process-wide mutex).
//
// Adapter handle (a 16-bit word owned by the caller):
//   bits 0-8   the adapter id, written by the transport's open entry
//   bits 12-15 the link-kind bits, ORed in after a successful open:
//              0x0000 Serial, 0x8000 PcCard, 0x2000 TcpIp, 0x1000 Usb,
//              0x4000 SerialH, 0x3000 SerialN, 0x5000 Wireless
#pragma once

#include "mux/adapter_config.h"
#include "mux/zmx_entries.h"
#include "os/os.h"

#include <cstdint>

// Transport slots (the order of the entry table; USB and SerialH differ from
// the link-kind codes).
enum TransportSlotIndex : int {
    kSlotSerial = 0,
    kSlotPcCard = 1,
    kSlotTcpIp = 2,
    kSlotSerialH = 3,
    kSlotUsb = 4,
    kSlotSerialN = 5,
    kSlotWireless = 6,
    kSlotCount = 7,
};

// A transport's entry row: the nine open and restore entries, then the
// forwarded operations in ZmxForwarded order.
enum TransportEntry : int {
#define ZMX_LINK_ENTRY_INDEX(name) kEntry##name,
    ZMX_LINK_ENTRIES(ZMX_LINK_ENTRY_INDEX)
#undef ZMX_LINK_ENTRY_INDEX
    kEntryFirstForwarded,
    kEntryCount = kEntryFirstForwarded + kForwardedCount,
};

constexpr uint16_t kHandleIdMask = 0x01FF;
constexpr uint16_t kHandleKindMask = 0xF000;
constexpr int kIniFileNameSize = 28;

struct TransportSlot {
    char fileName[kZmxTextSize];  // the USB slot: the name for NT-family systems
    char usb98Name[kZmxTextSize]; // the USB slot only: Windows 98 and Me
    OsLibrary* library;
    int16_t openCount;
    void* entries[kEntryCount];
};

struct Multiplexer {
    TransportSlot slots[kSlotCount];
    char iniFileName[kIniFileNameSize];
    bool redirecting;  // InitCommLink is opening an adapter number in place of a port
};

// Empty slots with the default library names and "HV_ZMX32.ini". Libraries
// that the slots still hold are forgotten, not released.
void MuxReset(Multiplexer& mux);
// Releases every library the slots hold and sets every count to 0. The
// library's own Multiplexer never does this: transports stay loaded when the
// multiplexer itself is unloaded.
void MuxReleaseAll(Multiplexer& mux);

// Library name setters. The names take effect at the slot's next load, the
// INI file name at the next InitZMX. A name that does not fit its text
// (79 characters; 27 for the INI file name) or is missing is refused with
// kZmxBadName and the old name kept.
constexpr int32_t kZmxBadName = 43;
enum class LibraryName { Serial, SerialH, SerialN, Isa, TcpIp, Usb98, Usb2K, Wireless };
int32_t MuxSetLibraryName(Multiplexer& mux, LibraryName which, const char* name);
int32_t MuxSetIniFile(Multiplexer& mux, const char* name);

// Opens the adapter that the adapter INI file describes under `number`.
int32_t MuxInitZMX(Multiplexer& mux, uint16_t* handle, int16_t number);
// Closes an adapter by its handle's link-kind bits (33: no such link kind).
int32_t MuxRestoreZMX(Multiplexer& mux, uint16_t handle);

// The per-link open operations, by link kind; TcpIp has a second, listening
// open. `listen` selects "InitTCP_IPListen" for kLinkTcpIp.
int32_t MuxOpenLink(Multiplexer& mux, LinkKind kind, uint16_t* handle, LinkParams* params, bool listen = false);
// The per-link restore operations (32: the handle is of another link kind).
int32_t MuxRestoreLink(Multiplexer& mux, LinkKind kind, uint16_t handle);

// Finds the transport entry of a forwarded operation for `handle`. Returns 0
// with *entry set, or 33 (handle bits of no link kind; SetBaudRate on Usb and
// PcCard), 26 (not offered on SerialN) or 19 (the transport lacks the entry
// or the link kind has no library loaded).
int32_t MuxResolveForwarded(const Multiplexer& mux, uint16_t handle, ZmxForwarded operation, void** entry);
