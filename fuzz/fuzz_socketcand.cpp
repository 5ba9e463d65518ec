// Feeds an arbitrary socketcand stream to the virtual adapter's bus link
// reader as a network delivers it: in pieces of any size.
//
// Input: a byte that sets the piece sizes, then the stream.
//
// Checked: the bytes kept between reads stay bounded; no message is longer
// than the limit; frames have at most 8 data bytes and an identifier of
// their width; a frame written back as text reads the same; and the stream
// read in pieces gives the same messages as read whole.
#include "sim/va_socketcand.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

std::vector<std::string> Messages(const uint8_t* data, size_t size, size_t piece) {
    std::vector<std::string> out;
    std::string input, message;
    for (size_t at = 0; at < size; at += piece) {
        input.append(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
        while (va::NextSocketcandMessage(input, message)) {
            Check(message.size() <= va::kSocketcandMessageLimit);
            out.push_back(message);
        }
        Check(input.size() <= va::kSocketcandMessageLimit + 1);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t piece = 1 + data[0] % 64;
    std::vector<std::string> pieces = Messages(data + 1, size - 1, piece);
    Check(pieces == Messages(data + 1, size - 1, size));
    for (const std::string& message : pieces) {
        va::SocketcandFrame frame;
        if (!va::ParseSocketcandFrame(message, frame)) continue;
        Check(frame.data.size() <= 8);
        Check(frame.width == 29 ? frame.identifier <= 0x1FFFFFFF : frame.width == 11 && frame.identifier <= 0x7FF);
        // The same frame as text again.
        char text[64];
        std::snprintf(text, sizeof text, frame.width == 29 ? "frame %08X 1.000000 " : "frame %03X 1.000000 ",
                      static_cast<unsigned>(frame.identifier));
        std::string again = text;
        for (uint8_t byte : frame.data) {
            std::snprintf(text, sizeof text, "%02X", byte);
            again += text;
        }
        va::SocketcandFrame reread;
        Check(va::ParseSocketcandFrame(again, reread));
        Check(reread.identifier == frame.identifier && reread.width == frame.width && reread.data == frame.data);
        std::string send = va::SocketcandSend(frame.identifier, frame.width, frame.data.data(), frame.data.size());
        Check(send.size() < 64 && send.front() == '<' && send.back() == '>');
    }
    return 0;
}
