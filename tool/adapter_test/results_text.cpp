#include "tool/adapter_test/results_text.h"

#include "tool/config/text_helpers.h"

#include <initializer_list>

namespace {

struct Line {
    int indent;
    const char* text;
    int width;  // characters before CR LF, counted before the values are filled in
};

// The lines, numbered as the blocks below name them.
const Line kLines[] = {
    {0, "", 82},  // 0: the blank line B
    {0, "FAILURE - Unable to connect to DLL [%s.DLL], Device# [%s], and Protocol [%s].", 82},
    {5, "=> There were NO attempts made to read messages.", 82},
    {0, "These results indicate a potential problem between the adapter and PC.", 82},
    {0, "Before you call your VDA VENDOR HELP DESK, try the following things:", 82},
    {0, "1.  Is the \"Power\" LED lit on your adapter?", 80},
    {7, "-> If using a Halvery Adapter, this is a good sign as HV adapters are", 82},
    {10, "vehicle powered.  This indicates Power/Ground are on the right pins.", 82},
    {7, "-> Note that some adapters are now USB powered and the LED being lit", 82},
    {10, "may not mean a \"good\" connection to vehicle.", 80},
    {0, "2.  Is the \"vehicle ignition switch\" on?", 80},
    {7, "-> Most vehicles do not communicate externally without it", 82},
    {10, "being in the \"on\" position.", 80},
    {0, "3.  Are you selecting the correct \"vendor\" for your device?", 80},
    {7, "-> Ensure you are selecting the correct vendor for your VDA.", 82},
    {10, "See your VDA user documentation for the correct vendor to select.", 82},
    {0, "4.  Are you selecting the correct \"device\" number?", 80},
    {7, "-> Ensure you are using the correct device number.", 82},
    {10, "See your VDA user documentation for the correct device to select.", 82},
    {0, "5.  Are you using the correct \"cable\" for the adapter you are using?", 80},
    {7, "-> Most adapter manufacturers have standardized on the pinouts for", 82},
    {10, "the most common protocols on the DB15 female connector.", 82},
    {10, "Some adapter manufacturers have not.", 82},
    {7, "-> With Dual-CAN adapters being fielded to address the Freightliner", 82},
    {10, "Cascadia model, adapter manufacturers have not came to an agreement", 82},
    {10, "yet on the DB25 female connector.", 82},
    {0, "6.  Have you tried resetting the adapter?", 82},
    {7, "-> a.  Unplug adapter from vehicle and PC and wait 5 seconds.", 82},
    {7, "-> b.  Plug the adapter into the vehicle.", 82},
    {7, "-> c.  Plug the adapter into the PC.", 82},
    {7, "-> d.  Run the Quorlin (QRN) again.", 82},
    {7, "-> e.  If the QRN still does not see data, reboot the computer and", 82},
    {14, "repeat steps a-d again.", 82},
    {0, "7.  Are your PC drivers and VDA firmware up-to-date?", 82},
    {7, "-> Go to your VDA vendor's website, download and install the latest", 82},
    {10, "PC drivers and VDA firmware.", 82},
    {7, "-> Try QRN again.", 82},
    {0, "8.  Try a different adapter with QRN.", 82},
    {7, "-> If a different adapter works with QRN, you should immediately contact", 82},
    {10, "your current VDA vendor, as this may indicate some sort of hardware", 82},
    {10, "and/or software issue.", 82},
    {0, "If these steps fail, contact your VDA vendor's technical support dept.", 82},
    {0, "SUCCESS - Successful connect to DLL [%s.DLL], Device# [%s], and Protocol [%s].", 82},
    {5, "=> There were %d messages seen in %d seconds.", 82},
    {0, "These results indicate that the adapter is working perfectly.", 82},
    {4, "!!! THERE IS NO NEED TO CONTACT YOUR VDA VENDOR HELP DESK !!!", 82},
    {0, "If there is a problem with your RP1210 application, before calling your", 82},
    {0, "APPLICATION HELP DESK, try the following things:", 82},
    {1, "1.  Have you configured the application correctly for the \"vendor\"", 80},
    {5, "and \"device number\" for the adapter being used?", 80},
    {8, "-> Note that some OEM applications may not allow you to select the", 82},
    {11, "adapter you are trying to use.", 82},
    {8, "-> Note that some OEM applications have two or three different places", 82},
    {11, "you must select the adapter.", 82},
    {1, "2.  Have you configured your application to use the correct \"protocol\"?", 80},
    {8, "-> Note that some OEM applications let you select \"any\" protocol an", 80},
    {11, "adapter supports, but the application will not you work with that", 82},
    {11, "protocol.", 82},
    {1, "3.  Have you checked the \"c:\\windows\\rp121032.ini\" file for errors?", 78},
    {8, "-> Click the \"Fix INI File, Make This Vendor First In List\" button", 80},
    {11, "which can fix a potentially mangled INI file.", 82},
    {1, "If these steps don't work, contact your APPLICATION PROVIDER HELP DESK.", 82},
    {5, "=> There was a FAILURE seeing messages on the data bus.", 82},
    {0, "These results indicate that there is a potential problem in the wiring harness", 82},
    {0, "between the VDA and the vehicle, or that the vehicle is not sending messages", 82},
    {0, "on the protocol that you have selected.", 82},
    {4, "Before you call your VDA VENDOR HELP DESK, try the following things:", 82},
    {0, "5.  Have you configured your application to use the correct \"protocol\"?", 80},
    {0, "6.  Are you using the correct \"cable\" for the adapter you are using?", 80},
    {0, "7.  Have you tried resetting the adapter?", 82},
    {0, "8.  Are your PC drivers and VDA firmware up-to-date?", 82},
    {0, "9.  Try a different adapter with QRN.", 82},
    {0, "If these steps fail, contact your VDA vendor's technical support department", 82},
};
constexpr int B = 0;

const std::initializer_list<int> kConnectFailure = {
    1,  B,  2,  B,  3,  B,  4,  B,  5,  6,  7,  8,  9,  B,  10, 11, 12, B,  13, 14, 15, B,  16, 17, 18, B,
    19, 20, 21, 22, 23, 24, 25, B,  26, 27, 28, 29, 30, 31, 32, B,  33, 34, 35, 36, B,  37, 38, 39, 40, B, 41};
const std::initializer_list<int> kSuccess = {42, B,  43, B,  44, B,  45, B,  46, 47, B,  48, 49, 50, 51,
                                             52, 53, B,  54, 55, 56, 57, B,  58, 59, 60, B,  61, B};
const std::initializer_list<int> kNoMessages = {
    42, B,  62, B,  63, 64, 65, B,  66, B,  5,  6,  7,  8,  9,  B,  10, 11, 12, B,  13, 14, 15, B,  16, 17, 18, B,
    67, 55, 56, 57, B,  68, 20, 21, 22, 23, 24, 25, B,  69, 27, 28, 29, 30, 31, 32, B,  70, 34, 35, 36, B,  71, 38,
    39, 40, B,  72};

// The line as stored: indent, text, blanks up to the width.
std::string Stored(const Line& line) {
    std::string text(static_cast<size_t>(line.indent), ' ');
    text += line.text;
    if (text.size() < static_cast<size_t>(line.width)) text.append(static_cast<size_t>(line.width) - text.size(), ' ');
    return text;
}

}  // namespace

std::string ComposeResultsDiscussion(int dataState, int connectState, const ResultsFacts& facts) {
    const std::initializer_list<int>* block = nullptr;
    if (connectState == 1 && dataState == 1) block = &kConnectFailure;
    if (connectState == 0 && dataState == 0) block = &kSuccess;
    if (connectState == 0 && dataState == 1) block = &kNoMessages;
    if (block == nullptr) return std::string();

    std::string text;
    bool first = true;
    for (int number : *block) {
        std::string line = Stored(kLines[number]);
        if (first) {
            line = FormatText(line.c_str(), facts.vendorKey, facts.deviceText, facts.protocolString);
            first = false;
        } else if (number == 43) {
            line = FormatText(line.c_str(), facts.messageCount, facts.testSeconds);
        }
        text += line;
        text += "\r\n";
    }
    return text;
}
