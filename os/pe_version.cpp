#include "os/pe_version.h"

#include <cstring>
#include <string>

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Whether [offset, offset + length) lies inside a buffer of `size` bytes.
bool Fits(size_t size, size_t offset, size_t length) { return offset <= size && length <= size - offset; }

struct Image {
    const uint8_t* data;
    size_t size;
    const uint8_t* sections;
    unsigned sectionCount;

    // File offset of a relative virtual address, or false.
    bool RvaToOffset(uint32_t rva, uint32_t length, size_t* offset) const {
        for (unsigned i = 0; i < sectionCount; ++i) {
            const uint8_t* s = sections + i * 40;
            uint32_t virtualAddress = Get32(s + 12);
            uint32_t virtualSize = Get32(s + 8);
            uint32_t rawSize = Get32(s + 16);
            uint32_t rawOffset = Get32(s + 20);
            uint32_t span = virtualSize > rawSize ? virtualSize : rawSize;
            if (rva < virtualAddress || rva - virtualAddress >= span) continue;
            uint32_t within = rva - virtualAddress;
            if (within > rawSize || length > rawSize - within) return false;
            size_t fileOffset = static_cast<size_t>(rawOffset) + within;
            if (!Fits(size, fileOffset, length)) return false;
            *offset = fileOffset;
            return true;
        }
        return false;
    }
};

// The directory entry of a resource directory at `dir` (offset in the
// resource section) whose id is `id`, or its first entry when id is -1.
bool FindEntry(const uint8_t* res, size_t resSize, uint32_t dir, long id, uint32_t* target) {
    if (!Fits(resSize, dir, 16)) return false;
    unsigned count = static_cast<unsigned>(Get16(res + dir + 12)) + Get16(res + dir + 14);
    for (unsigned i = 0; i < count; ++i) {
        size_t entry = dir + 16 + static_cast<size_t>(i) * 8;
        if (!Fits(resSize, entry, 8)) return false;
        uint32_t name = Get32(res + entry);
        if (id == -1 || (!(name & 0x80000000u) && name == static_cast<uint32_t>(id))) {
            *target = Get32(res + entry + 4);
            return true;
        }
    }
    return false;
}

// One node of a version block: wLength, wValueLength, wType, key, value,
// children, each aligned to 4 bytes from the block start.
struct Node {
    size_t start;
    size_t end;          // start + wLength, inside the parent
    std::string key;     // ASCII-folded key
    size_t valueOffset;
    size_t valueLength;  // in bytes
    bool isText;
    size_t childrenOffset;
};

size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

bool ReadNode(const uint8_t* block, size_t limit, size_t start, Node* node) {
    if (!Fits(limit, start, 6)) return false;
    size_t length = Get16(block + start);
    if (length < 6 || !Fits(limit, start, length)) return false;
    size_t valueLength = Get16(block + start + 2);
    node->isText = Get16(block + start + 4) == 1;
    node->start = start;
    node->end = start + length;
    node->key.clear();
    size_t p = start + 6;
    for (;;) {
        if (p + 2 > node->end) return false;
        uint16_t c = Get16(block + p);
        p += 2;
        if (c == 0) break;
        node->key.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    p = Align4(p);
    // Text values count UTF-16 characters (terminator included); binary ones bytes.
    size_t valueBytes = node->isText ? valueLength * 2 : valueLength;
    if (p > node->end) p = node->end;
    if (valueBytes > node->end - p) valueBytes = node->end - p;
    node->valueOffset = p;
    node->valueLength = valueBytes;
    if (node->isText) {
        // Without the terminator, wherever the text ends first.
        size_t chars = 0;
        while (chars * 2 + 1 < valueBytes && Get16(block + p + chars * 2) != 0) ++chars;
        node->valueLength = chars * 2;
    }
    node->childrenOffset = Align4(p + valueBytes);
    return true;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

bool PeFindVersionResource(const uint8_t* image, size_t imageSize, std::vector<uint8_t>* block) {
    if (!Fits(imageSize, 0, 64) || image[0] != 'M' || image[1] != 'Z') return false;
    size_t pe = Get32(image + 60);
    if (!Fits(imageSize, pe, 24) || std::memcmp(image + pe, "PE\0\0", 4) != 0) return false;
    unsigned sectionCount = Get16(image + pe + 6);
    size_t optionalSize = Get16(image + pe + 20);
    size_t optional = pe + 24;
    if (!Fits(imageSize, optional, optionalSize) || optionalSize < 2) return false;
    uint16_t magic = Get16(image + optional);
    size_t directories = optional + (magic == 0x20b ? 112 : 96);  // PE32+ or PE32
    size_t directoryCountAt = directories - 4;
    if (magic != 0x10b && magic != 0x20b) return false;
    if (!Fits(optional + optionalSize, directoryCountAt, 4)) return false;
    if (Get32(image + directoryCountAt) < 3) return false;  // no resource directory entry
    size_t resourceEntry = directories + 2 * 8;
    if (!Fits(optional + optionalSize, resourceEntry, 8)) return false;
    uint32_t resourceRva = Get32(image + resourceEntry);
    uint32_t resourceSize = Get32(image + resourceEntry + 4);
    size_t sections = optional + optionalSize;
    if (!Fits(imageSize, sections, static_cast<size_t>(sectionCount) * 40)) return false;
    Image pe32{image, imageSize, image + sections, sectionCount};
    size_t resOffset;
    if (resourceRva == 0 || resourceSize == 0 || !pe32.RvaToOffset(resourceRva, resourceSize, &resOffset)) {
        return false;
    }
    const uint8_t* res = image + resOffset;
    uint32_t target;
    // Type 16 (RT_VERSION), then its first name, then its first language.
    if (!FindEntry(res, resourceSize, 0, 16, &target) || !(target & 0x80000000u)) return false;
    if (!FindEntry(res, resourceSize, target & 0x7fffffffu, -1, &target) || !(target & 0x80000000u)) return false;
    if (!FindEntry(res, resourceSize, target & 0x7fffffffu, -1, &target) || (target & 0x80000000u)) return false;
    if (!Fits(resourceSize, target, 16)) return false;
    uint32_t dataRva = Get32(res + target);
    uint32_t dataSize = Get32(res + target + 4);
    size_t dataOffset;
    if (dataSize == 0 || !pe32.RvaToOffset(dataRva, dataSize, &dataOffset)) return false;
    block->assign(image + dataOffset, image + dataOffset + dataSize);
    return true;
}

bool PeQueryVersionValue(const uint8_t* block, size_t blockSize, const char* subBlock, size_t* offset,
                         size_t* length, bool* isText) {
    Node node;
    if (!ReadNode(block, blockSize, 0, &node)) return false;
    const char* p = subBlock;
    while (*p == '\\') ++p;
    while (*p != '\0') {
        const char* next = std::strchr(p, '\\');
        std::string name(p, next ? static_cast<size_t>(next - p) : std::strlen(p));
        p = next ? next : p + name.size();
        while (*p == '\\') ++p;
        // Find the child named `name`.
        bool found = false;
        Node child;
        for (size_t at = node.childrenOffset; at + 6 <= node.end && ReadNode(block, node.end, at, &child);
             at = Align4(child.end)) {
            if (EqualsNoCase(child.key, name)) {
                found = true;
                break;
            }
            if (child.end <= at) break;
        }
        if (!found) return false;
        node = child;
    }
    *offset = node.valueOffset;
    *length = node.valueLength;
    *isText = node.isText;
    return true;
}
