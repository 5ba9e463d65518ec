// The checker QRN.EXE as a technician meets it, operated by the GUI driver
// under Wine and Xvfb: each test writes its own RP1210 INI files and test
// vendor libraries into the Windows directory, starts the checker, works its
// windows and reads what they show. Pictures of the windows visited are kept
// in the gui-pictures directory beside this program.
#include "testkit/gui/gui_driver.h"
#include "tool/resources/resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kTitle[] = "Halvery Group RP1210 Quorlin (QRN) Version 1.2";
const char kResultsTitle[] = "Test Results Discussion and Next Troubleshooting Steps";
const char kAboutTitle[] = "About Halvery Group RP1210 Quorlin (QRN)";
const char kRepairTitle[] = "Fix RP121032.INI File - Make Current Vendor First in List";
const COLORREF kGreen = RGB(0, 255, 0), kRed = RGB(255, 0, 0), kWhite = RGB(255, 255, 255),
               kYellow = RGB(255, 255, 0);
const DWORD kWait = 20000;

std::string Directory(const std::string& path) { return path.substr(0, path.find_last_of('\\')); }

class CheckerGui : public ::testing::Test {
protected:
    void SetUp() override {
        char path[MAX_PATH];
        ASSERT_GT(::GetWindowsDirectoryA(path, MAX_PATH), 0u);
        windows_ = path;
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        programDir_ = Directory(path);
        checkerExe_ = Directory(programDir_) + "\\tool\\app\\QRN.EXE";
        pictures_ = programDir_ + "\\gui-pictures";
        ::CreateDirectoryA(pictures_.c_str(), nullptr);
        RemoveBackups();
    }

    void TearDown() override {
        if (checker_.info.hProcess) gui::WaitForExit(&checker_, 0);
        for (const std::string& file : written_) ::DeleteFileA(file.c_str());
        RemoveBackups();
        for (const std::string& directory : directories_) ::RemoveDirectoryA(directory.c_str());
    }

    std::string InWindows(const std::string& name) const { return windows_ + "\\" + name; }

