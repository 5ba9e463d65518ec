// Parts of the OS layer that are the same on every platform: the table of
// replaceable functions and the calls through it, the message box and
// window message recorders, and the Windows directory override.
#include "os/os.h"
#include "os/os_internal.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

namespace {

long long PlatformTimeSeconds() { return static_cast<long long>(std::time(nullptr)); }

void PlatformSleep(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

unsigned PlatformWaitMilliseconds(unsigned milliseconds) { return milliseconds; }

void* PlatformAllocate(size_t bytes) { return bytes == 0 ? nullptr : std::calloc(1, bytes); }

// Every table ever installed stays allocated, so that a call on another
// thread that has just read the old pointer can still use it; tests install
// a handful.
std::mutex g_hooksLock;
std::deque<OsHooks>& InstalledTables() {
    static std::deque<OsHooks>* tables = new std::deque<OsHooks>();
    return *tables;
}
std::atomic<const OsHooks*> g_hooks{nullptr};

const OsHooks& PlatformTable() {
    static const OsHooks table = OsPlatformHooks();
    return table;
}

std::mutex g_boxLock;  // guards the box record
std::vector<OsMessageBoxCall> g_boxRecord;

std::mutex g_postLock;  // guards the posted-message record
std::vector<OsPostedMessage> g_postRecord;

std::mutex g_dirLock;  // guards the override text
std::string g_dirOverride;

unsigned OverriddenWindowsDirectory(char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return 0;
    std::lock_guard<std::mutex> lock(g_dirLock);
    if (g_dirOverride.size() + 1 > size) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, g_dirOverride.c_str(), g_dirOverride.size() + 1);
    return static_cast<unsigned>(g_dirOverride.size());
}

}  // namespace

OsHooks OsPlatformHooks() {
    OsHooks hooks;
    hooks.windowsDirectory = OsPlatformWindowsDirectory;
    hooks.openFile = OsPlatformOpenFile;
    hooks.copyFile = OsPlatformCopyFile;
    hooks.loadLibrary = OsPlatformLoadLibrary;
    hooks.getProcAddress = OsPlatformGetProcAddress;
    hooks.freeLibrary = OsPlatformFreeLibrary;
    hooks.timeSeconds = PlatformTimeSeconds;
    hooks.tickCount = OsPlatformTickCount;
    hooks.sleep = PlatformSleep;
    hooks.waitMilliseconds = PlatformWaitMilliseconds;
    hooks.allocate = PlatformAllocate;
    hooks.createMutex = OsPlatformCreateMutex;
    hooks.createEvent = OsPlatformCreateEvent;
    hooks.startThread = OsPlatformStartThread;
    hooks.messageBox = OsPlatformMessageBox;
    hooks.registerWindowMessage = OsPlatformRegisterWindowMessage;
    hooks.postMessage = OsPlatformPostMessage;
    hooks.version = OsPlatformVersion;
    return hooks;
}

const OsHooks& OsHooksInForce() {
    const OsHooks* hooks = g_hooks.load(std::memory_order_acquire);
    return hooks != nullptr ? *hooks : PlatformTable();
}

OsHooks OsGetHooks() { return OsHooksInForce(); }

void OsSetHooks(const OsHooks* hooks) {
    std::lock_guard<std::mutex> lock(g_hooksLock);
    if (hooks == nullptr) {
        g_hooks.store(nullptr, std::memory_order_release);
        return;
    }
    const OsHooks& platform = PlatformTable();
    OsHooks table = *hooks;
#define OS_HOOK_DEFAULT(entry) \
    if (table.entry == nullptr) table.entry = platform.entry;
    OS_HOOK_DEFAULT(windowsDirectory)
    OS_HOOK_DEFAULT(openFile)
    OS_HOOK_DEFAULT(copyFile)
    OS_HOOK_DEFAULT(loadLibrary)
    OS_HOOK_DEFAULT(getProcAddress)
    OS_HOOK_DEFAULT(freeLibrary)
    OS_HOOK_DEFAULT(timeSeconds)
    OS_HOOK_DEFAULT(tickCount)
    OS_HOOK_DEFAULT(sleep)
    OS_HOOK_DEFAULT(waitMilliseconds)
    OS_HOOK_DEFAULT(allocate)
    OS_HOOK_DEFAULT(createMutex)
    OS_HOOK_DEFAULT(createEvent)
    OS_HOOK_DEFAULT(startThread)
    OS_HOOK_DEFAULT(messageBox)
    OS_HOOK_DEFAULT(registerWindowMessage)
    OS_HOOK_DEFAULT(postMessage)
    OS_HOOK_DEFAULT(version)
#undef OS_HOOK_DEFAULT
    InstalledTables().push_back(table);
    g_hooks.store(&InstalledTables().back(), std::memory_order_release);
}

// ---- Windows directory -----------------------------------------------------

