// The virtual adapter: the transport contract as the multiplexer and the
// RP1210 library use it (ids, mailboxes, deliveries, transmissions,
// callbacks on the adapter thread) and the test controls.
#include "sim/va_client.h"
#include "sim/va_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char* const kAllFiles[] = {"ZMXS32.DLL",   "ZMXI32.DLL",   "ZMXT32.DLL",   "ZMXU98.DLL",  "ZMXU2K.DLL",
                                 "ZMXH32.DLL",   "ZMXN32.DLL",   "ZMXW32.DLL",   "ZMXSRP32.DLL", "ZMXIRP32.DLL",
                                 "ZMXTRP32.DLL", "ZMXHRP32.DLL", "ZMXURP2K.DLL", "ZMXURP98.DLL", "ZMXWRP32.DLL"};

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// What a mailbox callback saw.
struct Seen {
    std::thread::id thread;
    const Mailbox* mailbox;
    uint8_t linkCode, width, destination, mid, first;
    uint32_t identifier, receiveTime, transmitTime;
    const uint8_t* dataPointer;
    std::vector<uint8_t> data;
    uint8_t idBytes[4];
};

// Collects callbacks of the mailboxes whose owner it is (Mailbox 0x841).
struct Recorder {
    std::mutex lock;
    std::vector<Seen> seen;
    std::function<void(Mailbox*)> hook;  // runs after recording, on the adapter thread

    size_t count() {
        std::lock_guard<std::mutex> guard(lock);
        return seen.size();
    }
    std::vector<Seen> take() {
        std::lock_guard<std::mutex> guard(lock);
        return std::move(seen);
    }
    std::vector<uint32_t> ids() {
        std::vector<uint32_t> out;
        for (const Seen& s : take()) out.push_back(s.identifier);
        return out;
    }
};

void HV_CALL RecordCallback(Mailbox* mailbox) {
    auto* recorder = static_cast<Recorder*>(mailbox->owner);
    Seen s{};
    s.thread = std::this_thread::get_id();
    s.mailbox = mailbox;
    s.linkCode = mailbox->linkCode;
    s.width = mailbox->identifierWidth;
    s.destination = mailbox->destination;
    s.mid = mailbox->j1708Header[1];
    s.first = mailbox->j1708Header[2];
    s.identifier = mailbox->identifier;
    std::memcpy(s.idBytes, &mailbox->identifier, 4);
    s.receiveTime = mailbox->receiveTime;
    s.transmitTime = mailbox->transmitTime;
    s.dataPointer = mailbox->data;
    if (mailbox->data != nullptr) s.data.assign(mailbox->data, mailbox->data + mailbox->dataLength);
    std::function<void(Mailbox*)> hook;
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->seen.push_back(s);
        hook = recorder->hook;
    }
    if (hook) hook(mailbox);
}

// Data-link error callbacks.
std::mutex g_errorLock;
std::vector<std::pair<Mailbox*, ZmxWord>> g_errors;
std::thread::id g_errorThread;
void HV_CALL RecordError(Mailbox* mailbox, ZmxWord value) {
    std::lock_guard<std::mutex> guard(g_errorLock);
    g_errors.emplace_back(mailbox, value);
    g_errorThread = std::this_thread::get_id();
}

ZmxWord W(const void* pointer) { return reinterpret_cast<ZmxWord>(pointer); }

struct MailboxPlan {
    uint8_t linkCode = kLinkCodeCan1;
    uint8_t direction = 0;
    uint8_t frameKind = kFrameSingle;
    uint8_t oneShot = 0;
    uint8_t width = 29;
    uint32_t identifier = 0;
    uint32_t mask = 0;
    uint8_t destination = 0;
    uint8_t header[3] = {0, 0, 0};
    uint8_t* data = nullptr;
    uint16_t dataLength = 0;
    Recorder* recorder = nullptr;
};

// A receive mailbox (J1708: no identifier, frame kind 0).
MailboxPlan Rx(Recorder* recorder, uint8_t link = kLinkCodeCan1, uint8_t width = 29, uint32_t code = 0,
               uint32_t mask = 0) {
    MailboxPlan s;
    s.linkCode = link;
    s.width = link == kLinkCodeJ1708 ? 0 : width;
    s.frameKind = link == kLinkCodeJ1708 ? 0 : kFrameSingle;
    s.identifier = code;
    s.mask = mask;
    s.recorder = recorder;
    return s;
}
MailboxPlan Tx(Recorder* recorder, uint8_t link = kLinkCodeCan1, uint8_t width = 29) {
    MailboxPlan s = Rx(recorder, link, width);
    s.direction = 1;
    return s;
}
MailboxPlan Transport(Recorder* recorder, uint8_t kind, uint8_t destination) {
    MailboxPlan s = Rx(recorder);
    s.frameKind = kind;
    s.destination = destination;
    return s;
}

class VirtualAdapter : public ::testing::Test {
protected:
    explicit VirtualAdapter(const char* file = "ZMXS32.DLL") : va_(file) {}

    void SetUp() override {
        ASSERT_TRUE(va_.ok());
        va_.VaResetControls();
    }
    void TearDown() override {
        // Whatever a test left open: restore it through its own kind's entry.
        VaAdapterInfo infos[16];
        int open = va_.VaListAdapters(infos, 16);
        for (int i = 0; i < open && i < 16; ++i) Restore(infos[i].id, infos[i].openEntry);
        EXPECT_EQ(0, va_.VaAdapterThreadRunning());
    }

    int32_t Restore(uint16_t id, uint8_t entry) {
        switch (entry) {
            case kVaOpenPCCard: return va_.RestorePCCard(id);
            case kVaOpenTcpIp:
            case kVaOpenTcpIpListen: return va_.RestoreTCP_IP(id);
            case kVaOpenUsbLink: return va_.RestoreUSBLink(id);
            default: return va_.RestoreCommLink(id);
        }
    }

    // A serial adapter with data links on the given link codes.
    uint16_t Open(std::initializer_list<uint8_t> links = {kLinkCodeCan1}) {
        uint16_t handle = 0;
        LinkParams params{};
        params.port = 1;
        EXPECT_EQ(0, va_.InitCommLink(&handle, &params));
        uint16_t id = handle & 0x1FF;
        for (uint8_t link : links) {
            DataLinkSetup setup{};
            setup.linkCode = link;
            setup.errorCallback = RecordError;
            EXPECT_EQ(0, va_.InitDataLink(id, W(&setup)));
        }
        return id;
    }

    int32_t Load(uint16_t id, const MailboxPlan& plan, Mailbox** out) {
        MailboxSetup setup{};
        setup.linkCode = plan.linkCode;
        setup.direction = plan.direction;
        setup.frameKind = plan.frameKind;
        setup.oneShot = plan.oneShot;
        setup.identifierWidth = plan.width;
        setup.identifier = plan.identifier;
        setup.destination = plan.destination;
        setup.mask = plan.mask;
        setup.receive = plan.direction == 0 ? 1 : 0;
        std::memcpy(setup.j1708Header, plan.header, 3);
        setup.callback = plan.recorder != nullptr ? RecordCallback : nullptr;
        setup.owner = plan.recorder;
        setup.dataLength = plan.dataLength;
        setup.data = plan.data;
        int32_t result = va_.LoadMailBox(id, W(&setup));
        if (out != nullptr) *out = setup.mailbox;
        return result;
    }
    Mailbox* Receiver(uint16_t id, MailboxPlan plan) {
        Mailbox* mailbox = nullptr;
        EXPECT_EQ(0, Load(id, plan, &mailbox));
        return mailbox;
    }

    std::vector<VaFrame> Transmitted() {
        std::vector<VaFrame> frames(static_cast<size_t>(va_.VaTakeTransmitted(nullptr, 0)));
        frames.resize(static_cast<size_t>(va_.VaTakeTransmitted(frames.data(), static_cast<uint32_t>(frames.size()))));
        return frames;
    }
    uint32_t Timer(uint16_t id) {
        uint32_t value = 0;
        EXPECT_EQ(0, va_.RequestTimerValue(id, W(&value)));
        return value;
    }
    void Idle() { ASSERT_EQ(0, va_.VaWaitIdle(20000)); }

    VaModule va_;
};

// ---- Files and exports -------------------------------------------------------

TEST(VirtualAdapterFiles, EveryTransportFileOffersEveryEntryAndIsItsOwnInstance) {
    for (const char* file : kAllFiles) {
        VaModule va(file);
        EXPECT_TRUE(va.ok()) << file << " missing " << (va.missing().empty() ? "the file" : va.missing()[0]);
    }
    // Two file names are two adapters with separate state.
    VaModule serial("ZMXS32.DLL");
    VaModule usb("ZMXU2K.DLL");
    ASSERT_TRUE(serial.ok() && usb.ok());
    uint16_t handle = 0;
    LinkParams params{};
    ASSERT_EQ(0, serial.InitCommLink(&handle, &params));
    EXPECT_EQ(1, serial.VaListAdapters(nullptr, 0));
    EXPECT_EQ(0, usb.VaListAdapters(nullptr, 0));
    EXPECT_EQ(0, usb.VaAdapterThreadRunning());
    EXPECT_EQ(0, serial.RestoreCommLink(handle & 0x1FF));
}