    // Writes a file of the Windows directory byte for byte.
    void Write(const std::string& name, const std::string& bytes) {
        std::ofstream file(InWindows(name), std::ios::binary | std::ios::trunc);
        file << bytes;
        ASSERT_TRUE(file.good()) << name;
        written_.push_back(InWindows(name));
    }
    std::string Read(const std::string& name) const {
        std::ifstream file(InWindows(name), std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
    // A test vendor library under `key`.DLL, with its script.
    void InstallVendorLibrary(const std::string& key, const std::string& script, const char* library = "TVSTREAM") {
        std::string target = InWindows(key + ".DLL");
        ASSERT_TRUE(::CopyFileA((programDir_ + "\\" + library + ".DLL").c_str(), target.c_str(), FALSE)) << target;
        written_.push_back(target);
        Write(key + ".SCRIPT", script);
    }
    void RemoveBackups() {
        WIN32_FIND_DATAA found;
        HANDLE search = ::FindFirstFileA(InWindows("RP121032.INI.bak-*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileA(InWindows(found.cFileName).c_str());
        } while (::FindNextFileA(search, &found));
        ::FindClose(search);
    }
    void MakeDirectory(const std::string& name) {
        ::CreateDirectoryA(InWindows(name).c_str(), nullptr);
        directories_.push_back(InWindows(name));
    }

    // Starts the checker and returns its main window; boxes of the start are
    // answered and kept in startBoxes_.
    HWND StartChecker() {
        if (!gui::Start(checkerExe_, "", &checker_)) return nullptr;
        DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < kWait) {
            if (HWND main = gui::WaitForDialog(checker_, kTitle, IDC_VENDOR_LIST, 100)) return main;
            if (HWND box = gui::FindMessageBox(checker_, kTitle)) {
                startBoxes_.push_back(gui::MessageBoxText(box));
                gui::AnswerMessageBox(box, 5000);
            }
        }
        return nullptr;
    }
    void Picture(HWND window, const std::string& name) {
        EXPECT_TRUE(gui::SaveWindowPicture(window, pictures_ + "\\" + name + ".bmp")) << name;
    }
    void Quit(HWND main) {
        gui::Click(main, IDCANCEL);
        EXPECT_EQ(gui::WaitForExit(&checker_, kWait), 0);
    }

    void WriteAwkwardCatalogue();

    std::string windows_, programDir_, checkerExe_, pictures_;
    std::vector<std::string> written_, directories_, startBoxes_;
    gui::Program checker_;
};

// A catalogue with the awkward cases: device ids 1, 2 and 10; a protocol
// string that begins another; a vendor whose file name is longer than 8.
void CheckerGui::WriteAwkwardCatalogue() {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=TVGUIA,LONGVENDORNAME,TVGUIB\r\n");
    Write("TVGUIA.INI",
                   "[VendorInformation]\r\nName=Gui Vendor A\r\nDevices=10,2,1\r\nProtocols=1,2,3\r\n"
                   "[DeviceInformation10]\r\nDeviceDescription=Ten Box,USB\r\n"
                   "[DeviceInformation2]\r\nDeviceDescription=Two Box\r\n"
                   "[DeviceInformation1]\r\nDeviceDescription=One Box, with comma,COM1\r\n"
                   "[ProtocolInformation1]\r\nProtocolString=J1939:Baud=Auto\r\nProtocolDescription=J1939:Baud=Auto\r\nDevices=1,2\r\n"
                   "[ProtocolInformation2]\r\nProtocolString=J1939\r\nProtocolDescription=J1939\r\nDevices=1,10\r\n"
                   "[ProtocolInformation3]\r\nProtocolString=J1708\r\nProtocolDescription=J1708\r\nDevices=1\r\n");
    Write("LONGVENDORNAME.INI",
                   "[VendorInformation]\r\nName=Long Name Vendor\r\nDevices=1\r\nProtocols=1\r\n"
                   "[DeviceInformation1]\r\nDeviceDescription=Long Box,COM3\r\n"
                   "[ProtocolInformation1]\r\nProtocolString=CAN\r\nProtocolDescription=CAN\r\nDevices=1\r\n");
    Write("TVGUIB.INI",
                   "[VendorInformation]\r\nName=Gui Vendor B\r\nDevices=5\r\nProtocols=1\r\n"
                   "[DeviceInformation5]\r\nDeviceDescription=Five Box,Bluetooth\r\n"
                   "[ProtocolInformation1]\r\nProtocolString=J1708\r\nProtocolDescription=J1708\r\nDevices=5\r\n");
}

TEST_F(CheckerGui, ListsFollowTheCatalogueAndBothCascades) {
    WriteAwkwardCatalogue();
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(startBoxes_.empty()) << startBoxes_.front();
    EXPECT_EQ(gui::ListItems(main, IDC_VENDOR_LIST),
              (std::vector<std::string>{"TVGUIA   - Gui Vendor A", "LONGVEND - Long Name Vendor",
                                        "TVGUIB   - Gui Vendor B"}));
    // Device entries sort as text: blanks before digits.
    EXPECT_EQ(gui::ListItems(main, IDC_DEVICE_LIST),
              (std::vector<std::string>{"  1 - One Box, with comma - COM1", "  2 - Two Box - Auto",
                                        " 10 - Ten Box - USB"}));
    EXPECT_EQ(gui::ListCurrent(main, IDC_DEVICE_LIST), "  1 - One Box, with comma - COM1");
    // "J1939" begins with nothing listed before it, but J1939:Baud=Auto came first.
    EXPECT_EQ(gui::ListItems(main, IDC_PROTOCOL_LIST), (std::vector<std::string>{"J1708", "J1939:Baud=Auto"}));
    EXPECT_EQ(gui::ListCurrent(main, IDC_PROTOCOL_LIST), "J1708");
    Picture(main, "lists-at-start");

    // Device cascade: only the Protocol list is refilled.
    ASSERT_TRUE(gui::SelectListItem(main, IDC_DEVICE_LIST, 2));
    EXPECT_EQ(gui::ListItems(main, IDC_PROTOCOL_LIST), std::vector<std::string>{"J1939"});
    EXPECT_EQ(gui::ListItems(main, IDC_VENDOR_LIST).size(), 3u);

    // Vendor cascade: a key cut to 8 characters matches no vendor.
    ASSERT_TRUE(gui::SelectListItem(main, IDC_VENDOR_LIST, 1));
    EXPECT_TRUE(gui::ListItems(main, IDC_DEVICE_LIST).empty());
    EXPECT_TRUE(gui::ListItems(main, IDC_PROTOCOL_LIST).empty());
    ASSERT_TRUE(gui::SelectListItem(main, IDC_VENDOR_LIST, 2));
    EXPECT_EQ(gui::ListItems(main, IDC_DEVICE_LIST), std::vector<std::string>{"  5 - Five Box - Bluetooth"});
    EXPECT_EQ(gui::ListItems(main, IDC_PROTOCOL_LIST), std::vector<std::string>{"J1708"});
    Quit(main);
}

TEST_F(CheckerGui, RunTestShowsTheBusInGreenAndTheSuccessDiscussion) {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=TVGUIRUN\r\n");
    Write("TVGUIRUN.INI",
          "[VendorInformation]\r\nName=Gui Run Vendor\r\nDevices=1\r\nProtocols=1\r\n"
          "[DeviceInformation1]\r\nDeviceDescription=Recorded bus,Replay\r\n"
          "[ProtocolInformation1]\r\nProtocolString=J1939\r\nProtocolDescription=J1939\r\nDevices=1\r\n");
    InstallVendorLibrary("TVGUIRUN", "capture=" + gui::WinePath(CAPTURE_LOG) + "\r\n");
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    HWND status = ::GetDlgItem(main, IDC_STATUS_WINDOW), data = ::GetDlgItem(main, IDC_DATA_WINDOW);
    EXPECT_EQ(gui::WaitForColour(status, kWhite, 3000), kWhite);
    EXPECT_EQ(gui::WaitForColour(data, kWhite, 3000), kWhite);

    gui::Click(main, IDC_RUN_TEST);
    HWND results = gui::WaitForDialog(checker_, kResultsTitle, IDC_RESULTS_TEXT, kWait);
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(gui::FindMessageBox(checker_, kTitle), nullptr);
    Picture(results, "run-success-results");
    std::string discussion = gui::ControlText(results, IDC_RESULTS_TEXT);
    std::string dataText = gui::Text(data);
    size_t messages = 0;
    for (size_t p = dataText.find("TS["); p != std::string::npos; p = dataText.find("TS[", p + 1)) ++messages;
    EXPECT_GT(messages, 100u);  // the recording holds hundreds of frames a second
    std::string first = "SUCCESS - Successful connect to DLL [TVGUIRUN.DLL], Device# [1], and Protocol [J1939].";
    EXPECT_EQ(discussion.compare(0, first.size(), first), 0) << discussion.substr(0, 200);
    char countLine[200];
    std::snprintf(countLine, sizeof countLine, "\r\n     => There were %zu messages seen in 5 seconds.", messages);
    EXPECT_NE(discussion.find(countLine), std::string::npos) << countLine;
    EXPECT_EQ(discussion.substr(discussion.size() - 86), "\r\n" + std::string(82, ' ') + "\r\n");  // a blank line last
    gui::Click(results, IDOK);
    ASSERT_TRUE(gui::WaitForClose(results, 5000));

    EXPECT_EQ(gui::ColourName(gui::WaitForColour(status, kGreen, 3000)), "green");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(data, kGreen, 3000)), "green");
    std::string statusText = gui::Text(status);
    EXPECT_NE(statusText.find("TVGUIRUN.DLL"), std::string::npos);
    EXPECT_EQ(statusText.find("Error"), std::string::npos) << statusText;
    Picture(main, "run-success-main");
    Quit(main);
}

