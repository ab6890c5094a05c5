// The device model on its own: transactions, sense, stored state, the page a
// scan delivers and fault injection, driven through its wire interface.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "testbed/testbed.h"

namespace {

using namespace sim;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint8_t> cdb(std::uint8_t op, std::uint8_t b2 = 0, std::uint16_t qualifier = 0,
                              std::uint32_t length = 0, std::uint8_t b4 = 0, std::uint8_t b5 = 0)
{
    std::vector<std::uint8_t> c(kCommandSize, 0);
    c[0] = op;
    c[2] = b2;
    c[4] = b4;
    c[5] = b5;
    if (op == opcode::kRead || op == opcode::kSend) {
        c[4] = static_cast<std::uint8_t>(qualifier >> 8);
        c[5] = static_cast<std::uint8_t>(qualifier);
    }
    c[6] = static_cast<std::uint8_t>(length >> 16);
    c[7] = static_cast<std::uint8_t>(length >> 8);
    c[8] = static_cast<std::uint8_t>(length);
    return c;
}

std::vector<std::uint8_t> inquiry(std::uint8_t length, std::uint8_t lun = 0)
{
    auto c = cdb(opcode::kInquiry, 0, 0, 0, length);
    c[1] = static_cast<std::uint8_t>(lun << 5);
    return c;
}

std::vector<std::uint8_t> read(std::uint8_t type, std::uint32_t length)
{
    return cdb(opcode::kRead, type, 0x0A0D, length);
}

std::vector<std::uint8_t> send(std::uint8_t type, std::uint16_t qualifier, std::uint32_t length)
{
    return cdb(opcode::kSend, type, qualifier, length);
}

const std::vector<std::uint8_t> kRequestSense = cdb(opcode::kRequestSense, 0, 0, 0, 22);

// SET WINDOW parameter list: header + descriptor.
std::vector<std::uint8_t> windowList(unsigned dpi, std::uint8_t composition, std::uint8_t bits,
                                     std::uint32_t bytesPerLine, std::uint16_t lines, std::uint32_t top = 0)
{
    std::vector<std::uint8_t> w(kWindowListSize, 0);
    w[7] = kWindowDescriptorSize;
    const auto d = testbed::windowDescriptor(dpi, composition, bits, bytesPerLine, lines, top);
    std::copy(d.begin(), d.end(), w.begin() + kWindowHeaderSize);
    return w;
}

std::uint8_t setWindow(DeviceModel &m, const std::vector<std::uint8_t> &list)
{
    auto r = m.transact(cdb(opcode::kSetWindow, 0, 0, static_cast<std::uint32_t>(list.size())), list);
    return r.status.value_or(0xFF);
}

// Sense key, ASC, ASCQ reported by REQUEST SENSE.
std::array<std::uint8_t, 3> senseOf(DeviceModel &m)
{
    auto r = m.transact(kRequestSense, {}, 22);
    EXPECT_EQ(r.status, kStatusGood);
    if (r.dataIn.size() < 22) return {0xFF, 0xFF, 0xFF};
    return {static_cast<std::uint8_t>(r.dataIn[2] & 0x0F), r.dataIn[12], r.dataIn[13]};
}

using Key = std::array<std::uint8_t, 3>;

TEST(SimModel, InquiryAnswersTheHeaderThenTheWholeRecord)
{
    DeviceModel m;
    auto header = m.transact(inquiry(5), {}, 5);
    ASSERT_EQ(header.status, kStatusGood);
    ASSERT_EQ(header.dataIn.size(), 5u);
    EXPECT_EQ(header.dataIn[4], 160);

    auto full = m.transact(inquiry(165), {}, 165);
    ASSERT_EQ(full.status, kStatusGood);
    EXPECT_EQ(full.dataIn, InquiryProfile::standard().bytes());

    // More than the record: the data phase is still as long as asked, zero-filled.
    auto longer = m.transact(inquiry(200), {}, 200);
    ASSERT_EQ(longer.dataIn.size(), 200u);
    EXPECT_EQ(longer.dataIn[199], 0);
    EXPECT_EQ(longer.status, kStatusGood);

    // A logical unit other than 0 is refused.
    auto lun = m.transact(inquiry(5, 1), {}, 5);
    EXPECT_EQ(lun.status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x25, 0}));

    // A raw record with a wrapping additional length.
    std::vector<std::uint8_t> raw(165, 0);
    raw[4] = 251;
    m.setInquiry(raw);
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).dataIn[4], 251);
}

