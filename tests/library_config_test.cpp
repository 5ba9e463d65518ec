// The RP1210 library's configuration: what each INI problem gives at
// connect, and the set-up the adapter receives for each protocol family.
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class LibraryConfigTest : public LibraryTest {
protected:
    static std::string Hex(const uint8_t* bytes, size_t count) {
        std::string text;
        char two[4];
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(two, sizeof two, i ? " %02x" : "%02x", bytes[i]);
            text += two;
        }
        return text;
    }
};

TEST_F(LibraryConfigTest, EachIniProblemHasItsCodeAndOpensNoAdapter) {
    const struct {
        const char* what;
        IniText ini;
        int16_t device;
        const char* protocol;
        int16_t result;
    } cases[] = {
        {"no MessageString", DefaultVendorIni().Remove("VendorInformation", "MessageString"), 1, "J1939", 136},
        {"no ErrorString", DefaultVendorIni().Remove("VendorInformation", "ErrorString"), 1, "J1939", 136},
        {"no Protocols", DefaultVendorIni().Remove("VendorInformation", "Protocols"), 1, "J1939", 136},
        {"no such ProtocolString", DefaultVendorIni(), 1, "ISO15765", 136},
        {"ProtocolString compared with case", DefaultVendorIni(), 1, "j1939", 136},
        {"device not in Devices", WithProtocol("J1939", "", "2,3"), 1, "J1939", 136},
        {"no ProtocolParams", DefaultVendorIni().Remove("ProtocolInformation1", "ProtocolParams"), 1, "J1939", 136},
        {"no ProtocolDescription", DefaultVendorIni().Remove("ProtocolInformation1", "ProtocolDescription"), 1, "J1939",
         136},
        {"no family in the name", WithProtocol("ISO15765", ""), 1, "ISO15765", 136},
        {"Channel=3", WithProtocol("J1939", "Channel=3"), 1, "J1939", 136},
        {"Baud=125", WithProtocol("J1939", "Baud=125"), 1, "J1939", 136},
        {"0x without a number", WithProtocol("CAN", "0x42,0xZZ"), 1, "CAN", 136},
        {"no device section", DefaultVendorIni().RemoveSection("DeviceInformation1"), 1, "J1939", 134},
        {"no DeviceName", DefaultVendorIni().Remove("DeviceInformation1", "DeviceName"), 1, "J1939", 134},
        {"no DeviceParams", DefaultVendorIni().Remove("DeviceInformation1", "DeviceParams"), 1, "J1939", 134},
        {"the protocol is looked at before the device",
         WithProtocol("J1939", "Baud=125").RemoveSection("DeviceInformation1"), 1, "J1939", 134},
        {"no vendor INI at all", IniText(), 1, "J1939", 136},
        {"entries with blanks", DefaultVendorIni().Set("VendorInformation", "Protocols", "2, 1"), 1, "J1939", 1},
        {"an entry too long to be a section",
         DefaultVendorIni().Set("VendorInformation", "Protocols", "00000001,9"), 1, "J1939", 136},
        {"device 1 found inside 11", WithProtocol("J1939", "", "11"), 1, "J1939", 1},
        {"a device the multiplexer cannot open", DefaultVendorIni().Set("DeviceInformation1", "DeviceParams", "NONE")
                                                     .Set("DeviceInformation1", "DeviceDescription", "nothing"),
         1, "J1939", 142},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        usb_.VaResetControls();
        WriteVendorIni(c.ini);
        int16_t result = Connect(c.device, c.protocol);
        EXPECT_EQ(result, c.result);
        if (result == 1) {
            EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
        } else if (c.result != 142) {
            EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), 0);  // nothing opened for an INI problem
        }
        ExpectNothingLeft();
    }
    EXPECT_EQ(Connect(kUsbDevice, nullptr), kErrInvalidProtocol);
}

