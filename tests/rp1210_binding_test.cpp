#include "tool/adapter_test/rp1210_binding.h"

#include "os/os.h"
#include "tests/support/counting_loader.h"

#include "tests/support/scoped_hooks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        OsRecordMessageBoxes();
    }
    void TearDown() override {
        if (api_.library) OsFreeLibrary(api_.library);
    }
    int Bind(const char* fileName) { return BindRp1210Library(fileName, &api_, nullptr); }
    static std::vector<std::string> BoxTexts() {
        std::vector<std::string> texts;
        for (const OsMessageBoxCall& box : OsTakeRecordedMessageBoxes()) texts.push_back(box.text);
        return texts;
    }
    void* Export(const char* name) { return OsGetProcAddress(api_.library, name); }

    CountingLoader loader_;
    Rp1210Api api_{};
    ScopedHooks hooks_;  // the recorder of message boxes, for the test
};

TEST_F(BindingTest, DecoratedOnlyLibraryBindsEveryEntryPoint) {
    ASSERT_EQ(Bind("TVDECOR.DLL"), 1);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(reinterpret_cast<void*>(api_.ClientConnect), Export("_RP1210_ClientConnect@24"));
    EXPECT_EQ(reinterpret_cast<void*>(api_.GetErrorMsg), Export("_RP1210_GetErrorMsg@16"));
    EXPECT_EQ(reinterpret_cast<void*>(api_.GetLastErrorMsg), Export("_RP1210_GetLastErrorMsg@20"));
    EXPECT_NE(api_.ReadDetailedVersion, nullptr);
    // The bound addresses are callable entry points of the library.
    char version[4] = {0, 0, 0, 0};
    api_.ReadVersion(&version[0], &version[1], &version[2], &version[3]);
    EXPECT_EQ(std::string(version, 4), "1020");
    char text[1000] = {};
    EXPECT_EQ(api_.GetErrorMsg(141, text), 134);  // no description scripted
}

TEST_F(BindingTest, PlainNamesWinWhenBothFormsAreExported) {
    ASSERT_EQ(Bind("TVBOTH.DLL"), 1);
    const char* plain[] = {"RP1210_ClientConnect", "RP1210_ClientDisconnect", "RP1210_ReadMessage",
                           "RP1210_SendMessage", "RP1210_SendCommand", "RP1210_ReadVersion",
                           "RP1210_ReadDetailedVersion", "RP1210_GetHardwareStatus", "RP1210_GetErrorMsg",
                           "RP1210_GetLastErrorMsg"};
    EXPECT_EQ(loader_.lookups(), std::vector<std::string>(std::begin(plain), std::end(plain)));
    EXPECT_EQ(reinterpret_cast<void*>(api_.SendCommand), Export("RP1210_SendCommand"));
}

TEST_F(BindingTest, Rp1210ALibraryWithoutTheNewerEntryPointsBindsSilently) {
    ASSERT_EQ(Bind("TVRP1210A.DLL"), 1);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(api_.ReadDetailedVersion, nullptr);
    EXPECT_EQ(api_.GetLastErrorMsg, nullptr);
    EXPECT_NE(api_.GetHardwareStatus, nullptr);
    EXPECT_TRUE(loader_.LookedUp("_RP1210_ReadDetailedVersion@16"));  // both names tried
}

TEST_F(BindingTest, MissingSendMessageStopsTheLookupWithItsBox) {
    EXPECT_EQ(Bind("TVNOSEND.DLL"), 0);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Error:  Could not find procedure \"RP1210_SendMessage\" in DLL!\n"});
    EXPECT_NE(api_.library, nullptr);  // kept, to be released by the next run
    EXPECT_TRUE(loader_.LookedUp("_RP1210_SendMessage@20"));
    EXPECT_FALSE(loader_.LookedUp("RP1210_ReadVersion"));
    EXPECT_FALSE(loader_.LookedUp("_RP1210_ReadVersion@16"));
    EXPECT_EQ(loader_.releases(), 0);
}

TEST_F(BindingTest, MissingHardwareStatusFailsTheBindAlthoughItIsNeverCalled) {
    EXPECT_EQ(Bind("TVNOHWST.DLL"), 0);
    EXPECT_EQ(BoxTexts(),
              std::vector<std::string>{"Error:  Could not find procedure \"RP1210_GetHardwareStatus\" in DLL!\n"});
    EXPECT_FALSE(loader_.LookedUp("RP1210_GetErrorMsg"));
}

TEST_F(BindingTest, MessageBoxCarriesTheCheckersCaptionAndOwner) {
    int owner = 0;
    EXPECT_EQ(BindRp1210Library("TVNOSEND.DLL", &api_, &owner), 0);
    auto boxes = OsTakeRecordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Halvery Group RP1210 Quorlin (QRN) Version 1.2");
    EXPECT_EQ(boxes[0].owner, &owner);
}

TEST_F(BindingTest, UnloadableLibrariesFailWithoutABox) {
    EXPECT_EQ(Bind(".DLL"), 0);  // the file name of an empty vendor key
    EXPECT_EQ(api_.library, nullptr);
    EXPECT_EQ(Bind("NOSUCHVENDOR.DLL"), 0);
    EXPECT_EQ(api_.library, nullptr);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(loader_.loads(), 0);
    EXPECT_TRUE(loader_.lookups().empty());
}

TEST_F(BindingTest, FileNamesAreFoundWithoutRegardToCase) {
    EXPECT_EQ(Bind("tvplain.dll"), 1);
    EXPECT_EQ(loader_.loads(), 1);
}

}  // namespace