TEST(SimModel, ProfilesLayOutTheFieldsTheHostReads)
{
    const auto s = InquiryProfile::standard().bytes();
    ASSERT_EQ(s.size(), kInquirySize);
    EXPECT_EQ(std::string(s.begin() + 8, s.begin() + 16), "VSCAN   ");
    EXPECT_EQ(s[60] & 0x40, 0x40);
    EXPECT_EQ((s[81] << 8) | s[82], 2550);
    EXPECT_EQ((s[40] << 8) | s[41], 300);
    EXPECT_EQ((s[42] << 8) | s[43], 600);
    EXPECT_EQ(s[39] & 0x20, 0x20);
    EXPECT_EQ(s[61], 0xFE);
    EXPECT_EQ(s[62], 0xFC);
    EXPECT_EQ(s[50] & 0x40, 0);
    EXPECT_EQ(s[128] & 0x10, 0);

    const auto b = InquiryProfile::withButtons().bytes();
    EXPECT_EQ(b[50] & 0x40, 0x40);
    EXPECT_EQ(b[92], 3);

    const auto o = InquiryProfile::withOverscan().bytes();
    EXPECT_EQ(o[128] & 0x10, 0x10);
    EXPECT_EQ((o[136] << 8) | o[137], 24);
    EXPECT_EQ((o[140] << 8) | o[141], 24);
}

TEST(SimModel, RequestSenseReportsTheLastErrorOnce)
{
    DeviceModel m;
    EXPECT_EQ(senseOf(m), (Key{0, 0, 0}));
    auto r = m.transact(cdb(0x99));
    EXPECT_EQ(r.status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x20, 0}));
    EXPECT_EQ(senseOf(m), (Key{0, 0, 0}));
    // An unknown READ data type.
    EXPECT_EQ(m.transact(read(0x77, 4), {}, 4).status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x24, 0}));
}

TEST(SimModel, NonVolatileMemoryIsWrittenReadAndKeptInAFile)
{
    const std::string path = "/tmp/sim_model_test_nvm." + std::to_string(getpid());
    std::filesystem::remove(path);
    std::array<std::uint8_t, kNvmSize> record{};
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i + 1);
    {
        DeviceModel m;
        const auto initial = defaultNvm();
        EXPECT_EQ(m.transact(read(datatype::kNvmRead, 128), {}, 128).dataIn,
                  Bytes(initial.begin(), initial.end()));
        ASSERT_TRUE(m.setNvmFile(path));
        EXPECT_EQ(testbed::readFileBytes(path).size(), kNvmSize); // created with the current content

        EXPECT_EQ(m.transact(send(datatype::kNvmWrite, 18, 128), record).status, kStatusGood);
        EXPECT_EQ(m.lastNvmQualifier(), 18);
        EXPECT_EQ(m.nvm(), record);
        EXPECT_EQ(m.transact(read(datatype::kNvmRead, 128), {}, 128).dataIn,
                  std::vector<std::uint8_t>(record.begin(), record.end()));

        // Refused: qualifier outside 17..20, wrong lengths.
        EXPECT_EQ(m.transact(send(datatype::kNvmWrite, 16, 128), record).status, kStatusCheckCondition);
        EXPECT_EQ(senseOf(m), (Key{5, 0x24, 0}));
        std::vector<std::uint8_t> shorter(100, 0);
        EXPECT_EQ(m.transact(send(datatype::kNvmWrite, 20, 100), shorter).status, kStatusCheckCondition);
        EXPECT_EQ(senseOf(m), (Key{5, 0x1A, 0}));
        EXPECT_EQ(m.transact(read(datatype::kNvmRead, 64), {}, 64).status, kStatusCheckCondition);
        EXPECT_EQ(m.nvm(), record);
    }
    {
        DeviceModel again;
        ASSERT_TRUE(again.setNvmFile(path));
        EXPECT_EQ(again.nvm(), record);
        // A device whose memory does not take writes (a failing self test).
        again.setNvmWritable(false);
        std::array<std::uint8_t, kNvmSize> zeros{};
        EXPECT_EQ(again.transact(send(datatype::kNvmWrite, 20, 128), zeros).status, kStatusGood);
        EXPECT_EQ(again.nvm(), record);
    }
    // Only a regular file of exactly 128 bytes serves, or a new one in a folder
    // that exists; anything else is refused at once with the reason.
    std::filesystem::resize_file(path, 10);
    const std::string fifo = path + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string file;
        const char *reason;
    } refused[] = {
        {path, "not a 128-byte memory image"},
        {"/dev/zero", "not a regular file"},
        {fifo, "not a regular file"},
        {"/tmp", "not a regular file"},
        {path + ".missing/nvm.bin", "cannot create it: No such file"},
    };
    for (const auto &r : refused) {
        DeviceModel broken;
        std::string error;
        EXPECT_FALSE(broken.setNvmFile(r.file, &error)) << r.file;
        EXPECT_NE(error.find(r.reason), std::string::npos) << r.file << ": " << error;
    }
    std::filesystem::resize_file(path, 129);
    DeviceModel longer;
    EXPECT_FALSE(longer.setNvmFile(path));
    std::filesystem::remove(path);
    std::filesystem::remove(fifo);
}

