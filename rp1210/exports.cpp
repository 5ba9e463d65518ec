// The nine RP1210A exports of HVLNK32.DLL: argument checks and the client
// lookup; the work is done by the files of each responsibility.
//
// Every export that takes a client id holds a reference on the client for
// the whole call, so a disconnect on another thread never frees the record
// under it. Careless arguments get an error code: a null protocol text is
// an invalid protocol (136); a null message, or one shorter than its
// protocol's header, is a message format not supported (163); null caller
// buffers and sizes that do not fit are an invalid command (144), except
// where a call reports buffer sizes itself (RP1210_ReadMessage: -141).
#include "rp1210/hvlnk32.h"

#include "rp1210/clients.h"
#include "rp1210/commands.h"
#include "rp1210/receive.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/send.h"
#include "rp1210/status.h"

#include <cstring>

namespace {

// Holds a reference on a looked-up client for one export call.
class ClientCall {
public:
    explicit ClientCall(int16_t clientId) : client_(AcquireClient(clientId)) {}
    ~ClientCall() { ReleaseClient(client_); }
    ClientCall(const ClientCall&) = delete;
    ClientCall& operator=(const ClientCall&) = delete;
    ClientRecord* get() const { return client_; }

private:
    ClientRecord* client_;
};

void CopyText(char* out, const char* text) {
    if (out != nullptr) std::memcpy(out, text, std::strlen(text) + 1);
}

}  // namespace

HV_EXPORT int16_t HV_CALL RP1210_ClientConnect(void* window, int16_t deviceId, const char* protocol,
                                                int32_t txBufferSize, int32_t rxBufferSize, int16_t appPacketizing) {
    return ConnectClient(window, deviceId, protocol, txBufferSize, rxBufferSize, appPacketizing);
}

HV_EXPORT int16_t HV_CALL RP1210_ClientDisconnect(int16_t clientId) { return DisconnectClient(clientId); }

HV_EXPORT int16_t HV_CALL RP1210_ReadMessage(int16_t clientId, char* buffer, int16_t bufferSize, int16_t blockOnRead) {
    ClientCall call(clientId);
    if (call.get() == nullptr) return -kErrInvalidClientId;
    return ReadClientMessage(call.get(), reinterpret_cast<uint8_t*>(buffer), bufferSize, blockOnRead != 0);
}

HV_EXPORT int16_t HV_CALL RP1210_SendMessage(int16_t clientId, char* message, int16_t messageSize, int16_t notifyOnTx,
                                              int16_t blockOnSend) {
    ClientCall call(clientId);
    if (call.get() == nullptr) return kErrInvalidClientId;
    return SendClientMessage(call.get(), reinterpret_cast<const uint8_t*>(message), messageSize, notifyOnTx != 0,
                             blockOnSend != 0);
}

HV_EXPORT int16_t HV_CALL RP1210_SendCommand(int16_t commandNumber, int16_t clientId, char* commandData,
                                              int16_t commandSize) {
    ClientRecord* client = AcquireClient(clientId);
    if (client == nullptr) return kErrInvalidClientId;
    int16_t result =
        ExecuteCommand(commandNumber, client, reinterpret_cast<const uint8_t*>(commandData), commandSize);
    // A reset device leaves its client disconnected, as RP1210_ClientDisconnect
    // would; the teardown takes this call's reference with the record.
    if (commandNumber == kCmdResetDevice && result == kRp1210Ok) return DisconnectHeldClient(client);
    ReleaseClient(client);
    return result;
}

HV_EXPORT int16_t HV_CALL RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor) {
    CopyText(dllMajor, kDllMajor);
    CopyText(dllMinor, kDllMinor);
    CopyText(apiMajor, kApiMajor);
    CopyText(apiMinor, kApiMinor);
    return kRp1210Ok;
}

HV_EXPORT int16_t HV_CALL RP1210_ReadDetailedVersion(int16_t clientId, char* apiVersion, char* dllVersion,
                                                      char* firmwareVersion) {
    ClientCall call(clientId);
    if (call.get() == nullptr) return kErrInvalidClientId;
    if (apiVersion == nullptr || dllVersion == nullptr || firmwareVersion == nullptr) return kErrInvalidCommand;
    return ReadDetailedVersion(call.get(), apiVersion, dllVersion, firmwareVersion);
}

HV_EXPORT int16_t HV_CALL RP1210_GetErrorMsg(int16_t errorCode, char* description) {
    const Rp1210CodeInfo* code = FindRp1210Code(errorCode);
    if (code == nullptr || code->text == nullptr) return kErrCodeNotFound;
    if (description == nullptr) return kErrInvalidCommand;
    CopyText(description, code->text);
    return kRp1210Ok;
}

HV_EXPORT int16_t HV_CALL RP1210_GetHardwareStatus(int16_t clientId, char* info, int16_t infoSize,
                                                    int16_t blockOnRequest) {
    (void)blockOnRequest;  // the status is read at once
    ClientCall call(clientId);
    if (call.get() == nullptr) return kErrInvalidClientId;
    if (call.get()->linkLost.load()) return kErrHardwareNotResponding;
    if (infoSize != 16 || info == nullptr) return kErrInvalidCommand;
    return ReadHardwareStatus(call.get(), reinterpret_cast<uint8_t*>(info));
}
