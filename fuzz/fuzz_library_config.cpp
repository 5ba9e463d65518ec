// Feeds arbitrary vendor INI files and protocol names through the RP1210
// library's configuration: the INI walk, the protocol plan and the set-up
// bytes for every adapter type.
//
// Input: a device id byte, the protocol name up to the first line feed, then
// the vendor INI text; an adapter INI with sections ZMXInformation1..3 is
// always beside it.
#include "rp1210/config.h"
#include "rp1210/protocols.h"
#include "os/os.h"
#include "rp1210/rp1210_defs.h"

#include "fuzz/fuzz_files.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Terminated(const char* field) { return std::memchr(field, '\0', kConfigTextSize) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool directorySet = [] {
        OsSetWindowsDirectory(FuzzDirectory().c_str());
        WriteFuzzFile("HV_ZMX32.INI", "[ZMXInformation1]\r\nZMXParams=USB\r\n[ZMXInformation3]\r\nZMXParams=COM1\r\n");
        return true;
    }();
    (void)directorySet;
    if (size == 0) return 0;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t line = rest.find('\n');
    std::string protocol = rest.substr(0, line == std::string::npos ? rest.size() : line);
    WriteFuzzFile("HVLNK32.INI", line == std::string::npos ? "" : rest.substr(line + 1));

    ConnectConfig config;
    std::memset(&config, 0, sizeof config);
    config.deviceId = static_cast<int16_t>(data[0] % 12);
    std::strncpy(config.protocolName, protocol.c_str(), sizeof config.protocolName - 1);
    int16_t heartbeat = -1;
    int16_t result = ReadConnectConfig(&config, &heartbeat);
    if (result != kRp1210Ok && result != kErrInvalidProtocol && result != kErrInvalidDevice) std::abort();
    const char* texts[] = {config.vendorName,          config.deviceName,     config.deviceDescription,
                           config.deviceParams,        config.protocolDescription, config.protocolParams,
                           config.transportParams,     config.messageString,  config.errorString};
    for (const char* text : texts) {
        if (!Terminated(text)) std::abort();
    }
    if (result != kRp1210Ok) return 0;
    ProtocolPlan plan;
    if (PlanProtocol(config, &plan) != kRp1210Ok) return 0;
    if (plan.rawCount < 0 || plan.rawCount > 5 || (plan.channel != 1 && plan.channel != 2)) std::abort();
    ProtocolKind kind = plan.kind;
    if (kind < kKindJ1939 || kind > kKindCanCh2) std::abort();
    for (int32_t type = 0; type <= 6; ++type) {
        uint8_t bytes[5];
        BuildSetupBytes(plan, config, type, bytes);
        uint8_t link = DataLinkCode(kind, type);
        if (link != 1 && link != 2 && link != 3 && link != 7) std::abort();
    }
    return 0;
}
