// The OS layer on POSIX, for the native test build. It behaves as the Windows
// side does where the deliverables can tell: Windows paths, file names without
// regard to case, text-mode line ends.
#include "os/os.h"
#include "os/os_internal.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

int OsPlatformMessageBox(const OsMessageBoxCall& call) {
    // No screen here: every box is recorded and answered OK.
    return OsRecordMessageBox(call);
}

unsigned OsPlatformWindowsDirectory(char* buffer, unsigned size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
}

namespace {

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

bool Exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Finds `name` in the directory `dir` ("" for the current one) without regard
// to case; returns the name as stored, or `name` itself when nothing matches.
std::string MatchInDirectory(const std::string& dir, const std::string& name) {
    if (name == "." || name == "..") return name;
    if (Exists(Join(dir, name))) return name;
    DIR* stream = ::opendir(dir.empty() ? "." : dir.c_str());
    if (stream == nullptr) return name;
    std::string found = name;
    while (struct dirent* entry = ::readdir(stream)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(stream);
    return found;
}

// Windows path -> POSIX path: backslashes become slashes and each component is
// matched without regard to case.
std::string ResolvePath(const char* path) {
    std::string slashed(path);
    for (char& c : slashed) {
        if (c == '\\') c = '/';
    }
    std::string resolved = slashed[0] == '/' ? "/" : "";
    size_t start = 0;
    while (start < slashed.size()) {
        size_t end = slashed.find('/', start);
        if (end == std::string::npos) end = slashed.size();
        if (end > start) resolved = Join(resolved, MatchInDirectory(resolved, slashed.substr(start, end - start)));
        start = end + 1;
    }
    return resolved;
}

}  // namespace

std::FILE* OsOpenFile(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr || path[0] == '\0') return nullptr;
    std::string resolved = ResolvePath(path);
    if (resolved.empty()) return nullptr;
    struct stat info;
    // fopen opens directories for reading on POSIX; Windows does not.
    if (::stat(resolved.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return nullptr;
    return std::fopen(resolved.c_str(), mode);
}

namespace {

std::string ProgramDirectory() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = '\0';
    std::string text(path);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace

OsLibrary* OsPlatformLoadLibrary(const char* fileName) {
    if (fileName[0] == '\0') return nullptr;
    std::vector<std::string> candidates;
    if (std::strchr(fileName, '/') || std::strchr(fileName, '\\')) {
        candidates.push_back(ResolvePath(fileName));
    } else {
        char windowsDir[1000];
        candidates.push_back(ResolvePath((ProgramDirectory() + "/" + fileName).c_str()));
        if (OsGetWindowsDirectory(windowsDir, sizeof windowsDir) > 0) {
            candidates.push_back(ResolvePath((std::string(windowsDir) + "/" + fileName).c_str()));
        }
    }
    for (const std::string& candidate : candidates) {
        struct stat info;
        if (::stat(candidate.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (void* handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return static_cast<OsLibrary*>(handle);
        }
    }
    return nullptr;
}

void* OsPlatformGetProcAddress(OsLibrary* library, const char* name) {
    std::string symbol(name);
    for (char& c : symbol) {
        if (c == '@') c = '$';
    }
    return ::dlsym(library, symbol.c_str());
}

void OsPlatformFreeLibrary(OsLibrary* library) { ::dlclose(library); }
