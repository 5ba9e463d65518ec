#include "tests/support/counting_loader.h"

#include <algorithm>
#include <mutex>

namespace {

std::mutex g_lock;
int g_loads = 0;
int g_releases = 0;
std::vector<std::string> g_lookups;

OsLibrary* Load(const char* fileName) {
    OsLibrary* library = OsPlatformHooks().loadLibrary(fileName);
    std::lock_guard<std::mutex> lock(g_lock);
    if (library) ++g_loads;
    return library;
}

void* GetProc(OsLibrary* library, const char* name) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_lookups.push_back(name);
    }
    return OsPlatformHooks().getProcAddress(library, name);
}

void Release(OsLibrary* library) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_releases;
    }
    OsPlatformHooks().freeLibrary(library);
}

}  // namespace

CountingLoader::CountingLoader() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_loads = g_releases = 0;
        g_lookups.clear();
    }
    hooks_.table().loadLibrary = Load;
    hooks_.table().getProcAddress = GetProc;
    hooks_.table().freeLibrary = Release;
    hooks_.Apply();
}

CountingLoader::~CountingLoader() = default;

int CountingLoader::loads() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_loads;
}

int CountingLoader::releases() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_releases;
}

std::vector<std::string> CountingLoader::lookups() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_lookups;
}

bool CountingLoader::LookedUp(const std::string& name) const {
    std::vector<std::string> names = lookups();
    return std::find(names.begin(), names.end(), name) != names.end();
}
