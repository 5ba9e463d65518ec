// The receive path through the exports: the message an application reads
// for each frame the adapter delivers, rings, filters and their adapter
// mailboxes, blocking reads and the window message.
#include "rp1210/clients.h"
#include "rp1210/connection.h"
#include "tests/support/library_fixture.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

class ReceiveTest : public LibraryTest {
protected:
    // Connects on the USB device with `protocol` (its parameters `params`),
    // opens every receive path and returns the client id.
    int16_t Open(const char* protocol, const char* params = "", const char* deviceParams = "USB",
                 int32_t ring = 0, void* window = nullptr) {
        WriteVendorIni(WithProtocol(protocol, params, "1").Set("DeviceInformation1", "DeviceParams", deviceParams));
        int16_t id = Connect(kUsbDevice, protocol, 0, ring, window);
        EXPECT_GE(id, 1);
        EXPECT_EQ(RP1210_SendCommand(3, id, nullptr, 0), 0);
        return id;
    }
    // Delivers exactly these mailbox contents to the first receive mailbox.
    void Deliver(const VaDelivery& delivery, int which = 0) {
        std::vector<VaMailboxInfo> boxes = Mailboxes(usb_, 0);
        ASSERT_GT(boxes.size(), static_cast<size_t>(which));
        ASSERT_EQ(usb_.VaDeliverRaw(boxes[static_cast<size_t>(which)].mailbox, &delivery), 0);
        Idle(usb_);
    }
    static VaDelivery Frame(uint32_t identifier, uint8_t width, std::vector<uint8_t> data, uint32_t time = 0x01020304) {
        VaDelivery d;
        std::memset(&d, 0, sizeof d);
        d.identifier = identifier;
        d.identifierWidth = width;
        d.receiveTime = time;
        d.dataLength = static_cast<uint16_t>(data.size());
        d.bytes = static_cast<uint16_t>(data.size());
        std::memcpy(d.data, data.data(), data.size());
        return d;
    }
    void Command(int16_t id, int16_t command, std::vector<uint8_t> data) {
        ASSERT_EQ(RP1210_SendCommand(command, id, reinterpret_cast<char*>(data.data()),
                                     static_cast<int16_t>(data.size())), 0);
    }
};

