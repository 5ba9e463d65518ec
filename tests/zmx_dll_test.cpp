// ZMXMRP32.DLL itself, under Wine: its exports by plain name, and the whole
// road from the adapter INI files in the Windows directory (read by the
// platform's profile reader) through LoadLibraryA of the transport to the
// forwarded calls and FreeLibrary after the last close.
#include "mux/zmx_entries.h"
#include "os/os.h"
#include "sim/va_control.h"

#include "tests/support/transport_probe.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

using InitZmxFn = int32_t(HV_CALL*)(uint16_t*, int16_t);
using RestoreZmxFn = int32_t(HV_CALL*)(uint16_t);
using SetNameFn = int32_t(HV_CALL*)(const char*);

const char* const kExports[] = {
    "InitZMX", "RestoreZMX", "SetSerialDLL", "SetSerialHDLL", "SetSerialNDLL", "SetIsaDLL", "SetTcp_IpDLL",
    "SetUsb98DLL", "SetUsb2KDLL", "SetWirelessDLL", "SetINIFile",
#define ZMX_LINK_EXPORT_NAME(name) #name,
    ZMX_LINK_ENTRIES(ZMX_LINK_EXPORT_NAME)
#undef ZMX_LINK_EXPORT_NAME
#define ZMX_EXPORT_NAME(name, shape, serialN) #name,
    ZMX_FORWARDED_OPERATIONS(ZMX_EXPORT_NAME)
#undef ZMX_EXPORT_NAME
};

class ZmxDllTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        library_ = OsLoadLibrary("ZMXMRP32.DLL");
        ASSERT_NE(library_, nullptr);
    }
    static void TearDownTestSuite() { OsFreeLibrary(library_); }

    void SetUp() override {
        ASSERT_NE(library_, nullptr);
        char dir[MAX_PATH];
        ASSERT_GT(GetWindowsDirectoryA(dir, sizeof dir), 0u);
        windowsDir_ = dir;
        const std::pair<const char*, const char*> names[] = {
            {"SetSerialDLL", "TTSERIAL.DLL"}, {"SetIsaDLL", "TTISA.DLL"},       {"SetTcp_IpDLL", "TTTCP.DLL"},
            {"SetSerialHDLL", "TTSERH.DLL"},  {"SetUsb2KDLL", "TTUSB2K.DLL"},   {"SetUsb98DLL", "TTUSB98.DLL"},
            {"SetSerialNDLL", "TTSERN.DLL"},  {"SetWirelessDLL", "TTWIRE.DLL"}, {"SetINIFile", "HV_ZMX32.ini"},
        };
        for (const auto& name : names) ASSERT_EQ(Fn<SetNameFn>(name.first)(name.second), 0) << name.first;
    }
    void TearDown() override {
        for (const std::string& file : written_) std::remove((windowsDir_ + "\\" + file).c_str());
    }

    template <typename F>
    static F Fn(const char* name) {
        return reinterpret_cast<F>(OsGetProcAddress(library_, name));
    }
    // Writes a file into the prefix's real Windows directory (removed after the test).
    void WriteWindowsFile(const std::string& name, const std::string& text) {
        std::FILE* file = std::fopen((windowsDir_ + "\\" + name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs(text.c_str(), file);
        std::fclose(file);
        written_.push_back(name);
    }

    static OsLibrary* library_;
    std::string windowsDir_;
    std::vector<std::string> written_;
};

OsLibrary* ZmxDllTest::library_ = nullptr;

TEST_F(ZmxDllTest, ExportsEveryOperationByItsPlainNameOnly) {
    for (const char* name : kExports) {
        EXPECT_NE(OsGetProcAddress(library_, name), nullptr) << name;
        std::string decorated = std::string("_") + name + "@8";
        EXPECT_EQ(OsGetProcAddress(library_, decorated.c_str()), nullptr) << decorated;
        EXPECT_EQ(OsGetProcAddress(library_, (std::string(name) + "@8").c_str()), nullptr) << name;
    }
    EXPECT_EQ(OsGetProcAddress(library_, "ParseAdapterConfig"), nullptr);
}

TEST_F(ZmxDllTest, AdapterFromTheIniFileThroughTheTransport) {
    WriteWindowsFile("HV_ZMX32.ini", "[ZMXInformation4]\r\nZMXParams=COM3,B19200,/H,Modem=ATZ\r\n");
    uint16_t handle = 0;
    ASSERT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, 4), 0);
    EXPECT_EQ(handle & 0xF000, 0x4000);
    ASSERT_TRUE(TransportLoaded("TTSERH.DLL"));
    std::string calls = TransportCalls("TTSERH.DLL");
    EXPECT_EQ(CountCalls(calls, "InitCommLink adapter=4 port=2 baud=1 option=0 instance=258 text=COM3,B19200,/H,Modem=ATZ "
                                "modem=Modem=ATZ"), 1) << calls;

    // Forwarded operations of each shape reach the transport with the id
    // and their arguments in order.
    char text[80] = "";
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord)>("CheckDataLink")(handle, reinterpret_cast<ZmxWord>(text)), 0);
    EXPECT_STREQ(text, "TEST TRANSPORT,1.0,3");
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord, uint8_t)>("UpdateTransmitMailBox")(handle, 0x1234, 0x61), 0);
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, uint8_t, ZmxWord)>("ReadDataLink")(handle, 7, 99), 0);
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord, uint16_t, uint16_t)>("LoadZMXBuffer")(handle, 5, 6, 7), 0);
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t)>("PauseTimer")(handle), 0);
    calls = TransportCalls("TTSERH.DLL");
    EXPECT_EQ(CountCalls(calls, "UpdateTransmitMailBox id=1 w=4660 b=97"), 1) << calls;
    EXPECT_EQ(CountCalls(calls, "ReadDataLink id=1 b=7 w=99"), 1) << calls;
    EXPECT_EQ(CountCalls(calls, "LoadZMXBuffer id=1 w=5 s=6,7"), 1) << calls;
    EXPECT_EQ(CountCalls(calls, "PauseTimer id=1"), 1) << calls;
    // Forwarding results of the multiplexer's own.
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t)>("PauseTimer")(0x7001), 33);
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord)>("SendBuffer")(0x3001, 0), 26);
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord)>("SetBaudRate")(0x1001, 0), 33);
    EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord)>("CheckDataLink")(0x8001, 0), 19);

    EXPECT_EQ(Fn<RestoreZmxFn>("RestoreCommLink")(handle), 32);  // a SerialH handle
    EXPECT_EQ(Fn<RestoreZmxFn>("RestoreZMX")(handle), 0);
    EXPECT_FALSE(TransportLoaded("TTSERH.DLL"));  // FreeLibrary after the last close
    EXPECT_EQ(Fn<RestoreZmxFn>("RestoreZMX")(0x6001), 33);
}

