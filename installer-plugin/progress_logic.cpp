#include "installer-plugin/progress_logic.h"

#include "os/os.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

PlacePoint PlaceProgressWindow(uint32_t placeCode, int areaWidth, int areaHeight, int width, int height) {
    uint32_t code = placeCode & 15;
    int column = static_cast<int>(code % 3), row = static_cast<int>(code / 3);
    int x = (column + 1) * areaWidth / 4 - width / 2;
    int y = (row + 1) * areaHeight / 4 - height / 2;
    if (x + width > areaWidth) x = areaWidth - width;
    if (y + height > areaHeight) y = areaHeight - height;
    return {std::max(x, 0), std::max(y, 0)};
}

std::string FitStatusText(const std::string& text, int width, const std::function<int(const std::string&)>& measure) {
    size_t breakAt = text.find_first_of("\r\n");
    size_t partStart = 0;
    if (breakAt != std::string::npos) {
        size_t after = text.find_first_not_of("\r\n", breakAt);
        if (after != std::string::npos) partStart = after;
    }
    std::string part = text.substr(partStart);
    if (measure(part) < width) return text;
    std::string copy = part.substr(0, kFitLimit);
    size_t slash = copy.find('\\');
    size_t cut = slash == std::string::npos ? copy.size() : slash + 1;
    while (measure(copy) >= width) {
        size_t start = cut;
        if (start < copy.size() && copy[start] == '.') {
            size_t next = copy.find('\\', start);
            start = next == std::string::npos ? copy.size() : next + 1;
        }
        size_t backslash = start < copy.size() ? copy.find('\\', start) : std::string::npos;
        if (backslash != std::string::npos && backslash > cut + 3) {
            copy.replace(cut, backslash - cut, "...");
        } else if (copy.size() > 3) {
            copy.replace(copy.size() - 4, 4, "...");
        } else {
            break;  // nothing shorter to try: the shortest form is shown
        }
    }
    return text.substr(0, partStart) + copy;
}

std::string LookupInstallerVariable(const InstallerInfo& info, const char* name) {
    if (name == nullptr || info.names == nullptr || info.values == nullptr || info.nameSlotSize == 0 ||
        info.valueSlotSize == 0) {
        return std::string();
    }
    std::string wanted = ("%" + std::string(name) + "%").substr(0, kVariableNameLimit);
    for (uint16_t i = 0; i < info.variableCount; ++i) {
        const char* slot = info.names + static_cast<size_t>(i) * info.nameSlotSize;
        if (std::string(slot, strnlen(slot, info.nameSlotSize)) != wanted) continue;
        const char* value = info.values + static_cast<size_t>(i) * info.valueSlotSize;
        return std::string(value, strnlen(value, info.valueSlotSize));
    }
    return std::string();
}

std::string DriverVersionText(const char* fileName) {
    unsigned size = OsGetFileVersionInfoSize(fileName);
    if (size == 0) return std::string();
    std::vector<char> block(size);
    if (!OsGetFileVersionInfo(fileName, size, block.data())) return std::string();
    void* value = nullptr;
    unsigned length = 0;
    if (!OsVerQueryValue(block.data(), "\\VarFileInfo\\Translation", &value, &length) || value == nullptr ||
        length < 4) {
        return std::string();
    }
    uint16_t pair[2];
    std::memcpy(pair, value, 4);
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\FileVersion", pair[0], pair[1]);
    if (!OsVerQueryValue(block.data(), key, &value, &length) || value == nullptr) return std::string();
    const char* text = static_cast<const char*>(value);
    size_t room = static_cast<size_t>(block.data() + block.size() - text);
    return std::string(text, strnlen(text, std::min(room, kVersionLimit)));
}

std::string VersionHeading(const std::string& version) {
    if (version.empty()) return "Installing ZMX III, ZMX 4, and ZMX 4 Plus Series Driver No Version Number Available\n";
    return "Installing ZMX III, ZMX 4, and ZMX 4 Plus Series Driver Version " + version + "\n";
}

std::string MinimisedCaption(uint32_t progress, const std::string& caption) {
    return std::to_string(progress / 10) + "% " + caption;
}

BarGeometry ComputeBarGeometry(int height, int width) {
    BarGeometry bar{};
    bar.innerHeight = height - 2;
    bar.segmentHeight = bar.innerHeight > 20 ? height - 5 : height - 4;
    bar.segmentWidth = 2 * bar.segmentHeight / 3;
    // A placeholder too small for one segment gets none.
    bar.segments = bar.segmentHeight > 0 && bar.segmentWidth > 0 ? std::max(0, (width - 3) / (bar.segmentWidth + 2)) : 0;
    return bar;
}

int LitSegments(const BarGeometry& bar, int value) {
    if (bar.segments <= 0) return 0;
    int step = 1000 / bar.segments, lit = 0;
    while (lit < bar.segments && step * lit < value) ++lit;
    return lit;
}

PlacePoint AnimationStep(int frame) {
    static const PlacePoint kPath[21] = {{113, 8}, {14, 6}, {18, 6}, {24, 6}, {32, 1}, {38, 0}, {46, 0},
                                         {52, 0},  {55, 0}, {59, 0}, {63, 0}, {68, 0}, {74, 0}, {79, 0},
                                         {85, 0},  {90, 0}, {97, 0}, {101, 3}, {107, 6}, {113, 8}, {113, 8}};
    return kPath[frame < 0 || frame > 20 ? 0 : frame];
}

int MovingIconId(int frame) { return frame >= 1 && frame <= 20 ? kIconFirst + frame : kIconLast; }
