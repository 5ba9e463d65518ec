// can-hub: a CAN bus hub speaking the socketcand text protocol over TCP.
//
// The hub hosts named CAN buses (can0, can1 by default). Each TCP client
// opens one bus and switches to raw mode; every frame a client sends on a bus
// is forwarded to every other raw-mode client on that bus, in the order the
// hub received them. It is test equipment: one thread, poll(), non-blocking
// sockets, a bounded output queue per client, optional pacing at a CAN bit
// rate and optional fault injection.
//
// Protocol (every message is "< ... >", whitespace between messages ignored):
//   server  < hi >                      on connect, sent by itself
//   client  < open NAME >               -> < ok > | < error could not open bus >
//   client  < rawmode >                 -> < ok >, then frames after ~100 ms
//   client  < send ID LEN B0 ... >      ID hex (29-bit when > 0x7FF or more
//                                       than 3 digits), LEN 0..8, bytes hex
//   server  < frame ID SEC.USEC DATA >\n  ID as %03X or %08X, DATA one hex run
//   client  < echo >                    -> < echo >
//   anything else                       -> < error TEXT >, connection kept
//                                       (at most kMaxErrorsPerSecond a second)
//
// A connection past --max-clients gets "< error too many clients >" instead
// of "< hi >" and is closed. A client that is not in raw mode and sends no
// valid message for --idle-timeout seconds is closed; a client in raw mode
// receives the bus and is never closed for being quiet. A client that sends
// nothing but bad input (kMaxBadInARow refused messages, or kMaxGarbageBytes
// bytes, without a valid message) is closed.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

// A message must close with '>' within this many bytes of its '<'.
constexpr size_t kMaxMessage = 256;
// After "< ok >" to rawmode, frames wait this long, so that the ok reaches the
// client in a TCP segment of its own (clients read it with one recv).
constexpr int64_t kRawmodePauseNs = 100 * 1000 * 1000;
// A client with this many replies unsent is not read until they drain.
constexpr size_t kMaxPendingReplies = 256;
// Messages gathered into one writev.
constexpr int kMaxGather = 256;
// Bytes read from one client per poll round.
constexpr size_t kReadChunk = 16384;
// Kernel send buffer per client: small, so that a slow client's backlog sits
// in its bounded queue here, where it is counted, not in the kernel.
constexpr int kClientSendBuffer = 64 * 1024;
// Error replies to one client in one second; the others go unanswered.
constexpr uint32_t kMaxErrorsPerSecond = 100;
// Refused messages in a row, with no valid one between them, that close a client.
constexpr uint32_t kMaxBadInARow = 64;
// Bytes of input without a valid message that close a client.
constexpr size_t kMaxGarbageBytes = 64 * 1024;
// Why such a client is closed; it is told so in an error line.
constexpr char kClosedForGarbage[] = "closed for sending garbage";
// When accept fails for want of descriptors or memory, the listening socket
// stays readable: it is left out of poll this long before the next try.
constexpr int64_t kAcceptPauseNs = 100 * 1000 * 1000;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_kick = 0;
int g_wake_fd = -1;

void on_signal(int sig) {
  int saved = errno;
  if (sig == SIGUSR1) {
    g_kick = 1;
  } else {
    g_stop = 1;
  }
  char byte = 0;
  if (g_wake_fd >= 0 && write(g_wake_fd, &byte, 1) < 0) {
    // The pipe is full: poll wakes up anyway.
  }
  errno = saved;
}

int64_t clock_ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
int64_t mono_ns() { return clock_ns(CLOCK_MONOTONIC); }

struct Options {
  std::string host = "127.0.0.1";
  unsigned port = 0;
  std::vector<std::string> buses{"can0", "can1"};
  uint64_t bitrate = 0;
  size_t queue = 10000;
  uint64_t drop_every = 0;
  int64_t delay_ms = 0;
  uint64_t disconnect_after = 0;
  size_t max_clients = 64;
  int64_t idle_timeout_s = 60;  // 0: never
  bool quiet = false;
};

