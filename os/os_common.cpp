// Parts of the OS layer that are the same on every platform: the message box
// routing and recorder, and the Windows directory override.
#include "os/os.h"
#include "os/os_internal.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_boxLock;  // guards the handler and the record
OsMessageBoxHandler g_boxHandler = nullptr;
std::vector<OsMessageBoxCall> g_boxRecord;

std::mutex g_loaderLock;
OsLoader g_loader = {nullptr, nullptr, nullptr};  // all null: the platform's

OsLoader CurrentLoader() {
    std::lock_guard<std::mutex> lock(g_loaderLock);
    return g_loader.load ? g_loader : OsPlatformLoader();
}

std::mutex g_clockLock;
OsClock g_clock = {nullptr, nullptr};

std::mutex g_dirLock;
bool g_dirOverridden = false;
std::string g_dirOverride;

}  // namespace

OsLoader OsPlatformLoader() {
    return OsLoader{OsPlatformLoadLibrary, OsPlatformGetProcAddress, OsPlatformFreeLibrary};
}

void OsSetLoader(const OsLoader* loader) {
    std::lock_guard<std::mutex> lock(g_loaderLock);
    g_loader = loader ? *loader : OsLoader{nullptr, nullptr, nullptr};
}

OsLibrary* OsLoadLibrary(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    return CurrentLoader().load(fileName);
}

void* OsGetProcAddress(OsLibrary* library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return CurrentLoader().getProc(library, name);
}

void OsFreeLibrary(OsLibrary* library) {
    if (library != nullptr) CurrentLoader().release(library);
}

int OsMessageBox(const void* owner, const char* text, const char* caption, unsigned type) {
    OsMessageBoxCall call{owner, text ? text : "", caption ? caption : "", type};
    OsMessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_boxLock);
        handler = g_boxHandler;
    }
    // The box is shown outside the lock: it is modal and may take a long time.
    return handler ? handler(call) : OsPlatformMessageBox(call);
}

OsMessageBoxHandler OsSetMessageBoxHandler(OsMessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(g_boxLock);
    OsMessageBoxHandler previous = g_boxHandler;
    g_boxHandler = handler;
    return previous;
}

int OsRecordMessageBox(const OsMessageBoxCall& call) {
    std::lock_guard<std::mutex> lock(g_boxLock);
    g_boxRecord.push_back(call);
    return kOsIdOk;
}

void OsRecordMessageBoxes() {
    std::lock_guard<std::mutex> lock(g_boxLock);
    g_boxRecord.clear();
    g_boxHandler = OsRecordMessageBox;
}

std::vector<OsMessageBoxCall> OsTakeRecordedMessageBoxes() {
    std::lock_guard<std::mutex> lock(g_boxLock);
    std::vector<OsMessageBoxCall> taken;
    taken.swap(g_boxRecord);
    return taken;
}

void OsSetWindowsDirectory(const char* path) {
    std::lock_guard<std::mutex> lock(g_dirLock);
    g_dirOverridden = path != nullptr;
    g_dirOverride = path ? path : "";
}

bool OsWindowsDirectoryOverridden() {
    std::lock_guard<std::mutex> lock(g_dirLock);
    return g_dirOverridden;
}

unsigned OsGetWindowsDirectory(char* buffer, unsigned size) {
    std::string dir;
    bool overridden;
    {
        std::lock_guard<std::mutex> lock(g_dirLock);
        overridden = g_dirOverridden;
        dir = g_dirOverride;
    }
    if (!overridden) return OsPlatformWindowsDirectory(buffer, size);
    if (buffer == nullptr || size == 0) return 0;
    if (dir.size() + 1 > size) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<unsigned>(dir.size());
}

char* OsReadTextLine(char* buffer, int size, std::FILE* file) {
    // The Windows C runtime's text mode already turns CR LF into LF; files
    // opened in binary mode, and every file on POSIX, get the same here.
    if (std::fgets(buffer, size, file) == nullptr) return nullptr;
    size_t length = std::strlen(buffer);
    if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
        buffer[length - 2] = '\n';
        buffer[length - 1] = '\0';
    } else if (length >= 1 && buffer[length - 1] == '\r') {
        // The buffer filled up on a CR: a LF straight after it ends the same line.
        int next = std::fgetc(file);
        if (next == '\n') {
            buffer[length - 1] = '\n';
        } else if (next != EOF) {
            std::ungetc(next, file);
        }
    }
    return buffer;
}

void OsSetClock(const OsClock* clock) {
    std::lock_guard<std::mutex> lock(g_clockLock);
    g_clock = clock ? *clock : OsClock{nullptr, nullptr};
}

long long OsTimeSeconds() {
    OsClock clock;
    {
        std::lock_guard<std::mutex> lock(g_clockLock);
        clock = g_clock;
    }
    return clock.timeSeconds ? clock.timeSeconds() : static_cast<long long>(std::time(nullptr));
}

void OsSleep(unsigned milliseconds) {
    OsClock clock;
    {
        std::lock_guard<std::mutex> lock(g_clockLock);
        clock = g_clock;
    }
    if (clock.sleep) {
        clock.sleep(milliseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

void OsExitProcess(int exitCode) {
    std::fflush(nullptr);
    std::exit(exitCode);
}
