// The OS layer on the Windows API.
#include "os/os.h"
#include "os/os_internal.h"
#include "os/os_sync.h"

#include <windows.h>
#include <process.h>

#include <cstring>
#include <new>
#include <string>

int OsPlatformMessageBox(const OsMessageBoxCall& call) {
    return MessageBoxA(static_cast<HWND>(const_cast<void*>(call.owner)), call.text.c_str(),
                       call.caption.c_str(), call.type);
}

unsigned OsPlatformWindowsDirectory(char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return 0;
    UINT length = GetWindowsDirectoryA(buffer, size);
    if (length == 0 || length >= size) {  // failed, or too small: the text was not stored
        buffer[0] = '\0';
        return 0;
    }
    return length;
}

std::FILE* OsPlatformOpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

int OsWriteText(std::FILE* file, const char* text) {
    if (file == nullptr || text == nullptr) return 0;
    // A stream opened with "w" is in text mode: the C runtime adds the CRs.
    return std::fputs(text, file) >= 0 ? 1 : 0;
}

std::vector<OsFoundFile> OsFindFiles(const char* pattern) {
    std::vector<OsFoundFile> found;
    if (pattern == nullptr || pattern[0] == '\0') return found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        found.push_back(OsFoundFile{data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return found;
}

int OsPlatformCopyFile(const char* from, const char* to, bool failIfExists) {
    return CopyFileA(from, to, failIfExists ? TRUE : FALSE) ? 1 : 0;
}

OsLibrary* OsPlatformLoadLibrary(const char* fileName) {
    return reinterpret_cast<OsLibrary*>(LoadLibraryA(fileName));
}

void* OsPlatformGetProcAddress(OsLibrary* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void OsPlatformFreeLibrary(OsLibrary* library) { FreeLibrary(reinterpret_cast<HMODULE>(library)); }

unsigned OsGetFileVersionInfoSize(const char* fileName) {
    DWORD ignored = 0;
    return GetFileVersionInfoSizeA(fileName, &ignored);
}

int OsGetFileVersionInfo(const char* fileName, unsigned size, void* block) {
    return GetFileVersionInfoA(fileName, 0, size, block) ? 1 : 0;
}

int OsVerQueryValue(void* block, const char* subBlock, void** value, unsigned* length) {
    UINT valueLength = 0;
    if (!VerQueryValueA(block, subBlock, value, &valueLength)) return 0;
    *length = valueLength;
    return 1;
}

unsigned OsPlatformProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                                 unsigned size, const char* fileName) {
    // A bare name is the platform's to find in the Windows directory, unless
    // a test has put another Windows directory in its place.
    std::string path = fileName;
    if (OsIsBareFileName(fileName) && OsWindowsDirectoryOverridden()) {
        char dir[MAX_PATH];
        if (OsGetWindowsDirectory(dir, sizeof dir) == 0) return OsCopyProfileValue(defaultValue, buffer, size);
        path = std::string(dir) + "\\" + fileName;
    }
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path.c_str());
}

OsVersion OsPlatformVersion() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return OsVersion{kOsPlatformNt, 0, 0};
    return OsVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
}

// ---- Time, threads and synchronisation ---------------------------------------

uint32_t OsPlatformTickCount() { return GetTickCount(); }

// Mutexes and events live in the process (os_sync.h): a slim reader/writer
// lock and a condition variable.
namespace {

struct SrwMonitor {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    void Lock() { AcquireSRWLockExclusive(&lock); }
    void Unlock() { ReleaseSRWLockExclusive(&lock); }
    void Wait(unsigned milliseconds) {
        SleepConditionVariableSRW(&changed, &lock, milliseconds == kOsWaitForever ? INFINITE : milliseconds, 0);
    }
    void Wake() { WakeConditionVariable(&changed); }
};

}  // namespace

struct OsMutex : ossync::TimedMutex<SrwMonitor> {};
struct OsEvent : ossync::AutoResetEvent<SrwMonitor> {};

OsMutex* OsPlatformCreateMutex() { return new (std::nothrow) OsMutex(); }

bool OsLockMutex(OsMutex* mutex, unsigned milliseconds) { return mutex != nullptr && mutex->Lock(milliseconds); }

void OsUnlockMutex(OsMutex* mutex) {
    if (mutex != nullptr) mutex->Unlock();
}

void OsDestroyMutex(OsMutex* mutex) { delete mutex; }

OsEvent* OsPlatformCreateEvent() { return new (std::nothrow) OsEvent(); }

void OsSetEvent(OsEvent* event) {
    if (event != nullptr) event->Set();
}

void OsResetEvent(OsEvent* event) {
    if (event != nullptr) event->Reset();
}

bool OsWaitEvent(OsEvent* event, unsigned milliseconds) { return event != nullptr && event->Wait(milliseconds); }

void OsDestroyEvent(OsEvent* event) { delete event; }

struct OsThread {
    HANDLE handle;
    unsigned id;
    OsThreadMain main;
    void* argument;
};

namespace {

unsigned __stdcall ThreadStart(void* record) {
    OsThread* thread = static_cast<OsThread*>(record);
    thread->main(thread->argument);
    return 0;
}

}  // namespace

OsThread* OsPlatformStartThread(OsThreadMain main, void* argument, unsigned stackBytes) {
    OsThread* thread = new (std::nothrow) OsThread();
    if (thread == nullptr) return nullptr;
    thread->main = main;
    thread->argument = argument;
    // The C runtime's own start, so that the thread may use the runtime.
    uintptr_t handle = _beginthreadex(nullptr, stackBytes, ThreadStart, thread, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                      &thread->id);
    if (handle == 0) {
        delete thread;
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return thread;
}

void OsJoinThread(OsThread* thread) {
    if (thread == nullptr) return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

bool OsIsCurrentThread(const OsThread* thread) { return thread != nullptr && thread->id == GetCurrentThreadId(); }

uint32_t OsCurrentThreadId() { return GetCurrentThreadId(); }

// ---- Window messages -----------------------------------------------------------

unsigned OsPlatformRegisterWindowMessage(const char* name) { return RegisterWindowMessageA(name); }

int OsPlatformPostMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageA(static_cast<HWND>(window), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam))
               ? 1
               : 0;
}
