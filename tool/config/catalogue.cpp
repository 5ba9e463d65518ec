#include "tool/config/catalogue.h"

#include "os/os.h"
#include "tool/config/text_helpers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char* const kVendorInfoKeys[kVendorInfoKeyCount] = {
    "Name",          "Address1",          "Address2",
    "City",          "State",             "Country",
    "Postal",        "Telephone",         "Fax",
    "MessageString", "ErrorString",       "TimestampWeight",
    "Devices",       "Protocols",         "VendorURL",
    "AutoDetectCapable", "Version",       "RP1210",
    "DebugLevel",    "DebugFile",         "DebugMode",
    "DebugFileSize", "NumberOfRTSCTSSessions", "CANFormatsSupported",
    "J1939FormatsSupported", "J1708FormatsSupported", "ISO15765FormatsSupported",
};

namespace {

constexpr char kVendorSection[] = "VendorInformation";

// A recorded copy of an INI value, or null when the value is absent.
char* CopyIfPresent(const char* value) { return value ? SafeCopyText(value) : nullptr; }

// Splits a list value as the loader reads Devices and Protocols: white space
// removed, split at commas, empty items dropped.
std::vector<std::string> SplitNumberList(const char* value) {
    std::vector<char> work(value, value + std::strlen(value) + 1);
    RemoveWhiteSpace(work.data());
    std::vector<std::string> items;
    const char* p = work.data();
    while (*p != '\0') {
        const char* comma = std::strchr(p, ',');
        size_t length = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
        if (length > 0) items.emplace_back(p, length);
        p += length;
        if (*p == ',') ++p;
    }
    return items;
}

// One warning for the entries of a list that the catalogue has no room for.
void ShowLeftOut(const std::string& subject, int limit, const char* what, size_t leftOut) {
    ShowConfigMessage(FormatText("\nWarning:  %s names more than %d %s.\n\nProgram will ignore the %s after the first "
                                 "%d (%d left out).\n",
                                 subject.c_str(), limit, what, what, limit, static_cast<int>(leftOut)).c_str());
}

// Reads the number list `key` of [VendorInformation] and hands each number
// (kept in 16 bits) and the name of its section ("%s%d" of `sectionWord` and
// the number) to `readItem`, for at most `limit` items; the rest are left out
// with one warning. Returns the number of items read.
template <typename ReadItem>
int16_t ReadNumberedSections(const VendorRecord& vendor, const char* key, const char* sectionWord, int limit,
                             const char* what, ReadItem readItem) {
    const char* list = GetIniValue(&vendor.vendorIni, kVendorSection, key);
    if (list == nullptr) return 0;
    std::vector<std::string> items = SplitNumberList(list);
    int16_t count = 0;
    for (const std::string& item : items) {
        if (count == limit) break;
        int16_t number = static_cast<int16_t>(ParseDecimal(item.c_str()));
        readItem(count, number, FormatText("%s%d", sectionWord, number));
        ++count;
    }
    if (items.size() > static_cast<size_t>(limit)) {
        std::string subject =
            FormatText("\"%s\" Section [VendorInformation] Parameter \"%s\"", vendor.vendorIni.path, key);
        ShowLeftOut(subject, limit, what, items.size() - static_cast<size_t>(limit));
    }
    return count;
}

void ReadDevices(VendorRecord& vendor) {
    const IniFile* ini = &vendor.vendorIni;
    vendor.deviceCount = ReadNumberedSections(
        vendor, "Devices", "DeviceInformation", kMaxDevices, "devices",
        [&](int index, int16_t id, const std::string& section) {
            DeviceRecord& device = vendor.devices[index];
            device.deviceId = id;
            // A missing section or key leaves its text absent, without a message.
            if (const char* description = GetIniValue(ini, section.c_str(), "DeviceDescription")) {
                if (const char* comma = std::strrchr(description, ',')) {
                    device.description = SafeCopyText(description, static_cast<size_t>(comma - description));
                    device.connection = SafeCopyText(comma + 1);
                } else {
                    device.description = SafeCopyText(description);
                    device.connection = SafeCopyText("Auto");
                }
            }
            device.name = CopyIfPresent(GetIniValue(ini, section.c_str(), "DeviceName"));
            device.params = CopyIfPresent(GetIniValue(ini, section.c_str(), "DeviceParams"));
        });
}

void ReadProtocols(VendorRecord& vendor) {
    const IniFile* ini = &vendor.vendorIni;
    vendor.protocolCount = ReadNumberedSections(
        vendor, "Protocols", "ProtocolInformation", kMaxProtocols, "protocols",
        [&](int index, int16_t id, const std::string& section) {
            ProtocolRecord& protocol = vendor.protocols[index];
            protocol.protocolId = id;
            protocol.protocolString = CopyIfPresent(GetIniValue(ini, section.c_str(), "ProtocolString"));
            protocol.description = CopyIfPresent(GetIniValue(ini, section.c_str(), "ProtocolDescription"));
            protocol.deviceList = CopyIfPresent(GetIniValue(ini, section.c_str(), "Devices"));
            protocol.params = CopyIfPresent(GetIniValue(ini, section.c_str(), "ProtocolParams"));
            protocol.speed = CopyIfPresent(GetIniValue(ini, section.c_str(), "ProtocolSpeed"));
            // Only these three missing keys are reported, each in a box of its own.
            const struct {
                const char* value;
                const char* key;
            } required[] = {{protocol.protocolString, "ProtocolString"},
                            {protocol.description, "ProtocolDescription"},
                            {protocol.deviceList, "Devices"}};
            for (const auto& r : required) {
                if (r.value) continue;
                ShowConfigMessage(FormatText("INI Error: \"%s\" Section [%s] Parameter \"%s\" not found.\n",
                                             ini->path, section.c_str(), r.key).c_str());
            }
        });
}

void ReadVendorInformation(VendorRecord& vendor) {
    for (int i = 0; i < kVendorInfoKeyCount; ++i) {
        vendor.vendorInfo[i] = CopyIfPresent(GetIniValue(&vendor.vendorIni, kVendorSection, kVendorInfoKeys[i]));
    }
}

bool FileCanBeRead(const char* path) {
    std::FILE* file = OsOpenFile(path, "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

}  // namespace

int LoadCatalogue(RP1210Catalogue* catalogue) {
    ReleaseAllocations();  // a catalogue loaded before is gone with its blocks
    std::memset(catalogue, 0, sizeof *catalogue);

    char windowsDir[1000];
    if (OsGetWindowsDirectory(windowsDir, sizeof windowsDir) == 0 || windowsDir[0] == '\0') {
        ShowConfigMessage("\nWarning:  \"WINDIR\" environment variable not set, defaulting to \"C:\\WINDOWS\".\n");
        std::strcpy(windowsDir, "c:\\windows");
    }

    std::string mainPath = FormatText("%s\\%s", windowsDir, "rp121032.ini");
    if (!ReadIniFile(mainPath.c_str(), &catalogue->mainIni)) {
        ShowConfigMessage(FormatText("\nError:  Main RP1210 INI file \"%s\" not found.\n", mainPath.c_str()).c_str());
        return 0;
    }
    const char* implementations = GetIniValue(&catalogue->mainIni, "RP1210Support", "APIImplementations");
    if (implementations == nullptr) {
        ShowConfigMessage("\nError in RP121032.INI file.  \"APIImplementations\" not found in section "
                          "\"[RP1210Support]\".\n");
        return 0;
    }

    catalogue->vendorCount = 0;
    std::vector<char> list(implementations, implementations + std::strlen(implementations) + 1);
    CleanList(RemoveWhiteSpace(list.data()));

    size_t leftOut = 0;  // usable vendors past the catalogue's room
    const char* entry = list.data();
    while (*entry != '\0') {
        const char* comma = std::strchr(entry, ',');
        std::string name(entry, comma ? static_cast<size_t>(comma - entry) : std::strlen(entry));
        entry = comma ? comma + 1 : entry + name.size();
        if (name.empty() || !IsAsciiLetterOrDigit(name[0])) continue;

        std::string path = FormatText("%s\\%s.ini", windowsDir, name.c_str());
        ToLowerText(&path[0]);
        if (!FileCanBeRead(path.c_str())) {
            std::string text = FormatText("\nError:  Vendor INI File  \"%s\" not found.\n\nProgram will ignore this "
                                          "vendor.", path.c_str());
            text += "\n\nYou should choose the \"Fix INI File, Make This Vendor First in List\" in the main program "
                    "to fix this.\n";
            ShowConfigMessage(text.c_str());
            continue;
        }
        if (catalogue->vendorCount == kMaxVendors) {
            ++leftOut;
            continue;
        }
        VendorRecord& vendor = catalogue->vendors[catalogue->vendorCount];
        ReadIniFile(path.c_str(), &vendor.vendorIni);
        ReadDevices(vendor);
        ReadProtocols(vendor);
        ReadVendorInformation(vendor);
        ++catalogue->vendorCount;
    }
    if (leftOut > 0) {
        ShowLeftOut(FormatText("Main RP1210 INI file \"%s\"", mainPath.c_str()), kMaxVendors, "vendors", leftOut);
    }
    return 1;
}

void ReleaseCatalogue(RP1210Catalogue* catalogue) {
    ReleaseAllocations();
    std::memset(catalogue, 0, sizeof *catalogue);
}

std::string VendorKey(const VendorRecord& vendor) {
    const char* path = vendor.vendorIni.path;
    if (path == nullptr) return std::string();
    const char* slash = std::strrchr(path, '\\');
    std::string key(slash ? slash + 1 : path);
    size_t dot = key.find('.');
    if (dot != std::string::npos) key.resize(dot);
    ToUpperText(&key[0]);
    return key;
}

std::string VendorListEntry(const VendorRecord& vendor) {
    const char* name = vendor.vendorInfo[kVendorName];
    std::string entry = FormatText("%-8.8s - %s", VendorKey(vendor).c_str(), name ? name : "");
    TrimText(&entry[0]);
    entry.resize(std::strlen(entry.c_str()));
    return entry;
}

std::string DeviceListEntry(const DeviceRecord& device) {
    return FormatText("%3d - %s - %s", device.deviceId, device.description ? device.description : "",
                      device.connection ? device.connection : "");
}

const VendorRecord* FindVendorByKey(const RP1210Catalogue& catalogue, const char* key) {
    for (int i = 0; i < catalogue.vendorCount; ++i) {
        if (VendorKey(catalogue.vendors[i]) == key) return &catalogue.vendors[i];
    }
    return nullptr;
}

std::vector<const char*> ProtocolsForDevice(const RP1210Catalogue& catalogue, const char* vendorKey,
                                            int deviceId) {
    std::vector<const char*> offered;
    for (int v = 0; v < catalogue.vendorCount; ++v) {
        const VendorRecord& vendor = catalogue.vendors[v];
        if (VendorKey(vendor) != vendorKey) continue;
        for (int d = 0; d < vendor.deviceCount; ++d) {
            if (vendor.devices[d].deviceId != deviceId) continue;
            for (int p = 0; p < vendor.protocolCount; ++p) {
                const ProtocolRecord& protocol = vendor.protocols[p];
                if (protocol.deviceList == nullptr || protocol.protocolString == nullptr) continue;
                std::string tokens(protocol.deviceList);
                size_t start = 0;
                while (start < tokens.size()) {
                    size_t comma = tokens.find(',', start);
                    if (comma == std::string::npos) comma = tokens.size();
                    std::string token = tokens.substr(start, comma - start);
                    if (!token.empty() && ParseDecimal(token.c_str()) == deviceId) {
                        offered.push_back(protocol.protocolString);
                    }
                    start = comma + 1;
                }
            }
        }
    }
    return offered;
}

const char* MainIniPath(const RP1210Catalogue& catalogue) { return catalogue.mainIni.path; }

int VendorCount(const RP1210Catalogue& catalogue) { return catalogue.vendorCount; }

const char* VendorIniPath(const RP1210Catalogue& catalogue, int vendorIndex) {
    if (vendorIndex < 0 || vendorIndex >= catalogue.vendorCount) return nullptr;
    return catalogue.vendors[vendorIndex].vendorIni.path;
}

bool ListHasEntryBeginningWith(const ChoiceList& list, const char* text) {
    for (const std::string& item : list.items) {
        if (BeginsWithNoCase(item.c_str(), text)) return true;
    }
    return false;
}

bool AddListEntry(ChoiceList& list, const std::string& text) {
    if (ListHasEntryBeginningWith(list, text.c_str())) return false;
    auto at = list.items.end();
    if (list.sorted) {
        at = std::find_if(list.items.begin(), list.items.end(),
                          [&](const std::string& item) { return CompareNoCase(item.c_str(), text.c_str()) > 0; });
    }
    list.items.insert(at, text);
    return true;
}

std::string TakeSelection(const ChoiceList& list, const std::string& previous) {
    if (list.current < 0 || static_cast<size_t>(list.current) >= list.items.size()) return previous;
    std::vector<char> text(list.items[list.current].begin(), list.items[list.current].end());
    text.push_back('\0');
    return FirstWord(text.data());
}

namespace {
void StartList(ChoiceList& list, bool sorted) {
    list.sorted = sorted;
    list.items.clear();
    list.current = -1;
}
void SelectFirst(ChoiceList& list) { list.current = list.items.empty() ? -1 : 0; }
}  // namespace

void FillVendorList(const RP1210Catalogue& catalogue, ChoiceList& vendorList) {
    StartList(vendorList, false);
    for (int i = 0; i < catalogue.vendorCount; ++i) AddListEntry(vendorList, VendorListEntry(catalogue.vendors[i]));
    SelectFirst(vendorList);
}

void FillDeviceList(const RP1210Catalogue& catalogue, const char* vendorKey, ChoiceList& deviceList) {
    StartList(deviceList, true);
    if (const VendorRecord* vendor = FindVendorByKey(catalogue, vendorKey)) {
        for (int i = 0; i < vendor->deviceCount; ++i) AddListEntry(deviceList, DeviceListEntry(vendor->devices[i]));
    }
    SelectFirst(deviceList);
}

void FillProtocolList(const RP1210Catalogue& catalogue, const char* vendorKey, const char* deviceText,
                      ChoiceList& protocolList) {
    StartList(protocolList, true);
    for (const char* protocol : ProtocolsForDevice(catalogue, vendorKey, ParseDecimal(deviceText))) {
        AddListEntry(protocolList, protocol);
    }
    SelectFirst(protocolList);
}
