// The socketcand text protocol as the virtual adapter's bus link speaks it:
// messages "< ... >" cut out of a byte stream that arrives in any pieces,
// "frame" messages read into CAN frames, and "send" commands written. The
// stream comes from whatever answers at the adapter's address: every input
// is taken as hostile (long, broken, unterminated messages, bad identifiers
// and lengths) and never read beyond what was received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace va {

// The longest message kept; a longer one is skipped whole.
constexpr size_t kSocketcandMessageLimit = 512;

// Takes the next whole "< ... >" message out of `input` (the bytes received
// and not used yet): its inside, trimmed. False when no whole message is
// there yet (what may still become one stays in `input`, at most
// kSocketcandMessageLimit bytes of it; bytes outside messages, messages cut
// off by a new "<" and over-long ones are dropped).
bool NextSocketcandMessage(std::string& input, std::string& message);

// A CAN frame of a "frame" message.
struct SocketcandFrame {
    uint32_t identifier;
    uint8_t width;  // 29 or 11
    std::vector<uint8_t> data;  // at most 8 bytes
};

// Reads "frame ID SECONDS.MICROS DATA" (DATA one run of hex digits, or bytes
// separated by blanks): false for anything else (other messages, bad
// identifiers, odd or over-long data).
bool ParseSocketcandFrame(const std::string& body, SocketcandFrame& frame);

// "< send ID LEN BYTES >": 8 identifier digits for 29-bit frames, 3 for 11-bit.
std::string SocketcandSend(uint32_t identifier, uint8_t width, const uint8_t* data, size_t length);

}  // namespace va
