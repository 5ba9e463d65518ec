// The profile (INI) reader and the operating-system version: the parts that
// are the same on every platform. The win32 build reads profiles with the
// platform's own reader; the POSIX build with OsReadProfileFile below, which
// behaves as that reader does for every file the system meets.
#include "os/os.h"
#include "os/os_internal.h"

#include <cstring>
#include <string>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && IsBlank(text[start])) ++start;
    while (end > start && IsBlank(text[end - 1])) --end;
    return text.substr(start, end - start);
}

bool EqualNoCase(const std::string& a, const char* b) {
    size_t length = std::strlen(b);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Reads one whole line of any length (the line end dropped). False at end.
bool ReadWholeLine(std::FILE* file, std::string& line) {
    line.clear();
    char chunk[512];
    bool any = false;
    while (OsReadTextLine(chunk, sizeof chunk, file) != nullptr) {
        any = true;
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            return true;
        }
    }
    return any;
}

}  // namespace

bool OsIsBareFileName(const char* fileName) {
    return std::strchr(fileName, '\\') == nullptr && std::strchr(fileName, '/') == nullptr &&
           std::strchr(fileName, ':') == nullptr;
}

bool OsReadProfileFile(std::FILE* file, const char* section, const char* key, std::string& value) {
    std::string line;
    bool inSection = false;
    bool sectionSeen = false;
    while (ReadWholeLine(file, line)) {
        std::string text = Trim(line);
        if (text.empty()) continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            if (close == std::string::npos) continue;  // not a section line; the section goes on
            if (sectionSeen && inSection) return false;  // the first such section only
            std::string name = Trim(text.substr(1, close - 1));
            inSection = EqualNoCase(name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        size_t equals = text.find('=');
        if (equals == std::string::npos) continue;  // a line without '=' holds no key
        std::string name = Trim(text.substr(0, equals));
        if (!EqualNoCase(name, key)) continue;
        value = Trim(text.substr(equals + 1));
        // One pair of enclosing quotes is removed.
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
            value = value.substr(1, value.size() - 2);
        }
        return true;
    }
    return false;
}

unsigned OsGetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                            unsigned size, const char* fileName) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    // The default loses its trailing blanks, as with the platform's reader.
    std::string fallback = defaultValue ? defaultValue : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
    if (section == nullptr || key == nullptr || fileName == nullptr || fileName[0] == '\0') {
        return OsCopyProfileValue(fallback, buffer, size);
    }
    return OsPlatformProfileString(section, key, fallback.c_str(), buffer, size, fileName);
}

OsVersion OsGetVersion() { return OsHooksInForce().version(); }

unsigned OsCopyProfileValue(const std::string& value, char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return 0;
    size_t length = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return static_cast<unsigned>(length);
}
