// A socketcand server in the test's own process, on 127.0.0.1 (test
// equipment): the bus of the virtual adapter's TCP/IP adapters in library
// tests, natively and under Wine. Every frame a client sends reaches every
// other client; the test can put frames on the bus, drop every connection
// (the adapters then connect again by themselves) and refuse connections
// for a while, as a bus server that stops and starts again.
#pragma once

#include "sim/va_socket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SocketcandServer {
public:
    SocketcandServer();  // listens on a free port
    ~SocketcandServer();
    SocketcandServer(const SocketcandServer&) = delete;
    SocketcandServer& operator=(const SocketcandServer&) = delete;

    bool ok() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    // Clients that have opened the bus in raw mode.
    int Clients();
    // Closes every connection.
    void DropAll();
    // Refusing: no connection is taken (the listener is closed) and every
    // one is dropped; otherwise it listens again on the same port.
    void Refuse(bool refuse);
    // A 29-bit frame from another node, to every client.
    void SendFrame(uint32_t identifier, const std::vector<uint8_t>& data);
    // The identifiers of the frames clients sent, in order; taken.
    std::vector<uint32_t> TakeSent();

private:
    struct Client {
        va::TcpSocket socket;
        std::string input;
        bool raw = false;
    };
    void Run();
    void Serve(Client& client, std::vector<std::string>& forward);

    std::mutex lock_;  // clients_, listener_, sent_
    va::TcpListener listener_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<uint32_t> sent_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
