// The multiplexer's slots, open and restore procedures and forwarding, on
// test transport libraries that count their calls (real loader: dlopen
// natively, LoadLibraryA under Wine; the real profile reader on INI files in
// a temporary Windows directory).
#include "mux/multiplexer.h"

#include "tests/support/counting_loader.h"
#include "tests/support/temp_windows_dir.h"
#include "tests/support/transport_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class MultiplexerTest : public ::testing::Test {
protected:
    void SetUp() override {
        MuxReset(mux_);
        Name(LibraryName::Serial, "TTSERIAL.DLL");
        Name(LibraryName::Isa, "TTISA.DLL");
        Name(LibraryName::TcpIp, "TTTCP.DLL");
        Name(LibraryName::SerialH, "TTSERH.DLL");
        Name(LibraryName::Usb2K, "TTUSB2K.DLL");
        Name(LibraryName::Usb98, "TTUSB98.DLL");
        Name(LibraryName::SerialN, "TTSERN.DLL");
        Name(LibraryName::Wireless, "TTWIRE.DLL");
        std::memset(&params_, 0, sizeof params_);
    }
    void TearDown() override {
        MuxReleaseAll(mux_);
        OsSetHooks(&savedHooks_);
    }
    void Name(LibraryName which, const char* name) { ASSERT_EQ(MuxSetLibraryName(mux_, which, name), 0); }
    void Ini(const std::string& text) { dir_.Write("HV_ZMX32.ini", text); }
    int16_t Count(int slot) const { return mux_.slots[slot].openCount; }
    bool Loaded(int slot) const { return mux_.slots[slot].library != nullptr; }

    // Forwards CheckDataLink for `handle` as the export does.
    int32_t CheckDataLink(uint16_t handle, char* text) {
        void* entry = nullptr;
        int32_t result = MuxResolveForwarded(mux_, handle, kFwdCheckDataLink, &entry);
        if (result != 0) return result;
        return reinterpret_cast<ZmxEntryW1>(entry)(handle & kHandleIdMask, reinterpret_cast<ZmxWord>(text));
    }

    // Makes the OS layer report `version` until the test ends.
    void SetVersion(const OsVersion& version) {
        testVersion_ = version;
        OsHooks hooks = OsGetHooks();
        hooks.version = [] { return testVersion_; };
        OsSetHooks(&hooks);
    }

    TempWindowsDir dir_;
    OsHooks savedHooks_ = OsGetHooks();
    Multiplexer mux_{};
    LinkParams params_;
    static OsVersion testVersion_;
};

OsVersion MultiplexerTest::testVersion_{};

TEST_F(MultiplexerTest, InitZmxOpensEveryLinkKindAndMarksTheHandle) {
    Ini("[ZMXInformation1]\nZMXParams=COM2,B57600\n"
        "[ZMXInformation2]\nZMXParams=PC_CARD,0x340,10\n"
        "[ZMXInformation3]\nZMXParams=TCP/IP,IP=10.0.0.1,PORT=5000\n"
        "[ZMXInformation4]\nZMXParams=USB\n"
        "[ZMXInformation5]\nZMXParams=COM1,/H\n"
        "[ZMXInformation6]\nZMXParams=COM1,Industrial\n"
        "[ZMXInformation7]\nZMXParams=COM1,MillitaryW\n");
    const struct {
        int16_t number;
        uint16_t bits;
        int slot;
        const char* library;
        const char* openEntry;
        const char* restoreEntry;
    } kinds[] = {
        {1, 0x0000, kSlotSerial, "TTSERIAL.DLL", "InitCommLink", "RestoreCommLink"},
        {2, 0x8000, kSlotPcCard, "TTISA.DLL", "InitPCCard", "RestorePCCard"},
        {3, 0x2000, kSlotTcpIp, "TTTCP.DLL", "InitTCP_IP ", "RestoreTCP_IP"},
        {4, 0x1000, kSlotUsb, "TTUSB2K.DLL", "InitUSBLink", "RestoreUSBLink"},
        {5, 0x4000, kSlotSerialH, "TTSERH.DLL", "InitCommLink", "RestoreCommLink"},
        {6, 0x3000, kSlotSerialN, "TTSERN.DLL", "InitCommLink", "RestoreCommLink"},
        {7, 0x5000, kSlotWireless, "TTWIRE.DLL", "InitCommLink", "RestoreCommLink"},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.library);
        uint16_t handle = 0x0E00;  // bits 9-11 are the caller's and stay
        ASSERT_EQ(MuxInitZMX(mux_, &handle, k.number), 0);
        EXPECT_EQ(handle & kHandleKindMask, k.bits);
        EXPECT_EQ(handle & 0x0E00, 0x0E00);
        EXPECT_EQ(handle & kHandleIdMask, 1);  // the transport's first id
        EXPECT_EQ(Count(k.slot), 1);
        ASSERT_TRUE(TransportLoaded(k.library));
        std::string calls = TransportCalls(k.library);
        EXPECT_EQ(CountCalls(calls, k.openEntry), 1) << calls;
        EXPECT_NE(calls.find("adapter=" + std::to_string(k.number)), std::string::npos) << calls;
        // A forwarded call reaches the same transport with the bare id.
        char text[80] = "";
        EXPECT_EQ(CheckDataLink(handle, text), 0);
        EXPECT_STREQ(text, "TEST TRANSPORT,1.0,3");
        EXPECT_EQ(CountCalls(TransportCalls(k.library), "CheckDataLink id=1 "), 1);
        EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
        EXPECT_EQ(Count(k.slot), 0);
        EXPECT_FALSE(Loaded(k.slot));
        EXPECT_FALSE(TransportLoaded(k.library));  // unloaded after the last close
    }
}