TEST(SimModel, SendsAreRecordedByDataType)
{
    DeviceModel m;
    std::vector<std::uint8_t> table(kGammaSize);
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i % 2 ? i / 2 : 0);
    EXPECT_EQ(m.transact(send(datatype::kGamma, 2, 512), table).status, kStatusGood);
    EXPECT_EQ(m.gamma(2), table);
    EXPECT_TRUE(m.gamma(0).empty());
    EXPECT_EQ(m.gammaSendCount(), 1u);
    EXPECT_EQ(m.transact(send(datatype::kGamma, 3, 512), table).status, kStatusCheckCondition);

    const std::vector<std::uint8_t> tune{0x00, 0x10, 0x00, 0x20};
    EXPECT_EQ(m.transact(send(datatype::kTuneFirstPair, 3, 4), tune).status, kStatusGood);
    EXPECT_EQ(m.tuning(datatype::kTuneFirstPair), tune);
    EXPECT_EQ(m.tuningQualifier(datatype::kTuneFirstPair), 3);
    EXPECT_EQ(m.transact(send(datatype::kTuneSecondPair, 1, 3), Bytes{0, 1, 2}).status,
              kStatusCheckCondition);

    EXPECT_FALSE(m.powerSaveTime());
    EXPECT_EQ(m.transact(send(datatype::kPowerSave, 0, 2), Bytes{0x00, 0x10}).status, kStatusGood);
    EXPECT_EQ(m.transact(send(datatype::kPowerOff, 0, 2), Bytes{0x01, 0x02}).status, kStatusGood);
    EXPECT_EQ(m.powerSaveTime(), 0x0010);
    EXPECT_EQ(m.powerOffTime(), 0x0102);

    // Other data types pass through and read back.
    EXPECT_EQ(m.transact(send(0xC1, 0, 3), Bytes{7, 8, 9}).status, kStatusGood);
    EXPECT_EQ(m.passThrough(0xC1), (std::vector<std::uint8_t>{7, 8, 9}));
    EXPECT_EQ(m.transact(read(0xC1, 3), {}, 3).dataIn, (std::vector<std::uint8_t>{7, 8, 9}));
}