TEST_F(LibraryConfigTest, SetupBytesForEachFamily) {
    const struct {
        const char* protocol;
        const char* params;
        int16_t appPacketizing;
        const char* description;  // the adapter type is its third field
        uint8_t linkCode;
        const char* bytes;        // setup bytes 1-5
    } cases[] = {
        {"J1939", "", 0, "VDA,1,3", 3, "41 58 03 00 00"},
        {"J1939", "", 1, "VDA,1,3", 3, "41 58 00 00 00"},
        {"J1939:Baud=500", "Baud=500", 0, "VDA,1,3", 3, "40 58 03 00 00"},
        {"J1939", "Baud=250", 1, "VDA,1,3", 3, "41 58 00 00 00"},
        {"J1939", "0x42,0x10,Baud=500", 0, "VDA,1,3", 3, "42 10 03 00 00"},
        {"J1939", "0x42,0x10,0x05,0x06,0x07,0x08", 1, "VDA,1,3", 3, "42 10 05 06 07"},
        {"J1939", "0x1ff", 1, "VDA,1,3", 3, "ff 00 00 00 00"},
        {"J1939", "Channel=2", 0, "VDA,1,3", 7, "41 58 03 00 00"},
        {"J1939", "Channel=2", 0, "VDA,1,4", 3, "41 58 83 00 00"},
        {"J1939", "Channel=2,0x01,0x02,0x44", 1, "VDA,1,4", 3, "01 02 80 00 00"},
        {"CAN", "", 0, "VDA,1,3", 3, "41 58 00 00 00"},
        {"CAN", "Channel=2", 0, "VDA,1,4", 3, "41 58 00 00 00"},
        {"CAN", "Channel=2", 0, "VDA,1,5", 7, "41 58 00 00 00"},
        {"CAN", "Channel=2,0x01,0x02,0x03", 0, "VDA,1,4", 3, "01 02 80 00 00"},
        {"CAN", "0x01,0x02,0x03", 0, "VDA,1,3", 3, "01 02 03 00 00"},
        {"J1708", "", 0, "VDA,1,3", 1, "00 00 00 00 00"},
        {"J1708", "19200", 0, "VDA,1,3", 1, "00 00 00 00 00"},
        {"J1708", "0x05,0x06,0x07,0x08,19200", 0, "VDA,1,3", 1, "01 00 00 08 00"},
        {"J1708", "0x05,38400", 0, "VDA,1,3", 1, "03 00 00 00 00"},
        {"J1850", "0x11,0x22", 0, "VDA,1,3", 2, "11 22 00 00 00"},
        {"PLC", "0x05,0x06", 0, "VDA,1,3", 1, "05 06 00 00 00"},
        {"PLC", "0x05,9600", 0, "VDA,1,3", 1, "00 00 00 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " [" + c.params + "] on " + c.description);
        WriteVendorIni(WithProtocol(c.protocol, c.params));
        ASSERT_EQ(usb_.VaSetDescription(c.description), 0);
        TakeCalls(usb_);
        ASSERT_EQ(Connect(kUsbDevice, c.protocol, c.appPacketizing), 1);
        std::vector<VaCall> calls = TakeCalls(usb_);
        DataLinkSetup setup;
        ASSERT_TRUE(FirstRecord(calls, "InitDataLink", &setup));
        EXPECT_EQ(setup.linkCode, c.linkCode);
        EXPECT_EQ(Hex(setup.setup, 5), c.bytes);
        EXPECT_TRUE(setup.errorCallback != nullptr);
        EXPECT_EQ(uint32_t{setup.reserved[0]}, 0u);
        EXPECT_EQ(uint32_t{setup.reserved[1]}, 0u);
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    }
}

TEST_F(LibraryConfigTest, PersistentTransmitMailboxesPerProtocolAndNoneFromTypeFive) {
    const struct {
        const char* protocol;
        const char* params;
        const char* description;
        int loads;
        uint8_t linkCode, width, frameKind, noTimestamp, sizeLimitOn;
        uint16_t sizeLimit;
        uint8_t secondWidth;
    } cases[] = {
        {"J1939", "", "VDA,1,3", 2, 3, 29, 1, 0, 0, 0, 29},
        {"J1939", "NO_TIMESTAMP", "VDA,1,3", 2, 3, 29, 1, 1, 0, 0, 29},
        {"CAN", "Channel=2", "VDA,1,3", 2, 7, 29, 1, 0, 0, 0, 11},
        {"J1708", "", "VDA,1,3", 1, 1, 0, 0, 0, 1, 3830, 0},
        {"J1850", "", "VDA,1,3", 1, 2, 24, 1, 0, 1, 0, 0},
        {"J1939", "", "VDA,1,5", 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " [" + c.params + "] on " + c.description);
        WriteVendorIni(WithProtocol(c.protocol, c.params));
        ASSERT_EQ(usb_.VaSetDescription(c.description), 0);
        TakeCalls(usb_);
        ASSERT_EQ(Connect(kUsbDevice, c.protocol), 1);
        std::vector<VaCall> calls = TakeCalls(usb_);
        ASSERT_EQ(Count(calls, "LoadMailBox"), c.loads);
        if (c.loads > 0) {
            MailboxSetup setup;
            ASSERT_TRUE(FirstRecord(calls, "LoadMailBox", &setup));
            EXPECT_EQ(setup.linkCode, c.linkCode);
            EXPECT_EQ(setup.direction, 1);
            EXPECT_EQ(setup.oneShot, 0);
            EXPECT_EQ(setup.identifierWidth, c.width);
            EXPECT_EQ(setup.frameKind, c.frameKind);
            EXPECT_EQ(setup.noTimestamp, c.noTimestamp);
            EXPECT_EQ(setup.sizeLimitOn, c.sizeLimitOn);
            EXPECT_EQ(uint16_t{setup.sizeLimit}, c.sizeLimit);
            EXPECT_EQ(static_cast<void*>(setup.owner), nullptr);
            EXPECT_TRUE(setup.callback != nullptr);
        }
        if (c.loads == 2) {
            MailboxSetup second;
            ASSERT_TRUE(FirstRecord(calls, "LoadMailBox", &second, 1));
            EXPECT_EQ(second.identifierWidth, c.secondWidth);
        }
        EXPECT_EQ(usb_.VaListMailboxes(0, nullptr, 0), c.loads);
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    }
}

TEST_F(LibraryConfigTest, FastTransportSendsTheTransportSetup) {
    WriteVendorIni(WithProtocol("J1939", "FAST_TRANSPORT,Channel=2"));
    ASSERT_EQ(Connect(), 1);
    std::vector<VaCall> calls = TakeCalls(usb_);
    TransportSetup setup;
    ASSERT_TRUE(FirstRecord(calls, "ConfigureTransportProtocol", &setup));
    EXPECT_EQ(setup.linkCode, kLinkCodeCan2);
    const uint16_t expected[9] = {1000, 0, 0, 6, 1000, 1250, 0, 500, 500};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(uint16_t{setup.values[i]}, expected[i]) << i;
    EXPECT_EQ(setup.tail[0], 0x20);
    EXPECT_EQ(setup.tail[1], 0x20);
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    // Not for CAN, and not without the keyword.
    for (const char* protocol : {"CAN", "J1939"}) {
        WriteVendorIni(WithProtocol(protocol, protocol[0] == 'C' ? "FAST_TRANSPORT" : ""));
        ASSERT_EQ(Connect(kUsbDevice, protocol), 1);
        EXPECT_EQ(Count(TakeCalls(usb_), "ConfigureTransportProtocol"), 0) << protocol;
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    }
}

TEST_F(LibraryConfigTest, AdapterReferences) {
    IniText vendor = DefaultVendorIni();
    vendor.Set("DeviceInformation4", "DeviceDescription", "Halvery VDA, USB")
        .Set("DeviceInformation4", "DeviceName", "HV-REF")
        .Set("DeviceInformation4", "DeviceParams", "DI7")
        .Set("ProtocolInformation1", "Devices", "1,2,3,4");
    WriteVendorIni(vendor);

    // With the adapter INI's section: adapter 7, opened from that section.
    WriteAdapterIni(IniText().Set("ZMXInformation7", "ZMXParams", "COM2"));
    ASSERT_EQ(Connect(4), 1);
    VaAdapterInfo info;
    ASSERT_EQ(serial_.VaListAdapters(&info, 1), 1);
    EXPECT_EQ(info.params.adapterNumber, 7);
    EXPECT_EQ(info.params.port, 1);
    EXPECT_EQ(usb_.VaListAdapters(nullptr, 0), 0);
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);

    // Without it: the connect's device, opened from its own entry.
    WriteAdapterIni(IniText());
    ASSERT_EQ(Connect(4), 1);
    ASSERT_EQ(usb_.VaListAdapters(&info, 1), 1);
    EXPECT_EQ(info.params.adapterNumber, 4);
    EXPECT_EQ(serial_.VaListAdapters(nullptr, 0), 0);
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
}

