// The profile reader: the values the multiplexer and the library rely on, and
// (meaningful in the win32 build, where OsGetProfileString is the platform's
// GetPrivateProfileStringA) agreement between the platform's reader and the
// portable one that the native build uses, case by case.
#include "os/os.h"
#include "os/os_internal.h"

#include "tests/support/temp_windows_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Every case reads from this one file.
const char kIni[] =
    "; adapter settings\r\n"
    "[ZMXInformation1]\r\n"
    "ZMXParams=COM2,B57600,POLL\r\n"
    "  Spaced Key  =   value with blanks   \r\n"
    "Quoted=\"in quotes\"\r\n"
    "Single='single'\r\n"
    "Empty=\r\n"
    "Equals=a=b=c\r\n"
    "Twice=first\r\n"
    "Twice=second\r\n"
    "Long=0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789\r\n"
    "NoEquals\r\n"
    ";Commented=yes\r\n"
    "\r\n"
    "[  Spaced Section  ]\r\n"
    "Key=spaced section\r\n"
    "[zmxinformation2]\n"
    "zmxparams=USB,HighSpeed\n"
    "[Other]\r\n"
    "ZMXParams=other section\r\n"
    "[ZMXInformation1]\r\n"
    "Later=second section of the same name\r\n"
    "ZMXParams=from the second section\r\n"
    "[Unclosed\r\n"
    "Key=unclosed\r\n";

struct Case {
    const char* section;
    const char* key;
    const char* fallback;
    unsigned size;
};

std::string Platform(const char* file, const Case& c) {
    std::vector<char> buffer(c.size + 1, '#');
    unsigned length = OsGetProfileString(c.section, c.key, c.fallback, buffer.data(), c.size, file);
    EXPECT_EQ(length, std::string(buffer.data()).size()) << c.section << "/" << c.key;
    return buffer.data();
}

// The portable reader, as the native build's OsGetProfileString uses it.
std::string Portable(const std::string& path, const Case& c) {
    std::FILE* file = OsOpenFile(path.c_str(), "rb");
    std::string value;
    bool found = file != nullptr && OsReadProfileFile(file, c.section, c.key, value);
    if (file) std::fclose(file);
    std::string fallback = c.fallback ? c.fallback : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
    std::vector<char> buffer(c.size + 1, '#');
    OsCopyProfileValue(found ? value : fallback, buffer.data(), c.size);
    return buffer.data();
}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override { dir_.Write("PROFILE.INI", kIni); }
    TempWindowsDir dir_;
};

TEST_F(ProfileTest, ValuesAsTheSystemReadsThem) {
    struct Expected {
        Case c;
        const char* value;
    };
    const Expected cases[] = {
        {{"ZMXInformation1", "ZMXParams", "INVALID", 80}, "COM2,B57600,POLL"},
        {{"zmxINFORMATION1", "zmxparams", "INVALID", 80}, "COM2,B57600,POLL"},   // names without regard to case
        {{"ZMXInformation2", "ZMXParams", "INVALID", 80}, "USB,HighSpeed"},      // LF-only lines
        {{"ZMXInformation1", "Spaced Key", "INVALID", 80}, "value with blanks"}, // blanks around both removed
        {{"ZMXInformation1", "Quoted", "INVALID", 80}, "in quotes"},
        {{"ZMXInformation1", "Empty", "INVALID", 80}, ""},                       // present but empty: not the default
        {{"ZMXInformation1", "Equals", "INVALID", 80}, "a=b=c"},
        {{"ZMXInformation1", "Twice", "INVALID", 80}, "first"},
        {{"ZMXInformation1", "Long", "INVALID", 80},
         "0123456789012345678901234567890123456789012345678901234567890123456789012345678"},  // cut to 79
        {{"ZMXInformation1", "Long", "INVALID", 5}, "0123"},
        {{"ZMXInformation1", "Missing", "INVALID", 80}, "INVALID"},
        {{"NoSuchSection", "ZMXParams", "INVALID", 80}, "INVALID"},
        {{"ZMXInformation1", "Missing", "default  ", 80}, "default"},            // trailing blanks of the default go
        {{"ZMXInformation1", "Missing", nullptr, 80}, ""},
        {{"ZMXInformation1", "Missing", "INVALID", 4}, "INV"},                   // the default is cut too
        {{"Other", "ZMXParams", "INVALID", 80}, "other section"},
    };
    for (const Expected& e : cases) {
        EXPECT_EQ(Platform("PROFILE.INI", e.c), e.value) << e.c.section << "/" << e.c.key << " size " << e.c.size;
        EXPECT_EQ(Platform("profile.ini", e.c), e.value) << "lower-case file name";
    }
}

