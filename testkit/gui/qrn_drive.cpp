// qrn-drive: one complete session with the checker QRN.EXE, as a technician
// would have it, for the headless main job. Starts the checker, answers and
// prints the boxes of its start, prints the three lists, chooses the vendor
// (and protocol) given, presses "Run Test", and prints the status and data
// windows, their colours and the results discussion; then visits the About
// box and the INI repair dialog (leaving RP121032.INI as it is) and quits.
// A picture of every window visited is saved in PICTURE_DIRECTORY as BMP.
//
//   qrn-drive QRN_EXE PICTURE_DIRECTORY VENDOR_KEY [PROTOCOL [DEVICE]]
// DEVICE: the start of the Device list item to choose, leading blanks aside
// (e.g. "3 -").
//
// Exits 0 when the session went through to the results discussion and the
// checker ended when told to quit.
#include "testkit/gui/gui_driver.h"
#include "tool/resources/resource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kTitle[] = "Halvery Group RP1210 Quorlin (QRN) Version 1.2";
const char kResultsTitle[] = "Test Results Discussion and Next Troubleshooting Steps";
const char kAboutTitle[] = "About Halvery Group RP1210 Quorlin (QRN)";
const char kRepairTitle[] = "Fix RP121032.INI File - Make Current Vendor First in List";

std::string pictures;

std::string Shown(std::string text) {
    for (size_t p; (p = text.find('\r')) != std::string::npos;) text.erase(p, 1);
    return text;
}

void PrintWindow(const char* title, const std::string& text) {
    size_t lines = 0;
    for (size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p + 1)) ++lines;
    std::printf("\n==== %s (%zu lines) ====\n%s", title, lines, Shown(text).c_str());
    if (!text.empty() && text.back() != '\n') std::printf("\n");
}

void Picture(HWND window, const char* name) {
    std::string path = pictures + "\\" + name + ".bmp";
    std::printf("[picture %s.bmp%s]\n", name, gui::SaveWindowPicture(window, path) ? "" : " FAILED");
}

void PrintLists(HWND main) {
    const std::pair<int, const char*> lists[] = {
        {IDC_VENDOR_LIST, "Vendor"}, {IDC_DEVICE_LIST, "Device"}, {IDC_PROTOCOL_LIST, "Protocol"}};
    for (const auto& list : lists) {
        std::string current = gui::ListCurrent(main, list.first);
        std::printf("%s list:\n", list.second);
        for (const std::string& item : gui::ListItems(main, list.first)) {
            std::printf("  %s %s\n", item == current ? "*" : " ", item.c_str());
        }
    }
}

