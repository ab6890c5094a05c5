// The virtual scanner on its own. The device model, for what the driver never
// sends it: malformed commands, refused windows, the memory file and the
// transcript ring. Through the real libusb under umockdev: claiming, one
// transaction and stopping the bus under an open handle. The driver's suites
// exercise the rest (the descriptors in transport_test) through the same path.
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "testbed/testbed.h"

namespace {

using namespace sim;
using Bytes = std::vector<std::uint8_t>;
using Key = std::array<std::uint8_t, 3>;

Bytes cdb(std::uint8_t op, std::uint8_t b2 = 0, std::uint16_t qualifier = 0, std::uint32_t length = 0,
          std::uint8_t b4 = 0, std::uint8_t b5 = 0)
{
    Bytes c{op, 0, b2, 0, b4, b5, 0, 0, 0, 0};
    if (op == opcode::kRead || op == opcode::kSend) testbed::putBigEndian(&c[4], qualifier, 2);
    testbed::putBigEndian(&c[6], length, 3);
    return c;
}

Bytes inquiry(std::uint8_t length, std::uint8_t lun = 0)
{
    auto c = cdb(opcode::kInquiry, 0, 0, 0, length);
    c[1] = static_cast<std::uint8_t>(lun << 5);
    return c;
}

Bytes read(std::uint8_t type, std::uint32_t length) { return cdb(opcode::kRead, type, 0x0A0D, length); }
Bytes send(std::uint8_t type, std::uint16_t qualifier, std::uint32_t length)
{
    return cdb(opcode::kSend, type, qualifier, length);
}

// SET WINDOW parameter list: header + descriptor.
Bytes windowList(unsigned dpi, std::uint8_t composition, std::uint8_t bits, std::uint32_t bytesPerLine,
                 std::uint16_t lines)
{
    Bytes w(kWindowListSize, 0);
    w[7] = kWindowDescriptorSize;
    const auto d = testbed::windowDescriptor(dpi, composition, bits, bytesPerLine, lines);
    std::copy(d.begin(), d.end(), w.begin() + kWindowHeaderSize);
    return w;
}

std::uint8_t setWindow(DeviceModel &m, const Bytes &list)
{
    auto r = m.transact(cdb(opcode::kSetWindow, 0, 0, static_cast<std::uint32_t>(list.size())), list);
    return r.status.value_or(0xFF);
}

// Sense key, ASC, ASCQ reported by REQUEST SENSE.
Key senseOf(DeviceModel &m)
{
    auto r = m.transact(cdb(opcode::kRequestSense, 0, 0, 0, 22), {}, 22);
    EXPECT_EQ(r.status, kStatusGood);
    if (r.dataIn.size() < 22) return {0xFF, 0xFF, 0xFF};
    return {static_cast<std::uint8_t>(r.dataIn[2] & 0x0F), r.dataIn[12], r.dataIn[13]};
}

TEST(SimModel, MalformedCommandsAreRefusedWithSenseOnce)
{
    DeviceModel m;
    EXPECT_EQ(senseOf(m), (Key{0, 0, 0}));
    EXPECT_EQ(m.transact(cdb(0x99)).status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x20, 0}));
    EXPECT_EQ(senseOf(m), (Key{0, 0, 0}));
    EXPECT_EQ(m.transact(read(0x77, 4), {}, 4).status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x24, 0}));
    EXPECT_EQ(m.transact(inquiry(5, 1), {}, 5).status, kStatusCheckCondition); // LUN 1
    EXPECT_EQ(senseOf(m), (Key{5, 0x25, 0}));
    // Before any window: no calibration data, no scan.
    EXPECT_EQ(m.transact(read(datatype::kCalibrationData, 495360), {}, 495360).status, kStatusCheckCondition);
    EXPECT_EQ(m.transact(cdb(opcode::kScan, 0, 0, 0, 0, 0x80)).status, kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x2C, 0}));

    // A six-byte command, and a new command while the status is still unread.
    EXPECT_EQ(m.transact(Bytes{opcode::kInquiry, 0, 0, 0, 5, 0}).status, kStatusCheckCondition);
    EXPECT_EQ(m.protocolErrors(), 1u);
    ASSERT_EQ(m.bulkOut(cdb(opcode::kReserveUnit)).status, TransferStatus::Done);
    EXPECT_EQ(m.transact(inquiry(5), {}, 5).status, kStatusGood);
    EXPECT_EQ(m.protocolErrors(), 2u);
}

