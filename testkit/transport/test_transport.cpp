// A test transport library: what the multiplexer expects of a transport,
// counting every call, so that tests can see what reached it. Built in
// several variants from this one file; each variant leaves some entries out
// of its exports (a .def file in the win32 build, a version script natively).
//
// Behaviour is taken from the LinkParams block of an open:
//   "OPEN=n" in paramText     the open entry answers n (no adapter id given)
//   "RESTORE=n" in paramText  the restore entry of that adapter answers n
// Otherwise opens give adapter ids 1, 2, ... into handle bits 0-8.
// CheckDataLink writes "TEST TRANSPORT,1.0,3" to a non-null text address;
// RequestTimerValue writes 1234; every other forwarded entry answers 0.
// TestTransport_Calls copies out the log, one line per call.
#include "mux/zmx_entries.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex g_lock;
std::string g_log;
uint16_t g_nextId = 1;
std::map<uint16_t, int32_t> g_restoreResults;

void Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_log += line;
    g_log += '\n';
}

int32_t Scripted(const char* text, const char* key, int32_t fallback) {
    const char* found = std::strstr(text, key);
    return found ? static_cast<int32_t>(std::strtol(found + std::strlen(key), nullptr, 10)) : fallback;
}

int32_t Open(const char* entry, uint16_t* handle, LinkParams* params) {
    char paramText[sizeof params->paramText + 1] = {};
    std::memcpy(paramText, params->paramText, sizeof params->paramText);
    char modem[sizeof params->modemText + 1] = {};
    std::memcpy(modem, params->modemText, sizeof params->modemText);
    char line[400];
    std::snprintf(line, sizeof line, "%s adapter=%d port=%u baud=%u option=%u instance=%u text=%s modem=%s", entry,
                  params->adapterNumber, params->port, params->baudCode, params->optionFlag,
                  params->port | (params->baudCode << 8), paramText, modem);
    Log(line);
    int32_t result = Scripted(paramText, "OPEN=", 0);
    if (result != 0) return result;
    std::lock_guard<std::mutex> lock(g_lock);
    uint16_t id = g_nextId;
    g_nextId = static_cast<uint16_t>(g_nextId % 0x1FF + 1);
    *handle = static_cast<uint16_t>((*handle & ~0x01FFu) | id);
    g_restoreResults[id] = Scripted(paramText, "RESTORE=", 0);
    return 0;
}

int32_t Restore(const char* entry, uint16_t id) {
    Log(std::string(entry) + " id=" + std::to_string(id));
    std::lock_guard<std::mutex> lock(g_lock);
    auto found = g_restoreResults.find(id);
    return found == g_restoreResults.end() ? 0 : found->second;
}

std::string Args(uint16_t handle) { return " id=" + std::to_string(handle); }
std::string Args(uint16_t handle, ZmxWord value) { return Args(handle) + " w=" + std::to_string(value); }
std::string Args(uint16_t handle, ZmxWord value, uint8_t flags) {
    return Args(handle, value) + " b=" + std::to_string(flags);
}
std::string Args(uint16_t handle, uint8_t value) { return Args(handle) + " b=" + std::to_string(value); }
std::string Args(uint16_t handle, uint8_t value, ZmxWord word) {
    return Args(handle, value) + " w=" + std::to_string(word);
}
std::string Args(uint16_t handle, ZmxWord value, uint16_t first, uint16_t second) {
    return Args(handle, value) + " s=" + std::to_string(first) + "," + std::to_string(second);
}

int32_t Answer(const char* name, ZmxWord value) {
    if (std::strcmp(name, "CheckDataLink") == 0 && value != 0) {
        std::strcpy(reinterpret_cast<char*>(value), "TEST TRANSPORT,1.0,3");
    } else if (std::strcmp(name, "RequestTimerValue") == 0 && value != 0) {
        uint32_t timer = 1234;
        std::memcpy(reinterpret_cast<void*>(value), &timer, sizeof timer);
    }
    return 0;
}

}  // namespace

#define TT_OPEN(name) \
    HV_EXPORT int32_t HV_CALL name(uint16_t* handle, LinkParams* params) { return Open(#name, handle, params); }
#define TT_RESTORE(name) \
    HV_EXPORT int32_t HV_CALL name(uint16_t id) { return Restore(#name, id); }
TT_OPEN(InitCommLink)
TT_OPEN(InitPCCard)
TT_OPEN(InitTCP_IP)
TT_OPEN(InitTCP_IPListen)
TT_OPEN(InitUSBLink)
TT_RESTORE(RestoreCommLink)
TT_RESTORE(RestorePCCard)
TT_RESTORE(RestoreTCP_IP)
TT_RESTORE(RestoreUSBLink)

#define TT_WORD_W0 0
#define TT_WORD_W1 value
#define TT_WORD_WB value
#define TT_WORD_B1 0
#define TT_WORD_BW word
#define TT_WORD_WSS value
#define TT_FORWARDED(name, shape, serialN)                      \
    HV_EXPORT int32_t HV_CALL name(ZMX_PARAMS_##shape) {        \
        Log(std::string(#name) + Args(handle ZMX_ARGS_##shape)); \
        return Answer(#name, TT_WORD_##shape);                  \
    }
ZMX_FORWARDED_OPERATIONS(TT_FORWARDED)

HV_EXPORT int HV_CALL TestTransport_Calls(char* buffer, int size) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (buffer == nullptr || size <= 0) return static_cast<int>(g_log.size());
    size_t length = g_log.size() < static_cast<size_t>(size - 1) ? g_log.size() : static_cast<size_t>(size - 1);
    std::memcpy(buffer, g_log.data(), length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

HV_EXPORT void HV_CALL TestTransport_Clear() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_log.clear();
}
