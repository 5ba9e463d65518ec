#include "tool/config/catalogue.h"

#include "tests/support/temp_windows_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::string Text(const char* text) { return text ? text : "(absent)"; }

class CatalogueTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseCatalogue(catalogue_.get()); }

    int Load() { return LoadCatalogue(catalogue_.get()); }
    std::string Lower(std::string text) const {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    // The path the loader builds for a vendor INI: the whole path in lower case.
    std::string VendorPath(const std::string& name) const { return Lower(dir_.path() + "\\" + name + ".ini"); }
    const VendorRecord& Vendor(int i) const { return catalogue_->vendors[i]; }

    static std::string MinimalVendor(const std::string& name) {
        return "[VendorInformation]\nName=" + name + "\nDevices=1\nProtocols=1\n"
               "[DeviceInformation1]\nDeviceDescription=Adapter,USB\n"
               "[ProtocolInformation1]\nProtocolString=J1939\nProtocolDescription=SAE J1939\nDevices=1\n";
    }

    TempWindowsDir dir_;
    std::unique_ptr<RP1210Catalogue> catalogue_ = std::make_unique<RP1210Catalogue>();
};

TEST_F(CatalogueTest, MissingMainIniIsReportedAndLoadsNothing) {
    EXPECT_EQ(Load(), 0);
    auto boxes = dir_.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "\nError:  Main RP1210 INI file \"" + dir_.path() + "\\rp121032.ini\" not found.\n");
    EXPECT_EQ(boxes[0].caption, "Halvery Group RP1210 Quorlin (QRN) Version 1.2");
    EXPECT_EQ(catalogue_->vendorCount, 0);
    EXPECT_EQ(Text(MainIniPath(*catalogue_)), dir_.path() + "\\rp121032.ini");
}

TEST_F(CatalogueTest, MissingApiImplementationsIsReported) {
    dir_.Write("RP121032.INI", "[RP1210Support]\nOther=1\n[Next]\nAPIImplementations=A\n");
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(dir_.TakeBoxTexts(),
              std::vector<std::string>{"\nError in RP121032.INI file.  \"APIImplementations\" not found in section "
                                       "\"[RP1210Support]\".\n"});
    EXPECT_EQ(catalogue_->vendorCount, 0);
}

TEST_F(CatalogueTest, EmptyWindowsDirectoryWarnsAndFallsBackToCWindows) {
    OsSetWindowsDirectory("");
    EXPECT_EQ(Load(), 0);
    auto texts = dir_.TakeBoxTexts();
    ASSERT_GE(texts.size(), 1u);
    EXPECT_EQ(texts[0], "\nWarning:  \"WINDIR\" environment variable not set, defaulting to \"C:\\WINDOWS\".\n");
    EXPECT_EQ(Text(MainIniPath(*catalogue_)), "c:\\windows\\rp121032.ini");
}

TEST_F(CatalogueTest, VendorListIsCleanedAndNamesCaseInsensitively) {
    dir_.Write("rp121032.ini", "[rp1210support]\napiimplementations= A , ,B,,\n");
    dir_.Write("A.INI", MinimalVendor("Vendor A"));
    dir_.Write("b.ini", MinimalVendor("Vendor B"));
    EXPECT_EQ(Load(), 1);
    EXPECT_TRUE(dir_.TakeBoxes().empty());
    ASSERT_EQ(catalogue_->vendorCount, 2);
    EXPECT_EQ(Text(Vendor(0).vendorIni.path), VendorPath("a"));
    EXPECT_EQ(Text(Vendor(1).vendorIni.path), VendorPath("b"));
    EXPECT_EQ(VendorKey(Vendor(0)), "A");
    EXPECT_EQ(Text(Vendor(1).vendorInfo[kVendorName]), "Vendor B");
    EXPECT_EQ(VendorCount(*catalogue_), 2);
    EXPECT_EQ(Text(VendorIniPath(*catalogue_, 1)), VendorPath("b"));
    EXPECT_EQ(VendorIniPath(*catalogue_, 2), nullptr);
}

TEST_F(CatalogueTest, OddEntriesAreSkippedAndMissingFilesReportedOnce) {
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=_X,-X,Gone,C\n");
    dir_.Write("c.ini", MinimalVendor("Vendor C"));
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(dir_.TakeBoxTexts(),
              std::vector<std::string>{"\nError:  Vendor INI File  \"" + VendorPath("gone") +
                                       "\" not found.\n\nProgram will ignore this vendor.\n\nYou should choose the "
                                       "\"Fix INI File, Make This Vendor First in List\" in the main program to fix "
                                       "this.\n"});
    ASSERT_EQ(catalogue_->vendorCount, 1);
    EXPECT_EQ(VendorKey(Vendor(0)), "C");
}

