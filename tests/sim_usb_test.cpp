// The virtual scanner through the real libusb under umockdev: enumeration,
// open, claim, command transactions on the bulk pipes, the interrupt pipe and
// failures (stall, unplug, claimed elsewhere).
#include <libusb.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "testbed/testbed.h"

namespace {

using sim::opcode::kInquiry;

constexpr unsigned char kBulkIn = 0x81;
constexpr unsigned char kBulkOut = 0x02;
constexpr unsigned char kInterruptIn = 0x83;

// A libusb context for one test, with helpers for the scanner's transaction.
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

    int countDevices()
    {
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        if (n >= 0) libusb_free_device_list(list, 1);
        return static_cast<int>(n);
    }

    // Opens and claims the first scanner.
    void openScanner()
    {
        auto devices = scanners();
        ASSERT_FALSE(devices.empty());
        ASSERT_EQ(libusb_open(devices[0], &handle_), 0);
        for (auto *d : devices) libusb_unref_device(d);
        ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    }

    int bulkOut(const void *data, int length, int *done = nullptr)
    {
        int moved = 0;
        const int r = libusb_bulk_transfer(
            handle_, kBulkOut, static_cast<unsigned char *>(const_cast<void *>(data)), length, &moved, 2000);
        if (done) *done = moved;
        return r;
    }

    int bulkIn(void *data, int length, int *done, unsigned timeout = 2000)
    {
        return libusb_bulk_transfer(handle_, kBulkIn, static_cast<unsigned char *>(data), length, done,
                                    timeout);
    }

    // Reads exactly `length` bytes, in as many transfers as it takes.
    int readAll(std::vector<std::uint8_t> &out, std::size_t length, int *transfers = nullptr)
    {
        out.assign(length, 0);
        std::size_t got = 0;
        int count = 0;
        while (got < length) {
            int n = 0;
            const int r = bulkIn(out.data() + got, static_cast<int>(length - got), &n);
            ++count;
            if (r != 0) return r;
            got += static_cast<std::size_t>(n);
        }
        if (transfers) *transfers = count;
        return 0;
    }

    // One transaction: command, data in, status. Returns the libusb result of
    // the first failing transfer, else 0 with the status in *status.
    int transaction(const std::vector<std::uint8_t> &command, std::vector<std::uint8_t> &dataIn,
                    std::size_t inLength, std::uint8_t *status)
    {
        int r = bulkOut(command.data(), static_cast<int>(command.size()));
        if (r != 0) return r;
        if (inLength > 0 && (r = readAll(dataIn, inLength)) != 0) return r;
        int n = 0;
        r = bulkIn(status, 1, &n);
        return r;
    }

    // SET WINDOW for a colour window (8 bits a sample); returns the status.
    std::uint8_t setWindow(unsigned dpi, std::uint32_t bytesPerLine, std::uint16_t lines)
    {
        std::vector<std::uint8_t> window(sim::kWindowListSize, 0);
        window[7] = sim::kWindowDescriptorSize;
        std::uint8_t *d = window.data() + sim::kWindowHeaderSize;
        d[2] = d[4] = static_cast<std::uint8_t>(dpi >> 8);
        d[3] = d[5] = static_cast<std::uint8_t>(dpi);
        d[25] = 5;
        d[26] = 8;
        d[45] = static_cast<std::uint8_t>(bytesPerLine >> 8);
        d[46] = static_cast<std::uint8_t>(bytesPerLine);
        d[47] = static_cast<std::uint8_t>(lines >> 8);
        d[48] = static_cast<std::uint8_t>(lines);
        const std::vector<std::uint8_t> command{sim::opcode::kSetWindow, 0, 0, 0, 0, 0, 0, 0, 79, 0};
        std::uint8_t status = 0xFF;
        int n = 0;
        EXPECT_EQ(bulkOut(command.data(), 10), 0);
        EXPECT_EQ(bulkOut(window.data(), 79), 0);
        EXPECT_EQ(bulkIn(&status, 1, &n), 0);
        return status;
    }

