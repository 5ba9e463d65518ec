// The adapter INI entry parser.
//
// Keyword matching is a case-sensitive substring search over the whole text
// (first occurrence); text between keywords is not parsed. The link kind is
// decided in the order serial, PC card, TCP/IP, USB: the first that applies
// wins.
#include "mux/adapter_config.h"

#include "os/os.h"

#include <cstdio>
#include <cstring>

namespace {

const char kMissing[] = "INVALID";
const char kDefaultIniFile[] = "HV_ZMX32.ini";
const char kDeviceIniFile[] = "HVLNK32.ini";

bool Has(const char* text, const char* word) { return std::strstr(text, word) != nullptr; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipBlanks(const char* text) {
    while (IsBlank(*text)) ++text;
    return text;
}

// Reads a decimal integer as the C library's %d conversion does: blanks, an
// optional sign, digits. Returns the character after it, or nullptr when no
// digit stands there. The value wraps at 32 bits, so its low bytes are those
// of the number written, however long.
const char* ReadDecimal(const char* text, int32_t* value) {
    const char* p = SkipBlanks(text);
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!IsDigit(*p)) return nullptr;
    uint32_t number = 0;
    while (IsDigit(*p)) number = number * 10u + static_cast<uint32_t>(*p++ - '0');
    if (negative) number = 0u - number;
    std::memcpy(value, &number, sizeof number);
    return p;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads an INI value into an 80-byte field ("INVALID" when absent).
void ReadValue(const char* file, const char* section, const char* key, char* field) {
    OsGetProfileString(section, key, kMissing, field, kZmxTextSize, file);
}

bool IsMissing(const char* value) { return std::strcmp(value, kMissing) == 0; }

// Baud-rate keywords by code; the first found wins.
const char* const kSerialBauds[] = {"B9600", "B19200", "B28800", "B38400", "B57600", "B115200", "B230400", "B460800"};
const char* const kSerialNBauds[] = {"B1200",  "B2400",  "B4800",  "B9600",  "B14400",
                                     "B19200", "B28800", "B38400", "B57600", "B115200"};
constexpr uint8_t kSerialDefaultBaud = 5;   // B115200
constexpr uint8_t kSerialNDefaultBaud = 3;  // B9600

template <size_t N>
uint8_t BaudCode(const char* text, const char* const (&words)[N], uint8_t fallback) {
    for (size_t code = 0; code < N; ++code) {
        if (Has(text, words[code])) return static_cast<uint8_t>(code);
    }
    return fallback;
}

int32_t ParseSerial(AdapterConfig* config, const char* text) {
    LinkParams& p = config->params;
    int32_t number = 0;
    ReadDecimal(std::strstr(text, "COM") + 3, &number);  // no digits: 0
    p.port = static_cast<uint8_t>(number);
    if (p.port <= 9) {
        // A single-digit port must be written COM1 to COM9 somewhere in the text.
        static const char* const kPorts[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"};
        int found = -1;
        for (int i = 0; i < 9 && found < 0; ++i) {
            if (Has(text, kPorts[i])) found = i;
        }
        if (found < 0) return kZmxBadPort;
        p.port = static_cast<uint8_t>(found);
    }
    if (Has(text, "/H") || Has(text, "/h") || Has(text, "IV")) {
        config->linkKind = kLinkSerialH;
    } else if (Has(text, "Industrial") || Has(text, "INDUSTRIAL") || Has(text, "industrial")) {
        config->linkKind = kLinkSerialN;
    } else if (Has(text, "MillitaryW") || Has(text, "MILLITARYW") || Has(text, "millitaryw")) {
        config->linkKind = kLinkWireless;
    } else {
        config->linkKind = kLinkSerial;
    }
    if (config->linkKind == kLinkSerialH || config->linkKind == kLinkWireless) {
        if (const char* modem = std::strstr(text, "Modem")) {
            // From "Modem" up to the next comma, at most the field's 80 bytes.
            size_t length = 0;
            while (length < sizeof p.modemText && modem[length] != '\0' && modem[length] != ',') ++length;
            std::memcpy(p.modemText, modem, length);
        }
    }
    p.baudCode = config->linkKind == kLinkSerialN ? BaudCode(text, kSerialNBauds, kSerialNDefaultBaud)
                                                  : BaudCode(text, kSerialBauds, kSerialDefaultBaud);
    p.optionFlag = Has(text, "POLL") ? 1 : 0;
    return kZmxOk;
}

// "0x<hex address><one character><decimal interrupt>".
int32_t ParsePcCard(AdapterConfig* config, const char* text, const char* description) {
    const char* hex = std::strstr(text, "0x");
    if (hex == nullptr && description != nullptr) hex = std::strstr(description, "0x");
    if (hex == nullptr) return kZmxBadConfig;
    const char* p = SkipBlanks(hex + 2);
    uint16_t address = 0;
    int16_t interrupt = 0;
    if (*p != '\0') {
        if (HexDigit(*p) < 0) return kZmxBadConfig;
        while (HexDigit(*p) >= 0) address = static_cast<uint16_t>(address * 16u + static_cast<unsigned>(HexDigit(*p++)));
        if (*p != '\0') {
            ++p;  // exactly one separator of any kind
            int32_t number = 0;
            if (ReadDecimal(p, &number) != nullptr) interrupt = static_cast<int16_t>(number);
        }
    }
    config->linkKind = kLinkPcCard;
    SetLinkIoAddress(config->params, address);
    config->params.optionFlag = static_cast<uint8_t>(interrupt & 0xFF);
    return kZmxOk;
}

// "IP=a.b.c.d" and "PORT=n"; blanks alone after either leave the field as it is.
int32_t ParseTcpIp(AdapterConfig* config, const char* text, const char* description) {
    const char* source = text;
    if (!Has(text, "IP=") && description != nullptr) source = description;
    const char* ip = std::strstr(source, "IP=");
    if (ip == nullptr) return kZmxBadConfig;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&config->params);
    const char* p = ip + 3;
    if (*SkipBlanks(p) != '\0') {
        uint8_t address[4] = {0, 0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            int32_t number = 0;
            const char* next = ReadDecimal(p, &number);
            if (next == nullptr) {
                if (i == 0) return kZmxBadConfig;
                break;
            }
            address[i] = static_cast<uint8_t>(number);
            if (i == 3 || *next != '.') break;
            p = next + 1;
        }
        std::memcpy(bytes, address, sizeof address);
    }
    const char* port = std::strstr(source, "PORT=");
    if (port == nullptr) return kZmxBadConfig;
    if (*SkipBlanks(port + 5) != '\0') {
        int32_t number = 0;
        if (ReadDecimal(port + 5, &number) == nullptr) return kZmxBadConfig;
        SetLinkTcpPort(config->params, number);
    }
    config->linkKind = kLinkTcpIp;
    return kZmxOk;
}

// The parameter grammar over `text`; `description` (device sections only)
// lends its "0x", "IP="/"PORT=" and "USB".
int32_t ParseParams(AdapterConfig* config, const char* text, const char* description) {
    if (Has(text, "COM")) return ParseSerial(config, text);
    if (Has(text, "ISA") || Has(text, "PC_CARD")) return ParsePcCard(config, text, description);
    if (Has(text, "TCP/IP")) return ParseTcpIp(config, text, description);
    if (Has(text, "USB") || (description != nullptr && Has(description, "USB"))) {
        config->params.optionFlag = Has(text, "HighSpeed") ? 1 : 0;
        config->linkKind = kLinkUsb;
        return kZmxOk;
    }
    return kZmxBadConfig;
}

// Reads [ZMXInformation<number>] ZMXParams of `file` into the parameter text.
bool ReadZmxParams(const char* file, long number, char* field) {
    char section[40];
    std::snprintf(section, sizeof section, "ZMXInformation%ld", number);
    ReadValue(file, section, "ZMXParams", field);
    return !IsMissing(field);
}

}  // namespace

AdapterReference FindAdapterReference(const char* deviceParams, int32_t* number) {
    if (deviceParams == nullptr) return AdapterReference::kNone;
    const char* first = std::strstr(deviceParams, "DI");
    if (first == nullptr) return AdapterReference::kNone;
    for (const char* di = first; di != nullptr; di = std::strstr(di + 1, "DI")) {
        if (!IsDigit(di[2])) continue;
        int32_t value = 0;
        for (const char* d = di + 2; IsDigit(*d); ++d) {
            value = value * 10 + (*d - '0');
            if (value > 32767) {
                value = -1;
                break;
            }
        }
        if (number != nullptr) *number = value;
        return AdapterReference::kNumber;
    }
    return AdapterReference::kBare;
}

const char* AdapterReferenceFile(const char* iniFileName) {
    if (iniFileName == nullptr) return kDefaultIniFile;
    for (size_t i = 0;; ++i) {
        char a = iniFileName[i], b = kDeviceIniFile[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return iniFileName;
        if (a == '\0') return kDefaultIniFile;
    }
}

uint16_t LinkIoAddress(const LinkParams& params) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&params);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

void SetLinkIoAddress(LinkParams& params, uint16_t address) {
    uint8_t* b = reinterpret_cast<uint8_t*>(&params);
    b[0] = static_cast<uint8_t>(address & 0xFF);
    b[1] = static_cast<uint8_t>(address >> 8);
}

void LinkIpAddress(const LinkParams& params, uint8_t address[4]) {
    std::memcpy(address, &params, 4);
}

int32_t LinkTcpPort(const LinkParams& params) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&params) + 4;
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                                (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24));
}

