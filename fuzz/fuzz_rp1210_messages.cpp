// Feeds arbitrary adapter mailboxes through the RP1210 library's receive
// conversion, and arbitrary client messages through RP1210_SendMessage's
// checks, for every protocol of a connection.
//
// Input: a selector byte (bit 7: send checks, else receive; bits 0-2: the
// connection's protocol kind 0-5; bit 3: reversed timestamps; bit 4: the
// client protects a held address; bit 5: no data pointer), then for the
// receive side the mailbox fields (link code, width, destination, MID, first
// byte, identifier 4, time 4, length 2) and the data; for the send side the
// client message.
#include "rp1210/library.h"
#include "rp1210/protocols.h"
#include "rp1210/rp1210_defs.h"
#include "rp1210/send.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t selector = data[0];
    int kind = selector & 0x07;
    if (kind > 5) return 0;
    const uint8_t* rest = data + 1;
    size_t restSize = size - 1;

    if (selector & 0x80) {
        ClientRecord* client = NewRecord<ClientRecord>();
        client->plan.kind = static_cast<ProtocolKind>(kind);
        client->plan.channel = kind >= 4 ? 2 : 1;
        client->protectOn.store((selector & 0x10) != 0);
        client->addressHeld.store((selector & 0x10) != 0);
        int messageSize = static_cast<int>(restSize > 2000 ? 2000 : restSize);
        int16_t result = CheckClientMessage(client, restSize > 0 ? rest : nullptr, messageSize);
        const int16_t allowed[] = {0, 141, 157, 163};
        if (std::find(std::begin(allowed), std::end(allowed), result) == std::end(allowed)) std::abort();
        FreeRecord(client);
        return 0;
    }

    if (restSize < 17) return 0;
    DeviceConnection* connection = NewRecord<DeviceConnection>();
    connection->protocolKind = kind;
    connection->plan.reverseTimestamp = (selector & 0x08) != 0;
    Mailbox* mailbox = static_cast<Mailbox*>(std::calloc(1, sizeof(Mailbox)));
    mailbox->linkCode = rest[0];
    mailbox->identifierWidth = rest[1];
    mailbox->destination = rest[2];
    mailbox->j1708Header[1] = rest[3];
    mailbox->j1708Header[2] = rest[4];
    uint32_t identifier, time;
    uint16_t length;
    std::memcpy(&identifier, rest + 5, 4);
    std::memcpy(&time, rest + 9, 4);
    std::memcpy(&length, rest + 13, 2);
    mailbox->identifier = identifier;
    mailbox->receiveTime = time;
    mailbox->dataLength = length;
    // The adapter writes into the connection's receive buffer; the length it
    // reports is its own word.
    size_t bytes = restSize - 17 < kReceiveBufferSize ? restSize - 17 : kReceiveBufferSize;
    std::memcpy(connection->receiveBuffer, rest + 17, bytes);
    mailbox->data = (selector & 0x20) ? nullptr : connection->receiveBuffer;
    uint8_t message[kMessageRoom];
    int built = BuildReceivedMessage(connection, mailbox, message);
    if (built < 0 || built > kMessageRoom) std::abort();
    if (built > 0 && built < 6) std::abort();
    std::free(mailbox);
    FreeRecord(connection);
    return 0;
}