// ---- Open and restore ------------------------------------------------------------

TEST_F(VirtualAdapter, OpenWritesTheIdIntoBits0To8AndRecordsTheLink) {
    uint16_t first = 0xF600;  // bits 9-15 belong to the caller
    LinkParams params{};
    params.port = 3;
    params.baudCode = 5;
    std::strcpy(params.deviceName, "VDA-3");
    ASSERT_EQ(0, va_.InitCommLink(&first, &params));
    EXPECT_EQ(0xF600, first & 0xFE00);
    uint16_t second = 0;
    ASSERT_EQ(0, va_.InitTCP_IPListen(&second, &params));
    uint16_t a = first & 0x1FF, b = second & 0x1FF;
    EXPECT_GE(a, 1);
    EXPECT_GE(b, 1);
    EXPECT_NE(a, b);
    EXPECT_EQ(1, va_.VaAdapterThreadRunning());

    VaAdapterInfo infos[4];
    ASSERT_EQ(2, va_.VaListAdapters(infos, 4));
    const VaAdapterInfo& serial = infos[0].id == a ? infos[0] : infos[1];
    const VaAdapterInfo& tcp = infos[0].id == a ? infos[1] : infos[0];
    EXPECT_EQ(kVaOpenCommLink, serial.openEntry);
    EXPECT_EQ(kVaOpenTcpIpListen, tcp.openEntry);
    EXPECT_EQ(3, serial.params.port);
    EXPECT_EQ(5, serial.params.baudCode);
    EXPECT_STREQ("VDA-3", serial.params.deviceName);

    EXPECT_EQ(kVaErrWrongLink, va_.RestoreCommLink(b));  // opened as TCP/IP
    EXPECT_EQ(kVaErrWrongLink, va_.RestoreUSBLink(a));
    EXPECT_EQ(0, va_.RestoreTCP_IP(b));
    EXPECT_EQ(kVaErrUnknownAdapter, va_.RestoreTCP_IP(b));
    EXPECT_EQ(1, va_.VaAdapterThreadRunning());
    EXPECT_EQ(0, va_.RestoreCommLink(a));
    EXPECT_EQ(0, va_.VaAdapterThreadRunning());  // stopped with the last adapter
}

TEST_F(VirtualAdapter, AllIdsInUseGiveAnErrorAndIdsAreNotReusedAtOnce) {
    std::vector<uint16_t> ids;
    LinkParams params{};
    for (int i = 0; i < 511; ++i) {
        uint16_t handle = 0;
        ASSERT_EQ(0, va_.InitPCCard(&handle, &params)) << i;
        ids.push_back(handle & 0x1FF);
    }
    EXPECT_EQ(511u, std::set<uint16_t>(ids.begin(), ids.end()).size());
    uint16_t handle = 0x1234;
    EXPECT_EQ(kVaErrNoFreeId, va_.InitPCCard(&handle, &params));
    EXPECT_EQ(0x1234, handle);
    EXPECT_EQ(0, va_.RestorePCCard(ids[10]));
    EXPECT_EQ(0, va_.InitPCCard(&handle, &params));
    EXPECT_EQ(ids[10], handle & 0x1FF);  // the only free one
    for (uint16_t id : ids) EXPECT_EQ(0, va_.RestorePCCard(id));
    EXPECT_EQ(0, va_.VaAdapterThreadRunning());
}

// ---- Bad input --------------------------------------------------------------------