TEST_F(ZmxDllTest, DeviceSectionOfTheVendorIniAndOtherIniFiles) {
    WriteWindowsFile("HVLNK32.ini", "[DeviceInformation2]\r\nDeviceName=VDA\r\nDeviceDescription=Halvery VDA,USB\r\n"
                                    "DeviceParams=HighSpeed\r\n");
    uint16_t handle = 0;
    ASSERT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, 2), 0);
    EXPECT_EQ(handle & 0xF000, 0x1000);
    // An NT-family system: the 2000/XP USB library.
    EXPECT_TRUE(TransportLoaded("TTUSB2K.DLL"));
    EXPECT_FALSE(TransportLoaded("TTUSB98.DLL"));
    EXPECT_EQ(CountCalls(TransportCalls("TTUSB2K.DLL"), "InitUSBLink adapter=2 port=1 baud=0 option=1 instance=1"), 1);
    EXPECT_EQ(Fn<RestoreZmxFn>("RestoreUSBLink")(handle), 0);
    EXPECT_FALSE(TransportLoaded("TTUSB2K.DLL"));

    // Another INI file: both sections are read from it.
    WriteWindowsFile("QRNZMX.INI", "[DeviceInformation2]\r\nDeviceName=VDA\r\nDeviceDescription=PC_CARD\r\n"
                                   "DeviceParams=ISA,0x3E0,5\r\n");
    ASSERT_EQ(Fn<SetNameFn>("SetINIFile")("QRNZMX.INI"), 0);
    handle = 0;
    ASSERT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, 2), 0);
    EXPECT_EQ(handle & 0xF000, 0x8000);
    EXPECT_EQ(CountCalls(TransportCalls("TTISA.DLL"), "InitPCCard adapter=2 port=224 baud=3 option=5"), 1);
    EXPECT_EQ(Fn<RestoreZmxFn>("RestoreZMX")(handle), 0);
    EXPECT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, 3), 40);
    // A name too long for its text is refused.
    EXPECT_EQ(Fn<SetNameFn>("SetINIFile")("A_NAME_OF_MORE_THAN_27_CHARACTERS.INI"), 43);
}

TEST_F(ZmxDllTest, CommPortOfAnAdapterNumberEndsWhenItLeadsBack) {
    WriteWindowsFile("HV_ZMX32.ini", "[ZMXInformation150]\r\nZMXParams=COM150\r\n");
    uint16_t handle = 0;
    ASSERT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, 150), 0);
    EXPECT_EQ(CountCalls(TransportCalls("TTSERIAL.DLL"), "InitCommLink"), 1);
    EXPECT_EQ(Fn<RestoreZmxFn>("RestoreZMX")(handle), 0);
}

}  // namespace

namespace {

// The library names the RP1210 library sets: each is a copy of the virtual
// adapter beside the test program.
TEST_F(ZmxDllTest, TheRp1210LibrarysTransportNamesReachTheVirtualAdapter) {
    WriteWindowsFile("HVLNK32.ini", "[ZMXInformation1]\r\nZMXParams=COM1\r\n[ZMXInformation2]\r\nZMXParams=USB\r\n"
                                    "[ZMXInformation3]\r\nZMXParams=TCP/IP,IP=127.0.0.1,PORT=1\r\n");
    const std::pair<const char*, const char*> names[] = {
        {"SetSerialDLL", "ZMXSRP32.DLL"}, {"SetUsb2KDLL", "ZMXURP2K.DLL"}, {"SetTcp_IpDLL", "ZMXTRP32.DLL"},
        {"SetINIFile", "HVLNK32.ini"}};
    for (const auto& name : names) ASSERT_EQ(Fn<SetNameFn>(name.first)(name.second), 0);
    const char* const loaded[] = {"ZMXSRP32.DLL", "ZMXURP2K.DLL", "ZMXTRP32.DLL"};
    for (int16_t number = 1; number <= 3; ++number) {
        uint16_t handle = 0;
        if (number == 3) {
            // The TCP/IP adapter reaches its bus server at once; none listens on port 1.
            EXPECT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, number), kVaErrNoConnection);
            EXPECT_FALSE(TransportLoaded(loaded[number - 1]));
            continue;
        }
        ASSERT_EQ(Fn<InitZmxFn>("InitZMX")(&handle, number), 0) << number;
        EXPECT_TRUE(TransportLoaded(loaded[number - 1]));
        char text[80] = "";
        EXPECT_EQ(Fn<int32_t(HV_CALL*)(uint16_t, ZmxWord)>("CheckDataLink")(handle, reinterpret_cast<ZmxWord>(text)), 0);
        EXPECT_STREQ(text, "Halvery Virtual VDA,1.00,3,BUF,4096");
        EXPECT_EQ(Fn<RestoreZmxFn>("RestoreZMX")(handle), 0);
        EXPECT_FALSE(TransportLoaded(loaded[number - 1]));
    }
}

}  // namespace
