#include "testkit/installer_host/installer_kit.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace installer {

namespace {

void CopyIntoSlot(std::vector<char>* table, size_t slot, uint16_t slotSize, const std::string& text) {
    size_t length = std::min(text.size(), static_cast<size_t>(slotSize) - 1);
    std::memcpy(table->data() + slot * slotSize, text.data(), length);
    std::memset(table->data() + slot * slotSize + length, 0, slotSize - length);
}

// The 8-bit picture's colour table: every entry different.
RGBQUAD PaletteEntry(int index) {
    RGBQUAD entry{};
    entry.rgbRed = static_cast<BYTE>(index);
    entry.rgbGreen = static_cast<BYTE>(255 - index);
    entry.rgbBlue = static_cast<BYTE>((index * 37) & 255);
    return entry;
}

int PaletteIndex(int x, int y) { return (x * 5 + y * 17) & 255; }

const size_t kFiller = 12;  // bytes between the colour table and the bits

}  // namespace

Variables::Variables(uint16_t nameSlotSize, uint16_t valueSlotSize)
    : nameSlot_(nameSlotSize), valueSlot_(valueSlotSize) {}

void Variables::Add(const std::string& name, const std::string& value) {
    size_t slot = names_.size() / nameSlot_;
    names_.resize(names_.size() + nameSlot_);
    values_.resize(values_.size() + valueSlot_);
    CopyIntoSlot(&names_, slot, nameSlot_, name);
    CopyIntoSlot(&values_, slot, valueSlot_, value);
}

void Variables::SetValue(size_t index, const std::string& value) {
    if (index < values_.size() / valueSlot_) CopyIntoSlot(&values_, index, valueSlot_, value);
}

void Variables::Attach(InstallerInfo* info) const {
    info->nameSlotSize = nameSlot_;
    info->valueSlotSize = valueSlot_;
    info->variableCount = static_cast<uint16_t>(names_.size() / nameSlot_);
    info->names = names_.empty() ? nullptr : names_.data();
    info->values = values_.empty() ? nullptr : values_.data();
}

Texts::Texts(std::string cancel, std::string current, std::string all, std::string next, std::string back)
    : cancel_(std::move(cancel)), current_(std::move(current)), all_(std::move(all)), next_(std::move(next)),
      back_(std::move(back)) {
    record_.cancel = cancel_.c_str();
    record_.current = current_.c_str();
    record_.all = all_.c_str();
    record_.next = next_.c_str();
    record_.back = back_.c_str();
}

bool ParsePictureKind(const std::string& name, PictureKind* kind) {
    if (name == "none") *kind = PictureKind::kNone;
    else if (name == "8bit") *kind = PictureKind::kPalette8;
    else if (name == "24bit") *kind = PictureKind::kRgb24;
    else return false;
    return true;
}

std::vector<uint8_t> MakePicture(PictureKind kind, int width, int height) {
    if (kind == PictureKind::kNone || width <= 0 || height <= 0) return {};
    const int bitCount = kind == PictureKind::kPalette8 ? 8 : 24;
    const size_t tableBytes = kind == PictureKind::kPalette8 ? 256 * sizeof(RGBQUAD) : 0;
    const size_t rowBytes = (static_cast<size_t>(width) * bitCount / 8 + 3) & ~static_cast<size_t>(3);
    const size_t bitsOffset = sizeof(BITMAPINFOHEADER) + tableBytes + kFiller;  // counted from byte 10
    std::vector<uint8_t> picture(kPictureInfo + bitsOffset + rowBytes * height, 0);

    uint16_t w = static_cast<uint16_t>(width), h = static_cast<uint16_t>(height);
    uint32_t offset = static_cast<uint32_t>(bitsOffset);
    std::memcpy(&picture[kPictureWidth], &w, 2);
    std::memcpy(&picture[kPictureHeight], &h, 2);
    std::memcpy(&picture[kPictureBitsOffset], &offset, 4);

    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // bottom-up
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(bitCount);
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(rowBytes * height);
    header.biClrUsed = 0;  // 8-bit: the full table of 256
    std::memcpy(&picture[kPictureInfo], &header, sizeof header);
    for (size_t i = 0; i < tableBytes / sizeof(RGBQUAD); ++i) {
        RGBQUAD entry = PaletteEntry(static_cast<int>(i));
        std::memcpy(&picture[kPictureInfo + sizeof header + i * sizeof entry], &entry, sizeof entry);
    }
    std::memset(&picture[kPictureInfo + sizeof header + tableBytes], 0xCD, kFiller);

    uint8_t* bits = &picture[kPictureInfo + bitsOffset];
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bits + rowBytes * static_cast<size_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            if (kind == PictureKind::kPalette8) {
                row[x] = static_cast<uint8_t>(PaletteIndex(x, y));
            } else {
                COLORREF colour = PictureColour(kind, x, y);
                row[x * 3] = GetBValue(colour);
                row[x * 3 + 1] = GetGValue(colour);
                row[x * 3 + 2] = GetRValue(colour);
            }
        }
    }
    return picture;
}

COLORREF PictureColour(PictureKind kind, int x, int y) {
    if (kind == PictureKind::kPalette8) {
        RGBQUAD entry = PaletteEntry(PaletteIndex(x, y));
        return RGB(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
    }
    return RGB((x * 3) & 255, (y * 3) & 255, ((x + y) * 7) & 255);
}

}  // namespace installer
