#include "tool/test/rp1210_errors.h"

#include "tool/config/text_helpers.h"

#include <cstdio>
#include <cstring>

namespace {

struct NamedCode {
    int16_t code;
    const char* name;
};

const NamedCode kNames[kRp1210ErrorNameCount] = {
    {0, "NO_ERRORS"},
    {128, "ERR_DLL_NOT_INITIALIZED"},
    {129, "ERR_INVALID_CLIENT_ID"},
    {130, "ERR_CLIENT_ALREADY_CONNECTED"},
    {131, "ERR_CLIENT_AREA_FULL"},
    {132, "ERR_FREE_MEMORY"},
    {133, "ERR_NOT_ENOUGH_MEMORY"},
    {134, "ERR_INVALID_DEVICE"},
    {135, "ERR_DEVICE_IN_USE"},
    {136, "ERR_INVALID_PROTOCOL"},
    {137, "ERR_TX_QUEUE_FULL"},
    {138, "ERR_TX_QUEUE_CORRUPT"},
    {139, "ERR_RX_QUEUE_FULL"},
    {140, "ERR_RX_QUEUE_CORRUPT"},
    {141, "ERR_MESSAGE_TOO_LONG"},
    {142, "ERR_HARDWARE_NOT_RESPONDING"},
    {143, "ERR_COMMAND_NOT_SUPPORTED"},
    {144, "ERR_INVALID_COMMAND"},
    {145, "ERR_TXMESSAGE_STATUS"},
    {146, "ERR_ADDRESS_CLAIM_FAILED"},
    {147, "ERR_CANNOT_SET_PRIORITY"},
    {148, "ERR_CLIENT_DISCONNECTED"},
    {149, "ERR_CONNECT_NOT_ALLOWED"},
    {150, "ERR_CHANGE_MODE_FAILED"},
    {151, "ERR_BUS_OFF"},
    {152, "ERR_COULD_NOT_TX_ADDRESS_CLAIMED"},
    {153, "ERR_ADDRESS_LOST"},
    {154, "ERR_CODE_NOT_FOUND"},
    {155, "ERR_BLOCK_NOT_ALLOWED"},
    {156, "ERR_MULTIPLE_CLIENTS_CONNECTED"},
    {157, "ERR_ADDRESS_NEVER_CLAIMED"},
    {158, "ERR_WINDOW_HANDLE_REQUIRED"},
    {159, "ERR_MESSAGE_NOT_SENT"},
    {160, "ERR_MAX_NOTIFY_EXCEEDED"},
    {161, "ERR_MAX_FILTERS_EXCEEDED"},
    {162, "ERR_HARDWARE_STATUS_CHANGE"},
    {202, "ERR_INI_FILE_NOT_IN_WIN_DIR"},
    {204, "ERR_INI_SECTION_NOT_FOUND"},
    {205, "ERR_INI_KEY_NOT_FOUND"},
    {206, "ERR_INVALID_KEY_STRING"},
    {207, "ERR_DEVICE_NOT_SUPPORTED"},
    {208, "ERR_INVALID_PORT_PARAM"},
    {213, "ERR_COMMAND_TIMED_OUT"},
    {220, "ERR_OS_NOT_SUPPORTED"},
    {222, "ERR_COMMAND_QUEUE_IS_FULL"},
    {224, "ERR_CANNOT_SET_CAN_BAUDRATE"},
    {225, "ERR_CANNOT_CLAIM_BROADCAST_ADDRESS"},
    {226, "ERR_OUT_OF_ADDRESS_RESOURCES"},
    {227, "ERR_ADDRESS_RELEASE_FAILED"},
    {230, "ERR_COMM_DEVICE_IN_USE"},
    {441, "ERR_DATA_LINK_CONFLICT"},
    {453, "ERR_ADAPTER_NOT_RESPONDING"},
    {454, "ERR_CAN_BAUD_SET_NONSTANDARD"},
    {455, "ERR_MULTIPLE_CONNECTIONS_NOT_ALLOWED_NOW"},
    {456, "ERR_J1708_BAUD_SET_NONSTANDARD"},
    {457, "ERR_J1939_BAUD_SET_NONSTANDARD"},
    {458, "ERR_ISO15765_BAUD_SET_NONSTANDARD"},
    {999, "ERR_CODE_UNKNOWN"},
};

constexpr size_t kLineLimit = 999;  // a 1000-byte line buffer and its terminator

}  // namespace

const Rp1210ErrorName* Rp1210ErrorNames() {
    static const struct Table {
        Rp1210ErrorName entries[kRp1210ErrorNameCount];
        Table() : entries() {
            for (int i = 0; i < kRp1210ErrorNameCount; ++i) {
                entries[i].code = kNames[i].code;
                std::snprintf(entries[i].text, sizeof entries[i].text, "%-48s",
                              FormatText("%3d - %s", kNames[i].code, kNames[i].name).c_str());
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
