#include "tool/adapter_test/rp1210_errors.h"

#include "tool/config/text_helpers.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kLineLimit = 999;  // a 1000-byte line buffer and its terminator

}  // namespace

const Rp1210ErrorName* Rp1210ErrorNames() {
    static const struct Table {
        Rp1210ErrorName entries[kRp1210ErrorNameCount];
        Table() : entries() {
            // The named codes of the shared table, in its (ascending) order.
            int count = 0;
            for (int i = 0; i < Rp1210CodeCount() && count < kRp1210ErrorNameCount; ++i) {
                const Rp1210CodeInfo& code = Rp1210Codes()[i];
                if (code.name == nullptr) continue;
                entries[count].code = code.code;
                std::snprintf(entries[count].text, sizeof entries[count].text, "%-48s",
                              FormatText("%3d - %s", code.code, code.name).c_str());
                ++count;
            }
        }
    } table;
    return table.entries;
}

const Rp1210ErrorName* FindRp1210ErrorName(int32_t code) {
    int16_t wanted = static_cast<int16_t>(code);
    const Rp1210ErrorName* names = Rp1210ErrorNames();
    for (int i = 0; i < kRp1210ErrorNameCount; ++i) {
        if (names[i].code == kRp1210ErrorTableEnd) break;
        if (names[i].code == wanted) return &names[i];
    }
    return nullptr;
}

std::string FormatRp1210ErrorLine(const char* callName, int32_t code, const char* description) {
    const Rp1210ErrorName* entry = FindRp1210ErrorName(code);
    std::string line = entry ? FormatText("[%s] %s %s", callName, entry->text, description)
                             : FormatText("[%s] ERROR_CODE_UNKNOWN %d %s", callName, static_cast<int16_t>(code),
                                          description);
    if (line.size() > kLineLimit) line.resize(kLineLimit);
    return line;
}

void ReportRp1210Error(const Rp1210Api& api, const CheckerUi& ui, const char* callName, int32_t code) {
    char description[1000];
    std::memset(description, 0, sizeof description);
    api.GetErrorMsg(static_cast<int16_t>(code), description);
    description[sizeof description - 1] = '\0';  // whatever the library wrote, the text ends here
    AppendWindowLine(ui, FormatRp1210ErrorLine(callName, code, description).c_str(), kStatusWindow);
}