struct Frame {
  uint32_t id = 0;
  bool extended = false;
  uint8_t len = 0;
  uint8_t data[8] = {};
  uint64_t sender = 0;   // serial of the client that sent it
  int64_t ready_ns = 0;  // earliest monotonic time it may go on the bus
};

// One message waiting to be written to a client. Frames are counted against
// the client's queue bound; replies are not. An "alone" reply is written with
// a send call of its own.
struct Item {
  enum Kind : uint8_t { kFrame, kReply, kAlone };
  char text[72];
  uint8_t len;
  Kind kind;
};

struct Client {
  int fd = -1;
  uint64_t serial = 0;
  std::string peer;
  int bus = -1;
  bool rawmode = false;
  int64_t hold_until = 0;  // frames are not written before this time
  int64_t heard_ns = 0;    // when its last valid message came (or it connected)
  std::string in;
  bool skipping = false;          // discarding input up to the next '<'
  uint32_t bad_in_row = 0;        // refused messages since the last valid one
  size_t bytes_since_valid = 0;   // input taken since the last valid message
  int64_t errors_since_ns = 0;    // start of the second errors are counted in
  uint32_t errors_in_second = 0;  // error replies due in that second
  std::deque<Item> out;
  size_t out_offset = 0;   // bytes of out.front() already written
  size_t frames_queued = 0;
  size_t replies_queued = 0;
  bool blocked = false;    // the socket is full: wait for POLLOUT
  const char* dead = nullptr;  // why the connection is to be closed
  uint64_t delivered = 0;
  uint64_t queue_drops = 0;
};

struct Bus {
  std::string name;
  std::deque<Frame> pending;  // frames waiting for their time on the bus
  int64_t free_ns = 0;        // monotonic time the bus is next idle
  uint64_t received = 0;      // valid frames sent to the bus by clients
  uint64_t forwarded = 0;
  uint64_t injected_drops = 0;
  uint64_t pacing_drops = 0;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex(const std::string& s, size_t max_digits, uint32_t& value) {
  if (s.empty() || s.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = hex_value(c);
    if (d < 0) return false;
    v = v * 16 + uint32_t(d);
  }
  value = v;
  return true;
}

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_space(s[i])) ++i;
    size_t start = i;
    while (i < s.size() && !is_space(s[i])) ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

// Parses the words of "send ID LEN B0 ...". Returns an error text or nullptr.
const char* parse_send(const std::vector<std::string>& w, Frame& f) {
  if (w.size() < 3) return "send needs an id and a length";
  uint32_t id = 0;
  if (!parse_hex(w[1], 8, id)) return "bad can id";
  if (id > 0x1FFFFFFF) return "can id too large";
  uint32_t len = 0;
  if (!parse_hex(w[2], 2, len)) return "bad length";
  if (len > 8) return "length above 8";
  if (w.size() - 3 != len) return "length does not match the data bytes";
  f.id = id;
  f.extended = id > 0x7FF || w[1].size() > 3;
  f.len = uint8_t(len);
  for (uint32_t i = 0; i < len; ++i) {
    uint32_t byte = 0;
    if (!parse_hex(w[3 + i], 2, byte)) return "bad data byte";
    f.data[i] = uint8_t(byte);
  }
  return nullptr;
}

bool parse_number(const char* text, uint64_t max, uint64_t& value) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
  value = v;
  return true;
}

class Hub {
 public:
  explicit Hub(Options opts) : opts_(std::move(opts)) {
    for (const std::string& name : opts_.buses) {
      buses_.emplace_back();
      buses_.back().name = name;
    }
  }

