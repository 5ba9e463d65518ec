#include "tool/adapter_test/adapter_test.h"

#include "os/os.h"
#include "tool/config/ini_reader.h"
#include "tool/config/text_helpers.h"
#include "tool/adapter_test/results_text.h"
#include "tool/adapter_test/rp1210_binding.h"
#include "tool/adapter_test/rp1210_errors.h"
#include "tool/adapter_test/version_report.h"

#include <cstring>
#include <vector>

// J1939 NAME: identity 0, manufacturer code 11, ECU and function instance 0,
// function 129, vehicle system 0, industry group 0, not arbitrary-address
// capable. Byte 0 takes the address; byte 9 asks the library to block.
const uint8_t kClaimRecordTemplate[kClaimRecordSize] = {0xF9, 0x00, 0x00, 0x60, 0x01, 0x00, 0x81, 0x00, 0x00, 0};

namespace {

constexpr int16_t kCommandSetAllFiltersToPass = 3;
constexpr int16_t kCommandProtectJ1939Address = 19;
constexpr int kMessageBufferSize = 2000;
constexpr size_t kLineLimit = 999;  // a 1000-byte line and its terminator

void Status(const CheckerUi& ui, const std::string& line) { AppendWindowLine(ui, line.c_str(), kStatusWindow); }

void StatesChanged(const CheckerUi& ui) {
    if (ui.statesChanged) ui.statesChanged(ui.context);
}

void ReleaseLibrary(AdapterTestState& state) {
    if (state.api.library) OsFreeLibrary(state.api.library);
    state.api.library = nullptr;
}

void TakeSelection(const CheckerUi& ui, int list, std::string* field) {
    std::string text;
    if (!ui.currentItem || !ui.currentItem(ui.context, list, &text)) return;  // no current item: unchanged
    std::vector<char> work(text.begin(), text.end());
    work.push_back('\0');
    *field = FirstWord(work.data());
}

void ShowResults(const AdapterTestState& state, const CheckerUi& ui) {
    ResultsFacts facts{state.vendorKey.c_str(), state.deviceText.c_str(), state.protocolString.c_str(),
                       state.messageCount, state.testSeconds};
    std::string text = ComposeResultsDiscussion(state.dataState, state.connectState, facts);
    if (ui.showResults) ui.showResults(ui.context, text.c_str());
}

}  // namespace

int ClaimJ1939Address(const Rp1210Api& api, int16_t clientId, int16_t address) {
    char record[kClaimRecordSize];
    std::memcpy(record, kClaimRecordTemplate, sizeof record);
    record[0] = static_cast<char>(address);
    return api.SendCommand(kCommandProtectJ1939Address, clientId, record, kClaimRecordSize) == 0 ? 1 : 0;
}

std::vector<std::string> FormatDataLines(const unsigned char* message, int count) {
    std::vector<std::string> lines;
    std::string line = FormatText("TS[%d]:", static_cast<int32_t>(ReadBigEndian32(message)));
    for (int i = 4; i < count; ++i) {
        if (line.size() + 4 > kLineLimit) {
            lines.push_back(line);
            line.clear();
        }
        line += FormatText("[%02X]", message[i]);
    }
    lines.push_back(line);
    return lines;
}