TEST_F(VirtualAdapter, UnknownIdsAndNullPointersGiveErrorCodes) {
    uint16_t id = Open();
    uint16_t unknown = id == 511 ? 1 : id + 1;
    // Every forwarded entry with an id that is not open, and with the handle's
    // link-kind bits still set.
    for (uint16_t bad : {unknown, static_cast<uint16_t>(id | 0x2000), uint16_t{0}}) {
#define VA_CALL_W0(name) va_.name(bad)
#define VA_CALL_W1(name) va_.name(bad, 0)
#define VA_CALL_WB(name) va_.name(bad, 0, 0x41)
#define VA_CALL_B1(name) va_.name(bad, 3)
#define VA_CALL_BW(name) va_.name(bad, 3, 0)
#define VA_CALL_WSS(name) va_.name(bad, 0, 1, 2)
#define VA_EXPECT_UNKNOWN(name, shape, serialN) EXPECT_EQ(kVaErrUnknownAdapter, VA_CALL_##shape(name)) << #name;
        ZMX_FORWARDED_OPERATIONS(VA_EXPECT_UNKNOWN)
#undef VA_EXPECT_UNKNOWN
    }
    LinkParams params{};
    uint16_t handle = 0;
    EXPECT_EQ(kVaErrNullPointer, va_.InitCommLink(nullptr, &params));
    EXPECT_EQ(kVaErrNullPointer, va_.InitUSBLink(&handle, nullptr));
    EXPECT_EQ(kVaErrNullPointer, va_.CheckDataLink(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.RequestTimerValue(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.InitDataLink(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.LoadMailBox(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.UnloadMailBox(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.ResetZMX(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.ConfigureTransportProtocol(id, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.UpdateTransmitMailBox(id, 0, 0x41));

    Mailbox stranger{};
    EXPECT_EQ(kVaErrUnknownMailbox, va_.UnloadMailBox(id, W(&stranger)));
    EXPECT_EQ(kVaErrUnknownMailbox, va_.UpdateTransmitMailBoxAsync(id, W(&stranger), 0x41));

    DataLinkSetup link{};
    link.linkCode = 5;
    EXPECT_EQ(kVaErrBadParameter, va_.InitDataLink(id, W(&link)));

    MailboxPlan plan;
    plan.linkCode = 9;
    EXPECT_EQ(kVaErrBadParameter, Load(id, plan, nullptr));
    plan.linkCode = kLinkCodeCan2;  // no InitDataLink for channel 2
    EXPECT_EQ(kVaErrNoDataLink, Load(id, plan, nullptr));
    plan.linkCode = kLinkCodeCan1;
    plan.width = 24;
    EXPECT_EQ(kVaErrBadParameter, Load(id, plan, nullptr));
    plan.width = 11;
    plan.frameKind = kFrameConnectionTransport;  // transport needs 29 bits
    EXPECT_EQ(kVaErrBadParameter, Load(id, plan, nullptr));

    // A receive mailbox cannot transmit; a mailbox of another adapter is not this one's.
    Mailbox* receive = Receiver(id, MailboxPlan{});
    EXPECT_EQ(kVaErrWrongDirection, va_.UpdateTransmitMailBox(id, W(receive), 0x41));
    uint16_t other = Open();
    EXPECT_EQ(kVaErrUnknownMailbox, va_.UnloadMailBox(other, W(receive)));
    EXPECT_EQ(0, va_.UnloadMailBox(id, W(receive)));
    EXPECT_EQ(kVaErrUnknownMailbox, va_.UnloadMailBox(id, W(receive)));

    // The control interface checks its input too.
    uint8_t data[9] = {};
    EXPECT_EQ(kVaErrBadParameter, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 1, data, 9));
    EXPECT_EQ(kVaErrBadParameter, va_.VaInjectFrame(id, kLinkCodeCan1, 24, 1, data, 8));
    EXPECT_EQ(kVaErrBadParameter, va_.VaInjectFrame(id, 4, 29, 1, data, 8));
    EXPECT_EQ(kVaErrNullPointer, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 1, nullptr, 8));
    EXPECT_EQ(kVaErrUnknownAdapter, va_.VaInjectFrame(400, kLinkCodeCan1, 29, 1, data, 8));
    EXPECT_EQ(kVaErrBadParameter, va_.VaInjectTransport(id, kLinkCodeCan1, 1, 0xFF, data, 8));
    EXPECT_EQ(kVaErrNullPointer, va_.VaInjectJ1708(id, nullptr, 3));
    EXPECT_EQ(kVaErrBadParameter, va_.VaInjectJ1708(id, data, 0));
    EXPECT_EQ(kVaErrUnknownMailbox, va_.VaRaiseDataLinkError(id, kLinkCodeCan1, &stranger, 1));
    EXPECT_EQ(kVaErrNoDataLink, va_.VaRaiseDataLinkError(id, kLinkCodeCan2, nullptr, 1));
    EXPECT_EQ(kVaErrNoFile, va_.VaStartReplay("no-such-capture.log", 0, 0));
    EXPECT_EQ(kVaErrNullPointer, va_.VaStartReplay(nullptr, 0, 0));
    EXPECT_EQ(-1, va_.VaListMailboxes(400, nullptr, 0));
    EXPECT_EQ(-1, va_.VaCallCount("NoSuchEntry"));
    EXPECT_EQ(-1, va_.VaCallCount(nullptr));
}

TEST_F(VirtualAdapter, EveryEntryCountsItsCallsFailedOnesToo) {
    uint16_t id = Open();
    EXPECT_EQ(1, va_.VaCallCount("InitCommLink"));
    EXPECT_EQ(1, va_.VaCallCount("InitDataLink"));
    uint32_t value = 0;
    va_.RequestTimerValue(id, W(&value));
    va_.RequestTimerValue(id, 0);
    va_.RequestTimerValue(0, 0);
    EXPECT_EQ(3, va_.VaCallCount("RequestTimerValue"));
    EXPECT_EQ(0, va_.GoToLoader(id));
    EXPECT_EQ(0, va_.ReadZMXBuffer(id, 0, 1, 2));
    EXPECT_EQ(1, va_.VaCallCount("GoToLoader"));
    EXPECT_EQ(1, va_.VaCallCount("ReadZMXBuffer"));
    EXPECT_EQ(0, va_.VaCallCount("LoadZMXBuffer"));
    EXPECT_EQ(0, va_.SetBaudRate(id, 250000));
    VaAdapterInfo info;
    ASSERT_EQ(1, va_.VaListAdapters(&info, 1));
    EXPECT_EQ(250000u, info.baudRate);
    EXPECT_EQ(1u << kLinkCodeCan1, info.dataLinkMask);
    EXPECT_EQ(0, va_.VaResetControls());
    EXPECT_EQ(0, va_.VaCallCount("RequestTimerValue"));
    EXPECT_EQ(0, va_.RestoreCommLink(id));
    EXPECT_EQ(1, va_.VaCallCount("RestoreCommLink"));
}

// ---- Description, timer, silence ------------------------------------------------------

TEST_F(VirtualAdapter, DescriptionHasTheAdapterTypeAndBufferSizeAndFitsEightyBytes) {
    uint16_t id = Open();
    char text[120];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(0, va_.CheckDataLink(id, W(text)));
    std::string description(text);
    ASSERT_LT(description.size(), 80u);
    // Third comma-separated field: the adapter type; ",BUF" and a size.
    size_t first = description.find(',');
    size_t second = description.find(',', first + 1);
    ASSERT_NE(std::string::npos, second);
    EXPECT_EQ(3, std::atoi(description.c_str() + second + 1));
    size_t buf = description.find(",BUF");
    ASSERT_NE(std::string::npos, buf);
    EXPECT_EQ(4096, std::atoi(description.c_str() + buf + 5));

    std::string longText = "Scripted VDA,2.00,7," + std::string(100, 'y');
    ASSERT_EQ(0, va_.VaSetDescription(longText.c_str()));
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(0, va_.CheckDataLink(id, W(text)));
    EXPECT_EQ(longText.substr(0, 79), std::string(text));
    EXPECT_EQ('x', text[80]);  // nothing beyond the caller's 80 bytes
    va_.VaSetDescription(nullptr);
    ASSERT_EQ(0, va_.CheckDataLink(id, W(text)));
    EXPECT_EQ(description, std::string(text));
}

TEST_F(VirtualAdapter, TimerRunsInMillisecondsLoadsResetsAndPauses) {
    uint16_t id = Open();
    uint32_t t1 = Timer(id);
    std::this_thread::sleep_for(30ms);
    uint32_t t2 = Timer(id);
    EXPECT_GE(t2 - t1, 25u);

    ASSERT_EQ(0, va_.LoadTimer(id, 1000000));
    uint32_t loaded = Timer(id);
    EXPECT_GE(loaded, 1000000u);
    EXPECT_LT(loaded, 1000000u + 60000u);
    ASSERT_EQ(0, va_.VaResetTimer(id));
    EXPECT_LT(Timer(id), loaded);  // jumped back
    EXPECT_EQ(kVaErrUnknownAdapter, va_.VaResetTimer(id + 1));

    ASSERT_EQ(0, va_.LoadTimer(id, 500000));
    uint8_t command = 0;
    ASSERT_EQ(0, va_.ResetZMX(id, W(&command)));
    EXPECT_LT(Timer(id), 500000u);  // a reset restarts the timer

    ASSERT_EQ(0, va_.PauseTimer(id));
    uint32_t frozen = Timer(id);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(frozen, Timer(id));
    ASSERT_EQ(0, va_.ResumeTimer(id));
    std::this_thread::sleep_for(20ms);
    EXPECT_GE(Timer(id), frozen + 15);
}

TEST_F(VirtualAdapter, SilentAdapterAnswersNothingButLetsGoAndComesBack) {
    uint16_t id = Open();
    Recorder recorder;
    MailboxPlan plan = Rx(&recorder);
    Mailbox* mailbox = Receiver(id, plan);
    ASSERT_EQ(0, va_.VaSetSilent(1));
    uint32_t value = 0;
    char text[80];
    EXPECT_EQ(kVaErrSilent, va_.RequestTimerValue(id, W(&value)));
    EXPECT_EQ(kVaErrSilent, va_.CheckDataLink(id, W(text)));
    EXPECT_EQ(kVaErrSilent, Load(id, plan, nullptr));
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(0, va_.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FEF100, data, 8));
    Idle();
    EXPECT_EQ(0u, recorder.count());  // a silent adapter hears nothing
    ASSERT_EQ(0, va_.VaSetSilent(0));
    EXPECT_EQ(0, va_.RequestTimerValue(id, W(&value)));
    ASSERT_EQ(0, va_.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FEF100, data, 8));
    Idle();
    EXPECT_EQ(1u, recorder.count());
    ASSERT_EQ(0, va_.VaSetSilent(1));
    EXPECT_EQ(0, va_.UnloadMailBox(id, W(mailbox)));
    EXPECT_EQ(0, va_.RestoreCommLink(id));  // closing works while silent
}

TEST_F(VirtualAdapter, PowerLossSilencesLosesCompletionsAndComesBackRebooted) {
    // For one adapter and for the whole module: the same story.
    for (bool wholeModule : {false, true}) {
        SCOPED_TRACE(wholeModule ? "module" : "adapter");
        uint16_t id = Open();
        Recorder recorder, sent;
        Mailbox* rx = Receiver(id, Rx(&recorder));
        Mailbox* tx = Receiver(id, Tx(&sent));
        ASSERT_EQ(0, va_.LoadTimer(id, 90000));
        ASSERT_EQ(0, va_.VaHoldCompletions(1));
        uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        tx->data = data;
        tx->dataLength = 8;
        tx->identifier = 0x18FEF100;
        ASSERT_EQ(0, va_.UpdateTransmitMailBox(id, W(tx), 0x41));  // on the wire when the power goes

        ASSERT_EQ(0, va_.VaSetPower(wholeModule ? 0 : id, kVaPowerOff));
        uint32_t value = 0;
        EXPECT_EQ(kVaErrSilent, va_.RequestTimerValue(id, W(&value)));
        ASSERT_EQ(0, va_.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FEF100, data, 8));
        EXPECT_EQ(1, va_.VaHoldCompletions(0));  // let it run: lost with the power
        Idle();
        EXPECT_EQ(0u, recorder.count());
        EXPECT_EQ(0u, sent.count());
        uint16_t handle = 0;
        LinkParams params{};
        EXPECT_EQ(wholeModule ? kVaErrSilent : 0, va_.InitCommLink(&handle, &params));  // no adapter to open
        if (!wholeModule) {
            EXPECT_EQ(0, va_.RestoreCommLink(handle & 0x1FF));
        }

        ASSERT_EQ(0, va_.VaSetPower(wholeModule ? 0 : id, kVaPowerOn));
        EXPECT_LT(Timer(id), 5000u);  // started again at 0
        VaAdapterInfo info{};
        ASSERT_EQ(1, va_.VaListAdapters(&info, 1));
        EXPECT_EQ(info.boots, 1u);
        EXPECT_EQ(info.dataLinkMask, 0u);  // no data link
        EXPECT_EQ(kVaErrNoDataLink, Load(id, Rx(&recorder), nullptr));
        EXPECT_EQ(kVaErrUnknownMailbox, va_.UpdateTransmitMailBox(id, W(tx), 0x41));  // dead mailboxes
        VaMailboxInfo boxes[2];
        ASSERT_EQ(2, va_.VaListMailboxes(id, boxes, 2));
        EXPECT_EQ(boxes[0].stale + boxes[1].stale, 2);
        DataLinkSetup setup{};
        setup.linkCode = kLinkCodeCan1;
        ASSERT_EQ(0, va_.InitDataLink(id, W(&setup)));
        Recorder fresh;
        Receiver(id, Rx(&fresh));
        ASSERT_EQ(0, va_.VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FEF100, data, 8));
        Idle();
        EXPECT_EQ(0u, recorder.count());  // the dead one hears nothing
        EXPECT_EQ(1u, fresh.count());
        EXPECT_EQ(0, va_.UnloadMailBox(id, W(rx)));  // unloading a dead one works
        EXPECT_EQ(0, va_.RestoreCommLink(id));
    }
}

TEST_F(VirtualAdapter, AGoneHandleNeverAnswersAgainWhileAFreshOpenWorks) {
    uint16_t id = Open();
    ASSERT_EQ(0, va_.VaSetPower(id, kVaPowerGone));
    ASSERT_EQ(0, va_.VaSetPower(id, kVaPowerOn));  // no effect on a gone handle
    uint32_t value = 0;
    EXPECT_EQ(kVaErrSilent, va_.RequestTimerValue(id, W(&value)));
    uint16_t fresh = Open();
    EXPECT_NE(fresh, id);
    EXPECT_EQ(0, va_.RequestTimerValue(fresh, W(&value)));
    EXPECT_EQ(0, va_.RestoreCommLink(id));
    EXPECT_EQ(0, va_.RestoreCommLink(fresh));
    EXPECT_EQ(kVaErrUnknownAdapter, va_.VaSetPower(id, kVaPowerOff));
    EXPECT_EQ(kVaErrBadParameter, va_.VaSetPower(0, 7));
}

// ---- Receiving ------------------------------------------------------------------------

TEST_F(VirtualAdapter, MailboxesReceiveWhatTheirWidthCodeAndMaskLetThrough) {
    uint16_t id = Open({kLinkCodeCan1, kLinkCodeCan2, kLinkCodeJ1850, kLinkCodeJ1708});
    Recorder pgn, standard, standardHigh, all29, channel2, j1850, j1708;
    Receiver(id, Rx(&pgn, kLinkCodeCan1, 29, 0x00FEF100, 0x00FFFF00));  // PGN 0xFEF1, any source
    Receiver(id, Rx(&standard, kLinkCodeCan1, 11, 0x123, 0x7F0));
    Receiver(id, Rx(&standardHigh, kLinkCodeCan1, 11, 0xFFFFF923, 0xFFFFFFFF));  // bits above 11 ignored
    Receiver(id, Rx(&all29, kLinkCodeCan1, 29, 0x12345678, 0));                  // mask 0 accepts all
    Receiver(id, Rx(&channel2, kLinkCodeCan2));
    Receiver(id, Rx(&j1850, kLinkCodeJ1850, 24, 0x6A0000, 0xFF0000));
    Receiver(id, Rx(&j1708, kLinkCodeJ1708));

    uint8_t d[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    auto can = [&](uint8_t link, uint8_t width, uint32_t identifier) {
        ASSERT_EQ(0, va_.VaInjectFrame(0, link, width, identifier, d, 8));
    };
    can(kLinkCodeCan1, 29, 0x18FEF100);
    can(kLinkCodeCan1, 29, 0x0CFEF1FE);
    can(kLinkCodeCan1, 29, 0x18FEF200);
    can(kLinkCodeCan1, 29, 0x123);  // low bits of the standard code, but 29-bit
    can(kLinkCodeCan1, 11, 0x125);
    can(kLinkCodeCan1, 11, 0x123);
    can(kLinkCodeCan1, 11, 0x133);
    can(kLinkCodeCan2, 29, 0x18FEF100);
    ASSERT_EQ(0, va_.VaInjectFrame(0, kLinkCodeJ1850, 24, 0x6A1234, d, 3));
    ASSERT_EQ(0, va_.VaInjectFrame(0, kLinkCodeJ1850, 24, 0x481234, d, 3));
    uint8_t j[4] = {128, 190, 0x10, 0x27};
    ASSERT_EQ(0, va_.VaInjectJ1708(0, j, 4));
    Idle();

    EXPECT_EQ((std::vector<uint32_t>{0x18FEF100, 0x0CFEF1FE}), pgn.ids());
    EXPECT_EQ((std::vector<uint32_t>{0x125, 0x123}), standard.ids());
    EXPECT_EQ((std::vector<uint32_t>{0x123}), standardHigh.ids());
    EXPECT_EQ((std::vector<uint32_t>{0x18FEF100, 0x0CFEF1FE, 0x18FEF200, 0x123}), all29.ids());
    EXPECT_EQ((std::vector<uint32_t>{0x18FEF100}), channel2.ids());
    EXPECT_EQ((std::vector<uint32_t>{0x6A1234}), j1850.ids());
    EXPECT_EQ(1u, j1708.count());
}

TEST_F(VirtualAdapter, DeliveryFillsTheMailboxOnTheAdapterThread) {
    uint16_t id = Open({kLinkCodeCan1, kLinkCodeJ1850, kLinkCodeJ1708});
    ASSERT_EQ(0, va_.LoadTimer(id, 70000));
    Recorder small, own, j1850, j1708;
    uint8_t buffer[4 + 8];
    std::memset(buffer, 0xEE, sizeof buffer);
    MailboxPlan s = Rx(&small, kLinkCodeCan1, 29, 0xAB, 0xFF);  // source address 0xAB
    s.data = buffer;
    s.dataLength = 4;  // cut to the buffer the setup gave
    s.destination = 0x42;
    Mailbox* smallBox = Receiver(id, s);
    ASSERT_NE(nullptr, smallBox);
    void* owner = smallBox->owner;  // packed fields: read by value
    uint32_t mask = smallBox->mask;
    uint8_t destination = smallBox->destination;
    EXPECT_EQ(static_cast<void*>(&small), owner);
    EXPECT_EQ(0x42, destination);
    EXPECT_EQ(0xFFu, mask);
    Receiver(id, Rx(&own));  // no buffer: the mailbox's own area
    Receiver(id, Rx(&j1850, kLinkCodeJ1850, 24));
    Receiver(id, Rx(&j1708, kLinkCodeJ1708));

    uint8_t d[8] = {10, 11, 12, 13, 14, 15, 16, 17};
    ASSERT_EQ(0, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 0x18FEF1AB, d, 8));
    ASSERT_EQ(0, va_.VaInjectFrame(id, kLinkCodeJ1850, 24, 0x6A1234, d, 5));
    uint8_t message[5] = {128, 190, 0x10, 0x27, 0x99};
    ASSERT_EQ(0, va_.VaInjectJ1708(id, message, 5));
    Idle();
    uint32_t now = Timer(id);

    auto a = small.take();
    ASSERT_EQ(1u, a.size());
    EXPECT_NE(std::this_thread::get_id(), a[0].thread);
    EXPECT_EQ(smallBox, a[0].mailbox);
    EXPECT_EQ(kLinkCodeCan1, a[0].linkCode);
    EXPECT_EQ(29, a[0].width);
    EXPECT_EQ(0x18FEF1ABu, a[0].identifier);
    EXPECT_EQ(buffer, a[0].dataPointer);
    EXPECT_EQ((std::vector<uint8_t>{10, 11, 12, 13}), a[0].data);
    EXPECT_EQ(0xEE, buffer[4]);  // nothing written past the buffer
    EXPECT_GE(a[0].receiveTime, 70000u);
    EXPECT_LE(a[0].receiveTime, now);
    EXPECT_EQ(0x42, a[0].destination);  // single frames leave the destination byte alone

    auto b = own.take();
    ASSERT_EQ(1u, b.size());
    EXPECT_EQ(a[0].thread, b[0].thread);  // one adapter thread
    EXPECT_NE(buffer, b[0].dataPointer);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 8), b[0].data);

    auto c = j1850.take();
    ASSERT_EQ(1u, c.size());
    EXPECT_EQ(0x34, c[0].idBytes[0]);  // 0x06..0x08: the 24-bit header, low byte first
    EXPECT_EQ(0x12, c[0].idBytes[1]);
    EXPECT_EQ(0x6A, c[0].idBytes[2]);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 5), c[0].data);

    auto e = j1708.take();
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ(kLinkCodeJ1708, e[0].linkCode);
    EXPECT_EQ(128, e[0].mid);
    EXPECT_EQ(190, e[0].first);
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x27, 0x99}), e[0].data);
}