  bool listen_on() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string port = std::to_string(opts_.port);
    int rc = getaddrinfo(opts_.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
      fprintf(stderr, "can-hub: bad address %s: %s\n", opts_.host.c_str(), gai_strerror(rc));
      return false;
    }
    listen_fd_ = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    int one = 1;
    bool ok = listen_fd_ >= 0 && setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
              bind(listen_fd_, found->ai_addr, found->ai_addrlen) == 0 && listen(listen_fd_, 128) == 0 &&
              set_nonblocking(listen_fd_);
    freeaddrinfo(found);
    if (!ok) {
      fprintf(stderr, "can-hub: cannot listen on %s:%u: %s\n", opts_.host.c_str(), opts_.port, strerror(errno));
      return false;
    }
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof addr;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &addr_len);
    unsigned bound = addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                                : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    printf("can-hub listening on %s:%u\n", opts_.host.c_str(), bound);
    fflush(stdout);
    return true;
  }

  void run(int wake_read_fd) {
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    while (!g_stop) {
      int64_t now = mono_ns();
      if (g_kick) {
        g_kick = 0;
        for (auto& c : clients_) close_later(*c, "disconnected by SIGUSR1");
      }
      int64_t wake = INT64_MAX;
      for (size_t b = 0; b < buses_.size(); ++b) wake = std::min(wake, pump_bus(int(b), now));
      const int64_t idle_ns = opts_.idle_timeout_s * 1000000000;
      for (auto& c : clients_) {
        if (!c->blocked) flush(*c, now);
        if (c->frames_queued > 0 && c->hold_until > now) wake = std::min(wake, c->hold_until);
        if (idle_ns > 0 && !c->rawmode) {
          if (now - c->heard_ns >= idle_ns) {
            close_later(*c, "closed after the idle time-out (no valid message, not in raw mode)");
          } else {
            wake = std::min(wake, c->heard_ns + idle_ns);
          }
        }
      }
      reap();

      fds.clear();
      polled.clear();
      // While accept is paused the listener is polled for nothing.
      fds.push_back({listen_fd_, short(now < accept_paused_until_ ? 0 : POLLIN), 0});
      if (now < accept_paused_until_) wake = std::min(wake, accept_paused_until_);
      fds.push_back({wake_read_fd, POLLIN, 0});
      for (auto& c : clients_) {
        short events = 0;
        if (c->replies_queued < kMaxPendingReplies) events |= POLLIN;
        if (c->blocked) events |= POLLOUT;
        fds.push_back({c->fd, events, 0});
        polled.push_back(c.get());
      }
      int timeout = -1;
      if (wake != INT64_MAX) {
        int64_t wait_ns = std::max<int64_t>(0, wake - mono_ns());
        timeout = int(std::min<int64_t>((wait_ns + 999999) / 1000000, 3600 * 1000));
      }
      if (poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        perror("can-hub: poll");
        break;
      }
      if (fds[1].revents != 0) {
        char drain[64];
        while (read(wake_read_fd, drain, sizeof drain) > 0) {
        }
      }
      if (fds[0].revents & POLLIN) accept_clients();
      for (size_t i = 0; i < polled.size(); ++i) {
        Client& c = *polled[i];
        short ev = fds[i + 2].revents;
        if (ev & POLLOUT) c.blocked = false;
        if (ev & (POLLIN | POLLHUP | POLLERR)) read_client(c);
      }
    }
  }

  void print_summary() {
    uint64_t injected = 0, pacing = 0;
    for (const Bus& b : buses_) {
      printf("summary bus=%s received=%" PRIu64 " forwarded=%" PRIu64 " injected_drops=%" PRIu64
             " pacing_drops=%" PRIu64 "\n",
             b.name.c_str(), b.received, b.forwarded, b.injected_drops, b.pacing_drops);
      injected += b.injected_drops;
      pacing += b.pacing_drops;
    }
    uint64_t delivered = gone_delivered_, queue_drops = gone_queue_drops_;
    for (const auto& c : clients_) {
      printf("summary client=%" PRIu64 " peer=%s bus=%s delivered=%" PRIu64 " queued=%zu queue_drops=%" PRIu64 "\n",
             c->serial, c->peer.c_str(), c->bus < 0 ? "-" : buses_[size_t(c->bus)].name.c_str(), c->delivered,
             c->frames_queued, c->queue_drops);
      delivered += c->delivered;
      queue_drops += c->queue_drops;
    }
    printf("summary total clients=%" PRIu64 " delivered=%" PRIu64 " queue_drops=%" PRIu64 " injected_drops=%" PRIu64
           " pacing_drops=%" PRIu64 "\n",
           next_serial_, delivered, queue_drops, injected, pacing);
    fflush(stdout);
  }

  void close_all() {
    for (auto& c : clients_) close(c->fd);
    clients_.clear();
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
  }

 private:
  static bool set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
  }

  static std::string peer_name(const sockaddr_storage& addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (addr.ss_family == AF_INET6) {
      auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
      inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
      port = ntohs(a->sin6_port);
    } else if (addr.ss_family == AF_INET) {
      auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
      inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
      port = ntohs(a->sin_port);
    }
    return std::string(host) + ":" + std::to_string(port);
  }

  __attribute__((format(printf, 2, 3))) void log(const char* format, ...) {
    if (opts_.quiet) return;
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
  }

  void accept_clients() {
    for (;;) {
      sockaddr_storage addr{};
      socklen_t addr_len = sizeof addr;
      int fd = accept(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &addr_len);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM): the
        // connection waits in the backlog; the clients there are served
        // meanwhile.
        if (!accept_failing_) {
          log("can-hub: cannot accept connections: %s; trying again every %d ms\n", strerror(errno),
              int(kAcceptPauseNs / 1000000));
        }
        accept_failing_ = true;
        accept_paused_until_ = mono_ns() + kAcceptPauseNs;
        return;
      }
      if (accept_failing_) {
        log("can-hub: accepting connections again\n");
        accept_failing_ = false;
      }
      if (clients_.size() >= opts_.max_clients) {
        say_last(fd, "too many clients");
        close(fd);
        log("can-hub: connection from %s refused: %zu clients already\n", peer_name(addr).c_str(), clients_.size());
        continue;
      }
      int one = 1;
      int sndbuf = kClientSendBuffer;
      if (!set_nonblocking(fd) || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
          setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) != 0) {
        close(fd);
        continue;
      }
      auto c = std::make_unique<Client>();
      c->fd = fd;
      c->serial = ++next_serial_;
      c->peer = peer_name(addr);
      c->heard_ns = mono_ns();
      log("can-hub: client %" PRIu64 " connected from %s\n", c->serial, c->peer.c_str());
      reply(*c, "< hi >", Item::kAlone);
      clients_.push_back(std::move(c));
    }
  }

  // Writes an error line to a connection about to be closed, if its socket
  // takes it at once.
  static void say_last(int fd, const char* text) {
    char line[sizeof(Item::text)];
    int len = snprintf(line, sizeof line, "< error %s >", text);
    if (send(fd, line, size_t(len), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
      // Nothing more to do for it: it is closed either way.
    }
  }

  void reply(Client& c, const char* text, Item::Kind kind) {
    Item item{};
    item.len = uint8_t(snprintf(item.text, sizeof item.text, "%s", text));
    item.kind = kind;
    c.out.push_back(item);
    ++c.replies_queued;
  }

  // Answers a refused message with an error, at most kMaxErrorsPerSecond a
  // second, and closes a client that sends nothing valid.
  void refuse(Client& c, const char* text, int64_t now) {
    if (now - c.errors_since_ns >= 1000000000) {
      c.errors_since_ns = now;
      c.errors_in_second = 0;
    }
    if (++c.errors_in_second <= kMaxErrorsPerSecond) {
      char line[sizeof(Item::text)];
      snprintf(line, sizeof line, "< error %s >", text);
      reply(c, line, Item::kReply);
    } else if (c.errors_in_second == kMaxErrorsPerSecond + 1) {
      log("can-hub: client %" PRIu64 " has more than %u errors in a second: the rest of that second go unanswered\n",
          c.serial, kMaxErrorsPerSecond);
    }
    if (++c.bad_in_row >= kMaxBadInARow) {
      log("can-hub: client %" PRIu64 " sent %u bad messages in a row and no valid one\n", c.serial, c.bad_in_row);
      close_later(c, kClosedForGarbage);
    }
  }

  void close_later(Client& c, const char* why) {
    if (c.dead == nullptr) c.dead = why;
  }

  // Closes the connections marked dead. Unread input is read first, so that
  // the close sends a FIN after the data rather than a reset.
  void reap() {
    for (auto it = clients_.begin(); it != clients_.end();) {
      Client& c = **it;
      if (c.dead == nullptr) {
        ++it;
        continue;
      }
      // Its queued replies are dropped; it learns why, unless a message is
      // half written.
      if (c.dead == kClosedForGarbage && c.out_offset == 0) say_last(c.fd, kClosedForGarbage);
      char scratch[4096];
      for (int i = 0; i < 16 && recv(c.fd, scratch, sizeof scratch, 0) > 0; ++i) {
      }
      close(c.fd);
      log("can-hub: client %" PRIu64 " %s: %" PRIu64 " frames delivered, %" PRIu64 " dropped by its full queue\n",
          c.serial, c.dead, c.delivered, c.queue_drops);
      gone_delivered_ += c.delivered;
      gone_queue_drops_ += c.queue_drops;
      it = clients_.erase(it);
    }
  }

  void read_client(Client& c) {
    if (c.dead != nullptr) return;
    char buf[kReadChunk];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n == 0) {
      close_later(c, "disconnected");
    } else if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close_later(c, "lost");
    } else {
      take_input(c, buf, size_t(n), mono_ns());
    }
  }

  // Splits the input stream into "< ... >" messages, whatever the reads.
  void take_input(Client& c, const char* data, size_t size, int64_t now) {
    c.in.append(data, size);
    const std::string& in = c.in;
    size_t pos = 0;
    size_t valid_end = 0;  // just past the last valid message, when one came
    bool valid = false;
    while (pos < in.size() && c.dead == nullptr) {
      if (c.skipping) {
        size_t next = in.find('<', pos);
        if (next == std::string::npos) {
          pos = in.size();
          break;
        }
        c.skipping = false;
        pos = next;
        continue;
      }
      if (is_space(in[pos])) {
        ++pos;
        continue;
      }
      if (in[pos] != '<') {
        refuse(c, "text outside a message", now);
        c.skipping = true;
        continue;
      }
      size_t limit = std::min(in.size(), pos + kMaxMessage);
      size_t close_at = std::string::npos, reopen_at = std::string::npos;
      for (size_t i = pos + 1; i < limit; ++i) {
        if (in[i] == '>') {
          close_at = i;
          break;
        }
        if (in[i] == '<') {
          reopen_at = i;
          break;
        }
      }
      if (close_at != std::string::npos) {
        if (const char* bad = handle(c, in.substr(pos + 1, close_at - pos - 1), now)) {
          refuse(c, bad, now);
        } else {
          c.heard_ns = now;
          c.bad_in_row = 0;
          valid = true;
          valid_end = close_at + 1;
        }
        pos = close_at + 1;
      } else if (reopen_at != std::string::npos) {
        refuse(c, "message not closed", now);
        pos = reopen_at;
      } else if (in.size() - pos >= kMaxMessage) {
        refuse(c, "message too long", now);
        c.skipping = true;
        ++pos;
      } else {
        break;  // the rest of the message is still to come
      }
    }
    c.in.erase(0, pos);
    c.bytes_since_valid = valid ? pos - valid_end : c.bytes_since_valid + pos;
    if (c.bytes_since_valid > kMaxGarbageBytes && c.dead == nullptr) {
      log("can-hub: client %" PRIu64 " sent %zu bytes and no valid message\n", c.serial, c.bytes_since_valid);
      close_later(c, kClosedForGarbage);
    }
  }

  // Carries out one message. Returns the error text for a message it
  // refuses, nullptr for a valid one.
  const char* handle(Client& c, const std::string& body, int64_t now) {
    std::vector<std::string> w = split_words(body);
    if (w.empty()) return "empty message";
    const std::string& cmd = w[0];
    if (cmd == "open") {
      if (w.size() != 2) return "open needs one bus name";
      if (c.bus >= 0) return "a bus is already open";
      for (size_t b = 0; b < buses_.size(); ++b) {
        if (buses_[b].name == w[1]) {
          c.bus = int(b);
          reply(c, "< ok >", Item::kAlone);
          return nullptr;
        }
      }
      return "could not open bus";
    }
    if (cmd == "rawmode") {
      if (w.size() != 1) return "rawmode takes no arguments";
      if (c.bus < 0) return "no bus open";
      c.rawmode = true;
      c.hold_until = now + kRawmodePauseNs;
      reply(c, "< ok >", Item::kAlone);
      return nullptr;
    }
    if (cmd == "echo") {
      if (w.size() != 1) return "echo takes no arguments";
      reply(c, "< echo >", Item::kReply);
      return nullptr;
    }
    if (cmd == "send") {
      if (c.bus < 0) return "no bus open";
      Frame f;
      if (const char* bad = parse_send(w, f)) return bad;
      f.sender = c.serial;
      send_on_bus(c.bus, f, now);
      return nullptr;
    }
    return "unknown command";
  }

  void send_on_bus(int bus_index, Frame& f, int64_t now) {
    Bus& bus = buses_[size_t(bus_index)];
    ++bus.received;
    if (opts_.drop_every != 0 && bus.received % opts_.drop_every == 0) {
      ++bus.injected_drops;
      return;
    }
    if (bus.pending.size() >= opts_.queue) {
      ++bus.pacing_drops;
      return;
    }
    f.ready_ns = now + opts_.delay_ms * 1000000;
    bus.pending.push_back(f);
    pump_bus(bus_index, now);
  }

  // Time a frame takes on the bus at the configured bit rate (no stuffing).
  int64_t frame_ns(const Frame& f) const {
    if (opts_.bitrate == 0) return 0;
    int64_t bits = (f.extended ? 67 : 47) + 8 * int64_t(f.len);
    return bits * 1000000000 / int64_t(opts_.bitrate);
  }

  // Releases the frames whose time has come: a frame starts on the bus when
  // it is ready and the bus is idle, and is released when its last bit is
  // through. Returns the next release time, or INT64_MAX.
  int64_t pump_bus(int bus_index, int64_t now) {
    Bus& bus = buses_[size_t(bus_index)];
    while (!bus.pending.empty()) {
      const Frame& f = bus.pending.front();
      int64_t done = std::max(f.ready_ns, bus.free_ns) + frame_ns(f);
      if (done > now) return done;
      bus.free_ns = done;
      release(bus_index, f, done);
      bus.pending.pop_front();
    }
    return INT64_MAX;
  }

  void release(int bus_index, const Frame& f, int64_t at_mono) {
    Bus& bus = buses_[size_t(bus_index)];
    ++bus.forwarded;
    int64_t wall = at_mono + (clock_ns(CLOCK_REALTIME) - mono_ns());
    char hex[17];
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < f.len; ++i) {
      hex[2 * i] = digits[f.data[i] >> 4];
      hex[2 * i + 1] = digits[f.data[i] & 15];
    }
    hex[2 * f.len] = '\0';
    Item item{};
    item.kind = Item::kFrame;
    item.len = uint8_t(snprintf(item.text, sizeof item.text, "< frame %0*" PRIX32 " %" PRId64 ".%06" PRId64 " %s >\n",
                                f.extended ? 8 : 3, f.id, wall / 1000000000, (wall % 1000000000) / 1000, hex));
    for (auto& c : clients_) {
      if (c->dead != nullptr || c->bus != bus_index || !c->rawmode || c->serial == f.sender) continue;
      if (c->frames_queued >= opts_.queue) {
        ++c->queue_drops;
        continue;
      }
      c->out.push_back(item);
      ++c->frames_queued;
    }
  }

  // Writes what the socket takes: replies at once, frames once the rawmode
  // pause is over, an "alone" reply by itself.
  void flush(Client& c, int64_t now) {
    while (c.dead == nullptr && !c.out.empty()) {
      iovec iov[kMaxGather];
      int count = 0;
      size_t total = 0;
      uint64_t frames = 0;
      for (auto it = c.out.begin(); it != c.out.end() && count < kMaxGather; ++it) {
        if (it->kind == Item::kFrame) {
          if (now < c.hold_until) break;
          if (opts_.disconnect_after != 0 && c.delivered + frames >= opts_.disconnect_after) break;
          ++frames;
        }
        if (it->kind == Item::kAlone && count > 0) break;
        size_t skip = count == 0 ? c.out_offset : 0;
        iov[count].iov_base = it->text + skip;
        iov[count].iov_len = it->len - skip;
        total += iov[count].iov_len;
        ++count;
        if (it->kind == Item::kAlone) break;
      }
      if (count == 0) break;
      ssize_t n = writev(c.fd, iov, count);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          c.blocked = true;
        } else {
          close_later(c, "lost");
        }
        return;
      }
      size_t left = size_t(n);
      while (left > 0) {
        Item& head = c.out.front();
        size_t rest = head.len - c.out_offset;
        if (left < rest) {
          c.out_offset += left;
          break;
        }
        left -= rest;
        c.out_offset = 0;
        if (head.kind == Item::kFrame) {
          ++c.delivered;
          --c.frames_queued;
        } else {
          --c.replies_queued;
        }
        c.out.pop_front();
      }
      if (size_t(n) < total) {
        c.blocked = true;
        return;
      }
    }
    if (opts_.disconnect_after != 0 && c.delivered >= opts_.disconnect_after) {
      close_later(c, "disconnected after its frame limit");
    }
  }

  Options opts_;
  int listen_fd_ = -1;
  int64_t accept_paused_until_ = 0;
  bool accept_failing_ = false;
  std::vector<Bus> buses_;
  std::vector<std::unique_ptr<Client>> clients_;
  uint64_t next_serial_ = 0;
  uint64_t gone_delivered_ = 0;
  uint64_t gone_queue_drops_ = 0;
};