    // The active configuration descriptor of `device` (null if there is none).
    static std::unique_ptr<libusb_config_descriptor, void (*)(libusb_config_descriptor *)>
    activeConfig(libusb_device *device, int *result = nullptr)
    {
        libusb_config_descriptor *config = nullptr;
        const int r = libusb_get_active_config_descriptor(device, &config);
        if (result) *result = r;
        return {r == 0 ? config : nullptr, libusb_free_config_descriptor};
    }

    void unref(const std::vector<libusb_device *> &devices)
    {
        for (auto *d : devices) libusb_unref_device(d);
    }

    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
    std::vector<std::uint8_t> data_;
    std::uint8_t status_ = 0xFF;
};

// The fixture with other devices on the bus.
template <auto Configure>
class BusTest : public UsbTest {
protected:
    sim::BusOptions busOptions() const override
    {
        sim::BusOptions o;
        Configure(o);
        return o;
    }
};

std::vector<std::uint8_t> inquiryCommand(std::uint8_t length)
{
    return {kInquiry, 0, 0, 0, length, 0, 0, 0, 0, 0};
}

std::vector<std::uint8_t> readCommand(std::uint8_t type, std::uint32_t length)
{
    return {sim::opcode::kRead,
            0,
            type,
            0,
            0x0A,
            0x0D,
            static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length),
            0};
}

TEST_F(UsbTest, EnumeratesOpensClaimsAndRunsAnInquiry)
{
    auto devices = scanners();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(libusb_get_bus_number(devices[0]), 1);
    EXPECT_EQ(libusb_get_device_address(devices[0]), 2);
    EXPECT_EQ(libusb_get_device_speed(devices[0]), LIBUSB_SPEED_HIGH);

    auto config = activeConfig(devices[0]);
    ASSERT_TRUE(config);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceNumber, 0);
    ASSERT_EQ(alt.bNumEndpoints, 3);
    const std::pair<unsigned char, int> endpoints[] = {{kBulkIn, LIBUSB_TRANSFER_TYPE_BULK},
                                                       {kBulkOut, LIBUSB_TRANSFER_TYPE_BULK},
                                                       {kInterruptIn, LIBUSB_TRANSFER_TYPE_INTERRUPT}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(alt.endpoint[i].bEndpointAddress, endpoints[i].first);
        EXPECT_EQ(alt.endpoint[i].bmAttributes, endpoints[i].second);
    }
    unref(devices);

    openScanner();
    EXPECT_TRUE(bus().claimed());
    int configuration = -1;
    EXPECT_EQ(libusb_get_configuration(handle_, &configuration), 0);
    EXPECT_EQ(configuration, 1);

    ASSERT_EQ(transaction(inquiryCommand(5), data_, 5, &status_), 0);
    EXPECT_EQ(status_, sim::kStatusGood);
    EXPECT_EQ(data_[4], 160);
    ASSERT_EQ(transaction(inquiryCommand(165), data_, 165, &status_), 0);
    EXPECT_EQ(status_, sim::kStatusGood);
    EXPECT_EQ(data_, scanner().inquiry());

    auto t = transcript();
    ASSERT_EQ(t.size(), 2u) << transcriptText();
    EXPECT_EQ(t[1].command, inquiryCommand(165));
    EXPECT_EQ(t[1].dataInLength, 165u);
}

TEST_F(UsbTest, InterruptTransferDeliversAQueuedPacketAndTimesOutWithoutOne)
{
    openScanner();
    unsigned char packet[8] = {};
    int n = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_interrupt_transfer(handle_, kInterruptIn, packet, 8, &n, 70), LIBUSB_ERROR_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(n, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(60));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));

    scanner().queueButtonPacket({5, 0, 1, 2, 3, 4, 6, 7});
    ASSERT_EQ(libusb_interrupt_transfer(handle_, kInterruptIn, packet, 8, &n, 70), 0);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(packet[0], 5);
    EXPECT_EQ(packet[7], 7);
    EXPECT_EQ(scanner().pendingButtonPackets(), 0u);

    // A packet queued while the transfer waits arrives within the time-out.
    std::thread press([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        scanner().pressButton(3);
    });
    const int r = libusb_interrupt_transfer(handle_, kInterruptIn, packet, 8, &n, 500);
    press.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(packet[0], 3);

    // The bulk pipes are unaffected by the cancelled interrupt transfer.
    ASSERT_EQ(transaction(inquiryCommand(5), data_, 5, &status_), 0);
    EXPECT_EQ(status_, 0);
}