void RunAdapterTest(AdapterTestState& state, const CheckerUi& ui) {
    // A run starts with white windows and empty texts.
    state.connectState = -1;
    state.dataState = -1;
    StatesChanged(ui);
    ui.setText(ui.context, kStatusWindow, "");
    ui.setText(ui.context, kDataWindow, "");

    // What the three lists have chosen.
    TakeSelection(ui, kVendorList, &state.vendorKey);
    TakeSelection(ui, kDeviceList, &state.deviceText);
    TakeSelection(ui, kProtocolList, &state.protocolString);
    std::string libraryFileName = state.vendorKey + ".DLL";
    if (libraryFileName.size() > 99) libraryFileName.resize(99);  // a 100-byte name buffer

    // The title, then the library file's version resource.
    Status(ui, kQuorlinTitle);
    ReportDriverVersion(ui, libraryFileName.c_str());

    // Release what an earlier run left, then bind.
    ReleaseLibrary(state);
    if (BindRp1210Library(libraryFileName.c_str(), &state.api, ui.owner) != 1) {
        std::string text = FormatText("Unable to load library [%s], cannot run test (most likely, the DLL does not "
                                      "exist in the Windows search path).", libraryFileName.c_str());
        OsMessageBox(ui.owner, text.c_str(), kQuorlinTitle, kOsMbOk);
        return;
    }
    const Rp1210Api& api = state.api;
    const char* device = state.deviceText.c_str();
    const char* protocol = state.protocolString.c_str();

    // One client, no window, the chosen device and protocol.
    state.clientId = api.ClientConnect(nullptr, static_cast<int16_t>(ParseDecimal(device)), protocol, 0, 0, 0);
    if (state.clientId < 0 || state.clientId > 127) {
        Status(ui, FormatText("[RP1210_ClientConnect (Device=%s, Protocol=%s, 0, 0, 0)] - Connect FAILED.", device,
                              protocol));
        state.connectState = 1;
        state.dataState = 1;
        StatesChanged(ui);
        ReleaseLibrary(state);
        ShowResults(state, ui);
        return;
    }
    Status(ui,
           FormatText("[RP1210_ClientConnect (Device=%s, Protocol=%s, 0, 0, 0)] - Connect SUCCESS.", device, protocol));
    state.connectState = 0;
    StatesChanged(ui);

    // An address of our own on the bus, for exactly "J1939".
    if (state.protocolString == "J1939") {
        if (ClaimJ1939Address(api, state.clientId, kCheckerJ1939Address) == 1) {
            Status(ui, FormatText("Claim of J1939 Address [%d] successful.", kCheckerJ1939Address));
        } else {
            Status(ui, FormatText("Warning:  Cannot claim J1939 Address of [%d]. Is there another PC on the data bus?",
                                  kCheckerJ1939Address));
        }
    }

    // The library's versions.
    // Libraries write version texts ("47" and its terminator), not single
    // characters: each gets a buffer of its own; the line shows the first
    // character of each.
    char dllMajor[16] = {}, dllMinor[16] = {}, apiMajor[16] = {}, apiMinor[16] = {};
    api.ReadVersion(dllMajor, dllMinor, apiMajor, apiMinor);
    Status(ui, FormatText("[RP1210_ReadVersion] Returns DLL Version = %c.%c, API Version = %c.%c", dllMajor[0],
                          dllMinor[0], apiMajor[0], apiMinor[0]));
    if (api.ReadDetailedVersion) {
        char apiText[20] = {}, dllText[20] = {}, firmwareText[20] = {};
        api.ReadDetailedVersion(state.clientId, apiText, dllText, firmwareText);
        // Whatever the library wrote, each text ends inside its buffer.
        apiText[19] = dllText[19] = firmwareText[19] = '\0';
        Status(ui, FormatText("[RP1210_ReadDetailedVersion] Returns API=%s, DLL=%s, FW=%s", apiText, dllText,
                              firmwareText));
    } else {
        Status(ui, "INFORMATIONAL:  The function [RP1210_ReadDetailedVersion] was not found in DLL.\r\n-> This DLL is "
                   "most likely an older RP1210A DLL, not RP1210B.");
    }

    // Every message in.
    if (api.SendCommand(kCommandSetAllFiltersToPass, state.clientId, nullptr, 0) == 0) {
        Status(ui, "[RP1210_Set_All_Filters_States_to_Pass] Returns SUCCESS.");
    } else {
        Status(ui, "[RP1210_Set_All_Filters_States_to_Pass] Returns FAILURE.");
    }

    // Read the bus from the start second until the clock passes start + testSeconds.
    Status(ui, FormatText("Attempting read of the [%s] databus using DLL[%s] and Device[%s]", protocol,
                          libraryFileName.c_str(), device));
    unsigned char message[kMessageBufferSize];
    std::memset(message, 0, sizeof message);
    long long end = OsTimeSeconds() + state.testSeconds;
    state.messageCount = 0;
    // Data lines go to the window in batches: at most every 100 ms, and never
    // more than a fifth of the time, however long the window takes to set its
    // text. Every line arrives, in order.
    std::vector<std::string> pending;
    uint32_t lastFlush = OsTickCount();
    uint32_t flushCost = 0;
    auto flush = [&] {
        if (pending.empty()) return;
        uint32_t start = OsTickCount();
        AppendWindowLines(ui, pending, kDataWindow);
        pending.clear();
        lastFlush = OsTickCount();
        flushCost = lastFlush - start;
    };
    do {
        int16_t n = api.ReadMessage(state.clientId, reinterpret_cast<char*>(message), kMessageBufferSize, 0);
        if (n < 0) {
            ReportRp1210Error(api, ui, "RP1210_ReadMessage", -static_cast<int32_t>(n));
        } else if (n > 0) {
            ++state.messageCount;
            if (state.dataState != 0) {
                state.dataState = 0;
                StatesChanged(ui);
            }
            // A count beyond the buffer is the library's fault: only the buffer is shown.
            int count = n > kMessageBufferSize ? kMessageBufferSize : n;
            for (std::string& line : FormatDataLines(message, count)) pending.push_back(std::move(line));
        }
        uint32_t now = OsTickCount();
        if (now - lastFlush >= 100 && now - lastFlush >= 4 * flushCost) flush();
        OsSleep(1);
    } while (OsTimeSeconds() <= end);
    flush();

    // The verdict on the data.
    if (state.messageCount > 0) {
        state.dataState = 0;
        Status(ui, FormatText("RP1210_ReadMessage() SUCCESS.  There were %d messages seen in %d seconds.",
                              state.messageCount, state.testSeconds));
    } else {
        state.dataState = 1;
        Status(ui, "RP1210_ReadMessage() FAILED.  Failure to see messages on databus!");
    }
    StatesChanged(ui);

    // Disconnect, release the library, explain the outcome.
    int16_t disconnected = api.ClientDisconnect(state.clientId);
    if (disconnected != 0) ReportRp1210Error(api, ui, "RP1210_ClientDisconnect", disconnected);
    ReleaseLibrary(state);
    ShowResults(state, ui);
}
