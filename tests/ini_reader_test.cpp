#include "tool/config/ini_reader.h"

#include "os/os.h"
#include "tests/support/temp_windows_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class IniReaderTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseAllocations(); }

    // Writes `content` as test.ini and parses it.
    IniFile Parse(const std::string& content) {
        dir_.Write("test.ini", content);
        IniFile ini{};
        EXPECT_EQ(ReadIniFile(Path("test.ini").c_str(), &ini), 1);
        return ini;
    }
    std::string Path(const std::string& name) const { return dir_.path() + "\\" + name; }
    static std::string Value(const IniFile& ini, const char* section, const char* key) {
        const char* value = GetIniValue(&ini, section, key);
        return value ? std::string("=") + value : std::string("(absent)");
    }

    TempWindowsDir dir_;
};

TEST_F(IniReaderTest, KeysAndValuesAreTrimmedAndCommentsAfterAValueStay) {
    IniFile ini = Parse("[S]\nKey = Value ; note\nOther=\t x \t\nEmpty=\nFlag\n");
    EXPECT_EQ(Value(ini, "S", "Key"), "=Value ; note");
    EXPECT_EQ(Value(ini, "S", "Other"), "=x");
    EXPECT_EQ(Value(ini, "S", "Empty"), "=");
    EXPECT_EQ(Value(ini, "S", "Flag"), "=");  // found, with an empty value
    EXPECT_EQ(Value(ini, "S", "Missing"), "(absent)");
    EXPECT_EQ(Value(ini, "Nope", "Key"), "(absent)");
}

