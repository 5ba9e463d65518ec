// rp1210-peer: a small RP1210 application for tests and demos on a shared
// bus. It loads an RP1210 library (HVLNK32.DLL unless told otherwise),
// connects one client to a device and then does what its options say, in this
// order, printing one line per step (flushed, for a test in another process):
//
//   rp1210-peer --device N [--library FILE] [--protocol J1939]
//               [--claim ADDRESS:NAME]   protect a J1939 address (NAME as 16 hex
//                                        digits, most significant first)
//               [--pgn PGN]              receive only this PGN (else everything)
//               [--send-tp PGN:DEST:SIZE[:SOURCE]]  one long J1939 message of the
//                                        pattern byte[i] = (i*31 + 7) & 0xFF; DEST
//                                        0xFF goes as a broadcast (BAM)
//               [--send-frames COUNT:PGN[:SOURCE]]  single frames, a counter in
//                                        bytes 0-3
//               [--read SECONDS]         count what arrives; long messages
//                                        (more than 8 data bytes) are printed
//               [--until COUNT]          stop reading once COUNT have arrived
//               [--rx-buffer BYTES]      the client's receive buffer (library default)
//               [--wait-ms MS]           pause before sending (after filters)
//               [--send-every MS:PGN[:SOURCE]]  while reading: a single frame
//                                        every MS ms, not blocking
//
// Lines: "connected CLIENT", "claim RESULT", "filter RESULT", "sent RESULT",
// "sent-frames COUNT", "message pgn=%05X sa=%02X da=%02X len=N data=HEX",
// "count N", "span-ms MS" (first to last message read), "overflows N"
// (receive buffer overflows reported while reading), "lost-claim"
// (address taken away while reading), "disconnect RESULT"; with
// --send-every: "lost MS" (the first send that failed, ms after the read
// began), "back MS" (the first one that went again), "count-after-loss N"
// (messages read after "back") and "send-results CODE=N ..." (how the
// sends answered). Exit status 0 when every step answered 0 (sends during
// a loss do not count).
#include "os/os.h"
#include "rp1210/rp1210_defs.h"
#include "tool/adapter_test/rp1210_binding.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string library = "HVLNK32.DLL";
    std::string protocol = "J1939";
    int device = -1;
    bool claim = false;
    uint8_t claimAddress = 0;
    uint8_t name[8] = {};
    long pgn = -1;
    bool sendTp = false;
    unsigned long tpPgn = 0, tpDest = 0, tpSize = 0, tpSource = 0xF9;
    unsigned long frames = 0, framesPgn = 0, framesSource = 0xF9;
    double readSeconds = 0;
    unsigned long until = 0;
    long rxBuffer = 0;
    unsigned waitMs = 0;
    unsigned long everyMs = 0, everyPgn = 0, everySource = 0xF9;
};

