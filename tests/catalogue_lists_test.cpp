// The Vendor, Device and Protocol lists as the main window fills them.
#include "tool/config/catalogue.h"

#include "tests/support/temp_windows_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Items = std::vector<std::string>;

class CatalogueListsTest : public ::testing::Test {
protected:
    void TearDown() override { ReleaseCatalogue(catalogue_.get()); }

    void Load(const std::string& apiList) {
        dir_.Write("rp121032.ini", "[RP1210Support]\nAPIImplementations=" + apiList + "\n");
        LoadCatalogue(catalogue_.get());
        boxes_ = dir_.TakeBoxTexts();
    }
    Items Vendors() {
        ChoiceList list;
        FillVendorList(*catalogue_, list);
        EXPECT_FALSE(list.sorted);
        EXPECT_EQ(list.current, list.items.empty() ? -1 : 0);
        return list.items;
    }
    Items Devices(const char* vendorKey) {
        ChoiceList list;
        FillDeviceList(*catalogue_, vendorKey, list);
        EXPECT_TRUE(list.sorted);
        return list.items;
    }
    Items Protocols(const char* vendorKey, const char* deviceText) {
        ChoiceList list;
        FillProtocolList(*catalogue_, vendorKey, deviceText, list);
        EXPECT_TRUE(list.sorted);
        return list.items;
    }

    TempWindowsDir dir_;
    std::unique_ptr<RP1210Catalogue> catalogue_ = std::make_unique<RP1210Catalogue>();
    std::vector<std::string> boxes_;
};

const char kTruck[] =
    "[VendorInformation]\nName=  Truck Adapters Inc.  \nDevices=10,1,2\nProtocols=1,2,3,4\n"
    "[DeviceInformation1]\nDeviceDescription=Truck Link,USB\n"
    "[DeviceInformation2]\nDeviceDescription=Truck Link, COM1\n"
    "[DeviceInformation10]\nDeviceDescription=Wireless Link\n"
    "[ProtocolInformation1]\nProtocolString=J1939:Baud=Auto\nProtocolDescription=d\nDevices=1,2,10\n"
    "[ProtocolInformation2]\nProtocolString=J1939\nProtocolDescription=d\nDevices=1, 2\n"
    "[ProtocolInformation3]\nProtocolString=j1708\nProtocolDescription=d\nDevices=10\n"
    "[ProtocolInformation4]\nProtocolString=CAN\nProtocolDescription=d\n";

TEST_F(CatalogueListsTest, ListsFollowTheCascadeWithTheirFormatsAndOrder) {
    dir_.Write("truck.ini", kTruck);
    Load("TRUCK");
    EXPECT_TRUE(boxes_.size() == 1u && boxes_[0].find("[ProtocolInformation4] Parameter \"Devices\"") !=
                                           std::string::npos);
    EXPECT_EQ(Vendors(), Items{"TRUCK    - Truck Adapters Inc."});
    // Right-aligned ids sort as text: blank before digit, so 1, 2, 10.
    EXPECT_EQ(Devices("TRUCK"), (Items{"  1 - Truck Link - USB", "  2 - Truck Link -  COM1",
                                       " 10 - Wireless Link - Auto"}));
    // "J1939" begins the already listed "J1939:Baud=Auto": not listed again.
    EXPECT_EQ(Protocols("TRUCK", "1"), Items{"J1939:Baud=Auto"});
    EXPECT_EQ(Protocols("TRUCK", "2"), Items{"J1939:Baud=Auto"});
    EXPECT_EQ(Protocols("TRUCK", "10"), (Items{"j1708", "J1939:Baud=Auto"}));
    EXPECT_EQ(Protocols("TRUCK", "3"), Items{});  // no such device
    EXPECT_EQ(Protocols("truck", "1"), Items{});  // keys are matched exactly
}

TEST_F(CatalogueListsTest, AShorterProtocolListedFirstKeepsTheLongerOne) {
    dir_.Write("p.ini",
               "[VendorInformation]\nName=P\nDevices=1\nProtocols=1,2\n"
               "[DeviceInformation1]\nDeviceDescription=D,USB\n"
               "[ProtocolInformation1]\nProtocolString=J1939\nProtocolDescription=d\nDevices=1\n"
               "[ProtocolInformation2]\nProtocolString=J1939:Baud=Auto\nProtocolDescription=d\nDevices=1\n");
    Load("P");
    EXPECT_EQ(Protocols("P", "1"), (Items{"J1939", "J1939:Baud=Auto"}));
}

TEST_F(CatalogueListsTest, ProtocolIsOfferedForTheItemAfterTheComma) {
    dir_.Write("truck.ini", kTruck);
    Load("TRUCK");
    auto offered = ProtocolsForDevice(*catalogue_, "TRUCK", 2);
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_STREQ(offered[0], "J1939:Baud=Auto");
    EXPECT_STREQ(offered[1], "J1939");
}