TEST_F(VirtualAdapter, TransportMessagesGoToBroadcastOrAddressedMailboxes) {
    uint16_t id = Open();
    Recorder single, broadcast, addressed, small;
    Receiver(id, Rx(&single));
    Receiver(id, Transport(&broadcast, kFrameBroadcastTransport, 0x25));
    Receiver(id, Transport(&addressed, kFrameConnectionTransport, 0x25));
    Receiver(id, Transport(&small, kFrameConnectionSmall, 0x30));
    std::vector<uint8_t> data(1785);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(0, va_.VaInjectTransport(id, kLinkCodeCan1, 0x18FEE300, 0xFF, data.data(), 20));
    ASSERT_EQ(0, va_.VaInjectTransport(id, kLinkCodeCan1, 0x18EF2500, 0x25, data.data(), 1785));
    ASSERT_EQ(0, va_.VaInjectTransport(id, kLinkCodeCan1, 0x18EF3000, 0x30, data.data(), 9));
    ASSERT_EQ(0, va_.VaInjectTransport(id, kLinkCodeCan1, 0x18EF4000, 0x40, data.data(), 9));
    ASSERT_EQ(0, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 0x18FEF100, data.data(), 8));
    Idle();
    auto b = broadcast.take();
    ASSERT_EQ(1u, b.size());
    EXPECT_EQ(0xFF, b[0].destination);
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 20), b[0].data);
    auto a = addressed.take();
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ(0x25, a[0].destination);
    EXPECT_EQ(data, a[0].data);
    EXPECT_EQ((std::vector<uint32_t>{0x18EF3000}), small.ids());
    EXPECT_EQ((std::vector<uint32_t>{0x18FEF100}), single.ids());
}