TEST_F(MultiplexerTest, ParseFailuresLeaveTheHandleAlone) {
    Ini("[ZMXInformation1]\nZMXParams=COM0\n[ZMXInformation2]\nZMXParams=Bluetooth\n");
    uint16_t handle = 0x1234;
    EXPECT_EQ(MuxInitZMX(mux_, &handle, 1), kZmxBadPort);
    EXPECT_EQ(MuxInitZMX(mux_, &handle, 2), kZmxBadConfig);
    EXPECT_EQ(MuxInitZMX(mux_, &handle, 3), kZmxBadConfig);
    EXPECT_EQ(handle, 0x1234);
    EXPECT_EQ(MuxInitZMX(mux_, nullptr, 1), kZmxBadConfig);
    for (int slot = 0; slot < kSlotCount; ++slot) EXPECT_FALSE(Loaded(slot));
}

TEST_F(MultiplexerTest, OneLoadPerLinkKindAndUnloadAfterTheLastClose) {
    CountingLoader loader;
    uint16_t first = 0, second = 0;
    params_.port = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkSerial, &first, &params_), 0);
    ASSERT_EQ(MuxOpenLink(mux_, kLinkSerial, &second, &params_), 0);
    EXPECT_EQ(loader.loads(), 1);
    EXPECT_EQ(Count(kSlotSerial), 2);
    EXPECT_NE(first & kHandleIdMask, second & kHandleIdMask);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkSerial, first), 0);
    EXPECT_TRUE(Loaded(kSlotSerial));
    EXPECT_EQ(loader.releases(), 0);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkSerial, second), 0);
    EXPECT_FALSE(Loaded(kSlotSerial));
    EXPECT_EQ(loader.releases(), 1);
    // Restoring more often than opening: the count stays 0 and, with the
    // library gone, the answer is 41.
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkSerial, second), kZmxNoTransport);
    EXPECT_EQ(Count(kSlotSerial), 0);
}

