// The multiplexer's slots, open and restore procedures, and forwarding.
#include "mux/multiplexer.h"

#include <cstring>

namespace {

const char* const kEntryNames[kEntryCount] = {
#define ZMX_LINK_ENTRY_NAME(name) #name,
    ZMX_LINK_ENTRIES(ZMX_LINK_ENTRY_NAME)
#undef ZMX_LINK_ENTRY_NAME
#define ZMX_ENTRY_NAME(name, shape, serialN) #name,
    ZMX_FORWARDED_OPERATIONS(ZMX_ENTRY_NAME)
#undef ZMX_ENTRY_NAME
};

const bool kOfferedOnSerialN[kForwardedCount] = {
#define ZMX_ENTRY_SERIALN(name, shape, serialN) serialN != 0,
    ZMX_FORWARDED_OPERATIONS(ZMX_ENTRY_SERIALN)
#undef ZMX_ENTRY_SERIALN
};

// Per link kind: its slot, handle bits and open and restore entries.
struct LinkRoute {
    int slot;
    uint16_t bits;
    int openEntry;
    int restoreEntry;
};

const LinkRoute kRoutes[kLinkKindCount] = {
    {kSlotSerial, 0x0000, kEntryInitCommLink, kEntryRestoreCommLink},    // kLinkSerial
    {kSlotPcCard, 0x8000, kEntryInitPCCard, kEntryRestorePCCard},        // kLinkPcCard
    {kSlotTcpIp, 0x2000, kEntryInitTCP_IP, kEntryRestoreTCP_IP},         // kLinkTcpIp
    {kSlotUsb, 0x1000, kEntryInitUSBLink, kEntryRestoreUSBLink},         // kLinkUsb
    {kSlotSerialH, 0x4000, kEntryInitCommLink, kEntryRestoreCommLink},   // kLinkSerialH
    {kSlotSerialN, 0x3000, kEntryInitCommLink, kEntryRestoreCommLink},   // kLinkSerialN
    {kSlotWireless, 0x5000, kEntryInitCommLink, kEntryRestoreCommLink},  // kLinkWireless
};

// The slot whose handle bits are `bits`, or -1.
int SlotOfBits(uint16_t bits) {
    for (const LinkRoute& route : kRoutes) {
        if (route.bits == bits) return route.slot;
    }
    return -1;
}

// Whether a library serving `kind` must offer `entry`.
bool Required(LinkKind kind, int entry) {
    const LinkRoute& route = kRoutes[kind];
    if (entry == route.openEntry || entry == route.restoreEntry) return true;
    if (kind == kLinkTcpIp && entry == kEntryInitTCP_IPListen) return true;
    if (entry < kEntryFirstForwarded) return false;
    int operation = entry - kEntryFirstForwarded;
    if (kind == kLinkSerialN) return kOfferedOnSerialN[operation];
    if (operation == kFwdSetBaudRate) return kind == kLinkSerial || kind == kLinkSerialH || kind == kLinkWireless;
    return true;
}

void Unload(TransportSlot& slot) {
    if (slot.library != nullptr) OsFreeLibrary(slot.library);
    slot.library = nullptr;
    std::memset(slot.entries, 0, sizeof slot.entries);
}

// Loads the slot's library and resolves its row, unless it is loaded.
// Returns 0, or 41 when it cannot be loaded or lacks a required entry.
int32_t EnsureLoaded(TransportSlot& slot, LinkKind kind) {
    if (slot.library != nullptr || slot.openCount != 0) return kZmxOk;
    const char* name = slot.fileName;
    if (kind == kLinkUsb) {
        // Windows 98 and Me have a USB library of their own.
        OsVersion version = OsGetVersion();
        bool windows9x = version.platformId == kOsPlatformWindows &&
                         (version.major > 4 || (version.major == 4 && version.minor > 0));
        if (windows9x) name = slot.usb98Name;
    }
    slot.library = OsLoadLibrary(name);
    if (slot.library == nullptr) return kZmxNoTransport;
    for (int entry = 0; entry < kEntryCount; ++entry) {
        slot.entries[entry] = OsGetProcAddress(slot.library, kEntryNames[entry]);
        if (slot.entries[entry] == nullptr && Required(kind, entry)) {
            Unload(slot);
            return kZmxNoTransport;
        }
    }
    return kZmxOk;
}

int32_t CopyName(char* text, size_t size, const char* name) {
    if (name == nullptr) return kZmxBadName;
    size_t length = std::strlen(name);
    if (length >= size) return kZmxBadName;
    std::memcpy(text, name, length + 1);
    return kZmxOk;
}

}  // namespace