// ---- Transmitting -----------------------------------------------------------------------

TEST_F(VirtualAdapter, TransmitCompletesOnTheAdapterThreadAndReachesTheOtherAdapters) {
    uint16_t sender = Open();
    uint16_t peer = Open();
    ASSERT_EQ(0, va_.LoadTimer(sender, 5000));
    Recorder completions, echo, heard;
    Mailbox* box = Receiver(sender, Tx(&completions));
    Mailbox* box11 = Receiver(sender, Tx(&completions, kLinkCodeCan1, 11));
    Receiver(sender, Rx(&echo));
    Receiver(peer, Rx(&heard));
    Receiver(peer, Rx(&heard, kLinkCodeCan1, 11));

    uint8_t payload[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    box->identifier = 0x18FEF1AA;
    box->data = payload;
    box->dataLength = 8;
    box->transmitPending = 1;
    ASSERT_EQ(0, va_.UpdateTransmitMailBox(sender, W(box), 0x43));
    box11->identifier = 0x0000F123;  // bits above 11 are not the frame's
    box11->data = payload;
    box11->dataLength = 3;
    ASSERT_EQ(0, va_.UpdateTransmitMailBoxAsync(sender, W(box11), 0x61));
    Idle();

    auto done = completions.take();
    ASSERT_EQ(2u, done.size());
    EXPECT_EQ(box, done[0].mailbox);
    EXPECT_EQ(box11, done[1].mailbox);
    for (const Seen& s : done) {
        EXPECT_NE(std::this_thread::get_id(), s.thread);
        EXPECT_GE(s.transmitTime, 5000u);
    }
    std::vector<VaFrame> log = Transmitted();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(sender, log[0].adapterId);
    EXPECT_EQ(kLinkCodeCan1, log[0].linkCode);
    EXPECT_EQ(29, log[0].identifierWidth);
    EXPECT_EQ(0x18FEF1AAu, log[0].identifier);
    EXPECT_EQ(0x43, log[0].flags);
    EXPECT_EQ(8u, log[0].length);
    EXPECT_EQ(0, std::memcmp(payload, log[0].data, 8));
    EXPECT_EQ(11, log[1].identifierWidth);
    EXPECT_EQ(0x123u, log[1].identifier);
    EXPECT_EQ(0x61, log[1].flags);
    EXPECT_EQ(3u, log[1].length);
    EXPECT_EQ(0, va_.VaTakeTransmitted(nullptr, 0));  // taken means cleared

    auto got = heard.take();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x18FEF1AAu, got[0].identifier);
    EXPECT_EQ(std::vector<uint8_t>(payload, payload + 8), got[0].data);
    EXPECT_EQ(11, got[1].width);
    EXPECT_EQ(0x123u, got[1].identifier);
    EXPECT_EQ(0u, echo.count());  // no echo to the sender
}

TEST_F(VirtualAdapter, TransmitReturnsWithoutWaitingForTheCallback) {
    uint16_t id = Open();
    // The sender "holds a lock" around its update call, as the library holds
    // its locks; the callback waits for that lock. An update that waited for
    // the callback would leave the callback to give up after 5 s.
    std::mutex lock;
    std::condition_variable cv;
    bool held = false;
    std::atomic<int> callbackGotLock{-1};
    Recorder completions;
    completions.hook = [&](Mailbox*) {
        std::unique_lock<std::mutex> guard(lock);
        callbackGotLock = cv.wait_for(guard, 5s, [&] { return !held; }) ? 1 : 0;
    };
    Mailbox* box = Receiver(id, Tx(&completions));
    uint8_t payload[2] = {1, 2};
    box->data = payload;
    box->dataLength = 2;
    for (auto update : {va_.UpdateTransmitMailBox, va_.UpdateTransmitMailBoxAsync}) {
        callbackGotLock = -1;
        {
            std::lock_guard<std::mutex> guard(lock);
            held = true;
        }
        EXPECT_EQ(0, update(id, W(box), 0x41));
        {
            std::lock_guard<std::mutex> guard(lock);
            held = false;
        }
        cv.notify_all();
        Idle();
        EXPECT_EQ(1, callbackGotLock.load());
    }
}

TEST_F(VirtualAdapter, OneShotMailboxesSendAtOnceAndAreFreedByTheAdapter) {
    uint16_t sender = Open({kLinkCodeCan1, kLinkCodeJ1708});
    uint16_t peer = Open({kLinkCodeCan1, kLinkCodeJ1708});
    Recorder completions, transport, j1708;
    Receiver(peer, Transport(&transport, kFrameConnectionTransport, 0x25));
    Receiver(peer, Rx(&j1708, kLinkCodeJ1708));

    std::vector<uint8_t> message(20);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(0x30 + i);
    MailboxPlan one = Tx(&completions);
    one.oneShot = 1;
    one.frameKind = kFrameConnectionTransport;
    one.identifier = 0x18EF2580;
    one.destination = 0x25;
    one.data = message.data();
    one.dataLength = 20;
    Mailbox* sent = nullptr;
    ASSERT_EQ(0, Load(sender, one, &sent));
    ASSERT_NE(nullptr, sent);
    MailboxPlan onej = Tx(&completions, kLinkCodeJ1708);
    onej.oneShot = 1;
    onej.header[0] = 8;    // priority
    onej.header[1] = 128;  // MID
    onej.header[2] = 190;  // second byte
    onej.data = message.data();
    onej.dataLength = 2;
    ASSERT_EQ(0, Load(sender, onej, nullptr));
    Idle();

    auto done = completions.take();
    ASSERT_EQ(2u, done.size());
    EXPECT_EQ(sent, done[0].mailbox);
    EXPECT_NE(std::this_thread::get_id(), done[0].thread);
    EXPECT_EQ(0, va_.VaListMailboxes(sender, nullptr, 0));  // freed by the adapter
    EXPECT_EQ(kVaErrUnknownMailbox, va_.UnloadMailBox(sender, W(sent)));

    std::vector<VaFrame> log = Transmitted();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(1, log[0].oneShot);
    EXPECT_EQ(kFrameConnectionTransport, log[0].frameKind);
    EXPECT_EQ(0x25, log[0].destination);
    EXPECT_EQ(20u, log[0].length);
    EXPECT_EQ(kLinkCodeJ1708, log[1].linkCode);
    EXPECT_EQ(8, log[1].priority);
    ASSERT_EQ(4u, log[1].length);
    EXPECT_EQ((std::vector<uint8_t>{128, 190, 0x30, 0x31}), std::vector<uint8_t>(log[1].data, log[1].data + 4));

    auto t = transport.take();
    ASSERT_EQ(1u, t.size());
    EXPECT_EQ(message, t[0].data);
    EXPECT_EQ(0x25, t[0].destination);
    auto j = j1708.take();
    ASSERT_EQ(1u, j.size());
    EXPECT_EQ(128, j[0].mid);
    EXPECT_EQ(190, j[0].first);
    EXPECT_EQ((std::vector<uint8_t>{0x30, 0x31}), j[0].data);
}

TEST_F(VirtualAdapter, ForcedLoadResultsAnswerTheNextLoads) {
    uint16_t id = Open();
    ASSERT_EQ(0, va_.VaFailLoads(2, kVaBusy));
    Mailbox* box = nullptr;
    EXPECT_EQ(kVaBusy, Load(id, MailboxPlan{}, &box));
    EXPECT_EQ(nullptr, box);
    EXPECT_EQ(kVaBusy, Load(id, MailboxPlan{}, &box));
    EXPECT_EQ(0, va_.VaListMailboxes(id, nullptr, 0));
    EXPECT_EQ(0, Load(id, MailboxPlan{}, &box));
    EXPECT_NE(nullptr, box);
    ASSERT_EQ(0, va_.VaFailLoads(1, 55));
    EXPECT_EQ(55, Load(id, MailboxPlan{}, nullptr));
    EXPECT_EQ(0, Load(id, MailboxPlan{}, nullptr));
    EXPECT_EQ(2, va_.VaListMailboxes(id, nullptr, 0));
}

