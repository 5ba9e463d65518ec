#include "rp1210/status.h"

#include "rp1210/connection.h"
#include "rp1210/protocols.h"
#include "rp1210/rp1210_defs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char kDllMajor[] = "5";
const char kDllMinor[] = "47";
const char kApiMajor[] = "2";
const char kApiMinor[] = "0";

namespace {

// A text padded on the left with '0' to two places ("%02s" as the
// platform's C library formats it).
void ZeroPadded(const char* text, char* out, size_t size) {
    std::snprintf(out, size, "%s%s", std::strlen(text) < 2 ? "0" : "", text);
}

// Copies `text` cut to the caller's 17-byte buffer.
void CopyVersion(char* out, const char* text) {
    size_t length = std::min<size_t>(std::strlen(text), kVersionTextSize - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

}  // namespace

int16_t ReadDetailedVersion(ClientRecord* client, char* apiVersion, char* dllVersion, char* firmwareVersion) {
    DeviceConnection* connection = PinClientConnection(client);
    if (connection == nullptr) return kErrHardwareNotResponding;
    char text[kConfigTextSize];
    int16_t result = QueryAdapterDescription(connection, text);
    UnpinConnection(connection);
    if (result != kRp1210Ok) return result;

    char fields[4][kConfigTextSize];
    for (int i = 0; i < 4; ++i) DescriptionField(text, i, fields[i], sizeof fields[i]);
    char minor[8];
    char line[3 * kConfigTextSize];
    ZeroPadded(kApiMinor, minor, sizeof minor);
    std::snprintf(line, sizeof line, "%s.%s", kApiMajor, minor);
    CopyVersion(apiVersion, line);
    ZeroPadded(kDllMinor, minor, sizeof minor);
    std::snprintf(line, sizeof line, "%s.%s %s", kDllMajor, minor, fields[1]);
    CopyVersion(dllVersion, line);
    std::snprintf(line, sizeof line, "%s %s", fields[2], fields[3]);
    CopyVersion(firmwareVersion, line);
    return kRp1210Ok;
}

int16_t ReadHardwareStatus(ClientRecord* client, uint8_t info[16]) {
    DeviceConnection* connection = PinClientConnection(client);
    if (connection == nullptr) return kErrHardwareNotResponding;
    char text[kConfigTextSize];
    bool answered = QueryAdapterDescription(connection, text) == kRp1210Ok;
    uint8_t clients = static_cast<uint8_t>(ConnectionClientCount(connection) & 0xFF);
    int32_t kind = connection->protocolKind;
    bool external = connection->externalDevice;
    UnpinConnection(connection);

    std::memset(info, 0, 16);
    info[0] = static_cast<uint8_t>((answered ? 0x01 : 0) | (external ? 0x04 : 0x02));
    info[1] = clients;
    int pair = Protocol(kind).statusPair;  // bytes 2-9: one pair per channel-1 protocol
    if (pair > 0) {
        info[pair] = 0x01;  // link flags
        info[pair + 1] = clients;
    }
    if (answered) {
        char field[kConfigTextSize];
        DescriptionField(text, 3, field, sizeof field);
        std::memcpy(info + 10, field, std::min<size_t>(std::strlen(field), 5));
    }
    return kRp1210Ok;
}
