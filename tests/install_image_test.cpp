// The install image as a Windows directory: the checker's catalogue lists
// the HVLNK32 vendor with its devices and protocols, and HVLNK32.DLL from
// the image connects on every device through the multiplexer and the
// virtual adapter of the image.
#include "os/os.h"
#include "rp1210/rp1210_defs.h"
#include "tests/support/temp_windows_dir.h"
#include "tool/config/catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

TEST(InstallImage, TheCheckerListsTheVendorItsDevicesAndProtocols) {
    OsSetWindowsDirectory(IMAGE_DIR);
    OsRecordMessageBoxes();
    auto catalogue = std::make_unique<RP1210Catalogue>();
    ASSERT_EQ(LoadCatalogue(catalogue.get()), 1);
    EXPECT_TRUE(OsTakeRecordedMessageBoxes().empty());
    ASSERT_EQ(catalogue->vendorCount, 1);
    EXPECT_EQ(VendorListEntry(catalogue->vendors[0]), "HVLNK32  - Halvery Group Vehicle Datalink Adapters");
    EXPECT_EQ(catalogue->vendors[0].deviceCount, 4);
    EXPECT_EQ(catalogue->vendors[0].protocolCount, 11);
    ReleaseCatalogue(catalogue.get());
    OsSetWindowsDirectory(nullptr);
}

TEST(InstallImage, TheLibraryConnectsOnEveryDevice) {
    setenv("WINDIR", IMAGE_DIR, 1);  // the Windows directory of every library of the process
    OsLibrary* library = OsLoadLibrary(IMAGE_DIR "/HVLNK32.DLL");
    ASSERT_NE(library, nullptr);
    auto connect = reinterpret_cast<Rp1210ClientConnectFn>(OsGetProcAddress(library, "RP1210_ClientConnect"));
    auto disconnect = reinterpret_cast<Rp1210ClientDisconnectFn>(OsGetProcAddress(library, "RP1210_ClientDisconnect"));
    auto detailed =
        reinterpret_cast<Rp1210ReadDetailedVersionFn>(OsGetProcAddress(library, "RP1210_ReadDetailedVersion"));
    ASSERT_TRUE(connect && disconnect && detailed);
    const struct {
        int16_t device;
        const char* protocol;
    } cases[] = {{1, "J1939"}, {2, "J1708"}, {4, "CAN"}, {4, "J1939"}, {1, "J1850"}, {2, "PLC"}, {1, "J1939:Channel=2"},
                 // What RP1210 applications in the field ask for, the rate in the name.
                 {1, "J1939:Baud=Auto"}, {2, "J1939:Baud=Auto"}, {4, "J1939:Baud=250"}, {1, "J1939:Baud=500"},
                 {2, "CAN:Baud=250"}, {1, "CAN:Baud=500"}};
    // Device 3 (TCP/IP) needs a bus server: the shared bus tests connect it.
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.device) + " " + c.protocol);
        int16_t id = connect(nullptr, c.device, c.protocol, 0, 0, 0);
        ASSERT_EQ(id, 1);
        char api[17], dll[17], firmware[17];
        EXPECT_EQ(detailed(id, api, dll, firmware), 0);
        EXPECT_STREQ(api, "2.00");
        EXPECT_EQ(disconnect(id), 0);
    }
    OsFreeLibrary(library);
    unsetenv("WINDIR");
}

}  // namespace
