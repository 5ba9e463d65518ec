// Connections: clients of identical settings share one adapter data link;
// the rules for a second data link on a device; binding the multiplexer.
#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "tests/support/library_fixture.h"
#include "tests/support/scoped_hooks.h"

#include <map>
#include <mutex>
#include <string>

namespace {

using ConnectionTest = LibraryTest;

IniText VendorWith(const char* name, const char* params) {
    return LibraryTest::WithProtocol(name, params, "1,2,3", "9,1,2,3,4,5");
}

TEST_F(ConnectionTest, SecondDataLinksOnADevice) {
    const struct {
        const char* what;
        const char* name;
        const char* firstParams;
        int16_t firstPacketizing;
        const char* secondParams;
        int16_t secondPacketizing;
        int16_t result;       // of the second connect
        int connections;      // afterwards
        int dataLinks;        // InitDataLink calls
    } cases[] = {
        {"identical settings share", "J1939", "", 0, "", 0, 2, 1, 1},
        {"J1939, other parameters", "J1939", "", 0, "Baud=500", 0, kErrConnectNotAllowed, 1, 1},
        {"J1939, other packetizing", "J1939", "", 0, "", 1, kErrConnectNotAllowed, 1, 1},
        {"CAN, other packetizing", "CAN", "", 0, "", 1, 2, 2, 2},
        {"CAN, other parameters", "CAN", "", 0, "Baud=500", 0, kErrConnectNotAllowed, 1, 1},
        {"J1708, other packetizing", "J1708", "", 0, "", 1, 2, 2, 2},
        {"J1850, other packetizing", "J1850", "", 0, "", 1, 2, 2, 2},
        {"PLC, other packetizing", "PLC", "", 0, "", 1, 2, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        usb_.VaResetControls();
        WriteVendorIni(VendorWith(c.name, c.firstParams));
        ASSERT_EQ(Connect(kUsbDevice, c.name, c.firstPacketizing), 1);
        WriteVendorIni(VendorWith(c.name, c.secondParams));
        EXPECT_EQ(Connect(kUsbDevice, c.name, c.secondPacketizing), c.result);
        EXPECT_EQ(OpenConnectionCount(), c.connections);
        EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), 1);  // one adapter in any case
        EXPECT_EQ(usb_.VaCallCount("InitDataLink"), c.dataLinks);
        if (c.result == 2) {
            EXPECT_EQ(RP1210_ClientDisconnect(2), 0);
        }
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
        EXPECT_EQ(usb_.VaCallCount("RestoreUSBLink"), 1);
        ExpectNothingLeft();
    }
}

TEST_F(ConnectionTest, TwoProtocolsOnOneDeviceShareTheAdapterUntilTheLastCloses) {
    ASSERT_EQ(usb_.VaSetDescription("Halvery Virtual VDA,1.00,4,BUF,2048"), 0);
    ASSERT_EQ(Connect(kUsbDevice, "J1939"), 1);
    ASSERT_EQ(Connect(kUsbDevice, "J1708"), 2);
    ASSERT_EQ(Connect(kSerialDevice, "J1939"), 3);
    EXPECT_EQ(OpenConnectionCount(), 3);
    EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), 1);
    EXPECT_EQ(usb_.VaCallCount("InitDataLink"), 2);
    EXPECT_EQ(usb_.VaCallCount("CheckDataLink"), 1);  // the second takes the adapter as it is
    {
        // The adapter's type and buffers are the second connection's too.
        ClientRecord* second = AcquireClient(2);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(second->connection.load()->adapterType, 4);
        EXPECT_EQ(second->connection.load()->largeBuffers, 0);
        ReleaseClient(second);
    }
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(usb_.VaCallCount("RestoreUSBLink"), 0);
    EXPECT_EQ(usb_.VaListAdapters(nullptr, 0), 1);
    EXPECT_EQ(RP1210_ClientDisconnect(2), 0);
    EXPECT_EQ(usb_.VaCallCount("RestoreUSBLink"), 1);
    EXPECT_EQ(serial_.VaListAdapters(nullptr, 0), 1);
    EXPECT_EQ(RP1210_ClientDisconnect(3), 0);
}

TEST_F(ConnectionTest, AdapterDescriptionGivesTypeAndBuffers) {
    const struct {
        const char* description;
        int32_t type;
        int16_t largeBuffers;
    } cases[] = {
        {"Halvery Virtual VDA,1.00,3,BUF,4096", 3, 1}, {"VDA,1.00,5,BUF,2048", 5, 0},
        {"VDA,1.00,4,BUF=8192", 4, 1},                 {"VDA,1.00,2", 2, 0},
        {"VDA", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        ASSERT_EQ(usb_.VaSetDescription(c.description), 0);
        ASSERT_EQ(Connect(), 1);
        ClientRecord* client = AcquireClient(1);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->connection.load()->adapterType, c.type);
        EXPECT_EQ(client->connection.load()->largeBuffers, c.largeBuffers);
        ReleaseClient(client);
        EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    }
}

