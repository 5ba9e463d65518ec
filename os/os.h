// The OS layer: the one place where the deliverables touch the platform.
//
// Every deliverable uses the platform only through these functions. The win32
// build implements them on the Windows API (os_win32.cpp); the native test
// build implements them on POSIX (os_posix.cpp) with the same observable
// behaviour: Windows-style paths, case-insensitive file names, text-mode line
// ends. Tests replace parts of the platform through one table of functions
// (OsHooks, at the end): the Windows directory, files, the loader, the
// clocks, memory and object creation, message boxes and window messages.
//
// Paths handed to this layer are Windows paths ("c:\\windows\\rp121032.ini").
// The POSIX side turns backslashes into slashes and matches every path
// component without regard to case, as a Windows file system would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- Windows directory -----------------------------------------------------

// Copies the Windows directory into `buffer` (at most size - 1 characters and
// a terminating zero). Returns the length copied, or 0 when there is none or
// it does not fit, as GetWindowsDirectoryA does.
unsigned OsGetWindowsDirectory(char* buffer, unsigned size);

// Puts `path` in place of the Windows directory for this process (tests, test
// equipment): installs a windowsDirectory hook that answers it. nullptr
// returns to the platform's own. An empty text makes the directory come back
// empty. The POSIX build has no platform directory: the environment variable
// WINDIR stands for it (empty when it is not set).
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
// reports an NT-family system, version 6.1.
OsVersion OsGetVersion();

// ---- Message boxes ---------------------------------------------------------

enum : unsigned { kOsMbOk = 0x0 };
enum : int { kOsIdOk = 1 };

struct OsMessageBoxCall {
    const void* owner;  // owner window, or nullptr
    std::string text;
    std::string caption;
    unsigned type;      // kOsMb... flags
};


// Shows a modal message box and returns the button that closed it (the
// messageBox hook; win32: MessageBoxA; native: the recorder).
int OsMessageBox(const void* owner, const char* text, const char* caption, unsigned type);

// The recorder: a messageBox hook that keeps each box and answers OK at once,
// so that tests and test equipment run without a person at the screen.
int OsRecordMessageBox(const OsMessageBoxCall& call);
void OsRecordMessageBoxes();  // clears the record and installs the recorder
std::vector<OsMessageBoxCall> OsTakeRecordedMessageBoxes();  // returns and clears

// ---- Window messages -------------------------------------------------------

// The id of the window message registered under `name` (RegisterWindowMessageA:
// the same name, in any letter case, gives the same id, 0xC000 to 0xFFFF), or
// 0 when it cannot be registered (no name, an empty name).
unsigned OsRegisterWindowMessage(const char* name);

// Posts a message to a window's queue (PostMessageA). Returns 1, or 0 when it
// could not be posted. Natively there are no windows: every message is kept
// by the recorder below.
int OsPostMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);

struct OsPostedMessage {
    void* window;
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};
// The native postMessage hook: keeps the message and answers 1.
int OsRecordPostedMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);
std::vector<OsPostedMessage> OsTakePostedMessages();  // returns and clears

// ---- Time ------------------------------------------------------------------

// Calendar time in whole seconds (time()).
long long OsTimeSeconds();
// Sleeps about `milliseconds` (Sleep()).
void OsSleep(unsigned milliseconds);
// A millisecond tick that wraps at 32 bits (GetTickCount()).
uint32_t OsTickCount();

// ---- Memory ------------------------------------------------------------------

// `bytes` zero-filled bytes, or nullptr (also for 0 bytes). Freed with OsFree.
void* OsAllocate(size_t bytes);
void OsFree(void* block);

// ---- Threads and synchronisation -------------------------------------------
//
// Mutexes with a time-out, auto-reset events and threads that are joined. A
// thread is never terminated from outside: its owner asks it to stop (a flag
// and an event it waits on) and joins it.

struct OsThread;
struct OsMutex;
struct OsEvent;

constexpr unsigned kOsWaitForever = 0xFFFFFFFFu;

using OsThreadMain = void (*)(void* argument);