TEST_F(ProfileTest, MissingFileOrNamesGiveTheDefault) {
    Case c{"ZMXInformation1", "ZMXParams", "INVALID", 80};
    EXPECT_EQ(Platform("NOSUCH.INI", c), "INVALID");
    EXPECT_EQ(Platform("", c), "INVALID");
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(OsGetProfileString(nullptr, "ZMXParams", "dflt", buffer, sizeof buffer, "PROFILE.INI"), 4u);
    EXPECT_STREQ(buffer, "dflt");
    EXPECT_EQ(OsGetProfileString("ZMXInformation1", "ZMXParams", "dflt", buffer, 0, "PROFILE.INI"), 0u);
    EXPECT_STREQ(buffer, "dflt");  // a zero-sized buffer is not written
    EXPECT_EQ(OsGetProfileString("ZMXInformation1", "ZMXParams", "dflt", nullptr, 80, "PROFILE.INI"), 0u);
}

TEST_F(ProfileTest, FullPathsAreReadAsGiven) {
    Case c{"ZMXInformation2", "ZMXParams", "INVALID", 80};
    EXPECT_EQ(Platform((dir_.path() + "\\PROFILE.INI").c_str(), c), "USB,HighSpeed");
}

// In the win32 build the platform's reader and the portable one read the same
// file; they must agree on every case, the odd ones included.
TEST_F(ProfileTest, PlatformAndPortableReadersAgree) {
    const Case cases[] = {
        {"ZMXInformation1", "ZMXParams", "INVALID", 80},  {"ZMXINFORMATION1", "ZMXPARAMS", "INVALID", 80},
        {"ZMXInformation2", "ZMXParams", "INVALID", 80},  {"ZMXInformation1", "Spaced Key", "INVALID", 80},
        {"ZMXInformation1", "Quoted", "INVALID", 80},     {"ZMXInformation1", "Single", "INVALID", 80},
        {"ZMXInformation1", "Empty", "INVALID", 80},      {"ZMXInformation1", "Equals", "INVALID", 80},
        {"ZMXInformation1", "Twice", "INVALID", 80},      {"ZMXInformation1", "Long", "INVALID", 80},
        {"ZMXInformation1", "Long", "INVALID", 1},        {"ZMXInformation1", "NoEquals", "INVALID", 80},
        {"ZMXInformation1", ";Commented", "INVALID", 80}, {"ZMXInformation1", "Later", "INVALID", 80},
        {"Spaced Section", "Key", "INVALID", 80},         {"Other", "ZMXParams", "INVALID", 80},
        {"Unclosed", "Key", "INVALID", 80},               {"NoSuchSection", "Key", "INVALID  ", 80},
        {"ZMXInformation1", "Missing", "", 80},           {"ZMXInformation1", "Key", "INVALID", 80},
        {"ZMXInformation1", "[Unclosed", "INVALID", 80},
    };
    std::string path = dir_.path() + "\\PROFILE.INI";
    for (const Case& c : cases) {
        EXPECT_EQ(Platform("PROFILE.INI", c), Portable(path, c)) << "[" << c.section << "] " << c.key << " size " << c.size;
    }
}

TEST(OsVersionTest, OverrideAndPlatform) {
    OsVersion platform = OsGetVersion();
    EXPECT_GE(platform.major, 4u);
    OsHooks hooks = OsGetHooks();
    hooks.version = [] { return OsVersion{kOsPlatformWindows, 4, 10}; };  // Windows 98
    OsSetHooks(&hooks);
    OsVersion now = OsGetVersion();
    EXPECT_EQ(now.platformId, kOsPlatformWindows);
    EXPECT_EQ(now.minor, 10u);
    OsSetHooks(nullptr);
    EXPECT_EQ(OsGetVersion().platformId, platform.platformId);
#ifdef _WIN32
    EXPECT_EQ(platform.platformId, kOsPlatformNt);  // Wine reports an NT-family system
#endif
}

}  // namespace
