// The OS layer on POSIX, for the native test build. It behaves as the Windows
// side does where the deliverables can tell: Windows paths, file names without
// regard to case, text-mode line ends.
#include "os/os.h"
#include "os/os_internal.h"
#include "os/pe_version.h"

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

// The places a bare library file name is looked for, in order: the program's
// own directory, then the Windows directory. A name with a path is taken as
// it stands.
static std::vector<std::string> LibraryCandidates(const char* fileName) {
    std::vector<std::string> candidates;
    if (fileName[0] == '\0') return candidates;
    if (std::strchr(fileName, '/') || std::strchr(fileName, '\\')) {
        candidates.push_back(ResolvePath(fileName));
    } else {
        char windowsDir[1000];
        candidates.push_back(ResolvePath((ProgramDirectory() + "/" + fileName).c_str()));
        if (OsGetWindowsDirectory(windowsDir, sizeof windowsDir) > 0) {
            candidates.push_back(ResolvePath((std::string(windowsDir) + "/" + fileName).c_str()));
        }
    }
    std::vector<std::string> files;
    for (const std::string& candidate : candidates) {
        struct stat info;
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(candidate);
    }
    return files;
}

OsLibrary* OsPlatformLoadLibrary(const char* fileName) {
    for (const std::string& candidate : LibraryCandidates(fileName)) {
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

namespace {

// The opaque block of OsGetFileVersionInfo: a header, the raw UTF-16
// VS_VERSIONINFO block, then room for the 8-bit copies of its texts (each at
// half its offset in the raw block, so copies never overlap).
constexpr char kVersionMagic[4] = {'Q', 'V', 'E', 'R'};
constexpr size_t kVersionHeader = 8;
constexpr size_t kLargestImage = 64u << 20;

bool ReadVersionResource(const char* fileName, std::vector<uint8_t>* raw) {
    for (const std::string& path : LibraryCandidates(fileName)) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) continue;
        std::vector<uint8_t> image;
        uint8_t chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && image.size() < kLargestImage) {
            image.insert(image.end(), chunk, chunk + got);
        }
        std::fclose(file);
        return PeFindVersionResource(image.data(), image.size(), raw);
    }
    return false;
}

}  // namespace

unsigned OsGetFileVersionInfoSize(const char* fileName) {
    std::vector<uint8_t> raw;
    if (fileName == nullptr || !ReadVersionResource(fileName, &raw)) return 0;
    return static_cast<unsigned>(kVersionHeader + raw.size() * 2 + 2);
}

int OsGetFileVersionInfo(const char* fileName, unsigned size, void* block) {
    std::vector<uint8_t> raw;
    if (fileName == nullptr || block == nullptr || !ReadVersionResource(fileName, &raw)) return 0;
    if (size < kVersionHeader + raw.size() * 2 + 2) return 0;
    uint8_t* out = static_cast<uint8_t*>(block);
    std::memcpy(out, kVersionMagic, 4);
    uint32_t rawSize = static_cast<uint32_t>(raw.size());
    std::memcpy(out + 4, &rawSize, 4);
    std::memcpy(out + kVersionHeader, raw.data(), raw.size());
    return 1;
}

int OsVerQueryValue(void* block, const char* subBlock, void** value, unsigned* length) {
    if (block == nullptr || subBlock == nullptr || value == nullptr || length == nullptr) return 0;
    uint8_t* data = static_cast<uint8_t*>(block);
    if (std::memcmp(data, kVersionMagic, 4) != 0) return 0;
    uint32_t rawSize;
    std::memcpy(&rawSize, data + 4, 4);
    uint8_t* raw = data + kVersionHeader;
    size_t offset, bytes;
    bool isText;
    if (!PeQueryVersionValue(raw, rawSize, subBlock, &offset, &bytes, &isText)) return 0;
    if (!isText) {
        *value = raw + offset;
        *length = static_cast<unsigned>(bytes);
        return 1;
    }
    char* text = reinterpret_cast<char*>(raw + rawSize + offset / 2);
    size_t chars = bytes / 2;
    for (size_t i = 0; i < chars; ++i) {
        uint16_t c = static_cast<uint16_t>(raw[offset + 2 * i] | (raw[offset + 2 * i + 1] << 8));
        text[i] = c < 0x100 ? static_cast<char>(c) : '?';
    }
    text[chars] = '\0';
    *value = text;
    *length = static_cast<unsigned>(chars + 1);
    return 1;
}
