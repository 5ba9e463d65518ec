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
#define BIND_NAME_ENTRY(entry, slot, file, use) \
    if (use >= 0) names = (Bind(module, #entry, &e.names[kName##entry]) || use == 0) && names;
    ZMX_NAME_ENTRIES(BIND_NAME_ENTRY)
#undef BIND_NAME_ENTRY
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
        // again: the needed ones, the adapter INI, then those it may lack.
        AdapterCallGuard guard(kAdapterCallWait);
        if (!guard.held()) {
            OsFreeLibrary(module);
            std::memset(binding, 0, sizeof *binding);
            return kErrHardwareNotResponding;
        }
#define CALL_NAME_ENTRY(entry, slot, file, use) \
    if (use == 1) e.names[kName##entry](file);
        ZMX_NAME_ENTRIES(CALL_NAME_ENTRY)
#undef CALL_NAME_ENTRY
        e.SetINIFile("HVLNK32.ini");
#define CALL_OPTIONAL_NAME_ENTRY(entry, slot, file, use) \
    if (use == 0 && e.names[kName##entry] != nullptr) e.names[kName##entry](file);
        ZMX_NAME_ENTRIES(CALL_OPTIONAL_NAME_ENTRY)
#undef CALL_OPTIONAL_NAME_ENTRY
    }
    binding->module = module;
    return kRp1210Ok;
}

void UnbindMultiplexer(MuxBinding* binding) {
    if (binding->module != nullptr) OsFreeLibrary(binding->module);
    std::memset(binding, 0, sizeof *binding);
}
