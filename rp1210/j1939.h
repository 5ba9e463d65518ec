// J1939 numbers the library works with, by name (SAE J1939-21 and -81).
#pragma once

#include <cstdint>

namespace j1939 {

// PDU formats (the middle byte of a PGN) of the groups the library handles.
constexpr uint8_t kPfRequest = 0xEA;          // Request, PGN 0xEA00
constexpr uint8_t kPfAddressClaimed = 0xEE;   // Address Claimed, PGN 0xEE00
// PDU formats below this one are PDU1: their PDU specific byte is a destination.
constexpr uint8_t kFirstPdu2Format = 0xF0;

// Addresses.
constexpr uint8_t kGlobalAddress = 0xFF;
constexpr uint8_t kNullAddress = 0xFE;  // a node that could not claim one
// The address a protect command gives to let the protected one go.
constexpr uint8_t kReleaseAddress = 0xFF;

// Priority of the network management groups (Address Claimed, Request).
constexpr uint8_t kControlPriority = 6;

// A PGN's PDU format and whether its PDU specific byte is a destination.
inline bool IsPdu1(uint8_t pduFormat) { return pduFormat < kFirstPdu2Format; }

// The 29-bit identifier of a J1939 message in the RP1210 layout: PGN (3
// bytes, least significant first), how/priority (bits 0-2 priority),
// source, destination.
inline uint32_t Identifier(const uint8_t* m) {
    uint32_t id = static_cast<uint32_t>(m[3]) << 26 | static_cast<uint32_t>(m[2]) << 24 |
                  static_cast<uint32_t>(m[1]) << 16 | static_cast<uint32_t>(m[0]) << 8 | m[4];
    if (IsPdu1(m[1])) id |= static_cast<uint32_t>(m[5]) << 8;
    return id;
}

}  // namespace j1939