TEST_F(VirtualAdapter, RefusedEntriesAndTheCallLogWithTheRecordsPassed) {
    uint16_t id = Open();  // one InitDataLink for link code 3
    ASSERT_EQ(0, va_.VaFailEntry("CheckDataLink", 1, 2, 77));
    EXPECT_EQ(kVaErrBadParameter, va_.VaFailEntry("NoSuchEntry", 0, 1, 1));
    char text[80];
    EXPECT_EQ(0, va_.CheckDataLink(id, W(text)));  // skipped
    EXPECT_EQ(77, va_.CheckDataLink(id, W(text)));
    EXPECT_EQ(77, va_.CheckDataLink(id, W(text)));
    EXPECT_EQ(0, va_.CheckDataLink(id, W(text)));  // the refusals are used up
    MailboxPlan plan;
    plan.identifier = 0x18FEF100;
    ASSERT_EQ(0, Load(id, plan, nullptr));

    std::vector<VaCall> calls(static_cast<size_t>(va_.VaTakeCalls(nullptr, 0)));
    calls.resize(static_cast<size_t>(va_.VaTakeCalls(calls.data(), static_cast<uint32_t>(calls.size()))));
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_STREQ(calls[0].entry, "InitCommLink");
    EXPECT_STREQ(calls[1].entry, "InitDataLink");
    ASSERT_EQ(calls[1].recordLength, sizeof(DataLinkSetup));
    EXPECT_EQ(calls[1].record[0], kLinkCodeCan1);
    EXPECT_EQ(calls[1].adapterId, id);
    EXPECT_EQ(calls[3].result, 77);
    EXPECT_EQ(calls[3].forced, 1);
    EXPECT_EQ(calls[5].forced, 0);
    EXPECT_STREQ(calls[6].entry, "LoadMailBox");
    MailboxSetup passed;
    ASSERT_EQ(calls[6].recordLength, sizeof passed);
    std::memcpy(&passed, calls[6].record, sizeof passed);
    EXPECT_EQ(uint32_t{passed.identifier}, 0x18FEF100u);
    EXPECT_EQ(static_cast<Mailbox*>(passed.mailbox), nullptr);  // as passed, before the adapter answered
    EXPECT_EQ(0, va_.VaTakeCalls(nullptr, 0));
}

TEST_F(VirtualAdapter, AFrameGoesIntoOneMailboxOfEachOwner) {
    uint16_t id = Open();
    Recorder first, second;
    MailboxPlan all = Rx(&first);
    MailboxPlan filter = Rx(&first);
    filter.identifier = 0x18FECA00;
    filter.mask = 0x1FFFFFFF;
    Receiver(id, filter);
    Receiver(id, all);  // the same owner: the frame lands in the first that accepts it only
    Receiver(id, Rx(&second));
    uint8_t data[] = {1};
    ASSERT_EQ(0, va_.VaInjectFrame(id, 3, 29, 0x18FECA00, data, 1));
    ASSERT_EQ(0, va_.VaInjectFrame(id, 3, 29, 0x18FECB00, data, 1));
    Idle();
    EXPECT_EQ(first.count(), 2u);
    EXPECT_EQ(second.count(), 2u);
}

TEST_F(VirtualAdapter, DataLinkErrorCallbackArrivesOnTheAdapterThread) {
    {
        std::lock_guard<std::mutex> guard(g_errorLock);
        g_errors.clear();
    }
    uint16_t id = Open({kLinkCodeCan1, kLinkCodeJ1708});
    Mailbox* box = Receiver(id, MailboxPlan{});
    ASSERT_EQ(0, va_.VaRaiseDataLinkError(id, kLinkCodeCan1, box, 1234));
    Idle();
    {
        std::lock_guard<std::mutex> guard(g_errorLock);
        ASSERT_EQ(1u, g_errors.size());
        EXPECT_EQ(box, g_errors[0].first);
        EXPECT_EQ(1234u, g_errors[0].second);
        EXPECT_NE(std::this_thread::get_id(), g_errorThread);
        g_errors.clear();
    }
    ASSERT_EQ(0, va_.VaRaiseDataLinkError(id, 0, nullptr, 7));  // every data link
    Idle();
    std::lock_guard<std::mutex> guard(g_errorLock);
    ASSERT_EQ(2u, g_errors.size());
    EXPECT_EQ(nullptr, g_errors[1].first);
    EXPECT_EQ(7u, g_errors[1].second);
}

// ---- Unloading while callbacks run ---------------------------------------------------------

TEST_F(VirtualAdapter, MailboxUnloadsItselfFromItsOwnCallback) {
    uint16_t id = Open();
    Recorder recorder;
    std::atomic<int32_t> result{-1};
    recorder.hook = [&](Mailbox* mailbox) {
        result = va_.UnloadMailBox(id, W(mailbox));
    };
    Receiver(id, Rx(&recorder));
    Receiver(id, Rx(&recorder));  // a second one, which unloads itself too
    uint8_t d[8] = {};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 0x100 + i, d, 8));
    Idle();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(2u, recorder.count());  // each mailbox heard the first frame only
    EXPECT_EQ(0, va_.VaListMailboxes(id, nullptr, 0));
}

TEST_F(VirtualAdapter, UnloadAndRestoreFromAnotherThreadWaitForTheRunningCallback) {
    for (bool restore : {false, true}) {
        uint16_t id = Open();
        std::mutex gate;
        std::condition_variable cv;
        bool entered = false, release = false;
        std::atomic<bool> returned{false};
        std::atomic<uint16_t> lengthAfterWait{0};
        Recorder recorder;
        recorder.hook = [&](Mailbox* mailbox) {
            std::unique_lock<std::mutex> lock(gate);
            entered = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
            lengthAfterWait = mailbox->dataLength;  // the mailbox must still be alive
        };
        Mailbox* box = Receiver(id, Rx(&recorder));
        uint8_t d[5] = {1, 2, 3, 4, 5};
        ASSERT_EQ(0, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 0x1, d, 5));
        {
            std::unique_lock<std::mutex> lock(gate);
            ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return entered; }));
        }
        std::atomic<int32_t> result{-1};
        std::thread closer([&] {
            result = restore ? va_.RestoreCommLink(id) : va_.UnloadMailBox(id, W(box));
            returned = true;
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(returned.load());  // still waiting for the callback
        {
            std::lock_guard<std::mutex> lock(gate);
            release = true;
        }
        cv.notify_all();
        closer.join();
        EXPECT_EQ(0, result.load());
        EXPECT_EQ(5, lengthAfterWait.load());
        if (restore) {
            EXPECT_EQ(0, va_.VaAdapterThreadRunning());
        } else {
            EXPECT_EQ(0, va_.VaListMailboxes(id, nullptr, 0));
            EXPECT_EQ(0, va_.RestoreCommLink(id));
        }
    }
}

TEST_F(VirtualAdapter, LoadsAndUnloadsRaceWithDeliveriesSafely) {
    uint16_t id = Open();
    uint16_t peer = Open();
    std::atomic<bool> stop{false};
    std::thread injector([&] {
        uint8_t d[8] = {};
        for (uint32_t i = 0; !stop; ++i) {
            va_.VaInjectFrame(0, kLinkCodeCan1, 29, i & 0x1FFFFFFF, d, 8);
            if (i % 64 == 0) std::this_thread::yield();
        }
    });
    Recorder recorder;
    MailboxPlan plan = Rx(&recorder);
    for (int round = 0; round < 300; ++round) {
        Mailbox* box = Receiver(round % 2 ? id : peer, plan);
        ASSERT_NE(nullptr, box);
        if (round % 3 == 0) std::this_thread::yield();
        ASSERT_EQ(0, va_.UnloadMailBox(round % 2 ? id : peer, W(box)));
    }
    stop = true;
    injector.join();
    Receiver(id, plan);
    Receiver(peer, plan);
    EXPECT_EQ(0, va_.RestoreCommLink(peer));  // with frames still queued
    EXPECT_EQ(0, va_.RestoreCommLink(id));
    EXPECT_EQ(0, va_.VaAdapterThreadRunning());
}

// The last restore from inside a callback: the thread cannot join itself.
// (A file of its own: the module stays loaded afterwards.)
class VirtualAdapterHrp : public VirtualAdapter {
protected:
    VirtualAdapterHrp() : VirtualAdapter("ZMXHRP32.DLL") {}
};

