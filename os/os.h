// The OS layer: the one place where the deliverables touch the platform.
//
// Every deliverable uses the platform only through these functions. The win32
// build implements them on the Windows API (os_win32.cpp); the native test
// build implements them on POSIX (os_posix.cpp) with the same observable
// behaviour: Windows-style paths, case-insensitive file names, text-mode line
// ends. Tests may replace the Windows directory and the message box handler.
//
// Paths handed to this layer are Windows paths ("c:\\windows\\rp121032.ini").
// The POSIX side turns backslashes into slashes and matches every path
// component without regard to case, as a Windows file system would.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// ---- Windows directory -----------------------------------------------------

// Copies the Windows directory into `buffer` (at most size - 1 characters and
// a terminating zero). Returns the length copied, or 0 when there is none or
// it does not fit, as GetWindowsDirectoryA does.
unsigned OsGetWindowsDirectory(char* buffer, unsigned size);

// Replaces the Windows directory for this process (tests, test equipment).
// nullptr returns to the platform's own. An empty text makes the directory
// come back empty. The POSIX build has no platform directory: the
// environment variable WINDIR stands for it (empty when it is not set).
void OsSetWindowsDirectory(const char* path);

// ---- Files -----------------------------------------------------------------

// Opens a file as fopen does ("r" and "w" text mode, "rb" and "wb" binary).
// Returns nullptr when the file cannot be opened.
std::FILE* OsOpenFile(const char* path, const char* mode);

// Reads one line as fgets does from a text-mode file: at most size - 1
// characters, the line feed kept, a carriage return before the line feed
// dropped. Returns nullptr at end of file.
char* OsReadTextLine(char* buffer, int size, std::FILE* file);

// Writes `text` to a file opened with OsOpenFile(path, "w") as a Windows
// text-mode stream does: every line feed goes out as carriage return and line
// feed. Returns 1, or 0 on a write error. Write errors of a buffered stream
// may show only when the file is closed: check fclose as well.
int OsWriteText(std::FILE* file, const char* text);

// One entry that OsFindFiles matched: its name (the last path component only,
// as stored) and whether it is a directory.
struct OsFoundFile {
    std::string name;
    bool isDirectory;
};

// The entries that `pattern` matches, as FindFirstFileA and FindNextFileA list
// them: the pattern is a Windows path whose last component may hold '*' (any
// run of characters, also none) and '?' (exactly one character), matched
// without regard to case. Empty when nothing matches or the directory cannot
// be read. The order is the file system's.
std::vector<OsFoundFile> OsFindFiles(const char* pattern);

// Copies the file `from` to `to` as CopyFileA does: 1 on success, 0 on
// failure. With `failIfExists` an existing `to` (in any letter case) is left
// alone and the copy fails. Fails when `from` is missing or is not a file. A
// destination the copy created is removed again when the copy fails.
int OsCopyFile(const char* from, const char* to, bool failIfExists);

// ---- Libraries -------------------------------------------------------------

struct OsLibrary;  // a loaded library; opaque

// Loads a library by file name as LoadLibraryA does: a bare name is searched
// along the library search path (win32: the platform's; POSIX: the program's
// own directory, then the Windows directory, matching names without regard
// to case). Returns nullptr when it cannot be loaded.
OsLibrary* OsLoadLibrary(const char* fileName);

// The address of an exported name, or nullptr. ELF symbol names cannot hold
// '@' (it marks a symbol version), so on POSIX a name such as
// "_RP1210_ClientConnect@24" is looked up with '$' in place of each '@'.
void* OsGetProcAddress(OsLibrary* library, const char* name);

// Releases one load of the library.
void OsFreeLibrary(OsLibrary* library);

// The three loader operations, replaceable for tests (counting, failing).
struct OsLoader {
    OsLibrary* (*load)(const char* fileName);
    void* (*getProc)(OsLibrary* library, const char* name);
    void (*release)(OsLibrary* library);
};
OsLoader OsPlatformLoader();
// Routes the loader operations through `loader` (nullptr: the platform's).
void OsSetLoader(const OsLoader* loader);