TEST_F(CatalogueTest, DevicesFollowTheirListAndSplitDescriptionsAtTheLastComma) {
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=V\n");
    dir_.Write("v.ini",
               "[VendorInformation]\nDevices=1, 2,,3,x,4,5\n"
               "[DeviceInformation1]\nDeviceDescription=Adapter A,USB\nDeviceName=Dev1\nDeviceParams=P1\n"
               "[DeviceInformation2]\nDeviceDescription=A,B,C\n"
               "[DeviceInformation3]\nDeviceDescription=Adapter\n"
               "[DeviceInformation0]\nDeviceDescription=Zero,\n"
               "[DeviceInformation5]\nDeviceName=Only a name\n");
    EXPECT_EQ(Load(), 1);
    EXPECT_TRUE(dir_.TakeBoxes().empty());  // missing device keys and sections are not reported
    const VendorRecord& v = Vendor(0);
    ASSERT_EQ(v.deviceCount, 6);
    const int ids[] = {1, 2, 3, 0, 4, 5};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(v.devices[i].deviceId, ids[i]);
    EXPECT_EQ(Text(v.devices[0].description), "Adapter A");
    EXPECT_EQ(Text(v.devices[0].connection), "USB");
    EXPECT_EQ(Text(v.devices[0].name), "Dev1");
    EXPECT_EQ(Text(v.devices[0].params), "P1");
    EXPECT_EQ(Text(v.devices[1].description), "A,B");
    EXPECT_EQ(Text(v.devices[1].connection), "C");
    EXPECT_EQ(Text(v.devices[2].description), "Adapter");
    EXPECT_EQ(Text(v.devices[2].connection), "Auto");
    EXPECT_EQ(Text(v.devices[3].description), "Zero");  // "x" reads [DeviceInformation0]
    EXPECT_EQ(Text(v.devices[3].connection), "");
    EXPECT_EQ(Text(v.devices[4].description), "(absent)");  // no section at all: still listed
    EXPECT_EQ(Text(v.devices[4].connection), "(absent)");
    EXPECT_EQ(Text(v.devices[5].description), "(absent)");
    EXPECT_EQ(Text(v.devices[5].name), "Only a name");
}

TEST_F(CatalogueTest, EmptyOrMissingListsGiveNoDevicesOrProtocols) {
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=E,M\n");
    dir_.Write("e.ini", "[VendorInformation]\nDevices=\nProtocols= , \n");
    dir_.Write("m.ini", "[VendorInformation]\nName=No lists\n");
    EXPECT_EQ(Load(), 1);
    EXPECT_TRUE(dir_.TakeBoxes().empty());
    ASSERT_EQ(catalogue_->vendorCount, 2);
    EXPECT_EQ(Vendor(0).deviceCount, 0);
    EXPECT_EQ(Vendor(0).protocolCount, 0);
    EXPECT_EQ(Vendor(1).deviceCount, 0);
    EXPECT_EQ(Vendor(1).protocolCount, 0);
}

TEST_F(CatalogueTest, ProtocolsReportTheirThreeMissingKeysInOrderAndStillCount) {
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=P\n");
    dir_.Write("p.ini",
               "[VendorInformation]\nProtocols=7,8\n"
               "[ProtocolInformation7]\nProtocolSpeed=250\n"
               "[ProtocolInformation8]\nProtocolString=J1708\nProtocolDescription=SAE J1708\nDevices=1, 2\n"
               "ProtocolParams=pp\nProtocolSpeed=9600\n");
    EXPECT_EQ(Load(), 1);
    std::string path = VendorPath("p");
    EXPECT_EQ(dir_.TakeBoxTexts(),
              (std::vector<std::string>{
                  "INI Error: \"" + path + "\" Section [ProtocolInformation7] Parameter \"ProtocolString\" not found.\n",
                  "INI Error: \"" + path +
                      "\" Section [ProtocolInformation7] Parameter \"ProtocolDescription\" not found.\n",
                  "INI Error: \"" + path + "\" Section [ProtocolInformation7] Parameter \"Devices\" not found.\n"}));
    const VendorRecord& v = Vendor(0);
    ASSERT_EQ(v.protocolCount, 2);
    EXPECT_EQ(v.protocols[0].protocolId, 7);
    EXPECT_EQ(Text(v.protocols[0].speed), "250");
    EXPECT_EQ(Text(v.protocols[0].protocolString), "(absent)");
    const ProtocolRecord& p = v.protocols[1];
    EXPECT_EQ(p.protocolId, 8);
    EXPECT_EQ(Text(p.protocolString), "J1708");
    EXPECT_EQ(Text(p.description), "SAE J1708");
    EXPECT_EQ(Text(p.deviceList), "1, 2");  // kept as read
    EXPECT_EQ(Text(p.params), "pp");
    EXPECT_EQ(Text(p.speed), "9600");
}