TEST_F(ReceiveTest, MessageLayoutOfEachProtocol) {
    const std::vector<uint8_t> eight = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    VaDelivery j1708 = Frame(0, 0, {0x01, 0x02});
    j1708.j1708Mid = 0x80;
    j1708.j1708First = 0xBE;
    VaDelivery j1850 = Frame(0x00ABCDEF, 24, {0x01, 0x02, 0x03});
    VaDelivery reassembled = Frame(0x18EF2500 | 0x31, 29, std::vector<uint8_t>(20, 0x5A));
    reassembled.destination = 0x42;
    reassembled.bytes = 8;  // the pass-all mailbox's buffer holds 8: the rest is the buffer's
    const struct {
        const char* what;
        const char* protocol;
        const char* deviceParams;
        VaDelivery delivery;
        const char* expected;  // hex, or the length for long messages
    } cases[] = {
        {"J1939 PDU2 (PGN 0xFECA) from 0x00, priority 6", "J1939", "USB", Frame(0x18FECA00, 29, eight),
         "01 02 03 04 ca fe 00 06 00 00 11 22 33 44 55 66 77 88"},
        {"J1939 PDU1 to 0x25", "J1939", "USB", Frame(0x18EF2531, 29, eight),
         "01 02 03 04 00 ef 00 06 31 25 11 22 33 44 55 66 77 88"},
        {"J1939 data page and priority 3", "J1939", "USB", Frame(0x0DF00400, 29, {0xAA}),
         "01 02 03 04 04 f0 01 03 00 00 aa"},
        {"reversed timestamp", "J1939", "USB,REVERSE_TIMESTAMP", Frame(0x18FECA00, 29, {0x01}),
         "04 03 02 01 ca fe 00 06 00 00 01"},
        {"CAN 11-bit", "CAN", "USB", Frame(0x123, 11, {0x01, 0x02, 0x03}), "01 02 03 04 00 01 23 01 02 03"},
        {"CAN 29-bit", "CAN", "USB", Frame(0x18FEF100, 29, {0x09}), "01 02 03 04 01 18 fe f1 00 09"},
        {"J1708", "J1708", "USB", j1708, "01 02 03 04 80 be 01 02"},
        {"PLC", "PLC", "USB", j1708, "01 02 03 04 80 be 01 02"},
        {"J1850", "J1850", "USB", j1850, "01 02 03 04 03 00 03 00 ab cd ef 01 02 03"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int16_t id = Open(c.protocol, "", c.deviceParams);
        Deliver(c.delivery);
        int result = 0;
        EXPECT_EQ(Hex(Read(id, &result)), c.expected);
        EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    }
    // A reassembled message names its destination in the mailbox.
    int16_t id = Open("J1939");
    Deliver(reassembled);
    std::vector<uint8_t> message = Read(id);
    ASSERT_EQ(message.size(), 30u);
    EXPECT_EQ(Hex(std::vector<uint8_t>(message.begin() + 4, message.begin() + 10)), "25 ef 00 06 31 42");
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
}

TEST_F(ReceiveTest, EchoByteAndWhatTheAdapterSaysAboutLengths) {
    int16_t id = Open("J1939");
    Command(id, 16, {1});
    Deliver(Frame(0x18FECA00, 29, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(Hex(Read(id)), "01 02 03 04 00 ca fe 00 06 00 00 11 22 33 44 55 66 77 88");
    Command(id, 16, {'0'});
    // Lengths beyond the receive buffer or the message room: dropped and counted.
    ClientRecord* client = AcquireClient(id);
    ASSERT_NE(client, nullptr);
    uint32_t droppedBefore = client->connection.load()->droppedFrames.load();
    for (uint16_t length : {uint16_t{5000}, uint16_t{2049}, uint16_t{1792}}) {
        VaDelivery big = Frame(0x18FECA00, 29, {1, 2, 3});
        big.dataLength = length;
        Deliver(big);
        int result = 9;
        EXPECT_TRUE(Read(id, &result).empty()) << length;
        EXPECT_EQ(result, 0) << length;
    }
    EXPECT_EQ(client->connection.load()->droppedFrames.load() - droppedBefore, 3u);
    VaDelivery room = Frame(0x18FECA00, 29, {1, 2, 3});
    room.dataLength = 1791;  // 1801 bytes with the header: just fits
    Deliver(room);
    EXPECT_EQ(Read(id).size(), 1801u);
    ReleaseClient(client);
}

TEST_F(ReceiveTest, RingsWrapOverflowAndSkip) {
    // A ring of 25 bytes holds two 10-byte messages (12 with their lengths);
    // the third starts at 24, its length bytes straddling the end.
    int16_t id = Open("CAN", "", "USB", 25);
    auto frame = [](uint8_t tag) { return Frame(0x123, 11, {tag, tag, tag}); };
    Deliver(frame(0xA1));
    Deliver(frame(0xB2));
    EXPECT_EQ(Read(id)[7], 0xA1);
    Deliver(frame(0xC3));
    EXPECT_EQ(Read(id)[7], 0xB2);
    EXPECT_EQ(Hex(Read(id)), "01 02 03 04 00 01 23 c3 c3 c3");
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);

    // 12 bytes: a 10-byte message does not fit (free space must exceed length + 2).
    id = Open("CAN", "", "USB", 12);
    Deliver(frame(0x01));
    int result = 0;
    Read(id, &result);
    EXPECT_EQ(result, -139);
    Read(id, &result);
    EXPECT_EQ(result, 0);  // reported once; the ring is empty
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);

    // A buffer too small skips the message: -141, then the next one.
    id = Open("J1939");
    Deliver(Frame(0x18FECA00, 29, {1, 2, 3, 4, 5, 6, 7, 8}));
    Deliver(Frame(0x18FECB00, 29, {9}));
    Read(id, &result, 5);
    EXPECT_EQ(result, -141);
    EXPECT_EQ(Read(id).size(), 11u);
    char buffer[32];
    Deliver(Frame(0x18FECA00, 29, {1}));
    EXPECT_EQ(RP1210_ReadMessage(id, nullptr, 32, 0), -141);  // no buffer: the message stays
    EXPECT_EQ(RP1210_ReadMessage(id, buffer, 32, 0), 11);
}

TEST_F(ReceiveTest, FiltersAndTheirAdapterMailboxes) {
    int16_t id = Open("J1939");
    Command(id, 17, {});  // discard everything: no mailbox, no filter
    EXPECT_TRUE(Mailboxes(usb_, 0).empty());
    usb_.VaInjectFrame(0, 3, 29, 0x18FECA00, nullptr, 0);
    Idle(usb_);
    EXPECT_TRUE(Read(id).empty());

    // flags, PGN (LSB first), priority, source, destination
    const struct {
        std::vector<uint8_t> filter;
        uint32_t identifier, mask;  // of its adapter mailbox
    } filters[] = {
        {{0x01, 0xCA, 0xFE, 0x00, 0, 0, 0}, 0x00FECA00, 0x03FFFF00},        // PGN 0xFECA (PDU2)
        {{0x05, 0x00, 0xEF, 0x00, 0, 0x31, 0}, 0x00EF0031, 0x03FF00FF},     // PGN 0xEF00 from 0x31
        {{0x09, 0x00, 0xEA, 0x00, 0, 0, 0x25}, 0x00EA2500, 0x03FFFF00},     // PGN 0xEA00 to 0x25
        {{0x02, 0, 0, 0, 3, 0, 0}, 0x0C000000, 0x1C000000},                 // priority 3
    };
    std::vector<uint8_t> all;
    for (const auto& f : filters) all.insert(all.end(), f.filter.begin(), f.filter.end());
    Command(id, 4, all);
    std::vector<VaMailboxInfo> boxes = Mailboxes(usb_, 0);
    ASSERT_EQ(boxes.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(boxes[i].identifier, filters[i].identifier) << i;
        EXPECT_EQ(boxes[i].mask, filters[i].mask) << i;
        EXPECT_EQ(boxes[i].identifierWidth, 29) << i;
    }
    EXPECT_EQ(RP1210_SendCommand(4, id, reinterpret_cast<char*>(all.data()), 15), kErrInvalidCommand);
    EXPECT_EQ(Mailboxes(usb_, 0).size(), 4u);
    Command(id, 4, filters[0].filter);  // a duplicate loads nothing
    EXPECT_EQ(Mailboxes(usb_, 0).size(), 4u);

    // The client side decides, whatever the adapter lets through.
    const struct {
        uint32_t identifier;
        bool passes;
    } frames[] = {
        {0x18FECA00, true},  {0x18FECB00, false}, {0x18EF0031, true}, {0x18EF0032, false},
        {0x18EA2500, true},  {0x18EA2600, false}, {0x0CF00400, true}, {0x10F00400, false},
    };
    for (const auto& f : frames) {
        Deliver(Frame(f.identifier, 29, {0x77}));
        EXPECT_EQ(Read(id).size(), f.passes ? 11u : 0u) << std::hex << f.identifier;
    }
    // With echo on the filter looks past the echo byte.
    Command(id, 16, {1});
    Deliver(Frame(0x18FECA00, 29, {0x77}));
    EXPECT_EQ(Read(id).size(), 12u);
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
}

TEST_F(ReceiveTest, CanAndJ1708FiltersAndTheMailboxCapacity) {
    int16_t id = Open("CAN");
    Command(id, 17, {});
    // type, mask (MSB first), header (MSB first)
    Command(id, 5, {0, 0, 0, 0x07, 0xF0, 0, 0, 0x01, 0x20,               // standard 0x12x
                    1, 0x1F, 0xFF, 0xFF, 0xFF, 0x18, 0xFE, 0xF1, 0x00});  // extended, every bit
    std::vector<VaMailboxInfo> boxes = Mailboxes(usb_, 0);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].identifierWidth, 11);
    EXPECT_EQ(boxes[0].identifier, 0x0120u);
    EXPECT_EQ(boxes[0].mask, 0x07F0u);
    EXPECT_EQ(boxes[1].identifier, 0x18FEF100u);
    const struct {
        uint32_t identifier;
        uint8_t width;
        bool passes;
    } frames[] = {{0x123, 11, true}, {0x12F, 11, true}, {0x133, 11, false}, {0x18FEF100, 29, true},
                  {0x18FEF101, 29, false}};
    for (const auto& f : frames) {
        Deliver(Frame(f.identifier, f.width, {0x01}), f.width == 11 ? 0 : 1);
        EXPECT_EQ(Read(id).empty(), !f.passes) << std::hex << f.identifier;
    }
    // Fourteen mailboxes fill the adapter: the fifteenth lets everything in.
    Command(id, 17, {});
    for (uint8_t n = 0; n < 20; ++n) Command(id, 5, {1, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0, 0, n});
    boxes = Mailboxes(usb_, 0);
    ASSERT_EQ(boxes.size(), 15u);
    EXPECT_EQ(boxes[14].identifier, 0u);
    EXPECT_EQ(boxes[14].mask, 0u);
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);

    // J1939: thirteen filter mailboxes, the fourteenth lets everything in.
    id = Open("J1939");
    Command(id, 17, {});
    for (uint8_t n = 0; n < 20; ++n) Command(id, 4, {0x01, n, 0xFE, 0x00, 0, 0, 0});
    boxes = Mailboxes(usb_, 0);
    ASSERT_EQ(boxes.size(), 14u);
    EXPECT_EQ(boxes[12].identifier, 0x00FE0C00u);
    EXPECT_EQ(boxes[13].mask, 0u);
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);

    id = Open("J1708");
    Command(id, 17, {});
    Command(id, 7, {0x80, 0x88});
    EXPECT_EQ(Mailboxes(usb_, 0).size(), 1u);  // one J1708 mailbox takes every MID
    for (uint8_t mid : {0x80, 0x81, 0x88}) {
        VaDelivery d = Frame(0, 0, {0x00});
        d.j1708Mid = mid;
        Deliver(d);
        EXPECT_EQ(Read(id).empty(), mid == 0x81) << int{mid};
    }
}

