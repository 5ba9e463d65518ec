// A test vendor RP1210 library: what the checker expects of any vendor's
// library, with scripted behaviour and the exports chosen when it is built
// (plain names, decorated names, or both; some entry points left out), so
// that tests can meet every kind of library the checker must cope with.
//
// Every variant is built from this one file; what it exports is chosen by the
// build: a .def file in the win32 build, a linker version script in the POSIX
// build, both made from the same list. On POSIX the decorated names are
// symbols with '$' in place of '@', which the OS layer's loader looks up.
//
// Behaviour is set with TestVendor_Script, a list of "key=value" items
// separated by ';' (every key optional):
//   connect=N  disconnect=N  claim=N  filters=N   results of those calls
//   version=ABCD                                  RP1210_ReadVersion's four characters
//   detailed=API,DLL,FW                           RP1210_ReadDetailedVersion's texts
//   errors=CODE:TEXT|CODE:TEXT                    RP1210_GetErrorMsg's descriptions
//   reads=ITEM ITEM ...                           what successive reads return, then 0:
//       0 | -CODE | HEXBYTES (a message, timestamp first) | big:N (N bytes of
//       pattern claimed, the buffer filled as far as it goes)
//   capture=PATH                                  replay a candump log as J1939 messages at
//                                                 its recorded pace, from the connect on
// A library that nobody scripts by call (one that a program under test loads
// in its own process) reads its script from the file of its own name with
// the extension .SCRIPT, beside it, at its first RP1210 call.
// TestVendor_Calls copies out the log of calls (one line each; reads counted).
#include "os/abi.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#define TV_DECORATED_EXPORT(ret, decorated, name, params, args)
#else
#include <dlfcn.h>
// A second symbol under the decorated name, calling the plain one.
#define TV_DECORATED_EXPORT(ret, decorated, name, params, args)                        \
    extern "C" __attribute__((visibility("default"))) ret Decorated_##name params     \
        __asm__(decorated);                                                            \
    ret Decorated_##name params { return name args; }
#endif

namespace {

struct Frame {
    double seconds;  // from the first frame
    uint32_t id;
    std::vector<uint8_t> data;
};

struct Script {
    int16_t connect = 1;
    int16_t disconnect = 0;
    int16_t claim = 0;
    int16_t filters = 0;
    std::string version = "1020";
    std::string detailed[3] = {"2.0", "1.0", "0.1"};
    std::vector<std::pair<int, std::string>> errors;
    std::vector<std::string> reads;
    size_t nextRead = 0;
    std::vector<Frame> capture;
    size_t nextFrame = 0;
    std::chrono::steady_clock::time_point connectedAt;
    std::string calls;
    long readCount = 0;
};

std::mutex g_lock;
Script g_script;
bool g_scripted = false;  // by TestVendor_Script or from the script file

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

// "(1708107535.406793) can1 18FF1080#000000FFFFFFFD00" lines.
std::vector<Frame> ReadCapture(const std::string& path) {
    std::vector<Frame> frames;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return frames;
    char line[512];
    double first = -1;
    while (std::fgets(line, sizeof line, file)) {
        double seconds;
        char iface[32], frame[256];
        if (std::sscanf(line, " (%lf) %31s %255s", &seconds, iface, frame) != 3) continue;
        const char* hash = std::strchr(frame, '#');
        if (hash == nullptr) continue;
        if (first < 0) first = seconds;
        frames.push_back(Frame{seconds - first, static_cast<uint32_t>(std::strtoul(frame, nullptr, 16)),
                               Hex(hash + 1)});
    }
    std::fclose(file);
    return frames;
}

void Log(const std::string& line) {
    if (g_script.calls.size() < 100000) g_script.calls += line + "\n";
}

void PutTimestamp(char* buffer, uint32_t stamp) {
    buffer[0] = static_cast<char>(stamp >> 24);
    buffer[1] = static_cast<char>(stamp >> 16);
    buffer[2] = static_cast<char>(stamp >> 8);
    buffer[3] = static_cast<char>(stamp);
}

// A J1939 message as RP1210A reads it: timestamp, PGN (3 bytes, least
// significant first), priority, source, destination, data.
int16_t CaptureRead(char* buffer, int16_t size) {
    Script& s = g_script;
    if (s.capture.empty()) return 0;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.connectedAt).count();
    double loops = static_cast<double>(s.nextFrame / s.capture.size()) * (s.capture.back().seconds + 0.01);
    const Frame& frame = s.capture[s.nextFrame % s.capture.size()];
    if (frame.seconds + loops > elapsed) return 0;
    ++s.nextFrame;
    uint32_t pgn = (frame.id >> 8) & 0x3FFFF;
    uint8_t destination = 0xFF;
    if (((pgn >> 8) & 0xFF) < 240) {  // PDU1: the destination is in the PGN's low byte
        destination = static_cast<uint8_t>(pgn & 0xFF);
        pgn &= 0x3FF00;
    }
    int16_t count = static_cast<int16_t>(10 + frame.data.size());
    if (count > size) return 0;
    PutTimestamp(buffer, static_cast<uint32_t>((frame.seconds + loops) * 1000000.0));
    buffer[4] = static_cast<char>(pgn);
    buffer[5] = static_cast<char>(pgn >> 8);
    buffer[6] = static_cast<char>(pgn >> 16);
    buffer[7] = static_cast<char>((frame.id >> 26) & 7);
    buffer[8] = static_cast<char>(frame.id & 0xFF);
    buffer[9] = static_cast<char>(destination);
    std::memcpy(buffer + 10, frame.data.data(), frame.data.size());
    return count;
}

}  // namespace