TEST_F(VirtualAdapterHrp, LastRestoreFromInsideACallbackStopsTheThread) {
    uint16_t id = Open();
    Recorder recorder;
    std::atomic<int32_t> result{-1};
    recorder.hook = [&](Mailbox*) { result = va_.RestoreCommLink(id); };
    Receiver(id, Rx(&recorder));
    uint8_t d[1] = {};
    ASSERT_EQ(0, va_.VaInjectFrame(id, kLinkCodeCan1, 29, 1, d, 1));
    ASSERT_TRUE(WaitFor([&] { return result.load() != -1; }));
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(0, va_.VaAdapterThreadRunning());
    // The module opens again with a new thread and works.
    uint16_t again = Open();
    Recorder second;
    Receiver(again, Rx(&second));
    ASSERT_EQ(0, va_.VaInjectFrame(again, kLinkCodeCan1, 29, 2, d, 1));
    Idle();
    EXPECT_EQ((std::vector<uint32_t>{2}), second.ids());
}

// ---- Traffic sources -------------------------------------------------------------------------

struct CaptureFrame {
    uint32_t identifier;
    uint8_t width;
    std::vector<uint8_t> data;
};

// The capture as its lines say, read apart from the adapter's own reader.
std::vector<CaptureFrame> ReadCaptureForTest() {
    std::vector<CaptureFrame> frames;
    std::FILE* file = std::fopen(CAPTURE_LOG, "r");
    if (file == nullptr) return frames;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
        char* hash = std::strchr(line, '#');
        char* space = std::strrchr(line, ' ');
        if (hash == nullptr || space == nullptr || space > hash) continue;
        CaptureFrame frame;
        std::string id(space + 1, hash);
        frame.identifier = static_cast<uint32_t>(std::stoul(id, nullptr, 16));
        frame.width = id.size() == 8 ? 29 : 11;
        for (char* p = hash + 1; std::isxdigit(static_cast<unsigned char>(p[0])) && p[1]; p += 2) {
            frame.data.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
        }
        frames.push_back(frame);
    }
    std::fclose(file);
    return frames;
}

TEST_F(VirtualAdapter, FastReplayDeliversTheWholeCaptureInOrder) {
    std::vector<CaptureFrame> expected = ReadCaptureForTest();
    ASSERT_GT(expected.size(), 17000u);
    uint16_t id = Open();
    Recorder recorder;
    Receiver(id, Rx(&recorder));
    Receiver(id, Rx(&recorder, kLinkCodeCan1, 11));
    ASSERT_EQ(0, va_.VaStartReplay(CAPTURE_LOG, 0, 0));
    ASSERT_EQ(0, va_.VaWaitIdle(120000));
    uint32_t delivered = 0, total = 0;
    int32_t done = 0;
    ASSERT_EQ(0, va_.VaReplayStatus(&delivered, &total, &done));
    EXPECT_EQ(1, done);
    EXPECT_EQ(expected.size(), total);
    EXPECT_EQ(total, delivered);
    auto got = recorder.take();
    ASSERT_EQ(expected.size(), got.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].identifier != expected[i].identifier || got[i].width != expected[i].width ||
            got[i].data != expected[i].data || got[i].linkCode != kLinkCodeCan1) {
            if (++mismatches <= 3) ADD_FAILURE() << "frame " << i << " differs from the capture";
        }
    }
    EXPECT_EQ(0u, mismatches);
}

TEST_F(VirtualAdapter, ReplayReadsStandardIdsAndSkipsLinesThatAreNoFrames) {
    char path[1024];
    ASSERT_GT(va_.VaModulePath(path, sizeof path), 0);
    std::string log = std::string(path) + ".test.log";
    std::ofstream(log) << "(100.000000) can1 123#DEADBEEF\n"
                       << "not a frame\n"
                       << "(100.000500) can1 18FEF100#0102\r\n"
                       << "(100.000700) can1 7FF#R\n"
                       << "(100.000800) can1 1FFFFFFF#0\n"
                       << "(100.001000) can1 1FFFFFFF#\n";
    uint16_t id = Open();
    Recorder recorder;
    Receiver(id, Rx(&recorder));
    Receiver(id, Rx(&recorder, kLinkCodeCan1, 11));
    int32_t started = va_.VaStartReplay(log.c_str(), 0, 0);
    std::remove(log.c_str());
    ASSERT_EQ(0, started);
    Idle();
    auto got = recorder.take();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(11, got[0].width);
    EXPECT_EQ(0x123u, got[0].identifier);
    EXPECT_EQ((std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}), got[0].data);
    EXPECT_EQ(29, got[1].width);
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), got[1].data);
    EXPECT_EQ(0x1FFFFFFFu, got[2].identifier);
    EXPECT_TRUE(got[2].data.empty());
}

TEST_F(VirtualAdapter, PacedReplayRunsAtTheCapturesPaceUntilStopped) {
    uint16_t id = Open();
    Recorder recorder;
    Receiver(id, Rx(&recorder));
    ASSERT_EQ(0, va_.VaStartReplay(CAPTURE_LOG, 1, 0));  // about 38 s at its own pace
    ASSERT_TRUE(WaitFor([&] { return recorder.count() > 0; }));
    uint32_t delivered = 0, total = 0;
    int32_t done = 1;
    va_.VaReplayStatus(&delivered, &total, &done);
    EXPECT_EQ(0, done);
    EXPECT_LT(delivered, total);
    ASSERT_EQ(0, va_.VaStopReplay());
    ASSERT_EQ(0, va_.VaWaitIdle(5000));
    uint32_t stoppedAt = 0;
    va_.VaReplayStatus(&stoppedAt, &total, &done);
    EXPECT_EQ(1, done);
    std::this_thread::sleep_for(20ms);
    uint32_t later = 0;
    va_.VaReplayStatus(&later, nullptr, nullptr);
    EXPECT_EQ(stoppedAt, later);
}

TEST_F(VirtualAdapter, PeriodicJ1708MessagesFillTheHeaderBytesAndData) {
    uint16_t id = Open({kLinkCodeJ1708});
    Recorder recorder;
    Receiver(id, Rx(&recorder, kLinkCodeJ1708));
    ASSERT_EQ(0, va_.VaSetJ1708Periodic(5));
    ASSERT_TRUE(WaitFor([&] { return recorder.count() >= 6; }));
    ASSERT_EQ(0, va_.VaSetJ1708Periodic(0));
    Idle();
    std::set<uint8_t> pids;
    for (const Seen& s : recorder.take()) {
        EXPECT_EQ(kLinkCodeJ1708, s.linkCode);
        EXPECT_EQ(128, s.mid);
        pids.insert(s.first);
        size_t expectedLength = s.first == 190 ? 2 : s.first == 84 ? 1 : s.first == 110 ? 3 : 99;
        EXPECT_EQ(expectedLength, s.data.size()) << "PID " << int(s.first);
        if (s.first == 190) {
            unsigned rpm = (s.data[0] | s.data[1] << 8) / 4;
            EXPECT_GE(rpm, 600u);
            EXPECT_LT(rpm, 1400u);
        }
    }
    EXPECT_EQ((std::set<uint8_t>{84, 110, 190}), pids);
}

// The script beside the module, for programs that cannot call the controls.
class VirtualAdapterScript : public ::testing::Test {};

TEST_F(VirtualAdapterScript, ScriptBesideTheModuleIsReadAtTheFirstOpen) {
    std::string scriptPath;
    {
        VaModule va("ZMXN32.DLL");
        ASSERT_TRUE(va.ok());
        char path[1024];
        ASSERT_GT(va.VaModulePath(path, sizeof path), 0);
        scriptPath = path;
        scriptPath = scriptPath.substr(0, scriptPath.find_last_of('.')) + ".SCRIPT";
    }
    {
        std::ofstream script(scriptPath);
        script << "description=Scripted VDA,2.00,6,BUF,2048\n"
               << "replay=" << CAPTURE_LOG << "\n"
               << "speed=0\n";
    }
    VaModule va("ZMXN32.DLL");
    uint16_t handle = 0;
    LinkParams params{};
    int32_t opened = va.ok() ? va.InitCommLink(&handle, &params) : -1;
    std::remove(scriptPath.c_str());  // read at the open; gone for later loads
    ASSERT_EQ(0, opened);
    uint16_t id = handle & 0x1FF;
    char text[80];
    ASSERT_EQ(0, va.CheckDataLink(id, W(text)));
    EXPECT_STREQ("Scripted VDA,2.00,6,BUF,2048", text);
    ASSERT_EQ(0, va.VaWaitIdle(120000));
    uint32_t delivered = 0, total = 0;
    int32_t done = 0;
    va.VaReplayStatus(&delivered, &total, &done);
    EXPECT_EQ(ReadCaptureForTest().size(), total);
    EXPECT_EQ(total, delivered);
    EXPECT_EQ(1, done);
    EXPECT_EQ(0, va.RestoreCommLink(id));
}

