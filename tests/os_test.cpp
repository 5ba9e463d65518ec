#include "os/os.h"

#include "tests/support/temp_windows_dir.h"
#include "tool/config/catalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

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

TEST(OsLayer, RecorderKeepsEveryBoxInOrderAndAnswersOk) {
    OsMessageBoxHandler previous = OsSetMessageBoxHandler(nullptr);
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
    OsSetMessageBoxHandler(previous);
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
    OsMessageBoxHandler previous = OsSetMessageBoxHandler(OsRecordMessageBox);
    auto catalogue = std::make_unique<RP1210Catalogue>();
    int result = LoadCatalogue(catalogue.get());
    auto boxes = OsTakeRecordedMessageBoxes();
    OsSetMessageBoxHandler(previous);
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
