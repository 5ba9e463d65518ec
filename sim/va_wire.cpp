// The TCP/IP adapter's bus link to a socketcand server (see va_wire.h).
#include "sim/va_wire.h"

#include "sim/va_j1939_tp.h"
#include "sim/va_socket.h"
#include "sim/va_socketcand.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <string>
#include <thread>

namespace va {

namespace {

constexpr int kConnectWait = 3000;   // ms for the connection and each handshake answer at the open
constexpr int kReconnectWait = 1000; // ms for the connection and for each handshake answer when connecting again
constexpr int kFirstRetry = 500;     // ms after a break before the first new connection is tried
constexpr int kRetryPause = 1000;    // ms between later tries
constexpr int kStallWait = 2000;     // ms a batch of writes may wait for the server to read
constexpr size_t kBatchBytes = 65536;      // written at once at most
constexpr size_t kOutputLimit = 1 << 20;   // bytes waiting to be written: more and the server is not reading
constexpr int kReadSlice = 20;       // ms the link thread waits for data before it looks at its timers
constexpr int kReadBatch = 64;       // messages read before the timers run again, whatever they are

}  // namespace

// Threads and locks. The link thread reads the connection, runs the
// transport engine and makes new connections; the writer thread writes.
// Callers (entries, under the module lock) never touch the socket: they put
// text into the output queue. Lock order: the module lock, then engineLock_,
// then outputLock_; writeLock_ (the writer's writes, a connection's
// replacement) is taken with no other lock held, and handleLock_ (which
// connection socket_ is, for Shutdown) is a leaf. No thread holds a link
// lock while it takes the module lock.
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
    // Text for the connection; a single frame's send is answered once it
    // is written (or could not be).
    struct Output {
        std::string text;
        bool answered;
        Pending pending;
        uint64_t connection;  // the connection it was meant for
    };

    bool Accepts(uint8_t destination) const {
        return (destinations_[destination >> 6].load() >> (destination & 63)) & 1;
    }
    uint64_t NowMs() const {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
    }
    bool Put(std::string text, const Pending* pending);
    void PutFrames_engineLocked();
    void Break(uint64_t connection);
    void Break();
    void Run();
    void Write();
    void Session();
    void Reconnect();
    bool Connect(TcpSocket& socket, std::string& input, int waitMs, int answerWaitMs);
    void FailOutput();
    void TakeResults_engineLocked(std::vector<Finished>& finished);
    void Report(std::vector<BusMessage>& received, std::vector<Finished>& finished);

    std::string bus_;
    TcpSocket socket_;
    std::string input_;               // bytes read and not yet parsed (link thread; handshake before it)
    std::mutex engineLock_;           // engine_, pending_, closed_
    J1939Transport engine_;
    std::map<uint64_t, Pending> pending_;
    bool closed_ = false;             // the session has ended: no new transport sends
    std::mutex outputLock_;           // output_, outputBytes_
    std::condition_variable outputReady_;
    std::deque<Output> output_;
    size_t outputBytes_ = 0;
    std::mutex writeLock_;
    std::mutex handleLock_;
    std::atomic<uint64_t> connection_{1};  // changes with every new connection
    std::atomic<uint64_t> destinations_[4];
    std::atomic<bool> down_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    uint8_t address_[4] = {};
    uint16_t port_ = 0;
    std::thread thread_;
    std::thread writer_;
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

// Reads from `socket` until a whole message is in `input`; its inside. False
// on time-out, or with *broken set when the connection is gone.
bool ReadMessage(TcpSocket& socket, std::string& input, std::string& message, int timeoutMs, bool* broken) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (NextSocketcandMessage(input, message)) return true;
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

}  // namespace

// Queues text for the connection. False (nothing queued) while the
// connection is down; a server that has left kOutputLimit bytes unread
// loses its connection.
bool WireLink::Put(std::string text, const Pending* pending) {
    {
        std::lock_guard<std::mutex> guard(outputLock_);
        if (down_.load()) return false;
        if (outputBytes_ + text.size() <= kOutputLimit) {
            outputBytes_ += text.size();
            output_.push_back(Output{std::move(text), pending != nullptr, pending != nullptr ? *pending : Pending{},
                                     connection_.load()});
            outputReady_.notify_one();
            return true;
        }
    }
    Break();
    return false;
}

// The engine's frames, in order, behind what is queued already.
void WireLink::PutFrames_engineLocked() {
    for (const TpFrame& frame : engine_.TakeFrames()) {
        if (!Put(SocketcandSend(frame.identifier, 29, frame.data, frame.length), nullptr)) break;
    }
}

// The connection is broken (or given up): the adapter goes silent, both
// threads' waits on the socket end at once. Only `connection` is broken:
// one that has taken its place since stays.
void WireLink::Break(uint64_t connection) {
    std::lock_guard<std::mutex> guard(handleLock_);
    if (connection != connection_.load()) return;
    down_.store(true);
    socket_.Shutdown();
}

// Breaks whichever connection there is when it runs (connections change
// under handleLock_).
void WireLink::Break() {
    std::lock_guard<std::mutex> guard(handleLock_);
    down_.store(true);
    socket_.Shutdown();
}

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

// Under the module lock, as Reconnect's last look at held_.
void WireLink::Hold(bool held) {
    held_.store(held);
    if (held) Break();
}

int32_t WireLink::Start(uint16_t adapterId, uint64_t adapterSerial) {
    adapterId_ = adapterId;
    adapterSerial_ = adapterSerial;
    try {
        writer_ = std::thread([this] { Write(); });
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        return kVaErrNoMemory;  // the caller stops the link once it has let the module lock go
    }
    return kVaOk;
}