TEST_F(MultiplexerTest, FailedOpens) {
    CountingLoader loader;
    uint16_t handle = 0x0042;
    std::strcpy(params_.paramText, "OPEN=77");
    // A failed first open leaves no library loaded and the handle as it was.
    EXPECT_EQ(MuxOpenLink(mux_, kLinkPcCard, &handle, &params_), 77);
    EXPECT_EQ(handle, 0x0042);
    EXPECT_FALSE(Loaded(kSlotPcCard));
    EXPECT_EQ(loader.releases(), 1);
    // A failed open while another adapter of the kind is open keeps it.
    std::memset(params_.paramText, 0, sizeof params_.paramText);
    uint16_t open = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkPcCard, &open, &params_), 0);
    std::strcpy(params_.paramText, "OPEN=5");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkPcCard, &handle, &params_), 5);
    EXPECT_TRUE(Loaded(kSlotPcCard));
    EXPECT_EQ(Count(kSlotPcCard), 1);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkPcCard, open), 0);
    EXPECT_FALSE(Loaded(kSlotPcCard));
    // Missing library, null arguments.
    Name(LibraryName::Isa, "NOSUCHTRANSPORT.DLL");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkPcCard, &handle, &params_), kZmxNoTransport);
    EXPECT_EQ(MuxOpenLink(mux_, kLinkPcCard, nullptr, &params_), kZmxBadConfig);
    EXPECT_EQ(MuxOpenLink(mux_, kLinkPcCard, &handle, nullptr), kZmxBadConfig);
}

TEST_F(MultiplexerTest, RequiredEntriesPerLinkKind) {
    uint16_t handle = 0;
    // Without SetBaudRate: no serial kind, but PC card, TCP/IP and USB are served.
    Name(LibraryName::Serial, "TTNOBAUD.DLL");
    Name(LibraryName::Wireless, "TTNOBAUD.DLL");
    Name(LibraryName::Isa, "TTNOBAUD.DLL");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkSerial, &handle, &params_), kZmxNoTransport);
    EXPECT_FALSE(Loaded(kSlotSerial));
    EXPECT_EQ(MuxOpenLink(mux_, kLinkWireless, &handle, &params_), kZmxNoTransport);
    ASSERT_EQ(MuxOpenLink(mux_, kLinkPcCard, &handle, &params_), 0);
    // A forwarded SetBaudRate on a PC card handle is 33 before any lookup.
    void* entry = nullptr;
    EXPECT_EQ(MuxResolveForwarded(mux_, handle, kFwdSetBaudRate, &entry), kZmxBadHandle);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkPcCard, handle), 0);
    // Without InitTCP_IPListen, TCP/IP cannot be served at all.
    Name(LibraryName::TcpIp, "TTNOLISTEN.DLL");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkTcpIp, &handle, &params_), kZmxNoTransport);
    EXPECT_EQ(MuxOpenLink(mux_, kLinkTcpIp, &handle, &params_, true), kZmxNoTransport);
    // Without CheckDataLink nothing is served.
    Name(LibraryName::Usb2K, "TTNOCHECK.DLL");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkUsb, &handle, &params_), kZmxNoTransport);
    EXPECT_EQ(Count(kSlotUsb), 0);
    // SerialN needs only its open and restore entries and its own operations;
    // the others answer 26 there, before the row is looked at.
    Name(LibraryName::SerialN, "TTNMIN.DLL");
    handle = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkSerialN, &handle, &params_), 0);
    EXPECT_EQ(handle & kHandleKindMask, 0x3000);
    EXPECT_EQ(MuxResolveForwarded(mux_, handle, kFwdUpdateTransmitMailBox, &entry), kZmxNotOnLink);
    EXPECT_EQ(MuxResolveForwarded(mux_, handle, kFwdLoadMailBox, &entry), 0);
    EXPECT_EQ(MuxResolveForwarded(mux_, handle, kFwdSetBaudRate, &entry), 0);
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
    // The same minimal library cannot serve a plain serial link.
    Name(LibraryName::Serial, "TTNMIN.DLL");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkSerial, &handle, &params_), kZmxNoTransport);
}

TEST_F(MultiplexerTest, TcpIpListenSharesTheSlot) {
    uint16_t plain = 0, listening = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkTcpIp, &plain, &params_), 0);
    ASSERT_EQ(MuxOpenLink(mux_, kLinkTcpIp, &listening, &params_, true), 0);
    EXPECT_EQ(listening & kHandleKindMask, 0x2000);
    EXPECT_EQ(Count(kSlotTcpIp), 2);
    std::string calls = TransportCalls("TTTCP.DLL");
    EXPECT_EQ(CountCalls(calls, "InitTCP_IPListen "), 1) << calls;
    EXPECT_EQ(CountCalls(calls, "InitTCP_IP "), 1) << calls;
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkTcpIp, listening), 0);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkTcpIp, plain), 0);
    EXPECT_FALSE(Loaded(kSlotTcpIp));
}

