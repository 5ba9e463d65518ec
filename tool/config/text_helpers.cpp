#include "tool/config/text_helpers.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsAsciiLetterOrDigit(char c) { return IsAsciiLetter(c) || (c >= '0' && c <= '9'); }

static char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
static char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

char* TrimText(char* text) {
    if (text == nullptr) return text;
    size_t start = 0;
    while (text[start] != '\0' && IsWhiteSpace(text[start])) ++start;
    size_t end = std::strlen(text + start) + start;
    while (end > start && IsWhiteSpace(text[end - 1])) --end;
    std::memmove(text, text + start, end - start);
    text[end - start] = '\0';
    return text;
}

char* FirstWord(char* text) {
    if (text == nullptr) return text;
    TrimText(text);
    if (char* blank = std::strchr(text, ' ')) *blank = '\0';
    return text;
}

char* RemoveWhiteSpace(char* text) {
    if (text == nullptr) return text;
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (!IsWhiteSpace(*in)) *out++ = *in;
    }
    *out = '\0';
    return text;
}

char* CleanList(char* text) {
    if (text == nullptr) return text;
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (*in == ',' && out > text && out[-1] == ',') continue;
        *out++ = *in;
    }
    *out = '\0';
    // One comma at the very end goes; a lone "," is such a comma too.
    if (out > text && out[-1] == ',') out[-1] = '\0';
    return text;
}

char* ToLowerText(char* text) {
    if (text == nullptr) return text;
    for (char* p = text; *p != '\0'; ++p) *p = LowerAscii(*p);
    return text;
}

char* ToUpperText(char* text) {
    if (text == nullptr) return text;
    for (char* p = text; *p != '\0'; ++p) *p = UpperAscii(*p);
    return text;
}

uint32_t ReadBigEndian32(const unsigned char* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

int32_t ParseDecimal(const char* text) {
    if (text == nullptr) return 0;
    while (IsWhiteSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > 2147483648LL) value = 2147483648LL;  // held at the limit
    }
    if (negative) value = -value;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<int32_t>(value);
}

bool EqualsNoCase(const char* a, const char* b) { return CompareNoCase(a, b) == 0; }

bool BeginsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++prefix, ++text) {
        if (LowerAscii(*text) != LowerAscii(*prefix)) return false;
    }
    return true;
}

int CompareNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(LowerAscii(*a));
        unsigned char cb = static_cast<unsigned char>(LowerAscii(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == '\0') return 0;
    }
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return text;
}