void WireLink::Stop() {
    stop_.store(true);
    Break();
    {
        std::lock_guard<std::mutex> guard(outputLock_);
        outputReady_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    if (writer_.joinable()) writer_.join();
    std::lock_guard<std::mutex> write(writeLock_);
    std::lock_guard<std::mutex> handle(handleLock_);
    socket_.Close();
}

// The writer thread: writes what is queued in batches, each batch within
// kStallWait or the connection is given up, and answers the single frames'
// sends once written (or failed).
void WireLink::Write() {
    for (;;) {
        std::vector<Output> batch;
        {
            std::unique_lock<std::mutex> guard(outputLock_);
            outputReady_.wait(guard, [this] { return stop_.load() || !output_.empty(); });
            if (stop_.load()) return;
            size_t bytes = 0;
            while (!output_.empty() && (batch.empty() || bytes + output_.front().text.size() <= kBatchBytes)) {
                bytes += output_.front().text.size();
                batch.push_back(std::move(output_.front()));
                output_.pop_front();
            }
            outputBytes_ -= bytes;
        }
        // Only what was meant for the connection there is now is written
        // (connections change under writeLock_).
        uint64_t connection;
        bool written = true;
        {
            std::lock_guard<std::mutex> guard(writeLock_);
            connection = connection_.load();
            std::string bytes;
            for (const Output& item : batch) {
                if (item.connection == connection) bytes += item.text;
            }
            if (!bytes.empty()) written = !down_.load() && socket_.SendAll(bytes.data(), bytes.size(), kStallWait);
        }
        if (!written) Break(connection);
        std::vector<Finished> finished;
        std::vector<BusMessage> none;
        for (const Output& item : batch) {
            if (item.answered) finished.push_back({item.pending, written && item.connection == connection});
        }
        Report(none, finished);
    }
}

// What was queued for a connection that is gone fails.
void WireLink::FailOutput() {
    std::deque<Output> left;
    {
        std::lock_guard<std::mutex> guard(outputLock_);
        left.swap(output_);
        outputBytes_ = 0;
    }
    std::vector<Finished> finished;
    std::vector<BusMessage> none;
    for (const Output& item : left) {
        if (item.answered) finished.push_back({item.pending, false});
    }
    Report(none, finished);
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
            std::lock_guard<std::mutex> write(writeLock_);
            std::lock_guard<std::mutex> handle(handleLock_);
            if (held_.load() || stop_.load()) continue;  // held meanwhile: the new connection goes
            socket_.Swap(fresh);                          // the broken one closes with `fresh`
            input_ = std::move(input);
            connection_.fetch_add(1);
        }
        {
            std::lock_guard<std::mutex> guard(engineLock_);
            closed_ = false;
        }
        Lock lock(S().lock);
        if (held_.load()) {
            // Held while it connected: the new connection goes too.
            Break();
            continue;
        }
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
        // At most kReadBatch messages of any kind, and no longer than a
        // slice: then the timers run and what was read is reported.
        auto until = Clock::now() + std::chrono::milliseconds(kReadSlice);
        std::string body;
        bool broken = false;
        for (int count = 0; count < kReadBatch && ReadMessage(socket_, input_, body, wait, &broken); ++count) {
            wait = 0;
            SocketcandFrame frame;
            if (ParseSocketcandFrame(body, frame)) {  // "ok", "echo", errors: nothing to deliver
                if (frame.width == 29) {
                    std::lock_guard<std::mutex> guard(engineLock_);
                    engine_.OnFrame(frame.identifier, frame.data.data(), static_cast<uint8_t>(frame.data.size()),
                                    NowMs());
                }
                BusMessage message;
                message.linkCode = kLinkCodeCan1;
                message.width = frame.width;
                message.identifier = frame.identifier;
                message.data = std::move(frame.data);
                received.push_back(std::move(message));
            }
            if (Clock::now() >= until) break;
        }
        if (broken) Break();
        std::unique_lock<std::mutex> engineLock(engineLock_);
        if (!down_.load()) engine_.Poll(NowMs());
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
        PutFrames_engineLocked();
        TakeResults_engineLocked(finished);
        engineLock.unlock();
        Report(received, finished);
    }
    // Broken or stopped: unfinished sends fail, and no new one starts
    // until the next connection.
    std::unique_lock<std::mutex> engineLock(engineLock_);
    closed_ = true;
    engine_.Clear();
    engine_.TakeFrames();
    TakeResults_engineLocked(finished);
    engineLock.unlock();
    Report(received, finished);
    FailOutput();
}

int32_t WireLink::Transmit_locked(const BusMessage& message, const Mailbox* key, uint64_t serial, bool freeAfter) {
    if (down_.load()) return kVaErrSilent;
    const Pending pending{key, serial, freeAfter};
    if (!message.transport) {
        if (!Put(SocketcandSend(message.identifier, message.width, message.data.data(), message.data.size()),
                 &pending)) {
            return kVaErrSilent;
        }
        return kVaOk;
    }
    std::lock_guard<std::mutex> guard(engineLock_);
    if (closed_) return kVaErrSilent;  // the session has ended: nothing would ever answer it
    uint64_t ticket = engine_.Send(message.identifier, message.destination, message.data.data(), message.data.size(),
                                   NowMs());
    if (ticket == 0) return kVaErrBadParameter;
    pending_[ticket] = pending;
    PutFrames_engineLocked();
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