TEST_F(ReceiveTest, BlockingReadsAndTheWindowMessage) {
    int dummyWindow = 0;
    int16_t id = Open("J1939", "", "USB", 0, &dummyWindow);
    OsTakePostedMessages();
    Deliver(Frame(0x18FECA00, 29, {1}));
    Deliver(Frame(0x18FECA00, 29, {2}));
    std::vector<OsPostedMessage> posted = OsTakePostedMessages();
    ASSERT_EQ(posted.size(), 1u);  // when the ring went from empty to not empty
    EXPECT_EQ(posted[0].window, &dummyWindow);
    EXPECT_EQ(posted[0].message, OsRegisterWindowMessage("HVLNK32_Msg"));
    EXPECT_EQ(posted[0].wParam, 0u);

    char buffer[64];
    EXPECT_EQ(RP1210_ReadMessage(id, buffer, sizeof buffer, 1), 11);
    EXPECT_EQ(RP1210_ReadMessage(id, buffer, sizeof buffer, 1), 11);
    // A blocked read wakes for a frame, and for a disconnect.
    std::atomic<int> got{1};
    std::thread reader([&] { got = RP1210_ReadMessage(id, buffer, sizeof buffer, 1); });
    usb_.VaInjectFrame(0, 3, 29, 0x18FECA00, reinterpret_cast<const uint8_t*>(buffer), 3);
    reader.join();
    EXPECT_EQ(got, 13);
    std::thread blocked([&] { got = RP1210_ReadMessage(id, buffer, sizeof buffer, 1); });
    ASSERT_TRUE(WaitFor([&] {
        ClientRecord* client = AcquireClient(id);
        bool waiting = client != nullptr && client->refs.load() >= 3;  // the table, this look, the reader
        ReleaseClient(client);
        return waiting;
    }));
    EXPECT_EQ(RP1210_ClientDisconnect(id), 0);
    blocked.join();
    EXPECT_EQ(got, -148);
}

}  // namespace
