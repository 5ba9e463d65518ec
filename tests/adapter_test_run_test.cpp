// The adapter test run as a user of the checker sees it: the status and data
// windows line by line, the boxes, the states and the verdict.
#include "tool/adapter_test/adapter_test.h"

#include "os/os.h"
#include "tests/support/counting_loader.h"
#include "tests/support/fake_clock.h"
#include "tests/support/text_windows.h"

#include "tests/support/scoped_hooks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kVersionWarning(const std::string& library) {
    return "Warning:  GetFileVersionInfoSize() failed on DLL [" + library +
           "].\r\n->Cannot display DLL version information.\r\n";
}

class AdapterRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        OsRecordMessageBoxes();
    }
    void TearDown() override {
        for (OsLibrary* library : held_) OsFreeLibrary(library);
    }

    // Holds a load of the test vendor library (so that its script lives
    // across the run's own load and release) and gives it a script.
    void Script(const char* library, const std::string& script) {
        OsLibrary* handle = OsPlatformHooks().loadLibrary(library);
        ASSERT_NE(handle, nullptr) << library;
        held_.push_back(handle);
        auto set = reinterpret_cast<void (*)(const char*)>(OsPlatformHooks().getProcAddress(handle, "TestVendor_Script"));
        ASSERT_NE(set, nullptr);
        set(script.c_str());
        calls_ = reinterpret_cast<void (*)(char*, int)>(OsPlatformHooks().getProcAddress(handle, "TestVendor_Calls"));
    }
    std::string Calls() {
        std::vector<char> text(100000);
        calls_(text.data(), static_cast<int>(text.size()));
        return text.data();
    }
    void Choose(const char* vendor, const char* device, const char* protocol) {
        windows_.lists[kVendorList] = vendor;
        windows_.lists[kDeviceList] = device;
        windows_.lists[kProtocolList] = protocol;
    }
    void Run() { RunAdapterTest(state_, windows_.Ui()); }
    static std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts;
        for (const OsMessageBoxCall& box : OsTakeRecordedMessageBoxes()) texts.push_back(box.text);
        return texts;
    }

    FakeClock clock_;
    TextWindows windows_;
    AdapterTestState state_;
    std::vector<OsLibrary*> held_;
    void (*calls_)(char*, int) = nullptr;
    ScopedHooks hooks_;  // the recorder of message boxes, for the test
};

