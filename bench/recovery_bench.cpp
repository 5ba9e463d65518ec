// How the RP1210 library rides out adapter faults, in real time: for each
// link kind, the time from the adapter's loss of power (a TCP/IP adapter:
// its server going away) to the first send that answers 142, and from its
// return to the first message read again; and the transmit queue's bound
// under a flood of sends, with the memory one queued request takes. Prints
// figures only, beside the link monitor's own pace (it asks the adapter
// after 1 s of silence, every 200 ms, and opens afresh at most once a
// second) and the CAN bus's frame time.
//
// Usage: recovery-bench [rounds per link kind, default 5]
#include "bench/bench_windows.h"
#include "os/os.h"
#include "rp1210/hvlnk32.h"
#include "rp1210/library.h"
#include "rp1210/rp1210_defs.h"
#include "sim/va_client.h"
#include "tests/support/socketcand_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double, std::milli>(to - from).count(); }

const uint8_t kFrame[] = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};

int16_t SendOne(int16_t id) {
    return RP1210_SendMessage(id, reinterpret_cast<char*>(const_cast<uint8_t*>(kFrame)), sizeof kFrame, 0, 0);
}

// Waits until `done`, doing `step` every 5 ms; false after `limit`.
bool Until(std::function<bool()> done, std::function<void()> step, double limitMs) {
    auto start = Clock::now();
    while (!done()) {
        if (Ms(start, Clock::now()) > limitMs) return false;
        step();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Round {
    double lossToRefusal = -1;  // ms from the loss to the first send answering 142
    double returnToRead = -1;   // ms from the return to the first message read
};

// One loss and return on a connected client (pass-all). `power` takes the
// adapter away (false) and gives it back (true); `frame` puts a frame of
// another node on the bus.
Round MeasureRound(int16_t id, const std::function<void(bool)>& power, const std::function<void()>& frame, int awayMs) {
    Round round;
    char buffer[64];
    while (RP1210_ReadMessage(id, buffer, sizeof buffer, 0) > 0) {
    }
    auto lost = Clock::now();
    power(false);
    if (Until([&] { return SendOne(id) == kErrHardwareNotResponding; }, [] {}, 10000)) {
        round.lossToRefusal = Ms(lost, Clock::now());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(awayMs));  // the adapter stays away a while
    auto back = Clock::now();
    power(true);
    if (Until([&] { return RP1210_ReadMessage(id, buffer, sizeof buffer, 0) > 0; }, frame, 20000)) {
        round.returnToRead = Ms(back, Clock::now());
    }
    return round;
}

// "median (lowest-highest)" of the rounds that saw the event.
std::string Spread(std::vector<double> values) {
    values.erase(std::remove(values.begin(), values.end(), -1.0), values.end());
    if (values.empty()) return "never";
    std::sort(values.begin(), values.end());
    char text[64];
    std::snprintf(text, sizeof text, "%5.0f ms (%.0f-%.0f)", values[values.size() / 2], values.front(), values.back());
    return text;
}

std::string DeviceIni(const std::string& params) {
    return "[VendorInformation]\nMessageString=HVLNK32_Msg\nErrorString=HVLNK32_Err\nProtocols=1\n"
           "[DeviceInformation1]\nDeviceName=HV-TEST\nDeviceDescription=Halvery VDA, " +
           params + "\nDeviceParams=" + params +
           "\n[ProtocolInformation1]\nProtocolString=J1939\nProtocolDescription=J1939\nProtocolParams=\nDevices=1\n"
           "[Heartbeat]\nHeartbeatFlag=1\n";
}

// Bytes the library allocates (requests are freed only once done: while
// the adapter keeps every completion back, the accepted ones stay).
std::atomic<long long> g_allocated{0};
void* CountingAllocate(size_t bytes) {
    g_allocated += static_cast<long long>(bytes);
    return OsPlatformHooks().allocate(bytes);
}

// The process's resident memory in KiB.
long ResidentKiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.WorkingSetSize / 1024);
#else
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    VaModule usb("ZMXURP2K.DLL"), serial("ZMXSRP32.DLL"), isa("ZMXIRP32.DLL"), tcp("ZMXTRP32.DLL");
    if (!usb.ok() || !serial.ok() || !isa.ok() || !tcp.ok()) {
        std::fprintf(stderr, "recovery-bench: the virtual adapter is not beside the program\n");
        return 1;
    }
    SocketcandServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "recovery-bench: no loopback port for the bus server\n");
        return 1;
    }
    struct Kind {
        const char* name;
        std::string params;
        VaModule* va;
    } kinds[] = {
        {"USB", "USB", &usb},
        {"serial", "COM1", &serial},
        {"PC card", "ISA,0x300,5", &isa},
        {"TCP/IP", "TCP/IP,IP=127.0.0.1,PORT=" + std::to_string(server.port()), nullptr},
    };
    std::printf("adapter loss and return (median, lowest and highest of %d rounds; the adapter away 2-3 s)\n", rounds);
    std::printf("  link monitor: asks the adapter after 1000 ms of silence, looks every 200 ms, opens afresh at most "
                "once a second\n");
    for (const Kind& kind : kinds) {
        std::string ini = BenchWindowsFile("HVLNK32.INI", DeviceIni(kind.params).c_str());
        int16_t id = RP1210_ClientConnect(nullptr, 1, "J1939", 0, 0, 0);
        if (id != 1) {
            std::printf("  %-8s connect failed (%d)\n", kind.name, id);
            RemoveBenchWindowsFile(ini);
            continue;
        }
        RP1210_SendCommand(kCmdSetAllFiltersToPass, id, nullptr, 0);
        auto power = [&](bool on) {
            if (kind.va != nullptr) {
                kind.va->VaSetPower(0, on ? kVaPowerOn : kVaPowerOff);
            } else {
                server.Refuse(!on);
            }
        };
        auto frame = [&] {
            uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            if (kind.va != nullptr) {
                kind.va->VaInjectFrame(0, kLinkCodeCan1, 29, 0x18FECA33, data, 8);
            } else {
                server.SendFrame(0x18FECA33, std::vector<uint8_t>(data, data + 8));
            }
        };
        std::vector<double> loss, back;
        for (int r = 0; r < rounds; ++r) {
            Round round = MeasureRound(id, power, frame, 2000 + 1000 * r / rounds);
            loss.push_back(round.lossToRefusal);
            back.push_back(round.returnToRead);
        }
        std::printf("  %-8s loss to the first 142: %s   return to the first message read: %s\n", kind.name,
                    Spread(loss).c_str(), Spread(back).c_str());
        RP1210_ClientDisconnect(id);
        RemoveBenchWindowsFile(ini);
    }

    // The flood: non-blocking sends as fast as they return while the adapter
    // keeps every completion back.
    std::string ini = BenchWindowsFile("HVLNK32.INI", DeviceIni("USB").c_str());
    OsHooks saved = OsGetHooks();
    OsHooks hooks = saved;
    hooks.allocate = CountingAllocate;
    int16_t id = RP1210_ClientConnect(nullptr, 1, "J1939", 0, 0, 0);
    if (id != 1) {
        std::printf("transmit queue flood: connect failed (%d)\n", id);
        RemoveBenchWindowsFile(ini);
        return 1;
    }
    usb.VaHoldCompletions(1);
    OsSetHooks(&hooks);
    long accepted = 0, full = 0;
    long long queuedBytes = 0;
    const long kFlood = 2000000;
    long residentBefore = ResidentKiB();
    auto start = Clock::now();
    for (long i = 0; i < kFlood; ++i) {
        int16_t result = SendOne(id);
        accepted += result == 0;
        full += result == kErrTxQueueFull;
        if (full == 0) queuedBytes = g_allocated.load();  // only accepted requests so far
    }
    double seconds = Ms(start, Clock::now()) / 1000.0;
    long residentAfter = ResidentKiB();
    OsSetHooks(&saved);
    usb.VaHoldCompletions(-1);
    RP1210_ClientDisconnect(id);
    RemoveBenchWindowsFile(ini);
    std::printf("transmit queue bound: %d requests or %d bytes of messages per client (txBufferSize sets the bytes)\n",
                kMaxQueuedRequests, kDefaultTxBudget);
    std::printf("  flood of %ld non-blocking 14-byte sends in %.1f s with no completion coming: %ld accepted, %ld "
                "answered 137\n  %.0f bytes per queued request (%.1f KiB for the full queue); process memory %+ld KiB "
                "over the flood\n",
                kFlood, seconds, accepted, full, accepted > 0 ? static_cast<double>(queuedBytes) / accepted : 0.0,
                queuedBytes / 1024.0, residentAfter - residentBefore);
    std::printf("  CAN bus at 250 kbit/s: the bound is %.2f s of 8-byte frames (one every 0.52-0.64 ms)\n",
                kMaxQueuedRequests * 0.00058);
    return 0;
}
