#include "tool/adapter_test/version_report.h"

#include "os/os.h"
#include "os/pe_version.h"
#include "tests/support/text_windows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Report(const char* fileName) {
    TextWindows windows;
    ReportDriverVersion(windows.Ui(), fileName);
    EXPECT_TRUE(windows.data.empty());
    return windows.status;
}

TEST(VersionReport, SevenKeysInOrderWithTheKeyIn20Columns) {
    EXPECT_EQ(Report("TVFULL.DLL"),
              "TVFULL.DLL: CompanyName          Test Vendor Company\r\n"
              "TVFULL.DLL: FileDescription      Test vendor RP1210 library\r\n"
              "TVFULL.DLL: FileVersion          2, 0, 1, 0\r\n"
              "TVFULL.DLL: LegalCopyright       Copyright (C) Test Vendor\r\n"
              "TVFULL.DLL: OriginalFilename     TVFULL.DLL\r\n"
              "TVFULL.DLL: ProductName          Test Vendor RP1210\r\n"
              "TVFULL.DLL: ProductVersion       2, 0, 0, 0\r\n");
}

TEST(VersionReport, OnlyTheFirstTranslationIsReported) {
    std::string status = Report("TVMULTI.DLL");
    EXPECT_NE(status.find("TVMULTI.DLL: CompanyName          Deutsche Firma\r\n"), std::string::npos) << status;
    EXPECT_EQ(status.find("English"), std::string::npos) << status;
}

TEST(VersionReport, MissingKeysWarnAndValuesAreTrimmed) {
    EXPECT_EQ(Report("TVGAPS.DLL"),
              "TVGAPS.DLL: CompanyName          Padded Company\r\n"
              "TVGAPS.DLL: FileDescription      Padded description\r\n"
              "TVGAPS.DLL: FileVersion          1, 0, 0, 0\r\n"
              "Warning:  VerQueryValue() Parameter \"LegalCopyright\" not found in DLL file information.\r\n"
              "TVGAPS.DLL: OriginalFilename     TVGAPS.DLL\r\n"
              "TVGAPS.DLL: ProductName          Gaps\r\n"
              "TVGAPS.DLL: ProductVersion       1, 0, 0, 0\r\n");
}

TEST(VersionReport, UnreadableResourcesGiveOneTwoLineWarning) {
    EXPECT_EQ(Report("TVNOTRAN.DLL"),
              "Warning:  VerQueryValue(\"\\VarFileInfo\\Translation\") failed on [TVNOTRAN.DLL].\r\n"
              "->Cannot display DLL version information.\r\n");
    EXPECT_EQ(Report("NOSUCHVENDOR.DLL"),
              "Warning:  GetFileVersionInfoSize() failed on DLL [NOSUCHVENDOR.DLL].\r\n"
              "->Cannot display DLL version information.\r\n");
    EXPECT_EQ(Report(".DLL"),
              "Warning:  GetFileVersionInfoSize() failed on DLL [.DLL].\r\n"
              "->Cannot display DLL version information.\r\n");
    // A library without a version resource.
    EXPECT_EQ(Report("TVPLAIN.DLL"),
              "Warning:  GetFileVersionInfoSize() failed on DLL [TVPLAIN.DLL].\r\n"
              "->Cannot display DLL version information.\r\n");
}

#if !defined(_WIN32)
// The reader behind the POSIX version service, on damaged images.
std::vector<uint8_t> ReadFixture(const char* name) {
    std::string path = std::string(TEST_VENDOR_DIR) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(PeVersionReader, FindsTheBlockAndAnswersQueriesByPath) {
    std::vector<uint8_t> image = ReadFixture("TVFULL.DLL");
    ASSERT_FALSE(image.empty());
    std::vector<uint8_t> block;
    ASSERT_TRUE(PeFindVersionResource(image.data(), image.size(), &block));
    size_t offset, length;
    bool isText;
    ASSERT_TRUE(PeQueryVersionValue(block.data(), block.size(), "\\VarFileInfo\\Translation", &offset, &length,
                                    &isText));
    EXPECT_FALSE(isText);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(block[offset] | (block[offset + 1] << 8), 0x409);
    EXPECT_EQ(block[offset + 2] | (block[offset + 3] << 8), 1252);
    ASSERT_TRUE(PeQueryVersionValue(block.data(), block.size(), "\\stringfileinfo\\040904E4\\productname", &offset,
                                    &length, &isText));
    EXPECT_TRUE(isText);
    EXPECT_EQ(length, 2 * std::string("Test Vendor RP1210").size());
    EXPECT_FALSE(PeQueryVersionValue(block.data(), block.size(), "\\StringFileInfo\\040904e4\\Nope", &offset,
                                     &length, &isText));
}

TEST(PeVersionReader, CutOrCorruptedImagesAreRefusedSafely) {
    std::vector<uint8_t> image = ReadFixture("TVFULL.DLL");
    ASSERT_FALSE(image.empty());
    std::vector<uint8_t> block;
    // Every prefix of the file: the sanitizers catch any read past the end.
    for (size_t size = 0; size < image.size(); size += 7) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
        if (PeFindVersionResource(cut.data(), cut.size(), &block)) {
            size_t offset, length;
            bool isText;
            PeQueryVersionValue(block.data(), block.size(), "\\StringFileInfo\\040904e4\\CompanyName", &offset,
                                &length, &isText);
        }
    }
    // A block whose lengths point past its end.
    ASSERT_TRUE(PeFindVersionResource(image.data(), image.size(), &block));
    block[0] = 0xff;
    block[1] = 0xff;
    size_t offset, length;
    bool isText;
    EXPECT_FALSE(PeQueryVersionValue(block.data(), block.size(), "\\VarFileInfo\\Translation", &offset, &length,
                                     &isText));
    const uint8_t notPe[] = {'M', 'Z', 0, 0};
    EXPECT_FALSE(PeFindVersionResource(notPe, sizeof notPe, &block));
}
#endif

}  // namespace
