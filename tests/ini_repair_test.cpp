#include "tool/config/ini_repair.h"

#include "os/os.h"
#include "tests/support/temp_windows_dir.h"
#include "tool/config/catalogue.h"
#include "tool/config/ini_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

const char kProblems[] =
    "Problems found in the RP1210 INI file.\nIt is suggested that you click \"Make Changes\" to fix these problems.";
const char kNothingToWrite[] = "No changes were made: there is no proposed RP121032.INI to write.";

class IniRepairTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseCatalogue(catalogue_.get()); }

    // Writes RP121032.INI and a vendor INI file for each name, loads the
    // catalogue as the main window does and forgets the loader's boxes.
    void Install(const std::string& mainIni, std::initializer_list<std::string> vendors) {
        dir_.Write("RP121032.INI", mainIni);
        for (const std::string& name : vendors) dir_.Write(name + ".INI", "[VendorInformation]\nName=" + name + "\n");
        LoadCatalogue(catalogue_.get());
        dir_.TakeBoxes();
    }

    IniRepairProposal Build(const std::string& key) {
        IniRepairProposal proposal;
        proposal.newLine2 = "stale";  // every field is set afresh
        proposal.problems = true;
        BuildIniRepairProposal(*catalogue_, key, owner(), &proposal);
        return proposal;
    }

    const void* owner() const { return &ownerWindow_; }
    std::string Read(const std::string& name) const {
        std::ifstream in(fs::path(dir_.path()) / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.path())) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string InDir(const std::string& name) const { return dir_.path() + "\\" + name; }

    // Each box shown since the last call must be owned by the dialog and carry
    // the checker's caption; returns their texts.
    std::vector<std::string> Boxes() const {
        std::vector<std::string> texts;
        for (const OsMessageBoxCall& box : dir_.TakeBoxes()) {
            EXPECT_EQ(box.owner, owner());
            EXPECT_EQ(box.caption, kQuorlinTitle);
            EXPECT_EQ(box.type, kOsMbOk);
            texts.push_back(box.text);
        }
        return texts;
    }

    TempWindowsDir dir_;
    std::unique_ptr<RP1210Catalogue> catalogue_ = std::make_unique<RP1210Catalogue>();
    int ownerWindow_ = 0;
};

// ---- The proposal ----------------------------------------------------------

TEST_F(IniRepairTest, ChosenVendorGoesFirstWhateverTheLoadOrder) {
    Install("[RP1210Support]\nAPIImplementations=A,B,C\n", {"A", "B", "C"});
    IniRepairProposal p = Build("B");
    EXPECT_TRUE(p.built);
    EXPECT_FALSE(p.problems);  // same length: a new order alone is no problem
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(p.currentLine1, "[RP1210Support]");
    EXPECT_EQ(p.currentLine2, "APIImplementations=A,B,C");
    EXPECT_EQ(p.currentText, "[RP1210Support]\r\nAPIImplementations=A,B,C");
    EXPECT_EQ(p.newLine1, "[RP1210Support]\n");
    EXPECT_EQ(p.newLine2, "APIImplementations=B,A,C");
    EXPECT_EQ(p.proposedText, "[RP1210Support]\r\nAPIImplementations=B,A,C");

    ReleaseCatalogue(catalogue_.get());
    Install("[RP1210Support]\nAPIImplementations=a, c ,b\n", {"A", "B", "C"});
    p = Build("B");
    EXPECT_EQ(p.newLine2, "APIImplementations=B,A,C");  // upper case, no comma at the end
    EXPECT_EQ(p.proposedText, "[RP1210Support]\r\nAPIImplementations=B,A,C");
    EXPECT_TRUE(p.problems);  // the current line held two blanks more
    EXPECT_EQ(Boxes(), std::vector<std::string>{kProblems});
}

TEST_F(IniRepairTest, OneVendorProposesOnlyTheChosenKey) {
    Install("[RP1210Support]\nAPIImplementations=X,GONE\n", {"X"});
    ASSERT_EQ(VendorCount(*catalogue_), 1);
    IniRepairProposal p = Build("X");
    EXPECT_TRUE(p.built);
    EXPECT_EQ(p.newLine2, "APIImplementations=X");
    EXPECT_EQ(p.proposedText, "[RP1210Support]\r\nAPIImplementations=X");
    EXPECT_TRUE(p.problems);
    EXPECT_EQ(Boxes(), std::vector<std::string>{kProblems});
}

TEST_F(IniRepairTest, VendorWithoutItsIniFileIsDroppedAndReported) {
    Install("[RP1210Support]\nAPIImplementations=A,B,C\n", {"A", "C"});
    IniRepairProposal p = Build("A");
    EXPECT_EQ(p.newLine2, "APIImplementations=A,C");
    EXPECT_TRUE(p.problems);
    EXPECT_EQ(Boxes(), std::vector<std::string>{kProblems});
}

