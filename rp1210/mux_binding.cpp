#include "rp1210/mux_binding.h"

#include "rp1210/library.h"
#include "rp1210/rp1210_defs.h"

#include <cstring>

namespace {

template <class Fn>
bool Bind(OsLibrary* module, const char* name, Fn* entry) {
    *entry = reinterpret_cast<Fn>(OsGetProcAddress(module, name));
    return *entry != nullptr;
}

}  // namespace

bool CreateAdapterCallLock_openLocked() {
    if (Lib().adapterCallLock.load() != nullptr) return true;
    OsMutex* lock = OsCreateMutex();
    if (lock == nullptr) return false;
    Lib().adapterCallLock.store(lock);
    return true;
}

void DestroyAdapterCallLock_openLocked() {
    OsMutex* lock = Lib().adapterCallLock.exchange(nullptr);
    if (lock != nullptr) OsDestroyMutex(lock);
}

bool AdapterCallLockExists() { return Lib().adapterCallLock.load() != nullptr; }

AdapterCallGuard::AdapterCallGuard(unsigned milliseconds) : guard_(Lib().adapterCallLock.load(), milliseconds) {}

int16_t BindMultiplexer(MuxBinding* binding) {
    std::memset(binding, 0, sizeof *binding);
    OsLibrary* module = OsLoadLibrary("ZMXMRP32.DLL");
    if (module == nullptr) return kErrMultiplexerNotBound;
    MuxEntries& e = binding->entries;
    bool names = Bind(module, "SetINIFile", &e.SetINIFile);
    names = Bind(module, "SetSerialDLL", &e.SetSerialDLL) && names;
    names = Bind(module, "SetSerialHDLL", &e.SetSerialHDLL) && names;
    names = Bind(module, "SetTcp_IpDLL", &e.SetTcp_IpDLL) && names;
    names = Bind(module, "SetUsb2KDLL", &e.SetUsb2KDLL) && names;
    names = Bind(module, "SetUsb98DLL", &e.SetUsb98DLL) && names;
    names = Bind(module, "SetIsaDLL", &e.SetIsaDLL) && names;
    Bind(module, "SetWirelessDLL", &e.SetWirelessDLL);
    bool operations = Bind(module, "InitDataLink", &e.InitDataLink);
    operations = Bind(module, "CheckDataLink", &e.CheckDataLink) && operations;
    operations = Bind(module, "LoadZMXBuffer", &e.LoadZMXBuffer) && operations;
    operations = Bind(module, "ReadZMXBuffer", &e.ReadZMXBuffer) && operations;
    operations = Bind(module, "LoadMailBox", &e.LoadMailBox) && operations;
    operations = Bind(module, "UnloadMailBox", &e.UnloadMailBox) && operations;
    operations = Bind(module, "TransmitMailBoxAsync", &e.TransmitMailBoxAsync) && operations;
    operations = Bind(module, "TransmitMailBox", &e.TransmitMailBox) && operations;
    operations = Bind(module, "UpdateTransmitMailBox", &e.UpdateTransmitMailBox) && operations;
    operations = Bind(module, "RequestTimerValue", &e.RequestTimerValue) && operations;
    operations = Bind(module, "UpdateTransmitMailBoxAsync", &e.UpdateTransmitMailBoxAsync) && operations;
    operations = Bind(module, "ConfigureTransportProtocol", &e.ConfigureTransportProtocol) && operations;
    operations = Bind(module, "InitZMX", &e.InitZMX) && operations;
    operations = Bind(module, "RestoreZMX", &e.RestoreZMX) && operations;
    operations = Bind(module, "ResetZMX", &e.ResetZMX) && operations;
    if (!names || !operations) {
        OsFreeLibrary(module);
        std::memset(binding, 0, sizeof *binding);
        return kErrMultiplexerNotBound;
    }
    {
        // The multiplexer's names are process-wide; every binding sets them
        // again, in this order.
        AdapterCallGuard guard(kAdapterCallWait);
        if (!guard.held()) {
            OsFreeLibrary(module);
            std::memset(binding, 0, sizeof *binding);
            return kErrHardwareNotResponding;
        }
        e.SetSerialDLL("ZMXSRP32.DLL");
        e.SetIsaDLL("ZMXIRP32.DLL");
        e.SetTcp_IpDLL("ZMXTRP32.DLL");
        e.SetSerialHDLL("ZMXHRP32.DLL");
        e.SetUsb2KDLL("ZMXURP2K.DLL");
        e.SetUsb98DLL("ZMXURP98.DLL");
        e.SetINIFile("HVLNK32.ini");
        if (e.SetWirelessDLL != nullptr) e.SetWirelessDLL("ZMXWRP32.DLL");
    }
    binding->module = module;
    return kRp1210Ok;
}

void UnbindMultiplexer(MuxBinding* binding) {
    if (binding->module != nullptr) OsFreeLibrary(binding->module);
    std::memset(binding, 0, sizeof *binding);
}
