#include "tests/support/transport_probe.h"

#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define PROBE_CALL __stdcall
#else
#include <dlfcn.h>
#include <unistd.h>
#include <climits>
#define PROBE_CALL
#endif

namespace {

using CallsFn = int(PROBE_CALL*)(char*, int);
using ClearFn = void(PROBE_CALL*)();

// The address of `symbol` in the loaded library, or nullptr.
void* LoadedSymbol(const std::string& fileName, const char* symbol) {
#ifdef _WIN32
    HMODULE module = GetModuleHandleA(fileName.c_str());
    return module ? reinterpret_cast<void*>(GetProcAddress(module, symbol)) : nullptr;
#else
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return nullptr;
    std::string dir(self, static_cast<size_t>(length));
    dir = dir.substr(0, dir.rfind('/'));
    void* module = ::dlopen((dir + "/" + fileName).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return nullptr;
    void* address = ::dlsym(module, symbol);
    ::dlclose(module);  // only the reference RTLD_NOLOAD added
    return address;
#endif
}

}  // namespace

bool TransportLoaded(const std::string& fileName) {
#ifdef _WIN32
    return GetModuleHandleA(fileName.c_str()) != nullptr;
#else
    return LoadedSymbol(fileName, "TestTransport_Calls") != nullptr ||
           LoadedSymbol(fileName, "InitCommLink") != nullptr;
#endif
}

std::string TransportCalls(const std::string& fileName) {
    CallsFn calls = reinterpret_cast<CallsFn>(LoadedSymbol(fileName, "TestTransport_Calls"));
    if (calls == nullptr) return "";
    std::vector<char> buffer(static_cast<size_t>(calls(nullptr, 0)) + 1);
    calls(buffer.data(), static_cast<int>(buffer.size()));
    return buffer.data();
}

void ClearTransportCalls(const std::string& fileName) {
    ClearFn clear = reinterpret_cast<ClearFn>(LoadedSymbol(fileName, "TestTransport_Clear"));
    if (clear) clear();
}

int CountCalls(const std::string& log, const std::string& prefix) {
    std::istringstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) ++count;
    }
    return count;
}