TEST_F(IniReaderTest, OnlyLinesStartingWithALetterAreKeys) {
    IniFile ini = Parse("[S]\n Blank=1\n\tTab=2\n1Digit=3\n=x\n;Semi=4\n#Hash=5\n'Apos=6\nGood=7\n");
    EXPECT_EQ(Value(ini, "S", "Blank"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "Tab"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "1Digit"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "Semi"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "Hash"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "Apos"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "Good"), "=7");
    int entries = 0;
    for (IniEntry* e = ini.firstSection->firstEntry; e; e = e->next) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(IniReaderTest, SectionNamesAreTakenAsWritten) {
    IniFile ini = Parse("[Section]trailing text\nA=1\n[ Spaced ]\nB=2\n[NoClose\nC=3\n");
    EXPECT_EQ(Value(ini, "section", "a"), "=1");
    EXPECT_EQ(Value(ini, "Spaced", "B"), "(absent)");
    EXPECT_EQ(Value(ini, " Spaced ", "B"), "=2");
    // Without ']' the line feed belongs to the name.
    EXPECT_EQ(Value(ini, "NoClose\n", "C"), "=3");
    EXPECT_EQ(Value(ini, "NoClose", "C"), "(absent)");
}

TEST_F(IniReaderTest, FirstSectionAndFirstKeyWin) {
    IniFile ini = Parse("[S]\nK=first\nK=second\n[s]\nK=third\nOnlyLater=x\n");
    EXPECT_EQ(Value(ini, "S", "K"), "=first");
    EXPECT_EQ(Value(ini, "S", "OnlyLater"), "(absent)");  // later sections are never searched
}

TEST_F(IniReaderTest, CarriageReturnLineEndsReadLikeLineFeeds) {
    IniFile lf = Parse("[RP1210Support]\nAPIImplementations=A,B\n[X]\nK=v\n");
    std::string a = Value(lf, "RP1210Support", "APIImplementations") + Value(lf, "X", "K");
    IniFile crlf = Parse("[RP1210Support]\r\nAPIImplementations=A,B\r\n[X]\r\nK=v\r\n");
    std::string b = Value(crlf, "RP1210Support", "APIImplementations") + Value(crlf, "X", "K");
    EXPECT_EQ(a, "=A,B=v");
    EXPECT_EQ(a, b);
    EXPECT_STREQ(crlf.firstSection->name, "RP1210Support");
}

TEST_F(IniReaderTest, KeyBeforeAnySectionIsNotKept) {
    IniFile ini = Parse("Orphan=1\n[S]\nK=2\n");
    EXPECT_EQ(Value(ini, "S", "Orphan"), "(absent)");
    EXPECT_EQ(Value(ini, "S", "K"), "=2");
}

TEST_F(IniReaderTest, LongLinesAreReadIn999CharacterPieces) {
    // 999 characters of key line, then the rest of the line as a line of its own.
    std::string first = "Long=" + std::string(994, 'v');
    IniFile ini = Parse("[S]\n" + first + "Tail=t\n");
    EXPECT_EQ(Value(ini, "S", "Long"), "=" + std::string(994, 'v'));
    EXPECT_EQ(Value(ini, "S", "Tail"), "=t");
    // A rest that does not start with a letter is ignored.
    IniFile ini2 = Parse("[S]\nLong=" + std::string(994, 'v') + " =x\nNext=n\n");
    EXPECT_EQ(Value(ini2, "S", "Next"), "=n");
}

TEST_F(IniReaderTest, BinaryJunkParsesWithoutHarm) {
    std::string junk("[S\0x]\nK\0=1\n\xff\xfe=2\n[", 17);
    IniFile ini = Parse(junk);
    EXPECT_NE(ini.firstSection, nullptr);
}

TEST_F(IniReaderTest, UnopenableFileKeepsThePathAndReturnsZero) {
    IniFile ini{};
    std::string path = Path("missing.ini");
    EXPECT_EQ(ReadIniFile(path.c_str(), &ini), 0);
    ASSERT_NE(ini.path, nullptr);
    EXPECT_EQ(std::string(ini.path), path);
    EXPECT_EQ(ini.firstSection, nullptr);
    EXPECT_TRUE(dir_.TakeBoxes().empty());
}

TEST_F(IniReaderTest, EveryBlockOfALoadIsRecordedAndReleasedTogether) {
    EXPECT_EQ(AllocationCount(), 0u);
    IniFile ini = Parse("[S]\nK=v\n");
    // path, section, name, entry, key, value
    EXPECT_EQ(AllocationCount(), 6u);
    EXPECT_STREQ(ini.firstSection->firstEntry->value, "v");
    ReleaseAllocations();
    EXPECT_EQ(AllocationCount(), 0u);
}

TEST_F(IniReaderTest, LoadsOfMoreThan35000BlocksAreRecordedAndFreed) {
    std::string content = "[S]\n";
    for (int i = 0; i < 12000; ++i) content += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    IniFile ini = Parse(content);  // 3 blocks an entry: 36,000 and more
    EXPECT_GT(AllocationCount(), 36000u);
    EXPECT_EQ(Value(ini, "S", "Key11999"), "=11999");
    ReleaseAllocations();  // the sanitizer build reports any block left unfreed
    EXPECT_EQ(AllocationCount(), 0u);
}

TEST_F(IniReaderTest, SafeAllocGivesZeroFilledBlocks) {
    unsigned char* block = static_cast<unsigned char*>(SafeAlloc(64));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
    EXPECT_NE(SafeAlloc(0), nullptr);
    EXPECT_EQ(AllocationCount(), 2u);
}

TEST_F(IniReaderTest, ShowConfigMessageIsAnOkBoxWithTheCheckersCaption) {
    ShowConfigMessage("hello\n");
    auto boxes = dir_.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "hello\n");
    EXPECT_EQ(boxes[0].caption, "Halvery Group RP1210 Quorlin (QRN) Version 1.2");
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].type, static_cast<unsigned>(kOsMbOk));
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)
int PrintBox(const OsMessageBoxCall& call) {
    std::fprintf(stderr, "[%s] %s", call.caption.c_str(), call.text.c_str());
    return kOsIdOk;
}

TEST(SafeAllocDeathTest, FailureShowsItsMessageAndExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            OsHooks hooks = OsGetHooks();
            hooks.messageBox = PrintBox;
            OsSetHooks(&hooks);
            SafeAlloc(static_cast<size_t>(-1) / 2);
        },
        ::testing::ExitedWithCode(1), "SafeAlloc:  Error allocating memory\\.");
}
#endif

}  // namespace