TEST(SimModel, WindowsAreCheckedAndRefusedOnesLeaveTheLastGoodOne)
{
    const struct {
        bool overscan;
        unsigned dpi;
        std::uint8_t composition, bits;
        std::uint32_t bytesPerLine;
        std::uint16_t lines;
        unsigned channels; // 0: refused
    } cases[] = {
        {false, 600, 5, 8, 5100 * 3, 1012, 3},
        {false, 300, 0, 8, 2550 * 3, 6, 3}, // one-channel code with a colour line
        {false, 600, 0, 16, 5100 * 6, 4, 3},
        {false, 300, 0, 8, 2550, 6, 1},
        {false, 400, 5, 8, 3000, 10, 0},
        {false, 300, 5, 8, 2551 * 3, 10, 0},
        {false, 300, 5, 8, 2550 * 3, 0, 0},
        {false, 300, 0, 8, 2551 * 3, 6, 0},
        {false, 300, 0, 8, 2551, 6, 0},
        {false, 300, 0, 1, 2550 * 3, 6, 0},
        {true, 300, 5, 8, 2598 * 3, 10, 3},
        {true, 300, 0, 8, 2598 * 3, 10, 3},
        {true, 300, 5, 8, 2599 * 3, 10, 0},
        {true, 300, 0, 8, 2599 * 3, 10, 0},
    };
    for (const auto &c : cases) {
        DeviceModel m(c.overscan ? InquiryProfile::withOverscan() : InquiryProfile::standard());
        ASSERT_EQ(setWindow(m, windowList(300, 5, 8, 300 * 3, 1)), kStatusGood);
        const auto status = setWindow(m, windowList(c.dpi, c.composition, c.bits, c.bytesPerLine, c.lines));
        const auto g = m.window()->geometry;
        SCOPED_TRACE(testing::Message() << c.dpi << " dpi, " << c.bytesPerLine << " bytes");
        if (c.channels == 0) {
            EXPECT_EQ(status, kStatusCheckCondition);
            EXPECT_EQ(senseOf(m), (Key{5, 0x26, 0x02}));
            EXPECT_EQ(g.pixels, 300u);
            continue;
        }
        EXPECT_EQ(status, kStatusGood);
        EXPECT_EQ(g.dpi, c.dpi);
        EXPECT_EQ(g.channels, c.channels);
        EXPECT_EQ(g.bitsPerSample, c.bits);
        EXPECT_EQ(g.imageBytes(), std::uint64_t{c.bytesPerLine} * c.lines);
    }
    DeviceModel m;
    auto shortList = windowList(300, 5, 8, 2550 * 3, 10);
    shortList[7] = 70;
    EXPECT_EQ(setWindow(m, shortList), kStatusCheckCondition);
    EXPECT_EQ(senseOf(m), (Key{5, 0x1A, 0}));
}

TEST(SimModel, ShortPiecesNeverCrossIntoTheStatus)
{
    DeviceModel m;
    m.setDataInPieceSize(7);
    ASSERT_EQ(m.bulkOut(inquiry(20)).status, TransferStatus::Done);
    Bytes buffer(64);
    std::vector<std::size_t> sizes;
    for (int i = 0; i < 4; ++i) {
        auto r = m.bulkIn(buffer);
        ASSERT_EQ(r.status, TransferStatus::Done);
        sizes.push_back(r.length);
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{7, 7, 6, 1})); // three data pieces, then the status
    EXPECT_EQ(m.bulkIn(buffer).status, TransferStatus::Pending);
}

TEST(SimModel, ButtonPacketsQueueInOrderAndFail)
{
    DeviceModel m(InquiryProfile::withButtons());
    std::uint8_t packet[8] = {};
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Pending);
    m.pressButton(6);
    m.queueButtonPacket({0x83, 1, 2, 3, 4, 5, 6, 7});
    auto r = m.interruptIn(packet);
    EXPECT_EQ(r.status, TransferStatus::Done);
    EXPECT_EQ(r.length, 8u);
    EXPECT_EQ(packet[0], 6);
    m.injectInterruptFailure(TransferStatus::Stall);
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Stall);
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Done);
    EXPECT_EQ(packet[0], 0x83);
    EXPECT_EQ(m.interruptIn(packet).status, TransferStatus::Pending);
}