TEST_F(MultiplexerTest, RestoreChecksTheLinkKind) {
    uint16_t tcp = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkTcpIp, &tcp, &params_), 0);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkSerial, tcp), kZmxWrongLink);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkUsb, tcp), kZmxWrongLink);
    EXPECT_EQ(Count(kSlotTcpIp), 1);  // left alone
    for (uint16_t bits : {0x6000, 0x7000, 0x9000, 0xA000, 0xF000}) {
        EXPECT_EQ(MuxRestoreZMX(mux_, static_cast<uint16_t>(bits | 1)), kZmxBadHandle) << bits;
    }
    EXPECT_EQ(MuxRestoreZMX(mux_, tcp), 0);
    std::string calls = TransportCalls("TTTCP.DLL");  // unloaded: nothing to read
    EXPECT_EQ(calls, "");
}

TEST_F(MultiplexerTest, FailedRestoreLowersTheCountAndKeepsTheLibrary) {
    CountingLoader loader;
    std::strcpy(params_.paramText, "RESTORE=9");
    uint16_t handle = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkWireless, &handle, &params_), 0);
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 9);
    EXPECT_EQ(Count(kSlotWireless), 0);
    EXPECT_TRUE(Loaded(kSlotWireless));
    // The next open uses the loaded library; a name set meanwhile waits for
    // the next load.
    Name(LibraryName::Wireless, "NOSUCHTRANSPORT.DLL");
    std::memset(params_.paramText, 0, sizeof params_.paramText);
    uint16_t again = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkWireless, &again, &params_), 0);
    EXPECT_EQ(loader.loads(), 1);
    EXPECT_EQ(MuxRestoreZMX(mux_, again), 0);
    EXPECT_FALSE(Loaded(kSlotWireless));
}

TEST_F(MultiplexerTest, UsbInstancesAndLibraryByOperatingSystem) {
    uint16_t first = 0, second = 0, third = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkUsb, &first, &params_), 0);
    EXPECT_EQ(LinkUsbInstance(params_), 1);
    ASSERT_EQ(MuxOpenLink(mux_, kLinkUsb, &second, &params_), 0);
    EXPECT_EQ(LinkUsbInstance(params_), 2);
    EXPECT_EQ(CountCalls(TransportCalls("TTUSB2K.DLL"), "InitUSBLink adapter=0 port=2 baud=0 option=0 instance=2"), 1);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkUsb, second), 0);
    ASSERT_EQ(MuxOpenLink(mux_, kLinkUsb, &third, &params_), 0);
    EXPECT_EQ(LinkUsbInstance(params_), 2);  // the lowered count is used again
    // A failed USB open gives its instance back.
    std::strcpy(params_.paramText, "OPEN=3");
    EXPECT_EQ(MuxOpenLink(mux_, kLinkUsb, &second, &params_), 3);
    EXPECT_EQ(Count(kSlotUsb), 2);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkUsb, first), 0);
    EXPECT_EQ(MuxRestoreLink(mux_, kLinkUsb, third), 0);
    EXPECT_FALSE(Loaded(kSlotUsb));
    std::memset(params_.paramText, 0, sizeof params_.paramText);

    // Windows 98 and Me load the 98 library; Windows 95 and NT systems the other.
    const struct {
        OsVersion version;
        const char* library;
    } systems[] = {
        {{kOsPlatformWindows, 4, 10}, "TTUSB98.DLL"},  // Windows 98
        {{kOsPlatformWindows, 4, 90}, "TTUSB98.DLL"},  // Windows Me
        {{kOsPlatformWindows, 4, 0}, "TTUSB2K.DLL"},   // Windows 95
        {{kOsPlatformNt, 5, 0}, "TTUSB2K.DLL"},        // Windows 2000
        {{kOsPlatformNt, 4, 0}, "TTUSB2K.DLL"},
    };
    for (const auto& system : systems) {
        SetVersion(system.version);
        uint16_t handle = 0;
        ASSERT_EQ(MuxOpenLink(mux_, kLinkUsb, &handle, &params_), 0);
        EXPECT_TRUE(TransportLoaded(system.library)) << system.library;
        EXPECT_EQ(MuxRestoreLink(mux_, kLinkUsb, handle), 0);
    }
}

