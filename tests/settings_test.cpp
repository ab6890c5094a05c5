// Device settings against the virtual scanner: gamma tables (the SENDs by
// scan mode and channel, the 2999 cases, the gamma log dump), scan-length
// tuning with and without overscan, the power timers and the general
// pass-through. The gamma dump test writes a debug configuration
// (DRVLOG_RESOURCE_LOCK; the fixture restores /tmp/DrvLog as it was).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "device/scansetup.h"
#include "device/settings.h"
#include "testbed/driver_test.h"
#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace {

using WireBytes = std::vector<uint8_t>;
using testbed::commandBlock;

// A gamma table as the scanner receives it: every value a big-endian half-word.
WireBytes GammaWire(const std::array<uint8_t, 256> &table)
{
    WireBytes wire(2 * table.size(), 0);
    for (size_t i = 0; i < table.size(); ++i) wire[2 * i + 1] = table[i];
    return wire;
}

class SettingsTest : public testbed::DriverTest {
protected:
    std::vector<sim::Transaction> Sends() { return scanner().transactionsWithOpcode(sim::opcode::kSend); }

    // The next SEND of this data type ends with check condition (status 2013).
    void FailSend(uint8_t dataType)
    {
        scanner().injectCheckCondition({sim::opcode::kSend, dataType, 1}, sim::makeSense(4, 0x80, 0x01));
    }

    // A general read into ten bytes of 0xEE.
    WireBytes GeneralRead(uint16_t identifier, DDS_DATA_TYPE type, uint16_t count)
    {
        WireBytes buffer(10, 0xEE);
        EXPECT_TRUE(GeneralOperation(1, identifier, type, count, buffer.data()));
        return buffer;
    }
};

// Extents of different bytes, to tell host from device order.
using OverscanSettingsTest = testbed::OnBus<SettingsTest, [](sim::BusOptions &o) {
    o.devices[0].profile = sim::InquiryProfile::withOverscan();
    o.devices[0].profile.overscan = {0x0102, 0x0304, 0x0506, 0x0708};
}>;

} // namespace

TEST_F(SettingsTest, GammaSendsByScanModeAndChannel)
{
    // After line art (or halftone) the three channels go first; a bad channel
    // then only leaves its status code, the result is the prelude's. A failed
    // SEND leaves 2999 in place of the transport's code.
    struct Case {
        uint8_t mode, channel;
        bool failSend, result;
        uint32_t code;
        std::vector<uint16_t> qualifiers;
    };
    const Case cases[] = {
        {0, 2, false, true, 0, {0, 1, 2, 1}}, {4, 0, false, true, 0, {0}},    {4, 1, false, true, 0, {0}},
        {4, 2, false, true, 0, {1}},          {4, 3, false, true, 0, {2}},    {4, 5, false, false, 2999, {}},
        {0, 5, false, true, 2999, {0, 1, 2}}, {4, 1, true, false, 2999, {0}},
    };
    std::array<uint8_t, 256> table;
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(255 - i);
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << int(c.mode) << " channel " << int(c.channel));
        scanner().clearTranscript();
        gErrCode = 0;
        OldParam.ScanMode = c.mode;
        if (c.failSend) FailSend(0x81);
        EXPECT_EQ(SetGammaTable(table.data(), c.channel), c.result);
        EXPECT_EQ(gErrCode, c.code);
        const auto sends = Sends();
        std::vector<uint16_t> qualifiers;
        for (const auto &t : sends) {
            qualifiers.push_back(t.qualifier());
            EXPECT_EQ(t.dataOut, GammaWire(table));
        }
        EXPECT_EQ(qualifiers, c.qualifiers);
        if (sends.size() == 4) {
            EXPECT_EQ(sends[3].command, commandBlock({0x2A, 0, 0x81, 0, 0x00, 0x01, 0x00, 0x02, 0x00, 0}));
        }
    }
    EXPECT_EQ(scanner().gamma(2), GammaWire(table));

    scanner().clearTranscript();
    EXPECT_FALSE(SetGammaTable(nullptr, 0));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_TRUE(transcript().empty());
}

// The driver starts in the test, after its debug configuration is written.
class SettingsTraceTest : public SettingsTest {
protected:
    bool connectInSetUp() const override { return false; }
};

TEST_F(SettingsTraceTest, GammaDumpInTheGammaLog)
{
    connectTraced(2);
    OldParam.ScanMode = 4;
    std::array<uint8_t, 256> table{};
    table[0] = 0x12;
    table[255] = 0xAB;
    EXPECT_FALSE(SetGammaTable(table.data(), 5)); // nothing sent, the dump is written all the same

    const auto lines = testbed::traceLines("vemoGammaTable.txt");
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("============ GammaTable ============"
                                                      "[0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2}")))
        << lines[0];
    EXPECT_EQ(lines[1], "0000 : 00 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ");
    EXPECT_EQ(lines[32], "01f0 : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ab ");
}