TEST(SimModel, TranscriptKeepsTheStartOfLargeDataAndTheLastTransactions)
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

    m.setTranscriptCapacity(2);
    for (std::uint32_t length : {128u, 64u, 32u}) m.transact(read(datatype::kNvmRead, length), {}, length);
    ASSERT_EQ(m.transactionCount(), 2u);
    EXPECT_EQ(m.transcript().front().dataInLength, 64u);
    m.setTranscriptCapacity(0);
    m.transact(read(datatype::kNvmRead, 128), {}, 128);
    EXPECT_EQ(m.transactionCount(), 0u);
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
                  Bytes(record.begin(), record.end()));

        // Refused: qualifier outside 17..20, wrong lengths.
        EXPECT_EQ(m.transact(send(datatype::kNvmWrite, 16, 128), record).status, kStatusCheckCondition);
        EXPECT_EQ(senseOf(m), (Key{5, 0x24, 0}));
        Bytes shorter(100, 0);
        EXPECT_EQ(m.transact(send(datatype::kNvmWrite, 20, 100), shorter).status, kStatusCheckCondition);
        EXPECT_EQ(senseOf(m), (Key{5, 0x1A, 0}));
        EXPECT_EQ(m.transact(read(datatype::kNvmRead, 64), {}, 64).status, kStatusCheckCondition);
        EXPECT_EQ(m.nvm(), record);
    }
    {
        DeviceModel again;
        ASSERT_TRUE(again.setNvmFile(path));
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

// ---- Through libusb ---------------------------------------------------------

constexpr unsigned char kBulkIn = 0x81;
constexpr unsigned char kBulkOut = 0x02;

class UsbTest : public testbed::ScannerTest {
protected:
    void SetUp() override
    {
        testbed::ScannerTest::SetUp();
        ASSERT_EQ(libusb_init(&ctx_), 0);
    }

    void TearDown() override
    {
        if (handle_) {
            libusb_release_interface(handle_, 0);
            libusb_close(handle_);
        }
        if (ctx_) libusb_exit(ctx_);
        testbed::ScannerTest::TearDown();
    }

    // Devices with the scanner's IDs, in libusb's order (references held).
    std::vector<libusb_device *> scanners()
    {
        std::vector<libusb_device *> found;
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == sim::kVendorId &&
                d.idProduct == sim::kProductId) {
                found.push_back(libusb_ref_device(list[i]));
            }
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        return found;
    }

    void openScanner()
    {
        auto devices = scanners();
        ASSERT_FALSE(devices.empty());
        ASSERT_EQ(libusb_open(devices[0], &handle_), 0);
        for (auto *d : devices) libusb_unref_device(d);
        ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    }

    int bulk(unsigned char endpoint, Bytes &data)
    {
        int moved = 0;
        const int r =
            libusb_bulk_transfer(handle_, endpoint, data.data(), static_cast<int>(data.size()), &moved, 2000);
        data.resize(static_cast<std::size_t>(moved));
        return r;
    }

    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
};

TEST_F(UsbTest, EnumeratesOpensClaimsAndRunsAnInquiry)
{
    auto devices = scanners();
    ASSERT_EQ(devices.size(), 1u);
    // A second handle cannot claim while the first holds the interface.
    openScanner();
    EXPECT_TRUE(bus().claimed());
    libusb_device_handle *second = nullptr;
    ASSERT_EQ(libusb_open(devices[0], &second), 0);
    EXPECT_EQ(bus().openHandles(), 2u);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    libusb_close(second);
    for (auto *d : devices) libusb_unref_device(d);

    auto command = inquiry(165);
    Bytes data(165), status(1);
    ASSERT_EQ(bulk(kBulkOut, command), 0);
    ASSERT_EQ(bulk(kBulkIn, data), 0);
    ASSERT_EQ(bulk(kBulkIn, status), 0);
    EXPECT_EQ(status, Bytes{kStatusGood});
    EXPECT_EQ(data, scanner().inquiry());
    ASSERT_EQ(transcript().size(), 1u) << transcriptText();
}

TEST_F(UsbTest, StoppingWithAHandleOpenUnplugsInsteadOfHanging)
{
    openScanner();
    bus().stop();
    EXPECT_FALSE(bus().running());
    auto command = inquiry(5);
    EXPECT_EQ(bulk(kBulkOut, command), LIBUSB_ERROR_NO_DEVICE);
    // A new bus can start beside the one left in place.
    sim::VirtualScannerBus next;
    std::string error;
    EXPECT_TRUE(next.start(&error)) << error;
}

} // namespace
