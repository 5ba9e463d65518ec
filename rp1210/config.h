// The library's configuration: what one RP1210_ClientConnect reads from the
// vendor INI "HVLNK32.INI" and the adapter INI "HV_ZMX32.INI", and the
// data-link set-up made from it.
//
// Nothing is cached: every connect reads both files again through the OS
// layer's profile reader (bare names: the Windows directory). Values are read
// into 80-byte texts with the default "INVALID", which counts as missing.
#pragma once

#include "mux/zmx_records.h"

#include <cstdint>

constexpr int kConfigTextSize = 80;

// Protocol kinds of a connection (what protocols.h keeps one row of
// operations for).
enum ProtocolKind : int32_t {
    kKindJ1939 = 0,      // J1939, channel 1
    kKindJ1708 = 1,      // J1708 and PLC
    kKindCan = 2,        // CAN, channel 1
    kKindJ1850 = 3,
    kKindJ1939Ch2 = 4,
    kKindCanCh2 = 5,
};
constexpr int kProtocolKinds = 6;

// One connect's settings. Built zero-filled; copied whole into a new
// connection, which keeps the first client's copy.
struct ConnectConfig {
    char vendorName[kConfigTextSize];
    int16_t deviceId;  // the connect's device id, or the adapter a "DI" reference names
    char deviceName[kConfigTextSize];
    char deviceDescription[kConfigTextSize];
    char deviceParams[kConfigTextSize];
    char protocolName[kConfigTextSize];  // the connect's protocol text, at most 79 characters
    char protocolDescription[kConfigTextSize];
    char protocolParams[kConfigTextSize];
    char transportParams[kConfigTextSize];  // read, not used further
    int16_t appPacketizing;
    int16_t j1708Mode;  // 0 at connect; command 15 changes the connection's copy
    char messageString[kConfigTextSize];
    char errorString[kConfigTextSize];
    uint8_t dataLinkSetup[sizeof(DataLinkSetup)];  // the set-up sent to the adapter
};

// What the protocol name and "ProtocolParams" ask for, checked before the
// adapter is opened. The setup bytes themselves also depend on the adapter
// type, which is known only once the adapter is open (BuildSetupBytes).
struct ProtocolPlan {
    ProtocolKind kind;         // the protocol and its channel
    bool plc;                  // PLC (kind J1708): its own rate and sharing rules
    int channel;               // 1 or 2 (J1939 and CAN)
    int rawCount;              // "0x" values found (0-5)
    uint8_t raw[5];            // their low bytes
    bool hasRaw;               // "0x" present
    uint8_t baudCode;          // J1939/CAN without "0x": 0x41 (250k) or 0x40 (500k)
    bool noTimestamp;          // "NO_TIMESTAMP" (J1939, CAN)
    bool fastTransport;        // "FAST_TRANSPORT" (J1939)
    bool j1708At19200, j1708At38400, plcAt9600;
    bool reverseTimestamp;     // "REVERSE_TIMESTAMP" in deviceParams
};

// Reads both INI files for `config` (deviceId, protocolName and
// appPacketizing set by the caller) in the order of the connect: vendor
// section, "Protocols" walk, device section, adapter reference, heartbeat.
// Returns 0, 136 (vendor or protocol section) or 134 (device section).
// `heartbeat` receives the [Heartbeat] "HeartbeatFlag" value once that step
// is reached.
int16_t ReadConnectConfig(ConnectConfig* config, int16_t* heartbeat);

// Checks the protocol name and parameters of a read config: 0 with the plan,
// or 136.
int16_t PlanProtocol(const ConnectConfig& config, ProtocolPlan* plan);

// Setup bytes 1-5 of the data link for the plan, the adapter type, the
// config's appPacketizing and j1708Mode.
void BuildSetupBytes(const ProtocolPlan& plan, const ConnectConfig& config, int32_t adapterType, uint8_t bytes[5]);

// Whether a second data link for the same device and protocol name may be
// opened beside one with `existing` settings (equal protocol parameters
// assumed): J1939 with equal appPacketizing, J1708 while the existing one's
// J1708 mode is off, CAN, J1850 and PLC always.
bool SecondDataLinkAllowed(const ProtocolPlan& plan, const ConnectConfig& existing, const ConnectConfig& requested);

// Whether `text` contains `word` (case-sensitive).
bool Contains(const char* text, const char* word);
