#include "os/os.h"

#include "tests/support/temp_windows_dir.h"
#include "tool/config/catalogue.h"

#include "tests/support/scoped_hooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::pair<std::string, bool>> Sorted(const std::vector<OsFoundFile>& found) {
    std::vector<std::pair<std::string, bool>> names;
    for (const OsFoundFile& f : found) names.emplace_back(f.name, f.isDirectory);
    std::sort(names.begin(), names.end());
    return names;
}

#ifndef _WIN32
// While it lives, files this process writes cannot grow past `bytes`: a write
// beyond fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousSignal_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        set_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousSignal_);
    }
    bool set() const { return set_; }

private:
    rlimit previous_{};
    void (*previousSignal_)(int) = nullptr;
    bool set_ = false;
};
#endif

TEST(OsLayer, WindowsDirectoryOverrideAndShortBuffers) {
    OsSetWindowsDirectory("c:\\test dir");
    char buffer[100];
    EXPECT_EQ(OsGetWindowsDirectory(buffer, sizeof buffer), 11u);
    EXPECT_STREQ(buffer, "c:\\test dir");
    char small[5] = "xxxx";
    EXPECT_EQ(OsGetWindowsDirectory(small, sizeof small), 0u);  // does not fit: nothing stored
    EXPECT_STREQ(small, "");
    EXPECT_EQ(OsGetWindowsDirectory(nullptr, 0), 0u);
    OsSetWindowsDirectory("");
    EXPECT_EQ(OsGetWindowsDirectory(buffer, sizeof buffer), 0u);
    OsSetWindowsDirectory(nullptr);
}

#ifndef _WIN32
// Natively WINDIR stands for the platform's directory, so that a library
// loaded into the process (with its own OS layer) finds the same one.
TEST(OsLayerPosix, WindirStandsForThePlatformDirectory) {
    const char* before = std::getenv("WINDIR");
    std::string saved = before ? before : "";
    setenv("WINDIR", "/tmp/some windows", 1);
    char buffer[100];
    EXPECT_EQ(OsGetWindowsDirectory(buffer, sizeof buffer), 17u);
    EXPECT_STREQ(buffer, "/tmp/some windows");
    char small[10];
    EXPECT_EQ(OsGetWindowsDirectory(small, sizeof small), 0u);
    OsSetWindowsDirectory("/elsewhere");  // an override still wins
    EXPECT_EQ(OsGetWindowsDirectory(buffer, sizeof buffer), 10u);
    OsSetWindowsDirectory(nullptr);
    unsetenv("WINDIR");
    EXPECT_EQ(OsGetWindowsDirectory(buffer, sizeof buffer), 0u);
    if (before) setenv("WINDIR", saved.c_str(), 1);
}
#endif

