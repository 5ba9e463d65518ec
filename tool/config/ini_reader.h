// The checker's own INI reader, its allocation registry and the message box
// used while loading.
//
// An INI file is parsed once into a chain of sections and entries; every later
// lookup is answered from the chain. Every block a load allocates (paths,
// sections, entries, names, keys, values and the texts the catalogue keeps) is
// taken with SafeAlloc and recorded, and ReleaseCatalogue frees them all at
// once when the main window closes.
//
// Single-threaded: used on the user-interface thread only.
#pragma once

#include <cstddef>

// Caption of every box the checker shows.
extern const char kQuorlinTitle[];

struct IniEntry {
    char* key;
    char* value;  // may be empty, never null
    IniEntry* next;
};

struct IniSection {
    char* name;
    IniEntry* firstEntry;
    IniSection* next;
};

struct IniFile {
    char* path;
    IniSection* firstSection;
};

// Longest line a single read takes; the rest of a longer line comes with the
// next read and is handled as a line of its own.
constexpr int kIniLineBuffer = 1000;

// Stores a copy of `path`, parses the file and returns 1; returns 0 without a
// message when the file cannot be opened for reading (the path copy is kept).
int ReadIniFile(const char* path, IniFile* iniFile);

// The value of `key` in the first section named `section` (names compared
// without regard to case), or nullptr. Later sections of the same name are
// never searched; the first of two equal keys wins.
const char* GetIniValue(const IniFile* iniFile, const char* section, const char* key);

// ---- Allocation registry ---------------------------------------------------

// A zero-filled block of `size` bytes, recorded in the registry. When memory
// runs out it shows "SafeAlloc:  Error allocating memory.\n" and ends the
// process with exit code 1.
void* SafeAlloc(size_t size);

// A recorded copy of `text` (of at most `length` characters when given).
char* SafeCopyText(const char* text);
char* SafeCopyText(const char* text, size_t length);

// Frees every recorded block, newest first, and leaves the registry empty.
void ReleaseAllocations();

// Number of blocks recorded now.
size_t AllocationCount();

// The modal box of the loader: no owner, the checker's caption, one OK button.
void ShowConfigMessage(const char* text);
