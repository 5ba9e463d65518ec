// The OS layer on the Windows API.
#include "os/os.h"
#include "os/os_internal.h"

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

namespace {

DWORD WaitTime(unsigned milliseconds) {
    unsigned real = OsRealWait(milliseconds);
    return real == kOsWaitForever ? INFINITE : static_cast<DWORD>(real);
}

}  // namespace

// Mutexes, events and threads are the platform's handles.
OsMutex* OsPlatformCreateMutex() { return reinterpret_cast<OsMutex*>(CreateMutexA(nullptr, FALSE, nullptr)); }

bool OsLockMutex(OsMutex* mutex, unsigned milliseconds) {
    if (mutex == nullptr) return false;
    DWORD result = WaitForSingleObject(reinterpret_cast<HANDLE>(mutex), WaitTime(milliseconds));
    // An abandoned mutex is owned by the caller now; what it guarded is the
    // caller's to check, as after any other take.
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void OsUnlockMutex(OsMutex* mutex) {
    if (mutex != nullptr) ReleaseMutex(reinterpret_cast<HANDLE>(mutex));
}

void OsDestroyMutex(OsMutex* mutex) {
    if (mutex != nullptr) CloseHandle(reinterpret_cast<HANDLE>(mutex));
}

OsEvent* OsPlatformCreateEvent() { return reinterpret_cast<OsEvent*>(CreateEventA(nullptr, FALSE, FALSE, nullptr)); }

void OsSetEvent(OsEvent* event) {
    if (event != nullptr) SetEvent(reinterpret_cast<HANDLE>(event));
}

void OsResetEvent(OsEvent* event) {
    if (event != nullptr) ResetEvent(reinterpret_cast<HANDLE>(event));
}

bool OsWaitEvent(OsEvent* event, unsigned milliseconds) {
    if (event == nullptr) return false;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(event), WaitTime(milliseconds)) == WAIT_OBJECT_0;
}

void OsDestroyEvent(OsEvent* event) {
    if (event != nullptr) CloseHandle(reinterpret_cast<HANDLE>(event));
}

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
