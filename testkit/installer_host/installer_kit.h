// What a driver installer hands the "Setup Progress" plug-in
// (ZMX5wizwin32a.DLL): the variable tables, the texts record and a picture
// in the plug-in's layout, built in memory; and the plug-in's Update entry.
// Used by installer-host.exe and by the tests that play the installer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "installer-plugin/installer_records.h"

namespace installer {

// Update(type, place, info, text, progress, sixth): a window handle or 0.
using UpdateFunction = uintptr_t(__stdcall*)(uint32_t type, uint32_t place, InstallerInfo* info, const char* text,
                                             uint32_t progress, uint32_t sixth);

// The installer's variables: a table of "%NAME%" slots and a table of value
// slots, each slot of its own fixed size, in the same order.
class Variables {
public:
    Variables(uint16_t nameSlotSize, uint16_t valueSlotSize);
    // `name` with its percent signs; both are cut to their slot.
    void Add(const std::string& name, const std::string& value);
    void SetValue(size_t index, const std::string& value);
    // Points the record's table fields (offsets 10 to 20) at the tables; call
    // again after Add, which may move them.
    void Attach(InstallerInfo* info) const;

private:
    uint16_t nameSlot_, valueSlot_;
    std::vector<char> names_, values_;
};

// The texts record: Cancel, the two group boxes, Next and Back.
class Texts {
public:
    Texts(std::string cancel, std::string current, std::string all, std::string next, std::string back);
    Texts(const Texts&) = delete;
    Texts& operator=(const Texts&) = delete;
    const InstallerTexts* record() const { return &record_; }

private:
    std::string cancel_, current_, all_, next_, back_;
    InstallerTexts record_{};
};

enum class PictureKind { kNone, kPalette8, kRgb24 };
// "none", "8bit" or "24bit"; false for anything else.
bool ParsePictureKind(const std::string& name, PictureKind* kind);

// A picture in the plug-in's layout: 16-bit width, 16-bit height, the offset
// of the pixel bits counted from byte 10, a BITMAPINFO at byte 10 (an 8-bit
// picture with a 256-colour table, used-colour count 0), a few filler bytes,
// then the bits, bottom-up. Empty for kNone.
std::vector<uint8_t> MakePicture(PictureKind kind, int width, int height);
// The colour of pixel (x, y) of that picture, counted from its top left.
COLORREF PictureColour(PictureKind kind, int x, int y);

}  // namespace installer