// The maker's library on the virtual adapter, from the install image: the
// adapter plays the recorded engine bus at its pace; `transports` are the
// transport files installed.
void InstallImage(const std::vector<std::string>& transports, std::vector<std::string>* written,
                  const std::string& windows) {
    std::string image = gui::WinePath(IMAGE_DIR);
    std::vector<std::string> files = {"HVLNK32.DLL", "ZMXMRP32.DLL", "HVLNK32.INI", "HV_ZMX32.INI"};
    files.insert(files.end(), transports.begin(), transports.end());
    for (const std::string& file : files) {
        std::string target = windows + "\\" + file;
        ASSERT_TRUE(::CopyFileA((image + "\\" + file).c_str(), target.c_str(), FALSE)) << file;
        written->push_back(target);
    }
}

TEST_F(CheckerGui, TheMakersLibraryOnTheVirtualAdapter) {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=HVLNK32\r\n");
    InstallImage({"ZMXURP2K.DLL"}, &written_, windows_);
    Write("VADAPTER.SCRIPT", "replay=" + gui::WinePath(CAPTURE_LOG) + "\r\nspeed=1\r\nloop=1\r\n");
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(startBoxes_.empty());
    ASSERT_GE(gui::FindListItem(main, IDC_PROTOCOL_LIST, "J1939"), 0);
    gui::SelectListItem(main, IDC_PROTOCOL_LIST, gui::FindListItem(main, IDC_PROTOCOL_LIST, "J1939"));
    gui::Click(main, IDC_RUN_TEST);
    HWND results = gui::WaitForDialog(checker_, kResultsTitle, IDC_RESULTS_TEXT, kWait);
    ASSERT_NE(results, nullptr);
    std::string discussion = gui::ControlText(results, IDC_RESULTS_TEXT);
    Picture(results, "hvlnk32-run-results");
    gui::Click(results, IDOK);
    ASSERT_TRUE(gui::WaitForClose(results, 5000));
    HWND status = ::GetDlgItem(main, IDC_STATUS_WINDOW), data = ::GetDlgItem(main, IDC_DATA_WINDOW);
    std::string statusText = gui::Text(status), dataText = gui::Text(data);
    for (const char* line : {"HVLNK32.DLL: FileVersion          5.47.0.0",
                             "[RP1210_ClientConnect (Device=1, Protocol=J1939, 0, 0, 0)] - Connect SUCCESS.",
                             "Claim of J1939 Address [249] successful.",
                             "[RP1210_ReadVersion] Returns DLL Version = 5.4, API Version = 2.0",
                             "[RP1210_ReadDetailedVersion] Returns API=2.00, DLL=5.47 1.00, FW=3 BUF",
                             "[RP1210_Set_All_Filters_States_to_Pass] Returns SUCCESS."}) {
        EXPECT_NE(statusText.find(line), std::string::npos) << line << "\n" << statusText;
    }
    EXPECT_EQ(statusText.find("ERR_"), std::string::npos) << statusText;  // no receive queue errors
    size_t messages = 0;
    for (size_t p = dataText.find("TS["); p != std::string::npos; p = dataText.find("TS[", p + 1)) ++messages;
    EXPECT_GT(messages, 1500u);  // the recording plays about 450 frames a second
    char countLine[200];
    std::snprintf(countLine, sizeof countLine, "There were %zu messages seen in 5 seconds.", messages);
    EXPECT_NE(statusText.find(countLine), std::string::npos) << countLine;
    EXPECT_EQ(discussion.rfind("SUCCESS - Successful connect to DLL [HVLNK32.DLL], Device# [1], and Protocol [J1939].", 0),
              0u);
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(status, kGreen, 3000)), "green");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(data, kGreen, 3000)), "green");
    Picture(main, "hvlnk32-run-main");
    Quit(main);
}