TEST(SimModel, WindowIsCheckedAndGivesGeometryAndCalibrationSizes)
{
    DeviceModel m;
    // Before any window: no calibration data, no scan.
    EXPECT_EQ(m.transact(read(datatype::kCalibrationData, 495360), {}, 495360).status, kStatusCheckCondition);
    EXPECT_EQ(m.transact(cdb(opcode::kScan, 0, 0, 0, 0, 0x80)).status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x2C, 0}));

    ASSERT_EQ(setWindow(m, windowList(600, 5, 8, 5100 * 3, 1012)), kStatusGood);
    auto w = m.window();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->geometry.dpi, 600u);
    EXPECT_EQ(w->geometry.pixels, 5100u);
    EXPECT_EQ(w->geometry.lines, 1012u);
    EXPECT_EQ(w->geometry.channels, 3u);
    EXPECT_EQ(w->geometry.imageBytes(), 5100ull * 3 * 1012);

    auto status = m.transact(read(datatype::kCalibrationStatus, 32), {}, 32);
    ASSERT_EQ(status.dataIn.size(), 32u);
    EXPECT_EQ(status.dataIn[4], 1);
    m.setCalibrationState(3);
    EXPECT_EQ(m.transact(read(datatype::kCalibrationStatus, 32), {}, 32).dataIn[4], 3);
    auto raw = m.transact(read(datatype::kCalibrationDataColor, 990720), {}, 990720);
    EXPECT_EQ(raw.status, kStatusGood);
    EXPECT_EQ(raw.dataIn, DeviceModel::calibrationData(600));
    EXPECT_EQ(m.transact(read(datatype::kCalibrationData, 495360), {}, 495360).status, kStatusCheckCondition);

    // Refused windows leave the last good one in place.
    EXPECT_EQ(setWindow(m, windowList(400, 5, 8, 3000, 10)), kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x26, 0x02}));
    EXPECT_EQ(setWindow(m, windowList(300, 5, 8, 2551 * 3, 10)), kStatusCheckCondition); // too wide
    EXPECT_EQ(setWindow(m, windowList(300, 5, 8, 2550 * 3, 0)), kStatusCheckCondition);  // no lines
    auto shortList = windowList(300, 5, 8, 2550 * 3, 10);
    shortList[7] = 70;
    EXPECT_EQ(setWindow(m, shortList), kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x1A, 0}));
    EXPECT_EQ(m.window()->geometry.dpi, 600u);

    // With overscan the line may be wider by extents 2 and 4.
    DeviceModel wide(InquiryProfile::withOverscan());
    EXPECT_EQ(setWindow(wide, windowList(300, 5, 8, 2598 * 3, 10)), kStatusGood);
    EXPECT_EQ(setWindow(wide, windowList(300, 5, 8, 2599 * 3, 10)), kStatusCheckCondition);
}

