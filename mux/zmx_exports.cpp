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

#define ZMX_EXPORT extern "C" __attribute__((visibility("default")))

ZMX_EXPORT int32_t ZMX_CALL InitZMX(uint16_t* handle, int16_t adapterNumber) {
    return MuxInitZMX(TheMultiplexer(), handle, adapterNumber);
}
ZMX_EXPORT int32_t ZMX_CALL RestoreZMX(uint16_t handle) { return MuxRestoreZMX(TheMultiplexer(), handle); }

ZMX_EXPORT int32_t ZMX_CALL InitCommLink(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkSerial, handle, params);
}
ZMX_EXPORT int32_t ZMX_CALL InitPCCard(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkPcCard, handle, params);
}
ZMX_EXPORT int32_t ZMX_CALL InitTCP_IP(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkTcpIp, handle, params);
}
ZMX_EXPORT int32_t ZMX_CALL InitTCP_IPListen(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkTcpIp, handle, params, true);
}
ZMX_EXPORT int32_t ZMX_CALL InitUSBLink(uint16_t* handle, LinkParams* params) {
    return MuxOpenLink(TheMultiplexer(), kLinkUsb, handle, params);
}
ZMX_EXPORT int32_t ZMX_CALL RestoreCommLink(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkSerial, handle);
}
ZMX_EXPORT int32_t ZMX_CALL RestorePCCard(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkPcCard, handle);
}
ZMX_EXPORT int32_t ZMX_CALL RestoreTCP_IP(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkTcpIp, handle);
}
ZMX_EXPORT int32_t ZMX_CALL RestoreUSBLink(uint16_t handle) {
    return MuxRestoreLink(TheMultiplexer(), kLinkUsb, handle);
}

ZMX_EXPORT int32_t ZMX_CALL SetSerialDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::Serial, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetSerialHDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::SerialH, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetSerialNDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::SerialN, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetIsaDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::Isa, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetTcp_IpDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::TcpIp, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetUsb98DLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::Usb98, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetUsb2KDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::Usb2K, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetWirelessDLL(const char* name) {
    return MuxSetLibraryName(TheMultiplexer(), LibraryName::Wireless, name);
}
ZMX_EXPORT int32_t ZMX_CALL SetINIFile(const char* name) { return MuxSetIniFile(TheMultiplexer(), name); }

#define ZMX_DEFINE_FORWARDED(name, shape, serialN)                                                    \
    ZMX_EXPORT int32_t ZMX_CALL name(ZMX_PARAMS_##shape) {                                             \
        void* entry = nullptr;                                                                         \
        int32_t result = MuxResolveForwarded(TheMultiplexer(), handle, kFwd##name, &entry);            \
        if (result != kZmxOk) return result;                                                           \
        return reinterpret_cast<ZmxEntry##shape>(entry)(static_cast<uint16_t>(handle & kHandleIdMask) \
                                                            ZMX_ARGS_##shape);                         \
    }
ZMX_FORWARDED_OPERATIONS(ZMX_DEFINE_FORWARDED)
#undef ZMX_DEFINE_FORWARDED
