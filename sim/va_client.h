// Binding a virtual adapter module by file name, for tests: every transport
// entry and every control function resolved through the OS layer's loader.
//
//   VaModule va("ZMXS32.DLL");
//   if (!va.ok()) ...;                     // not loaded, or an entry missing
//   uint16_t handle = 0;
//   va.InitCommLink(&handle, &params);
//   va.VaInjectFrame(handle & 0x1FF, 3, 29, 0x18FEF100, data, 8);
#pragma once

#include "mux/zmx_entries.h"
#include "os/os.h"
#include "sim/va_control.h"

#include <string>
#include <vector>

class VaModule {
public:
    explicit VaModule(const char* fileName) : library_(OsLoadLibrary(fileName)) {
        if (library_ == nullptr) return;
        Bind(InitCommLink, "InitCommLink");
        Bind(InitPCCard, "InitPCCard");
        Bind(InitTCP_IP, "InitTCP_IP");
        Bind(InitTCP_IPListen, "InitTCP_IPListen");
        Bind(InitUSBLink, "InitUSBLink");
        Bind(RestoreCommLink, "RestoreCommLink");
        Bind(RestorePCCard, "RestorePCCard");
        Bind(RestoreTCP_IP, "RestoreTCP_IP");
        Bind(RestoreUSBLink, "RestoreUSBLink");
#define VA_BIND_FORWARDED(name, shape, serialN) Bind(name, #name);
        ZMX_FORWARDED_OPERATIONS(VA_BIND_FORWARDED)
#undef VA_BIND_FORWARDED
#define VA_BIND_CONTROL(name) Bind(name, #name);
        VA_CONTROL_FUNCTIONS(VA_BIND_CONTROL)
#undef VA_BIND_CONTROL
    }
    ~VaModule() {
        if (library_ != nullptr) OsFreeLibrary(library_);
    }
    VaModule(const VaModule&) = delete;
    VaModule& operator=(const VaModule&) = delete;

    // Loaded, with every entry found.
    bool ok() const { return library_ != nullptr && missing_.empty(); }
    const std::vector<std::string>& missing() const { return missing_; }

    ZmxOpenEntry InitCommLink = nullptr;
    ZmxOpenEntry InitPCCard = nullptr;
    ZmxOpenEntry InitTCP_IP = nullptr;
    ZmxOpenEntry InitTCP_IPListen = nullptr;
    ZmxOpenEntry InitUSBLink = nullptr;
    ZmxRestoreEntry RestoreCommLink = nullptr;
    ZmxRestoreEntry RestorePCCard = nullptr;
    ZmxRestoreEntry RestoreTCP_IP = nullptr;
    ZmxRestoreEntry RestoreUSBLink = nullptr;
#define VA_FORWARDED_MEMBER(name, shape, serialN) ZmxEntry##shape name = nullptr;
    ZMX_FORWARDED_OPERATIONS(VA_FORWARDED_MEMBER)
#undef VA_FORWARDED_MEMBER
#define VA_CONTROL_MEMBER(name) decltype(&::name) name = nullptr;
    VA_CONTROL_FUNCTIONS(VA_CONTROL_MEMBER)
#undef VA_CONTROL_MEMBER

private:
    template <class Fn>
    void Bind(Fn& target, const char* name) {
        target = reinterpret_cast<Fn>(OsGetProcAddress(library_, name));
        if (target == nullptr) missing_.push_back(name);
    }

    OsLibrary* library_;
    std::vector<std::string> missing_;
};