// Answers the checker's boxes until `caption`'s dialog (holding `controlId`)
// shows, or `quietMs` pass without either.
HWND AnswerBoxesUntil(const gui::Program& checker, const char* caption, int controlId, DWORD quietMs) {
    DWORD since = ::GetTickCount();
    while (::GetTickCount() - since < quietMs && checker.running()) {
        if (HWND dialog = gui::WaitForDialog(checker, caption, controlId, 100)) return dialog;
        if (HWND box = gui::FindMessageBox(checker, kTitle)) {
            std::printf("Message box: %s\n", Shown(gui::MessageBoxText(box)).c_str());
            Picture(box, "message-box");
            gui::AnswerMessageBox(box, 5000);
            since = ::GetTickCount();
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr, "usage: qrn-drive QRN_EXE PICTURE_DIRECTORY VENDOR_KEY [PROTOCOL [DEVICE]]\n");
        return 2;
    }
    pictures = argv[2];
    ::CreateDirectoryA(pictures.c_str(), nullptr);
    gui::Program checker;
    if (!gui::Start(argv[1], "", &checker)) {
        std::printf("Could not start %s\n", argv[1]);
        return 1;
    }
    std::printf("Started %s\n", argv[1]);
    HWND main = AnswerBoxesUntil(checker, kTitle, IDC_VENDOR_LIST, 30000);
    if (main == nullptr) {
        std::printf("The main window did not open.\n");
        gui::WaitForExit(&checker, 0);
        return 1;
    }
    std::printf("\n==== Main window: lists as filled at start ====\n");
    PrintLists(main);

    int vendor = gui::FindListItem(main, IDC_VENDOR_LIST, argv[3]);
    if (vendor < 0) std::printf("Vendor %s is not in the Vendor list; the first entry stays chosen.\n", argv[3]);
    if (vendor >= 0) gui::SelectListItem(main, IDC_VENDOR_LIST, vendor);
    if (argc == 6) {  // the device list item that starts with this text
        int device = -1;
        std::vector<std::string> items = gui::ListItems(main, IDC_DEVICE_LIST);
        for (size_t i = 0; i < items.size() && device < 0; ++i) {
            std::string item = items[i].substr(std::min(items[i].find_first_not_of(' '), items[i].size()));
            if (item.compare(0, std::strlen(argv[5]), argv[5]) == 0) device = static_cast<int>(i);
        }
        if (device < 0) std::printf("Device %s is not in the Device list.\n", argv[5]);
        if (device >= 0) gui::SelectListItem(main, IDC_DEVICE_LIST, device);
    }
    if (argc >= 5) {
        int protocol = gui::FindListItem(main, IDC_PROTOCOL_LIST, argv[4]);
        if (protocol < 0) std::printf("Protocol %s is not in the Protocol list.\n", argv[4]);
        if (protocol >= 0) gui::SelectListItem(main, IDC_PROTOCOL_LIST, protocol);
    }
    std::printf("\n==== Main window: chosen for the test ====\n");
    PrintLists(main);
    Picture(main, "main-window");

    std::printf("\nRun Test ...\n");
    std::fflush(stdout);
    gui::Click(main, IDC_RUN_TEST);
    HWND results = AnswerBoxesUntil(checker, kResultsTitle, IDC_RESULTS_TEXT, 20000);
    std::string resultsText;
    if (results != nullptr) {
        resultsText = gui::ControlText(results, IDC_RESULTS_TEXT);
        Picture(results, "results-discussion");
        gui::Click(results, IDOK);
        gui::WaitForClose(results, 5000);
    }
    HWND status = ::GetDlgItem(main, IDC_STATUS_WINDOW), data = ::GetDlgItem(main, IDC_DATA_WINDOW);
    ::Sleep(300);  // let the main window repaint where the results dialog was
    PrintWindow("RP1210 Status Window", gui::Text(status));
    PrintWindow("RP1210 Data Message Window", gui::Text(data));
    std::printf("\n==== Window colours (on the screen) ====\nstatus window %s, data window %s\n",
                gui::ColourName(gui::ScreenColour(status)).c_str(), gui::ColourName(gui::ScreenColour(data)).c_str());
    Picture(main, "main-window-after-run");
    if (results != nullptr) {
        PrintWindow(kResultsTitle, resultsText);
    } else {
        std::printf("\n(no results discussion)\n");
    }

    gui::SystemCommand(main, IDM_ABOUTBOX);
    if (HWND about = gui::WaitForDialog(checker, kAboutTitle, IDOK, 10000)) {
        std::printf("\nAbout box opened from the system menu.\n");
        Picture(about, "about-box");
        gui::Click(about, IDOK);
        gui::WaitForClose(about, 5000);
    }
    gui::Click(main, IDC_FIX_INI);
    if (HWND repair = AnswerBoxesUntil(checker, kRepairTitle, IDC_PROPOSED_INI, 10000)) {
        std::printf("\n==== %s ====\nCurrent INI File (Untouched), %s:\n%s\nProposed INI File (With Changes):\n%s\n",
                    kRepairTitle, gui::ColourName(gui::ScreenColour(::GetDlgItem(repair, IDC_CURRENT_INI))).c_str(),
                    Shown(gui::ControlText(repair, IDC_CURRENT_INI)).c_str(),
                    Shown(gui::ControlText(repair, IDC_PROPOSED_INI)).c_str());
        Picture(repair, "ini-repair");
        gui::Click(repair, IDCANCEL);  // the file stays as it is
        gui::WaitForClose(repair, 5000);
    }

    gui::Click(main, IDCANCEL);
    int exitCode = gui::WaitForExit(&checker, 10000);
    std::printf("\nQuit: the checker ended with exit code %d.\n", exitCode);
    return results != nullptr && exitCode == 0 ? 0 : 1;
}
