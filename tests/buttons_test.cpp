// Push buttons against the virtual scanner: the button description from the
// inquiry data, the button status from the interrupt packets (code mapping
// and pass-through), and the accepted button and LED calls.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/scanner.h"
#include "device/capability.h"
#include "testbed/driver_test.h"
#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace {

using Packet = std::array<uint8_t, 8>;
using Record = std::vector<uint8_t>;

Record Bytes(const tagButtonStatus &status) { return testbed::bytesOf(&status, sizeof status); }
Record Bytes(const tagButtonDescription &description)
{
    return testbed::bytesOf(&description, sizeof description);
}

// A record (16 bytes: a button status) that starts with `head`, zero after it.
Record Want(std::initializer_list<uint8_t> head, size_t size = 16)
{
    Record record(size, 0);
    std::copy(head.begin(), head.end(), record.begin());
    return record;
}

using NoButtonsTest = testbed::DriverTest;
using ButtonsTest = testbed::OnBus<testbed::DriverTest, [](sim::BusOptions &o) {
    o.devices[0].profile = sim::InquiryProfile::withButtons();
}>;

} // namespace

TEST_F(ButtonsTest, DescriptionOfAScannerWithButtonsAndAfterAFailedInquiry)
{
    std::memset(&InquiryData, 0, sizeof InquiryData);
    tagButtonDescription description;
    std::memset(&description, 0xEE, sizeof description);
    ASSERT_TRUE(InitialButton(&description));
    // Type 3, the count of inquiry byte 92 (3 in the profile), 4.
    EXPECT_EQ(Bytes(description), Want({3, 0, 0, 0, 3, 0, 4, 0}, 24));
    // The first inquiry copy is refreshed.
    const auto inquiry = scanner().inquiry();
    EXPECT_EQ(std::memcmp(InquiryData.Data, inquiry.data(), 165), 0);
    EXPECT_EQ(scanner().transactionsWithOpcode(sim::opcode::kInquiry).size(), 2u);

    // A failed inquiry leaves the description zero.
    scanner().injectCheckCondition({sim::opcode::kInquiry, -1, 2}, sim::makeSense(4, 0x80, 0x01));
    EXPECT_FALSE(InitialButton(&description));
    EXPECT_EQ(Bytes(description), Record(24, 0));
    EXPECT_EQ(gErrCode, 2013u);
}

TEST_F(NoButtonsTest, DescriptionOfAScannerWithoutButtonsIsZero)
{
    tagButtonDescription description;
    std::memset(&description, 0xEE, sizeof description);
    ASSERT_TRUE(InitialButton(&description));
    EXPECT_EQ(Bytes(description), Record(24, 0));
}

TEST_F(ButtonsTest, PacketsBecomeButtonRecords)
{
    const struct {
        const char *what;
        Packet packet;
        Record want;
    } cases[] = {
        // Listed device codes become button numbers; packet byte 7 is not passed on.
        {"code 3", {0x03, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, Want({0x81, 1, 0x11, 0x22, 0x33, 0x44, 1})},
        {"code 5", {0x05, 0, 0, 0, 0, 0, 0, 0}, Want({0x81, 2, 0, 0, 0, 0, 1})},
        {"code 6", {0x06, 9, 0, 0, 0, 0, 0, 0}, Want({0x81, 3, 0, 0, 0, 0, 1})},
        // An unlisted code with a button number: a press of that button.
        {"unlisted, button 2", {0x07, 0x02, 0, 0, 0, 0, 0x09, 0}, Want({0x81, 0x02, 0, 0, 0, 0, 1})},
        // Without a button number: passed on as received.
        {"unlisted, no button", {0x07, 0x00, 1, 2, 3, 4, 5, 6}, Want({0x07, 0x00, 1, 2, 3, 4, 5})},
        // Bit 7 set: the device's own event, passed on unchanged.
        {"own event", {0x83, 0x00, 1, 2, 3, 4, 5, 6}, Want({0x83, 0x00, 1, 2, 3, 4, 5})},
        {"own event, button 1", {0x85, 0x01, 0, 0, 0, 0, 0, 0}, Want({0x85, 0x01})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scanner().queueButtonPacket(c.packet);
        tagButtonStatus status;
        std::memset(&status, 0xEE, sizeof status);
        EXPECT_TRUE(ReadPushButton(&status)); // the read's, whatever the packet
        EXPECT_EQ(Bytes(status), c.want);
    }
    EXPECT_EQ(gErrCode, 0u);
}

TEST_F(ButtonsTest, WithoutTrafficNoPacketNullRecordsAndTheOtherCalls)
{
    // No packet: result 0, a zero record, and no status code (the front end polls again).
    gErrCode = 7;
    tagButtonStatus status;
    std::memset(&status, 0xEE, sizeof status);
    EXPECT_FALSE(ReadPushButton(&status));
    EXPECT_EQ(Bytes(status), Record(16, 0));
    EXPECT_EQ(gErrCode, 7u);

    // The button and LED calls are accepted without any device action.
    EXPECT_TRUE(CheckPushButton());
    EXPECT_TRUE(ResetPushButton());
    EXPECT_TRUE(SearchPushButton());
    EXPECT_TRUE(SetLEDNumber());
    EXPECT_TRUE(ReadLEDNumber());

    // Null records are refused; a waiting packet stays.
    scanner().pressButton(3);
    EXPECT_FALSE(ReadPushButton(nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_EQ(scanner().pendingButtonPackets(), 1u);
    gErrCode = 0;
    EXPECT_FALSE(InitialButton(nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_TRUE(transcript().empty()) << transcriptText();
}
