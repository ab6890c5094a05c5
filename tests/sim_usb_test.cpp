// The virtual scanner through the real libusb under umockdev: claiming, one
// transaction and stopping the bus under an open handle. The driver's own
// suites cover the rest (descriptors in transport_test) through the same path.
#include <libusb.h>

#include "testbed/testbed.h"

namespace {

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

    int bulk(unsigned char endpoint, std::vector<std::uint8_t> &data)
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

std::vector<std::uint8_t> inquiryCommand(std::uint8_t length)
{
    return {sim::opcode::kInquiry, 0, 0, 0, length, 0, 0, 0, 0, 0};
}

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

    auto command = inquiryCommand(165);
    std::vector<std::uint8_t> data(165), status(1);
    ASSERT_EQ(bulk(kBulkOut, command), 0);
    ASSERT_EQ(bulk(kBulkIn, data), 0);
    ASSERT_EQ(bulk(kBulkIn, status), 0);
    EXPECT_EQ(status, std::vector<std::uint8_t>{sim::kStatusGood});
    EXPECT_EQ(data, scanner().inquiry());
    ASSERT_EQ(transcript().size(), 1u) << transcriptText();
}

TEST_F(UsbTest, StoppingWithAHandleOpenUnplugsInsteadOfHanging)
{
    openScanner();
    bus().stop();
    EXPECT_FALSE(bus().running());
    auto command = inquiryCommand(5);
    EXPECT_EQ(bulk(kBulkOut, command), LIBUSB_ERROR_NO_DEVICE);
    // A new bus can start beside the one left in place.
    sim::VirtualScannerBus next;
    std::string error;
    EXPECT_TRUE(next.start(&error)) << error;
}

} // namespace
