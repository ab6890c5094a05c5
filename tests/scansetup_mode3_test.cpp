// Colour by the second colour code (ScanMode 3) end to end on the standard
// virtual scanner: the window goes out with composition 0 and a colour line,
// the scanner takes it, and a scan delivers three bytes a pixel.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/scanner.h"
#include "sim/device_model.h"
#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace {

class Mode3Scan : public testbed::ScannerTest {
protected:
    void SetUp() override
    {
        ScannerTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(InitializeDriver());
        ASSERT_TRUE(InitializeScanner());
    }

    void TearDown() override
    {
        StopScan();
        TerminateDriver();
        ScannerTest::TearDown();
    }
};

TEST_F(Mode3Scan, IsSetUpAndDeliversThreeBytesAPixel)
{
    constexpr uint16_t kPixels = 2544;
    constexpr uint16_t kLines = 8;
    tagScanParameter p{};
    p.ScanMode = 3;
    p.BitPerPixel = 24;
    p.XRes = 300;
    p.YRes = 300;
    p.PixelNum = kPixels;
    p.LineNum = 40;
    p.Width = kPixels;
    p.Length = 40;
    ASSERT_TRUE(SetScanParameter(&p)) << gErrCode << "\n" << transcriptText();

    // The window as the scanner took it: composition 0, a colour line.
    const auto window = scanner().window();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->descriptor[25], 0);
    EXPECT_EQ(window->descriptor[26], 8);
    EXPECT_EQ(window->geometry.channels, 3u);
    EXPECT_EQ(window->geometry.pixels, 2550u);

    ASSERT_TRUE(StartScan()) << gErrCode;
    const uint32_t lineBytes = 3u * kPixels;
    std::vector<uint8_t> image(lineBytes * kLines);
    ASSERT_TRUE(ReadScan(0, image.data(), static_cast<uint32_t>(image.size()))) << gErrCode;
    EXPECT_TRUE(StopScan());

    // Every line is the start of the scanner's colour line.
    const auto page = sim::renderDeviceImage(*scanner().imageSource(), window->geometry);
    ASSERT_GE(page.size(), std::size_t{window->geometry.bytesPerLine} * kLines);
    for (uint32_t y = 0; y < kLines; ++y) {
        const auto *got = image.data() + std::size_t{y} * lineBytes;
        const auto *want = page.data() + std::size_t{y} * window->geometry.bytesPerLine;
        EXPECT_TRUE(std::equal(got, got + lineBytes, want)) << "line " << y;
    }
}

} // namespace