void MuxReleaseAll(Multiplexer& mux) {
    for (TransportSlot& slot : mux.slots) {
        Unload(slot);
        slot.openCount = 0;
    }
}

void MuxReset(Multiplexer& mux) {
    std::memset(&mux, 0, sizeof mux);
    std::strcpy(mux.slots[kSlotSerial].fileName, "ZMXS32.DLL");
    std::strcpy(mux.slots[kSlotPcCard].fileName, "ZMXI32.DLL");
    std::strcpy(mux.slots[kSlotTcpIp].fileName, "ZMXT32.DLL");
    std::strcpy(mux.slots[kSlotSerialH].fileName, "ZMXH32.DLL");
    std::strcpy(mux.slots[kSlotUsb].fileName, "ZMXU2K.DLL");
    std::strcpy(mux.slots[kSlotUsb].usb98Name, "ZMXU98.DLL");
    std::strcpy(mux.slots[kSlotSerialN].fileName, "ZMXN32.DLL");
    std::strcpy(mux.slots[kSlotWireless].fileName, "ZMXW32.DLL");
    std::strcpy(mux.iniFileName, "HV_ZMX32.ini");
}

int32_t MuxSetLibraryName(Multiplexer& mux, LibraryName which, const char* name) {
    char* text = nullptr;
    switch (which) {
        case LibraryName::Serial: text = mux.slots[kSlotSerial].fileName; break;
        case LibraryName::SerialH: text = mux.slots[kSlotSerialH].fileName; break;
        case LibraryName::SerialN: text = mux.slots[kSlotSerialN].fileName; break;
        case LibraryName::Isa: text = mux.slots[kSlotPcCard].fileName; break;
        case LibraryName::TcpIp: text = mux.slots[kSlotTcpIp].fileName; break;
        case LibraryName::Usb98: text = mux.slots[kSlotUsb].usb98Name; break;
        case LibraryName::Usb2K: text = mux.slots[kSlotUsb].fileName; break;
        case LibraryName::Wireless: text = mux.slots[kSlotWireless].fileName; break;
    }
    if (text == nullptr) return kZmxBadName;
    return CopyName(text, kZmxTextSize, name);
}

int32_t MuxSetIniFile(Multiplexer& mux, const char* name) {
    return CopyName(mux.iniFileName, sizeof mux.iniFileName, name);
}

