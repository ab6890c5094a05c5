// Non-volatile memory against the virtual scanner: byte order both ways, write
// qualifiers, initialisation, self test, identification check, the item setter
// and its refusals, and the trace of the qualified write (DRVLOG_RESOURCE_LOCK).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "device/nvm.h"
#include "support/NxByteOrder.h"
#include "testbed/driver_test.h"
#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace {

using Nvm = std::array<uint8_t, 128>;
using WireBytes = std::vector<uint8_t>;
using testbed::commandBlock;

// Every byte different: a field converted the wrong way, or a byte moved,
// shows at once.
Nvm Pattern()
{
    Nvm n{};
    for (size_t i = 0; i < n.size(); ++i) n[i] = static_cast<uint8_t>(i * 7 + 3);
    return n;
}

tagNVMInitData InitRecord(uint32_t length, const char *identification)
{
    tagNVMInitData init{};
    init.Length = length;
    std::strncpy(init.Identification, identification, sizeof init.Identification);
    init.Byte44 = 0x44;
    init.Byte118 = 0x18;
    return init;
}

class NvmTest : public testbed::DriverTest {
protected:
    Nvm DeviceNvm() { return scanner().nvm(); }
    std::vector<sim::Transaction> Sends() { return scanner().transactionsWithOpcode(sim::opcode::kSend); }
    std::vector<sim::Transaction> Reads() { return scanner().transactionsWithOpcode(sim::opcode::kRead); }
    // The next command of this opcode (and NVM data type) ends with check condition.
    void FailNext(uint8_t opcode, int dataType)
    {
        scanner().injectCheckCondition({opcode, dataType, 1}, sim::makeSense(4, 0x80, 0x01));
    }
};

// Byte 149 bit 2 clear.
using NvmNoDefaultTest =
    testbed::OnBus<NvmTest, [](sim::BusOptions &o) { o.devices[0].profile.flags149 = 0; }>;

} // namespace

TEST_F(NvmTest, ReadAndWriteConvertExactlyTheBigEndianFields)
{
    const Nvm original = Pattern();
    scanner().setNvm(original);
    NVMDATA record;
    std::memset(&record, 0xEE, sizeof record);
    ASSERT_TRUE(ReadNVMData(&record));

    // The 32- and 16-bit fields arrive in host order (little-endian here),
    // every other byte as it is.
    WireBytes want(original.begin(), original.end());
    auto swapped = [&](long offset, long size) {
        std::reverse(want.begin() + offset, want.begin() + offset + size);
    };
    for (long offset : {0, 4, 8, 12, 73, 77, 81}) swapped(offset, 4);
    for (long offset = 16; offset <= 42; offset += 2) swapped(offset, 2);
    swapped(70, 2);
    swapped(122, 2);
    EXPECT_EQ(testbed::bytesOf(&record, sizeof record), want);
    const auto t = transcript();
    ASSERT_EQ(t.size(), 1u) << transcriptText();
    EXPECT_EQ(t[0].command, commandBlock({0x28, 0, 0x69, 0, 0x0A, 0x0D, 0, 0, 0x80, 0}));

    // Written back, every byte is as it was; the caller's record is not changed.
    const NVMDATA before = record;
    scanner().setNvm(Nvm{});
    ASSERT_TRUE(WriteNVMData(&record));
    EXPECT_EQ(DeviceNvm(), original);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    auto sends = Sends();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].command, commandBlock({0x2A, 0, 0x85, 0, 0x00, 20, 0, 0, 0x80, 0}));

    // Items 3..6 take the caller's data as the whole record, each with its qualifier.
    for (uint16_t item = 3; item <= 6; ++item) {
        scanner().setNvm(Nvm{});
        scanner().clearTranscript();
        ASSERT_TRUE(SetNVRAMValue(reinterpret_cast<uint8_t *>(&record), sizeof record, item)) << item;
        EXPECT_EQ(DeviceNvm(), original) << item;
        EXPECT_EQ(scanner().lastNvmQualifier(), item + 14);
        EXPECT_TRUE(Reads().empty()); // no read first
    }
}

// A failed read of the record fails every call and writes nothing; the
// identification check still compares (with zeros) and leaves 2999.
TEST_F(NvmTest, EveryCallStopsAtAFailedRead)
{
    const Nvm original = Pattern();
    NVMDATA record;
    tagNVMInitData init = InitRecord(55, "DOCSCAN");
    uint8_t data[2] = {1, 2};
    const struct {
        const char *name;
        std::function<bool()> call;
        uint32_t code;
    } cases[] = {
        {"ReadNVMData", [&] { return ReadNVMData(&record); }, 2013},
        {"InitializeNVM", [&] { return InitializeNVM(&init); }, 2013},
        {"CheckNVMData", [&] { return CheckNVMData(&init); }, 2999},
        {"SetNVRAMValue", [&] { return SetNVRAMValue(data, 2, 10); }, 2013},
        {"TestNVM", [] { return TestNVM(); }, 2013},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        scanner().setNvm(original);
        scanner().clearTranscript();
        FailNext(sim::opcode::kRead, 0x69);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(gErrCode, c.code);
        EXPECT_TRUE(Sends().empty()) << transcriptText();
        EXPECT_EQ(DeviceNvm(), original);
    }
}