// Starts `main(argument)` on a new thread with a stack of `stackBytes` (0:
// the platform's default; the POSIX build never goes below 1 MiB, which
// sanitizers need). nullptr when it cannot be started.
OsThread* OsStartThread(OsThreadMain main, void* argument, unsigned stackBytes);
// Waits until the thread has ended and releases its record. Never call it
// from the thread itself.
void OsJoinThread(OsThread* thread);
// Whether the calling thread is `thread`.
bool OsIsCurrentThread(const OsThread* thread);
// A number for the calling thread, unique among running threads.
uint32_t OsCurrentThreadId();

// An unowned mutex, or nullptr. The Win32 mutex may be taken again by its
// owner; the POSIX one may not: code must never rely on either.
OsMutex* OsCreateMutex();
// Takes the mutex, waiting at most `milliseconds` (kOsWaitForever: no limit).
// True when taken.
bool OsLockMutex(OsMutex* mutex, unsigned milliseconds);
void OsUnlockMutex(OsMutex* mutex);
void OsDestroyMutex(OsMutex* mutex);

// Holds a mutex for a scope: taken at construction (waiting at most
// `milliseconds`; see held()), released at the end of the scope or at
// Unlock(). The one way the library takes its locks.
class OsMutexGuard {
public:
    explicit OsMutexGuard(OsMutex* mutex, unsigned milliseconds = kOsWaitForever)
        : mutex_(mutex != nullptr && OsLockMutex(mutex, milliseconds) ? mutex : nullptr) {}
    ~OsMutexGuard() { Unlock(); }
    OsMutexGuard(const OsMutexGuard&) = delete;
    OsMutexGuard& operator=(const OsMutexGuard&) = delete;
    bool held() const { return mutex_ != nullptr; }
    void Unlock() {
        if (mutex_ != nullptr) OsUnlockMutex(mutex_);
        mutex_ = nullptr;
    }

private:
    OsMutex* mutex_;
};

// An auto-reset event, initially clear, or nullptr.
OsEvent* OsCreateEvent();
void OsSetEvent(OsEvent* event);
void OsResetEvent(OsEvent* event);
// Waits at most `milliseconds` for the event to be set and clears it again.
// True when it was set.
bool OsWaitEvent(OsEvent* event, unsigned milliseconds);
void OsDestroyEvent(OsEvent* event);

// ---- Process ---------------------------------------------------------------

[[noreturn]] void OsExitProcess(int exitCode);

// ---- Replaceable functions (test seams) -------------------------------------
//
// One table of the platform functions that tests replace: to read another
// Windows directory, count or fail loads, run clocks fast, fail allocations
// and object creation in turn, record message boxes and window messages. The
// functions above call through it. A test takes the table in force, changes
// some entries and sets it; OsSetHooks(nullptr) puts the platform's back.
struct OsHooks {
    unsigned (*windowsDirectory)(char* buffer, unsigned size);  // OsGetWindowsDirectory's contract
    std::FILE* (*openFile)(const char* path, const char* mode);
    int (*copyFile)(const char* from, const char* to, bool failIfExists);
    OsLibrary* (*loadLibrary)(const char* fileName);
    void* (*getProcAddress)(OsLibrary* library, const char* name);
    void (*freeLibrary)(OsLibrary* library);
    long long (*timeSeconds)();
    uint32_t (*tickCount)();
    void (*sleep)(unsigned milliseconds);
    // The real milliseconds a timed wait of a mutex or an event lasts for the
    // time-out asked for (a fast test clock shortens them as it does sleeps).
    unsigned (*waitMilliseconds)(unsigned milliseconds);
    void* (*allocate)(size_t bytes);  // zero-filled
    OsMutex* (*createMutex)();
    OsEvent* (*createEvent)();
    OsThread* (*startThread)(OsThreadMain main, void* argument, unsigned stackBytes);
    int (*messageBox)(const OsMessageBoxCall& call);
    unsigned (*registerWindowMessage)(const char* name);
    int (*postMessage)(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);
    OsVersion (*version)();
};

OsHooks OsPlatformHooks();
OsHooks OsGetHooks();
// Installs a copy of `hooks` (entries left null take the platform's);
// nullptr installs the platform's table.
void OsSetHooks(const OsHooks* hooks);
