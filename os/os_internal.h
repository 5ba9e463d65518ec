// What each platform file supplies to os_common.cpp.
#pragma once

#include "os/os.h"

#include <cstdio>
#include <string>

// The platform's own message box (MessageBoxA; on POSIX the recorder).
int OsPlatformMessageBox(const OsMessageBoxCall& call);

// The platform's own Windows directory, with OsGetWindowsDirectory's contract.
unsigned OsPlatformWindowsDirectory(char* buffer, unsigned size);

// The platform's own loader operations.
OsLibrary* OsPlatformLoadLibrary(const char* fileName);
void* OsPlatformGetProcAddress(OsLibrary* library, const char* name);
void OsPlatformFreeLibrary(OsLibrary* library);

// Whether the Windows directory is replaced (OsSetWindowsDirectory).
bool OsWindowsDirectoryOverridden();

// Whether a file name has no directory part (no '\\', '/' or ':').
bool OsIsBareFileName(const char* fileName);

// The platform's profile reader with OsGetProfileString's contract; the
// default is given and the arguments are checked.
unsigned OsPlatformProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* buffer, unsigned size, const char* fileName);

// Looks `key` up in `section` of an open profile file as the platform's
// reader does; true with the value when found.
bool OsReadProfileFile(std::FILE* file, const char* section, const char* key, std::string& value);
// Copies a value cut to size - 1 characters, always terminated.
unsigned OsCopyProfileValue(const std::string& value, char* buffer, unsigned size);

// The platform's own version.
OsVersion OsPlatformVersion();
