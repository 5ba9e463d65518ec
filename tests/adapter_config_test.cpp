// The adapter INI parser: link kinds, the fields of each kind, the device
// section fallback and the record's byte layout.
#include "mux/adapter_config.h"

#include "tests/support/temp_windows_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class AdapterConfigTest : public ::testing::Test {
protected:
    // Parses adapter `number` from `file` (default: the default adapter INI).
    int32_t Parse(int16_t number, const char* file = "HV_ZMX32.ini") {
        std::memset(&config_, 0xA5, sizeof config_);  // the parser must clear what it does not write
        config_.params.adapterNumber = number;
        return ParseAdapterConfig(&config_, file);
    }
    // Writes one ZMXParams value for adapter 1 and parses it.
    int32_t ParseParams(const std::string& value) {
        dir_.Write("HV_ZMX32.ini", "[ZMXInformation1]\r\nZMXParams=" + value + "\r\n");
        return Parse(1);
    }
    std::string Text(const char* field, size_t size = kZmxTextSize) { return std::string(field, strnlen(field, size)); }

    TempWindowsDir dir_;
    AdapterConfig config_;
};

TEST_F(AdapterConfigTest, SerialKindsPortsBaudsAndOptions) {
    ASSERT_EQ(ParseParams("COM2,B57600,POLL"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerial);
    EXPECT_EQ(config_.params.port, 1);
    EXPECT_EQ(config_.params.baudCode, 4);
    EXPECT_EQ(config_.params.optionFlag, 1);
    EXPECT_EQ(+config_.params.adapterNumber, 1);
    EXPECT_EQ(Text(config_.params.paramText), "COM2,B57600,POLL");
    EXPECT_EQ(Text(config_.params.modemText), "");  // cleared, so terminated
    EXPECT_EQ(Text(config_.params.deviceName), "");

    ASSERT_EQ(ParseParams("COM1,/H,Modem=ATZ,B115200"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerialH);
    EXPECT_EQ(config_.params.port, 0);
    EXPECT_EQ(config_.params.baudCode, 5);
    EXPECT_EQ(config_.params.optionFlag, 0);
    EXPECT_STREQ(config_.params.modemText, "Modem=ATZ");

    ASSERT_EQ(ParseParams("COM3,Industrial"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerialN);
    EXPECT_EQ(config_.params.port, 2);
    EXPECT_EQ(config_.params.baudCode, 3);  // SerialN default B9600

    ASSERT_EQ(ParseParams("COM4,MILLITARYW,B230400,Modem=AT&F"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkWireless);
    EXPECT_EQ(config_.params.baudCode, 6);
    EXPECT_STREQ(config_.params.modemText, "Modem=AT&F");

    ASSERT_EQ(ParseParams("COM5,INDUSTRIAL,B115200"), 0);
    EXPECT_EQ(config_.params.baudCode, 9);  // SerialN column
    ASSERT_EQ(ParseParams("COM5,industrial,B1200"), 0);
    EXPECT_EQ(config_.params.baudCode, 0);
    ASSERT_EQ(ParseParams("COM5,B1200"), 0);
    EXPECT_EQ(config_.params.baudCode, 5);  // not a Serial keyword: the default
    ASSERT_EQ(ParseParams("COM5,B460800,B9600"), 0);
    EXPECT_EQ(config_.params.baudCode, 0);  // keywords tried in code order

    // "Modem" counts only for SerialH and Wireless.
    ASSERT_EQ(ParseParams("COM1,Industrial,Modem=ATZ"), 0);
    EXPECT_EQ(Text(config_.params.modemText), "");
    ASSERT_EQ(ParseParams("COM1,Modem=ATZ"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerial);
    EXPECT_EQ(Text(config_.params.modemText), "");
}

TEST_F(AdapterConfigTest, SerialPortNumberRules) {
    ASSERT_EQ(ParseParams("COM3,COM1"), 0);
    EXPECT_EQ(config_.params.port, 0);  // COM1 is looked for before COM3
    ASSERT_EQ(ParseParams("COM12"), 0);
    EXPECT_EQ(config_.params.port, 12);
    ASSERT_EQ(ParseParams("COM10"), 0);
    EXPECT_EQ(config_.params.port, 10);  // not COM1
    ASSERT_EQ(ParseParams("COM 12"), 0);  // blanks before the number
    EXPECT_EQ(config_.params.port, 12);
    EXPECT_EQ(ParseParams("COM 7"), kZmxBadPort);  // 7, but "COM7" is not in the text
    EXPECT_EQ(ParseParams("COM0"), kZmxBadPort);
    EXPECT_EQ(ParseParams("COMX"), kZmxBadPort);
    EXPECT_EQ(ParseParams("COM0256"), kZmxBadPort);  // 256 modulo 256 is 0, and no COM1 to COM9
    ASSERT_EQ(ParseParams("COM300"), 0);
    EXPECT_EQ(config_.params.port, 44);
    ASSERT_EQ(ParseParams("COM99999999999999999999"), 0);  // wraps, never overflows
    ASSERT_EQ(ParseParams("COM-1"), 0);
    EXPECT_EQ(config_.params.port, 255);
    // "IV" anywhere selects SerialH, also inside a word.
    ASSERT_EQ(ParseParams("COM2,DRIVE"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerialH);
    // "COM" wins over "USB".
    ASSERT_EQ(ParseParams("USB,COM1"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerial);
}

TEST_F(AdapterConfigTest, ModemTextIsCutAtEightyAndAtAComma) {
    // Only a 79-character value can come from the INI file; the cut at the
    // comma and at the end of the text are what can be seen.
    ASSERT_EQ(ParseParams("COM1,/h,B9600,Modem=ATDT5551234,POLL"), 0);
    EXPECT_STREQ(config_.params.modemText, "Modem=ATDT5551234");
    std::string longModem = "COM1,/H,Modem=" + std::string(70, 'X');  // 84 characters: cut to 79
    ASSERT_EQ(ParseParams(longModem), 0);
    EXPECT_EQ(Text(config_.params.modemText), longModem.substr(8, 79 - 8));
}

TEST_F(AdapterConfigTest, PcCardAddressesAndInterrupts) {
    ASSERT_EQ(ParseParams("PC_CARD,0x340,10"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkPcCard);
    EXPECT_EQ(LinkIoAddress(config_.params), 0x340);
    EXPECT_EQ(config_.params.optionFlag, 10);
    ASSERT_EQ(ParseParams("ISA,0x300"), 0);
    EXPECT_EQ(LinkIoAddress(config_.params), 0x300);
    EXPECT_EQ(config_.params.optionFlag, 0);
    ASSERT_EQ(ParseParams("PC_CARD,0x300,,5"), 0);
    EXPECT_EQ(config_.params.optionFlag, 0);  // exactly one separator
    ASSERT_EQ(ParseParams("ISA,0x2F8 -2"), 0);
    EXPECT_EQ(LinkIoAddress(config_.params), 0x2F8);
    EXPECT_EQ(config_.params.optionFlag, 0xFE);  // low byte of -2
    ASSERT_EQ(ParseParams("ISA,0x   "), 0);
    EXPECT_EQ(LinkIoAddress(config_.params), 0);
    ASSERT_EQ(ParseParams("ISA,0x12345,3"), 0);
    EXPECT_EQ(LinkIoAddress(config_.params), 0x2345);  // 16 bits
    EXPECT_EQ(ParseParams("ISA,0xZZ"), kZmxBadConfig);
    EXPECT_EQ(ParseParams("PC_CARD,340"), kZmxBadConfig);
    // "ISA" wins over "TCP/IP".
    ASSERT_EQ(ParseParams("TCP/IP,ISA,0x10"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkPcCard);
}

TEST_F(AdapterConfigTest, TcpIpAddressAndPort) {
    ASSERT_EQ(ParseParams("TCP/IP,IP=192.168.0.20,PORT=6000"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkTcpIp);
    uint8_t ip[4];
    LinkIpAddress(config_.params, ip);
    EXPECT_EQ(ip[0], 192);
    EXPECT_EQ(ip[1], 168);
    EXPECT_EQ(ip[2], 0);
    EXPECT_EQ(ip[3], 20);
    EXPECT_EQ(config_.params.optionFlag, 0);  // the third number shares its byte
    EXPECT_EQ(LinkTcpPort(config_.params), 6000);

    ASSERT_EQ(ParseParams("TCP/IP,IP=10.1,PORT=80"), 0);
    LinkIpAddress(config_.params, ip);
    EXPECT_EQ(ip[0], 10);
    EXPECT_EQ(ip[1], 1);
    EXPECT_EQ(ip[2], 0);
    EXPECT_EQ(ip[3], 0);
    EXPECT_EQ(LinkTcpPort(config_.params), 80);
    ASSERT_EQ(ParseParams("TCP/IP,IP=300.2.3.4,PORT=-1"), 0);
    LinkIpAddress(config_.params, ip);
    EXPECT_EQ(ip[0], 44);
    EXPECT_EQ(LinkTcpPort(config_.params), -1);

    EXPECT_EQ(ParseParams("TCP/IP,IP=10.0.0.1"), kZmxBadConfig);
    EXPECT_EQ(ParseParams("TCP/IP,PORT=80"), kZmxBadConfig);
    EXPECT_EQ(ParseParams("TCP/IP,IP=x.1,PORT=80"), kZmxBadConfig);
    EXPECT_EQ(ParseParams("TCP/IP,IP=1.2.3.4,PORT=x"), kZmxBadConfig);
    // Blanks alone after IP= or PORT=: accepted, the field not written.
    ASSERT_EQ(ParseParams("TCP/IP,PORT=81,IP=   "), 0);
    EXPECT_EQ(LinkTcpPort(config_.params), 81);
    LinkIpAddress(config_.params, ip);
    EXPECT_EQ(ip[0], 0);
}

TEST_F(AdapterConfigTest, UsbAndTextsThatSelectNothing) {
    ASSERT_EQ(ParseParams("USB,HighSpeed"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkUsb);
    EXPECT_EQ(config_.params.optionFlag, 1);
    ASSERT_EQ(ParseParams("USB"), 0);
    EXPECT_EQ(config_.params.optionFlag, 0);
    EXPECT_EQ(ParseParams("com1,usb"), kZmxBadConfig);  // keywords are case-sensitive
    EXPECT_EQ(ParseParams("Bluetooth"), kZmxBadConfig);
    // Present but empty: not missing, and selects nothing; no device section look.
    dir_.Write("HVLNK32.ini", "[DeviceInformation1]\r\nDeviceName=A\r\nDeviceDescription=COM\r\nDeviceParams=COM1\r\n");
    EXPECT_EQ(ParseParams(""), kZmxBadConfig);
    // Keywords past the 79th character are not seen.
    EXPECT_EQ(ParseParams(std::string(79, 'x') + "COM1"), kZmxBadConfig);
}

TEST_F(AdapterConfigTest, DeviceSectionFallback) {
    dir_.Write("HV_ZMX32.ini", "[ZMXInformation1]\r\nZMXParams=INVALID\r\n");
    dir_.Write("HVLNK32.ini",
               "[DeviceInformation1]\r\nDeviceName=VDA 1\r\nDeviceDescription=Halvery VDA, USB\r\nDeviceParams=HighSpeed\r\n"
               "[DeviceInformation2]\r\nDeviceName=VDA 2\r\nDeviceDescription=VDA,PC_CARD,0x280,7\r\nDeviceParams=ISA\r\n"
               "[DeviceInformation3]\r\nDeviceName=VDA 3\r\nDeviceDescription=TCP/IP,IP=10.0.0.9,PORT=7\r\nDeviceParams=TCP/IP\r\n"
               "[DeviceInformation4]\r\nDeviceName=VDA 4\r\nDeviceDescription=ZMX 4 Plus\r\nDeviceParams=COM1\r\n"
               "[DeviceInformation5]\r\nDeviceName=VDA 5\r\nDeviceDescription=COM\r\n"
               "[DeviceInformation6]\r\nDeviceName=VDA 6\r\nDeviceDescription=COM\r\nDeviceParams=COM2,Industrial\r\n");
    // "INVALID" counts as missing: the device section is used, from HVLNK32.ini.
    ASSERT_EQ(Parse(1), 0);
    EXPECT_EQ(+config_.linkKind, kLinkUsb);  // USB from the description
    EXPECT_EQ(config_.params.optionFlag, 1);  // HighSpeed from the parameters
    EXPECT_EQ(Text(config_.params.deviceName), "VDA 1");
    EXPECT_EQ(Text(config_.params.deviceDescription), "Halvery VDA, USB");
    EXPECT_EQ(Text(config_.params.paramText), "HighSpeed");
    ASSERT_EQ(Parse(2), 0);
    EXPECT_EQ(+config_.linkKind, kLinkPcCard);
    EXPECT_EQ(LinkIoAddress(config_.params), 0x280);  // "0x" from the description
    EXPECT_EQ(config_.params.optionFlag, 7);
    ASSERT_EQ(Parse(3), 0);
    EXPECT_EQ(+config_.linkKind, kLinkTcpIp);
    EXPECT_EQ(LinkTcpPort(config_.params), 7);
    EXPECT_EQ(Parse(4), kZmxBadConfig);  // the description names no link
    EXPECT_EQ(Parse(5), kZmxBadConfig);  // DeviceParams missing
    ASSERT_EQ(Parse(6), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerialN);
    EXPECT_EQ(Parse(7), kZmxBadConfig);  // nothing at all
    EXPECT_EQ(Parse(-3), kZmxBadConfig);
}

TEST_F(AdapterConfigTest, DeviceFileFollowsTheIniFileName) {
    dir_.Write("HVLNK32.ini", "[DeviceInformation1]\r\nDeviceName=A\r\nDeviceDescription=COM\r\nDeviceParams=COM1\r\n");
    dir_.Write("OTHER.ini", "[DeviceInformation1]\r\nDeviceName=B\r\nDeviceDescription=USB\r\nDeviceParams=USB\r\n");
    ASSERT_EQ(Parse(1, "HV_ZMX32.ini"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerial);
    ASSERT_EQ(Parse(1, "OTHER.ini"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkUsb);
    // Another spelling of the default name is another file name: the devices
    // are read from it, not from HVLNK32.ini.
    dir_.Write("hv_zmx32.INI", "[DeviceInformation1]\r\nDeviceName=C\r\nDeviceDescription=TCP/IP\r\n"
                               "DeviceParams=TCP/IP,IP=1.2.3.4,PORT=5\r\n");
    ASSERT_EQ(Parse(1, "HV_ZMX32.INI"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkTcpIp);
}

TEST_F(AdapterConfigTest, DeviceParamsReferToAnAdapterSection) {
    // References are looked up in the adapter INI only, as the RP1210 library
    // looks them up; a section of the same name in the vendor INI is not one.
    dir_.Write("HV_ZMX32.ini", "[ZMXInformation7]\r\nZMXParams=TCP/IP,IP=7.7.7.7,PORT=77\r\n"
                               "[ZMXInformation2]\r\nZMXParams=COM4,B19200\r\n");
    dir_.Write("HVLNK32.ini",
               "[DeviceInformation1]\r\nDeviceName=A\r\nDeviceDescription=TCP/IP\r\nDeviceParams=DI7\r\n"
               "[DeviceInformation2]\r\nDeviceName=B\r\nDeviceDescription=COM\r\nDeviceParams=DI\r\n"
               "[DeviceInformation3]\r\nDeviceName=C\r\nDeviceDescription=COM\r\nDeviceParams=DI9,COM2\r\n"
               "[DeviceInformation4]\r\nDeviceName=D\r\nDeviceDescription=Halvery VDA, USB\r\nDeviceParams=DI8\r\n"
               "[ZMXInformation8]\r\nZMXParams=COM1\r\n"
               "[DeviceInformation5]\r\nDeviceName=E\r\nDeviceDescription=COM\r\nDeviceParams=DI\r\n"
               "[DeviceInformation6]\r\nDeviceName=F\r\nDeviceDescription=USB\r\nDeviceParams=DI99999,COM3\r\n");
    const struct {
        int16_t number;
        int32_t result;
        int32_t linkKind;
        uint8_t port;  // serial kinds
    } cases[] = {
        {1, 0, kLinkTcpIp, 0},       // DI7: adapter 7's section gives the parameters
        {2, 0, kLinkSerial, 3},      // DI alone: this adapter's section (COM4)
        {3, 0, kLinkSerial, 1},      // DI9 without a section: the device's own entry (COM2)
        {4, 0, kLinkUsb, 0},         // the same, the description naming the link kind
        {5, kZmxBadConfig, 0, 0},    // DI alone without this adapter's section
        {6, 0, kLinkSerial, 2},      // no adapter number that large: the device's own entry
    };
    for (const char* file : {"HV_ZMX32.ini", "hvlnk32.INI"}) {  // the default, and as the library names it
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(file) + " device " + std::to_string(c.number));
            ASSERT_EQ(Parse(c.number, file), c.result);
            if (c.result != 0) continue;
            EXPECT_EQ(+config_.linkKind, c.linkKind);
            EXPECT_EQ(+config_.params.adapterNumber, c.number);
            if (c.linkKind == kLinkSerial) {
                EXPECT_EQ(config_.params.port, c.port);
            } else if (c.linkKind == kLinkTcpIp) {
                EXPECT_EQ(LinkTcpPort(config_.params), 77);
            }
        }
    }
}

TEST_F(AdapterConfigTest, TheLibrarysVendorIniTakesAdapterSectionsFromTheAdapterIni) {
    // The RP1210 library names its vendor INI as the multiplexer's file: the
    // devices come from it, adapter sections it lacks from the adapter INI,
    // so that an adapter a "DI" reference names opens from the same entry.
    dir_.Write("HV_ZMX32.ini", "[ZMXInformation4]\r\nZMXParams=COM3\r\n");
    dir_.Write("HVLNK32.ini",
               "[DeviceInformation4]\r\nDeviceName=D\r\nDeviceDescription=USB\r\nDeviceParams=USB\r\n"
               "[ZMXInformation5]\r\nZMXParams=COM2\r\n"
               "[DeviceInformation6]\r\nDeviceName=F\r\nDeviceDescription=USB\r\nDeviceParams=USB\r\n");
    ASSERT_EQ(Parse(4, "HVLNK32.ini"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkSerial);
    EXPECT_EQ(config_.params.port, 2);
    ASSERT_EQ(Parse(5, "HVLNK32.ini"), 0);  // its own section first
    EXPECT_EQ(config_.params.port, 1);
    ASSERT_EQ(Parse(6, "HVLNK32.ini"), 0);
    EXPECT_EQ(+config_.linkKind, kLinkUsb);
    dir_.Write("OTHER.ini", "[DeviceInformation4]\r\nDeviceName=D\r\nDeviceDescription=USB\r\nDeviceParams=USB\r\n");
    ASSERT_EQ(Parse(4, "OTHER.ini"), 0);  // any other file stands alone
    EXPECT_EQ(+config_.linkKind, kLinkUsb);
}

TEST(AdapterReferenceTest, OneRuleForTheLibraryAndTheMultiplexer) {
    const struct {
        const char* text;
        AdapterReference kind;
        int32_t number;
    } cases[] = {
        {"USB", AdapterReference::kNone, 0},        {"DI3", AdapterReference::kNumber, 3},
        {"DIRECT,DI12", AdapterReference::kNumber, 12}, {"DI", AdapterReference::kBare, 0},
        {"COM1,DI,x", AdapterReference::kBare, 0},  {"DI32767", AdapterReference::kNumber, 32767},
        {"DI32768", AdapterReference::kNumber, -1}, {"DI0099999999999", AdapterReference::kNumber, -1},
    };
    for (const auto& c : cases) {
        int32_t number = 0;
        EXPECT_EQ(FindAdapterReference(c.text, &number), c.kind) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
    EXPECT_STREQ(AdapterReferenceFile("HV_ZMX32.ini"), "HV_ZMX32.ini");
    EXPECT_STREQ(AdapterReferenceFile("hvlnk32.ini"), "HV_ZMX32.ini");
    EXPECT_STREQ(AdapterReferenceFile("OTHER.INI"), "OTHER.INI");
}

TEST_F(AdapterConfigTest, BadArguments) {
    EXPECT_EQ(ParseAdapterConfig(nullptr, "HV_ZMX32.ini"), kZmxBadConfig);
    EXPECT_EQ(ParseAdapterConfig(&config_, nullptr), kZmxBadConfig);
    EXPECT_EQ(Parse(1, "NOSUCH.INI"), kZmxBadConfig);
}

TEST(LinkParamsTest, OverlaidFieldsAreLittleEndian) {
    LinkParams params;
    std::memset(&params, 0, sizeof params);
    SetLinkTcpPort(params, 0x01020304);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&params);
    EXPECT_EQ(bytes[4], 0x04);
    EXPECT_EQ(bytes[7], 0x01);
    EXPECT_EQ(static_cast<uint8_t>(params.modemText[1]), 0x04);  // tcpPort overlays modemText bytes 1-4
    SetLinkUsbInstance(params, 0x0102);
    EXPECT_EQ(bytes[0], 0x02);
    EXPECT_EQ(params.baudCode, 0x01);
    EXPECT_EQ(LinkIoAddress(params), 0x0102);
}

}  // namespace
