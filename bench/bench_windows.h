// The Windows directory of a benchmark: under Wine the prefix's own,
// natively a fresh temporary directory that WINDIR names for every library
// of the process (set before any library that reads it is loaded). Writes
// one file into it; returns the file's path, or "" on failure.
#pragma once

#include "os/os.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

inline std::string BenchWindowsFile(const char* name, const char* text) {
    std::string dir;
#ifdef _WIN32
    char windows[260];
    if (OsGetWindowsDirectory(windows, sizeof windows) == 0) return "";
    dir = windows;
#else
    char pattern[] = "/tmp/bench-windows-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "";
    dir = pattern;
    setenv("WINDIR", pattern, 1);
#endif
    std::string path = dir + "\\" + name;
    std::FILE* file = OsOpenFile(path.c_str(), "w");
    if (file == nullptr) return "";
    OsWriteText(file, text);
    std::fclose(file);
    return path;
}

// Removes the file and, natively, the directory made for it.
inline void RemoveBenchWindowsFile(const std::string& path) {
    std::remove(path.c_str());
#ifndef _WIN32
    std::string resolved = path;
    for (char& c : resolved) c = c == '\\' ? '/' : c;
    rmdir(resolved.substr(0, resolved.rfind('/')).c_str());
#endif
}
