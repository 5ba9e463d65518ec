// The checker's table of RP1210A/RP1210B error names and the error line it
// writes when an RP1210 call fails.
#pragma once

#include "tool/adapter_test/checker_ui.h"
#include "tool/adapter_test/rp1210_api.h"

#include <cstdint>
#include <string>

struct Rp1210ErrorName {
    int16_t code;
    char text[49];  // "%3d - NAME", blank-padded to exactly 48 characters
};

constexpr int kRp1210ErrorNameCount = 58;
constexpr int16_t kRp1210ErrorTableEnd = 999;  // the last entry; it ends every lookup unmatched

// The 58 entries in table order, 999 last.
const Rp1210ErrorName* Rp1210ErrorNames();

// The table entry for `code` (compared as 16-bit signed), or nullptr for a
// code the table lacks and for 999.
const Rp1210ErrorName* FindRp1210ErrorName(int32_t code);

// "[call] <48-character table text> <description>", or, for a code the table
// lacks, "[call] ERROR_CODE_UNKNOWN <code as 16-bit signed> <description>";
// cut to 999 characters, as the 1000-byte line buffer holds.
std::string FormatRp1210ErrorLine(const char* callName, int32_t code, const char* description);

// Asks the library for its description of `code` (RP1210_GetErrorMsg) and
// appends the error line to the status window. Needs a bound api.
void ReportRp1210Error(const Rp1210Api& api, const CheckerUi& ui, const char* callName, int32_t code);
