#include "tests/support/library_fixture.h"

#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "rp1210/mux_binding.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

LibraryTest::LibraryTest() {
#ifdef _WIN32
    char dir[1000];
    windowsDir_ = OsGetWindowsDirectory(dir, sizeof dir) > 0 ? dir : ".";
#else
    windowsDir_ = dir_.path();
    const char* windir = std::getenv("WINDIR");
    hadWindir_ = windir != nullptr;
    if (hadWindir_) savedWindir_ = windir;
    setenv("WINDIR", dir_.path().c_str(), 1);  // for the multiplexer library's own OS layer
#endif
    WriteVendorIni(DefaultVendorIni());
    WriteAdapterIni(IniText());
    // The clients' windows in these tests are made up: keep what is posted to them.
    OsHooks hooks = OsGetHooks();
    hooks.postMessage = OsRecordPostedMessage;
    OsSetHooks(&hooks);
    OsTakePostedMessages();
}

LibraryTest::~LibraryTest() {
    for (const std::string& name : written_) std::remove((windowsDir_ + "/" + name).c_str());
#ifndef _WIN32
    if (hadWindir_) {
        setenv("WINDIR", savedWindir_.c_str(), 1);
    } else {
        unsetenv("WINDIR");
    }
#endif
}

void LibraryTest::WriteWindowsFile(const std::string& name, const std::string& text) {
    std::ofstream out(windowsDir_ + "/" + name, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(static_cast<bool>(out)) << name;
    written_.push_back(name);
}

void LibraryTest::RemoveWindowsFile(const std::string& name) { std::remove((windowsDir_ + "/" + name).c_str()); }

void LibraryTest::SetUp() {
    for (VaModule* va : {&usb_, &serial_, &tcp_}) {
        ASSERT_TRUE(va->ok());
        va->VaResetControls();
    }
}

void LibraryTest::TearDown() {
    for (int16_t id = 1; id <= kClientSlots; ++id) {
        if (ClientRecord* client = AcquireClient(id)) {
            ReleaseClient(client);
            RP1210_ClientDisconnect(id);
        }
    }
    ExpectNothingLeft();
}

IniText LibraryTest::DefaultVendorIni() {
    IniText ini;
    ini.Set("VendorInformation", "Name", "Halvery Group Vehicle Datalink Adapters")
        .Set("VendorInformation", "MessageString", "HVLNK32_Msg")
        .Set("VendorInformation", "ErrorString", "HVLNK32_Err")
        .Set("VendorInformation", "Devices", "1,2,3")
        .Set("VendorInformation", "Protocols", "1,2,3,4,5")
        .Set("DeviceInformation1", "DeviceDescription", "Halvery VDA, USB")
        .Set("DeviceInformation1", "DeviceName", "HV-USB")
        .Set("DeviceInformation1", "DeviceParams", "USB")
        .Set("DeviceInformation2", "DeviceDescription", "Halvery VDA, Serial, COM1")
        .Set("DeviceInformation2", "DeviceName", "HV-COM1")
        .Set("DeviceInformation2", "DeviceParams", "COM1")
        .Set("DeviceInformation3", "DeviceDescription", "Halvery VDA, TCP/IP")
        .Set("DeviceInformation3", "DeviceName", "HV-NET")
        .Set("DeviceInformation3", "DeviceParams", "TCP/IP,IP=127.0.0.1,PORT=29536");
    const char* protocols[] = {"J1939", "J1708", "CAN", "J1850", "PLC"};
    for (int i = 0; i < 5; ++i) {
        std::string section = "ProtocolInformation" + std::to_string(i + 1);
        ini.Set(section, "ProtocolString", protocols[i])
            .Set(section, "ProtocolDescription", std::string("SAE ") + protocols[i])
            .Set(section, "ProtocolParams", "")
            .Set(section, "Devices", "1,2,3");
    }
    ini.Set("Heartbeat", "HeartbeatFlag", "0");
    return ini;
}

IniText LibraryTest::WithProtocol(const char* name, const char* params, const char* devices, const char* protocols) {
    IniText ini = DefaultVendorIni();
    ini.Set("VendorInformation", "Protocols", protocols)
        .Set("ProtocolInformation9", "ProtocolString", name)
        .Set("ProtocolInformation9", "ProtocolDescription", "under test")
        .Set("ProtocolInformation9", "ProtocolParams", params)
        .Set("ProtocolInformation9", "Devices", devices);
    return ini;
}

std::vector<VaCall> LibraryTest::TakeCalls(VaModule& va) {
    std::vector<VaCall> calls(static_cast<size_t>(va.VaTakeCalls(nullptr, 0)));
    calls.resize(static_cast<size_t>(va.VaTakeCalls(calls.data(), static_cast<uint32_t>(calls.size()))));
    return calls;
}

int LibraryTest::Count(const std::vector<VaCall>& calls, const char* entry) {
    int count = 0;
    for (const VaCall& call : calls) count += std::strcmp(call.entry, entry) == 0 ? 1 : 0;
    return count;
}

void LibraryTest::ExpectNothingLeft() {
    EXPECT_EQ(ConnectedClientCount(), 0);
    EXPECT_EQ(OpenConnectionCount(), 0);
    EXPECT_FALSE(AdapterCallLockExists());
    for (VaModule* va : {&usb_, &serial_, &tcp_}) {
        EXPECT_EQ(va->VaListAdapters(nullptr, 0), 0);
        EXPECT_EQ(va->VaListMailboxes(0, nullptr, 0), 0);
    }
}

std::vector<VaMailboxInfo> LibraryTest::Mailboxes(VaModule& va, int direction) {
    std::vector<VaMailboxInfo> all(static_cast<size_t>(std::max(0, va.VaListMailboxes(0, nullptr, 0))));
    all.resize(static_cast<size_t>(std::max(0, va.VaListMailboxes(0, all.data(), static_cast<uint32_t>(all.size())))));
    std::vector<VaMailboxInfo> chosen;
    for (const VaMailboxInfo& info : all) {
        if (direction < 0 || info.direction == direction) chosen.push_back(info);
    }
    return chosen;
}

std::vector<VaFrame> LibraryTest::Transmitted(VaModule& va) {
    std::vector<VaFrame> frames(static_cast<size_t>(va.VaTakeTransmitted(nullptr, 0)));
    frames.resize(static_cast<size_t>(va.VaTakeTransmitted(frames.data(), static_cast<uint32_t>(frames.size()))));
    return frames;
}

std::vector<uint8_t> LibraryTest::Read(int16_t id, int* result, int16_t bufferSize) {
    std::vector<uint8_t> buffer(2000);
    int16_t got = RP1210_ReadMessage(id, reinterpret_cast<char*>(buffer.data()), bufferSize, 0);
    if (result != nullptr) *result = got;
    if (got <= 0) return {};
    buffer.resize(static_cast<size_t>(got));
    return buffer;
}

std::string LibraryTest::Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, i ? " %02x" : "%02x", bytes[i]);
        text += two;
    }
    return text;
}
