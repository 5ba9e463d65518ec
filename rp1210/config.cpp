// Reading the vendor INI and the adapter INI for one connect, and the
// data-link set-up bytes that the protocol name and parameters ask for.
#include "rp1210/config.h"

#include "mux/adapter_config.h"
#include "os/os.h"
#include "rp1210/rp1210_defs.h"

#include <cstdio>
#include <cstring>

namespace {

const char kVendorIni[] = "HVLNK32.INI";
const char kAdapterIni[] = "HV_ZMX32.INI";
const char kMissing[] = "INVALID";
constexpr int kLongestProtocolEntry = 7;  // digits; longer entries name no real section

void Read(const char* file, const char* section, const char* key, char* field) {
    OsGetProfileString(section, key, kMissing, field, kConfigTextSize, file);
}

bool Missing(const char* value) { return std::strcmp(value, kMissing) == 0; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads a number as the C library's "%hx" does: blanks, a sign, an optional
// "0x" before a hex digit, then hex digits; the value wraps at 16 bits.
bool ReadHex16(const char* p, uint16_t* value) {
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
    if (HexDigit(*p) < 0) return false;
    uint32_t number = 0;
    while (HexDigit(*p) >= 0) number = (number << 4 | static_cast<uint32_t>(HexDigit(*p++))) & 0xFFFFu;
    if (negative) number = (0u - number) & 0xFFFFu;
    *value = static_cast<uint16_t>(number);
    return true;
}

// Reads a decimal integer as atoi does (blanks, sign, digits; 0 without
// digits), saturating instead of overflowing.
long ReadDecimal(const char* p) {
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long number = 0;
    while (IsDigit(*p)) {
        if (number < 100000000L) number = number * 10 + (*p - '0');
        ++p;
    }
    return negative ? -number : number;
}

// Walks a "Protocols" value: digits gather into an entry, a comma or the end
// closes it, anything else is skipped. Returns 0 with the matching
// protocol's section read, or 136.
int16_t FindProtocol(ConnectConfig* config, const char* protocols) {
    char deviceText[16];
    std::snprintf(deviceText, sizeof deviceText, "%d", config->deviceId);
    char entry[kLongestProtocolEntry + 2];
    int digits = 0;
    bool tooLong = false;
    for (const char* p = protocols;; ++p) {
        if (IsDigit(*p)) {
            if (digits < kLongestProtocolEntry) {
                entry[digits++] = *p;
            } else {
                tooLong = true;
            }
            continue;
        }
        if (*p != ',' && *p != '\0') continue;
        if (digits > 0 && !tooLong) {
            entry[digits] = '\0';
            char section[40];
            std::snprintf(section, sizeof section, "ProtocolInformation%s", entry);
            char value[kConfigTextSize];
            Read(kVendorIni, section, "ProtocolString", value);
            if (std::strcmp(value, config->protocolName) == 0) {
                Read(kVendorIni, section, "Devices", value);
                if (Contains(value, deviceText)) {
                    Read(kVendorIni, section, "ProtocolDescription", config->protocolDescription);
                    Read(kVendorIni, section, "ProtocolParams", config->protocolParams);
                    Read(kVendorIni, section, "TransportParams", config->transportParams);
                    if (Missing(config->protocolParams) || Missing(config->protocolDescription)) {
                        return kErrInvalidProtocol;
                    }
                    return kRp1210Ok;
                }
            }
        }
        digits = 0;
        tooLong = false;
        if (*p == '\0') break;
    }
    return kErrInvalidProtocol;
}

}  // namespace

bool Contains(const char* text, const char* word) { return std::strstr(text, word) != nullptr; }

int16_t ReadConnectConfig(ConnectConfig* config, int16_t* heartbeat) {
    Read(kVendorIni, "VendorInformation", "Name", config->vendorName);
    Read(kVendorIni, "VendorInformation", "MessageString", config->messageString);
    Read(kVendorIni, "VendorInformation", "ErrorString", config->errorString);
    if (Missing(config->messageString) || Missing(config->errorString)) return kErrInvalidProtocol;

    char protocols[kConfigTextSize];
    Read(kVendorIni, "VendorInformation", "Protocols", protocols);
    if (Missing(protocols)) return kErrInvalidProtocol;
    int16_t found = FindProtocol(config, protocols);
    if (found != kRp1210Ok) return found;

    char deviceSection[40];
    std::snprintf(deviceSection, sizeof deviceSection, "DeviceInformation%d", config->deviceId);
    Read(kVendorIni, deviceSection, "DeviceName", config->deviceName);
    Read(kVendorIni, deviceSection, "DeviceDescription", config->deviceDescription);
    Read(kVendorIni, deviceSection, "DeviceParams", config->deviceParams);
    if (Missing(config->deviceName) || Missing(config->deviceDescription) || Missing(config->deviceParams)) {
        return kErrInvalidDevice;
    }

    // "DI<M>": the adapter INI's section ZMXInformation<M> describes the
    // adapter, which the multiplexer then opens under number M. Without that
    // section the device's own parameters and number stand.
    int32_t adapter = 0;
    if (FindAdapterReference(config->deviceParams, &adapter) == AdapterReference::kNumber && adapter >= 0) {
        char section[40];
        std::snprintf(section, sizeof section, "ZMXInformation%d", static_cast<int>(adapter));
        char params[kConfigTextSize];
        Read(kAdapterIni, section, "ZMXParams", params);
        if (!Missing(params)) {
            std::memcpy(config->deviceParams, params, sizeof params);
            config->deviceId = static_cast<int16_t>(adapter);
        }
    }

    char flag[kConfigTextSize];
    Read(kVendorIni, "Heartbeat", "HeartbeatFlag", flag);
    long value = Missing(flag) ? 0 : ReadDecimal(flag);
    *heartbeat = static_cast<int16_t>(value >= -32768 && value <= 32767 ? value : 0);
    return kRp1210Ok;
}

int16_t PlanProtocol(const ConnectConfig& config, ProtocolPlan* plan) {
    std::memset(plan, 0, sizeof *plan);
    const char* name = config.protocolName;
    // The first of these names in the protocol's name decides.
    if (Contains(name, "J1939")) {
        plan->kind = kKindJ1939;
    } else if (Contains(name, "J1708")) {
        plan->kind = kKindJ1708;
    } else if (Contains(name, "CAN")) {
        plan->kind = kKindCan;
    } else if (Contains(name, "J1850")) {
        plan->kind = kKindJ1850;
    } else if (Contains(name, "PLC")) {
        plan->kind = kKindJ1708;
        plan->plc = true;
    } else {
        return kErrInvalidProtocol;
    }
    const char* params = config.protocolParams;
    bool canLike = plan->kind == kKindJ1939 || plan->kind == kKindCan;

    // Up to five raw set-up values, each after a "0x".
    for (const char* hex = std::strstr(params, "0x"); hex != nullptr && plan->rawCount < 5;
         hex = std::strstr(hex + 2, "0x")) {
        uint16_t value = 0;
        if (!ReadHex16(hex + 2, &value)) return kErrInvalidProtocol;
        plan->raw[plan->rawCount++] = static_cast<uint8_t>(value & 0xFF);
    }
    plan->hasRaw = plan->rawCount > 0;

    plan->channel = 1;
    if (canLike) {
        if (const char* channel = std::strstr(params, "Channel=")) {
            long value = ReadDecimal(channel + 8);
            if (value != 1 && value != 2) return kErrInvalidProtocol;
            plan->channel = static_cast<int>(value);
        }
        plan->baudCode = 0x41;  // 250 kbit/s
        if (!plan->hasRaw) {
            if (const char* baud = std::strstr(params, "Baud=")) {
                long value = ReadDecimal(baud + 5);
                if (value == 500) {
                    plan->baudCode = 0x40;
                } else if (value != 250) {
                    return kErrInvalidProtocol;
                }
            }
        }
        plan->noTimestamp = Contains(params, "NO_TIMESTAMP");
        plan->fastTransport = plan->kind == kKindJ1939 && Contains(params, "FAST_TRANSPORT");
        if (plan->channel == 2) plan->kind = plan->kind == kKindJ1939 ? kKindJ1939Ch2 : kKindCanCh2;
    }
    bool j1708 = plan->kind == kKindJ1708 && !plan->plc;
    plan->j1708At19200 = j1708 && Contains(params, "19200");
    plan->j1708At38400 = j1708 && Contains(params, "38400");
    plan->plcAt9600 = plan->plc && Contains(params, "9600");
    plan->reverseTimestamp = Contains(config.deviceParams, "REVERSE_TIMESTAMP");
    return kRp1210Ok;
}

void BuildSetupBytes(const ProtocolPlan& plan, const ConnectConfig& config, int32_t adapterType, uint8_t bytes[5]) {
    auto raw = [&plan](int i) -> uint8_t { return i < plan.rawCount ? plan.raw[i] : 0; };
    for (int i = 0; i < 5; ++i) bytes[i] = raw(i);
    bool secondOnType4 = plan.channel == 2 && adapterType == 4;
    bool j1939 = plan.kind == kKindJ1939 || plan.kind == kKindJ1939Ch2;
    switch (plan.kind) {
        case kKindJ1939:
        case kKindJ1939Ch2:
        case kKindCan:
        case kKindCanCh2:
            if (!plan.hasRaw) {
                bytes[0] = plan.baudCode;
                bytes[1] = 0x58;
            }
            if (secondOnType4 && (j1939 || plan.hasRaw)) bytes[2] = 0x80;
            if (j1939 && config.appPacketizing == 0) bytes[2] |= 3;
            break;
        case kKindJ1708:
            if (plan.plc) {
                if (!plan.hasRaw || plan.plcAt9600) bytes[0] = 0;
                break;
            }
            if (!plan.hasRaw) {
                bytes[0] = 0;
                bytes[1] = 0;
            } else if (plan.j1708At19200) {
                bytes[0] = 1;
                bytes[1] = 0;
            } else if (plan.j1708At38400) {
                bytes[0] = 3;
                bytes[1] = 0;
            }
            bytes[2] = config.j1708Mode != 0 ? 3 : 0;
            break;
        case kKindJ1850: break;
    }
}

bool SecondDataLinkAllowed(const ProtocolPlan& plan, const ConnectConfig& existing, const ConnectConfig& requested) {
    switch (plan.kind) {
        case kKindJ1939:
        case kKindJ1939Ch2: return existing.appPacketizing == requested.appPacketizing;
        case kKindJ1708: return plan.plc || existing.j1708Mode == 0;
        case kKindCan:
        case kKindCanCh2:
        case kKindJ1850: return true;
    }
    return false;
}