TEST(SimModel, ScanDeliversThePageAndEndOfMediumAfterIt)
{
    DeviceModel m;
    m.setImageSource(std::make_shared<TestChart>());
    ASSERT_EQ(setWindow(m, windowList(300, 5, 8, 2550 * 3, 40, 1200)), kStatusGood);
    EXPECT_EQ(m.transact(read(datatype::kImage, 100), {}, 100).status, kStatusCheckCondition); // not scanning
    EXPECT_EQ(m.transact(cdb(opcode::kReserveUnit)).status, kStatusGood);
    EXPECT_TRUE(m.reserved());
    EXPECT_EQ(m.transact(cdb(opcode::kScan, 0, 0, 0, 0, 0x80)).status, kStatusGood);
    EXPECT_TRUE(m.scanning());
    EXPECT_EQ(m.lastScanFlags(), 0x80);

    const auto expected = renderDeviceImage(TestChart(), m.window()->geometry);
    ASSERT_EQ(expected.size(), 2550u * 3 * 40);
    std::vector<std::uint8_t> got;
    for (std::size_t chunk : {1000u, 100000u, 204000u}) {
        auto r = m.transact(read(datatype::kImage, static_cast<std::uint32_t>(chunk)), {}, chunk);
        ASSERT_EQ(r.status, kStatusGood);
        got.insert(got.end(), r.dataIn.begin(), r.dataIn.end());
    }
    ASSERT_EQ(got.size(), 305000u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
    EXPECT_EQ(m.imageBytesServed(), 305000u);

    // The last piece plus 1000 bytes past the end.
    auto tail = m.transact(read(datatype::kImage, 1000), {}, 1000);
    EXPECT_EQ(tail.status, kStatusGood);
    EXPECT_TRUE(std::equal(tail.dataIn.begin(), tail.dataIn.end(), expected.end() - 1000));
    auto past = m.transact(read(datatype::kImage, 1000), {}, 1000);
    EXPECT_EQ(past.status, kStatusCheckCondition);
    EXPECT_EQ(past.dataIn, std::vector<std::uint8_t>(1000, 0));
    auto s = m.transact(kRequestSense, {}, 22).dataIn;
    EXPECT_EQ(s[2], 0x40); // end of medium, key 0
    EXPECT_EQ(s[13], 0x02);

    EXPECT_EQ(m.transact(cdb(opcode::kReleaseUnit, 0, 0, 0, 0, 3)).status, kStatusGood);
    EXPECT_FALSE(m.reserved());
    EXPECT_FALSE(m.scanning());
    EXPECT_EQ(m.lastReleaseCode(), 3);
}

// The host's second colour code goes out with composition 0 but a colour
// line (three samples a pixel); a line that is one pixel a byte stays gray.
TEST(SimModel, OneChannelCompositionWithAColourLineIsScannedAsColour)
{
    DeviceModel m;
    m.setImageSource(std::make_shared<SolidPaper>(200, 50, 10));
    ASSERT_EQ(setWindow(m, windowList(300, 0, 8, 2550 * 3, 6)), kStatusGood);
    auto g = m.window()->geometry;
    EXPECT_EQ(g.channels, 3u);
    EXPECT_EQ(g.bitsPerSample, 8u);
    EXPECT_EQ(g.pixels, 2550u);
    ASSERT_EQ(g.imageBytes(), 2550u * 3 * 6);
    ASSERT_EQ(m.transact(cdb(opcode::kScan)).status, kStatusGood);
    auto page = m.transact(read(datatype::kImage, 2550 * 3 * 6), {}, 2550 * 3 * 6);
    ASSERT_EQ(page.status, kStatusGood);
    EXPECT_EQ(page.dataIn, renderDeviceImage(SolidPaper(200, 50, 10), g));
    for (std::size_t i : {0u, 3u * 2549, 2550u * 3 * 5 + 300}) {
        EXPECT_EQ((Key{page.dataIn[i], page.dataIn[i + 1], page.dataIn[i + 2]}), (Key{200, 50, 10})) << i;
    }

    // 16 bits a sample at 600 dpi, also composition 0.
    ASSERT_EQ(setWindow(m, windowList(600, 0, 16, 5100 * 6, 4)), kStatusGood);
    g = m.window()->geometry;
    EXPECT_EQ(g.channels, 3u);
    EXPECT_EQ(g.bitsPerSample, 16u);
    EXPECT_EQ(g.pixels, 5100u);

    // Line art with eight bits: one channel, one byte a pixel, as before.
    ASSERT_EQ(setWindow(m, windowList(300, 0, 8, 2550, 6)), kStatusGood);
    g = m.window()->geometry;
    EXPECT_EQ(g.channels, 1u);
    EXPECT_EQ(g.pixels, 2550u);
    ASSERT_EQ(m.transact(cdb(opcode::kScan)).status, kStatusGood);
    auto gray = m.transact(read(datatype::kImage, 2550 * 6), {}, 2550 * 6);
    ASSERT_EQ(gray.status, kStatusGood);
    EXPECT_EQ(gray.dataIn, renderDeviceImage(SolidPaper(200, 50, 10), g));
    EXPECT_EQ(gray.dataIn[0], 90); // luminance of the paper

    // Refused: too wide even as colour, no whole RGB pixels, or 1-bit samples.
    const Key invalid{5, 0x26, 0x02};
    EXPECT_EQ(setWindow(m, windowList(300, 0, 8, 2551 * 3, 6)), kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), invalid);
    EXPECT_EQ(setWindow(m, windowList(300, 0, 8, 2551, 6)), kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), invalid);
    EXPECT_EQ(setWindow(m, windowList(300, 0, 1, 2550 * 3, 6)), kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), invalid);
    EXPECT_EQ(m.window()->geometry.channels, 1u);

    // With overscan the colour line may be as wide as the widened device line.
    DeviceModel wide(InquiryProfile::withOverscan());
    EXPECT_EQ(setWindow(wide, windowList(300, 0, 8, 2598 * 3, 10)), kStatusGood);
    EXPECT_EQ(wide.window()->geometry.channels, 3u);
    EXPECT_EQ(setWindow(wide, windowList(300, 0, 8, 2599 * 3, 10)), kStatusCheckCondition);
}