TEST_F(UsbTest, DataInArrivesInShortPiecesAndStatusSeparately)
{
    openScanner();
    scanner().setDataInPieceSize(64);
    std::vector<std::uint8_t> data;
    int transfers = 0;
    ASSERT_EQ(bulkOut(inquiryCommand(165).data(), 10), 0);
    ASSERT_EQ(readAll(data, 165, &transfers), 0);
    EXPECT_EQ(transfers, 3); // 64 + 64 + 37
    EXPECT_EQ(data, scanner().inquiry());
    std::uint8_t status = 0xFF;
    int n = 0;
    ASSERT_EQ(bulkIn(&status, 1, &n), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(status, 0);
}

TEST_F(UsbTest, CheckConditionIsAnsweredBySenseDataAndAStallIsCleared)
{
    openScanner();
    scanner().injectCheckCondition({sim::opcode::kRead, sim::datatype::kNvmRead, 1},
                                   sim::makeSense(sim::sense::kKeyHardware, 0x60, 0x00));
    ASSERT_EQ(transaction(readCommand(sim::datatype::kNvmRead, 128), data_, 128, &status_), 0);
    EXPECT_EQ(status_, sim::kStatusCheckCondition);
    ASSERT_EQ(transaction({sim::opcode::kRequestSense, 0, 0, 0, 22, 0, 0, 0, 0, 0}, data_, 22, &status_), 0);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(data_[0], 0x70);
    EXPECT_EQ(data_[2], 0x04);
    EXPECT_EQ(data_[12], 0x60);
    // The second READ is not affected.
    ASSERT_EQ(transaction(readCommand(sim::datatype::kNvmRead, 128), data_, 128, &status_), 0);
    EXPECT_EQ(status_, 0);

    // A stalled status transfer fails with a pipe error; after clearing the
    // halt the next command works.
    scanner().injectTransferFailure({kInquiry, -1, 1}, sim::Phase::Status, sim::TransferStatus::Stall);
    EXPECT_EQ(transaction(inquiryCommand(5), data_, 5, &status_), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(handle_, kBulkIn), 0);
    ASSERT_EQ(transaction(inquiryCommand(5), data_, 5, &status_), 0);
    EXPECT_EQ(status_, 0);
}

TEST_F(UsbTest, UnplugEndsAWaitingTransferAndLaterOnesWithNoDevice)
{
    openScanner();
    // A bulk-in transfer without a time-out waits for data that never comes,
    // until the device goes away.
    std::thread unplugger([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bus().unplug();
    });
    unsigned char buffer[16];
    int n = -1;
    const int r = bulkIn(buffer, sizeof buffer, &n, 0);
    unplugger.join();
    EXPECT_EQ(r, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(bulkOut(inquiryCommand(5).data(), 10), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(bus().unplugged());
    // libusb's hotplug monitor drops the device from its list.
    int devices = -1;
    for (int i = 0; i < 100 && devices != 0; ++i) {
        devices = countDevices();
        if (devices != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(devices, 0);
}

TEST_F(UsbTest, UnplugInTheMiddleOfAnImageRead)
{
    openScanner();
    // Window: 300 dpi colour, 2550 pixels, 100 lines.
    ASSERT_EQ(setWindow(300, 2550 * 3, 100), 0) << transcriptText();
    std::vector<std::uint8_t> data;
    std::uint8_t status = 0xFF;
    int n = 0;
    ASSERT_EQ(transaction({sim::opcode::kScan, 0, 0, 0, 0, 0x80, 0, 0, 0, 0}, data, 0, &status), 0);
    ASSERT_EQ(status, 0);

    scanner().unplugAfterImageBytes(100000);
    ASSERT_EQ(transaction(readCommand(0, 65536), data, 65536, &status), 0);
    ASSERT_EQ(bulkOut(readCommand(0, 65536).data(), 10), 0);
    std::vector<std::uint8_t> rest(65536);
    ASSERT_EQ(bulkIn(rest.data(), 65536, &n), 0);
    EXPECT_EQ(n, 100000 - 65536);
    EXPECT_EQ(bulkIn(rest.data(), 65536, &n), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(bus().unplugged());
}

TEST_F(UsbTest, ThrottledDataArrivesAtTheConfiguredRate)
{
    openScanner();
    scanner().setThrottle(20'000'000); // 20 MB/s
    std::vector<std::uint8_t> data;
    std::uint8_t status = 0xFF;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(transaction(readCommand(sim::datatype::kNvmRead, 128), data, 128, &status), 0);
    }
    // 990720 bytes of calibration data need a window first.
    ASSERT_EQ(setWindow(600, 15300, 12), 0) << transcriptText();
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(
            transaction(readCommand(sim::datatype::kCalibrationDataColor, 990720), data, 990720, &status), 0);
        ASSERT_EQ(status, 0);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // About 4 MB at 20 MB/s.
    EXPECT_GE(seconds, 0.19);
    EXPECT_EQ(data, sim::DeviceModel::calibrationData(600));
    // A reap waits for data still on the wire instead of answering "try
    // again" to a host that asks at once, thousands of times a transfer.
    EXPECT_LT(bus().stats().retries, 500u);
}

using TwoScanners = BusTest<[](sim::BusOptions &o) {
    o.devices.resize(2);
    o.devices[0].refuseClaim = true; // claimed by another program
    o.devices[1].serial = "VS0000002";
}>;

TEST_F(TwoScanners, TheFirstIsBusyTheSecondIsClaimed)
{
    auto devices = scanners();
    ASSERT_EQ(devices.size(), 2u);
    libusb_device_handle *first = nullptr;
    ASSERT_EQ(libusb_open(devices[0], &first), 0);
    EXPECT_EQ(libusb_claim_interface(first, 0), LIBUSB_ERROR_BUSY);
    libusb_close(first);
    ASSERT_EQ(libusb_open(devices[1], &handle_), 0);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    EXPECT_FALSE(bus().claimed(0));
    EXPECT_TRUE(bus().claimed(1));

    unsigned char serial[64] = {};
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(devices[1], &dd), 0);
    EXPECT_GT(libusb_get_string_descriptor_ascii(handle_, dd.iSerialNumber, serial, sizeof serial), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(serial), "VS0000002");

    // Each device has its own model.
    std::vector<std::uint8_t> data;
    std::uint8_t status = 0xFF;
    ASSERT_EQ(transaction(inquiryCommand(5), data, 5, &status), 0);
    EXPECT_EQ(scanner(1).transactionCount(), 1u);
    EXPECT_EQ(scanner(0).transactionCount(), 0u);
    for (auto *d : devices) libusb_unref_device(d);
}

TEST_F(UsbTest, ASecondHandleCannotClaimUntilTheFirstIsClosed)
{
    openScanner();
    auto devices = scanners();
    libusb_device_handle *second = nullptr;
    ASSERT_EQ(libusb_open(devices[0], &second), 0);
    EXPECT_EQ(bus().openHandles(), 2u);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    libusb_close(handle_); // closing releases the claim, as the kernel does
    handle_ = nullptr;
    EXPECT_EQ(libusb_claim_interface(second, 0), 0);
    EXPECT_EQ(libusb_release_interface(second, 0), 0);
    EXPECT_FALSE(bus().claimed());
    libusb_close(second);
    for (auto *d : devices) libusb_unref_device(d);
}

using NoBulkOut = BusTest<[](sim::BusOptions &o) { o.devices[0].bulkOut = false; }>;

TEST_F(NoBulkOut, DescriptorsLackThePipeAndTransfersToItFail)
{
    auto devices = scanners();
    ASSERT_EQ(devices.size(), 1u);
    {
        auto config = activeConfig(devices[0]);
        ASSERT_TRUE(config);
        const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
        ASSERT_EQ(alt.bNumEndpoints, 2);
        EXPECT_EQ(alt.endpoint[0].bEndpointAddress, kBulkIn);
        EXPECT_EQ(alt.endpoint[1].bEndpointAddress, kInterruptIn);
    }
    unref(devices);
    openScanner();
    EXPECT_NE(bulkOut(inquiryCommand(5).data(), 10), 0);
    EXPECT_EQ(scanner().transactionCount(), 0u);
}

using Unconfigured = BusTest<[](sim::BusOptions &o) { o.devices[0].activeConfiguration = 0; }>;

TEST_F(Unconfigured, SetConfigurationMakesThePipesAvailable)
{
    auto devices = scanners();
    ASSERT_EQ(devices.size(), 1u);
    int result = 0;
    EXPECT_FALSE(activeConfig(devices[0], &result));
    EXPECT_EQ(result, LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_open(devices[0], &handle_), 0);
    int value = -1;
    EXPECT_EQ(libusb_get_configuration(handle_, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_set_configuration(handle_, 1), 0);
    EXPECT_EQ(bus().activeConfiguration(), 1);
    EXPECT_EQ(libusb_get_configuration(handle_, &value), 0);
    EXPECT_EQ(value, 1);
    auto config = activeConfig(devices[0]);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->interface[0].altsetting[0].bNumEndpoints, 3);
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    // Claimed interfaces keep the configuration.
    EXPECT_EQ(libusb_set_configuration(handle_, 0), LIBUSB_ERROR_BUSY);
    ASSERT_EQ(transaction(inquiryCommand(5), data_, 5, &status_), 0);
    EXPECT_EQ(status_, 0);
    unref(devices);
}

using SecondConfiguration = BusTest<[](sim::BusOptions &o) { o.devices[0].activeConfiguration = 2; }>;

TEST_F(SecondConfiguration, ActiveConfigurationHasNoPipesUntilTheFirstIsSet)
{
    auto devices = scanners();
    ASSERT_EQ(devices.size(), 1u);
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(devices[0], &dd), 0);
    EXPECT_EQ(dd.bNumConfigurations, 2);
    {
        auto config = activeConfig(devices[0]);
        ASSERT_TRUE(config);
        EXPECT_EQ(config->bConfigurationValue, 2);
        EXPECT_EQ(config->interface[0].altsetting[0].bNumEndpoints, 0);
    }
    ASSERT_EQ(libusb_open(devices[0], &handle_), 0);
    ASSERT_EQ(libusb_set_configuration(handle_, 1), 0);
    auto config = activeConfig(devices[0]);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->bConfigurationValue, 1);
    unref(devices);
}

using OtherDeviceOnly = BusTest<[](sim::BusOptions &o) {
    o.devices[0].vendorId = 0x1234;
    o.devices[0].productId = 0x5678;
}>;

TEST_F(OtherDeviceOnly, IsListedButIsNoScanner)
{
    EXPECT_EQ(countDevices(), 1);
    EXPECT_TRUE(scanners().empty());
}

TEST_F(UsbTest, StoppingWithAHandleOpenUnplugsInsteadOfHanging)
{
    openScanner();
    bus().stop();
    EXPECT_FALSE(bus().running());
    EXPECT_EQ(bulkOut(inquiryCommand(5).data(), 10), LIBUSB_ERROR_NO_DEVICE);
    // A new bus can start beside the one left in place.
    sim::VirtualScannerBus next;
    std::string error;
    EXPECT_TRUE(next.start(&error)) << error;
}

} // namespace