namespace {

void ApplyScript_locked(const char* text) {
    g_script = Script();
    g_scripted = true;
    for (const std::string& item : Split(text ? text : "", ';')) {
        size_t equals = item.find('=');
        if (equals == std::string::npos) continue;
        std::string key = item.substr(0, equals), value = item.substr(equals + 1);
        if (key == "connect") g_script.connect = static_cast<int16_t>(std::atoi(value.c_str()));
        if (key == "disconnect") g_script.disconnect = static_cast<int16_t>(std::atoi(value.c_str()));
        if (key == "claim") g_script.claim = static_cast<int16_t>(std::atoi(value.c_str()));
        if (key == "filters") g_script.filters = static_cast<int16_t>(std::atoi(value.c_str()));
        if (key == "version") g_script.version = (value + "????").substr(0, 4);
        if (key == "detailed") {
            std::vector<std::string> texts = Split(value, ',');
            for (size_t i = 0; i < 3 && i < texts.size(); ++i) g_script.detailed[i] = texts[i];
        }
        if (key == "errors") {
            for (const std::string& pair : Split(value, '|')) {
                size_t colon = pair.find(':');
                if (colon != std::string::npos) {
                    g_script.errors.emplace_back(std::atoi(pair.substr(0, colon).c_str()), pair.substr(colon + 1));
                }
            }
        }
        if (key == "reads") {
            for (const std::string& read : Split(value, ' ')) {
                if (!read.empty()) g_script.reads.push_back(read);
            }
        }
        if (key == "capture") g_script.capture = ReadCapture(value);
    }
}

// This library's own file name.
std::string OwnPath() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&OwnPath), &self)) {
        return std::string();
    }
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OwnPath), &info) == 0 || info.dli_fname == nullptr) return std::string();
    return info.dli_fname;
#endif
}

// Reads NAME.SCRIPT beside the library once, unless a script was given by call.
void LoadScriptFile_locked() {
    static bool tried = false;
    if (g_scripted || tried) return;
    tried = true;
    std::string path = OwnPath();
    size_t dot = path.find_last_of('.');
    size_t slash = path.find_last_of("/\\");
    if (path.empty() || dot == std::string::npos || (slash != std::string::npos && dot < slash)) return;
    std::FILE* file = std::fopen((path.substr(0, dot) + ".SCRIPT").c_str(), "r");
    if (file == nullptr) return;
    std::string text;
    char chunk[512];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() < 65536) text.append(chunk, got);
    std::fclose(file);
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ';';  // one item per line, or ';' between items
    }
    ApplyScript_locked(text.c_str());
}

}  // namespace

HV_EXPORT void TestVendor_Script(const char* text) {
    std::lock_guard<std::mutex> lock(g_lock);
    ApplyScript_locked(text);
}

HV_EXPORT void TestVendor_Calls(char* out, int size) {
    std::lock_guard<std::mutex> lock(g_lock);
    std::string text = g_script.calls + "reads=" + std::to_string(g_script.readCount) + "\n";
    if (size <= 0) return;
    std::strncpy(out, text.c_str(), static_cast<size_t>(size - 1));
    out[size - 1] = '\0';
}

