// adapter-test-run: the checker's "Run Test" without its windows. Loads the
// RP1210 catalogue of a Windows directory, fills the Vendor, Device and
// Protocol lists as the main window does, chooses the vendor given (and its
// first device and protocol, or the protocol given), runs the adapter test
// and prints the status window, the data window, the boxes shown and the
// results discussion.
//
//   adapter-test-run WINDOWS_DIRECTORY VENDOR_KEY [PROTOCOL] [TEST_VENDOR_SCRIPT]
//
// A test vendor library gets TEST_VENDOR_SCRIPT before the run (see
// testkit/vendor/test_vendor.cpp). The run takes its real five seconds.
#include "os/os.h"
#include "tool/config/catalogue.h"
#include "tool/adapter_test/adapter_test.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct HeadlessWindows {
    std::string status;
    std::string data;
    const ChoiceList* lists[3];  // vendor, device, protocol
    std::vector<std::string> results;
    std::vector<std::pair<int, int>> states;  // (connectState, dataState) at each change
    const AdapterTestState* state;
};

HeadlessWindows& Self(void* context) { return *static_cast<HeadlessWindows*>(context); }

CheckerUi MakeUi(HeadlessWindows& windows) {
    CheckerUi ui;
    ui.context = &windows;
    ui.getText = [](void* c, int control) { return control == kDataWindow ? Self(c).data : Self(c).status; };
    ui.setText = [](void* c, int control, const char* text) {
        (control == kDataWindow ? Self(c).data : Self(c).status) = text;
    };
    ui.scrollLines = [](void*, int, int) {};
    ui.currentItem = [](void* c, int list, std::string* text) {
        const ChoiceList* choice = Self(c).lists[list - kVendorList];
        if (choice->current < 0) return false;
        *text = choice->items[static_cast<size_t>(choice->current)];
        return true;
    };
    ui.statesChanged = [](void* c) {
        HeadlessWindows& w = Self(c);
        std::pair<int, int> now{w.state->connectState, w.state->dataState};
        if (w.states.empty() || w.states.back() != now) w.states.push_back(now);
    };
    ui.showResults = [](void* c, const char* text) { Self(c).results.push_back(text); };
    ui.owner = nullptr;
    return ui;
}

void PrintWindow(const char* title, const std::string& text) {
    size_t lines = 0;
    for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2)) ++lines;
    std::printf("\n==== %s (%zu lines) ====\n", title, lines);
    std::string shown = text;
    for (size_t p; (p = shown.find('\r')) != std::string::npos;) shown.erase(p, 1);
    std::fputs(shown.c_str(), stdout);
}

const char* Colour(int state) { return state == 0 ? "green" : state == -1 ? "white" : "red"; }

int Select(ChoiceList& list, const std::string& firstWord) {
    for (size_t i = 0; i < list.items.size(); ++i) {
        list.current = static_cast<int>(i);
        if (TakeSelection(list, "") == firstWord) return 1;
    }
    list.current = list.items.empty() ? -1 : 0;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: adapter-test-run WINDOWS_DIRECTORY VENDOR_KEY [PROTOCOL] [TEST_VENDOR_SCRIPT]\n");
        return 2;
    }
    OsSetWindowsDirectory(argv[1]);
    OsRecordMessageBoxes();
    auto catalogue = std::make_unique<RP1210Catalogue>();
    LoadCatalogue(catalogue.get());
    size_t catalogueBoxes = OsTakeRecordedMessageBoxes().size();

    ChoiceList vendors, devices, protocols;
    FillVendorList(*catalogue, vendors);
    if (!Select(vendors, argv[2])) std::printf("Vendor %s is not in the Vendor list; the first entry stays chosen.\n", argv[2]);
    std::string vendorKey = TakeSelection(vendors, "");
    FillDeviceList(*catalogue, vendorKey.c_str(), devices);
    std::string deviceText = TakeSelection(devices, "");
    FillProtocolList(*catalogue, vendorKey.c_str(), deviceText.c_str(), protocols);
    if (argc >= 4 && !Select(protocols, argv[3])) std::printf("Protocol %s is not in the Protocol list.\n", argv[3]);

    std::printf("Catalogue of %s: %d vendors (%zu message boxes while loading)\n", argv[1], catalogue->vendorCount,
                catalogueBoxes);
    for (const ChoiceList* list : {&vendors, &devices, &protocols}) {
        std::printf("  %-8s %s\n", list == &vendors ? "Vendor" : list == &devices ? "Device" : "Protocol",
                    list->current >= 0 ? list->items[static_cast<size_t>(list->current)].c_str() : "(none)");
    }

    // A test vendor library keeps its script while this load holds it.
    OsLibrary* held = OsLoadLibrary((vendorKey + ".DLL").c_str());
    if (argc == 5 && held) {
        auto script = reinterpret_cast<void (*)(const char*)>(OsGetProcAddress(held, "TestVendor_Script"));
        if (script) script(argv[4]);
    }

    AdapterTestState state;
    HeadlessWindows windows{};
    windows.lists[0] = &vendors;
    windows.lists[1] = &devices;
    windows.lists[2] = &protocols;
    windows.state = &state;
    std::printf("\nRun Test ...\n");
    std::fflush(stdout);
    RunAdapterTest(state, MakeUi(windows));

    PrintWindow("RP1210 Status Window", windows.status);
    PrintWindow("RP1210 Data Message Window", windows.data);
    std::vector<OsMessageBoxCall> boxes = OsTakeRecordedMessageBoxes();
    std::printf("\n==== Message boxes (%zu) ====\n", boxes.size());
    for (const OsMessageBoxCall& box : boxes) std::printf("[%s] %s\n", box.caption.c_str(), box.text.c_str());
    std::printf("\n==== Window colours ====\nstatus window %s, data window %s (connectState %d, dataState %d)\n",
                Colour(state.connectState), Colour(state.dataState), state.connectState, state.dataState);
    for (const std::string& text : windows.results) {
        PrintWindow("Test Results Discussion and Next Troubleshooting Steps", text);
    }
    if (windows.results.empty()) std::printf("\n(no results discussion: the run stopped before it connected)\n");

    if (held) OsFreeLibrary(held);
    ReleaseCatalogue(catalogue.get());
    return 0;
}
