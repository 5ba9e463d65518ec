#include "tool/adapter_test/rp1210_errors.h"

#include "tests/support/text_windows.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

TEST(WindowLines, AppendWindowLineAddsCrLfAndAsksForTenLinesOfScroll) {
    TextWindows windows;
    CheckerUi ui = windows.Ui();
    AppendWindowLine(ui, "first", kStatusWindow);
    AppendWindowLine(ui, "second", kStatusWindow);
    AppendWindowLine(ui, "TS[1]:", kDataWindow);
    EXPECT_EQ(windows.status, "first\r\nsecond\r\n");
    EXPECT_EQ(windows.data, "TS[1]:\r\n");
    EXPECT_EQ(windows.scrolls, (std::vector<int>{kStatusWindow, kStatusWindow, kDataWindow}));
}

TEST(WindowLines, ABatchEndsWithTheTextOfLineByLine) {
    TextWindows byLine, batched;
    std::vector<std::string> lines = {"TS[1]:[00]", "", "TS[2]:[01][02]"};
    AppendWindowLine(byLine.Ui(), "first", kDataWindow);
    for (const std::string& line : lines) AppendWindowLine(byLine.Ui(), line.c_str(), kDataWindow);
    AppendWindowLine(batched.Ui(), "first", kDataWindow);
    AppendWindowLines(batched.Ui(), lines, kDataWindow);
    AppendWindowLines(batched.Ui(), {}, kDataWindow);  // nothing: not even a scroll
    EXPECT_EQ(batched.data, byLine.data);
    EXPECT_EQ(batched.scrolls.size(), 2u);
}

TEST(Rp1210ErrorTable, HoldsTheFiftyEightNamesIn48ColumnsWith999Last) {
    const Rp1210ErrorName* names = Rp1210ErrorNames();
    for (int i = 0; i < kRp1210ErrorNameCount; ++i) {
        EXPECT_EQ(std::strlen(names[i].text), 48u) << names[i].text;
        EXPECT_EQ(std::atoi(names[i].text), names[i].code);
        if (i > 0) {
            EXPECT_GT(names[i].code, names[i - 1].code);
        }
    }
    EXPECT_EQ(std::string(names[0].text), "  0 - NO_ERRORS" + std::string(33, ' '));
    EXPECT_EQ(std::string(names[14].text), "141 - ERR_MESSAGE_TOO_LONG" + std::string(22, ' '));
    EXPECT_EQ(names[kRp1210ErrorNameCount - 1].code, 999);
    // 0, 128-162 without gaps, 202, 204-208, 213, 220, 222, 224-227, 230, 441, 453-458, 999
    int expected[] = {0, 202, 204, 205, 206, 207, 208, 213, 220, 222, 224, 225, 226, 227, 230,
                      441, 453, 454, 455, 456, 457, 458, 999};
    int found = 0;
    for (int code = 0; code <= 1000; ++code) {
        bool listed = false;
        for (int i = 0; i < kRp1210ErrorNameCount; ++i) listed = listed || names[i].code == code;
        bool wanted = (code >= 128 && code <= 162);
        for (int e : expected) wanted = wanted || e == code;
        EXPECT_EQ(listed, wanted) << code;
        found += listed;
    }
    EXPECT_EQ(found, kRp1210ErrorNameCount);
}

TEST(Rp1210ErrorTable, ErrorLinesForKnownUnknownAndEndCodes) {
    EXPECT_EQ(FormatRp1210ErrorLine("RP1210_ReadMessage", 141, "Message too long"),
              "[RP1210_ReadMessage] 141 - ERR_MESSAGE_TOO_LONG" + std::string(22, ' ') + " Message too long");
    EXPECT_EQ(FormatRp1210ErrorLine("RP1210_ClientDisconnect", 0, ""),
              "[RP1210_ClientDisconnect]   0 - NO_ERRORS" + std::string(33, ' ') + " ");
    EXPECT_EQ(FormatRp1210ErrorLine("RP1210_ReadMessage", 203, "Gap"),
              "[RP1210_ReadMessage] ERROR_CODE_UNKNOWN 203 Gap");
    EXPECT_EQ(FormatRp1210ErrorLine("RP1210_ReadMessage", 999, "End"),
              "[RP1210_ReadMessage] ERROR_CODE_UNKNOWN 999 End");
    // Only the low 16 bits count: 40000 is -25536, and 65536 + 141 is 141.
    EXPECT_EQ(FormatRp1210ErrorLine("X", 40000, "d"), "[X] ERROR_CODE_UNKNOWN -25536 d");
    EXPECT_EQ(FindRp1210ErrorName(65536 + 141), FindRp1210ErrorName(141));
    std::string longText(2000, 'x');
    EXPECT_EQ(FormatRp1210ErrorLine("X", 128, longText.c_str()).size(), 999u);
}

// Vendor libraries' RP1210_GetErrorMsg as the tests script them.
int16_t HV_CALL DescribeAsMessageTooLong(int16_t code, char* text) {
    std::strcpy(text, code == 141 ? "Message too long" : "Other");
    return 0;
}
int16_t HV_CALL DescribeNothing(int16_t, char*) { return 134; }
int16_t HV_CALL DescribeUnterminated(int16_t, char* text) {
    std::memset(text, 'y', 1000);  // fills the whole buffer without a terminator
    return 0;
}

TEST(Rp1210ErrorTable, ReportAppendsOneStatusLineWithTheLibrarysDescription) {
    TextWindows windows;
    Rp1210Api api{};
    api.GetErrorMsg = DescribeAsMessageTooLong;
    ReportRp1210Error(api, windows.Ui(), "RP1210_ReadMessage", 141);
    EXPECT_EQ(windows.status,
              "[RP1210_ReadMessage] 141 - ERR_MESSAGE_TOO_LONG" + std::string(22, ' ') + " Message too long\r\n");
    EXPECT_TRUE(windows.data.empty());

    TextWindows silent;
    api.GetErrorMsg = DescribeNothing;
    ReportRp1210Error(api, silent.Ui(), "RP1210_ReadMessage", 203);
    EXPECT_EQ(silent.status, "[RP1210_ReadMessage] ERROR_CODE_UNKNOWN 203 \r\n");

    TextWindows flooded;
    api.GetErrorMsg = DescribeUnterminated;
    ReportRp1210Error(api, flooded.Ui(), "RP1210_ReadMessage", 128);
    EXPECT_EQ(flooded.status.size(), 999u + 2u);
}

}  // namespace
