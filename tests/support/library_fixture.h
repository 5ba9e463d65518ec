// A fixture for tests of the RP1210 library's core, linked into the test
// program: the vendor INI and the adapter INI in the Windows directory (the
// multiplexer library reads them through an OS layer of its own: natively a
// temporary directory that WINDIR names, under Wine the prefix's real one),
// a fast clock, a recorder of posted window messages, and the virtual
// adapter under the transport names the library gives the multiplexer. After each test nothing may be left: no client,
// no connection, no AdapterCallLock, no open adapter, no mailbox.
#pragma once

#include "rp1210/hvlnk32.h"
#include "rp1210/rp1210_defs.h"
#include "sim/va_client.h"
#include "tests/support/fast_clock.h"
#include "tests/support/ini_text.h"
#include "tests/support/temp_windows_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// Polls `condition` for at most `limit` of real time.
template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Devices of the default vendor INI.
enum TestDevice : int16_t { kUsbDevice = 1, kSerialDevice = 2, kTcpDevice = 3 };

class LibraryTest : public ::testing::Test {
public:
    // The vendor INI of the tests: three devices (USB, COM1, TCP/IP) and the
    // protocols J1939, J1708, CAN, J1850 and PLC on each, no heartbeat.
    static IniText DefaultVendorIni();
    // The default vendor INI with protocol section 9 as `name` with `params`
    // on `devices`, and the "Protocols" list `protocols`.
    static IniText WithProtocol(const char* name, const char* params, const char* devices = "1,2,3",
                                const char* protocols = "9");

protected:
    LibraryTest();
    ~LibraryTest() override;
    void SetUp() override;
    void TearDown() override;

    void WriteVendorIni(const IniText& ini) { WriteWindowsFile("HVLNK32.INI", ini.Text()); }
    void WriteAdapterIni(const IniText& ini) { WriteWindowsFile("HV_ZMX32.INI", ini.Text()); }
    void WriteWindowsFile(const std::string& name, const std::string& text);
    void RemoveWindowsFile(const std::string& name);

    int16_t Connect(int16_t device = kUsbDevice, const char* protocol = "J1939", int16_t appPacketizing = 0,
                    int32_t rxBufferSize = 0, void* window = nullptr) {
        return RP1210_ClientConnect(window, device, protocol, 0, rxBufferSize, appPacketizing);
    }

    // The calls a virtual adapter module logged since the last look.
    static std::vector<VaCall> TakeCalls(VaModule& va);
    static int Count(const std::vector<VaCall>& calls, const char* entry);
    // The record of the first logged call of `entry`, as that record type.
    template <class Record>
    static bool FirstRecord(const std::vector<VaCall>& calls, const char* entry, Record* record, int skip = 0);

    void ExpectNothingLeft();

    // The live mailboxes of a module: direction 0 receive, 1 transmit, -1 all.
    static std::vector<VaMailboxInfo> Mailboxes(VaModule& va, int direction = -1);
    static std::vector<VaFrame> Transmitted(VaModule& va);
    // Waits until the module's adapter thread has delivered everything.
    static void Idle(VaModule& va) { ASSERT_EQ(va.VaWaitIdle(20000), 0); }
    // A non-blocking read: the message's bytes, or empty with *result set
    // (0 or a negative code).
    static std::vector<uint8_t> Read(int16_t id, int* result = nullptr, int16_t bufferSize = 2000);
    // Hex text of bytes ("0a ff ...").
    static std::string Hex(const std::vector<uint8_t>& bytes);

#ifndef _WIN32
    TempWindowsDir dir_;
#endif
    FastClock clock_;
    VaModule usb_{"ZMXURP2K.DLL"};
    VaModule serial_{"ZMXSRP32.DLL"};
    VaModule tcp_{"ZMXTRP32.DLL"};

private:
    std::string windowsDir_;
    std::vector<std::string> written_;
    std::string savedWindir_;
    bool hadWindir_ = false;
};

template <class Record>
bool LibraryTest::FirstRecord(const std::vector<VaCall>& calls, const char* entry, Record* record, int skip) {
    for (const VaCall& call : calls) {
        if (std::string(call.entry) != entry || call.recordLength != sizeof(Record)) continue;
        if (skip-- > 0) continue;
        std::memcpy(record, call.record, sizeof(Record));
        return true;
    }
    return false;
}