TEST_F(MultiplexerTest, ForwardingByHandleBits) {
    void* entry = nullptr;
    EXPECT_EQ(MuxResolveForwarded(mux_, 0x7001, kFwdCheckDataLink, &entry), kZmxBadHandle);
    EXPECT_EQ(MuxResolveForwarded(mux_, 0x0001, kFwdCheckDataLink, &entry), kZmxNoEntry);  // nothing loaded
    EXPECT_EQ(MuxResolveForwarded(mux_, 0x3001, kFwdTransmitMailBox, &entry), kZmxNotOnLink);
    EXPECT_EQ(MuxResolveForwarded(mux_, 0x1001, kFwdSetBaudRate, &entry), kZmxBadHandle);
    uint16_t handle = 0;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkSerialH, &handle, &params_), 0);
    // Every forwarded operation of a complete transport is found.
    for (int op = 0; op < kForwardedCount; ++op) {
        EXPECT_EQ(MuxResolveForwarded(mux_, handle, static_cast<ZmxForwarded>(op), &entry), 0) << op;
        EXPECT_NE(entry, nullptr);
    }
    // Bits 9-11 of a handle do not change the link kind.
    EXPECT_EQ(MuxResolveForwarded(mux_, static_cast<uint16_t>(handle | 0x0E00), kFwdResetZMX, &entry), 0);
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
    // Unloading clears the row: later calls answer 19.
    EXPECT_EQ(MuxResolveForwarded(mux_, handle, kFwdCheckDataLink, &entry), kZmxNoEntry);
}

TEST_F(MultiplexerTest, PortsAboveNinetyNineNameAnAdapter) {
    Ini("[ZMXInformation120]\nZMXParams=USB\n"
        "[ZMXInformation150]\nZMXParams=COM150\n"
        "[ZMXInformation1]\nZMXParams=COM150\n");
    // A valid entry for the number: that adapter is opened instead.
    uint16_t handle = 0;
    params_.port = 120;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkSerial, &handle, &params_), 0);
    EXPECT_EQ(handle & kHandleKindMask, 0x1000);
    EXPECT_FALSE(Loaded(kSlotSerial));
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
    // No entry for the number: a serial open of that port.
    handle = 0;
    params_.port = 130;
    ASSERT_EQ(MuxOpenLink(mux_, kLinkSerial, &handle, &params_), 0);
    EXPECT_EQ(handle & kHandleKindMask, 0);
    EXPECT_EQ(CountCalls(TransportCalls("TTSERIAL.DLL"), "InitCommLink adapter=0 port=130"), 1);
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
    // An entry that leads back to itself is followed once, then opened as
    // the serial port it names: one transport open, no endless loop.
    for (int16_t number : {150, 1}) {
        handle = 0;
        ASSERT_EQ(MuxInitZMX(mux_, &handle, number), 0) << number;
        std::string calls = TransportCalls("TTSERIAL.DLL");
        EXPECT_EQ(CountCalls(calls, "InitCommLink"), 1) << calls;
        EXPECT_EQ(CountCalls(calls, "InitCommLink adapter=" + std::to_string(number) + " port=150"), 1) << calls;
        EXPECT_FALSE(mux_.redirecting);
        EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
    }
}