TEST_F(IniRepairTest, CommentLineFirstMakesTheHeaderTheSecondLine) {
    Install("; installed by hand\n[RP1210Support]\nAPIImplementations=A\n", {"A"});
    IniRepairProposal p = Build("A");
    EXPECT_EQ(p.currentLine1, "; installed by hand");
    EXPECT_EQ(p.currentLine2, "[RP1210Support]");
    EXPECT_EQ(p.currentText, "; installed by hand\r\n[RP1210Support]");
    EXPECT_TRUE(p.problems);
    EXPECT_EQ(Boxes(), std::vector<std::string>{kProblems});
    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 1);
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\r\nAPIImplementations=A");
    EXPECT_EQ(Read("RP121032.INI.bak-1"), "; installed by hand\n[RP1210Support]\nAPIImplementations=A\n");
}

TEST_F(IniRepairTest, CurrentLinesAreTakenAsSingleReadsOfAtMost499Characters) {
    // CR LF line ends read as on Windows; a long first line comes back in two
    // reads, the second of which counts as line 2; later lines are not kept.
    std::string longLine(600, 'x');
    Install(longLine + "\r\nAPIImplementations=A\r\nthird\r\n", {});
    IniRepairProposal p = Build("");
    EXPECT_EQ(p.currentLine1, std::string(499, 'x'));
    EXPECT_EQ(p.currentLine2, std::string(101, 'x'));
    EXPECT_EQ(p.currentText, std::string(499, 'x') + "\r\n" + std::string(101, 'x'));

    Install("[RP1210Support]\r\nAPIImplementations=A\r\n[Other]\r\n", {"A"});
    p = Build("A");
    EXPECT_EQ(p.currentLine2, "APIImplementations=A");  // no CR left behind
    EXPECT_FALSE(p.problems);

    Install("only line", {});
    p = Build("");
    EXPECT_EQ(p.currentText, "only line\r\n");

    Install("", {});
    p = Build("");
    EXPECT_EQ(p.currentText, "\r\n");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(IniRepairTest, UnreadableCurrentFileProposesNothingAndMakeChangesTouchesNothing) {
    LoadCatalogue(catalogue_.get());  // no RP121032.INI at all
    dir_.TakeBoxes();
    ASSERT_NE(MainIniPath(*catalogue_), nullptr);
    IniRepairProposal p = Build("A");
    EXPECT_EQ(Boxes(),
              std::vector<std::string>{"Unable to open INI file [" + std::string(MainIniPath(*catalogue_)) +
                                       "] for reading."});
    EXPECT_FALSE(p.built);
    EXPECT_FALSE(p.problems);
    EXPECT_EQ(p.currentText, "");
    EXPECT_EQ(p.proposedText, "");
    EXPECT_EQ(p.newLine2, "");

    // The file appears meanwhile: it must not be backed up and emptied.
    dir_.Write("RP121032.INI", "[RP1210Support]\nAPIImplementations=A\n");
    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{kNothingToWrite});
    EXPECT_EQ(Files(), std::vector<std::string>{"RP121032.INI"});
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\nAPIImplementations=A\n");
}

