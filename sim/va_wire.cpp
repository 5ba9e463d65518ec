// The TCP/IP adapter's bus link to a socketcand server (see va_wire.h).
#include "sim/va_wire.h"

#include "sim/va_j1939_tp.h"
#include "sim/va_socket.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace va {

namespace {

constexpr int kConnectWait = 3000;   // ms for the connection and each handshake answer at the open
constexpr int kReconnectWait = 1000; // ms for the connection and the whole handshake when connecting again
constexpr int kFirstRetry = 500;     // ms after a break before the first new connection is tried
constexpr int kRetryPause = 1000;    // ms between later tries
constexpr int kSendWait = 2000;      // ms a send may wait for room
constexpr int kReadSlice = 20;       // ms the link thread waits for data before it looks at its timers
constexpr size_t kMessageLimit = 512;  // longest message kept; longer ones are skipped

}  // namespace

class WireLink {
public:
    explicit WireLink(std::string bus)
        : bus_(std::move(bus)), engine_([this](uint8_t destination) { return Accepts(destination); }) {
        for (auto& word : destinations_) word.store(0);
    }

    bool Handshake(const uint8_t address[4], uint16_t port);
    int32_t Start(uint16_t adapterId, uint64_t adapterSerial);
    void Stop();
    bool down() const { return down_.load(); }
    // Held: the connection is closed and not made again until let go.
    void Hold(bool held);
    void SetDestinations(const uint64_t bits[4]) {
        for (int i = 0; i < 4; ++i) destinations_[i].store(bits[i]);
    }
    int32_t Transmit_locked(const BusMessage& message, const Mailbox* key, uint64_t serial, bool freeAfter);

private:
    struct Pending {
        const Mailbox* key;
        uint64_t serial;
        bool freeAfter;
    };
    struct Finished {
        Pending pending;
        bool ok;
    };

    bool Accepts(uint8_t destination) const {
        return (destinations_[destination >> 6].load() >> (destination & 63)) & 1;
    }
    uint64_t NowMs() const {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
    }
    bool SendText(const std::string& text);
    void SendFrames_engineLocked(std::unique_lock<std::mutex>& engineLock);
    void Run();
    void Session();
    void Reconnect();
    bool Connect(TcpSocket& socket, std::string& input, int waitMs, int answerWaitMs);
    bool NextMessage(std::string& message, int timeoutMs);
    void TakeResults_engineLocked(std::vector<Finished>& finished);
    void Report(std::vector<BusMessage>& received, std::vector<Finished>& finished);

    std::string bus_;
    TcpSocket socket_;
    std::string input_;               // bytes read and not yet parsed (link thread; handshake before it)
    std::mutex engineLock_;           // engine_, pending_
    J1939Transport engine_;
    std::map<uint64_t, Pending> pending_;
    std::mutex sendLock_;             // writes to the connection
    std::atomic<uint64_t> destinations_[4];
    std::atomic<bool> down_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    uint8_t address_[4] = {};
    uint16_t port_ = 0;
    std::thread thread_;
    uint16_t adapterId_ = 0;
    uint64_t adapterSerial_ = 0;
    Clock::time_point start_ = Clock::now();
};

namespace {

// The text of an adapter INI entry's "NAME=" value, up to the next comma.
std::string EntryValue(const char* text, size_t size, const char* name) {
    std::string entry(text, strnlen(text, size));
    std::string upper = entry;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    size_t at = upper.find(name);
    if (at == std::string::npos) return std::string();
    size_t start = at + std::strlen(name);
    size_t end = entry.find(',', start);
    std::string value = entry.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t first = value.find_first_not_of(" \t");
    size_t last = value.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

bool IsHex(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// "frame ID SECONDS.MICROS DATA" (DATA one run of hex digits, or bytes
// separated by blanks) as a CAN 1 bus message; false for anything else.
bool ParseFrame(const std::string& body, BusMessage& message) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < body.size()) {
        size_t start = body.find_first_not_of(" \t\r\n", at);
        if (start == std::string::npos) break;
        size_t end = body.find_first_of(" \t\r\n", start);
        words.push_back(body.substr(start, end == std::string::npos ? std::string::npos : end - start));
        at = end == std::string::npos ? body.size() : end;
    }
    if (words.size() < 3 || words[0] != "frame" || !IsHex(words[1]) || words[1].size() > 8) return false;
    std::string hex;
    for (size_t i = 3; i < words.size(); ++i) {
        if (!IsHex(words[i])) return false;
        hex += words[i].size() == 1 ? "0" + words[i] : words[i];
    }
    if (hex.size() % 2 != 0 || hex.size() > 16) return false;
    uint32_t identifier = static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 16));
    bool extended = words[1].size() > 3 || identifier > 0x7FF;
    if (identifier > 0x1FFFFFFF) return false;
    message.linkCode = kLinkCodeCan1;
    message.width = extended ? 29 : 11;
    message.identifier = identifier;
    message.data.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        message.data.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