TEST_F(NvmTest, InitializeStampsTheDateAndKeepsTheSixValues)
{
    const Nvm original = Pattern();
    scanner().setNvm(original);
    tagNVMInitData init = InitRecord(55, "DOCSCAN-UNIT-0042");

    const time_t before = time(nullptr);
    ASSERT_TRUE(InitializeNVM(&init));
    const time_t after = time(nullptr);

    Nvm want{};
    std::memcpy(&want[16], &original[16], 12); // kept
    PutBE16(&want[70], 15);
    std::memcpy(&want[46], "DOCSCAN-UNIT-0042", 17);
    want[44] = 0x44;
    want[118] = 0x18;
    PutBE16(&want[122], 240); // the standard profile has byte 149 bit 2
    // The date is the one at either end of the call.
    bool dateMatches = false;
    for (time_t moment : {before, after}) {
        struct tm local;
        localtime_r(&moment, &local);
        PutBE16(&want[28], static_cast<uint16_t>(local.tm_mon + 1));
        PutBE16(&want[30], static_cast<uint16_t>(local.tm_mday));
        PutBE16(&want[32], static_cast<uint16_t>(local.tm_year + 1900));
        dateMatches = dateMatches || want == DeviceNvm();
    }
    EXPECT_TRUE(dateMatches);
    EXPECT_EQ(scanner().lastNvmQualifier(), 20);
}

TEST_F(NvmNoDefaultTest, ShortInitialisationRecordLeavesTheLateBytesZero)
{
    tagNVMInitData init = InitRecord(40, "ID");
    ASSERT_TRUE(InitializeNVM(&init));
    const Nvm n = DeviceNvm();
    EXPECT_EQ(n[44], 0); // byte 47 of the record lies past the caller's 40 bytes
    EXPECT_EQ(n[118], 0);
    EXPECT_EQ(n[122] | n[123], 0); // byte 149 bit 2 clear
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&n[46])), "ID");
}

TEST_F(NvmTest, SelfTestWritesTheTestWordsAndRestoresTheRecord)
{
    const Nvm original = Pattern();
    scanner().setNvm(original);
    ASSERT_TRUE(TestNVM());
    EXPECT_EQ(gErrCode, 0u);
    EXPECT_EQ(DeviceNvm(), original);

    const auto t = transcript();
    ASSERT_EQ(t.size(), 4u) << transcriptText();
    EXPECT_EQ(t[0].opcode(), 0x28);
    EXPECT_EQ(t[2].opcode(), 0x28);
    // The test record: the saved one with 1..6 at 28..38; then the saved one.
    Nvm test = original;
    for (uint16_t n = 0; n < 6; ++n) PutBE16(&test[28 + 2 * n], n + 1);
    EXPECT_EQ(t[1].dataOut, WireBytes(test.begin(), test.end()));
    EXPECT_EQ(t[3].dataOut, WireBytes(original.begin(), original.end()));

    // A device that accepts writes but keeps nothing: 2999, and the saved
    // record is not sent back.
    scanner().clearTranscript();
    scanner().setNvmWritable(false);
    EXPECT_TRUE(TestNVM());
    EXPECT_EQ(gErrCode, 2999u);
    EXPECT_EQ(Sends().size(), 1u) << transcriptText();

    // A failed write of the test record: no read back.
    scanner().clearTranscript();
    FailNext(sim::opcode::kSend, 0x85);
    EXPECT_FALSE(TestNVM());
    EXPECT_EQ(Reads().size(), 1u);
}

TEST_F(NvmTest, IdentificationCheck)
{
    Nvm device{};
    std::memcpy(&device[46], "DOCSCAN-UNIT-0042", 17);
    scanner().setNvm(device);
    tagNVMInitData init = InitRecord(55, "DOCSCAN-UNIT-0042");
    EXPECT_TRUE(CheckNVMData(&init));
    EXPECT_EQ(gErrCode, 0u);
    init.Identification[16] = '3';
    EXPECT_TRUE(CheckNVMData(&init)); // the result is the read's
    EXPECT_EQ(gErrCode, 2999u);

    // A full 24-byte identification without a terminating zero.
    std::memcpy(&device[46], "ABCDEFGHIJKLMNOPQRSTUVWX", 24);
    device[70] = 'Z';
    scanner().setNvm(device);
    std::memcpy(init.Identification, "ABCDEFGHIJKLMNOPQRSTUVWX", 24);
    gErrCode = 0;
    EXPECT_TRUE(CheckNVMData(&init));
    EXPECT_EQ(gErrCode, 0u);
}

