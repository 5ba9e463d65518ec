// The RP1210 catalogue: the checker's image of RP121032.INI and of every
// vendor INI file it names, and the questions the main window and the repair
// dialog ask of it.
//
// Every text and parsed INI structure of a load comes from SafeAlloc and lives
// until ReleaseCatalogue. A copy of the record (the repair dialog works on
// one) shares those texts and owns nothing. An absent INI key is a null text.
#pragma once

#include "tool/config/ini_reader.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxVendors = 30;
constexpr int kMaxDevices = 150;
constexpr int kMaxProtocols = 20;
constexpr int kVendorInfoKeyCount = 27;

// The [VendorInformation] keys in the order they are read and stored.
extern const char* const kVendorInfoKeys[kVendorInfoKeyCount];
enum VendorInfo {
    kVendorName = 0,
    kVendorMessageString = 9,
    kVendorErrorString = 10,
    kVendorDevices = 12,
    kVendorProtocols = 13,
};

struct DeviceRecord {
    int16_t deviceId;
    char* description;  // DeviceDescription up to its last comma (all of it without one)
    char* name;         // DeviceName
    char* params;       // DeviceParams
    char* connection;   // after the last comma; "Auto" without one; null without DeviceDescription
};

struct ProtocolRecord {
    char* description;     // ProtocolDescription
    char* protocolString;  // ProtocolString
    char* params;          // ProtocolParams
    char* speed;           // ProtocolSpeed
    char* deviceList;      // Devices of the protocol section, as read
    int16_t protocolId;
};

struct VendorRecord {
    IniFile vendorIni;  // path in lower case, and the parsed file
    char* vendorInfo[kVendorInfoKeyCount];
    int16_t deviceCount;
    DeviceRecord devices[kMaxDevices];
    int16_t protocolCount;
    ProtocolRecord protocols[kMaxProtocols];
};

struct RP1210Catalogue {
    IniFile mainIni;
    int16_t vendorCount;
    VendorRecord vendors[kMaxVendors];
};

// Clears `catalogue` (freeing an earlier load), reads RP121032.INI and every
// vendor INI file it names from the Windows directory, and returns 1; returns
// 0 when the main INI or its APIImplementations key is missing. Every fault
// found is shown with ShowConfigMessage; loading goes on after each box.
int LoadCatalogue(RP1210Catalogue* catalogue);

// Frees every block of the load, newest first, and zeroes the catalogue.
void ReleaseCatalogue(RP1210Catalogue* catalogue);

// ---- Queries ---------------------------------------------------------------

// File name of the vendor INI path (after the last backslash) up to its first
// '.', in upper case: "...\\hvlnk32.ini" gives "HVLNK32". It is also the
// vendor's RP1210 library name without extension.
std::string VendorKey(const VendorRecord& vendor);

// "%-8.8s - %s" of the key and Name, trimmed; an absent Name shows as empty.
std::string VendorListEntry(const VendorRecord& vendor);

// "%3d - %s - %s" of id, description and connection; absent texts show empty.
std::string DeviceListEntry(const DeviceRecord& device);

// The first vendor whose key equals `key` exactly, or nullptr.
const VendorRecord* FindVendorByKey(const RP1210Catalogue& catalogue, const char* key);

// The protocol strings offered for device `deviceId` of the vendors keyed
// `vendorKey`, in catalogue order, before the lists' begins-with rule. A
// protocol without a device list, or without a protocol string, is offered
// for no device.
std::vector<const char*> ProtocolsForDevice(const RP1210Catalogue& catalogue, const char* vendorKey,
                                            int deviceId);

const char* MainIniPath(const RP1210Catalogue& catalogue);
int VendorCount(const RP1210Catalogue& catalogue);
const char* VendorIniPath(const RP1210Catalogue& catalogue, int vendorIndex);

// ---- The three lists of the main window ------------------------------------

// A drop-down list as the main window holds it: entries in the order the list
// keeps them (sorted lists order without regard to case) and the current one.
struct ChoiceList {
    bool sorted = false;
    std::vector<std::string> items;
    int current = -1;  // -1: no current item
};

// Whether an entry of the list begins with `text`, compared without regard
// to case.
bool ListHasEntryBeginningWith(const ChoiceList& list, const char* text);

// Adds `text` unless an entry already begins with it; keeps a sorted list
// sorted. Returns whether it was added.
bool AddListEntry(ChoiceList& list, const std::string& text);

// The first word of the current entry, or `previous` when there is none.
std::string TakeSelection(const ChoiceList& list, const std::string& previous);

// Fill the lists as the main window does; each empties its list first and
// makes the first entry current.
void FillVendorList(const RP1210Catalogue& catalogue, ChoiceList& vendorList);
void FillDeviceList(const RP1210Catalogue& catalogue, const char* vendorKey, ChoiceList& deviceList);
void FillProtocolList(const RP1210Catalogue& catalogue, const char* vendorKey, const char* deviceText,
                      ChoiceList& protocolList);