TEST(SimModel, CheckConditionAndStatusFaultsHitTheNthMatchingCommand)
{
    DeviceModel m;
    m.injectCheckCondition({opcode::kRead, datatype::kNvmRead, 2}, makeSense(2, 0x04, 0x01));
    m.injectStatus({opcode::kInquiry, -1, 0}, 0x08);
    EXPECT_EQ(m.transact(read(datatype::kNvmRead, 128), {}, 128).status, kStatusGood);
    EXPECT_EQ(m.transact(read(datatype::kCalibrationStatus, 32), {}, 32).status, kStatusGood); // other type
    auto second = m.transact(read(datatype::kNvmRead, 128), {}, 128);
    EXPECT_EQ(second.status, kStatusCheckCondition);
    EXPECT_EQ(second.dataIn.size(), 128u); // the data phase still runs
    EXPECT_EQ(senseOf(m), (Key{2, 0x04, 0x01}));
    EXPECT_EQ(m.transact(read(datatype::kNvmRead, 128), {}, 128).status, kStatusGood);
    // nth 0: every INQUIRY.
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).status, 0x08);
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).status, 0x08);
    m.clearFaults();
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).status, kStatusGood);

    const auto t = m.transcript();
    ASSERT_EQ(t.size(), 8u);
    EXPECT_EQ(t[2].status, kStatusCheckCondition);
    EXPECT_EQ(t[2].dataType(), datatype::kNvmRead);
    EXPECT_EQ(t[2].qualifier(), 0x0A0D);
    EXPECT_EQ(t[2].transferLength(), 128u);
    EXPECT_EQ(t[3].opcode(), opcode::kRequestSense);
    EXPECT_EQ(m.transactionsWithOpcode(opcode::kInquiry).size(), 3u);
}

TEST(SimModel, TransferFailuresInEachPhase)
{
    DeviceModel m;
    m.injectTransferFailure({opcode::kInquiry, -1, 1}, Phase::Command, TransferStatus::Stall);
    m.injectTransferFailure({opcode::kInquiry, -1, 2}, Phase::DataIn, TransferStatus::IoError);
    m.injectTransferFailure({opcode::kInquiry, -1, 3}, Phase::Status, TransferStatus::Stall);
    m.injectTransferFailure({opcode::kSend, -1, 1}, Phase::DataOut, TransferStatus::Stall);

    EXPECT_EQ(m.transact(inquiry(5), {}, 5).failure, TransferStatus::Stall);
    auto dataIn = m.transact(inquiry(5), {}, 5);
    EXPECT_EQ(dataIn.failure, TransferStatus::IoError);
    EXPECT_TRUE(dataIn.dataIn.empty());
    auto status = m.transact(inquiry(5), {}, 5);
    EXPECT_EQ(status.failure, TransferStatus::Stall);
    EXPECT_EQ(status.dataIn.size(), 5u);
    EXPECT_EQ(m.transact(send(datatype::kPowerSave, 0, 2), Bytes{0, 1}).failure, TransferStatus::Stall);
    EXPECT_FALSE(m.powerSaveTime());
    // The device answers the next command normally.
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).status, kStatusGood);

    const auto t = m.transcript();
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].failedPhase, Phase::Command);
    EXPECT_EQ(t[1].failedPhase, Phase::DataIn);
    EXPECT_EQ(t[2].failedPhase, Phase::Status);
    EXPECT_EQ(t[3].failedPhase, Phase::DataOut);
    EXPECT_EQ(t[4].failure, TransferStatus::Done);

    // NoDevice unplugs: every later transfer fails.
    m.injectTransferFailure({opcode::kReserveUnit, -1, 1}, Phase::Status, TransferStatus::NoDevice);
    EXPECT_EQ(m.transact(cdb(opcode::kReserveUnit)).failure, TransferStatus::NoDevice);
    EXPECT_TRUE(m.unplugged());
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).failure, TransferStatus::NoDevice);
    std::uint8_t packet[8];
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::NoDevice);
}

