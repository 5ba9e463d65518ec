// The RP1210 library's exports and client table: ids, versions, error texts,
// the detailed version and the hardware status, through the exports.
#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "tests/support/library_fixture.h"

#include <cstring>
#include <string>

namespace {

using ClientTableTest = LibraryTest;

TEST_F(ClientTableTest, SixteenClientsThenTheAreaIsFullAndNothingIsLeftBehind) {
    for (int16_t expected = 1; expected <= 16; ++expected) {
        // Alternate devices so that clients also share connections.
        ASSERT_EQ(Connect(expected % 2 ? kUsbDevice : kSerialDevice), expected);
    }
    EXPECT_EQ(OpenConnectionCount(), 2);
    int adaptersBefore = usb_.VaListAdapters(nullptr, 0) + serial_.VaListAdapters(nullptr, 0);
    EXPECT_EQ(Connect(kSerialDevice, "J1708"), kErrClientAreaFull);
    EXPECT_EQ(OpenConnectionCount(), 2);  // the J1708 connection made for it is gone again
    EXPECT_EQ(usb_.VaListAdapters(nullptr, 0) + serial_.VaListAdapters(nullptr, 0), adaptersBefore);
    EXPECT_EQ(ConnectedClientCount(), 16);

    // The lowest free slot is taken again.
    EXPECT_EQ(RP1210_ClientDisconnect(3), 0);
    EXPECT_EQ(RP1210_ClientDisconnect(5), 0);
    EXPECT_EQ(Connect(), 3);
    EXPECT_EQ(Connect(), 5);
    for (int16_t id = 1; id <= 16; ++id) EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
}

TEST_F(ClientTableTest, IdsOutsideTheTableAreInvalidForEveryExport) {
    int16_t id = Connect();
    ASSERT_EQ(id, 1);
    ASSERT_EQ(RP1210_ClientDisconnect(id), 0);
    char buffer[64];
    char a[17], b[17], c[17];
    for (int16_t bad : {int16_t{0}, int16_t{17}, int16_t{-1}, int16_t{2}, id}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(RP1210_ClientDisconnect(bad), kErrInvalidClientId);
        EXPECT_EQ(RP1210_ReadMessage(bad, buffer, sizeof buffer, 0), -kErrInvalidClientId);
        EXPECT_EQ(RP1210_SendMessage(bad, buffer, 8, 0, 0), kErrInvalidClientId);
        EXPECT_EQ(RP1210_SendCommand(3, bad, nullptr, 0), kErrInvalidClientId);
        EXPECT_EQ(RP1210_ReadDetailedVersion(bad, a, b, c), kErrInvalidClientId);
        EXPECT_EQ(RP1210_GetHardwareStatus(bad, buffer, 16, 0), kErrInvalidClientId);
    }
}

TEST_F(ClientTableTest, VersionsWithoutAClientAndTheDetailedVersion) {
    char major[8] = "", minor[8] = "", apiMajor[8] = "", apiMinor[8] = "";
    EXPECT_EQ(RP1210_ReadVersion(major, minor, apiMajor, apiMinor), 0);
    EXPECT_STREQ(major, "5");
    EXPECT_STREQ(minor, "47");
    EXPECT_STREQ(apiMajor, "2");
    EXPECT_STREQ(apiMinor, "0");
    EXPECT_EQ(RP1210_ReadVersion(nullptr, minor, nullptr, nullptr), 0);  // null buffers are skipped

    int16_t id = Connect();
    ASSERT_EQ(id, 1);
    // Each buffer gets at most 16 characters and the terminator, whatever
    // the adapter describes itself as.
    const struct {
        const char* description;
        const char* dll;
        const char* firmware;
    } cases[] = {
        {"Halvery Virtual VDA,1.00,3,BUF,4096", "5.47 1.00", "3 BUF"},
        {"VDA\tFW2.5\t3\tZMX4+", "5.47 FW2.5", "3 ZMX4+"},
        {"A,0123456789ABCDEFGHIJ,3,0123456789ABCDEFGHIJ", "5.47 0123456789A", "3 0123456789ABCD"},
        {"one field only", "5.47 ", " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        ASSERT_EQ(usb_.VaSetDescription(c.description), 0);
        char api[40], dll[40], firmware[40];
        std::memset(api, 'x', sizeof api);
        std::memset(dll, 'x', sizeof dll);
        std::memset(firmware, 'x', sizeof firmware);
        ASSERT_EQ(RP1210_ReadDetailedVersion(id, api, dll, firmware), 0);
        EXPECT_STREQ(api, "2.00");
        EXPECT_STREQ(dll, c.dll);
        EXPECT_STREQ(firmware, c.firmware);
        EXPECT_EQ(dll[17], 'x');  // nothing written past the 17 bytes
        EXPECT_EQ(firmware[17], 'x');
    }
    char api[17], dll[17], firmware[17];
    EXPECT_EQ(RP1210_ReadDetailedVersion(id, nullptr, dll, firmware), kErrInvalidCommand);
    // An adapter that does not answer: 142, the buffers untouched.
    ASSERT_EQ(usb_.VaSetSilent(1), 0);
    std::strcpy(api, "same");
    EXPECT_EQ(RP1210_ReadDetailedVersion(id, api, dll, firmware), kErrHardwareNotResponding);
    EXPECT_STREQ(api, "same");
    ASSERT_EQ(usb_.VaSetSilent(0), 0);
}

TEST_F(ClientTableTest, ErrorTexts) {
    char text[100];
    for (int16_t code = 128; code <= 163; ++code) {
        std::memset(text, 0, sizeof text);
        EXPECT_EQ(RP1210_GetErrorMsg(code, text), 0) << code;
        EXPECT_GT(std::strlen(text), 5u) << code;
    }
    EXPECT_EQ(RP1210_GetErrorMsg(163, text), 0);
    EXPECT_STREQ(text, "Message format not supported");
    EXPECT_EQ(RP1210_GetErrorMsg(129, text), 0);
    EXPECT_STREQ(text, "Invalid client ID");
    std::strcpy(text, "untouched");
    for (int16_t code : {int16_t{127}, int16_t{164}, int16_t{0}, int16_t{254}, int16_t{-1}}) {
        EXPECT_EQ(RP1210_GetErrorMsg(code, text), kErrCodeNotFound) << code;
    }
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(RP1210_GetErrorMsg(133, nullptr), kErrInvalidCommand);
}

TEST_F(ClientTableTest, HardwareStatusByProtocolAndDevice) {
    const struct {
        int16_t device;
        const char* protocol;
        const char* params;
        int pair;  // the byte pair that carries link flags and clients, or -1
        uint8_t deviceFlags;
    } cases[] = {
        {kUsbDevice, "J1939", "", 2, 0x03},     {kUsbDevice, "J1708", "", 4, 0x03},
        {kUsbDevice, "PLC", "", 4, 0x03},       {kUsbDevice, "CAN", "", 6, 0x03},
        {kUsbDevice, "J1850", "", 8, 0x03},     {kSerialDevice, "J1939", "", 2, 0x05},
        {kUsbDevice, "J1939", "Channel=2", -1, 0x03}, {kUsbDevice, "CAN", "Channel=2", -1, 0x03},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.params + " device " + std::to_string(c.device));
        IniText ini = DefaultVendorIni();
        ini.Set("ProtocolInformation9", "ProtocolString", c.protocol)
            .Set("ProtocolInformation9", "ProtocolDescription", "under test")
            .Set("ProtocolInformation9", "ProtocolParams", c.params)
            .Set("ProtocolInformation9", "Devices", "1,2")
            .Set("VendorInformation", "Protocols", "9");
        WriteVendorIni(ini);
        int16_t first = Connect(c.device, c.protocol);
        ASSERT_EQ(first, 1);
        ASSERT_EQ(Connect(c.device, c.protocol), 2);  // shares the connection
        uint8_t info[16];
        std::memset(info, 0xEE, sizeof info);
        ASSERT_EQ(RP1210_GetHardwareStatus(first, reinterpret_cast<char*>(info), 16, 1), 0);
        uint8_t expected[16] = {c.deviceFlags, 2, 0, 0, 0, 0, 0, 0, 0, 0, 'B', 'U', 'F', 0, 0, 0};
        if (c.pair >= 0) {
            expected[c.pair] = 1;
            expected[c.pair + 1] = 2;
        }
        EXPECT_EQ(std::string(reinterpret_cast<char*>(info), 16), std::string(reinterpret_cast<char*>(expected), 16));
        char small[17];
        EXPECT_EQ(RP1210_GetHardwareStatus(first, small, 15, 0), kErrInvalidCommand);
        EXPECT_EQ(RP1210_GetHardwareStatus(first, small, 17, 0), kErrInvalidCommand);
        EXPECT_EQ(RP1210_GetHardwareStatus(first, nullptr, 16, 0), kErrInvalidCommand);
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
        EXPECT_EQ(RP1210_ClientDisconnect(2), 0);
    }
    // A silent adapter: bit 0 clear, no description characters.
    WriteVendorIni(DefaultVendorIni());
    ASSERT_EQ(Connect(), 1);
    ASSERT_EQ(usb_.VaSetSilent(1), 0);
    uint8_t info[16];
    ASSERT_EQ(RP1210_GetHardwareStatus(1, reinterpret_cast<char*>(info), 16, 0), 0);
    EXPECT_EQ(info[0], 0x02);
    EXPECT_EQ(info[10], 0);
    ASSERT_EQ(usb_.VaSetSilent(0), 0);
}

TEST_F(ClientTableTest, RingSizes) {
    const struct {
        int32_t asked;
        int16_t result;
        int32_t ring;
    } cases[] = {{0, 1, 8192}, {100, 1, 100}, {65536, 1, 65536}, {-1, kErrNotEnoughMemory, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        int16_t id = Connect(kUsbDevice, "J1939", 0, c.asked);
        ASSERT_EQ(id, c.result);
        if (id != 1) continue;
        ClientRecord* client = AcquireClient(id);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->ringSize, c.ring);
        ReleaseClient(client);
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
}

}  // namespace