TEST_F(CheckerGui, TheMakersLibraryWithAnAdapterThatCannotBeOpened) {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=HVLNK32\r\n");
    InstallImage({}, &written_, windows_);
    // Its one device is attached by nothing the multiplexer knows: the
    // adapter cannot be opened.
    Write("HVLNK32.INI",
          "[VendorInformation]\r\nName=Halvery Group Vehicle Datalink Adapters\r\nMessageString=HVLNK32_Msg\r\n"
          "ErrorString=HVLNK32_Err\r\nDevices=1\r\nProtocols=1\r\n"
          "[DeviceInformation1]\r\nDeviceDescription=Halvery ZMX 4 Plus, not attached\r\nDeviceName=HV-NONE\r\n"
          "DeviceParams=NONE\r\n"
          "[ProtocolInformation1]\r\nProtocolString=J1939\r\nProtocolDescription=SAE J1939\r\nProtocolParams=\r\n"
          "Devices=1\r\n");
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    gui::SelectListItem(main, IDC_PROTOCOL_LIST, gui::FindListItem(main, IDC_PROTOCOL_LIST, "J1939"));
    gui::Click(main, IDC_RUN_TEST);
    HWND results = gui::WaitForDialog(checker_, kResultsTitle, IDC_RESULTS_TEXT, kWait);
    ASSERT_NE(results, nullptr);
    std::string discussion = gui::ControlText(results, IDC_RESULTS_TEXT);
    EXPECT_EQ(discussion.rfind("FAILURE - Unable to connect to DLL [HVLNK32.DLL], Device# [1], and Protocol [J1939].", 0),
              0u)
        << discussion.substr(0, 200);
    gui::Click(results, IDOK);
    ASSERT_TRUE(gui::WaitForClose(results, 5000));
    HWND status = ::GetDlgItem(main, IDC_STATUS_WINDOW), data = ::GetDlgItem(main, IDC_DATA_WINDOW);
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(status, kRed, 3000)), "red");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(data, kRed, 3000)), "red");
    EXPECT_NE(gui::Text(status).find("[RP1210_ClientConnect (Device=1, Protocol=J1939, 0, 0, 0)] - Connect FAILED."),
              std::string::npos);
    Picture(main, "hvlnk32-no-adapter-main");
    Quit(main);
}

