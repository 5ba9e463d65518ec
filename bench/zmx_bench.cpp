// What the multiplexer costs: a forwarded call through ZMXMRP32.DLL next to
// the same call made straight into the transport library, and one InitZMX +
// RestoreZMX pair (with the transport kept loaded by another open adapter,
// and with the load and unload of the transport each time).
//
// The transport is the virtual adapter under its default serial name
// ZMXS32.DLL; the adapter INI file is written into the Windows directory
// (natively: a temporary directory named by WINDIR).
#include "mux/zmx_entries.h"
#include "bench/bench_windows.h"
#include "os/os.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using InitZmxFn = int32_t(HV_CALL*)(uint16_t*, int16_t);
using RestoreZmxFn = int32_t(HV_CALL*)(uint16_t);

double NanosecondsPerCall(Clock::time_point start, Clock::time_point end, long calls) {
    return std::chrono::duration<double, std::nano>(end - start).count() / static_cast<double>(calls);
}

int Fail(const char* what) {
    std::fprintf(stderr, "zmx-bench: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    // Before the multiplexer is loaded: it reads the same directory.
    std::string ini = BenchWindowsFile(
        "HV_ZMX32.ini", "[ZMXInformation1]\nZMXParams=COM1,B115200\n[ZMXInformation2]\nZMXParams=COM2,B115200\n");
    if (ini.empty()) return Fail("cannot write HV_ZMX32.ini");

    OsLibrary* mux = OsLoadLibrary("ZMXMRP32.DLL");
    if (mux == nullptr) return Fail("cannot load ZMXMRP32.DLL");
    auto initZmx = reinterpret_cast<InitZmxFn>(OsGetProcAddress(mux, "InitZMX"));
    auto restoreZmx = reinterpret_cast<RestoreZmxFn>(OsGetProcAddress(mux, "RestoreZMX"));
    auto forwarded = reinterpret_cast<ZmxEntryW1>(OsGetProcAddress(mux, "RequestTimerValue"));
    if (!initZmx || !restoreZmx || !forwarded) return Fail("ZMXMRP32.DLL lacks an export");

    // Load and unload of the transport with each pair.
    const long kPairs = 200;
    uint16_t handle = 0;
    auto start = Clock::now();
    for (long i = 0; i < kPairs; ++i) {
        handle = 0;
        if (initZmx(&handle, 1) != 0) return Fail("InitZMX failed (is the virtual adapter ZMXS32.DLL beside the program?)");
        if (restoreZmx(handle) != 0) return Fail("RestoreZMX failed");
    }
    double coldPair = NanosecondsPerCall(start, Clock::now(), kPairs);

    // Another adapter keeps the transport loaded.
    uint16_t keeper = 0;
    if (initZmx(&keeper, 2) != 0) return Fail("InitZMX failed");
    const long kWarmPairs = 5000;
    start = Clock::now();
    for (long i = 0; i < kWarmPairs; ++i) {
        handle = 0;
        if (initZmx(&handle, 1) != 0 || restoreZmx(handle) != 0) return Fail("InitZMX/RestoreZMX failed");
    }
    double warmPair = NanosecondsPerCall(start, Clock::now(), kWarmPairs);

    OsLibrary* transport = OsLoadLibrary("ZMXS32.DLL");  // the module the multiplexer loaded
    auto direct = transport ? reinterpret_cast<ZmxEntryW1>(OsGetProcAddress(transport, "RequestTimerValue")) : nullptr;
    if (direct == nullptr) return Fail("cannot reach the transport's RequestTimerValue");
    uint32_t timer = 0;
    const long kCalls = 1000000;
    uint16_t id = static_cast<uint16_t>(keeper & 0x01FF);
    double best[2] = {1e30, 1e30};
    for (int round = 0; round < 5; ++round) {
        start = Clock::now();
        for (long i = 0; i < kCalls; ++i) direct(id, reinterpret_cast<ZmxWord>(&timer));
        double d = NanosecondsPerCall(start, Clock::now(), kCalls);
        start = Clock::now();
        for (long i = 0; i < kCalls; ++i) forwarded(keeper, reinterpret_cast<ZmxWord>(&timer));
        double f = NanosecondsPerCall(start, Clock::now(), kCalls);
        if (d < best[0]) best[0] = d;
        if (f < best[1]) best[1] = f;
    }
    OsFreeLibrary(transport);
    restoreZmx(keeper);
    OsFreeLibrary(mux);
    RemoveBenchWindowsFile(ini);

    std::printf("RequestTimerValue straight into the transport: %8.1f ns per call (best of 5 x %ld)\n", best[0], kCalls);
    std::printf("RequestTimerValue through the multiplexer:     %8.1f ns per call\n", best[1]);
    std::printf("cost of forwarding:                            %8.1f ns per call\n", best[1] - best[0]);
    std::printf("InitZMX + RestoreZMX, transport kept loaded:   %8.1f us per pair (%ld pairs)\n", warmPair / 1000.0,
                kWarmPairs);
    std::printf("InitZMX + RestoreZMX, loading the transport:   %8.1f us per pair (%ld pairs)\n", coldPair / 1000.0,
                kPairs);
    return 0;
}