[[noreturn]] void usage(const char* problem) {
  fprintf(stderr,
          "can-hub: %s\n"
          "usage: can-hub [--host ADDR] [--port N] [--buses can0,can1] [--bitrate BPS] [--queue N]\n"
          "               [--drop-every N] [--delay-ms N] [--disconnect-after N] [--max-clients N]\n"
          "               [--idle-timeout SECONDS] [--quiet]\n",
          problem);
  exit(2);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    if (arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    static const char* const kValued[] = {"--host",        "--port",        "--buses",    "--bitrate",
                                          "--queue",       "--drop-every",  "--delay-ms", "--disconnect-after",
                                          "--max-clients", "--idle-timeout"};
    if (std::find(std::begin(kValued), std::end(kValued), arg) == std::end(kValued)) {
      usage(("unknown option " + arg).c_str());
    }
    if (!has_value) {
      if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
      value = argv[++i];
    }
    uint64_t n = 0;
    auto number = [&](uint64_t max) {
      if (!parse_number(value.c_str(), max, n)) usage(("bad value for " + arg + ": " + value).c_str());
      return n;
    };
    if (arg == "--host") {
      o.host = value;
    } else if (arg == "--port") {
      o.port = unsigned(number(65535));
    } else if (arg == "--buses") {
      o.buses.clear();
      size_t start = 0;
      for (;;) {
        size_t comma = value.find(',', start);
        std::string name = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name.empty() || name.find_first_of(" \t<>") != std::string::npos) usage("bad bus name");
        o.buses.push_back(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (arg == "--bitrate") {
      o.bitrate = number(100000000);
    } else if (arg == "--queue") {
      o.queue = size_t(number(100000000));
      if (o.queue == 0) usage("--queue must be at least 1");
    } else if (arg == "--drop-every") {
      o.drop_every = number(UINT32_MAX);
    } else if (arg == "--delay-ms") {
      o.delay_ms = int64_t(number(86400000));
    } else if (arg == "--disconnect-after") {
      o.disconnect_after = number(UINT32_MAX);
    } else if (arg == "--max-clients") {
      o.max_clients = size_t(number(1000000));
      if (o.max_clients == 0) usage("--max-clients must be at least 1");
    } else if (arg == "--idle-timeout") {
      o.idle_timeout_s = int64_t(number(86400));
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options opts = parse_options(argc, argv);

  int wake[2];
  if (pipe(wake) != 0) {
    perror("can-hub: pipe");
    return 1;
  }
  for (int fd : wake) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  g_wake_fd = wake[1];
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Hub hub(opts);
  if (!hub.listen_on()) return 1;
  hub.run(wake[0]);
  hub.print_summary();
  hub.close_all();
  return 0;
}
