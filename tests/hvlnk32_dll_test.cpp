// HVLNK32.DLL as an RP1210 application meets it: loaded by file name, its
// nine functions bound by their plain names, connected through the real
// ZMXMRP32.DLL to the virtual adapter, with the INI files in the Windows
// directory (under Wine the prefix's, natively a temporary one that WINDIR
// names for every library of the process).
#include "os/os.h"
#include "rp1210/rp1210_defs.h"
#include "tests/support/transport_probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using ReadVersionFn = int16_t(HV_CALL*)(char*, char*, char*, char*);

class Hvlnk32DllTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        char dir[1000];
        ASSERT_GT(OsGetWindowsDirectory(dir, sizeof dir), 0u);
        windowsDir_ = dir;
#else
        windowsDir_ = (std::filesystem::temp_directory_path() / ("hvlnk32-dll-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(windowsDir_);
        setenv("WINDIR", windowsDir_.c_str(), 1);
#endif
        Write("HVLNK32.INI",
              "[VendorInformation]\r\nName=Halvery Group\r\nMessageString=HVLNK32_Msg\r\nErrorString=HVLNK32_Err\r\n"
              "Devices=1\r\nProtocols=1\r\n"
              "[DeviceInformation1]\r\nDeviceDescription=Halvery VDA, USB\r\nDeviceName=HV-USB\r\nDeviceParams=USB\r\n"
              "[ProtocolInformation1]\r\nProtocolString=J1939\r\nProtocolDescription=SAE J1939\r\nProtocolParams=\r\n"
              "Devices=1\r\n");
        library_ = OsLoadLibrary("HVLNK32.DLL");
        ASSERT_NE(library_, nullptr);
    }
    void TearDown() override {
        if (library_ != nullptr) OsFreeLibrary(library_);
        for (const std::string& name : written_) std::remove((windowsDir_ + "/" + name).c_str());
#ifndef _WIN32
        std::filesystem::remove_all(windowsDir_);
#endif
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(windowsDir_ + "/" + name, std::ios::binary) << text;
        written_.push_back(name);
    }
    template <class Fn>
    Fn Bind(const char* name) {
        return reinterpret_cast<Fn>(OsGetProcAddress(library_, name));
    }

    std::string windowsDir_;
    std::vector<std::string> written_;
    OsLibrary* library_ = nullptr;
};

TEST_F(Hvlnk32DllTest, ExportsTheNineFunctionsByPlainNameOnly) {
    const char* const names[] = {"RP1210_ClientConnect",       "RP1210_ClientDisconnect",  "RP1210_ReadMessage",
                                 "RP1210_SendMessage",         "RP1210_SendCommand",       "RP1210_ReadVersion",
                                 "RP1210_ReadDetailedVersion", "RP1210_GetErrorMsg",       "RP1210_GetHardwareStatus"};
    for (const char* name : names) {
        EXPECT_NE(OsGetProcAddress(library_, name), nullptr) << name;
        EXPECT_EQ(OsGetProcAddress(library_, (std::string("_") + name + "@16").c_str()), nullptr) << name;
    }
    EXPECT_EQ(OsGetProcAddress(library_, "RP1210_GetLastErrorMsg"), nullptr);
    EXPECT_EQ(OsGetProcAddress(library_, "ConnectClient"), nullptr);
}

TEST_F(Hvlnk32DllTest, ConnectThroughTheMultiplexerToTheVirtualAdapter) {
    auto connect = Bind<Rp1210ClientConnectFn>("RP1210_ClientConnect");
    auto disconnect = Bind<Rp1210ClientDisconnectFn>("RP1210_ClientDisconnect");
    auto detailed = Bind<Rp1210ReadDetailedVersionFn>("RP1210_ReadDetailedVersion");
    auto status = Bind<Rp1210GetHardwareStatusFn>("RP1210_GetHardwareStatus");
    auto version = Bind<ReadVersionFn>("RP1210_ReadVersion");
    auto errorText = Bind<Rp1210GetErrorMsgFn>("RP1210_GetErrorMsg");
    ASSERT_TRUE(connect && disconnect && detailed && status && version && errorText);

    char major[8], minor[8], apiMajor[8], apiMinor[8];
    EXPECT_EQ(version(major, minor, apiMajor, apiMinor), 0);
    EXPECT_EQ(std::string(major) + "." + minor + " " + apiMajor + "." + apiMinor, "5.47 2.0");
    char text[100];
    EXPECT_EQ(errorText(142, text), 0);
    EXPECT_STREQ(text, "Hardware not responding");

    int16_t id = connect(nullptr, 1, "J1939", 0, 0, 0);
    ASSERT_EQ(id, 1);
    EXPECT_TRUE(TransportLoaded("ZMXURP2K.DLL"));
    char api[17], dll[17], firmware[17];
    ASSERT_EQ(detailed(id, api, dll, firmware), 0);
    EXPECT_STREQ(api, "2.00");
    EXPECT_STREQ(dll, "5.47 1.00");
    EXPECT_STREQ(firmware, "3 BUF");
    char info[16];
    ASSERT_EQ(status(id, info, 16, 0), 0);
    EXPECT_EQ(info[0], 0x03);  // answered, internal device
    EXPECT_EQ(info[1], 1);
    EXPECT_EQ(info[2], 1);     // J1939 channel 1
    EXPECT_EQ(info[3], 1);
    EXPECT_EQ(std::string(info + 10, 3), "BUF");
    EXPECT_EQ(disconnect(id), 0);
    EXPECT_FALSE(TransportLoaded("ZMXURP2K.DLL"));  // the last close unloads the transport
    EXPECT_EQ(disconnect(id), kErrInvalidClientId);
}

TEST_F(Hvlnk32DllTest, ADeviceTheMultiplexerCannotOpenGives142) {
    Write("HVLNK32.INI",
          "[VendorInformation]\r\nMessageString=M\r\nErrorString=E\r\nProtocols=1\r\n"
          "[DeviceInformation1]\r\nDeviceDescription=nothing\r\nDeviceName=X\r\nDeviceParams=NONE\r\n"
          "[ProtocolInformation1]\r\nProtocolString=J1939\r\nProtocolDescription=J\r\nProtocolParams=\r\nDevices=1\r\n");
    auto connect = Bind<Rp1210ClientConnectFn>("RP1210_ClientConnect");
    EXPECT_EQ(connect(nullptr, 1, "J1939", 0, 0, 0), kErrHardwareNotResponding);
}

}  // namespace
