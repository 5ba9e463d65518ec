// The exports of ZMXMRP32.DLL, on one process-wide Multiplexer.
//
// Every forwarded operation passes the adapter id (handle bits 0-8) and its
// other arguments, in order and width, to the same-named entry of the
// transport library of the handle's link kind, and returns its result.
#include "mux/multiplexer.h"

namespace {

Multiplexer& TheMultiplexer() {
    // Set up on first use; never torn down: transport libraries that are
    // still loaded stay loaded when the multiplexer is unloaded.
    static Multiplexer* mux = [] {
        static Multiplexer instance;
        MuxReset(instance);
        return &instance;
    }();
    return *mux;
}

}  // namespace

HV_EXPORT int32_t HV_CALL InitZMX(uint16_t* handle, int16_t adapterNumber) {
    return MuxInitZMX(TheMultiplexer(), handle, adapterNumber);
}
HV_EXPORT int32_t HV_CALL RestoreZMX(uint16_t handle) { return MuxRestoreZMX(TheMultiplexer(), handle); }

HV_EXPORT int32_t HV_CALL InitCommLink(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkSerial, handle, params);
}
HV_EXPORT int32_t HV_CALL InitPCCard(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkPcCard, handle, params);
}
HV_EXPORT int32_t HV_CALL InitTCP_IP(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkTcpIp, handle, params);
}
HV_EXPORT int32_t HV_CALL InitTCP_IPListen(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkTcpIp, handle, params, true);
}
HV_EXPORT int32_t HV_CALL InitUSBLink(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkUsb, handle, params);
}
HV_EXPORT int32_t HV_CALL RestoreCommLink(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkSerial, handle);
}
HV_EXPORT int32_t HV_CALL RestorePCCard(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkPcCard, handle);
}
HV_EXPORT int32_t HV_CALL RestoreTCP_IP(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkTcpIp, handle);
}
HV_EXPORT int32_t HV_CALL RestoreUSBLink(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkUsb, handle);
}

#define ZMX_DEFINE_NAME_ENTRY(entry, slot, file, use)                        \
    HV_EXPORT int32_t HV_CALL entry(const char* name) {                       \
        return MuxSetLibraryName(TheMultiplexer(), LibraryName::slot, name); \
    }
ZMX_NAME_ENTRIES(ZMX_DEFINE_NAME_ENTRY)
#undef ZMX_DEFINE_NAME_ENTRY
HV_EXPORT int32_t HV_CALL SetINIFile(const char* name) { return MuxSetIniFile(TheMultiplexer(), name); }

#define ZMX_DEFINE_FORWARDED(name, shape, serialN)                                                    \
    HV_EXPORT int32_t HV_CALL name(ZMX_PARAMS_##shape) {                                             \
        void* entry = nullptr;                                                                         \
        int32_t result = MuxResolveForwarded(TheMultiplexer(), handle, kFwd##name, &entry);            \
        if (result != kZmxOk) return result;                                                           \
        return reinterpret_cast<ZmxEntry##shape>(entry)(static_cast<uint16_t>(handle & kHandleIdMask) \
                                                            ZMX_ARGS_##shape);                         \
    }
ZMX_FORWARDED_OPERATIONS(ZMX_DEFINE_FORWARDED)
#undef ZMX_DEFINE_FORWARDED
