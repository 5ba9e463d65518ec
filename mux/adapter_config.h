// The adapter INI entry of one adapter, parsed into the record that selects
// its link kind and holds the block handed to the transport's open entry.
//
// Adapter INI file (default "HV_ZMX32.ini", bare names in the Windows
// directory), per adapter number n:
//   [ZMXInformation<n>]   ZMXParams=...            the link parameters
//   [DeviceInformation<n>] DeviceName=, DeviceDescription=, DeviceParams=
//                                                   used when ZMXParams is absent
// Values are read into 80-byte texts; "INVALID" (the default) means absent.
#pragma once

#include <cstddef>
#include <cstdint>

// How an adapter is attached. The code is used only between the parser and
// InitZMX; the transport slot and the handle bits follow from it.
enum LinkKind : int32_t {
    kLinkSerial = 0,    // "COM"
    kLinkPcCard = 1,    // "ISA" or "PC_CARD"
    kLinkTcpIp = 2,     // "TCP/IP"
    kLinkUsb = 3,       // "USB"
    kLinkSerialH = 4,   // "COM" with "/H", "/h" or "IV"
    kLinkSerialN = 5,   // "COM" with "Industrial"
    kLinkWireless = 6,  // "COM" with "MillitaryW"
};
constexpr int kLinkKindCount = 7;

// Results of the multiplexer's own.
enum ZmxResult : int32_t {
    kZmxOk = 0,
    kZmxBadPort = 15,          // serial port name not valid
    kZmxNoEntry = 19,          // the transport lacks the forwarded entry
    kZmxNotOnLink = 26,        // operation not offered on the link kind
    kZmxWrongLink = 32,        // restore of a handle of another link kind
    kZmxBadHandle = 33,        // handle bits name no link kind
    kZmxBadConfig = 40,        // adapter INI entry missing or not valid
    kZmxNoTransport = 41,      // transport library not loadable or incomplete
    kZmxRedirectLoop = 42,     // an adapter number in place of a port led back to itself
};

constexpr int kZmxTextSize = 80;  // INI values and library names

#pragma pack(push, 1)

// The block handed to a transport library's open entry. Several fields share
// bytes, by link kind (see the accessors below):
//   serial kinds  port (0), baudCode (1), optionFlag (2: "POLL"), modemText (3..82)
//   PcCard        ioAddress (0..1, little-endian), optionFlag = interrupt number's low byte
//   TcpIp         ipAddress (0..3, first number first), tcpPort (4..7, signed, little-endian)
//   Usb           usbInstance (0..1, written by InitUSBLink), optionFlag ("HighSpeed")
struct LinkParams {
    uint8_t port;                          // 0
    uint8_t baudCode;                      // 1
    uint8_t optionFlag;                    // 2
    char modemText[kZmxTextSize];          // 3 not zero-terminated when 80 long
    int16_t adapterNumber;                 // 83
    char deviceName[kZmxTextSize];         // 85
    char deviceDescription[kZmxTextSize];  // 165
    char paramText[kZmxTextSize];          // 245 the parameter text that was parsed
};

// One InitZMX call's record.
struct AdapterConfig {
    int32_t linkKind;   // LinkKind
    LinkParams params;  // offsets 4..328
};

#pragma pack(pop)

static_assert(sizeof(LinkParams) == 325, "LinkParams layout");
static_assert(offsetof(LinkParams, baudCode) == 1, "LinkParams layout");
static_assert(offsetof(LinkParams, optionFlag) == 2, "LinkParams layout");
static_assert(offsetof(LinkParams, modemText) == 3, "LinkParams layout");
static_assert(offsetof(LinkParams, adapterNumber) == 83, "LinkParams layout");
static_assert(offsetof(LinkParams, deviceName) == 85, "LinkParams layout");
static_assert(offsetof(LinkParams, deviceDescription) == 165, "LinkParams layout");
static_assert(offsetof(LinkParams, paramText) == 245, "LinkParams layout");
static_assert(sizeof(AdapterConfig) == 329, "AdapterConfig layout");
static_assert(offsetof(AdapterConfig, params) == 4, "AdapterConfig layout");

// The overlaid fields.
uint16_t LinkIoAddress(const LinkParams& params);
void SetLinkIoAddress(LinkParams& params, uint16_t address);
void LinkIpAddress(const LinkParams& params, uint8_t address[4]);
int32_t LinkTcpPort(const LinkParams& params);
void SetLinkTcpPort(LinkParams& params, int32_t port);
uint16_t LinkUsbInstance(const LinkParams& params);
void SetLinkUsbInstance(LinkParams& params, uint16_t instance);

// An adapter reference in a device's "DeviceParams": "DI" directly followed
// by a decimal number names the adapter INI section "ZMXInformation<number>";
// "DI" without a number after it refers to the adapter's own section. The
// RP1210 library and the multiplexer read references with this one rule.
enum class AdapterReference { kNone, kBare, kNumber };
// The first "DI" directly followed by a digit gives kNumber with the number
// (-1 when it is above 32767: no adapter number can be meant); else any "DI"
// gives kBare; else kNone.
AdapterReference FindAdapterReference(const char* deviceParams, int32_t* number);

// The adapter INI file that "DI" references are looked up in: "HV_ZMX32.ini"
// when the device sections are the RP1210 library's vendor INI (the library
// names "HVLNK32.ini" as the multiplexer's INI file), else `iniFileName`.
const char* AdapterReferenceFile(const char* iniFileName);

// Parses the entry of the adapter number in config->params.adapterNumber from
// the adapter INI file `iniFileName` (through the OS layer's profile reader).
// When that file is the RP1210 library's vendor INI ("HVLNK32.ini"), an
// adapter section it lacks is read from the adapter INI "HV_ZMX32.ini".
// The record is cleared first (the adapter number kept), so texts shorter
// than their field are zero-terminated. Returns 0 with linkKind and that
// kind's fields filled, 15 when a port number 0-9 matches none of COM1 to
// COM9, and 40 for every other failure.
int32_t ParseAdapterConfig(AdapterConfig* config, const char* iniFileName);
