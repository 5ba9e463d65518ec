// RP1210_SendCommand: the command table and what each command changes.
#include "rp1210/clients.h"
#include "tests/support/library_fixture.h"

#include <cstring>

namespace {

class CommandsTest : public LibraryTest {
protected:
    static int16_t Command(int16_t id, int16_t number, std::vector<uint8_t> data) {
        return RP1210_SendCommand(number, id, reinterpret_cast<char*>(data.data()), static_cast<int16_t>(data.size()));
    }
    void InjectAndIdle() {
        uint8_t data[] = {1};
        ASSERT_EQ(usb_.VaInjectFrame(0, 3, 29, 0x18FECA00, data, 1), 0);
        Idle(usb_);
    }
};

TEST_F(CommandsTest, NumbersWithoutACommandAndTheSimpleOnes) {
    int16_t id = Connect();
    ASSERT_EQ(id, 1);
    for (int16_t number : {1, 2, 6, 8, 9, 10, 11, 12, 13, 20, -1, 255}) {
        EXPECT_EQ(Command(id, number, {0}), kErrCommandNotSupported) << number;
    }
    EXPECT_EQ(Command(id, 14, {1, 2, 3}), 0);
    EXPECT_EQ(Command(id, 15, {0}), kErrInvalidProtocol);  // J1708 mode on J1939
    EXPECT_EQ(Command(id, 16, {}), kErrInvalidCommand);
    EXPECT_EQ(RP1210_SendCommand(18, id, nullptr, 1), kErrInvalidCommand);

    // Receive off, then on again; echo on empties the ring.
    ASSERT_EQ(Command(id, 3, {}), 0);
    ASSERT_EQ(Command(id, 18, {0}), 0);
    InjectAndIdle();
    EXPECT_TRUE(Read(id).empty());
    ASSERT_EQ(Command(id, 18, {'1'}), 0);
    InjectAndIdle();
    InjectAndIdle();
    ASSERT_EQ(Command(id, 16, {1}), 0);
    EXPECT_TRUE(Read(id).empty());
    InjectAndIdle();
    EXPECT_EQ(Read(id).size(), 12u);  // with its echo byte
}

TEST_F(CommandsTest, DiscardDropsEveryClientsAdapterPaths) {
    ASSERT_EQ(Connect(), 1);
    ASSERT_EQ(Connect(), 2);
    ASSERT_EQ(Command(1, 3, {}), 0);
    ASSERT_EQ(Command(2, 4, {0x01, 0xCA, 0xFE, 0x00, 0, 0, 0, 0x01, 0xCB, 0xFE, 0x00, 0, 0, 0}), 0);
    EXPECT_EQ(Mailboxes(usb_, 0).size(), 3u);
    ASSERT_EQ(Command(1, 17, {}), 0);
    EXPECT_TRUE(Mailboxes(usb_, 0).empty());
    InjectAndIdle();
    EXPECT_TRUE(Read(1).empty());
    EXPECT_TRUE(Read(2).empty());  // its filters stay, but no frame reaches the library
}

TEST_F(CommandsTest, ResetDevice) {
    ASSERT_EQ(Connect(), 1);
    ASSERT_EQ(Connect(kSerialDevice), 2);
    EXPECT_EQ(Command(1, 0, {}), kErrMultipleClientsConnected);
    EXPECT_EQ(ConnectedClientCount(), 2);
    EXPECT_EQ(RP1210_ClientDisconnect(2), 0);
    EXPECT_EQ(Command(1, 0, {}), 0);
    EXPECT_EQ(usb_.VaCallCount("ResetZMX"), 1);
    EXPECT_EQ(ConnectedClientCount(), 0);  // the reset client is disconnected
    EXPECT_EQ(RP1210_ClientDisconnect(1), kErrInvalidClientId);
}

TEST_F(CommandsTest, J1708ModeOpensTheDataLinkAgain) {
    ASSERT_EQ(Connect(kUsbDevice, "J1708"), 1);
    ASSERT_EQ(Command(1, 3, {}), 0);
    TakeCalls(usb_);
    ASSERT_EQ(Command(1, 15, {'0'}), 0);  // 0: converted mode
    std::vector<VaCall> calls = TakeCalls(usb_);
    DataLinkSetup setup;
    ASSERT_TRUE(FirstRecord(calls, "InitDataLink", &setup));
    EXPECT_EQ(setup.setup[2], 3);
    EXPECT_EQ(Mailboxes(usb_, 0).size(), 1u);  // pass-all restored
    ASSERT_EQ(Command(1, 15, {1}), 0);
    ASSERT_TRUE(FirstRecord(TakeCalls(usb_), "InitDataLink", &setup));
    EXPECT_EQ(setup.setup[2], 0);
    // Not while another J1708 client uses the device.
    ASSERT_EQ(Connect(kUsbDevice, "J1708"), 2);
    EXPECT_EQ(Command(1, 15, {0}), kErrMultipleClientsConnected);
}

}  // namespace
