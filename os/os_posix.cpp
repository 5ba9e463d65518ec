// The OS layer on POSIX, for the native test build. It behaves as the Windows
// side does where the deliverables can tell: Windows paths, file names without
// regard to case, text-mode line ends.
#include "os/os.h"
#include "os/os_internal.h"
#include "os/os_sync.h"
#include "os/pe_version.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

int OsPlatformMessageBox(const OsMessageBoxCall& call) {
    // No screen here: every box is recorded and answered OK.
    return OsRecordMessageBox(call);
}

unsigned OsPlatformWindowsDirectory(char* buffer, unsigned size) {
    // No Windows here. The environment's WINDIR stands for the platform's
    // directory, so that libraries loaded into a test program (each with an
    // OS layer of its own) find the same one as the program.
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    const char* dir = std::getenv("WINDIR");
    if (dir == nullptr || dir[0] == '\0') return 0;
    size_t length = std::strlen(dir);
    if (length + 1 > size) return 0;
    std::memcpy(buffer, dir, length + 1);
    return static_cast<unsigned>(length);
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

std::FILE* OsPlatformOpenFile(const char* path, const char* mode) {
    std::string resolved = ResolvePath(path);
    if (resolved.empty()) return nullptr;
    struct stat info;
    // fopen opens directories for reading on POSIX; Windows does not.
    if (::stat(resolved.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return nullptr;
    return std::fopen(resolved.c_str(), mode);
}

int OsWriteText(std::FILE* file, const char* text) {
    if (file == nullptr || text == nullptr) return 0;
    // As the Windows C runtime's text mode: each LF goes out as CR LF, even
    // one that already has a CR before it.
    const char* start = text;
    while (*start != '\0') {
        const char* feed = std::strchr(start, '\n');
        size_t length = feed ? static_cast<size_t>(feed - start) : std::strlen(start);
        if (length > 0 && std::fwrite(start, 1, length, file) != length) return 0;
        if (feed == nullptr) break;
        if (std::fwrite("\r\n", 1, 2, file) != 2) return 0;
        start = feed + 1;
    }
    return 1;
}

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `name` matches `pattern` ('*' any run, '?' one character) without
// regard to case. Iterative, with one remembered star: linear in practice and
// never worse than the product of the two lengths, whatever the pattern.
bool MatchesWildcard(const char* name, const char* pattern) {
    const char* star = nullptr;      // the last '*' passed
    const char* starName = nullptr;  // where in the name that star's run ends now
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            starName = name;
        } else if (*pattern != '\0' && (*pattern == '?' || LowerAscii(*pattern) == LowerAscii(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;  // let the last star take one more character
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

// Writes all of `length` bytes; false on an error.
bool WriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t wrote = ::write(fd, bytes, length);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

bool CopyBytes(int in, int out) {
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!WriteAll(out, chunk, static_cast<size_t>(got))) return false;
    }
}

}  // namespace

std::vector<OsFoundFile> OsFindFiles(const char* pattern) {
    std::vector<OsFoundFile> found;
    if (pattern == nullptr || pattern[0] == '\0') return found;
    std::string text(pattern);
    size_t separator = text.find_last_of("\\/");
    std::string mask = separator == std::string::npos ? text : text.substr(separator + 1);
    if (mask.empty()) return found;  // "dir\\" names no entry
    std::string dir;
    if (separator == std::string::npos) {
        dir = ".";
    } else if (separator == 0) {
        dir = "/";
    } else {
        dir = ResolvePath(text.substr(0, separator).c_str());
    }
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) return found;
    while (struct dirent* entry = ::readdir(stream)) {
        if (!MatchesWildcard(entry->d_name, mask.c_str())) continue;
        struct stat info;
        bool isDirectory = ::stat(Join(dir, entry->d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        found.push_back(OsFoundFile{entry->d_name, isDirectory});
    }
    ::closedir(stream);
    return found;
}

int OsPlatformCopyFile(const char* from, const char* to, bool failIfExists) {
    std::string source = ResolvePath(from);
    std::string target = ResolvePath(to);
    // O_NONBLOCK: a FIFO in either place must fail the copy, not hang it.
    int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return 0;
    struct stat sourceInfo;
    if (::fstat(in, &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode)) {
        ::close(in);
        return 0;
    }
    struct stat targetInfo;
    if (::stat(target.c_str(), &targetInfo) == 0 && targetInfo.st_dev == sourceInfo.st_dev &&
        targetInfo.st_ino == sourceInfo.st_ino) {
        ::close(in);  // a copy onto itself would empty the file before reading it
        return 0;
    }
    bool created = true;
    int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0 && errno == EEXIST && !failIfExists) {
        created = false;
        out = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
        if (out >= 0 && (::fstat(out, &targetInfo) != 0 || !S_ISREG(targetInfo.st_mode))) {
            ::close(out);
            out = -1;
        }
    }
    if (out < 0) {
        ::close(in);
        return 0;
    }
    bool copied = CopyBytes(in, out);
    if (::close(out) != 0) copied = false;
    ::close(in);
    if (!copied && created) ::unlink(target.c_str());  // no partial copy of our own making stays
    return copied ? 1 : 0;
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

unsigned OsPlatformProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                                 unsigned size, const char* fileName) {
    std::string path = fileName;
    if (OsIsBareFileName(fileName)) {
        char dir[4096];
        if (OsGetWindowsDirectory(dir, sizeof dir) == 0) return OsCopyProfileValue(defaultValue, buffer, size);
        path = std::string(dir) + "\\" + fileName;
    }
    std::FILE* file = OsOpenFile(path.c_str(), "rb");
    std::string value;
    bool found = file != nullptr && OsReadProfileFile(file, section, key, value);
    if (file) std::fclose(file);
    return OsCopyProfileValue(found ? value : std::string(defaultValue), buffer, size);
}

OsVersion OsPlatformVersion() {
    // No Windows here: the native build stands for an NT-family system.
    return OsVersion{kOsPlatformNt, 6, 1};
}

// ---- Time, threads and synchronisation ---------------------------------------

uint32_t OsPlatformTickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Mutexes and events (os_sync.h) on a plain mutex and a condition variable.
namespace {

struct StdMonitor {
    std::mutex lock;
    std::condition_variable_any changed;
    void Lock() { lock.lock(); }
    void Unlock() { lock.unlock(); }
    void Wait(unsigned milliseconds) {
        if (milliseconds == kOsWaitForever) {
            changed.wait(lock);
        } else {
            changed.wait_for(lock, std::chrono::milliseconds(milliseconds));
        }
    }
    void Wake() { changed.notify_one(); }
};

}  // namespace

struct OsMutex : ossync::TimedMutex<StdMonitor> {};
struct OsEvent : ossync::AutoResetEvent<StdMonitor> {};

struct OsThread {
    pthread_t thread;
    OsThreadMain main;
    void* argument;
};

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

namespace {

void* ThreadStart(void* record) {
    OsThread* thread = static_cast<OsThread*>(record);
    thread->main(thread->argument);
    return nullptr;
}

}  // namespace

OsThread* OsPlatformStartThread(OsThreadMain main, void* argument, unsigned stackBytes) {
    // Stack sizes are Windows figures; sanitizer-instrumented code needs far
    // more, so the POSIX build never goes below 1 MiB.
    constexpr size_t kLeastStack = 1u << 20;
    OsThread* thread = new (std::nothrow) OsThread();
    if (thread == nullptr) return nullptr;
    thread->main = main;
    thread->argument = argument;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete thread;
        return nullptr;
    }
    size_t stack = stackBytes > kLeastStack ? stackBytes : kLeastStack;
    pthread_attr_setstacksize(&attributes, stack);
    int started = pthread_create(&thread->thread, &attributes, ThreadStart, thread);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void OsJoinThread(OsThread* thread) {
    if (thread == nullptr) return;
    pthread_join(thread->thread, nullptr);
    delete thread;
}

bool OsIsCurrentThread(const OsThread* thread) {
    return thread != nullptr && pthread_equal(thread->thread, pthread_self()) != 0;
}

uint32_t OsCurrentThreadId() {
    static std::atomic<uint32_t> next{1};
    thread_local uint32_t id = next.fetch_add(1);
    return id;
}

// ---- Window messages -----------------------------------------------------------

unsigned OsPlatformRegisterWindowMessage(const char* name) {
    // As the platform's atom table: one id per name without regard to case,
    // from 0xC000 up.
    static std::mutex lock;
    static std::map<std::string, unsigned> table;  // goes with the module that holds it
    std::map<std::string, unsigned>* ids = &table;
    std::string key(name);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::lock_guard<std::mutex> guard(lock);
    auto found = ids->find(key);
    if (found != ids->end()) return found->second;
    if (ids->size() >= 0x4000) return 0;
    unsigned id = 0xC000u + static_cast<unsigned>(ids->size());
    (*ids)[key] = id;
    return id;
}

int OsPlatformPostMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
    // No windows here: the message is kept for the tests.
    return OsRecordPostedMessage(window, message, wParam, lParam);
}