// ---- The TCP/IP link against a bus server that misbehaves ------------------------------

// The server end of a TCP/IP adapter's connection: answers the handshake,
// then does what the test tells it with `socket`.
class BusServer {
public:
    BusServer() { EXPECT_TRUE(listener_.Listen(0)); }

    // Opens a TCP/IP adapter of `va` on this server, with its CAN 1 data link.
    uint16_t OpenAdapter(VaModule& va) {
        bool answered = false;
        std::thread serve([&] { answered = Handshake(); });
        LinkParams params{};
        const uint8_t endpoint[8] = {127, 0, 0, 1, static_cast<uint8_t>(listener_.Port()),
                                     static_cast<uint8_t>(listener_.Port() >> 8), 0, 0};
        std::memcpy(&params, endpoint, sizeof endpoint);  // address, then the port
        uint16_t handle = 0;
        int32_t opened = va.InitTCP_IP(&handle, &params);
        serve.join();
        EXPECT_EQ(0, opened);
        EXPECT_TRUE(answered);
        uint16_t id = handle & 0x1FF;
        DataLinkSetup setup{};
        setup.linkCode = kLinkCodeCan1;
        setup.errorCallback = RecordError;
        EXPECT_EQ(0, va.InitDataLink(id, W(&setup)));
        return id;
    }
    // Takes the adapter's next connection and answers its handshake.
    bool AcceptAgain() { return Handshake(); }

    // Reads for at most `limit` until `done(everything read)`; everything read.
    std::string ReadUntil(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done(read_) && std::chrono::steady_clock::now() < end) {
            char buffer[65536];
            int n = socket.Receive(buffer, sizeof buffer, 20);
            if (n < 0) break;
            read_.append(buffer, static_cast<size_t>(n));
        }
        return read_;
    }
    // Whether the adapter closes the connection within `limit` (what it sent is read and dropped).
    bool ClosedWithin(std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            char buffer[65536];
            if (socket.Receive(buffer, sizeof buffer, 20) < 0) return true;
        }
        return false;
    }

    va::TcpSocket socket;

private:
    bool Handshake() {
        if (!listener_.Accept(socket, 5000) || !socket.SendAll("< hi >", 6, 1000)) return false;
        for (const char* request : {"< open ", "< rawmode >"}) {
            std::string seen = ReadUntil([&](const std::string& text) { return text.find(request) != std::string::npos; }, 5000ms);
            if (seen.find(request) == std::string::npos || !socket.SendAll("< ok >", 6, 1000)) return false;
        }
        read_.clear();
        return true;
    }

    va::TcpListener listener_;
    std::string read_;
};

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

TEST_F(VirtualAdapter, ABusServerThatStopsReadingCostsItsConnectionNotTheModule) {
    BusServer server;
    uint16_t tcp = server.OpenAdapter(va_);
    uint16_t other = Open();
    Recorder completions;
    Mailbox* box = Receiver(tcp, Tx(&completions));
    uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    box->identifier = 0x18FEF1AA;
    box->data = payload;
    box->dataLength = 8;
    // The server reads nothing while frames are sent; the module's other
    // adapters keep answering.
    std::atomic<bool> sending{true};
    size_t accepted = 0;
    int32_t last = 0;
    std::thread sender([&] {
        auto end = std::chrono::steady_clock::now() + 60s;  // the socket buffers fill long before
        while (std::chrono::steady_clock::now() < end) {
            last = va_.UpdateTransmitMailBoxAsync(tcp, W(box), 0x41);
            if (last != 0) break;
            ++accepted;
        }
        sending = false;
    });
    auto slowest = 0ms;
    while (sending) {
        auto start = std::chrono::steady_clock::now();
        uint32_t value = 0;
        EXPECT_EQ(0, va_.RequestTimerValue(other, W(&value)));
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
        std::this_thread::sleep_for(1ms);
    }
    sender.join();
    EXPECT_LT(slowest.count(), 500) << "a call of another adapter waited for the stalled connection";
    // The connection goes and the adapter is silent, as on any broken one:
    // what it wrote is completed, no more.
    EXPECT_EQ(kVaErrSilent, last);
    EXPECT_TRUE(server.ClosedWithin(10000ms));
    EXPECT_EQ(kVaErrSilent, va_.UpdateTransmitMailBoxAsync(tcp, W(box), 0x41));
    Idle();
    EXPECT_GT(completions.count(), 0u);
    EXPECT_LT(completions.count(), accepted);
    EXPECT_EQ(0, va_.RestoreTCP_IP(tcp));
}

TEST_F(VirtualAdapter, ATcpIpAdapterComesBackFromItsPowerCycleBootedOnce) {
    BusServer server;
    uint16_t tcp = server.OpenAdapter(va_);
    ASSERT_EQ(0, va_.VaSetPower(tcp, kVaPowerOff));
    EXPECT_TRUE(server.ClosedWithin(5000ms));
    ASSERT_EQ(0, va_.VaSetPower(tcp, kVaPowerOn));
    ASSERT_TRUE(server.AcceptAgain());  // it connects again by itself
    uint32_t value = 0;
    EXPECT_TRUE(WaitFor([&] { return va_.RequestTimerValue(tcp, W(&value)) == 0; }, 5000ms));
    VaAdapterInfo info{};
    ASSERT_EQ(1, va_.VaListAdapters(&info, 1));
    EXPECT_EQ(1u, info.boots);
    EXPECT_EQ(0, va_.RestoreTCP_IP(tcp));
}

TEST_F(VirtualAdapter, MessagesThatAreNotFramesStopNeitherTheTransportTimersNorTheFrames) {
    BusServer server;
    uint16_t tcp = server.OpenAdapter(va_);
    Recorder done, heard;
    Receiver(tcp, Rx(&heard));
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        std::string chunk;
        while (chunk.size() < 60000) chunk += "<>";
        chunk += "< frame 18FEF133 0.000000 0102030405060708 >";
        while (flooding && server.socket.SendAll(chunk.data(), chunk.size(), 2000)) {
        }
    });
    // A BAM of 20 bytes: its announcement now, its three packets 50 ms apart
    // (J1939 lets a BAM's packets be at most 200 ms apart: all within 2 s).
    std::vector<uint8_t> message(20, 0x5A);
    MailboxPlan bam = Tx(&done);
    bam.oneShot = 1;
    bam.frameKind = kFrameBroadcastTransport;
    bam.identifier = 0x18FEE380;
    bam.destination = 0xFF;
    bam.data = message.data();
    bam.dataLength = 20;
    EXPECT_EQ(0, Load(tcp, bam, nullptr));  // not ASSERT: the flood thread must be joined
    std::string seen = server.ReadUntil([](const std::string& text) { return Occurrences(text, "send 1CEBFF80") >= 3; },
                                        2000ms);
    flooding = false;
    flood.join();
    EXPECT_EQ(1u, Occurrences(seen, "send 1CECFF80"));
    EXPECT_EQ(3u, Occurrences(seen, "send 1CEBFF80"));
    Idle();
    EXPECT_EQ(1u, done.count());
    EXPECT_GT(heard.count(), 0u);
    EXPECT_EQ(0, va_.RestoreTCP_IP(tcp));
}

TEST_F(VirtualAdapter, FramesBeyondTheDeliveryQueueAreDroppedAndCounted) {
    BusServer server;
    uint16_t tcp = server.OpenAdapter(va_);
    // The adapter thread is held in the first callback while 100000 frames arrive.
    std::mutex lock;
    std::condition_variable cv;
    bool release = false;
    Recorder heard;
    heard.hook = [&](Mailbox*) {
        std::unique_lock<std::mutex> guard(lock);
        cv.wait_for(guard, 60s, [&] { return release; });
    };
    Receiver(tcp, Rx(&heard));
    const uint32_t kFrames = 100000;
    std::string frames;
    for (uint32_t i = 0; i < kFrames; ++i) frames += "< frame 18FEF100 0.000000 0011223344556677 >";
    EXPECT_TRUE(server.socket.SendAll(frames.data(), frames.size(), 30000));  // not ASSERT: the callback waits on this frame's locals
    uint32_t waiting = 0, dropped = 0;
    EXPECT_TRUE(WaitFor([&] {
        va_.VaDeliveryQueue(&waiting, &dropped);
        return waiting + dropped + heard.count() >= kFrames;
    }, 30000ms));
    EXPECT_LE(waiting, kVaDeliveryQueueLimit);
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    cv.notify_all();
    Idle();
    EXPECT_EQ(kFrames - dropped, heard.count());
    EXPECT_EQ(0, va_.RestoreTCP_IP(tcp));
}

}  // namespace
