// What the RP1210 library costs and how fast it goes: receive from the
// adapter callback through a client's ring and out of RP1210_ReadMessage
// (polling and blocking, 1 and 16 clients), CPU time per message per
// client, the wake-up of a blocked reader, blocking and non-blocking sends
// through the multiplexer and the virtual adapter. Prints figures only,
// beside the physical limit of a CAN bus and (when given) python-can's
// virtual bus measured in the same run.
//
// Usage: rp1210-bench [python-can messages per second]
#include "bench/bench_windows.h"
#include "os/os.h"
#include "rp1210/clients.h"
#include "rp1210/hvlnk32.h"
#include "rp1210/receive.h"
#include "rp1210/rp1210_defs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

// Process CPU time in seconds (all threads).
double CpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
    };
    return value(kernel) + value(user);
#else
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

int Fail(const char* what) {
    std::fprintf(stderr, "rp1210-bench: %s\n", what);
    return 1;
}

// A frame as the adapter hands it to the receive callback.
struct Source {
    Mailbox mailbox;
    void Deliver(uint32_t counter) {
        std::memcpy(mailbox.data, &counter, 4);
        OnFrameReceived(&mailbox);
    }
};

Source MakeSource(int16_t id) {
    Source source;
    std::memset(&source.mailbox, 0, sizeof source.mailbox);
    ClientRecord* client = AcquireClient(id);
    DeviceConnection* connection = client->connection.load();
    ReleaseClient(client);
    source.mailbox.owner = connection;
    source.mailbox.linkCode = kLinkCodeCan1;
    source.mailbox.identifierWidth = 29;
    source.mailbox.identifier = 0x18FECA00;
    source.mailbox.dataLength = 8;
    source.mailbox.data = connection->receiveBuffer;
    return source;
}

struct ReceiveFigures {
    double messagesPerSecond;  // messages into every client's ring and out again
    double cpuPerMessagePerClient;
    long overflows;
};