TEST_F(ConnectionTest, AnAdapterThatDoesNotDescribeItselfIsOpenedAgainOnce) {
    // The first description fails: closed, opened and asked again.
    ASSERT_EQ(usb_.VaFailEntry("CheckDataLink", 0, 1, 66), 0);
    ASSERT_EQ(Connect(), 1);
    EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), 2);
    EXPECT_EQ(usb_.VaCallCount("RestoreUSBLink"), 1);
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    // Both fail: 142, and the adapter is closed again.
    usb_.VaResetControls();
    ASSERT_EQ(usb_.VaFailEntry("CheckDataLink", 0, 2, 66), 0);
    EXPECT_EQ(Connect(), kErrHardwareNotResponding);
    EXPECT_EQ(usb_.VaCallCount("InitUSBLink"), 2);
    EXPECT_EQ(usb_.VaCallCount("RestoreUSBLink"), 2);
}

// Binding the multiplexer: the loader is replaced so that the library's
// loads, look-ups and names can be watched and taken away.
std::mutex g_bindLock;
std::string g_missingName;   // this entry point is not found
bool g_noMultiplexer = false;
std::vector<std::string> g_namesSet;
std::map<std::string, void*> g_realSetters;

template <int N>
int32_t HV_CALL RecordingSetter(const char* name) {
    static const char* const kSetters[] = {"SetSerialDLL", "SetIsaDLL",    "SetTcp_IpDLL", "SetSerialHDLL",
                                           "SetUsb2KDLL",  "SetUsb98DLL",  "SetINIFile",   "SetWirelessDLL"};
    using Setter = int32_t(HV_CALL*)(const char*);
    Setter real;
    {
        std::lock_guard<std::mutex> lock(g_bindLock);
        g_namesSet.push_back(std::string(kSetters[N]) + " " + name);
        real = reinterpret_cast<Setter>(g_realSetters[kSetters[N]]);
    }
    return real(name);
}

OsLibrary* WatchedLoad(const char* name) {
    if (g_noMultiplexer && std::string(name) == "ZMXMRP32.DLL") return nullptr;
    return OsPlatformHooks().loadLibrary(name);
}

void* WatchedGetProc(OsLibrary* library, const char* name) {
    std::lock_guard<std::mutex> lock(g_bindLock);
    if (g_missingName == name) return nullptr;
    void* real = OsPlatformHooks().getProcAddress(library, name);
    static const std::map<std::string, void*> kRecorders = {
        {"SetSerialDLL", reinterpret_cast<void*>(RecordingSetter<0>)},
        {"SetIsaDLL", reinterpret_cast<void*>(RecordingSetter<1>)},
        {"SetTcp_IpDLL", reinterpret_cast<void*>(RecordingSetter<2>)},
        {"SetSerialHDLL", reinterpret_cast<void*>(RecordingSetter<3>)},
        {"SetUsb2KDLL", reinterpret_cast<void*>(RecordingSetter<4>)},
        {"SetUsb98DLL", reinterpret_cast<void*>(RecordingSetter<5>)},
        {"SetINIFile", reinterpret_cast<void*>(RecordingSetter<6>)},
        {"SetWirelessDLL", reinterpret_cast<void*>(RecordingSetter<7>)},
    };
    auto recorder = kRecorders.find(name);
    if (recorder == kRecorders.end() || real == nullptr) return real;
    g_realSetters[name] = real;
    return recorder->second;
}

TEST_F(ConnectionTest, BindingTheMultiplexer) {
    ScopedHooks hooks;
    hooks.table().loadLibrary = WatchedLoad;
    hooks.table().getProcAddress = WatchedGetProc;
    hooks.Apply();

    ASSERT_EQ(Connect(), 1);
    {
        std::lock_guard<std::mutex> lock(g_bindLock);
        EXPECT_EQ(g_namesSet, (std::vector<std::string>{
                                  "SetSerialDLL ZMXSRP32.DLL", "SetIsaDLL ZMXIRP32.DLL", "SetTcp_IpDLL ZMXTRP32.DLL",
                                  "SetSerialHDLL ZMXHRP32.DLL", "SetUsb2KDLL ZMXURP2K.DLL", "SetUsb98DLL ZMXURP98.DLL",
                                  "SetINIFile HVLNK32.ini", "SetWirelessDLL ZMXWRP32.DLL"}));
    }
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);

    g_noMultiplexer = true;
    EXPECT_EQ(Connect(), kErrMultiplexerNotBound);
    g_noMultiplexer = false;
    ExpectNothingLeft();
    for (const char* missing : {"InitZMX", "ResetZMX", "ReadZMXBuffer", "SetINIFile", "SetIsaDLL"}) {
        SCOPED_TRACE(missing);
        {
            std::lock_guard<std::mutex> lock(g_bindLock);
            g_missingName = missing;
        }
        EXPECT_EQ(Connect(), kErrMultiplexerNotBound);
        ExpectNothingLeft();
    }
    {
        std::lock_guard<std::mutex> lock(g_bindLock);
        g_missingName = "SetWirelessDLL";  // the one name that may be missing
    }
    EXPECT_EQ(Connect(), 1);
    EXPECT_EQ(RP1210_ClientDisconnect(1), 0);
    std::lock_guard<std::mutex> lock(g_bindLock);
    g_missingName.clear();
}

}  // namespace
