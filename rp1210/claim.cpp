// J1939 address protection.
#include "rp1210/claim.h"

#include "rp1210/commands.h"

void ClaimBookkeeping(DeviceConnection* connection, const uint8_t* message, int length) {
    // Nothing to keep until a client protects an address (command 19).
    (void)connection, (void)message, (void)length;
}

void ReleaseClientClaim(ClientRecord* client) {
    client->claimContext = nullptr;
    client->claimEntry = nullptr;
}

void ClaimFrameComplete(Mailbox* mailbox) { (void)mailbox; }

ClaimMemory RememberClaim(ClientRecord* client) {
    (void)client;
    return ClaimMemory{false, 0, {0}};
}

int16_t ReclaimAddress(ClientRecord* client, const ClaimMemory& memory) {
    (void)client, (void)memory;
    return 0;
}

int16_t ProtectAddress(ClientRecord* client, const uint8_t* data, int16_t size) {
    (void)client, (void)data, (void)size;
    return 143;  // address protection is not built yet
}
