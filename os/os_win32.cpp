// The OS layer on the Windows API.
#include "os/os.h"
#include "os/os_internal.h"

#include <windows.h>

#include <cstring>

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

std::FILE* OsOpenFile(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    return std::fopen(path, mode);
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
