// The adapter test run: what "Run Test" does. With the vendor, device and
// protocol chosen in the main window it reports the library's file version,
// binds the library, connects one client, claims J1939 address 249 when the
// protocol is exactly "J1939", reports the library's versions, opens all
// filters, reads the bus for five seconds, disconnects, releases the library
// and shows the verdict. Runs synchronously on the user-interface thread.
#pragma once

#include "tool/adapter_test/checker_ui.h"
#include "tool/adapter_test/rp1210_api.h"

#include <cstdint>
#include <string>
#include <vector>

// The main window's fields that the run reads and writes.
struct AdapterTestState {
    std::string vendorKey;       // first word of the Vendor selection
    std::string deviceText;      // first word of the Device selection
    std::string protocolString;  // first word of the Protocol selection
    Rp1210Api api{};             // bound entry points and the library held
    int16_t clientId = -1;
    int32_t testSeconds = 5;     // never changed
    int32_t messageCount = 0;
    int32_t connectState = -1;   // -1 not run, 0 connected, 1 connect failed
    int32_t dataState = -1;      // -1 not run, 0 messages seen, 1 none seen
};

// The RP1210 protect-J1939-address command buffer (command 19): the address,
// the 8-byte J1939 NAME least significant byte first, and "block until done".
constexpr int kClaimRecordSize = 10;
extern const uint8_t kClaimRecordTemplate[kClaimRecordSize];
constexpr int16_t kCheckerJ1939Address = 249;

// Sends command 19 with the claim record for `address`; 1 when the library
// answered 0.
int ClaimJ1939Address(const Rp1210Api& api, int16_t clientId, int16_t address);

// The data-window lines of one received message of `count` bytes: "TS[%d]:"
// of the first four bytes (big-endian, shown signed), then "[%02X]" for each
// further byte. A line holds at most 999 characters, so a long message goes
// on in further lines of bytes only.
std::vector<std::string> FormatDataLines(const unsigned char* message, int count);

// The whole run, steps 1 to 17.
void RunAdapterTest(AdapterTestState& state, const CheckerUi& ui);