TEST_F(NvmTest, SetterItemsAtTheirOffsetsWithTheirQualifiers)
{
    struct Case {
        uint16_t item;
        size_t offset;
        uint16_t qualifier;
    };
    const Case cases[] = {{1, 102, 19}, {2, 86, 19}, {7, 34, 18}, {8, 0, 18}, {9, 73, 18}, {10, 70, 18}};
    const Nvm original = Pattern();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.item);
        scanner().setNvm(original);
        scanner().clearTranscript();
        // Two host-order 16-bit values: at a big-endian field they arrive swapped.
        uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
        ASSERT_TRUE(SetNVRAMValue(data, sizeof data, c.item));
        EXPECT_EQ(scanner().lastNvmQualifier(), c.qualifier);

        NVMDATA host;
        std::memcpy(&host, original.data(), sizeof host);
        SwapNvmRecord(host); // the record as the driver read it
        std::memcpy(reinterpret_cast<uint8_t *>(&host) + c.offset, data, sizeof data);
        SwapNvmRecord(host); // and as it sent it
        Nvm want;
        std::memcpy(want.data(), &host, sizeof host);
        EXPECT_EQ(DeviceNvm(), want);

        const auto t = transcript();
        ASSERT_EQ(t.size(), 2u) << transcriptText();
        EXPECT_EQ(t[0].opcode(), 0x28);
        EXPECT_EQ(t[1].command,
                  commandBlock({0x2A, 0, 0x85, 0, 0, static_cast<uint8_t>(c.qualifier), 0, 0, 0x80, 0}));
    }

    // By hand: item 8 puts a host-order 32-bit value big-endian at offset 0.
    scanner().setNvm(Nvm{});
    const uint32_t value = 0x12345678;
    ASSERT_TRUE(SetNVRAMValue(reinterpret_cast<uint8_t *>(const_cast<uint32_t *>(&value)), 4, 8));
    const Nvm n = DeviceNvm();
    EXPECT_EQ(WireBytes(n.begin(), n.begin() + 4), (WireBytes{0x12, 0x34, 0x56, 0x78}));

    // Item 0 writes an empty record.
    scanner().setNvm(Pattern());
    EXPECT_TRUE(SetNVRAMValue(nullptr, 0, 0));
    EXPECT_EQ(DeviceNvm(), Nvm{});
    EXPECT_EQ(scanner().lastNvmQualifier(), 20);
}

TEST_F(NvmTest, RefusalsSendNothing)
{
    uint8_t data[129] = {};
    // Item above 10: result 0, no status code.
    gErrCode = 7;
    EXPECT_FALSE(SetNVRAMValue(data, 4, 11));
    EXPECT_EQ(gErrCode, 7u);

    // A length past the end of the record, null data with a length, null records: 2005.
    const struct {
        uint16_t item;
        uint32_t room;
    } rooms[] = {{1, 26}, {2, 42}, {3, 128}, {6, 128}, {7, 94}, {8, 128}, {9, 55}, {10, 58}};
    for (const auto &r : rooms) {
        gErrCode = 0;
        EXPECT_FALSE(SetNVRAMValue(data, r.room + 1, r.item)) << r.item;
        EXPECT_EQ(gErrCode, 2005u) << r.item;
    }
    for (bool (*call)() : {+[] { return SetNVRAMValue(nullptr, 2, 7); }, +[] { return ReadNVMData(nullptr); },
                           +[] { return WriteNVMData(nullptr); }, +[] { return InitializeNVM(nullptr); },
                           +[] { return CheckNVMData(nullptr); }}) {
        gErrCode = 0;
        EXPECT_FALSE(call());
        EXPECT_EQ(gErrCode, 2005u);
    }
    EXPECT_TRUE(transcript().empty()) << transcriptText();
    EXPECT_TRUE(SetNVRAMValue(data, 26, 1)); // exactly the room is accepted
}

// The driver starts in the test, after its debug configuration is written.
class NvmTraceTest : public NvmTest {
protected:
    bool connectInSetUp() const override { return false; }
};

TEST_F(NvmTraceTest, QualifiedWriteTraceLines)
{
    connectTraced(2);
    uint8_t data[2] = {0, 9};
    ASSERT_TRUE(SetNVRAMValue(data, 2, 10));
    EXPECT_FALSE(SetNVRAMValue(data, 2, 11));
    TerminateDriver();

    std::vector<std::string> ours;
    for (const std::string &line : testbed::traceLines()) {
        if (line.find("NVM") != std::string::npos || line.find("NVRAM") != std::string::npos)
            ours.push_back(line);
    }
    EXPECT_EQ(ours, testbed::golden("nvm.trace", "qualified-write"));
}