TEST_F(IniRepairTest, WithoutAVendorOrWithAnUnknownKeyNothingIsProposed) {
    Install("[RP1210Support]\nAPIImplementations=GONE\n", {});
    ASSERT_EQ(VendorCount(*catalogue_), 0);
    for (const char* key : {"", "GONE"}) {
        IniRepairProposal p = Build(key);
        EXPECT_FALSE(p.built) << key;
        EXPECT_FALSE(p.problems) << key;
        EXPECT_EQ(p.currentText, "[RP1210Support]\r\nAPIImplementations=GONE") << key;  // still shown
        EXPECT_EQ(p.proposedText, "") << key;
        EXPECT_EQ(p.newLine1, "") << key;
        EXPECT_TRUE(Boxes().empty()) << key;
        EXPECT_EQ(MakeIniRepairChanges(p, owner()), 0);
        EXPECT_EQ(Boxes(), std::vector<std::string>{kNothingToWrite});
    }
    EXPECT_EQ(Files(), std::vector<std::string>{"RP121032.INI"});
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\nAPIImplementations=GONE\n");

    // A key that names none of the vendors that loaded would put a vendor
    // without files first and, with one vendor, drop the one that works.
    Install("[RP1210Support]\nAPIImplementations=A\n", {"A"});
    EXPECT_FALSE(Build("Z").built);
    EXPECT_FALSE(Build("a").built);  // keys compare with case
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(IniRepairTest, KeyCutToEightCharactersStandsForItsOneLongerVendor) {
    Install("[RP1210Support]\nAPIImplementations=A,LONGVENDOR\n", {"A", "LONGVENDOR"});
    IniRepairProposal p = Build("LONGVEND");
    EXPECT_EQ(p.newLine2, "APIImplementations=LONGVENDOR,A");
    EXPECT_FALSE(p.problems);

    Install("[RP1210Support]\nAPIImplementations=LONGVENDOR1,LONGVENDOR2\n", {"LONGVENDOR1", "LONGVENDOR2"});
    EXPECT_FALSE(Build("LONGVEND").built);  // which one is meant cannot be told
    Install("[RP1210Support]\nAPIImplementations=ABCDEFG,ABCDEFGXY\n", {"ABCDEFG", "ABCDEFGXY"});
    EXPECT_EQ(Build("ABCDEFG").newLine2, "APIImplementations=ABCDEFG,ABCDEFGXY");  // whole names come first
}

TEST_F(IniRepairTest, VendorListedTwiceLeavesNoCommaAtTheEnd) {
    Install("[RP1210Support]\nAPIImplementations=A,A,B,A\n", {"A", "B"});
    ASSERT_EQ(VendorCount(*catalogue_), 4);
    EXPECT_EQ(Build("A").newLine2, "APIImplementations=A,B");
    Install("[RP1210Support]\nAPIImplementations=A,A\n", {"A"});
    EXPECT_EQ(Build("A").newLine2, "APIImplementations=A");
}

// ---- Make Changes ----------------------------------------------------------

TEST_F(IniRepairTest, MakeChangesBacksUpThenWritesExactlyTwoLinesAndEachPressMakesANewBackup) {
    const std::string old =
        "[RP1210Support]\r\nAPIImplementations=A,B,C\r\n\r\n[Other]\r\nKey=value\r\n; trailing comment";
    Install(old, {"A", "B", "C"});
    IniRepairProposal p = Build("B");
    ASSERT_TRUE(p.built);
    const std::string file = InDir("RP121032.INI");
    const std::string written = "[RP1210Support]\r\nAPIImplementations=B,A,C";

    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"SUCCESS - RP1210 INI File [" + file + "] was backed up to [" + file +
                                                ".bak-1] and a new RP121032.INI file was written."});
    EXPECT_EQ(Read("RP121032.INI"), written);
    EXPECT_EQ(Read("RP121032.INI.bak-1"), old);

    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"SUCCESS - RP1210 INI File [" + file + "] was backed up to [" + file +
                                                ".bak-2] and a new RP121032.INI file was written."});
    EXPECT_EQ(Read("RP121032.INI"), written);
    EXPECT_EQ(Read("RP121032.INI.bak-2"), written);
    EXPECT_EQ(Read("RP121032.INI.bak-1"), old);
    EXPECT_EQ(Files(), (std::vector<std::string>{"A.INI", "B.INI", "C.INI", "RP121032.INI", "RP121032.INI.bak-1",
                                                 "RP121032.INI.bak-2"}));
}

TEST_F(IniRepairTest, EqualLengthsGiveNoMessageButMakeChangesStillRewrites) {
    Install("[RP1210Support]\nAPIImplementations=A,C\n", {"A", "C"});
    IniRepairProposal p = Build("A");
    EXPECT_FALSE(p.problems);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 1);
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\r\nAPIImplementations=A,C");
    EXPECT_EQ(Read("RP121032.INI.bak-1"), "[RP1210Support]\nAPIImplementations=A,C\n");
}

TEST_F(IniRepairTest, BackupThatCannotBeMadeStopsBeforeAnythingIsWritten) {
    Install("[RP1210Support]\nAPIImplementations=A,B\n", {"A", "B"});
    IniRepairProposal p = Build("B");
    dir_.Remove("RP121032.INI");  // gone since the dialog opened
    const std::string file = InDir("RP121032.INI");
    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Unable to back up RP1210 INI File [" + file + "] to file name [" +
                                                file + ".bak-1].  Changes have not be made."});
    EXPECT_EQ(Files(), (std::vector<std::string>{"A.INI", "B.INI"}));
}

TEST_F(IniRepairTest, UnknownWindowsDirectoryChangesNothing) {
    Install("[RP1210Support]\nAPIImplementations=A,B\n", {"A", "B"});
    IniRepairProposal p = Build("B");
    OsSetWindowsDirectory("");
    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"No changes were made: the Windows directory is not known."});
    EXPECT_EQ(Files(), (std::vector<std::string>{"A.INI", "B.INI", "RP121032.INI"}));
}

