// The records the driver installer passes to the "Setup Progress" plug-in
// (ZMX5wizwin32a.DLL) with every call of Update. The installer owns them;
// the plug-in reads only the fields named here. Packed and little-endian;
// in the 32-bit product build every offset is checked.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// Pointers to the installer's own button and group box texts.
struct InstallerTexts {
    uint8_t reserved0[112];
    const char* cancel;        // 112 the Cancel button (2)
    uint8_t reserved116[72];
    const char* current;       // 188 group box 1009 ("Current")
    const char* all;           // 192 group box 1008 ("All")
    uint8_t reserved196[4];
    const char* next;          // 200 the Next button (3)
    const char* back;          // 204 the Back button (4)
};

struct InstallerInfo {
    uint8_t reserved0[4];
    void* installerWindow;         // 4  HWND: owner (dialog 1540), disabled while the progress window shows
    uint8_t reserved8[2];
    uint16_t nameSlotSize;         // 10 bytes per slot of the name table
    uint16_t valueSlotSize;        // 12 bytes per slot of the value table
    uint16_t variableCount;        // 14
    const char* names;             // 16 "%NAME%" per slot, zero-terminated
    const char* values;            // 20 the values, same order
    uint8_t reserved24[12];
    const InstallerTexts* texts;   // 36 or null
    uint32_t flags;                // 40 bit 0: dialog 1540 owned by the installer window; else 1541
    void* module;                  // 44 HMODULE holding icon 108
    const uint8_t* picture;        // 48 or null (InstallerPicture layout)
    uint32_t colour;               // 52 background around a centred picture (0x00BBGGRR); 0: none
};

#pragma pack(pop)

// A picture (offset 48): 16-bit width at 0, 16-bit height at 2, a 32-bit
// offset at 4 to the pixel bits counted from byte 10, a BITMAPINFO (header
// and colour table) at 10.
constexpr size_t kPictureWidth = 0;
constexpr size_t kPictureHeight = 2;
constexpr size_t kPictureBitsOffset = 4;
constexpr size_t kPictureInfo = 10;

#if !defined(_WIN64) && (UINTPTR_MAX == 0xFFFFFFFFu)
static_assert(offsetof(InstallerTexts, cancel) == 112, "InstallerTexts layout");
static_assert(offsetof(InstallerTexts, current) == 188, "InstallerTexts layout");
static_assert(offsetof(InstallerTexts, all) == 192, "InstallerTexts layout");
static_assert(offsetof(InstallerTexts, next) == 200, "InstallerTexts layout");
static_assert(offsetof(InstallerTexts, back) == 204, "InstallerTexts layout");
static_assert(offsetof(InstallerInfo, installerWindow) == 4, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, nameSlotSize) == 10, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, valueSlotSize) == 12, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, variableCount) == 14, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, names) == 16, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, values) == 20, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, texts) == 36, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, flags) == 40, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, module) == 44, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, picture) == 48, "InstallerInfo layout");
static_assert(offsetof(InstallerInfo, colour) == 52, "InstallerInfo layout");
static_assert(sizeof(InstallerInfo) == 56, "InstallerInfo layout");
#endif

// Update's first argument.
enum UpdateType : uint32_t { kUpdateCreate = 0, kUpdateUpdate = 1, kUpdateHide = 2, kUpdateDestroy = 3 };

// Control and resource ids of the progress window.
constexpr int kDialogOwned = 1540;    // Arial 8, owned by the installer window
constexpr int kDialogPlain = 1541;    // MS Sans Serif 8, no owner
constexpr int kIdHeading = 1011;
constexpr int kIdStatus = 3829;
constexpr int kIdAnimation = 1005;
constexpr int kIdGroupCurrent = 1009;
constexpr int kIdGroupAll = 1008;
constexpr int kIdBarCurrent = 1003;
constexpr int kIdBarAll = 1002;
constexpr int kIdSeparator = 1006;
constexpr int kIdPicture = 1007;
constexpr int kIdLeftPanel = 1014;
constexpr int kIdCancel = 2;
constexpr int kIdNext = 3;
constexpr int kIdBack = 4;
constexpr int kIconInstaller = 108;   // from the installer's module
constexpr int kIconFirst = 111;       // 111..131 of the plug-in
constexpr int kIconLast = 131;
constexpr int kBitmapBanner = 139;    // 272 x 61, dialog 1540
constexpr int kBitmapSide = 143;      // 165 x 345, dialog 1540
