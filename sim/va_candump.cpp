#include "sim/va_candump.h"

#include <cstdio>
#include <cstring>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool ParseCandumpLine(const char* line, CandumpFrame* frame) {
    if (line == nullptr || frame == nullptr) return false;
    const char* p = line;
    while (IsBlank(*p)) ++p;
    // "(seconds.fraction)": whole microseconds, kept as integers so that long
    // captures keep their exact spacing.
    if (*p++ != '(') return false;
    int64_t seconds = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 12) return false;
        seconds = seconds * 10 + (*p++ - '0');
    }
    if (digits == 0) return false;
    int64_t micros = 0;
    if (*p == '.') {
        ++p;
        int places = 0;
        while (*p >= '0' && *p <= '9') {
            if (places < 6) micros = micros * 10 + (*p - '0');
            ++places;
            ++p;
        }
        for (; places < 6; ++places) micros *= 10;
    }
    if (*p++ != ')') return false;
    if (!IsBlank(*p)) return false;
    while (IsBlank(*p)) ++p;
    // Interface name.
    if (*p == '\0' || *p == '\n' || *p == '\r') return false;
    while (*p != '\0' && !IsBlank(*p) && *p != '\n' && *p != '\r') ++p;
    while (IsBlank(*p)) ++p;
    // Identifier.
    uint32_t identifier = 0;
    int idDigits = 0;
    for (int d; (d = HexDigit(*p)) >= 0; ++p) {
        if (++idDigits > 8) return false;
        identifier = (identifier << 4) | static_cast<uint32_t>(d);
    }
    if (idDigits == 0 || *p++ != '#') return false;
    // Data: hexadecimal pairs up to the end of the line.
    uint8_t length = 0;
    for (;;) {
        int high = HexDigit(p[0]);
        if (high < 0) break;
        int low = HexDigit(p[1]);
        if (low < 0 || length == 8) return false;
        frame->data[length++] = static_cast<uint8_t>(high << 4 | low);
        p += 2;
    }
    while (IsBlank(*p) || *p == '\r' || *p == '\n') ++p;
    if (*p != '\0') return false;  // "#R", "##", stray characters
    frame->timeMicros = seconds * 1000000 + micros;
    frame->width = idDigits > 3 ? 29 : 11;
    frame->identifier = identifier & (frame->width == 29 ? 0x1FFFFFFFu : 0x7FFu);
    frame->length = length;
    return true;
}

std::vector<CandumpFrame> ReadCandumpFile(const std::string& path) {
    std::vector<CandumpFrame> frames;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return frames;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t used = std::strlen(line);
        if (used == sizeof line - 1 && line[used - 1] != '\n') {
            // An overlong line: skip the rest of it.
            int c;
            while ((c = std::fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        CandumpFrame frame{};
        if (ParseCandumpLine(line, &frame)) frames.push_back(frame);
    }
    std::fclose(file);
    return frames;
}
