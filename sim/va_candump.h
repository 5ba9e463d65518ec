// Reading candump log files, the traffic source of the virtual adapter.
//
// One frame per line, as candump -l writes them:
//   (1708107535.406793) can1 18FF1080#000000FFFFFFFD00
// The identifier is hexadecimal: 8 digits (or more than 3) make a 29-bit
// extended identifier, up to 3 digits an 11-bit standard one. The data is 0
// to 8 bytes as hexadecimal pairs. Lines that are not such a frame (remote
// frames "#R", CAN FD "##", comments, damaged lines) are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CandumpFrame {
    int64_t timeMicros;   // the line's timestamp in microseconds
    uint32_t identifier;  // within its width
    uint8_t width;        // 29 or 11
    uint8_t length;       // 0..8
    uint8_t data[8];
};

// Parses one line; false when it holds no frame.
bool ParseCandumpLine(const char* line, CandumpFrame* frame);

// Reads every frame of a file in file order (timestamps as written, not
// made relative). Empty when the file cannot be read.
std::vector<CandumpFrame> ReadCandumpFile(const std::string& path);