TEST_F(LibraryConfigTest, HeartbeatStartsOneMonitorPerClient) {
    for (const char* flag : {"1", "0", "2", "yes"}) {
        SCOPED_TRACE(flag);
        WriteVendorIni(DefaultVendorIni().Set("Heartbeat", "HeartbeatFlag", flag));
        int before = usb_.VaCallCount("RequestTimerValue");
        ASSERT_EQ(Connect(), 1);
        ASSERT_EQ(Connect(), 2);
        bool monitors = std::string(flag) == "1";
        for (int16_t id : {1, 2}) {
            ClientRecord* client = AcquireClient(id);
            ASSERT_NE(client, nullptr);
            EXPECT_EQ(client->monitorThread != nullptr, monitors);
            ReleaseClient(client);
        }
        EXPECT_EQ(HeartbeatFlag(), std::atoi(flag));
        // Each monitor asks the adapter for its timer when it starts.
        if (monitors) {
            EXPECT_TRUE(WaitFor([&] { return usb_.VaCallCount("RequestTimerValue") - before >= 2; }));
        } else {
            EXPECT_EQ(usb_.VaCallCount("RequestTimerValue"), before);
        }
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
        EXPECT_EQ(RP1210_ClientDisconnect(2), 0);
    }
}

}  // namespace
