#include "tool/adapter_test/results_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text, bool* onlyCrLf) {
    std::vector<std::string> lines;
    *onlyCrLf = true;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            *onlyCrLf = false;
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    for (const std::string& line : lines) {
        if (line.find_first_of("\r\n") != std::string::npos) *onlyCrLf = false;
    }
    return lines;
}

const ResultsFacts kFacts{"HVLNK32", "1", "J1939", 1, 5};

// `text` after `indent` blanks, padded with blanks to `width`.
std::string Pad(int indent, const std::string& text, size_t width) {
    std::string line = std::string(static_cast<size_t>(indent), ' ') + text;
    return line + std::string(width - line.size(), ' ');
}

// Every line but the filled-in ones is 82 characters, less one for each
// double quote and each backslash it holds.
void ExpectWidths(const std::vector<std::string>& lines, const std::vector<size_t>& filled) {
    for (size_t i = 0; i < lines.size(); ++i) {
        bool isFilled = false;
        for (size_t f : filled) isFilled = isFilled || f == i;
        if (isFilled) continue;
        size_t marks = 0;
        for (char c : lines[i]) marks += (c == '"' || c == '\\');
        EXPECT_EQ(lines[i].size(), 82 - marks) << "line " << i << ": " << lines[i];
    }
}

TEST(ResultsText, ConnectFailureBlock) {
    bool onlyCrLf;
    std::string text = ComposeResultsDiscussion(1, 1, kFacts);
    std::vector<std::string> lines = Lines(text, &onlyCrLf);
    EXPECT_TRUE(onlyCrLf);
    ASSERT_EQ(lines.size(), 53u);
    EXPECT_EQ(lines[0], "FAILURE - Unable to connect to DLL [HVLNK32.DLL], Device# [1], and Protocol [J1939]." +
                            std::string(5, ' '));
    EXPECT_EQ(lines[1], std::string(82, ' '));
    EXPECT_EQ(lines[2], Pad(5, "=> There were NO attempts made to read messages.", 82));
    EXPECT_EQ(lines[8], Pad(0, "1.  Is the \"Power\" LED lit on your adapter?", 80));
    EXPECT_EQ(lines[40], Pad(14, "repeat steps a-d again.", 82));
    // It ends with its last line, no blank line after it.
    EXPECT_EQ(lines.back(), Pad(0, "If these steps fail, contact your VDA vendor's technical support dept.", 82));
    ExpectWidths(lines, {0});
}

TEST(ResultsText, SuccessBlockCountsMessagesInThePlural) {
    bool onlyCrLf;
    std::vector<std::string> lines = Lines(ComposeResultsDiscussion(0, 0, kFacts), &onlyCrLf);
    EXPECT_TRUE(onlyCrLf);
    ASSERT_EQ(lines.size(), 29u);
    EXPECT_EQ(lines[0].rfind("SUCCESS - Successful connect to DLL [HVLNK32.DLL], Device# [1], and Protocol [J1939].",
                             0),
              0u);
    EXPECT_EQ(lines[2], "     => There were 1 messages seen in 5 seconds." + std::string(32, ' '));
    EXPECT_EQ(lines[6], Pad(4, "!!! THERE IS NO NEED TO CONTACT YOUR VDA VENDOR HELP DESK !!!", 82));
    EXPECT_EQ(lines[23], Pad(1, "3.  Have you checked the \"c:\\windows\\rp121032.ini\" file for errors?", 78));
    EXPECT_EQ(lines.back(), std::string(82, ' '));  // it ends with a blank line
    ExpectWidths(lines, {0, 2});
}

TEST(ResultsText, NoMessagesBlock) {
    bool onlyCrLf;
    std::vector<std::string> lines = Lines(ComposeResultsDiscussion(1, 0, kFacts), &onlyCrLf);
    EXPECT_TRUE(onlyCrLf);
    ASSERT_EQ(lines.size(), 60u);
    EXPECT_EQ(lines[2], Pad(5, "=> There was a FAILURE seeing messages on the data bus.", 82));
    EXPECT_EQ(lines[28], Pad(0, "5.  Have you configured your application to use the correct \"protocol\"?", 80));
    EXPECT_EQ(lines[29], Pad(8, "-> Note that some OEM applications let you select \"any\" protocol an", 80));
    EXPECT_EQ(lines.back(), Pad(0, "If these steps fail, contact your VDA vendor's technical support department", 82));
    ExpectWidths(lines, {0});
}

TEST(ResultsText, OtherStatePairsHaveNoDiscussion) {
    EXPECT_EQ(ComposeResultsDiscussion(-1, -1, kFacts), "");
    EXPECT_EQ(ComposeResultsDiscussion(-1, 0, kFacts), "");
    EXPECT_EQ(ComposeResultsDiscussion(0, 1, kFacts), "");
}

}  // namespace