std::string SendCommand(uint32_t identifier, uint8_t width, const uint8_t* data, size_t length) {
    char text[64];
    int n = std::snprintf(text, sizeof text, width == 29 ? "< send %08X %u" : "< send %03X %u",
                          static_cast<unsigned>(identifier), static_cast<unsigned>(length));
    std::string out(text, static_cast<size_t>(n));
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(text, sizeof text, " %02X", data[i]);
        out += text;
    }
    out += " >";
    return out;
}

}  // namespace

bool WireLink::SendText(const std::string& text) {
    if (down_.load()) return false;
    if (socket_.SendAll(text.data(), text.size(), kSendWait)) return true;
    down_.store(true);
    return false;
}

// Reads from `socket` until a whole "< ... >" message is in `input`; its
// inside, trimmed. False on time-out, or with *broken set when the
// connection is gone.
static bool ReadMessage(TcpSocket& socket, std::string& input, std::string& message, int timeoutMs, bool* broken) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t open = input.find('<');
        if (open == std::string::npos) {
            input.clear();
        } else {
            size_t close = input.find('>', open);
            size_t next = input.find('<', open + 1);
            if (close != std::string::npos && (next == std::string::npos || close < next)) {
                message = input.substr(open + 1, close - open - 1);
                input.erase(0, close + 1);
                size_t first = message.find_first_not_of(" \t\r\n");
                size_t last = message.find_last_not_of(" \t\r\n");
                message = first == std::string::npos ? std::string() : message.substr(first, last - first + 1);
                return true;
            }
            if (next != std::string::npos) {
                input.erase(0, next);  // an unterminated message: skipped
                continue;
            }
            if (input.size() - open > kMessageLimit) input.clear();
            else if (open > 0) input.erase(0, open);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) return false;
        char buffer[4096];
        int n = socket.Receive(buffer, sizeof buffer, static_cast<int>(left));
        if (n < 0) {
            *broken = true;
            return false;
        }
        if (n == 0 && left == 0) return false;
        input.append(buffer, static_cast<size_t>(n));
    }
}

bool WireLink::NextMessage(std::string& message, int timeoutMs) {
    bool broken = false;
    bool got = ReadMessage(socket_, input_, message, timeoutMs, &broken);
    if (broken) down_.store(true);
    return got;
}

// Connects `socket` to the server and opens the bus in raw mode: the
// connection within `waitMs`, each answer within `answerWaitMs`.
bool WireLink::Connect(TcpSocket& socket, std::string& input, int waitMs, int answerWaitMs) {
    if (!socket.Connect(address_, port_, waitMs)) return false;
    auto ask = [&](const std::string& text, const char* answer) {
        std::string message;
        bool broken = false;
        if (!text.empty() && !socket.SendAll(text.data(), text.size(), answerWaitMs)) return false;
        return ReadMessage(socket, input, message, answerWaitMs, &broken) && message == answer;
    };
    return ask("", "hi") && ask("< open " + bus_ + " >", "ok") && ask("< rawmode >", "ok");
}

bool WireLink::Handshake(const uint8_t address[4], uint16_t port) {
    std::memcpy(address_, address, 4);
    port_ = port;
    return Connect(socket_, input_, kConnectWait, kConnectWait);
}

void WireLink::Hold(bool held) {
    held_.store(held);
    if (!held) return;
    std::lock_guard<std::mutex> guard(sendLock_);
    down_.store(true);
    socket_.Shutdown();  // the link thread's read ends at once
}

int32_t WireLink::Start(uint16_t adapterId, uint64_t adapterSerial) {
    adapterId_ = adapterId;
    adapterSerial_ = adapterSerial;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        return kVaErrNoMemory;
    }
    return kVaOk;
}