HV_EXPORT int16_t HV_CALL RP1210_ClientConnect(void*, int16_t device, const char* protocol, int32_t tx, int32_t rx,
                                              int16_t packetize) {
    std::lock_guard<std::mutex> lock(g_lock);
    LoadScriptFile_locked();
    Log("ClientConnect(" + std::to_string(device) + "," + (protocol ? protocol : "(null)") + "," +
        std::to_string(tx) + "," + std::to_string(rx) + "," + std::to_string(packetize) + ")");
    g_script.connectedAt = std::chrono::steady_clock::now();
    return g_script.connect;
}
HV_EXPORT int16_t HV_CALL RP1210_ClientDisconnect(int16_t client) {
    std::lock_guard<std::mutex> lock(g_lock);
    Log("ClientDisconnect(" + std::to_string(client) + ")");
    return g_script.disconnect;
}
HV_EXPORT int16_t HV_CALL RP1210_ReadMessage(int16_t, char* buffer, int16_t size, int16_t block) {
    std::lock_guard<std::mutex> lock(g_lock);
    Script& s = g_script;
    ++s.readCount;
    if (block != 0) Log("ReadMessage blocking");
    if (!s.capture.empty()) return CaptureRead(buffer, size);
    if (s.nextRead >= s.reads.size()) return 0;
    const std::string& item = s.reads[s.nextRead++];
    if (item == "0") return 0;
    if (item[0] == '-') return static_cast<int16_t>(std::atoi(item.c_str()));
    if (item.compare(0, 4, "big:") == 0) {
        int claimed = std::atoi(item.c_str() + 4);
        for (int i = 0; i < size && i < claimed; ++i) buffer[i] = static_cast<char>(i & 0xFF);
        return static_cast<int16_t>(claimed);
    }
    std::vector<uint8_t> bytes = Hex(item);
    if (static_cast<int>(bytes.size()) > size) return 0;
    std::memcpy(buffer, bytes.data(), bytes.size());
    return static_cast<int16_t>(bytes.size());
}
HV_EXPORT int16_t HV_CALL RP1210_SendMessage(int16_t, char*, int16_t, int16_t, int16_t) { return 0; }
HV_EXPORT int16_t HV_CALL RP1210_SendCommand(int16_t command, int16_t client, char* buffer, int16_t size) {
    std::lock_guard<std::mutex> lock(g_lock);
    std::string bytes;
    for (int i = 0; buffer && i < size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(buffer[i]));
        bytes += hex;
    }
    Log("SendCommand(" + std::to_string(command) + "," + std::to_string(client) + "," + (buffer ? bytes : "null") +
        "," + std::to_string(size) + ")");
    if (command == 19) return g_script.claim;
    if (command == 3) return g_script.filters;
    return 0;
}
HV_EXPORT void HV_CALL RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor) {
    std::lock_guard<std::mutex> lock(g_lock);
    LoadScriptFile_locked();
    *dllMajor = g_script.version[0];
    *dllMinor = g_script.version[1];
    *apiMajor = g_script.version[2];
    *apiMinor = g_script.version[3];
}
HV_EXPORT int16_t HV_CALL RP1210_ReadDetailedVersion(int16_t client, char* api, char* dll, char* firmware) {
    std::lock_guard<std::mutex> lock(g_lock);
    Log("ReadDetailedVersion(" + std::to_string(client) + ")");
    char* outputs[3] = {api, dll, firmware};
    for (int i = 0; i < 3; ++i) {
        std::strncpy(outputs[i], g_script.detailed[i].c_str(), 19);  // the buffers hold 20 bytes
        outputs[i][19] = '\0';
    }
    return 0;
}
HV_EXPORT int16_t HV_CALL RP1210_GetErrorMsg(int16_t code, char* description) {
    std::lock_guard<std::mutex> lock(g_lock);
    for (const auto& error : g_script.errors) {
        if (error.first == code) {
            std::strncpy(description, error.second.c_str(), 80);
            description[80] = '\0';
            return 0;
        }
    }
    return 134;  // no description: the buffer is left as it was
}
HV_EXPORT int16_t HV_CALL RP1210_GetLastErrorMsg(int16_t, int* subCode, char* description, int16_t) {
    *subCode = 0;
    description[0] = '\0';
    return 0;
}
HV_EXPORT int16_t HV_CALL RP1210_GetHardwareStatus(int16_t, char* info, int16_t size, int16_t) {
    if (size > 0) std::memset(info, 0, static_cast<size_t>(size));
    return 0;
}

#define TV_P(...) (__VA_ARGS__)
TV_DECORATED_EXPORT(int16_t, "_RP1210_ClientConnect$24", RP1210_ClientConnect,
                    TV_P(void* a, int16_t b, const char* c, int32_t d, int32_t e, int16_t f), TV_P(a, b, c, d, e, f))
TV_DECORATED_EXPORT(int16_t, "_RP1210_ClientDisconnect$4", RP1210_ClientDisconnect, TV_P(int16_t a), TV_P(a))
TV_DECORATED_EXPORT(int16_t, "_RP1210_ReadMessage$16", RP1210_ReadMessage,
                    TV_P(int16_t a, char* b, int16_t c, int16_t d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_SendMessage$20", RP1210_SendMessage,
                    TV_P(int16_t a, char* b, int16_t c, int16_t d, int16_t e), TV_P(a, b, c, d, e))
TV_DECORATED_EXPORT(int16_t, "_RP1210_SendCommand$16", RP1210_SendCommand,
                    TV_P(int16_t a, int16_t b, char* c, int16_t d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(void, "_RP1210_ReadVersion$16", RP1210_ReadVersion, TV_P(char* a, char* b, char* c, char* d),
                    TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_ReadDetailedVersion$16", RP1210_ReadDetailedVersion,
                    TV_P(int16_t a, char* b, char* c, char* d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_GetErrorMsg$16", RP1210_GetErrorMsg, TV_P(int16_t a, char* b), TV_P(a, b))
TV_DECORATED_EXPORT(int16_t, "_RP1210_GetLastErrorMsg$20", RP1210_GetLastErrorMsg,
                    TV_P(int16_t a, int* b, char* c, int16_t d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_GetHardwareStatus$16", RP1210_GetHardwareStatus,
                    TV_P(int16_t a, char* b, int16_t c, int16_t d), TV_P(a, b, c, d))
