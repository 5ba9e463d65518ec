// The OS layer on the Windows API.
#include "os/os.h"
#include "os/os_internal.h"

#include <windows.h>

#include <cstring>
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

std::FILE* OsOpenFile(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    return std::fopen(path, mode);
}

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

int OsCopyFile(const char* from, const char* to, bool failIfExists) {
    if (from == nullptr || to == nullptr || from[0] == '\0' || to[0] == '\0') return 0;
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