TEST_F(CatalogueTest, VendorInformationKeepsAll27ValuesAbsentApartFromEmpty) {
    std::string ini = "[VendorInformation]\n";
    for (int k = 0; k < kVendorInfoKeyCount; ++k) {
        if (k == 3) continue;                      // City absent
        if (k == 4) { ini += "State=\n"; continue; }  // State empty
        ini += std::string(kVendorInfoKeys[k]) + "=v" + std::to_string(k) + "\n";
    }
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=ALL\n");
    dir_.Write("all.ini", ini);
    EXPECT_EQ(Load(), 1);
    const VendorRecord& v = Vendor(0);
    EXPECT_EQ(Text(v.vendorInfo[0]), "v0");
    EXPECT_EQ(Text(v.vendorInfo[3]), "(absent)");
    EXPECT_EQ(Text(v.vendorInfo[4]), "");
    EXPECT_EQ(Text(v.vendorInfo[26]), "v26");
    EXPECT_EQ(std::string(kVendorInfoKeys[26]), "ISO15765FormatsSupported");
    EXPECT_EQ(std::string(kVendorInfoKeys[kVendorErrorString]), "ErrorString");
}

TEST_F(CatalogueTest, MoreVendorsThanRoomAreLeftOutWithOneWarning) {
    std::string list;
    for (int i = 0; i < 32; ++i) {
        std::string name = "v" + std::to_string(i);
        list += name + ",";
        dir_.Write(name + ".ini", MinimalVendor(name));
    }
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=" + list + "gone\n");
    EXPECT_EQ(Load(), 1);
    auto texts = dir_.TakeBoxTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("gone.ini\" not found"), std::string::npos);
    EXPECT_NE(texts[1].find("names more than 30 vendors"), std::string::npos) << texts[1];
    EXPECT_NE(texts[1].find("(2 left out)"), std::string::npos) << texts[1];
    EXPECT_EQ(catalogue_->vendorCount, 30);
    EXPECT_EQ(VendorKey(Vendor(29)), "V29");
}

TEST_F(CatalogueTest, MoreDevicesOrProtocolsThanRoomAreLeftOutWithAWarning) {
    std::string devices, protocols, sections;
    for (int i = 1; i <= 152; ++i) devices += std::to_string(i) + ",";
    for (int i = 1; i <= 21; ++i) {
        protocols += std::to_string(i) + ",";
        sections += "[ProtocolInformation" + std::to_string(i) + "]\nProtocolString=P" + std::to_string(i) +
                    "\nProtocolDescription=d\nDevices=1\n";
    }
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=BIG\n");
    dir_.Write("big.ini", "[VendorInformation]\nDevices=" + devices + "\nProtocols=" + protocols + "\n" + sections);
    EXPECT_EQ(Load(), 1);
    auto texts = dir_.TakeBoxTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("\"Devices\" names more than 150 devices"), std::string::npos) << texts[0];
    EXPECT_NE(texts[0].find("(2 left out)"), std::string::npos);
    EXPECT_NE(texts[1].find("\"Protocols\" names more than 20 protocols"), std::string::npos) << texts[1];
    EXPECT_EQ(Vendor(0).deviceCount, 150);
    EXPECT_EQ(Vendor(0).devices[149].deviceId, 150);
    EXPECT_EQ(Vendor(0).protocolCount, 20);
    EXPECT_EQ(Text(Vendor(0).protocols[19].protocolString), "P20");
}

TEST_F(CatalogueTest, ReleaseFreesEverythingAndZeroesTheCatalogue) {
    dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=A\n");
    dir_.Write("a.ini", MinimalVendor("Vendor A"));
    EXPECT_EQ(Load(), 1);
    EXPECT_GT(AllocationCount(), 0u);
    auto copy = std::make_unique<RP1210Catalogue>(*catalogue_);  // shares the texts, owns nothing
    EXPECT_EQ(copy->vendors[0].vendorInfo[kVendorName], Vendor(0).vendorInfo[kVendorName]);
    ReleaseCatalogue(catalogue_.get());
    EXPECT_EQ(AllocationCount(), 0u);
    EXPECT_EQ(catalogue_->vendorCount, 0);
    EXPECT_EQ(catalogue_->mainIni.path, nullptr);
    // Loading again after release works as the first time.
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(catalogue_->vendorCount, 1);
}

}  // namespace
