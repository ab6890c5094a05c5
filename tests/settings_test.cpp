// Device settings against the virtual scanner: gamma tables (the SENDs by
// scan mode and channel, the 2999 cases, the gamma log dump), scan-length
// tuning with and without overscan, the power timers, and the general
// pass-through.
//
// The gamma dump tests write a debug configuration: DRVLOG_RESOURCE_LOCK (the
// guard restores /tmp/DrvLog as it was).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
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

std::array<uint8_t, 256> Ramp()
{
    std::array<uint8_t, 256> table{};
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(255 - i);
    return table;
}

WireBytes GammaWire(const std::array<uint8_t, 256> &table)
{
    WireBytes wire;
    for (uint8_t value : table) {
        wire.push_back(0);
        wire.push_back(value);
    }
    return wire;
}

class SettingsTest : public testbed::DriverTest {
protected:
    std::vector<sim::Transaction> Sends() { return scanner().transactionsWithOpcode(sim::opcode::kSend); }

    std::vector<uint16_t> SendQualifiers()
    {
        std::vector<uint16_t> qualifiers;
        for (const auto &t : Sends()) qualifiers.push_back(t.qualifier());
        return qualifiers;
    }

    // The next SEND of this data type ends with check condition (status 2013).
    void FailSend(uint8_t dataType)
    {
        scanner().injectCheckCondition({sim::opcode::kSend, dataType, 1}, sim::makeSense(4, 0x80, 0x01));
    }
};

using OverscanSettingsTest = testbed::OnBus<SettingsTest, [](sim::BusOptions &o) {
    o.devices[0].profile = sim::InquiryProfile::withOverscan();
    o.devices[0].profile.overscan = {0x0101, 0x0202, 0x0303, 0x0404};
}>;

} // namespace

TEST_F(SettingsTest, GammaSendsByScanModeAndChannel)
{
    // After line art (or halftone) the three channels go first; a bad channel
    // then only leaves its status code, the result is the prelude's.
    struct Case {
        uint8_t mode, channel;
        bool result;
        uint32_t code;
        std::vector<uint16_t> qualifiers;
    };
    const Case cases[] = {
        {0, 2, true, 0, {0, 1, 2, 1}}, {4, 0, true, 0, {0}}, {4, 1, true, 0, {0}},
        {4, 2, true, 0, {1}},          {4, 3, true, 0, {2}}, {4, 5, false, 2999, {}},
        {0, 5, true, 2999, {0, 1, 2}},
    };
    auto table = Ramp();
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << int(c.mode) << " channel " << int(c.channel));
        scanner().clearTranscript();
        gErrCode = 0;
        OldParam.ScanMode = c.mode;
        EXPECT_EQ(SetGammaTable(table.data(), c.channel), c.result);
        EXPECT_EQ(gErrCode, c.code);
        EXPECT_EQ(SendQualifiers(), c.qualifiers);
        const auto sends = Sends();
        for (const auto &t : sends) EXPECT_EQ(t.dataOut, GammaWire(table));
        if (sends.size() == 4) {
            EXPECT_EQ(sends[3].command, commandBlock({0x2A, 0, 0x81, 0, 0x00, 0x01, 0x00, 0x02, 0x00, 0}));
        }
    }
    EXPECT_EQ(scanner().gamma(2), GammaWire(table));
}

TEST_F(SettingsTest, GammaFailureAndNullTable)
{
    OldParam.ScanMode = 4;
    FailSend(0x81);
    auto table = Ramp();
    EXPECT_FALSE(SetGammaTable(table.data(), 1));
    EXPECT_EQ(gErrCode, 2999u); // replaces the transport code
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
    EXPECT_EQ(lines[0].rfind("============ GammaTable ============", 0), 0u) << lines[0];
    const std::string time = lines[0].substr(36);
    int h = -1, m = -1, s = -1;
    EXPECT_EQ(std::sscanf(time.c_str(), "%d:%d:%d", &h, &m, &s), 3) << lines[0];
    EXPECT_EQ(lines[1], "0000 : 00 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ");
    EXPECT_EQ(lines[2].substr(0, 7), "0010 : ");
    EXPECT_EQ(lines[32], "01f0 : 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ab ");
}

