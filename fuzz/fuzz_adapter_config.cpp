// Feeds arbitrary "ZMXParams", "DeviceDescription" and "DeviceParams" values
// through the adapter INI parser, by way of INI files in a Windows directory
// and the profile reader.
//
// Input: a flags byte, then up to three values separated by zero bytes:
// ZMXParams, DeviceDescription, DeviceParams (line ends inside a value become
// blanks). Flags: bit 0 writes ZMXParams, bit 1 names another adapter INI
// file than the default, bit 2 adds a ZMXInformation section for a "DI"
// reference, bit 3 leaves DeviceName out.
#include "mux/adapter_config.h"
#include "os/os.h"

#include "fuzz/fuzz_files.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool Terminated(const char* field) { return std::memchr(field, '\0', kZmxTextSize) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool directorySet = (OsSetWindowsDirectory(FuzzDirectory().c_str()), true);
    (void)directorySet;
    if (size == 0) return 0;
    uint8_t flags = data[0];
    std::vector<std::string> values(1);
    for (size_t i = 1; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\0') {
            if (values.size() == 3) break;
            values.emplace_back();
            continue;
        }
        values.back() += (c == '\r' || c == '\n') ? ' ' : c;
    }
    values.resize(3);

    const char* iniName = (flags & 2) ? "FUZZ.INI" : "HV_ZMX32.ini";
    const char* deviceName = (flags & 2) ? "FUZZ.INI" : "HVLNK32.ini";
    std::string adapterIni = (flags & 1) ? "[ZMXInformation5]\r\nZMXParams=" + values[0] + "\r\n" : "";
    if (flags & 4) adapterIni += "[ZMXInformation7]\r\nZMXParams=" + values[0] + "\r\n";
    std::string deviceIni = "[DeviceInformation5]\r\n";
    if (!(flags & 8)) deviceIni += "DeviceName=Fuzz\r\n";
    deviceIni += "DeviceDescription=" + values[1] + "\r\nDeviceParams=" + values[2] + "\r\n";
    if (flags & 2) {
        WriteFuzzFile(iniName, adapterIni + deviceIni);
    } else {
        WriteFuzzFile(iniName, adapterIni);
        WriteFuzzFile(deviceName, deviceIni);
    }

    AdapterConfig config;
    std::memset(&config, 0xEE, sizeof config);
    config.params.adapterNumber = 5;
    int32_t result = ParseAdapterConfig(&config, iniName);
    if (result != kZmxOk && result != kZmxBadPort && result != kZmxBadConfig) std::abort();
    if (result == kZmxOk && (config.linkKind < 0 || config.linkKind >= kLinkKindCount)) std::abort();
    if (config.params.adapterNumber != 5) std::abort();
    if (!Terminated(config.params.paramText) || !Terminated(config.params.deviceName) ||
        !Terminated(config.params.deviceDescription)) {
        std::abort();
    }
    return 0;
}
