#include "sim/va_socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <mutex>

namespace va {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
bool Startup() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        WSADATA data;
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ready;
}
void CloseNative(Native s) { closesocket(s); }
bool WouldBlock() {
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
void SetNonBlocking(Native s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
// Waits until the socket is readable (`write` false) or writable; false on time-out.
int WaitFor(Native s, bool write, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int n = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
    if (n < 0) return -1;
    if (n == 0) return 0;
    return FD_ISSET(s, &errors) && !FD_ISSET(s, &set) ? -1 : 1;
}
#else
using Native = int;
bool Startup() { return true; }
void CloseNative(Native s) { ::close(s); }
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS; }
void SetNonBlocking(Native s) { fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK); }
int WaitFor(Native s, bool write, int timeoutMs) {
    pollfd p{s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int n;
    do {
        n = poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (n == 0) return 0;
    if ((p.revents & (write ? POLLOUT : POLLIN)) != 0) return 1;
    return -1;  // POLLERR, POLLHUP without data
}
#endif

Native N(uintptr_t handle) { return static_cast<Native>(handle); }

bool Valid(Native s) {
#if defined(_WIN32)
    return s != INVALID_SOCKET;
#else
    return s >= 0;
#endif
}

// A stream socket that never blocks and sends small frames at once.
void PrepareStream(Native s) {
    SetNonBlocking(s);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

sockaddr_in Endpoint(const uint8_t address[4], uint16_t port) {
    sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    std::memcpy(&at.sin_addr, address, 4);
    return at;
}

}  // namespace

TcpSocket::~TcpSocket() { Close(); }

bool TcpSocket::Connect(const uint8_t address[4], uint16_t port, int timeoutMs) {
    Close();
    if (!Startup()) return false;
    Native s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (!Valid(s)) return false;
    PrepareStream(s);
    sockaddr_in to = Endpoint(address, port);
    bool connected = ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (!connected && WouldBlock() && WaitFor(s, true, timeoutMs) == 1) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 && error == 0;
    }
    if (!connected) {
        CloseNative(s);
        return false;
    }
    handle_ = static_cast<Handle>(s);
    return true;
}

bool TcpSocket::SendAll(const char* data, size_t length, int timeoutMs) {
    if (!IsOpen()) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
#if defined(_WIN32)
        int n = ::send(N(handle_), data, static_cast<int>(length), 0);
#else
        ssize_t n = ::send(N(handle_), data, length, MSG_NOSIGNAL);
#endif
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && WouldBlock()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || WaitFor(N(handle_), true, static_cast<int>(left.count())) != 1) return false;
            continue;
        }
        return false;
    }
    return true;
}

int TcpSocket::Receive(char* buffer, size_t size, int timeoutMs) {
    if (!IsOpen()) return -1;
    int ready = WaitFor(N(handle_), false, timeoutMs);
    if (ready <= 0) return ready;
#if defined(_WIN32)
    int n = ::recv(N(handle_), buffer, static_cast<int>(size), 0);
#else
    ssize_t n = ::recv(N(handle_), buffer, size, 0);
#endif
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && WouldBlock()) return 0;
    return -1;
}

void TcpSocket::Close() {
    if (handle_ == kNone) return;
    CloseNative(N(handle_));
    handle_ = kNone;
}

void TcpSocket::Shutdown() {
    if (handle_ == kNone) return;
#if defined(_WIN32)
    ::shutdown(N(handle_), SD_BOTH);
#else
    ::shutdown(N(handle_), SHUT_RDWR);
#endif
}

void TcpSocket::Swap(TcpSocket& other) {
    Handle mine = handle_;
    handle_ = other.handle_;
    other.handle_ = mine;
}

TcpListener::~TcpListener() { Close(); }

bool TcpListener::Listen(uint16_t port) {
    Close();
    if (!Startup()) return false;
    Native s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (!Valid(s)) return false;
#if !defined(_WIN32)
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    const uint8_t loopback[4] = {127, 0, 0, 1};
    sockaddr_in at = Endpoint(loopback, port);
    socklen_t length = sizeof at;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        CloseNative(s);
        return false;
    }
    SetNonBlocking(s);
    handle_ = static_cast<TcpSocket::Handle>(s);
    port_ = ntohs(at.sin_port);
    return true;
}

bool TcpListener::Accept(TcpSocket& client, int timeoutMs) {
    if (handle_ == TcpSocket::kNone || WaitFor(N(handle_), false, timeoutMs) != 1) return false;
    Native s = ::accept(N(handle_), nullptr, nullptr);
    if (!Valid(s)) return false;
    PrepareStream(s);
    client.Close();
    client.handle_ = static_cast<TcpSocket::Handle>(s);
    return true;
}

void TcpListener::Close() {
    if (handle_ == TcpSocket::kNone) return;
    CloseNative(N(handle_));
    handle_ = TcpSocket::kNone;
    port_ = 0;
}

}  // namespace va