void SetLinkTcpPort(LinkParams& params, int32_t port) {
    uint8_t* b = reinterpret_cast<uint8_t*>(&params) + 4;
    uint32_t value = static_cast<uint32_t>(port);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t LinkUsbInstance(const LinkParams& params) { return LinkIoAddress(params); }
void SetLinkUsbInstance(LinkParams& params, uint16_t instance) { SetLinkIoAddress(params, instance); }

int32_t ParseAdapterConfig(AdapterConfig* config, const char* iniFileName) {
    if (config == nullptr || iniFileName == nullptr) return kZmxBadConfig;
    int16_t number = config->params.adapterNumber;
    std::memset(config, 0, sizeof *config);
    config->params.adapterNumber = number;
    LinkParams& p = config->params;

    // The adapter's own section comes first: in the INI file named, and when
    // that is the RP1210 library's vendor INI, in the adapter INI beside it
    // (where the library finds the sections its "DI" references name).
    if (ReadZmxParams(iniFileName, number, p.paramText)) return ParseParams(config, p.paramText, nullptr);
    const char* adapterFile = AdapterReferenceFile(iniFileName);
    if (adapterFile != iniFileName && ReadZmxParams(adapterFile, number, p.paramText)) {
        return ParseParams(config, p.paramText, nullptr);
    }

    // Otherwise its RP1210 device section: the library's vendor INI file when
    // the adapter INI is the default one, else the adapter INI itself.
    const char* deviceFile = std::strcmp(iniFileName, kDefaultIniFile) == 0 ? kDeviceIniFile : iniFileName;
    char section[40];
    std::snprintf(section, sizeof section, "DeviceInformation%d", static_cast<int>(number));
    ReadValue(deviceFile, section, "DeviceName", p.deviceName);
    ReadValue(deviceFile, section, "DeviceDescription", p.deviceDescription);
    ReadValue(deviceFile, section, "DeviceParams", p.paramText);
    if (IsMissing(p.deviceName) || IsMissing(p.deviceDescription) || IsMissing(p.paramText)) return kZmxBadConfig;

    // "DI<k>" refers to adapter k's section of the adapter INI, as the RP1210
    // library reads it: present, it gives the parameters; absent, the device's
    // own entry stands (the library then opens this adapter number). "DI"
    // alone refers to this adapter's section, which must exist.
    int32_t referenced = 0;
    AdapterReference reference = FindAdapterReference(p.paramText, &referenced);
    if (reference == AdapterReference::kBare) {
        if (!ReadZmxParams(adapterFile, number, p.paramText)) return kZmxBadConfig;
    } else if (reference == AdapterReference::kNumber && referenced >= 0) {
        char adapterParams[kZmxTextSize];
        if (ReadZmxParams(adapterFile, referenced, adapterParams)) std::memcpy(p.paramText, adapterParams, sizeof adapterParams);
    }

    const char* description = p.deviceDescription;
    if (!Has(description, "COM") && !Has(description, "ISA") && !Has(description, "PC_CARD") &&
        !Has(description, "TCP/IP") && !Has(description, "USB")) {
        return kZmxBadConfig;
    }
    return ParseParams(config, p.paramText, description);
}