TEST_F(CheckerGui, ConnectFailureTurnsTheStatusWindowRed) {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=TVGUIBAD\r\n");
    Write("TVGUIBAD.INI",
          "[VendorInformation]\r\nName=Gui Refusing Vendor\r\nDevices=1\r\nProtocols=1\r\n"
          "[DeviceInformation1]\r\nDeviceDescription=No adapter,USB\r\n"
          "[ProtocolInformation1]\r\nProtocolString=J1708\r\nProtocolDescription=J1708\r\nDevices=1\r\n");
    InstallVendorLibrary("TVGUIBAD", "connect=129\r\n");
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    gui::Click(main, IDC_RUN_TEST);
    HWND results = gui::WaitForDialog(checker_, kResultsTitle, IDC_RESULTS_TEXT, kWait);
    ASSERT_NE(results, nullptr);
    std::string discussion = gui::ControlText(results, IDC_RESULTS_TEXT);
    std::string first = "FAILURE - Unable to connect to DLL [TVGUIBAD.DLL], Device# [1], and Protocol [J1708].";
    EXPECT_EQ(discussion.compare(0, first.size(), first), 0) << discussion.substr(0, 200);
    EXPECT_NE(discussion.find("contact your VDA vendor's technical support dept."), std::string::npos);
    Picture(results, "connect-failure-results");
    gui::Click(results, IDOK);
    ASSERT_TRUE(gui::WaitForClose(results, 5000));
    HWND status = ::GetDlgItem(main, IDC_STATUS_WINDOW), data = ::GetDlgItem(main, IDC_DATA_WINDOW);
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(status, kRed, 3000)), "red");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(data, kRed, 3000)), "red");  // no attempt to read
    EXPECT_NE(gui::Text(status).find("[RP1210_ClientConnect (Device=1, Protocol=J1708, 0, 0, 0)] - Connect FAILED."),
              std::string::npos)
        << gui::Text(status);
    EXPECT_EQ(gui::Text(data), "");
    Picture(main, "connect-failure-main");
    Quit(main);
}

