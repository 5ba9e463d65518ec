// catalogue-dump: loads the RP1210 catalogue of a Windows directory as the
// checker does at start and prints all of it: every vendor with its key, list
// entry and [VendorInformation] values, every device and protocol record, the
// message boxes the load showed, and the Vendor, Device and Protocol lists
// with their cascades, as the main window fills them.
//
//   catalogue-dump WINDOWS_DIRECTORY
//
// Texts are printed in C notation between double quotes; a key that the INI
// file does not have is printed as (absent), distinct from an empty "" value.
// Message boxes are recorded and answered OK, so the run needs no person.
#include "os/os.h"
#include "tool/config/catalogue.h"
#include "tool/config/text_helpers.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string Quote(const char* text) {
    if (text == nullptr) return "(absent)";
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        switch (*p) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (*p < 0x20 || *p >= 0x7f) {
                    out += FormatText("\\x%02x", *p);
                } else {
                    out += static_cast<char>(*p);
                }
        }
    }
    return out + "\"";
}

void PrintList(const char* indent, const char* title, const ChoiceList& list) {
    std::printf("%s%s list (%s), %zu entr%s:\n", indent, title, list.sorted ? "sorted" : "not sorted",
                list.items.size(), list.items.size() == 1 ? "y" : "ies");
    for (size_t i = 0; i < list.items.size(); ++i) {
        std::printf("%s  %s %s\n", indent, static_cast<int>(i) == list.current ? "*" : " ",
                    Quote(list.items[i].c_str()).c_str());
    }
}

void PrintVendor(int index, const VendorRecord& vendor) {
    std::printf("Vendor %d: key %s\n", index + 1, Quote(VendorKey(vendor).c_str()).c_str());
    std::printf("  list entry %s\n", Quote(VendorListEntry(vendor).c_str()).c_str());
    std::printf("  vendor INI %s\n", Quote(vendor.vendorIni.path).c_str());
    for (int k = 0; k < kVendorInfoKeyCount; ++k) {
        std::printf("  %-24s %s\n", kVendorInfoKeys[k], Quote(vendor.vendorInfo[k]).c_str());
    }
    std::printf("  devices: %d\n", vendor.deviceCount);
    for (int d = 0; d < vendor.deviceCount; ++d) {
        const DeviceRecord& device = vendor.devices[d];
        std::printf("    device %d: id %d\n", d + 1, device.deviceId);
        std::printf("      description %s\n", Quote(device.description).c_str());
        std::printf("      connection  %s\n", Quote(device.connection).c_str());
        std::printf("      name        %s\n", Quote(device.name).c_str());
        std::printf("      params      %s\n", Quote(device.params).c_str());
    }
    std::printf("  protocols: %d\n", vendor.protocolCount);
    for (int p = 0; p < vendor.protocolCount; ++p) {
        const ProtocolRecord& protocol = vendor.protocols[p];
        std::printf("    protocol %d: id %d\n", p + 1, protocol.protocolId);
        std::printf("      string      %s\n", Quote(protocol.protocolString).c_str());
        std::printf("      description %s\n", Quote(protocol.description).c_str());
        std::printf("      devices     %s\n", Quote(protocol.deviceList).c_str());
        std::printf("      params      %s\n", Quote(protocol.params).c_str());
        std::printf("      speed       %s\n", Quote(protocol.speed).c_str());
    }
}

// Selects every Vendor entry in turn, and under it every Device entry, as a
// user of the main window would, and prints the lists each choice fills.
void PrintCascades(const RP1210Catalogue& catalogue) {
    ChoiceList vendors;
    FillVendorList(catalogue, vendors);
    std::printf("\nLists as the main window fills them\n");
    PrintList("", "Vendor", vendors);
    for (size_t v = 0; v < vendors.items.size(); ++v) {
        vendors.current = static_cast<int>(v);
        std::string vendorKey = TakeSelection(vendors, "");
        std::printf("\nVendor %s chosen: vendorKey %s\n", Quote(vendors.items[v].c_str()).c_str(),
                    Quote(vendorKey.c_str()).c_str());
        if (vendorKey.empty()) continue;
        ChoiceList devices;
        FillDeviceList(catalogue, vendorKey.c_str(), devices);
        PrintList("  ", "Device", devices);
        for (size_t d = 0; d < devices.items.size(); ++d) {
            devices.current = static_cast<int>(d);
            std::string deviceText = TakeSelection(devices, "");
            ChoiceList protocols;
            FillProtocolList(catalogue, vendorKey.c_str(), deviceText.c_str(), protocols);
            std::printf("  Device %s chosen: deviceText %s\n", Quote(devices.items[d].c_str()).c_str(),
                        Quote(deviceText.c_str()).c_str());
            PrintList("    ", "Protocol", protocols);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: catalogue-dump WINDOWS_DIRECTORY\n");
        return 2;
    }
    OsSetWindowsDirectory(argv[1]);
    OsRecordMessageBoxes();

    auto catalogue = std::make_unique<RP1210Catalogue>();
    int result = LoadCatalogue(catalogue.get());
    std::vector<OsMessageBoxCall> boxes = OsTakeRecordedMessageBoxes();

    std::printf("Windows directory %s\n", Quote(argv[1]).c_str());
    std::printf("Main INI %s\n", Quote(MainIniPath(*catalogue)).c_str());
    std::printf("LoadCatalogue returned %d\n", result);
    std::printf("\nMessage boxes shown while loading: %zu\n", boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        std::printf("  box %zu [%s]: %s\n", i + 1, boxes[i].caption.c_str(), Quote(boxes[i].text.c_str()).c_str());
    }
    std::printf("\nVendors loaded: %d\n", VendorCount(*catalogue));
    for (int i = 0; i < VendorCount(*catalogue); ++i) PrintVendor(i, catalogue->vendors[i]);
    PrintCascades(*catalogue);
    ReleaseCatalogue(catalogue.get());
    return 0;
}