void WireLink::Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> guard(sendLock_);
    socket_.Close();
}

// Takes the engine's frames and sends them in order; the send lock is taken
// before the engine lock is let go, so batches never overtake each other.
void WireLink::SendFrames_engineLocked(std::unique_lock<std::mutex>& engineLock) {
    std::vector<TpFrame> frames = engine_.TakeFrames();
    if (frames.empty()) return;
    std::unique_lock<std::mutex> sendLock(sendLock_);
    engineLock.unlock();
    for (const TpFrame& frame : frames) {
        if (!SendText(SendCommand(frame.identifier, 29, frame.data, frame.length))) break;
    }
    sendLock.unlock();  // never the send lock while waiting for the engine lock
    engineLock.lock();
}

void WireLink::TakeResults_engineLocked(std::vector<Finished>& finished) {
    for (const TpSendResult& result : engine_.TakeResults()) {
        auto it = pending_.find(result.ticket);
        if (it == pending_.end()) continue;
        finished.push_back({it->second, result.ok});
        pending_.erase(it);
    }
}

// Hands received frames, messages and finished sends to the adapter thread.
void WireLink::Report(std::vector<BusMessage>& received, std::vector<Finished>& finished) {
    if (received.empty() && finished.empty()) return;
    Lock lock(S().lock);
    for (BusMessage& message : received) {
        Work item;
        item.kind = Work::kDeliver;
        item.target = adapterId_;
        item.targetSerial = adapterSerial_;
        item.message = std::move(message);
        Queue_locked(std::move(item));
    }
    for (const Finished& done : finished) {
        Work item;
        item.kind = done.ok ? Work::kTxComplete : Work::kTxFailed;
        item.key = done.pending.key;
        item.mailboxSerial = done.pending.serial;
        item.freeAfter = done.pending.freeAfter;
        item.adapterId = adapterId_;
        item.adapterSerial = adapterSerial_;
        item.linkCode = kLinkCodeCan1;
        Queue_locked(std::move(item));
    }
    received.clear();
    finished.clear();
}

void WireLink::Run() {
    while (!stop_.load()) {
        Session();
        if (!stop_.load()) Reconnect();
    }
}

// After a break the link connects again by itself, as a networked adapter's
// driver does: first after kFirstRetry, then every kRetryPause, never while
// held. The adapter comes back as after a power cycle (rebooted: its timer
// from 0, no data link, its mailboxes dead).
void WireLink::Reconnect() {
    int pause = kFirstRetry;
    for (;;) {
        for (int waited = 0; waited < pause; waited += kReadSlice) {
            if (stop_.load()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(kReadSlice));
        }
        pause = kRetryPause;
        if (held_.load()) continue;
        TcpSocket fresh;
        std::string input;
        if (!Connect(fresh, input, kReconnectWait, kReconnectWait)) continue;
        {
            std::lock_guard<std::mutex> guard(sendLock_);
            if (held_.load()) continue;  // held meanwhile: the new connection goes
            socket_.Swap(fresh);         // the broken one closes with `fresh`
            input_ = std::move(input);
        }
        Lock lock(S().lock);
        Adapter* adapter = FindAdapter_locked(adapterId_);
        if (adapter != nullptr && adapter->serial == adapterSerial_) Reboot_locked(*adapter);
        down_.store(false);  // under the module lock: entries see the rebooted adapter answer
        return;
    }
}

