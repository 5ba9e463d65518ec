#include "rp1210/rp1210_defs.h"

namespace {

const Rp1210CodeInfo kCodes[] = {
    {0, "NO_ERRORS", nullptr},
    {128, "ERR_DLL_NOT_INITIALIZED", "RP1210 DLL not initialized"},
    {129, "ERR_INVALID_CLIENT_ID", "Invalid client ID"},
    {130, "ERR_CLIENT_ALREADY_CONNECTED", "Client already connected"},
    {131, "ERR_CLIENT_AREA_FULL", "Client area full"},
    {132, "ERR_FREE_MEMORY", "Cannot free memory"},
    {133, "ERR_NOT_ENOUGH_MEMORY", "Not enough memory"},
    {134, "ERR_INVALID_DEVICE", "Invalid device"},
    {135, "ERR_DEVICE_IN_USE", "Device in use"},
    {136, "ERR_INVALID_PROTOCOL", "Invalid protocol"},
    {137, "ERR_TX_QUEUE_FULL", "Transmit queue full"},
    {138, "ERR_TX_QUEUE_CORRUPT", "Transmit queue corrupt"},
    {139, "ERR_RX_QUEUE_FULL", "Receive queue full"},
    {140, "ERR_RX_QUEUE_CORRUPT", "Receive queue corrupt"},
    {141, "ERR_MESSAGE_TOO_LONG", "Message too long"},
    {142, "ERR_HARDWARE_NOT_RESPONDING", "Hardware not responding"},
    {143, "ERR_COMMAND_NOT_SUPPORTED", "Command not supported"},
    {144, "ERR_INVALID_COMMAND", "Invalid command"},
    {145, "ERR_TXMESSAGE_STATUS", "Transmit message status"},
    {146, "ERR_ADDRESS_CLAIM_FAILED", "Address claim failed"},
    {147, "ERR_CANNOT_SET_PRIORITY", "Cannot set priority"},
    {148, "ERR_CLIENT_DISCONNECTED", "Client disconnected"},
    {149, "ERR_CONNECT_NOT_ALLOWED", "Connect not allowed"},
    {150, "ERR_CHANGE_MODE_FAILED", "Change Mode Failed"},
    {151, "ERR_BUS_OFF", "Bus off"},
    {152, "ERR_COULD_NOT_TX_ADDRESS_CLAIMED", "Could not transmit address claimed"},
    {153, "ERR_ADDRESS_LOST", "Address lost"},
    {154, "ERR_CODE_NOT_FOUND", "Code not found"},
    {155, "ERR_BLOCK_NOT_ALLOWED", "Block not allowed"},
    {156, "ERR_MULTIPLE_CLIENTS_CONNECTED", "Multiple clients Connected"},
    {157, "ERR_ADDRESS_NEVER_CLAIMED", "Address never claimed"},
    {158, "ERR_WINDOW_HANDLE_REQUIRED", "Window handle required"},
    {159, "ERR_MESSAGE_NOT_SENT", "Message not sent"},
    {160, "ERR_MAX_NOTIFY_EXCEEDED", "Max notify exceeded"},
    {161, "ERR_MAX_FILTERS_EXCEEDED", "Max filters exceeded"},
    {162, "ERR_HARDWARE_STATUS_CHANGE", "Hardware status change"},
    {163, nullptr, "Message format not supported"},
    {202, "ERR_INI_FILE_NOT_IN_WIN_DIR", nullptr},
    {204, "ERR_INI_SECTION_NOT_FOUND", nullptr},
    {205, "ERR_INI_KEY_NOT_FOUND", nullptr},
    {206, "ERR_INVALID_KEY_STRING", nullptr},
    {207, "ERR_DEVICE_NOT_SUPPORTED", nullptr},
    {208, "ERR_INVALID_PORT_PARAM", nullptr},
    {213, "ERR_COMMAND_TIMED_OUT", nullptr},
    {220, "ERR_OS_NOT_SUPPORTED", nullptr},
    {222, "ERR_COMMAND_QUEUE_IS_FULL", nullptr},
    {224, "ERR_CANNOT_SET_CAN_BAUDRATE", nullptr},
    {225, "ERR_CANNOT_CLAIM_BROADCAST_ADDRESS", nullptr},
    {226, "ERR_OUT_OF_ADDRESS_RESOURCES", nullptr},
    {227, "ERR_ADDRESS_RELEASE_FAILED", nullptr},
    {230, "ERR_COMM_DEVICE_IN_USE", nullptr},
    {441, "ERR_DATA_LINK_CONFLICT", nullptr},
    {453, "ERR_ADAPTER_NOT_RESPONDING", nullptr},
    {454, "ERR_CAN_BAUD_SET_NONSTANDARD", nullptr},
    {455, "ERR_MULTIPLE_CONNECTIONS_NOT_ALLOWED_NOW", nullptr},
    {456, "ERR_J1708_BAUD_SET_NONSTANDARD", nullptr},
    {457, "ERR_J1939_BAUD_SET_NONSTANDARD", nullptr},
    {458, "ERR_ISO15765_BAUD_SET_NONSTANDARD", nullptr},
    {999, "ERR_CODE_UNKNOWN", nullptr},
};

}  // namespace

const Rp1210CodeInfo* Rp1210Codes() { return kCodes; }
int Rp1210CodeCount() { return static_cast<int>(sizeof kCodes / sizeof kCodes[0]); }

const Rp1210CodeInfo* FindRp1210Code(int32_t code) {
    for (const Rp1210CodeInfo& entry : kCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}