// `clients` clients (ids 1..clients) on one connection; one producer calls
// the receive callback `count` times; each client has a reader thread.
ReceiveFigures MeasureReceive(int clients, long count, bool block) {
    Source source = MakeSource(1);
    std::atomic<long> read{0}, overflows{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    double cpuStart = CpuSeconds();
    auto start = Clock::now();
    for (int c = 1; c <= clients; ++c) {
        readers.emplace_back([&, c] {
            char buffer[64];
            long mine = 0;
            while (mine < count && !stop) {
                int16_t got = RP1210_ReadMessage(static_cast<int16_t>(c), buffer, sizeof buffer, block);
                if (got > 0) {
                    ++mine;
                } else if (got == -139) {
                    ++overflows;
                    break;
                } else if (got < 0) {
                    break;
                }
            }
            read += mine;
        });
    }
    for (long i = 0; i < count; ++i) source.Deliver(static_cast<uint32_t>(i));
    if (overflows > 0) stop = true;
    for (auto& reader : readers) reader.join();
    double elapsed = Seconds(start, Clock::now());
    double cpu = CpuSeconds() - cpuStart;
    return ReceiveFigures{static_cast<double>(read.load()) / clients / elapsed,
                          cpu * 1e9 / static_cast<double>(std::max(1L, read.load())), overflows.load()};
}

// The path alone, on one thread and without waiting: the callback puts
// `count` messages into each client's ring, then each client reads them.
// CPU nanoseconds per message per client.
double MeasurePathCost(int clients, long count) {
    Source source = MakeSource(1);
    double cpuStart = CpuSeconds();
    for (long i = 0; i < count; ++i) source.Deliver(static_cast<uint32_t>(i));
    char buffer[64];
    for (int c = 1; c <= clients; ++c) {
        while (RP1210_ReadMessage(static_cast<int16_t>(c), buffer, sizeof buffer, 0) > 0) {
        }
    }
    return (CpuSeconds() - cpuStart) * 1e9 / static_cast<double>(count) / clients;
}

// Wake-up of a blocked reader: from the callback's call to the read's return.
void MeasureLatency(double* p50, double* p99) {
    Source source = MakeSource(1);
    const int kSamples = 20000;
    std::vector<double> samples;
    samples.reserve(kSamples);
    std::atomic<long long> sentAt{0};
    std::atomic<int> state{0};  // 1: reader about to block, 2: delivered
    std::thread reader([&] {
        char buffer[64];
        for (int i = 0; i < kSamples; ++i) {
            state = 1;
            if (RP1210_ReadMessage(1, buffer, sizeof buffer, 1) <= 0) break;
            long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
            samples.push_back(static_cast<double>(now - sentAt.load()) / 1000.0);
        }
        state = 3;
    });
    for (int i = 0; i < kSamples && state != 3; ++i) {
        while (state != 1) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // let it block
        state = 2;
        sentAt = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        source.Deliver(static_cast<uint32_t>(i));
    }
    reader.join();
    std::sort(samples.begin(), samples.end());
    *p50 = samples.empty() ? 0 : samples[samples.size() / 2];
    *p99 = samples.empty() ? 0 : samples[samples.size() * 99 / 100];
}

double MeasureSends(int16_t id, long count, bool block) {
    uint8_t message[] = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    auto start = Clock::now();
    auto lastAccepted = start;
    for (long i = 0; i < count; ++i) {
        int16_t result = RP1210_SendMessage(id, reinterpret_cast<char*>(message), sizeof message, 0, block);
        if (result == kErrTxQueueFull && Clock::now() - lastAccepted < std::chrono::seconds(5)) {
            // A full queue: the application waits for the adapter and sends again.
            std::this_thread::yield();
            --i;
            continue;
        }
        lastAccepted = Clock::now();
        if (result != 0) {
            std::fprintf(stderr, "rp1210-bench: send %ld answered %d\n", i, result);
            return 0;
        }
    }
    return static_cast<double>(count) / Seconds(start, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    double pythonCan = argc > 1 ? std::atof(argv[1]) : 0;
    std::string ini = BenchWindowsFile(
        "HVLNK32.INI",
        "[VendorInformation]\nMessageString=HVLNK32_Msg\nErrorString=HVLNK32_Err\nProtocols=1\n"
        "[DeviceInformation1]\nDeviceName=HV-USB\nDeviceDescription=Halvery VDA, USB\nDeviceParams=USB\n"
        "[ProtocolInformation1]\nProtocolString=J1939\nProtocolDescription=J1939\nProtocolParams=\nDevices=1\n");
    if (ini.empty()) return Fail("cannot write HVLNK32.INI");

    // Messages per receive run (RP1210_BENCH_MESSAGES); fewer under Wine,
    // where every wait is a call into the Wine server.
#ifdef _WIN32
    long kReceive = 200000;
#else
    long kReceive = 2000000;
#endif
    if (const char* count = std::getenv("RP1210_BENCH_MESSAGES")) kReceive = std::max(1000L, std::atol(count));
    // Rings with room for every message of a run: the figures are the
    // path's, not a reader falling behind.
    int16_t first = RP1210_ClientConnect(nullptr, 1, "J1939", 0, 64 << 20, 0);
    if (first != 1) return Fail("connect failed (are ZMXMRP32.DLL and the virtual adapter beside the program?)");
    RP1210_SendCommand(kCmdSetAllFiltersToPass, first, nullptr, 0);
    double path1 = MeasurePathCost(1, kReceive);
    ReceiveFigures polling1 = MeasureReceive(1, kReceive, false);
    ReceiveFigures blocking1 = MeasureReceive(1, kReceive, true);
    std::vector<int16_t> ids = {first};
    for (int c = 1; c < 16; ++c) {
        int16_t id = RP1210_ClientConnect(nullptr, 1, "J1939", 0, 8 << 20, 0);  // the same connection
        if (id != c + 1) return Fail("connect failed");
        RP1210_SendCommand(kCmdSetAllFiltersToPass, id, nullptr, 0);
        ids.push_back(id);
    }
    double path16 = MeasurePathCost(16, kReceive / 8);
    ReceiveFigures blocking16 = MeasureReceive(16, kReceive / 8, true);
    for (size_t c = 1; c < ids.size(); ++c) RP1210_ClientDisconnect(ids[c]);
    double p50 = 0, p99 = 0;
    MeasureLatency(&p50, &p99);
    double blockingSends = MeasureSends(1, kReceive / 100, true);
    double quietSends = MeasureSends(1, kReceive / 10, false);
    RP1210_ClientDisconnect(1);
    RemoveBenchWindowsFile(ini);

    // A 29-bit frame with 8 data bytes: 131 bits with interframe space, up
    // to 29 more as stuff bits.
    const double kBits = 131, kWorstBits = 160;
    std::printf("receive, 1 client, polling reads:      %10.0f messages/s  (%5.0f ns CPU per message; %ld overflows)\n",
                polling1.messagesPerSecond, polling1.cpuPerMessagePerClient, polling1.overflows);
    std::printf("receive, 1 client, blocking reads:     %10.0f messages/s  (%5.0f ns CPU per message; %ld overflows)\n",
                blocking1.messagesPerSecond, blocking1.cpuPerMessagePerClient, blocking1.overflows);
    std::printf("receive, 16 clients, blocking reads:   %10.0f messages/s into each client (%5.0f ns CPU per message "
                "per client; %ld overflows)\n",
                blocking16.messagesPerSecond, blocking16.cpuPerMessagePerClient / 16.0, blocking16.overflows);
    std::printf("receive path alone (callback, ring, read; no waiting): %5.0f ns CPU per message, 1 client; "
                "%5.0f ns per message per client, 16 clients\n",
                path1, path16);
    std::printf("blocked reader wake-up:                 p50 %6.1f us, p99 %6.1f us\n", p50, p99);
    std::printf("blocking RP1210_SendMessage:           %10.0f round trips/s\n", blockingSends);
    std::printf("non-blocking RP1210_SendMessage:       %10.0f sends/s\n", quietSends);
    std::printf("CAN bus, 8-byte 29-bit frames:          250 kbit/s %5.0f-%5.0f/s, 500 kbit/s %5.0f-%5.0f/s, "
                "1 Mbit/s %5.0f-%5.0f/s\n",
                250000 / kWorstBits, 250000 / kBits, 500000 / kWorstBits, 500000 / kBits, 1000000 / kWorstBits,
                1000000 / kBits);
    std::printf("receive (1 client, polling) against the 1 Mbit/s bus:  %6.0f times its fastest frame rate\n",
                polling1.messagesPerSecond / (1000000 / kBits));
    if (pythonCan > 0) {
        std::printf("python-can virtual bus, same run:      %10.0f messages/s; receive (1 client, polling) is %.1f times "
                    "that\n",
                    pythonCan, polling1.messagesPerSecond / pythonCan);
    }
    return 0;
}