TEST_F(SettingsTest, TuningWithoutOverscanSendsTwoBytesPerPairAndTheSecondSendDecides)
{
    ASSERT_TRUE(TuneScanLength(1, 500, 7)); // portion out of range: sends what is held
    for (int i = 0; i < 4; ++i) EXPECT_EQ(wTuneScanLength[i], 0);
    ASSERT_TRUE(TuneScanLength(3, 0x0102, 0)); // direction 3: only bit 0 reaches the qualifier
    ASSERT_TRUE(TuneScanLength(2, 0x0304, 3));
    EXPECT_EQ(wTuneScanLength[0], 0x0102);
    EXPECT_EQ(wTuneScanDirection[3], 2);

    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 6u) << transcriptText();
    EXPECT_EQ(sends[0].dataOut, (WireBytes{0, 0}));
    EXPECT_EQ(sends[0].qualifier(), 0);
    EXPECT_EQ(sends[1].dataOut, (WireBytes{0, 0}));
    EXPECT_EQ(sends[4].command, commandBlock({0x2A, 0, 0x95, 0, 0x00, 0x01, 0x00, 0x00, 0x02, 0}));
    EXPECT_EQ(sends[4].dataOut, (WireBytes{0x01, 0x02}));
    EXPECT_EQ(sends[5].command, commandBlock({0x2A, 0, 0x96, 0, 0x00, 0x00, 0x00, 0x00, 0x02, 0}));
    EXPECT_EQ(sends[5].dataOut, (WireBytes{0x00, 0x00}));

    FailSend(0x95);
    EXPECT_TRUE(TuneScanLength(0, 1, 0));
    FailSend(0x96); // counted from the injection on
    EXPECT_FALSE(TuneScanLength(0, 1, 0));
    EXPECT_EQ(gErrCode, 2013u);
}

TEST_F(OverscanSettingsTest, TuningWithOverscanSendsBothValuesAndTheDirectionBits)
{
    ASSERT_TRUE(TuneScanLength(1, 10, 0));
    ASSERT_TRUE(TuneScanLength(0, 13, 3));
    ASSERT_TRUE(TuneScanLength(0, 11, 1));
    ASSERT_TRUE(TuneScanLength(1, 12, 2));
    EXPECT_EQ(scanner().tuning(0x95), (WireBytes{0, 10, 0, 13}));
    EXPECT_EQ(scanner().tuningQualifier(0x95), 3); // direction 0 is 1, and 0 and 3 differ
    EXPECT_EQ(scanner().tuning(0x96), (WireBytes{0, 11, 0, 12}));
    EXPECT_EQ(scanner().tuningQualifier(0x96), 2); // direction 1 is 0, and 1 and 2 differ
    const auto sends = Sends();
    EXPECT_EQ(sends.back().command, commandBlock({0x2A, 0, 0x96, 0, 0x00, 0x02, 0x00, 0x00, 0x04, 0}));
}

TEST_F(SettingsTest, PowerTimersSendTheLow16BitsBigEndian)
{
    ASSERT_TRUE(SetPowerSaveTime(65552)); // 0x10010
    ASSERT_TRUE(SendPowerOffTime(0x1234));
    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].command, commandBlock({0x2A, 0, 0xA2, 0, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(sends[0].dataOut, (WireBytes{0x00, 0x10}));
    EXPECT_EQ(sends[1].command, commandBlock({0x2A, 0, 0xA9, 0, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(sends[1].dataOut, (WireBytes{0x12, 0x34}));
    EXPECT_EQ(scanner().powerSaveTime(), 0x0010);
    EXPECT_EQ(scanner().powerOffTime(), 0x1234);
    FailSend(0xA9);
    EXPECT_FALSE(SendPowerOffTime(5));
    EXPECT_EQ(gErrCode, 2013u); // the transport's
}

TEST(SettingsWithoutDevice, ElementSizesAndTheAcceptedCalls)
{
    const uint32_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 1, 1, 2, 4, 8, 4, 8};
    for (int type = 2; type <= 15; ++type) EXPECT_EQ(DdsElementSize(type), sizes[type - 2]) << type;
    for (int type : {-1, 0, 1, 16, 1000}) EXPECT_EQ(DdsElementSize(type), 0u) << type;
    EXPECT_TRUE(SetSpeedMode());
    EXPECT_TRUE(SwitchStrip());
    EXPECT_TRUE(TruncateScanLength());
}

TEST_F(OverscanSettingsTest, GeneralReadClearsAndReturnsTheOverscanExtent)
{
    SCANNERABILITYEX ability;
    ASSERT_TRUE(GetScannerAbilityEx(&ability)); // fills the second inquiry copy
    scanner().clearTranscript();
    EXPECT_EQ(wiaflag, 0);
    // Identifier 5: extent 4 in host order, in 4 elements of 2 bytes that are cleared first.
    EXPECT_EQ(GeneralRead(5, 3, 4), (WireBytes{0x08, 0x07, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE}));
    EXPECT_EQ(wiaflag, 1);
    EXPECT_EQ(GeneralRead(1, 2, 2), (WireBytes{0x06, 0x05, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(GeneralRead(3, 2, 2), (WireBytes{0x02, 0x01, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(GeneralRead(7, 2, 2), (WireBytes{0x04, 0x03, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    // Other identifiers leave the cleared buffer.
    EXPECT_EQ(GeneralRead(2, 4, 2), (WireBytes{0, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE}));
    EXPECT_TRUE(transcript().empty());
}

TEST_F(SettingsTest, GeneralReadWithoutOverscanAndOtherOperations)
{
    EXPECT_EQ(GeneralRead(5, 2, 4), (WireBytes{0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    WireBytes buffer(4, 0xEE);
    EXPECT_TRUE(GeneralOperation(2, 5, 2, 4, buffer.data()));
    EXPECT_TRUE(GeneralOperation(9, 5, 2, 4, buffer.data()));
    EXPECT_EQ(buffer, WireBytes(4, 0xEE)); // neither sends nor clears
    EXPECT_EQ(wiaflag, 1);

    // A null buffer that would receive bytes is refused; one that would not is fine.
    EXPECT_FALSE(GeneralOperation(1, 5, 2, 4, nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_TRUE(GeneralOperation(1, 2, 0, 4, nullptr));
    EXPECT_TRUE(transcript().empty());
}
