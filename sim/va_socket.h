// A TCP client socket for the virtual adapter's bus links: Winsock in the
// PE32 build, BSD sockets natively. Every wait is bounded by a time-out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace va {

class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects to the IPv4 address (first number first) and port within
    // `timeoutMs`. False when no connection was made.
    bool Connect(const uint8_t address[4], uint16_t port, int timeoutMs);
    // Writes all bytes (waiting at most `timeoutMs` for room); false when the
    // connection is gone or stays full.
    bool SendAll(const char* data, size_t length, int timeoutMs);
    // Waits at most `timeoutMs` for data: the bytes read, 0 on time-out, -1
    // when the connection is closed or broken.
    int Receive(char* buffer, size_t size, int timeoutMs);
    void Close();
    // Ends both directions without closing: a thread waiting in Receive on
    // another thread wakes and sees the connection closed.
    void Shutdown();
    // Exchanges the connections of two sockets (a new connection made
    // outside a lock takes the place of a broken one inside it).
    void Swap(TcpSocket& other);
    bool IsOpen() const { return handle_ != kNone; }

private:
    friend class TcpListener;
#if defined(_WIN32)
    using Handle = uintptr_t;
#else
    using Handle = int;
#endif
    static constexpr Handle kNone = static_cast<Handle>(-1);
    Handle handle_ = kNone;
};

// A listening socket on the loopback address 127.0.0.1 (test equipment that
// plays a bus server in the tests' own process).
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Listens on `port` (0: a free one). False when it cannot.
    bool Listen(uint16_t port);
    uint16_t Port() const { return port_; }
    // Waits at most `timeoutMs` for a client: true with `client` connected.
    bool Accept(TcpSocket& client, int timeoutMs);
    void Close();

private:
    TcpSocket::Handle handle_ = TcpSocket::kNone;
    uint16_t port_ = 0;
};

}  // namespace va