int32_t MuxOpenLink(Multiplexer& mux, LinkKind kind, uint16_t* handle, LinkParams* params, bool listen) {
    if (kind < 0 || kind >= kLinkKindCount) return kZmxBadConfig;
    if (handle == nullptr || params == nullptr) return kZmxBadConfig;
    if (kind == kLinkSerial && params->port >= 100) {
        // A port of 100 or more names an adapter of the adapter INI file. An
        // entry that leads back here (COM150 under adapter 150, say) is not
        // followed again: the inner open ends with 42 and this one goes on as
        // a serial open of that port.
        if (mux.redirecting) return kZmxRedirectLoop;
        mux.redirecting = true;
        int32_t result = MuxInitZMX(mux, handle, static_cast<int16_t>(params->port));
        mux.redirecting = false;
        if (result == kZmxOk) return kZmxOk;
    }
    const LinkRoute& route = kRoutes[kind];
    TransportSlot& slot = mux.slots[route.slot];
    int openEntry = listen && kind == kLinkTcpIp ? kEntryInitTCP_IPListen : route.openEntry;

    int32_t loaded = EnsureLoaded(slot, kind);
    if (loaded != kZmxOk) return loaded;
    ZmxOpenEntry open = reinterpret_cast<ZmxOpenEntry>(slot.entries[openEntry]);
    if (open == nullptr) {
        if (slot.openCount == 0) Unload(slot);
        return kZmxNoTransport;
    }
    if (kind == kLinkUsb) {
        // Each USB adapter is told its instance number: the count with it.
        ++slot.openCount;
        SetLinkUsbInstance(*params, static_cast<uint16_t>(slot.openCount));
    }
    int32_t result = open(handle, params);
    if (result == kZmxOk) {
        *handle = static_cast<uint16_t>(*handle | route.bits);
        if (kind != kLinkUsb) ++slot.openCount;
    } else {
        if (kind == kLinkUsb) --slot.openCount;
        if (slot.openCount == 0) Unload(slot);
    }
    return result;
}

int32_t MuxRestoreLink(Multiplexer& mux, LinkKind kind, uint16_t handle) {
    if (kind < 0 || kind >= kLinkKindCount) return kZmxBadHandle;
    const LinkRoute& route = kRoutes[kind];
    if ((handle & kHandleKindMask) != route.bits) return kZmxWrongLink;
    TransportSlot& slot = mux.slots[route.slot];
    if (slot.openCount > 0) --slot.openCount;
    ZmxRestoreEntry restore = reinterpret_cast<ZmxRestoreEntry>(slot.entries[route.restoreEntry]);
    if (restore == nullptr) return kZmxNoTransport;
    int32_t result = restore(static_cast<uint16_t>(handle & kHandleIdMask));
    if (result == kZmxOk && slot.openCount == 0) Unload(slot);
    return result;
}

int32_t MuxInitZMX(Multiplexer& mux, uint16_t* handle, int16_t number) {
    if (handle == nullptr) return kZmxBadConfig;
    AdapterConfig config;
    std::memset(&config, 0, sizeof config);
    config.params.adapterNumber = number;
    int32_t parsed = ParseAdapterConfig(&config, mux.iniFileName);
    if (parsed != kZmxOk) return parsed;
    if (config.linkKind < 0 || config.linkKind >= kLinkKindCount) return kZmxBadConfig;
    return MuxOpenLink(mux, static_cast<LinkKind>(config.linkKind), handle, &config.params);
}

int32_t MuxRestoreZMX(Multiplexer& mux, uint16_t handle) {
    for (int kind = 0; kind < kLinkKindCount; ++kind) {
        if (kRoutes[kind].bits == (handle & kHandleKindMask)) return MuxRestoreLink(mux, static_cast<LinkKind>(kind), handle);
    }
    return kZmxBadHandle;
}

int32_t MuxResolveForwarded(const Multiplexer& mux, uint16_t handle, ZmxForwarded operation, void** entry) {
    if (entry == nullptr || operation < 0 || operation >= kForwardedCount) return kZmxNoEntry;
    *entry = nullptr;
    uint16_t bits = handle & kHandleKindMask;
    int slot = SlotOfBits(bits);
    if (slot < 0) return kZmxBadHandle;
    if (operation == kFwdSetBaudRate && (slot == kSlotUsb || slot == kSlotPcCard)) return kZmxBadHandle;
    if (slot == kSlotSerialN && !kOfferedOnSerialN[operation]) return kZmxNotOnLink;
    *entry = mux.slots[slot].entries[kEntryFirstForwarded + operation];
    return *entry != nullptr ? kZmxOk : kZmxNoEntry;
}
