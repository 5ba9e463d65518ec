// What each platform file supplies to os_common.cpp.
#pragma once

#include "os/os.h"

// The platform's own message box (MessageBoxA; on POSIX the recorder).
int OsPlatformMessageBox(const OsMessageBoxCall& call);

// The platform's own Windows directory, with OsGetWindowsDirectory's contract.
unsigned OsPlatformWindowsDirectory(char* buffer, unsigned size);

// The platform's own loader operations.
OsLibrary* OsPlatformLoadLibrary(const char* fileName);
void* OsPlatformGetProcAddress(OsLibrary* library, const char* name);
void OsPlatformFreeLibrary(OsLibrary* library);