TEST_F(CheckerGui, ALibraryThatCannotBeLoadedIsReportedInABox) {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=TVNOLIB\r\n");
    Write("TVNOLIB.INI",
          "[VendorInformation]\r\nName=Gui Missing Library\r\nDevices=1\r\nProtocols=1\r\n"
          "[DeviceInformation1]\r\nDeviceDescription=Nothing,USB\r\n"
          "[ProtocolInformation1]\r\nProtocolString=J1939\r\nProtocolDescription=J1939\r\nDevices=1\r\n");
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    gui::Click(main, IDC_RUN_TEST);
    HWND box = gui::WaitForMessageBox(checker_, kTitle, kWait);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(gui::MessageBoxText(box).rfind("Unable to load library [TVNOLIB.DLL], cannot run test", 0), 0u)
        << gui::MessageBoxText(box);
    Picture(box, "unable-to-load-box");
    ASSERT_TRUE(gui::AnswerMessageBox(box, 5000));
    EXPECT_EQ(gui::WaitForDialog(checker_, kResultsTitle, IDC_RESULTS_TEXT, 1500), nullptr);
    Quit(main);
}

TEST_F(CheckerGui, AboutBoxOpensFromTheSystemMenu) {
    Write("RP121032.INI", "[RP1210Support]\r\nAPIImplementations=\r\n");
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    // No vendors: all three lists stay empty.
    EXPECT_TRUE(gui::ListItems(main, IDC_VENDOR_LIST).empty());
    EXPECT_TRUE(gui::ListItems(main, IDC_DEVICE_LIST).empty());
    gui::SystemCommand(main, IDM_ABOUTBOX);
    HWND about = gui::WaitForDialog(checker_, kAboutTitle, IDOK, kWait);
    ASSERT_NE(about, nullptr);
    Picture(about, "about-box");
    gui::Click(about, IDOK);
    EXPECT_TRUE(gui::WaitForClose(about, 5000));
    Picture(main, "empty-catalogue-main");
    Quit(main);
}

class RepairGui : public CheckerGui {
protected:
    // Vendors A, B and C listed; the vendor INI files of `present` exist.
    void WriteVendors(const std::string& mainIni, const std::string& present) {
        Write("RP121032.INI", mainIni);
        for (char vendor : present) {
            std::string key = std::string("TVFIX") + vendor;
            Write(key + ".INI", "[VendorInformation]\r\nName=Repair Vendor " + std::string(1, vendor) +
                                    "\r\nDevices=1\r\nProtocols=1\r\n[DeviceInformation1]\r\nDeviceDescription=Box,USB\r\n"
                                    "[ProtocolInformation1]\r\nProtocolString=J1939\r\nProtocolDescription=J1939\r\nDevices=1\r\n");
        }
    }
    // Opens the repair dialog for the vendor list entry `vendorIndex`; the
    // boxes shown while it opens go to `boxes`.
    HWND OpenRepair(HWND main, int vendorIndex, std::vector<std::string>* boxes) {
        if (!gui::SelectListItem(main, IDC_VENDOR_LIST, vendorIndex)) return nullptr;
        gui::Click(main, IDC_FIX_INI);
        DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < kWait) {
            if (HWND repair = gui::WaitForDialog(checker_, kRepairTitle, IDC_PROPOSED_INI, 100)) return repair;
            if (HWND box = gui::FindMessageBox(checker_, kTitle)) {
                boxes->push_back(gui::MessageBoxText(box));
                gui::AnswerMessageBox(box, 5000);
            }
        }
        return nullptr;
    }
    std::string PressMakeChanges(HWND repair) {
        gui::Click(repair, IDOK);
        HWND box = gui::WaitForMessageBox(checker_, kTitle, kWait);
        if (box == nullptr) return "(no box)";
        std::string text = gui::MessageBoxText(box);
        gui::AnswerMessageBox(box, 5000);
        return text;
    }
};

