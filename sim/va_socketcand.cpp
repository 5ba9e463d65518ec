#include "sim/va_socketcand.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace va {

namespace {

bool IsHex(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

bool NextSocketcandMessage(std::string& input, std::string& message) {
    for (;;) {
        size_t open = input.find('<');
        if (open == std::string::npos) {
            input.clear();
            return false;
        }
        size_t close = input.find('>', open);
        size_t next = input.find('<', open + 1);
        if (close != std::string::npos && (next == std::string::npos || close < next)) {
            if (close - open - 1 > kSocketcandMessageLimit) {
                input.erase(0, close + 1);  // over-long: skipped whole
                continue;
            }
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
        if (input.size() - open - 1 > kSocketcandMessageLimit) {
            input.clear();  // can never end as a message that is kept
        } else if (open > 0) {
            input.erase(0, open);
        }
        return false;
    }
}

bool ParseSocketcandFrame(const std::string& body, SocketcandFrame& frame) {
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
        if (hex.size() > 16) return false;
    }
    if (hex.size() % 2 != 0) return false;
    uint32_t identifier = static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 16));
    if (identifier > 0x1FFFFFFF) return false;
    bool extended = words[1].size() > 3 || identifier > 0x7FF;
    frame.identifier = identifier;
    frame.width = extended ? 29 : 11;
    frame.data.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        frame.data.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

std::string SocketcandSend(uint32_t identifier, uint8_t width, const uint8_t* data, size_t length) {
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

}  // namespace va