TEST_F(AdapterRunTest, SuccessfulRunWritesEveryStepAndShowsTheSuccessText) {
    Script("TVPLAIN.DLL", "reads=0 0000303918FECA0001020304 -141 FFFFFFFE0A;errors=141:Message too long");
    Choose("TVPLAIN  - Test Vendor", "  1 - Adapter - USB", "J1939");
    CountingLoader loader;
    Run();
    EXPECT_EQ(windows_.status,
              "Halvery Group RP1210 Quorlin (QRN) Version 1.2\r\n" + kVersionWarning("TVPLAIN.DLL") +
                  "[RP1210_ClientConnect (Device=1, Protocol=J1939, 0, 0, 0)] - Connect SUCCESS.\r\n"
                  "Claim of J1939 Address [249] successful.\r\n"
                  "[RP1210_ReadVersion] Returns DLL Version = 1.0, API Version = 2.0\r\n"
                  "[RP1210_ReadDetailedVersion] Returns API=2.0, DLL=1.0, FW=0.1\r\n"
                  "[RP1210_Set_All_Filters_States_to_Pass] Returns SUCCESS.\r\n"
                  "Attempting read of the [J1939] databus using DLL[TVPLAIN.DLL] and Device[1]\r\n"
                  "[RP1210_ReadMessage] 141 - ERR_MESSAGE_TOO_LONG" + std::string(22, ' ') +
                  " Message too long\r\n"
                  "RP1210_ReadMessage() SUCCESS.  There were 2 messages seen in 5 seconds.\r\n");
    EXPECT_EQ(windows_.data, "TS[12345]:[18][FE][CA][00][01][02][03][04]\r\nTS[-2]:[0A]\r\n");
    EXPECT_EQ(state_.vendorKey, "TVPLAIN");
    EXPECT_EQ(state_.deviceText, "1");
    EXPECT_EQ(state_.clientId, 1);
    EXPECT_EQ(state_.connectState, 0);
    EXPECT_EQ(state_.dataState, 0);
    EXPECT_EQ(state_.messageCount, 2);
    ASSERT_EQ(windows_.results.size(), 1u);
    EXPECT_EQ(windows_.results[0].rfind("SUCCESS - Successful connect to DLL [TVPLAIN.DLL], Device# [1], and "
                                        "Protocol [J1939].",
                                        0),
              0u);
    EXPECT_EQ(Calls(),
              "ClientConnect(1,J1939,0,0,0)\n"
              "SendCommand(19,1,F9000060010081000000,10)\n"
              "ReadDetailedVersion(1)\n"
              "SendCommand(3,1,null,0)\n"
              "ClientDisconnect(1)\n"
              "reads=6000\n");  // from the start second until the clock passes start + 5
    EXPECT_EQ(loader.loads(), 1);
    EXPECT_EQ(loader.releases(), 1);
    EXPECT_EQ(state_.api.library, nullptr);
    EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(AdapterRunTest, ReadLoopLastsUntilTheClockPassesStartPlusFive) {
    FakeClock lateInTheSecond(999);
    Script("TVPLAIN.DLL", "");
    Choose("TVPLAIN", "1", "J1708");
    Run();
    EXPECT_NE(Calls().find("reads=5001\n"), std::string::npos) << Calls();
    EXPECT_EQ(lateInTheSecond.sleeps(), 5001);  // one 1 ms sleep after every poll
}

TEST_F(AdapterRunTest, ConnectResultsOutside0To127FailAndReleaseTheLibrary) {
    for (const char* result : {"128", "-1", "32767"}) {
        SCOPED_TRACE(result);
        TextWindows windows;
        Script("TVPLAIN.DLL", std::string("connect=") + result);
        windows.lists = {{kVendorList, "TVPLAIN"}, {kDeviceList, "2"}, {kProtocolList, "J1708"}};
        CountingLoader loader;
        RunAdapterTest(state_, windows.Ui());
        EXPECT_EQ(windows.status, "Halvery Group RP1210 Quorlin (QRN) Version 1.2\r\n" +
                                      kVersionWarning("TVPLAIN.DLL") +
                                      "[RP1210_ClientConnect (Device=2, Protocol=J1708, 0, 0, 0)] - Connect FAILED.\r\n");
        EXPECT_EQ(windows.data, "");
        EXPECT_EQ(state_.connectState, 1);
        EXPECT_EQ(state_.dataState, 1);
        ASSERT_EQ(windows.results.size(), 1u);
        EXPECT_EQ(windows.results[0].rfind("FAILURE - Unable to connect to DLL [TVPLAIN.DLL], Device# [2]", 0), 0u);
        EXPECT_EQ(loader.releases(), 1);
        EXPECT_EQ(Calls().find("ClientDisconnect"), std::string::npos);
    }
}

TEST_F(AdapterRunTest, ClientIdsZeroAnd127CountAsConnected) {
    for (const char* result : {"0", "127"}) {
        Script("TVPLAIN.DLL", std::string("connect=") + result);
        Choose("TVPLAIN", "1", "J1708");
        Run();
        EXPECT_EQ(state_.connectState, 0) << result;
        EXPECT_EQ(state_.dataState, 1) << result;
        EXPECT_NE(Calls().find(std::string("ClientDisconnect(") + result + ")"), std::string::npos);
    }
}

TEST_F(AdapterRunTest, OnlyTheExactTextJ1939ClaimsAnAddress) {
    for (const char* protocol : {"J1939:Baud=500", "j1939", "J1708"}) {
        Script("TVPLAIN.DLL", "");
        Choose("TVPLAIN", "1", protocol);
        Run();
        EXPECT_EQ(windows_.status.find("Claim"), std::string::npos) << protocol;
        EXPECT_EQ(Calls().find("SendCommand(19"), std::string::npos) << protocol;
    }
    Script("TVPLAIN.DLL", "claim=146");
    Choose("TVPLAIN", "1", "J1939");
    Run();
    EXPECT_NE(windows_.status.find("Warning:  Cannot claim J1939 Address of [249]. Is there another PC on the data "
                                   "bus?\r\n"),
              std::string::npos);
    EXPECT_EQ(state_.connectState, 0);
}

TEST_F(AdapterRunTest, NoMessagesFiltersRefusedAndDisconnectErrorsAreReported) {
    Script("TVRP1210A.DLL", "filters=143;disconnect=129;errors=129:Bad client;reads=-203");
    Choose("TVRP1210A", "3", "J1708");
    Run();
    const std::string& s = windows_.status;
    EXPECT_NE(s.find("INFORMATIONAL:  The function [RP1210_ReadDetailedVersion] was not found in DLL.\r\n-> This DLL "
                     "is most likely an older RP1210A DLL, not RP1210B.\r\n"),
              std::string::npos);
    EXPECT_NE(s.find("[RP1210_Set_All_Filters_States_to_Pass] Returns FAILURE.\r\n"), std::string::npos);
    EXPECT_NE(s.find("[RP1210_ReadMessage] ERROR_CODE_UNKNOWN 203 \r\n"), std::string::npos);
    EXPECT_NE(s.find("RP1210_ReadMessage() FAILED.  Failure to see messages on databus!\r\n"), std::string::npos);
    EXPECT_NE(s.find("[RP1210_ClientDisconnect] 129 - ERR_INVALID_CLIENT_ID" + std::string(21, ' ') +
                     " Bad client\r\n"),
              std::string::npos)
        << s;
    EXPECT_EQ(state_.dataState, 1);
    ASSERT_EQ(windows_.results.size(), 1u);
    EXPECT_NE(windows_.results[0].find("=> There was a FAILURE seeing messages on the data bus."), std::string::npos);
}

TEST_F(AdapterRunTest, ShortAndOverlongMessagesGiveSafeDataLines) {
    Script("TVPLAIN.DLL", "reads=80000001 0102 010203 01020304 big:3000");
    Choose("TVPLAIN", "1", "CAN");
    Run();
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = windows_.data.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(windows_.data.substr(start, end - start));
    }
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "TS[-2147483647]:");  // the top bit set: a negative number
    EXPECT_EQ(lines[3], "TS[16909060]:");
    // The library claims 3000 bytes; only the 2000-byte buffer is shown, in
    // lines of at most 999 characters.
    EXPECT_EQ(lines[4].rfind("TS[66051]:[04][05]", 0), 0u);
    size_t bytes = 0;
    for (size_t i = 4; i < lines.size(); ++i) {
        EXPECT_LE(lines[i].size(), 999u);
        for (size_t p = lines[i].find('['); p != std::string::npos; p = lines[i].find('[', p + 1)) ++bytes;
    }
    EXPECT_EQ(bytes, 1 + 1996u);  // the TS bracket and the bytes after the timestamp
    EXPECT_EQ(state_.messageCount, 5);
}