TEST_F(RepairGui, MissingVendorIsDroppedWithAYellowWarningAndTheFileIsRewrittenAfterABackup) {
    const std::string original = "[RP1210Support]\r\nAPIImplementations=TVFIXA,TVFIXB,TVFIXC\r\n\r\n[Other]\r\nKey=1\r\n";
    WriteVendors(original, "AC");  // B's INI file is missing
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    ASSERT_EQ(startBoxes_.size(), 1u);  // the loader's missing-file box
    std::vector<std::string> boxes;
    HWND repair = OpenRepair(main, 0, &boxes);
    ASSERT_NE(repair, nullptr);
    EXPECT_EQ(boxes, std::vector<std::string>{"Problems found in the RP1210 INI file.\nIt is suggested that you click "
                                              "\"Make Changes\" to fix these problems."});
    EXPECT_EQ(gui::ControlText(repair, IDC_CURRENT_INI), "[RP1210Support]\r\nAPIImplementations=TVFIXA,TVFIXB,TVFIXC");
    EXPECT_EQ(gui::ControlText(repair, IDC_PROPOSED_INI), "[RP1210Support]\r\nAPIImplementations=TVFIXA,TVFIXC");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(::GetDlgItem(repair, IDC_CURRENT_INI), kYellow, 3000)), "yellow");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(::GetDlgItem(repair, IDC_PROPOSED_INI), kWhite, 3000)), "white");
    Picture(repair, "repair-problems");

    std::string file = InWindows("RP121032.INI");
    EXPECT_EQ(PressMakeChanges(repair), "SUCCESS - RP1210 INI File [" + file + "] was backed up to [" + file +
                                            ".bak-1] and a new RP121032.INI file was written.");
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\r\nAPIImplementations=TVFIXA,TVFIXC");
    EXPECT_EQ(Read("RP121032.INI.bak-1"), original);
    // Each press makes the next backup; the dialog stays open until Cancel.
    EXPECT_EQ(PressMakeChanges(repair), "SUCCESS - RP1210 INI File [" + file + "] was backed up to [" + file +
                                            ".bak-2] and a new RP121032.INI file was written.");
    EXPECT_EQ(Read("RP121032.INI.bak-2"), "[RP1210Support]\r\nAPIImplementations=TVFIXA,TVFIXC");
    gui::Click(repair, IDCANCEL);
    ASSERT_TRUE(gui::WaitForClose(repair, 5000));
    // The main window keeps the catalogue it read at start.
    EXPECT_EQ(gui::ListItems(main, IDC_VENDOR_LIST).size(), 2u);
    Quit(main);
}

TEST_F(RepairGui, ChosenVendorComesFirstWithoutWarningAndBackupsTakeTheNextNumber) {
    WriteVendors("[RP1210Support]\r\nAPIImplementations=TVFIXA,TVFIXC,TVFIXB\r\n", "ACB");
    Write("RP121032.INI.bak-1", "one");
    Write("RP121032.INI.bak-3", "three");
    MakeDirectory("RP121032.INI.bak-9");  // directories do not count
    HWND main = StartChecker();
    ASSERT_NE(main, nullptr);
    std::vector<std::string> boxes;
    HWND repair = OpenRepair(main, 2, &boxes);  // TVFIXB
    ASSERT_NE(repair, nullptr);
    EXPECT_TRUE(boxes.empty());  // a change of order alone is not a problem
    EXPECT_EQ(gui::ControlText(repair, IDC_PROPOSED_INI), "[RP1210Support]\r\nAPIImplementations=TVFIXB,TVFIXA,TVFIXC");
    EXPECT_EQ(gui::ColourName(gui::WaitForColour(::GetDlgItem(repair, IDC_CURRENT_INI), kWhite, 3000)), "white");
    Picture(repair, "repair-reorder");
    std::string file = InWindows("RP121032.INI");
    EXPECT_EQ(PressMakeChanges(repair), "SUCCESS - RP1210 INI File [" + file + "] was backed up to [" + file +
                                            ".bak-4] and a new RP121032.INI file was written.");
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\r\nAPIImplementations=TVFIXB,TVFIXA,TVFIXC");
    EXPECT_EQ(Read("RP121032.INI.bak-3"), "three");
    gui::Click(repair, IDCANCEL);
    ASSERT_TRUE(gui::WaitForClose(repair, 5000));
    Quit(main);
}

}  // namespace