unsigned long Number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 0); }

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
        parts.push_back(text.substr(start, colon - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string key = argv[i];
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        std::vector<std::string> parts = Split(value);
        if (key == "--device") {
            o.device = static_cast<int>(Number(value));
        } else if (key == "--library") {
            o.library = value;
        } else if (key == "--protocol") {
            o.protocol = value;
        } else if (key == "--claim" && parts.size() == 2 && parts[1].size() == 16) {
            o.claim = true;
            o.claimAddress = static_cast<uint8_t>(Number(parts[0]));
            for (int b = 0; b < 8; ++b) {  // least significant byte first, as on the bus
                o.name[b] = static_cast<uint8_t>(std::strtoul(parts[1].substr(14 - 2 * b, 2).c_str(), nullptr, 16));
            }
        } else if (key == "--pgn") {
            o.pgn = static_cast<long>(Number(value));
        } else if (key == "--send-tp" && parts.size() >= 3) {
            o.sendTp = true;
            o.tpPgn = Number(parts[0]);
            o.tpDest = Number(parts[1]);
            o.tpSize = Number(parts[2]);
            if (parts.size() > 3) o.tpSource = Number(parts[3]);
        } else if (key == "--send-frames" && parts.size() >= 2) {
            o.frames = Number(parts[0]);
            o.framesPgn = Number(parts[1]);
            if (parts.size() > 2) o.framesSource = Number(parts[2]);
        } else if (key == "--read") {
            o.readSeconds = std::strtod(value.c_str(), nullptr);
        } else if (key == "--rx-buffer") {
            o.rxBuffer = static_cast<long>(Number(value));
        } else if (key == "--until") {
            o.until = Number(value);
        } else if (key == "--send-every" && parts.size() >= 2) {
            o.everyMs = Number(parts[0]);
            o.everyPgn = Number(parts[1]);
            if (parts.size() > 2) o.everySource = Number(parts[2]);
            if (o.everyMs == 0) return false;  // a send at every turn of the read loop: not a pace
        } else if (key == "--wait-ms") {
            o.waitMs = static_cast<unsigned>(Number(value));
        } else {
            return false;
        }
    }
    return o.device >= 0;
}

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A J1939 message for RP1210_SendMessage: PGN (3 bytes, least significant
// first), how/priority, source, destination, data.
std::vector<char> J1939Message(unsigned long pgn, uint8_t how, uint8_t source, uint8_t destination,
                               const std::vector<uint8_t>& data) {
    std::vector<char> m(6 + data.size());
    m[0] = static_cast<char>(pgn & 0xFF);
    m[1] = static_cast<char>((pgn >> 8) & 0xFF);
    m[2] = static_cast<char>((pgn >> 16) & 0x03);
    m[3] = static_cast<char>(how);
    m[4] = static_cast<char>(source);
    m[5] = static_cast<char>(destination);
    for (size_t i = 0; i < data.size(); ++i) m[6 + i] = static_cast<char>(data[i]);
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: rp1210-peer --device N [--library FILE] [--protocol P] [--claim A:NAME] "
                             "[--pgn PGN] [--send-tp PGN:DEST:SIZE[:SRC]] [--send-frames N:PGN[:SRC]] "
                             "[--read SECONDS] [--wait-ms MS] [--send-every MS:PGN[:SRC]]\n");
        return 2;
    }
    Rp1210Api api{};
    if (BindRp1210Library(o.library.c_str(), &api, nullptr) != 1) {
        Say("load-failed %s", o.library.c_str());
        return 1;
    }
    int failures = 0;
    int16_t client = api.ClientConnect(nullptr, static_cast<int16_t>(o.device), o.protocol.c_str(), 0, o.rxBuffer, 0);
    Say("connected %d", client);
    if (client < 0 || client > 127) return 1;

    if (o.claim) {
        char data[10];
        data[0] = static_cast<char>(o.claimAddress);
        std::memcpy(data + 1, o.name, 8);
        data[9] = 0;  // wait for the outcome
        int16_t result = api.SendCommand(kCmdProtectJ1939Address, client, data, sizeof data);
        Say("claim %d", result);
        failures += result != 0;
    }
    int16_t filter;
    if (o.pgn >= 0) {
        char data[7] = {1, static_cast<char>(o.pgn & 0xFF), static_cast<char>((o.pgn >> 8) & 0xFF),
                        static_cast<char>((o.pgn >> 16) & 0x03), 0, 0, 0};
        filter = api.SendCommand(kCmdSetJ1939Filters, client, data, sizeof data);
    } else {
        filter = api.SendCommand(kCmdSetAllFiltersToPass, client, nullptr, 0);
    }
    Say("filter %d", filter);
    failures += filter != 0;
    if (o.waitMs > 0) OsSleep(o.waitMs);

    if (o.sendTp) {
        std::vector<uint8_t> data(o.tpSize);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 31 + 7) & 0xFF);
        uint8_t how = static_cast<uint8_t>(6 | (o.tpDest == 0xFF ? 0x80 : 0));
        std::vector<char> m = J1939Message(o.tpPgn, how, static_cast<uint8_t>(o.tpSource),
                                           static_cast<uint8_t>(o.tpDest), data);
        int16_t result = api.SendMessage(client, m.data(), static_cast<int16_t>(m.size()), 0, 1);
        Say("sent %d", result);
        failures += result != 0;
    }
    if (o.frames > 0) {
        unsigned long sent = 0;
        for (unsigned long n = 0; n < o.frames; ++n) {
            std::vector<uint8_t> data = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                         static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24), 0xFF, 0xFF, 0xFF,
                                         0xFF};
            std::vector<char> m = J1939Message(o.framesPgn, 6, static_cast<uint8_t>(o.framesSource), 0xFF, data);
            if (api.SendMessage(client, m.data(), static_cast<int16_t>(m.size()), 0, 1) == 0) ++sent;
        }
        Say("sent-frames %lu", sent);
        failures += sent != o.frames;
    }
    if (o.readSeconds > 0) {
        unsigned long count = 0;
        uint32_t start = OsTickCount();
        uint32_t limit = static_cast<uint32_t>(o.readSeconds * 1000);
        std::vector<char> buffer(2048);
        bool lostReported = false;
        uint32_t first = 0, last = 0;
        unsigned long overflows = 0;
        // Sends while reading: how they answer, when they stop and start going.
        std::map<int, unsigned long> results;
        uint32_t nextSend = start;
        bool lost = false, back = false;
        unsigned long afterLoss = 0, sentEvery = 0;
        while (OsTickCount() - start < limit && (o.until == 0 || count < o.until)) {
            if (o.everyMs > 0 && static_cast<int32_t>(OsTickCount() - nextSend) >= 0) {
                nextSend += static_cast<uint32_t>(o.everyMs);
                std::vector<uint8_t> data = {static_cast<uint8_t>(sentEvery), static_cast<uint8_t>(sentEvery >> 8), 0xFF,
                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
                ++sentEvery;
                std::vector<char> m = J1939Message(o.everyPgn, 6, static_cast<uint8_t>(o.everySource), 0xFF, data);
                int16_t result = api.SendMessage(client, m.data(), static_cast<int16_t>(m.size()), 0, 0);
                ++results[result];
                if (result != 0 && !lost) {
                    lost = true;
                    Say("lost %lu", static_cast<unsigned long>(OsTickCount() - start));
                } else if (result == 0 && lost && !back) {
                    back = true;
                    Say("back %lu", static_cast<unsigned long>(OsTickCount() - start));
                }
            }
            int16_t n = api.ReadMessage(client, buffer.data(), static_cast<int16_t>(buffer.size()), 0);
            if (n == 0) {
                OsSleep(2);
                continue;
            }
            if (n < 0) {
                if (-n == kErrAddressLost && !lostReported) {
                    Say("lost-claim");
                    lostReported = true;
                }
                if (-n == kErrRxQueueFull) ++overflows;
                if (-n != kErrAddressLost) OsSleep(2);
                continue;
            }
            last = OsTickCount();
            if (count++ == 0) first = last;
            if (back) ++afterLoss;
            const uint8_t* m = reinterpret_cast<const uint8_t*>(buffer.data());
            if (n > 10 + 8) {
                unsigned pgn = m[4] | m[5] << 8 | (m[6] & 0x03) << 16;
                std::string hex;
                char pair[3];
                for (int i = 10; i < n; ++i) {
                    std::snprintf(pair, sizeof pair, "%02X", m[i]);
                    hex += pair;
                }
                Say("message pgn=%05X sa=%02X da=%02X len=%d data=%s", pgn, m[8], m[9], n - 10, hex.c_str());
            }
        }
        Say("count %lu", count);
        Say("span-ms %lu", static_cast<unsigned long>(last - first));
        Say("overflows %lu", overflows);
        if (o.everyMs > 0) {
            std::string text;
            for (const auto& result : results) text += " " + std::to_string(result.first) + "=" + std::to_string(result.second);
            Say("count-after-loss %lu", afterLoss);
            Say("send-results%s", text.c_str());
        }
    }
    int16_t result = api.ClientDisconnect(client);
    Say("disconnect %d", result);
    failures += result != 0;
    OsFreeLibrary(api.library);
    return failures == 0 ? 0 : 1;
}