// One connection's life: reads frames, runs the transport sessions, reports;
// ends when the connection breaks or the link stops.
void WireLink::Session() {
    std::vector<BusMessage> received;
    std::vector<Finished> finished;
    while (!stop_.load() && !down_.load()) {
        int wait = kReadSlice;
        {
            std::lock_guard<std::mutex> guard(engineLock_);
            uint64_t due = engine_.NextDue(), now = NowMs();
            if (due != UINT64_MAX) wait = due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, kReadSlice));
        }
        std::string body;
        while (NextMessage(body, wait)) {
            wait = 0;
            BusMessage message;
            if (!ParseFrame(body, message)) continue;  // "ok", "echo", errors: nothing to deliver
            if (message.width == 29) {
                std::lock_guard<std::mutex> guard(engineLock_);
                engine_.OnFrame(message.identifier, message.data.data(), static_cast<uint8_t>(message.data.size()),
                                NowMs());
            }
            received.push_back(std::move(message));
            if (received.size() >= 64) break;
        }
        std::unique_lock<std::mutex> engineLock(engineLock_);
        if (down_.load()) engine_.Clear();
        else engine_.Poll(NowMs());
        for (TpMessage& whole : engine_.TakeMessages()) {
            BusMessage message;
            message.linkCode = kLinkCodeCan1;
            message.width = 29;
            message.transport = true;
            message.destination = whole.destination;
            // The destination has its own field: a PDU1 message's identifier
            // carries its PGN as it is (PS 0), as the library reads it.
            message.identifier = ((whole.identifier >> 16) & 0xFF) < 0xF0 ? whole.identifier & ~0xFF00u
                                                                        : whole.identifier;
            message.data = std::move(whole.data);
            received.push_back(std::move(message));
        }
        SendFrames_engineLocked(engineLock);
        TakeResults_engineLocked(finished);
        engineLock.unlock();
        Report(received, finished);
    }
    // Broken or stopped: unfinished sends fail.
    std::unique_lock<std::mutex> engineLock(engineLock_);
    engine_.Clear();
    engine_.TakeFrames();
    TakeResults_engineLocked(finished);
    engineLock.unlock();
    if (!stop_.load()) Report(received, finished);
}

int32_t WireLink::Transmit_locked(const BusMessage& message, const Mailbox* key, uint64_t serial, bool freeAfter) {
    if (down_.load()) return kVaErrSilent;
    if (!message.transport) {
        std::string text = SendCommand(message.identifier, message.width, message.data.data(), message.data.size());
        bool sent;
        {
            std::lock_guard<std::mutex> guard(sendLock_);
            sent = SendText(text);
        }
        if (!sent) return kVaErrSilent;
        Work complete;
        complete.kind = Work::kTxComplete;
        complete.key = key;
        complete.mailboxSerial = serial;
        complete.freeAfter = freeAfter;
        Queue_locked(std::move(complete));
        return kVaOk;
    }
    std::unique_lock<std::mutex> engineLock(engineLock_);
    uint64_t ticket = engine_.Send(message.identifier, message.destination, message.data.data(), message.data.size(),
                                   NowMs());
    if (ticket == 0) return kVaErrBadParameter;
    pending_[ticket] = Pending{key, serial, freeAfter};
    SendFrames_engineLocked(engineLock);
    return kVaOk;
}

std::shared_ptr<WireLink> OpenWireLink(const LinkParams& params, int32_t* result) {
    *result = kVaErrNoConnection;
    uint8_t address[4];
    LinkIpAddress(params, address);
    int32_t port = LinkTcpPort(params);
    if (port <= 0 || port > 65535) return nullptr;
    std::string bus = EntryValue(params.paramText, sizeof params.paramText, "BUS=");
    if (bus.empty()) bus = "can0";
    if (bus.size() > 32 || bus.find_first_of("<> \t") != std::string::npos) return nullptr;
    auto link = std::make_shared<WireLink>(bus);
    if (!link->Handshake(address, static_cast<uint16_t>(port))) return nullptr;
    *result = kVaOk;
    return link;
}

int32_t StartWireLink(WireLink& link, uint16_t adapterId, uint64_t adapterSerial) {
    return link.Start(adapterId, adapterSerial);
}

void StopWireLink(WireLink& link) { link.Stop(); }

bool WireLinkDown(const WireLink& link) { return link.down(); }

void HoldWireLink(WireLink& link, bool held) { link.Hold(held); }

void UpdateWireDestinations_locked(const Adapter& adapter) {
    if (!adapter.wire) return;
    uint64_t bits[4] = {};
    for (const VaMailbox* mailbox : adapter.mailboxes) {
        if (mailbox->stale || mailbox->direction != 0 || mailbox->linkCode != kLinkCodeCan1) continue;
        if (mailbox->frameKind != kFrameConnectionTransport && mailbox->frameKind != kFrameConnectionSmall) continue;
        bits[mailbox->destination >> 6] |= uint64_t{1} << (mailbox->destination & 63);
    }
    adapter.wire->SetDestinations(bits);
}

int32_t WireTransmit_locked(Adapter& adapter, const BusMessage& message, const Mailbox* key, uint64_t serial,
                            bool freeAfter) {
    return adapter.wire->Transmit_locked(message, key, serial, freeAfter);
}

}  // namespace va
