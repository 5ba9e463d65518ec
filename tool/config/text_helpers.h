// Small text helpers shared by the INI loader, the catalogue and the main
// window. Each in-place helper changes the text it is given and returns it;
// a null text is returned unchanged.
#pragma once

#include <cstdint>
#include <string>

// Space, tab, line feed, carriage return, vertical tab, form feed.
bool IsWhiteSpace(char c);

// ASCII letter and digit tests that are safe for every char value.
bool IsAsciiLetter(char c);
bool IsAsciiLetterOrDigit(char c);

// Removes leading and trailing white space.
char* TrimText(char* text);

// TrimText, then cuts the text at its first blank (space character).
char* FirstWord(char* text);

// Removes every white-space character.
char* RemoveWhiteSpace(char* text);

// Replaces each run of commas by one comma, then removes one comma at the
// very end; a comma at the start stays.
char* CleanList(char* text);

// Turns every character to lower case (ASCII letters only; other bytes stay).
char* ToLowerText(char* text);
char* ToUpperText(char* text);

// The 32-bit number whose four bytes stand most significant first.
uint32_t ReadBigEndian32(const unsigned char* bytes);

// The decimal number at the start of `text`, as the C library's atoi reads it:
// leading white space, an optional sign, digits; 0 when there are none. Out of
// range values are held at the 32-bit limits instead of overflowing.
int32_t ParseDecimal(const char* text);

// Text equality without regard to ASCII case.
bool EqualsNoCase(const char* a, const char* b);
// Whether `text` begins with `prefix`, without regard to ASCII case.
bool BeginsWithNoCase(const char* text, const char* prefix);
// Three-way comparison without regard to ASCII case (as a sorted list orders).
int CompareNoCase(const char* a, const char* b);

// printf into a std::string, however long the result.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