TEST_F(AdapterRunTest, EmptyVendorListTriesDotDllAndShowsNoResults) {
    Run();  // no list has a current item
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Unable to load library [.DLL], cannot run test (most likely, the "
                                                   "DLL does not exist in the Windows search path)."});
    EXPECT_EQ(windows_.status, "Halvery Group RP1210 Quorlin (QRN) Version 1.2\r\n" + kVersionWarning(".DLL"));
    EXPECT_EQ(state_.connectState, -1);
    EXPECT_EQ(state_.dataState, -1);
    EXPECT_TRUE(windows_.results.empty());
}

TEST_F(AdapterRunTest, MissingProcedureShowsBothBoxesAndKeepsTheLibraryForTheNextRun) {
    Choose("TVNOSEND", "1", "J1939");
    CountingLoader loader;
    Run();
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{
                              "Error:  Could not find procedure \"RP1210_SendMessage\" in DLL!\n",
                              "Unable to load library [TVNOSEND.DLL], cannot run test (most likely, the DLL does "
                              "not exist in the Windows search path)."}));
    EXPECT_NE(state_.api.library, nullptr);
    EXPECT_EQ(loader.releases(), 0);
    // The next run releases it first.
    Script("TVPLAIN.DLL", "");
    Choose("TVPLAIN", "1", "J1708");
    Run();
    EXPECT_EQ(loader.loads(), 2);
    EXPECT_EQ(loader.releases(), 2);
    EXPECT_EQ(state_.api.library, nullptr);
}

TEST_F(AdapterRunTest, TwoRunsInARowReleaseEachLibraryOnce) {
    Script("TVPLAIN.DLL", "reads=0000000101");
    Choose("TVPLAIN", "1", "J1708");
    CountingLoader loader;
    Run();
    Run();
    EXPECT_EQ(loader.loads(), 2);
    EXPECT_EQ(loader.releases(), 2);
    EXPECT_EQ(windows_.results.size(), 2u);
    EXPECT_EQ(windows_.status.find("Halvery Group"), 0u);  // the second run cleared the window first
    EXPECT_EQ(windows_.status.rfind("Halvery Group"), 0u);
}

TEST_F(AdapterRunTest, ListsWithoutACurrentItemKeepTheEarlierChoice) {
    Script("TVPLAIN.DLL", "");
    Choose("TVPLAIN", "1", "J1708");
    Run();
    windows_.lists.erase(kProtocolList);
    windows_.lists[kDeviceList] = " 10 - Other - Auto";
    Run();
    EXPECT_EQ(state_.deviceText, "10");
    EXPECT_EQ(state_.protocolString, "J1708");
    EXPECT_NE(Calls().find("ClientConnect(10,J1708,0,0,0)"), std::string::npos);
}

}  // namespace
