#include "tests/support/socketcand_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

SocketcandServer::SocketcandServer() {
    if (!listener_.Listen(0)) return;
    port_ = listener_.Port();
    thread_ = std::thread([this] { Run(); });
}

SocketcandServer::~SocketcandServer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

int SocketcandServer::Clients() {
    std::lock_guard<std::mutex> guard(lock_);
    int count = 0;
    for (auto& client : clients_) count += client->raw ? 1 : 0;
    return count;
}

void SocketcandServer::DropAll() {
    std::lock_guard<std::mutex> guard(lock_);
    clients_.clear();
}

void SocketcandServer::Refuse(bool refuse) {
    std::lock_guard<std::mutex> guard(lock_);
    if (refuse) {
        listener_.Close();
        clients_.clear();
    } else {
        listener_.Listen(port_);
    }
}

void SocketcandServer::SendFrame(uint32_t identifier, const std::vector<uint8_t>& data) {
    char text[64];
    std::snprintf(text, sizeof text, "< frame %08X 0.000000 ", static_cast<unsigned>(identifier));
    std::string frame = text;
    for (uint8_t byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        frame += text;
    }
    frame += " >";
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& client : clients_) {
        if (client->raw) client->socket.SendAll(frame.data(), frame.size(), 1000);
    }
}

std::vector<uint32_t> SocketcandServer::TakeSent() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::move(sent_);
}

// Answers one client's messages; its frames are collected for the others.
void SocketcandServer::Serve(Client& client, std::vector<std::string>& forward) {
    for (;;) {
        size_t open = client.input.find('<');
        size_t close = client.input.find('>', open == std::string::npos ? 0 : open);
        if (open == std::string::npos || close == std::string::npos) return;
        std::string body = client.input.substr(open + 1, close - open - 1);
        client.input.erase(0, close + 1);
        if (body.find("open ") != std::string::npos) {
            client.socket.SendAll("< ok >", 6, 1000);
        } else if (body.find("rawmode") != std::string::npos) {
            client.socket.SendAll("< ok >", 6, 1000);
            client.raw = true;
        } else if (body.find("send ") != std::string::npos) {
            // "send ID LEN B0 B1 ...": to the others as "frame ID TIME DATA".
            char* end = nullptr;
            const char* id = body.c_str() + body.find("send ") + 5;
            unsigned long identifier = std::strtoul(id, &end, 16);
            unsigned long length = std::strtoul(end, &end, 10);
            std::string data;
            for (unsigned long i = 0; i < length; ++i) {
                unsigned long byte = std::strtoul(end, &end, 16);
                char pair[4];
                std::snprintf(pair, sizeof pair, "%02lX", byte & 0xFF);
                data += pair;
            }
            sent_.push_back(static_cast<uint32_t>(identifier));
            char text[48];
            std::snprintf(text, sizeof text, "< frame %08lX 0.000000 ", identifier);
            forward.push_back(text + data + " >");
        }
    }
}

void SocketcandServer::Run() {
    while (!stop_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::lock_guard<std::mutex> guard(lock_);
        auto fresh = std::make_unique<Client>();
        if (listener_.Accept(fresh->socket, 0)) {
            fresh->socket.SendAll("< hi >", 6, 1000);
            clients_.push_back(std::move(fresh));
        }
        for (size_t i = 0; i < clients_.size();) {
            Client& client = *clients_[i];
            char buffer[4096];
            int n = client.socket.Receive(buffer, sizeof buffer, 0);
            if (n < 0) {
                clients_.erase(clients_.begin() + static_cast<long>(i));
                continue;
            }
            client.input.append(buffer, static_cast<size_t>(n));
            std::vector<std::string> forward;
            Serve(client, forward);
            for (auto& other : clients_) {
                if (other.get() == &client || !other->raw) continue;
                for (const std::string& frame : forward) other->socket.SendAll(frame.data(), frame.size(), 1000);
            }
            ++i;
        }
    }
}
