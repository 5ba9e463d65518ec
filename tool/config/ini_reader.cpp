#include "tool/config/ini_reader.h"

#include "os/os.h"
#include "tool/config/text_helpers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

const char kQuorlinTitle[] = "Halvery Group RP1210 Quorlin (QRN) Version 1.2";

namespace {

// The blocks of one load, oldest first. It grows as a load needs: a load of
// more blocks than any real set of RP1210 files holds is recorded all the
// same, so nothing is ever written past its end or left unfreed.
std::vector<void*> g_registry;

[[noreturn]] void OutOfMemory() {
    ShowConfigMessage("SafeAlloc:  Error allocating memory.\n");
    OsExitProcess(1);
}

}  // namespace

void ShowConfigMessage(const char* text) { OsMessageBox(nullptr, text, kQuorlinTitle, kOsMbOk); }

void* SafeAlloc(size_t size) {
    if (g_registry.capacity() == 0) {
        try {
            g_registry.reserve(35000);  // room for a whole ordinary load at once
        } catch (const std::bad_alloc&) {
            OutOfMemory();
        }
    }
    void* block = std::calloc(size == 0 ? 1 : size, 1);
    if (block == nullptr) OutOfMemory();
    try {
        g_registry.push_back(block);
    } catch (const std::bad_alloc&) {
        std::free(block);
        OutOfMemory();
    }
    return block;
}

char* SafeCopyText(const char* text, size_t length) {
    size_t available = std::strlen(text);
    if (length > available) length = available;
    char* copy = static_cast<char*>(SafeAlloc(length + 1));
    std::memcpy(copy, text, length);
    return copy;
}

char* SafeCopyText(const char* text) { return SafeCopyText(text, std::strlen(text)); }

void ReleaseAllocations() {
    for (size_t i = g_registry.size(); i > 0; --i) std::free(g_registry[i - 1]);
    g_registry.clear();
}

size_t AllocationCount() { return g_registry.size(); }

int ReadIniFile(const char* path, IniFile* iniFile) {
    iniFile->path = SafeCopyText(path);
    iniFile->firstSection = nullptr;
    std::FILE* file = OsOpenFile(path, "r");
    if (file == nullptr) return 0;

    IniSection* lastSection = nullptr;  // also the current section
    IniEntry* lastEntry = nullptr;      // last entry of the current section
    char line[kIniLineBuffer];
    while (OsReadTextLine(line, sizeof line, file) != nullptr) {
        char first = line[0];
        if (first == '[') {
            // The name runs to the first ']' or the end of the read, as written.
            const char* start = line + 1;
            const char* close = std::strchr(start, ']');
            size_t length = close ? static_cast<size_t>(close - start) : std::strlen(start);
            IniSection* section = static_cast<IniSection*>(SafeAlloc(sizeof(IniSection)));
            section->name = SafeCopyText(start, length);
            if (lastSection) {
                lastSection->next = section;
            } else {
                iniFile->firstSection = section;
            }
            lastSection = section;
            lastEntry = nullptr;
        } else if (IsAsciiLetter(first)) {
            // A key line before any section header belongs to no section: no
            // lookup could find it, so it is not kept.
            if (lastSection == nullptr) continue;
            char* newline = std::strchr(line, '\n');
            if (newline) *newline = '\0';
            char* equals = std::strchr(line, '=');
            char* value = equals ? equals + 1 : line + std::strlen(line);
            if (equals) *equals = '\0';
            IniEntry* entry = static_cast<IniEntry*>(SafeAlloc(sizeof(IniEntry)));
            entry->key = SafeCopyText(TrimText(line));
            entry->value = SafeCopyText(TrimText(value));
            if (lastEntry) {
                lastEntry->next = entry;
            } else {
                lastSection->firstEntry = entry;
            }
            lastEntry = entry;
        }
        // Comments (';', '#', '\''), blank lines and every other line: ignored.
    }
    std::fclose(file);
    return 1;
}

const char* GetIniValue(const IniFile* iniFile, const char* section, const char* key) {
    if (iniFile == nullptr || section == nullptr || key == nullptr) return nullptr;
    for (const IniSection* s = iniFile->firstSection; s; s = s->next) {
        if (!EqualsNoCase(s->name, section)) continue;
        for (const IniEntry* e = s->firstEntry; e; e = e->next) {
            if (EqualsNoCase(e->key, key)) return e->value;
        }
        return nullptr;  // later sections of the same name are not searched
    }
    return nullptr;
}