TEST_F(MultiplexerTest, NamesAreRefusedWhenTheyDoNotFit) {
    std::string longest(79, 'A');
    EXPECT_EQ(MuxSetLibraryName(mux_, LibraryName::Serial, longest.c_str()), 0);
    EXPECT_EQ(std::string(mux_.slots[kSlotSerial].fileName), longest);
    EXPECT_EQ(MuxSetLibraryName(mux_, LibraryName::Serial, (longest + "B").c_str()), kZmxBadName);
    EXPECT_EQ(std::string(mux_.slots[kSlotSerial].fileName), longest);  // kept
    Name(LibraryName::Serial, "TTSERIAL.DLL");
    EXPECT_EQ(MuxSetLibraryName(mux_, LibraryName::Usb98, nullptr), kZmxBadName);
    EXPECT_EQ(MuxSetIniFile(mux_, std::string(27, 'I').c_str()), 0);
    EXPECT_EQ(MuxSetIniFile(mux_, std::string(28, 'I').c_str()), kZmxBadName);
    EXPECT_EQ(std::string(mux_.iniFileName), std::string(27, 'I'));
    // The INI file name takes effect at the next InitZMX.
    dir_.Write("OTHER.INI", "[ZMXInformation3]\nZMXParams=COM3\n");
    uint16_t handle = 0;
    EXPECT_EQ(MuxInitZMX(mux_, &handle, 3), kZmxBadConfig);
    ASSERT_EQ(MuxSetIniFile(mux_, "OTHER.INI"), 0);
    ASSERT_EQ(MuxInitZMX(mux_, &handle, 3), 0);
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
}

}  // namespace

// The multiplexer with its default transport names, which the virtual adapter
// answers to: the whole road of an adapter from the INI file to received and
// transmitted frames.
#include "sim/va_client.h"

#include <atomic>
#include <thread>

namespace {

struct Received {
    std::atomic<int> frames{0};
    std::atomic<uint32_t> identifier{0};
    std::atomic<uint8_t> firstByte{0};
    std::atomic<bool> onCallerThread{false};
    std::thread::id caller;
};
Received g_received;

void HV_CALL OnReceive(Mailbox* mailbox) {
    g_received.identifier = mailbox->identifier;
    g_received.firstByte = mailbox->dataLength > 0 ? mailbox->data[0] : 0;
    if (std::this_thread::get_id() == g_received.caller) g_received.onCallerThread = true;
    ++g_received.frames;
}

class MultiplexerVirtualAdapterTest : public ::testing::Test {
protected:
    void SetUp() override { MuxReset(mux_); }
    void TearDown() override { MuxReleaseAll(mux_); }

    template <typename Entry>
    Entry Forwarded(uint16_t handle, ZmxForwarded operation) {
        void* entry = nullptr;
        EXPECT_EQ(MuxResolveForwarded(mux_, handle, operation, &entry), 0) << operation;
        return reinterpret_cast<Entry>(entry);
    }