void OsSetWindowsDirectory(const char* path) {
    {
        std::lock_guard<std::mutex> lock(g_dirLock);
        g_dirOverride = path ? path : "";
    }
    OsHooks hooks = OsGetHooks();
    hooks.windowsDirectory = path ? OverriddenWindowsDirectory : OsPlatformWindowsDirectory;
    OsSetHooks(&hooks);
}

bool OsWindowsDirectoryOverridden() { return OsHooksInForce().windowsDirectory != OsPlatformWindowsDirectory; }

unsigned OsGetWindowsDirectory(char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return 0;
    return OsHooksInForce().windowsDirectory(buffer, size);
}

// ---- Files and libraries ---------------------------------------------------

std::FILE* OsOpenFile(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || path[0] == '\0') return nullptr;
    return OsHooksInForce().openFile(path, mode);
}

int OsCopyFile(const char* from, const char* to, bool failIfExists) {
    if (from == nullptr || to == nullptr || from[0] == '\0' || to[0] == '\0') return 0;
    return OsHooksInForce().copyFile(from, to, failIfExists);
}

OsLibrary* OsLoadLibrary(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    return OsHooksInForce().loadLibrary(fileName);
}

void* OsGetProcAddress(OsLibrary* library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return OsHooksInForce().getProcAddress(library, name);
}

void OsFreeLibrary(OsLibrary* library) {
    if (library != nullptr) OsHooksInForce().freeLibrary(library);
}

char* OsReadTextLine(char* buffer, int size, std::FILE* file) {
    // The Windows C runtime's text mode already turns CR LF into LF; files
    // opened in binary mode, and every file on POSIX, get the same here.
    if (std::fgets(buffer, size, file) == nullptr) return nullptr;
    size_t length = std::strlen(buffer);
    if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
        buffer[length - 2] = '\n';
        buffer[length - 1] = '\0';
    } else if (length >= 1 && buffer[length - 1] == '\r') {
        // The buffer filled up on a CR: a LF straight after it ends the same line.
        int next = std::fgetc(file);
        if (next == '\n') {
            buffer[length - 1] = '\n';
        } else if (next != EOF) {
            std::ungetc(next, file);
        }
    }
    return buffer;
}

// ---- Message boxes and window messages -------------------------------------

int OsMessageBox(const void* owner, const char* text, const char* caption, unsigned type) {
    OsMessageBoxCall call{owner, text ? text : "", caption ? caption : "", type};
    return OsHooksInForce().messageBox(call);
}

int OsRecordMessageBox(const OsMessageBoxCall& call) {
    std::lock_guard<std::mutex> lock(g_boxLock);
    g_boxRecord.push_back(call);
    return kOsIdOk;
}

void OsRecordMessageBoxes() {
    {
        std::lock_guard<std::mutex> lock(g_boxLock);
        g_boxRecord.clear();
    }
    OsHooks hooks = OsGetHooks();
    hooks.messageBox = OsRecordMessageBox;
    OsSetHooks(&hooks);
}

std::vector<OsMessageBoxCall> OsTakeRecordedMessageBoxes() {
    std::lock_guard<std::mutex> lock(g_boxLock);
    std::vector<OsMessageBoxCall> taken;
    taken.swap(g_boxRecord);
    return taken;
}

unsigned OsRegisterWindowMessage(const char* name) {
    if (name == nullptr || name[0] == '\0') return 0;
    return OsHooksInForce().registerWindowMessage(name);
}

int OsPostMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return OsHooksInForce().postMessage(window, message, wParam, lParam);
}

int OsRecordPostedMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> lock(g_postLock);
    g_postRecord.push_back(OsPostedMessage{window, message, wParam, lParam});
    return 1;
}

std::vector<OsPostedMessage> OsTakePostedMessages() {
    std::lock_guard<std::mutex> lock(g_postLock);
    std::vector<OsPostedMessage> taken;
    taken.swap(g_postRecord);
    return taken;
}

// ---- Time, memory, objects -------------------------------------------------

long long OsTimeSeconds() { return OsHooksInForce().timeSeconds(); }

void OsSleep(unsigned milliseconds) { OsHooksInForce().sleep(milliseconds); }

uint32_t OsTickCount() { return OsHooksInForce().tickCount(); }

unsigned OsRealWait(unsigned milliseconds) {
    if (milliseconds == kOsWaitForever) return milliseconds;
    unsigned real = OsHooksInForce().waitMilliseconds(milliseconds);
    return real == kOsWaitForever ? kOsWaitForever - 1 : real;
}

void* OsAllocate(size_t bytes) {
    if (bytes == 0) return nullptr;
    return OsHooksInForce().allocate(bytes);
}

void OsFree(void* block) { std::free(block); }

OsMutex* OsCreateMutex() { return OsHooksInForce().createMutex(); }

OsEvent* OsCreateEvent() { return OsHooksInForce().createEvent(); }

OsThread* OsStartThread(OsThreadMain main, void* argument, unsigned stackBytes) {
    if (main == nullptr) return nullptr;
    return OsHooksInForce().startThread(main, argument, stackBytes);
}

void OsExitProcess(int exitCode) {
    std::fflush(nullptr);
    std::exit(exitCode);
}