// ---- File version information ----------------------------------------------

// As GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA: the
// file is found as OsLoadLibrary finds a bare name. The size is 0 when the
// file has no version information (or cannot be found); the block is opaque
// and only OsVerQueryValue reads it. A text value comes back as a
// zero-terminated 8-bit string inside the block.
unsigned OsGetFileVersionInfoSize(const char* fileName);
int OsGetFileVersionInfo(const char* fileName, unsigned size, void* block);
int OsVerQueryValue(void* block, const char* subBlock, void** value, unsigned* length);

// ---- Profile (INI) files ----------------------------------------------------

// Reads one value of a Windows profile (INI) file as GetPrivateProfileStringA
// does: `fileName` without a directory is looked for in the Windows
// directory; section and key names match without regard to case; the value is
// the text after the first '=' of the key's line with surrounding blanks
// removed (and one pair of enclosing quotes); the first matching section and
// key line win. When the file, section or key is missing, `defaultValue` is
// copied instead (nullptr counts as ""). At most size - 1 characters are kept
// and the text is always terminated. Returns the number of characters copied.
// `section` and `key` must be given (listing sections or keys is not offered).
unsigned OsGetProfileString(const char* section, const char* key, const char* defaultValue,
                            char* buffer, unsigned size, const char* fileName);

// ---- Operating-system version -----------------------------------------------

enum : unsigned {
    kOsPlatformWin32s = 0,
    kOsPlatformWindows = 1,  // Windows 95, 98, Me
    kOsPlatformNt = 2,       // Windows NT, 2000, XP and later
};

struct OsVersion {
    unsigned platformId;  // kOsPlatform...
    unsigned major;
    unsigned minor;
};

// The running system's version as GetVersionExA reports it. The POSIX build
// reports an NT-family system, version 6.1. Tests can set another
// (nullptr: the platform's again).
OsVersion OsGetVersion();
void OsSetVersion(const OsVersion* version);

// ---- Message boxes ---------------------------------------------------------

enum : unsigned { kOsMbOk = 0x0 };
enum : int { kOsIdOk = 1 };

struct OsMessageBoxCall {
    const void* owner;  // owner window, or nullptr
    std::string text;
    std::string caption;
    unsigned type;      // kOsMb... flags
};

using OsMessageBoxHandler = int (*)(const OsMessageBoxCall& call);

// Shows a modal message box and returns the button that closed it.
// win32: MessageBoxA, unless a handler is set. native: the recorder, unless
// another handler is set.
int OsMessageBox(const void* owner, const char* text, const char* caption, unsigned type);

// Routes every later message box to `handler` (nullptr: the build's default).
// Returns the handler in force before.
OsMessageBoxHandler OsSetMessageBoxHandler(OsMessageBoxHandler handler);

// The recorder: a handler that keeps each box and answers OK at once, so that
// tests and test equipment run without a person at the screen.
int OsRecordMessageBox(const OsMessageBoxCall& call);
void OsRecordMessageBoxes();  // clears the record and routes boxes to it
std::vector<OsMessageBoxCall> OsTakeRecordedMessageBoxes();  // returns and clears

// ---- Time ------------------------------------------------------------------

// Calendar time in whole seconds (time()).
long long OsTimeSeconds();
// Sleeps about `milliseconds` (Sleep()).
void OsSleep(unsigned milliseconds);

// The two, replaceable for tests (a clock that a sleep moves on, so that
// waits cost no real time).
struct OsClock {
    long long (*timeSeconds)();
    void (*sleep)(unsigned milliseconds);
};
// Routes time and sleep through `clock` (nullptr: the platform's).
void OsSetClock(const OsClock* clock);

// ---- Process ---------------------------------------------------------------

[[noreturn]] void OsExitProcess(int exitCode);
