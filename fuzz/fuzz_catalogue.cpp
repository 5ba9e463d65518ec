// Feeds arbitrary bytes as RP121032.INI and vendor INI files through
// LoadCatalogue and every catalogue query and list fill.
//
// Input: up to nine parts separated by the line "\n====\n". The first part is
// written as rp121032.ini, the others as v1.ini to v8.ini, in one Windows
// directory; a seed's APIImplementations names them.
#include "os/os.h"
#include "tool/config/catalogue.h"

#include "fuzz/fuzz_files.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {


void Exercise(const RP1210Catalogue& catalogue) {
    VendorCount(catalogue);
    MainIniPath(catalogue);
    ChoiceList vendors;
    FillVendorList(catalogue, vendors);
    for (int v = -1; v <= catalogue.vendorCount; ++v) VendorIniPath(catalogue, v);
    for (int v = 0; v < catalogue.vendorCount; ++v) {
        const VendorRecord& vendor = catalogue.vendors[v];
        std::string key = VendorKey(vendor);
        VendorListEntry(vendor);
        if (FindVendorByKey(catalogue, key.c_str()) == nullptr) std::abort();  // its own key must find a vendor
        for (int d = 0; d < vendor.deviceCount; ++d) {
            DeviceListEntry(vendor.devices[d]);
            ProtocolsForDevice(catalogue, key.c_str(), vendor.devices[d].deviceId);
        }
    }
    for (size_t i = 0; i < vendors.items.size(); ++i) {
        vendors.current = static_cast<int>(i);
        std::string vendorKey = TakeSelection(vendors, "");
        ChoiceList devices;
        FillDeviceList(catalogue, vendorKey.c_str(), devices);
        for (size_t d = 0; d < devices.items.size(); ++d) {
            devices.current = static_cast<int>(d);
            std::string deviceText = TakeSelection(devices, "");
            ChoiceList protocols;
            FillProtocolList(catalogue, vendorKey.c_str(), deviceText.c_str(), protocols);
            TakeSelection(protocols, "");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        OsSetWindowsDirectory(FuzzDirectory().c_str());
        OsRecordMessageBoxes();
        started = true;
    }
    std::string input(reinterpret_cast<const char*>(data), size);
    const std::string separator = "\n====\n";
    size_t start = 0;
    for (int part = 0; part < 9; ++part) {
        std::string name = part == 0 ? "rp121032.ini" : "v" + std::to_string(part) + ".ini";
        if (start > input.size()) {
            std::remove((FuzzDirectory() + "/" + name).c_str());
            continue;
        }
        size_t end = input.find(separator, start);
        if (end == std::string::npos || part == 8) end = input.size();
        WriteFuzzFile(name, input.substr(start, end - start));
        start = end + separator.size();
    }

    static auto catalogue = std::make_unique<RP1210Catalogue>();
    LoadCatalogue(catalogue.get());
    Exercise(*catalogue);
    ReleaseCatalogue(catalogue.get());
    OsTakeRecordedMessageBoxes();
    return 0;
}