TEST_F(IniRepairTest, FileThatCannotBeOpenedForWritingKeepsItsBackup) {
    Install("[RP1210Support]\nAPIImplementations=A,B\n", {"A", "B"});
    IniRepairProposal p = Build("B");
    const std::string file = InDir("RP121032.INI");
#ifdef _WIN32
    // Another program holds the file open and lets others only read it.
    std::string expected = Read("RP121032.INI");
    HANDLE holder = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    int result = MakeIniRepairChanges(p, owner());
    CloseHandle(holder);
#else
    // A file that even the super-user may read but not write: a read-only
    // attribute of the kernel's.
    const char* readOnly = "/sys/devices/system/cpu/online";
    if (::access(readOnly, R_OK) != 0) GTEST_SKIP() << readOnly << " is not there to stand for a read-only file";
    dir_.Remove("RP121032.INI");
    fs::create_symlink(readOnly, fs::path(dir_.path()) / "RP121032.INI");
    std::string expected = Read("RP121032.INI");
    int result = MakeIniRepairChanges(p, owner());
#endif
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Unable open file " + file + " for changes.  Changes will not be made."});
    EXPECT_EQ(Read("RP121032.INI"), expected);
    EXPECT_EQ(Read("RP121032.INI.bak-1"), expected);
}

#ifndef _WIN32
TEST_F(IniRepairTest, FailedWriteReportsAndPutsTheOldFileBack) {
    Install("[RP1210Support]\nAPIImplementations=A,B\n", {"A", "B"});
    IniRepairProposal p = Build("B");
    dir_.Write("RP121032.INI", "x\n");  // small enough to copy under the limit below
    const std::string file = InDir("RP121032.INI");
    int result;
    {
        // Files may grow to 8 bytes: the backup fits, the new file does not.
        void (*previousSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
        rlimit limit = previous;
        limit.rlim_cur = 8;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        result = MakeIniRepairChanges(p, owner());
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousSignal);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Unable to write the new RP1210 INI File [" + file +
                                                "].  The old file was put back from its backup [" + file +
                                                ".bak-1]."});
    EXPECT_EQ(Read("RP121032.INI"), "x\n");
    EXPECT_EQ(Read("RP121032.INI.bak-1"), "x\n");
}
#endif

// ---- Backup names ----------------------------------------------------------

TEST_F(IniRepairTest, BackupNameFollowsTheHighestNumberOfAFileInUse) {
    struct Case {
        std::vector<std::string> files;
        std::vector<std::string> directories;
        const char* next;
    };
    const Case cases[] = {
        {{}, {}, "1"},
        {{"RP121032.INI.bak-1", "RP121032.INI.bak-3"}, {}, "4"},
        {{"RP121032.INI.bak-x"}, {}, "1"},                        // no digits: 0
        {{}, {"RP121032.INI.bak-5", "RP121032.INI.bak-6"}, "0"},  // found, but no file among them
        {{"RP121032.INI.bak-2"}, {"RP121032.INI.bak-9"}, "3"},
        {{"rp121032.ini.BAK-7"}, {}, "8"},                        // names in any case
        {{"RP121032.INI.bak-5.old", "RP121032.INI.bak"}, {}, "6"},
        {{"RP121032.INI.bak-0-9"}, {}, "1"},                      // the first value above -1 ends the scan
        {{"RP121032.INI.bak--4"}, {}, "1"},                       // digits only: no sign
        {{"RP121032.INI.bak- 7"}, {}, "1"},                       // and no blank
        {{"RP121032.INI.bak-2147483647"}, {}, "2147483648"},       // no overflow at the limit
        {{"RP121032.INI.bak-99999999999999999999"}, {}, "2147483648"},
    };
    for (const Case& c : cases) {
        TempWindowsDir dir;
        for (const std::string& name : c.files) dir.Write(name, "old");
        for (const std::string& name : c.directories) fs::create_directory(fs::path(dir.path()) / name);
        EXPECT_EQ(ChooseIniBackupName(dir.path().c_str()), dir.path() + "\\RP121032.INI.bak-" + c.next)
            << (c.files.empty() ? std::string("(directories)") : c.files[0]);
    }
}

TEST_F(IniRepairTest, BackupNumbersExhaustedAtTheLimitFailTheCopyAndKeepEveryFile) {
    Install("[RP1210Support]\nAPIImplementations=A,B\n", {"A", "B"});
    IniRepairProposal p = Build("B");
    dir_.Write("RP121032.INI.bak-2147483647", "first");
    dir_.Write("RP121032.INI.bak-2147483648", "second");  // reads as 2147483647 too
    const std::string file = InDir("RP121032.INI");
    EXPECT_EQ(MakeIniRepairChanges(p, owner()), 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Unable to back up RP1210 INI File [" + file + "] to file name [" +
                                                file + ".bak-2147483648].  Changes have not be made."});
    EXPECT_EQ(Read("RP121032.INI"), "[RP1210Support]\nAPIImplementations=A,B\n");
    EXPECT_EQ(Read("RP121032.INI.bak-2147483648"), "second");
}

}  // namespace
