// Micro-benchmarks of the RP1210 library's receive and send paths with
// Google Benchmark (native build): the receive callback into every client's
// ring and out through RP1210_ReadMessage, a non-blocking send, and the
// checks of a client message.
#include "os/os.h"
#include "rp1210/clients.h"
#include "rp1210/hvlnk32.h"
#include "rp1210/receive.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/send.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

Mailbox g_frame;  // a frame as the adapter hands it to the receive callback

void ReceivePath(benchmark::State& state) {
    int clients = static_cast<int>(state.range(0));
    std::vector<int16_t> ids;
    for (int c = 1; c < clients; ++c) {
        ids.push_back(RP1210_ClientConnect(nullptr, 1, "J1939", 0, 0, 0));
        RP1210_SendCommand(kCmdSetAllFiltersToPass, ids.back(), nullptr, 0);
    }
    char buffer[64];
    for (auto _ : state) {
        OnFrameReceived(&g_frame);
        for (int c = 1; c <= clients; ++c) benchmark::DoNotOptimize(RP1210_ReadMessage(c, buffer, sizeof buffer, 0));
    }
    state.SetItemsProcessed(state.iterations() * clients);
    for (int16_t id : ids) RP1210_ClientDisconnect(id);
}
BENCHMARK(ReceivePath)->Arg(1)->Arg(16);

// Accepted sends only: a full queue (137) is waited out as an application would.
void NonBlockingSend(benchmark::State& state) {
    uint8_t message[] = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    for (auto _ : state) {
        auto since = std::chrono::steady_clock::now();
        while (RP1210_SendMessage(1, reinterpret_cast<char*>(message), sizeof message, 0, 0) == kErrTxQueueFull) {
            if (std::chrono::steady_clock::now() - since > std::chrono::seconds(5)) {
                state.SkipWithError("the transmit queue stayed full for 5 s: the adapter completes nothing");
                return;
            }
            std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(NonBlockingSend)->Iterations(200000);

void CheckMessage(benchmark::State& state) {
    ClientRecord* client = AcquireClient(1);
    uint8_t message[] = {0xCA, 0xFE, 0x00, 0x06, 0x80, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
    for (auto _ : state) benchmark::DoNotOptimize(CheckClientMessage(client, message, sizeof message));
    ReleaseClient(client);
}
BENCHMARK(CheckMessage);

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/rp1210-gbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    setenv("WINDIR", pattern, 1);
    std::string ini = std::string(pattern) + "/HVLNK32.INI";
    std::FILE* file = std::fopen(ini.c_str(), "w");
    std::fputs("[VendorInformation]\nMessageString=M\nErrorString=E\nProtocols=1\n"
               "[DeviceInformation1]\nDeviceName=U\nDeviceDescription=USB\nDeviceParams=USB\n"
               "[ProtocolInformation1]\nProtocolString=J1939\nProtocolDescription=J\nProtocolParams=\nDevices=1\n",
               file);
    std::fclose(file);
    if (RP1210_ClientConnect(nullptr, 1, "J1939", 0, 0, 0) != 1) {
        std::fprintf(stderr, "rp1210-gbench: connect failed\n");
        return 1;
    }
    RP1210_SendCommand(kCmdSetAllFiltersToPass, 1, nullptr, 0);
    ClientRecord* client = AcquireClient(1);
    DeviceConnection* connection = client->connection.load();
    ReleaseClient(client);
    std::memset(&g_frame, 0, sizeof g_frame);
    g_frame.owner = connection;
    g_frame.linkCode = kLinkCodeCan1;
    g_frame.identifierWidth = 29;
    g_frame.identifier = 0x18FECA00;
    g_frame.dataLength = 8;
    g_frame.data = connection->receiveBuffer;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RP1210_ClientDisconnect(1);
    std::remove(ini.c_str());
    rmdir(pattern);
    return 0;
}