TEST(OsLayer, FilesOpenByWindowsPathWithoutRegardToCase) {
    TempWindowsDir dir;
    dir.Write("MixedCase.INI", "[S]\r\nK=v\r\n");
    std::string lower = dir.path() + "\\mixedcase.ini";
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::FILE* file = OsOpenFile(lower.c_str(), "r");
    ASSERT_NE(file, nullptr) << lower;
    char line[100];
    ASSERT_NE(OsReadTextLine(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "[S]\n");
    ASSERT_NE(OsReadTextLine(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "K=v\n");
    EXPECT_EQ(OsReadTextLine(line, sizeof line, file), nullptr);
    std::fclose(file);
    EXPECT_EQ(OsOpenFile((dir.path() + "\\absent.ini").c_str(), "r"), nullptr);
    EXPECT_EQ(OsOpenFile(dir.path().c_str(), "r"), nullptr);  // a directory is not a file
    EXPECT_EQ(OsOpenFile("", "r"), nullptr);
}

TEST(OsLayer, CarriageReturnAtTheEndOfAFullBufferJoinsItsLineFeed) {
    TempWindowsDir dir;
    dir.Write("cr.ini", "abcd\r\nef\rg\n");
    std::FILE* file = OsOpenFile((dir.path() + "\\cr.ini").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char line[6];  // takes "abcd\r" in one read
    ASSERT_NE(OsReadTextLine(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "abcd\n");
    ASSERT_NE(OsReadTextLine(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "ef\rg\n");  // a lone CR inside a line stays
    std::fclose(file);
}

TEST(OsFiles, FindFilesMatchesTheLastComponentWithWildcardsWithoutRegardToCase) {
    TempWindowsDir dir;
    dir.Write("RP121032.INI", "");
    dir.Write("RP121032.INI.bak-1", "");
    dir.Write("rp121032.ini.BAK-17", "");
    dir.Write("RP121032.INI.bak", "");      // no dash: not matched
    dir.Write("XRP121032.INI.bak-2", "");   // the pattern is anchored at the start
    fs::create_directory(fs::path(dir.path()) / "RP121032.INI.bak-9");
    // The directory part is found without regard to case as well.
    std::string upperDir = Upper(dir.path());
    EXPECT_EQ(Sorted(OsFindFiles((upperDir + "\\rp121032.ini.bak-*").c_str())),
              (std::vector<std::pair<std::string, bool>>{
                  {"RP121032.INI.bak-1", false}, {"RP121032.INI.bak-9", true}, {"rp121032.ini.BAK-17", false}}));

    // '?' takes exactly one character; a '*' may have to give characters back.
    dir.Write("bak-1", "");
    dir.Write("bok-2", "");
    dir.Write("bk-3", "");
    dir.Write("baak-4", "");
    dir.Write("a-1-1", "");
    dir.Write("a-12", "");
    EXPECT_EQ(Sorted(OsFindFiles((dir.path() + "\\b?k-*").c_str())),
              (std::vector<std::pair<std::string, bool>>{{"bak-1", false}, {"bok-2", false}}));
    EXPECT_EQ(Sorted(OsFindFiles((dir.path() + "\\*-1").c_str())),
              (std::vector<std::pair<std::string, bool>>{
                  {"RP121032.INI.bak-1", false}, {"a-1-1", false}, {"bak-1", false}}));
    EXPECT_EQ(Sorted(OsFindFiles((dir.path() + "\\BAAK-4").c_str())),
              (std::vector<std::pair<std::string, bool>>{{"baak-4", false}}));

    EXPECT_TRUE(OsFindFiles((dir.path() + "\\nothing*").c_str()).empty());
    EXPECT_TRUE(OsFindFiles((dir.path() + "\\absent dir\\*").c_str()).empty());
    EXPECT_TRUE(OsFindFiles("").empty());
    EXPECT_TRUE(OsFindFiles(nullptr).empty());
}

#ifndef _WIN32
TEST(OsFiles, FindFilesStaysFastOnPatternsWithManyStars) {
    TempWindowsDir dir;
    dir.Write(std::string(200, 'a'), "");
    // A matcher that tries every split of the name among the stars would not
    // finish; this one answers at once.
    EXPECT_TRUE(OsFindFiles((dir.path() + "\\*a*a*a*a*a*a*a*a*a*a*a*a*b").c_str()).empty());
    EXPECT_EQ(OsFindFiles((dir.path() + "\\*a*a*a*a*a*a*a*a*a*a*a*a*").c_str()).size(), 1u);
}
#endif

TEST(OsFiles, CopyFileCopiesEveryByteAndHonoursFailIfExists) {
    TempWindowsDir dir;
    std::string content = "[S]\r\nK=v\n";
    content += std::string(1, '\0');
    for (int i = 0; i < 20000; ++i) content += "line " + std::to_string(i) + "\r\n";  // several chunks
    dir.Write("source.ini", content);
    fs::path base(dir.path());

    EXPECT_EQ(OsCopyFile((dir.path() + "\\SOURCE.INI").c_str(), (dir.path() + "\\copy.ini").c_str(), true), 1);
    EXPECT_EQ(ReadBytes(base / "copy.ini"), content);

    // An existing destination, named in another case, stays untouched.
    dir.Write("Keep.txt", "keep");
    EXPECT_EQ(OsCopyFile((dir.path() + "\\source.ini").c_str(), (dir.path() + "\\KEEP.TXT").c_str(), true), 0);
    EXPECT_EQ(ReadBytes(base / "Keep.txt"), "keep");
    // Without fail-if-exists it is replaced.
    EXPECT_EQ(OsCopyFile((dir.path() + "\\source.ini").c_str(), (dir.path() + "\\KEEP.TXT").c_str(), false), 1);
    EXPECT_EQ(ReadBytes(base / "Keep.txt"), content);

    // A copy onto itself must not empty the file.
    OsCopyFile((dir.path() + "\\source.ini").c_str(), (dir.path() + "\\Source.Ini").c_str(), false);
    EXPECT_EQ(ReadBytes(base / "source.ini"), content);
}

TEST(OsFiles, CopyFileFailsWithoutASourceFileAndLeavesNoDestination) {
    TempWindowsDir dir;
    fs::path base(dir.path());
    fs::create_directory(base / "folder");
    dir.Write("source.ini", "x");
    EXPECT_EQ(OsCopyFile((dir.path() + "\\absent.ini").c_str(), (dir.path() + "\\to1").c_str(), true), 0);
    EXPECT_EQ(OsCopyFile((dir.path() + "\\folder").c_str(), (dir.path() + "\\to2").c_str(), true), 0);
    EXPECT_EQ(OsCopyFile((dir.path() + "\\source.ini").c_str(), (dir.path() + "\\no dir\\to3").c_str(), true), 0);
    EXPECT_EQ(OsCopyFile((dir.path() + "\\source.ini").c_str(), (dir.path() + "\\folder").c_str(), false), 0);
    EXPECT_EQ(OsCopyFile(nullptr, (dir.path() + "\\to4").c_str(), true), 0);
    EXPECT_EQ(OsCopyFile((dir.path() + "\\source.ini").c_str(), "", true), 0);
    EXPECT_FALSE(fs::exists(base / "to1"));
    EXPECT_FALSE(fs::exists(base / "to2"));
    EXPECT_TRUE(fs::is_directory(base / "folder"));
    EXPECT_EQ(ReadBytes(base / "source.ini"), "x");
}

#ifndef _WIN32
TEST(OsFiles, CopyFileNeitherHangsOnPipesNorLeavesAPartialCopy) {
    TempWindowsDir dir;
    fs::path base(dir.path());
    // A FIFO with nobody at the other end, on either side of the copy.
    ASSERT_EQ(::mkfifo((base / "pipe").c_str(), 0600), 0);
    dir.Write("source.ini", "x");
    EXPECT_EQ(OsCopyFile((dir.path() + "\\pipe").c_str(), (dir.path() + "\\to1").c_str(), true), 0);
    EXPECT_EQ(OsCopyFile((dir.path() + "\\source.ini").c_str(), (dir.path() + "\\pipe").c_str(), false), 0);
    EXPECT_FALSE(fs::exists(base / "to1"));

    // A copy that cannot be written to its end takes its partial file away.
    dir.Write("big.ini", std::string(100000, 'b'));
    {
        FileSizeLimit limit(10000);
        ASSERT_TRUE(limit.set());
        EXPECT_EQ(OsCopyFile((dir.path() + "\\big.ini").c_str(), (dir.path() + "\\to2").c_str(), true), 0);
    }
    EXPECT_FALSE(fs::exists(base / "to2"));
}
#endif

TEST(OsFiles, WriteTextWritesLineFeedsAsCarriageReturnLineFeed) {
    TempWindowsDir dir;
    std::string path = dir.path() + "\\out.ini";
    std::FILE* file = OsOpenFile(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(OsWriteText(file, "[RP1210Support]\n"), 1);
    EXPECT_EQ(OsWriteText(file, ""), 1);
    EXPECT_EQ(OsWriteText(file, "a\r\nb\n\nlast"), 1);  // a CR already there is kept, as text mode does
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(ReadBytes(fs::path(dir.path()) / "out.ini"), "[RP1210Support]\r\na\r\r\nb\r\n\r\nlast");
    EXPECT_EQ(OsWriteText(nullptr, "x"), 0);
}

#ifndef _WIN32
TEST(OsFiles, WriteTextReportsWriteErrors) {
    // /dev/full refuses every write: unbuffered at once, buffered at close.
    std::FILE* file = OsOpenFile("/dev/full", "w");
    ASSERT_NE(file, nullptr);
    std::setvbuf(file, nullptr, _IONBF, 0);
    EXPECT_EQ(OsWriteText(file, "text\n"), 0);
    std::fclose(file);
    file = OsOpenFile("/dev/full", "w");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(OsWriteText(file, "text\n"), 1);
    EXPECT_NE(std::fclose(file), 0);
}
#endif

TEST(OsLayer, MutexesEventsAndThreads) {
    OsMutex* mutex = OsCreateMutex();
    OsEvent* event = OsCreateEvent();
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(event, nullptr);
    // A mutex held by another thread: a timed take gives up, a later one succeeds.
    ASSERT_TRUE(OsLockMutex(mutex, kOsWaitForever));
    std::atomic<int> tookIt{-1};
    std::pair<OsMutex*, std::atomic<int>*> state(mutex, &tookIt);
    OsThread* thread = OsStartThread(
        [](void* argument) {
            auto* state = static_cast<std::pair<OsMutex*, std::atomic<int>*>*>(argument);
            state->second->store(OsLockMutex(state->first, 20) ? 1 : 0);
        },
        &state, 16384);
    ASSERT_NE(thread, nullptr);
    OsJoinThread(thread);
    EXPECT_EQ(tookIt, 0);
    OsUnlockMutex(mutex);
    EXPECT_TRUE(OsLockMutex(mutex, 0));
    OsUnlockMutex(mutex);
    // Auto-reset: one wait takes a set event, the next one times out.
    EXPECT_FALSE(OsWaitEvent(event, 0));
    OsSetEvent(event);
    OsSetEvent(event);
    EXPECT_TRUE(OsWaitEvent(event, 0));
    EXPECT_FALSE(OsWaitEvent(event, 10));
    OsSetEvent(event);
    OsResetEvent(event);
    EXPECT_FALSE(OsWaitEvent(event, 0));
    OsDestroyEvent(event);
    OsDestroyMutex(mutex);
}

// Taking and releasing are cheap when nobody waits; under contention every
// taker gets in once the holder lets go (no lost wake-up), one at a time,
// while takers with a short time-out give up and leave the others waiting.
TEST(OsLayer, AContendedMutexExcludesAndWakesEveryWaiter) {
    OsMutex* mutex = OsCreateMutex();
    ASSERT_NE(mutex, nullptr);
    long counter = 0;
    std::atomic<long> gaveUp{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                bool patient = t % 4 != 3;
                if (!OsLockMutex(mutex, patient ? kOsWaitForever : 0)) {
                    EXPECT_FALSE(patient);
                    gaveUp.fetch_add(1);
                    continue;
                }
                long seen = counter;
                if (i % 64 == 0) std::this_thread::yield();  // hold it a while now and then
                counter = seen + 1;
                OsUnlockMutex(mutex);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter + gaveUp.load(), 8 * 20000L);
    OsDestroyMutex(mutex);
}

TEST(OsLayer, WindowMessagesByNameWithoutRegardToCase) {
    unsigned data = OsRegisterWindowMessage("QRN_Test_Msg");
    EXPECT_GE(data, 0xC000u);
    EXPECT_EQ(OsRegisterWindowMessage("qrn_test_msg"), data);
    EXPECT_NE(OsRegisterWindowMessage("QRN_Test_Err"), data);
    EXPECT_EQ(OsRegisterWindowMessage(""), 0u);
    EXPECT_EQ(OsRegisterWindowMessage(nullptr), 0u);
}

unsigned HookedDirectory(char* buffer, unsigned size) {
    return static_cast<unsigned>(std::snprintf(buffer, size, "%s", "c:\\hooked"));
}

TEST(OsLayer, HooksReplaceAndComeBack) {
    OsHooks before = OsGetHooks();
    {
        ScopedHooks hooks;
        hooks.table().windowsDirectory = HookedDirectory;
        hooks.table().allocate = [](size_t) -> void* { return nullptr; };
        hooks.Apply();
        char dir[100];
        EXPECT_EQ(OsGetWindowsDirectory(dir, sizeof dir), 9u);
        EXPECT_STREQ(dir, "c:\\hooked");
        EXPECT_EQ(OsAllocate(10), nullptr);
        OsHooks partial{};  // entries left null take the platform's
        partial.windowsDirectory = HookedDirectory;
        OsSetHooks(&partial);
        void* block = OsAllocate(10);
        EXPECT_NE(block, nullptr);
        OsFree(block);
    }
    EXPECT_EQ(OsGetHooks().allocate, before.allocate);
    EXPECT_EQ(OsGetHooks().windowsDirectory, before.windowsDirectory);
}

TEST(OsLayer, RecorderKeepsEveryBoxInOrderAndAnswersOk) {
    ScopedHooks hooks;
    OsRecordMessageBoxes();
    int dummyOwner = 0;
    EXPECT_EQ(OsMessageBox(nullptr, "one", "cap", kOsMbOk), kOsIdOk);
    EXPECT_EQ(OsMessageBox(&dummyOwner, "two", "cap2", kOsMbOk), kOsIdOk);
    auto boxes = OsTakeRecordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "one");
    EXPECT_EQ(boxes[1].caption, "cap2");
    EXPECT_EQ(boxes[1].owner, &dummyOwner);
    EXPECT_TRUE(OsTakeRecordedMessageBoxes().empty());
}

#ifdef _WIN32
// Under Wine: the real Windows directory of the prefix, as the checker sees it
// when no test replaces it.
TEST(OsLayerWin32, RealWindowsDirectoryFeedsTheCatalogue) {
    OsSetWindowsDirectory(nullptr);
    char expected[1000];
    UINT length = GetWindowsDirectoryA(expected, sizeof expected);
    ASSERT_GT(length, 0u);
    char actual[1000];
    EXPECT_EQ(OsGetWindowsDirectory(actual, sizeof actual), length);
    EXPECT_STREQ(actual, expected);

    std::string mainIni = std::string(expected) + "\\RP121032.INI";
    std::string vendorIni = std::string(expected) + "\\QRNTEST1.INI";
    ASSERT_EQ(GetFileAttributesA(mainIni.c_str()), INVALID_FILE_ATTRIBUTES) << "the prefix has an RP121032.INI";
    auto write = [](const std::string& path, const char* text) {
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr) << path;
        std::fputs(text, file);
        std::fclose(file);
    };
    write(mainIni, "[RP1210Support]\nAPIImplementations=QRNTEST1\n");
    write(vendorIni, "[VendorInformation]\nName=Wine Test Vendor\nDevices=1\n[DeviceInformation1]\n"
                     "DeviceDescription=Prefix Adapter,USB\n");
    ScopedHooks hooks;
    OsRecordMessageBoxes();
    auto catalogue = std::make_unique<RP1210Catalogue>();
    int result = LoadCatalogue(catalogue.get());
    auto boxes = OsTakeRecordedMessageBoxes();
    DeleteFileA(mainIni.c_str());
    DeleteFileA(vendorIni.c_str());

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(boxes.empty());
    ASSERT_EQ(catalogue->vendorCount, 1);
    std::string lowerVendor = vendorIni;
    for (char& c : lowerVendor) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_STREQ(catalogue->vendors[0].vendorIni.path, lowerVendor.c_str());
    EXPECT_EQ(VendorListEntry(catalogue->vendors[0]), "QRNTEST1 - Wine Test Vendor");
    ReleaseCatalogue(catalogue.get());
}
#endif

}  // namespace