TEST_F(SettingsTest, TuningWithoutOverscanSendsTwoBytesPerPair)
{
    ASSERT_TRUE(TuneScanLength(3, 0x0102, 0)); // direction 3: only bit 0 reaches the qualifier
    ASSERT_TRUE(TuneScanLength(2, 0x0304, 3));
    EXPECT_EQ(wTuneScanLength[0], 0x0102);
    EXPECT_EQ(wTuneScanDirection[3], 2);

    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 4u) << transcriptText();
    EXPECT_EQ(sends[2].command, commandBlock({0x2A, 0, 0x95, 0, 0x00, 0x01, 0x00, 0x00, 0x02, 0}));
    EXPECT_EQ(sends[2].dataOut, (WireBytes{0x01, 0x02}));
    EXPECT_EQ(sends[3].command, commandBlock({0x2A, 0, 0x96, 0, 0x00, 0x00, 0x00, 0x00, 0x02, 0}));
    EXPECT_EQ(sends[3].dataOut, (WireBytes{0x00, 0x00}));
}

TEST_F(SettingsTest, TuningPortionOutOfRangeSendsWhatIsHeldAndTheSecondSendDecides)
{
    ASSERT_TRUE(TuneScanLength(1, 500, 7));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(wTuneScanLength[i], 0);
    const auto sends = Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].dataOut, (WireBytes{0, 0}));
    EXPECT_EQ(sends[0].qualifier(), 0);
    EXPECT_EQ(sends[1].dataOut, (WireBytes{0, 0}));

    // The result is the second SEND's.
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

    uint8_t buffer[10];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(wiaflag, 0);
    ASSERT_TRUE(GeneralOperation(1, 5, 3, 4, buffer)); // 4 elements of 2 bytes
    uint16_t value;
    std::memcpy(&value, buffer, 2);
    EXPECT_EQ(value, 0x0404); // offset 140, host order
    for (int i = 2; i < 8; ++i) EXPECT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[8], 0xEE);
    EXPECT_EQ(wiaflag, 1);

    const struct {
        uint16_t identifier;
        uint16_t value;
    } extents[] = {{1, 0x0303}, {3, 0x0101}, {7, 0x0202}};
    for (const auto &e : extents) {
        std::memset(buffer, 0xEE, sizeof buffer);
        ASSERT_TRUE(GeneralOperation(1, e.identifier, 2, 2, buffer));
        std::memcpy(&value, buffer, 2);
        EXPECT_EQ(value, e.value) << e.identifier;
    }
    // Other identifiers leave the cleared buffer.
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_TRUE(GeneralOperation(1, 2, 4, 2, buffer));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 10),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE}));
    EXPECT_TRUE(transcript().empty());
}

TEST_F(SettingsTest, GeneralReadWithoutOverscanAndOtherOperations)
{
    uint8_t buffer[4];
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_TRUE(GeneralOperation(1, 5, 2, 4, buffer));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0, 0, 0, 0}));

    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_TRUE(GeneralOperation(2, 5, 2, 4, buffer));
    EXPECT_TRUE(GeneralOperation(9, 5, 2, 4, buffer));
    EXPECT_EQ(buffer[0], 0xEE); // neither sends nor clears
    EXPECT_EQ(wiaflag, 1);

    // A null buffer that would receive bytes is refused; one that would not is fine.
    EXPECT_FALSE(GeneralOperation(1, 5, 2, 4, nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_TRUE(GeneralOperation(1, 2, 0, 4, nullptr));
    EXPECT_TRUE(transcript().empty());
}