TEST_F(CatalogueListsTest, KeysLongerThanEightCharactersAreCutInTheListAndFindNothing) {
    dir_.Write("longvendor1.ini", "[VendorInformation]\nName=First\nDevices=1\n[DeviceInformation1]\n"
                                  "DeviceDescription=D,USB\n");
    dir_.Write("longvendor2.ini", "[VendorInformation]\nName=Second\n");
    Load("LongVendor1,LongVendor2");
    EXPECT_EQ(Vendors(), (Items{"LONGVEND - First", "LONGVEND - Second"}));
    EXPECT_EQ(VendorKey(catalogue_->vendors[0]), "LONGVENDOR1");
    EXPECT_EQ(FindVendorByKey(*catalogue_, "LONGVENDOR1"), &catalogue_->vendors[0]);
    EXPECT_EQ(FindVendorByKey(*catalogue_, "LONGVEND"), nullptr);
    EXPECT_EQ(Devices("LONGVEND"), Items{});
}

TEST_F(CatalogueListsTest, EntriesAreListedOnceWhateverTheirCase) {
    dir_.Write("a.ini", "[VendorInformation]\nName=Same\nDevices=1,1\n[DeviceInformation1]\nDeviceDescription=D\n");
    dir_.Write("b.ini", "[VendorInformation]\nName=Other\n");
    Load("A,a,B");
    // The second "a" names the same file: same key and name, listed once.
    EXPECT_EQ(catalogue_->vendorCount, 3);
    EXPECT_EQ(Vendors(), (Items{"A        - Same", "B        - Other"}));
    EXPECT_EQ(Devices("A"), Items{"  1 - D - Auto"});
}

TEST_F(CatalogueListsTest, AbsentTextsNeitherStopAFillNorAppearAsText) {
    dir_.Write("n.ini",
               "[VendorInformation]\nDevices=1,2\nProtocols=1,2\n"
               "[DeviceInformation2]\nDeviceDescription=Real,USB\n"
               "[ProtocolInformation1]\nProtocolDescription=no string\nDevices=1,2\n"
               "[ProtocolInformation2]\nProtocolString=J1708\nProtocolDescription=d\nDevices=1,2\n");
    dir_.Write("z.ini", "[VendorInformation]\nName=Zed\n");
    Load("N,Z");
    EXPECT_EQ(Vendors(), (Items{"N        -", "Z        - Zed"}));
    EXPECT_EQ(Devices("N"), (Items{"  1 -  - ", "  2 - Real - USB"}));
    EXPECT_EQ(Protocols("N", "1"), Items{"J1708"});
    EXPECT_EQ(Protocols("N", "2"), Items{"J1708"});
}

TEST_F(CatalogueListsTest, NoVendorsLeavesEveryListAndSelectionEmpty) {
    Load("");
    EXPECT_EQ(catalogue_->vendorCount, 0);
    ChoiceList vendors;
    FillVendorList(*catalogue_, vendors);
    EXPECT_TRUE(vendors.items.empty());
    EXPECT_EQ(TakeSelection(vendors, ""), "");
    EXPECT_EQ(Devices(""), Items{});
    EXPECT_EQ(Protocols("", ""), Items{});
}

TEST_F(CatalogueListsTest, SelectionsTakeTheFirstWordOrKeepThePreviousText) {
    dir_.Write("truck.ini", kTruck);
    Load("TRUCK");
    ChoiceList vendors;
    FillVendorList(*catalogue_, vendors);
    std::string vendorKey = TakeSelection(vendors, "");
    EXPECT_EQ(vendorKey, "TRUCK");
    ChoiceList devices;
    FillDeviceList(*catalogue_, vendorKey.c_str(), devices);
    devices.current = 2;
    std::string deviceText = TakeSelection(devices, "");
    EXPECT_EQ(deviceText, "10");
    ChoiceList protocols;
    FillProtocolList(*catalogue_, vendorKey.c_str(), deviceText.c_str(), protocols);
    EXPECT_EQ(TakeSelection(protocols, "old"), "j1708");
    protocols.current = -1;
    EXPECT_EQ(TakeSelection(protocols, "old"), "old");
}

TEST_F(CatalogueListsTest, AddListEntryKeepsSortedListsSortedWithoutRegardToCase) {
    ChoiceList list;
    list.sorted = true;
    for (const char* text : {"beta", "Alpha", "gamma", "ALPHA", "Al", "delta"}) AddListEntry(list, text);
    EXPECT_EQ(list.items, (Items{"Alpha", "beta", "delta", "gamma"}));
    ChoiceList unsorted;
    for (const char* text : {"b", "a", "B"}) AddListEntry(unsorted, text);
    EXPECT_EQ(unsorted.items, (Items{"b", "a"}));
}

}  // namespace
