#include "tool/config/text_helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Runs an in-place helper on a copy of `text` and returns the result.
template <typename Helper>
std::string Apply(Helper helper, const std::string& text) {
    std::string work = text;
    work.push_back('\0');
    helper(&work[0]);
    return std::string(work.c_str());
}

TEST(TextHelpers, TrimTextRemovesEveryKindOfWhiteSpaceAtBothEnds) {
    EXPECT_EQ(Apply(TrimText, " \t\r\n\v\fa b\t \r\n"), "a b");
    EXPECT_EQ(Apply(TrimText, "   "), "");
    EXPECT_EQ(Apply(TrimText, ""), "");
    EXPECT_EQ(Apply(TrimText, "x"), "x");
    EXPECT_EQ(TrimText(nullptr), nullptr);
}

TEST(TextHelpers, FirstWordTakesTheVendorKeyOrDeviceNumberOfAListEntry) {
    EXPECT_EQ(Apply(FirstWord, "  HVLNK32  - Vendor"), "HVLNK32");
    EXPECT_EQ(Apply(FirstWord, "  1 - Adapter - USB"), "1");
    EXPECT_EQ(Apply(FirstWord, "J1939:Baud=Auto"), "J1939:Baud=Auto");
    // Only a blank cuts; a tab inside the word stays.
    EXPECT_EQ(Apply(FirstWord, "A\tB C"), "A\tB");
}

TEST(TextHelpers, RemoveWhiteSpaceAndCleanListPrepareAVendorList) {
    EXPECT_EQ(Apply(RemoveWhiteSpace, " A , ,B,,\r\n"), "A,,B,,");
    EXPECT_EQ(Apply(CleanList, "A,,,B,"), "A,B");
    EXPECT_EQ(Apply(CleanList, ",A"), ",A");
    EXPECT_EQ(Apply(CleanList, ",,A,,"), ",A");
    EXPECT_EQ(Apply(CleanList, ","), "");
    EXPECT_EQ(Apply(CleanList, ",,,"), "");
    EXPECT_EQ(Apply(CleanList, "A"), "A");
}

TEST(TextHelpers, CaseChangesTouchOnlyAsciiLetters) {
    EXPECT_EQ(Apply(ToLowerText, "C:\\WINDOWS\\HvLnk32.INI"), "c:\\windows\\hvlnk32.ini");
    EXPECT_EQ(Apply(ToUpperText, "hvlnk32-\xe9"), "HVLNK32-\xe9");
}

TEST(TextHelpers, ReadBigEndian32TakesTheMostSignificantByteFirst) {
    const unsigned char bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(ReadBigEndian32(bytes), 0x12345678u);
    const unsigned char topBit[] = {0x80, 0x00, 0x00, 0x01};
    EXPECT_EQ(static_cast<int32_t>(ReadBigEndian32(topBit)), -2147483647);
}

TEST(TextHelpers, ParseDecimalReadsAsAtoiWithoutOverflowing) {
    EXPECT_EQ(ParseDecimal("12abc"), 12);
    EXPECT_EQ(ParseDecimal(" 2"), 2);
    EXPECT_EQ(ParseDecimal("-7"), -7);
    EXPECT_EQ(ParseDecimal("+7"), 7);
    EXPECT_EQ(ParseDecimal("x"), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("-"), 0);
    EXPECT_EQ(ParseDecimal(nullptr), 0);
    EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParseDecimal("-99999999999999999999"), -2147483647 - 1);
    EXPECT_EQ(static_cast<int16_t>(ParseDecimal("70000")), 4464);  // kept in 16 bits
}

TEST(TextHelpers, ComparisonsIgnoreAsciiCase) {
    EXPECT_TRUE(EqualsNoCase("RP1210Support", "rp1210support"));
    EXPECT_FALSE(EqualsNoCase("Section", " Section "));
    EXPECT_TRUE(BeginsWithNoCase("J1939:Baud=Auto", "j1939"));
    EXPECT_FALSE(BeginsWithNoCase("J19", "J1939"));
    EXPECT_TRUE(BeginsWithNoCase("anything", ""));
    EXPECT_LT(CompareNoCase("  1 - a", " 10 - b"), 0);  // a blank sorts before a digit
    EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
    EXPECT_EQ(CompareNoCase("abc", "ABC"), 0);
}

TEST(TextHelpers, FormatTextIsNotCutAtAnyLength) {
    std::string longText(5000, 'x');
    EXPECT_EQ(FormatText("[%s]", longText.c_str()).size(), 5002u);
    EXPECT_EQ(FormatText("%-8.8s|", "LONGVENDORKEY"), "LONGVEND|");
}

}  // namespace
