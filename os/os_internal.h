// What each platform file supplies to os_common.cpp: the platform's own
// entries of the hook table, and the helpers shared by both sides.
#pragma once

#include "os/os.h"

#include <cstdio>
#include <string>

unsigned OsPlatformWindowsDirectory(char* buffer, unsigned size);
std::FILE* OsPlatformOpenFile(const char* path, const char* mode);
int OsPlatformCopyFile(const char* from, const char* to, bool failIfExists);
OsLibrary* OsPlatformLoadLibrary(const char* fileName);
void* OsPlatformGetProcAddress(OsLibrary* library, const char* name);
void OsPlatformFreeLibrary(OsLibrary* library);
uint32_t OsPlatformTickCount();
OsMutex* OsPlatformCreateMutex();
OsEvent* OsPlatformCreateEvent();
OsThread* OsPlatformStartThread(OsThreadMain main, void* argument, unsigned stackBytes);
int OsPlatformMessageBox(const OsMessageBoxCall& call);
unsigned OsPlatformRegisterWindowMessage(const char* name);
int OsPlatformPostMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);
OsVersion OsPlatformVersion();

// The table in force (never null).
const OsHooks& OsHooksInForce();

// Whether a test has put another Windows directory in place of the platform's.
bool OsWindowsDirectoryOverridden();

// Whether a file name has no directory part (no '\\', '/' or ':').
bool OsIsBareFileName(const char* fileName);

// The real time-out of a timed wait (the waitMilliseconds hook; the "no limit"
// value is passed through).
unsigned OsRealWait(unsigned milliseconds);

// The platform's profile reader with OsGetProfileString's contract; the
// default is given and the arguments are checked.
unsigned OsPlatformProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* buffer, unsigned size, const char* fileName);

// Looks `key` up in `section` of an open profile file as the platform's
// reader does; true with the value when found.
bool OsReadProfileFile(std::FILE* file, const char* section, const char* key, std::string& value);
// Copies a value cut to size - 1 characters, always terminated.
unsigned OsCopyProfileValue(const std::string& value, char* buffer, unsigned size);