TEST(SimModel, ShortPiecesNeverCrossIntoTheStatus)
{
    DeviceModel m;
    m.setDataInPieceSize(7);
    ASSERT_EQ(m.bulkOut(inquiry(20)).status, TransferStatus::Done);
    std::vector<std::uint8_t> buffer(64);
    std::vector<std::size_t> sizes;
    for (;;) {
        auto r = m.bulkIn(buffer);
        ASSERT_EQ(r.status, TransferStatus::Done);
        sizes.push_back(r.length);
        if (sizes.size() == 4) break;
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{7, 7, 6, 1})); // three data pieces, then the status
    EXPECT_EQ(m.bulkIn(buffer).status, TransferStatus::Pending);
}

TEST(SimModel, UnplugAfterImageBytesCutsTheDataPhase)
{
    DeviceModel m;
    ASSERT_EQ(setWindow(m, windowList(300, 5, 8, 2550 * 3, 100)), kStatusGood);
    ASSERT_EQ(m.transact(cdb(opcode::kScan, 0, 0, 0, 0, 0x80)).status, kStatusGood);
    m.unplugAfterImageBytes(10000);
    EXPECT_EQ(m.transact(read(datatype::kImage, 8000), {}, 8000).status, kStatusGood);
    auto r = m.transact(read(datatype::kImage, 8000), {}, 8000);
    EXPECT_EQ(r.failure, TransferStatus::NoDevice);
    EXPECT_EQ(r.dataIn.size(), 2000u);
    EXPECT_TRUE(m.unplugged());
}

TEST(SimModel, ProtocolErrorsAreCountedAndAnswered)
{
    DeviceModel m;
    const std::vector<std::uint8_t> six{opcode::kInquiry, 0, 0, 0, 5, 0};
    auto r = m.transact(six);
    EXPECT_EQ(r.status, kStatusCheckCondition);
    EXPECT_EQ(m.protocolErrors(), 1u);
    // A new command while the previous status is still unread drops it.
    ASSERT_EQ(m.bulkOut(cdb(opcode::kReserveUnit)).status, TransferStatus::Done);
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).status, kStatusGood);
    EXPECT_EQ(m.protocolErrors(), 2u);
}

TEST(SimModel, ButtonPacketsQueueAndFail)
{
    DeviceModel m(InquiryProfile::withButtons());
    std::uint8_t packet[8] = {};
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Pending);
    m.pressButton(6);
    m.queueButtonPacket({0x83, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(m.pendingButtonPackets(), 2u);
    auto r = m.interruptIn(packet);
    EXPECT_EQ(r.status, TransferStatus::Done);
    EXPECT_EQ(r.length, 8u);
    EXPECT_EQ(packet[0], 6);
    m.injectInterruptFailure(TransferStatus::Stall);
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Stall);
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Done);
    EXPECT_EQ(packet[0], 0x83);
    m.clearButtonPackets();
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Pending);
}

TEST(SimModel, TranscriptKeepsOnlyTheStartOfLargeData)
{
    DeviceModel m;
    m.setTranscriptDataLimit(16);
    ASSERT_EQ(setWindow(m, windowList(600, 5, 8, 5100 * 3, 12)), kStatusGood);
    m.transact(read(datatype::kCalibrationDataColor, 990720), {}, 990720);
    auto t = m.transcript().back();
    EXPECT_EQ(t.dataInLength, 990720u);
    EXPECT_EQ(t.dataIn.size(), 16u);
    EXPECT_NE(describe(t).find("28 00 62 00 0A 0D 0F 1E 00 00"), std::string::npos) << describe(t);
    m.clearTranscript();
    EXPECT_EQ(m.transactionCount(), 0u);

    // A ring of the last transactions: the oldest go first; 0 keeps none.
    m.setTranscriptCapacity(2);
    for (std::uint32_t length : {128u, 64u, 32u}) m.transact(read(datatype::kNvmRead, length), {}, length);
    t = m.transcript().front();
    ASSERT_EQ(m.transactionCount(), 2u);
    EXPECT_EQ(t.dataInLength, 64u);
    m.setTranscriptCapacity(0);
    m.transact(read(datatype::kNvmRead, 128), {}, 128);
    EXPECT_EQ(m.transactionCount(), 0u);
}

} // namespace