    TempWindowsDir dir_;
    Multiplexer mux_{};
};

TEST_F(MultiplexerVirtualAdapterTest, DefaultNamesOfEveryLinkKind) {
    dir_.Write("HV_ZMX32.ini", "[ZMXInformation1]\nZMXParams=COM1\n[ZMXInformation2]\nZMXParams=ISA,0x300,5\n"
                               "[ZMXInformation3]\nZMXParams=TCP/IP,IP=127.0.0.1,PORT=1\n"
                               "[ZMXInformation4]\nZMXParams=USB\n[ZMXInformation5]\nZMXParams=COM1,/H\n"
                               "[ZMXInformation6]\nZMXParams=COM1,Industrial\n[ZMXInformation7]\nZMXParams=COM1,MillitaryW\n");
    const char* const libraries[] = {"ZMXS32.DLL", "ZMXI32.DLL", "ZMXT32.DLL", "ZMXU2K.DLL",
                                     "ZMXH32.DLL", "ZMXN32.DLL", "ZMXW32.DLL"};
    for (int16_t number = 1; number <= 7; ++number) {
        const char* library = libraries[number - 1];
        uint16_t handle = 0;
        if (number == 3) {
            // The TCP/IP adapter connects to its bus server at once: nothing
            // listens on port 1.
            EXPECT_EQ(MuxInitZMX(mux_, &handle, number), kVaErrNoConnection) << library;
            EXPECT_FALSE(TransportLoaded(library)) << library;
            continue;
        }
        ASSERT_EQ(MuxInitZMX(mux_, &handle, number), 0) << library;
        EXPECT_TRUE(TransportLoaded(library)) << library;
        char text[80] = "";
        EXPECT_EQ(Forwarded<ZmxEntryW1>(handle, kFwdCheckDataLink)(handle & kHandleIdMask,
                                                                    reinterpret_cast<ZmxWord>(text)),
                  0);
        EXPECT_STREQ(text, "Halvery Virtual VDA,1.00,3,BUF,4096");
        EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
        EXPECT_FALSE(TransportLoaded(library)) << library;
    }
}

TEST_F(MultiplexerVirtualAdapterTest, FramesBothWaysThroughTheMultiplexer) {
    dir_.Write("HV_ZMX32.ini", "[ZMXInformation1]\nZMXParams=COM1,B115200\n");
    uint16_t handle = 0;
    ASSERT_EQ(MuxInitZMX(mux_, &handle, 1), 0);
    VaModule va("ZMXS32.DLL");  // the instance the multiplexer loaded
    ASSERT_TRUE(va.ok());
    uint16_t id = handle & kHandleIdMask;

    DataLinkSetup link{};
    link.linkCode = kLinkCodeCan1;
    ASSERT_EQ(Forwarded<ZmxEntryW1>(handle, kFwdInitDataLink)(id, reinterpret_cast<ZmxWord>(&link)), 0);
    uint8_t receiveBuffer[8] = {};
    MailboxSetup receive{};
    receive.linkCode = kLinkCodeCan1;
    receive.identifierWidth = 29;
    receive.identifier = 0x00FEF100;  // PGN 65265 from any source
    receive.mask = 0x00FFFF00;
    receive.receive = 1;
    receive.callback = OnReceive;
    receive.dataLength = sizeof receiveBuffer;
    receive.data = receiveBuffer;
    ASSERT_EQ(Forwarded<ZmxEntryW1>(handle, kFwdLoadMailBox)(id, reinterpret_cast<ZmxWord>(&receive)), 0);
    Mailbox* receiveBox = receive.mailbox;
    ASSERT_NE(receiveBox, nullptr);

    g_received.frames = 0;
    g_received.caller = std::this_thread::get_id();
    const uint8_t speed[8] = {0x11, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t other[8] = {0x22};
    ASSERT_EQ(va.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FEF100, speed, 8), 0);
    ASSERT_EQ(va.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FEEE00, other, 8), 0);  // not let through
    ASSERT_EQ(va.VaWaitIdle(5000), 0);
    EXPECT_EQ(g_received.frames.load(), 1);
    EXPECT_EQ(g_received.identifier.load(), 0x18FEF100u);
    EXPECT_EQ(g_received.firstByte.load(), 0x11);
    EXPECT_FALSE(g_received.onCallerThread.load());

    // A persistent transmit mailbox, updated through the multiplexer.
    MailboxSetup transmit{};
    transmit.linkCode = kLinkCodeCan1;
    transmit.direction = 1;
    transmit.frameKind = kFrameSingle;
    transmit.identifierWidth = 29;
    ASSERT_EQ(Forwarded<ZmxEntryW1>(handle, kFwdLoadMailBox)(id, reinterpret_cast<ZmxWord>(&transmit)), 0);
    Mailbox* box = transmit.mailbox;
    ASSERT_NE(box, nullptr);
    uint8_t claim[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    box->identifier = 0x18EEFFF9;
    box->data = claim;
    box->dataLength = 8;
    box->transmitPending = 1;
    ASSERT_EQ(Forwarded<ZmxEntryWB>(handle, kFwdUpdateTransmitMailBox)(id, reinterpret_cast<ZmxWord>(box), 0x61), 0);
    ASSERT_EQ(va.VaWaitIdle(5000), 0);
    VaFrame sent[2];
    ASSERT_EQ(va.VaTakeTransmitted(sent, 2), 1);
    EXPECT_EQ(sent[0].identifier, 0x18EEFFF9u);
    EXPECT_EQ(sent[0].length, 8u);
    EXPECT_EQ(sent[0].data[7], 8);
    EXPECT_EQ(sent[0].flags, 0x61);

    EXPECT_EQ(Forwarded<ZmxEntryW1>(handle, kFwdUnloadMailBox)(id, reinterpret_cast<ZmxWord>(box)), 0);
    EXPECT_EQ(Forwarded<ZmxEntryW1>(handle, kFwdUnloadMailBox)(id, reinterpret_cast<ZmxWord>(receiveBox)), 0);
    EXPECT_EQ(MuxRestoreZMX(mux_, handle), 0);
    EXPECT_EQ(va.VaAdapterThreadRunning(), 0);
}

}  // namespace
