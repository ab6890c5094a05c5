// Image delivery: whole scans in every mode and at every caller resolution,
// compared byte for byte with an expectation computed apart from the driver
// from the page the scanner renders; read-size patterns giving identical
// streams; the record variants; refusals.
// Labelled for ThreadSanitizer: DOCSCAN_THREADED_TESTS.
// The debug output goes to a directory of the test's own, never /tmp/DrvLog.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "imaging/convert.h"
#include "scan/scan.h"
#include "sim/device_model.h"
#include "sim/image_source.h"
#include "support/debug.h"
#include "testbed/driver_test.h"
#include "testbed/imaging.h"

namespace {

namespace fs = std::filesystem;

constexpr uint16_t kScannerWidth = 2550; // pixels at 300 dpi

enum class Mode { Colour, Gray, Red, Green, Blue, LineArt, Halftone };
using enum Mode;

struct Case {
    Mode mode;
    uint16_t xres;
    uint16_t left;   // 1/300 inch
    uint16_t pixels; // at xres
    uint16_t lines;  // at xres
    uint8_t pattern = 1;
};

// The whole width (a multiple of 8 pixels for line art and halftone).
Case Whole(Mode mode, uint16_t xres, uint16_t lines, uint8_t pattern = 1)
{
    unsigned pixels = kScannerWidth * xres / 300u;
    if (mode >= LineArt) pixels &= ~7u;
    return {mode, xres, 0, static_cast<uint16_t>(pixels), lines, pattern};
}

Case Crop(Mode mode, uint16_t xres, uint16_t left, uint16_t pixels, uint16_t lines, uint8_t pattern = 1)
{
    return {mode, xres, left, pixels, lines, pattern};
}

std::string Name(const Case &c)
{
    static const char *const kNames[] = {"Colour", "Gray", "Red", "Green", "Blue", "LineArt", "Halftone"};
    std::string name = kNames[static_cast<int>(c.mode)];
    if (c.mode == Halftone) name += std::to_string(c.pattern) + (c.left != 0 ? "" : "At");
    return name + (c.left != 0 ? "Cropped" : "") + std::to_string(c.xres);
}

void PrintTo(const Case &c, std::ostream *os) { *os << Name(c); }

tagScanParameter RequestFor(const Case &c)
{
    tagScanParameter p{};
    p.Left = c.left;
    p.Width = static_cast<uint16_t>(c.pixels * 300u / c.xres);
    p.Length = static_cast<uint16_t>(c.lines * 300u / c.xres);
    p.PixelNum = c.pixels;
    p.LineNum = c.lines;
    p.XRes = p.YRes = c.xres;
    // ScanMode, BitPerPixel and ColorFilter of each Mode, in its order.
    static const uint8_t kModes[][3] = {{4, 24, 0}, {2, 8, 0}, {2, 8, 1}, {2, 8, 2},
                                        {2, 8, 3},  {0, 1, 0}, {1, 1, 0}};
    const uint8_t *m = kModes[static_cast<int>(c.mode)];
    p.ScanMode = m[0];
    p.BitPerPixel = m[1];
    p.ColorFilter = m[2];
    if (c.mode == Halftone) p.HTPatternNo = c.pattern;
    return p;
}

uint32_t LineBytes(const Case &c)
{
    return c.mode == Colour ? 3u * c.pixels : c.mode >= LineArt ? c.pixels / 8u : c.pixels;
}

struct DevicePage {
    std::vector<uint8_t> rgb;
    uint32_t width = 0; // pixels
    uint32_t lines = 0;
};

// Appends one caller line made from a colour line of c.pixels pixels: gray is
// the luminance or one channel; line art takes the red channel against 128,
// halftone the luminance against the pattern's matrix (1 is black, leftmost
// pixel in bit 7).
void Convert(const Case &c, const uint8_t *colour, uint32_t lineInBlock, std::vector<uint8_t> &out)
{
    if (c.mode == Colour) {
        out.insert(out.end(), colour, colour + 3u * c.pixels);
        return;
    }
    auto value = [&](uint32_t x) {
        const uint8_t *px = colour + 3 * x;
        if (c.mode == Gray || c.mode == Halftone)
            return static_cast<uint8_t>((3 * px[0] + 6 * px[1] + px[2]) / 10);
        return px[c.mode == LineArt ? 0 : static_cast<int>(c.mode) - static_cast<int>(Red)];
    };
    if (c.mode < LineArt) {
        for (uint32_t x = 0; x < c.pixels; ++x) out.push_back(value(x));
        return;
    }
    for (uint32_t byte = 0; byte < c.pixels / 8; ++byte) {
        uint8_t bits = 0;
        for (uint32_t b = 0, x = byte * 8; b < 8; ++b, ++x) {
            const int threshold =
                c.mode == LineArt ? 128 : halftone[((c.pattern - 1u) * 8u + lineInBlock % 8u) * 8u + x % 8u];
            if (value(x) < threshold) bits = static_cast<uint8_t>(bits | (0x80u >> b));
        }
        out.push_back(bits);
    }
}

// The caller's bytes, computed scan-wide apart from the driver and its blocks:
// the device page cut to the requested pixels, resampled to the caller's
// resolution as one block of the resampling model (bilinear, or area means of
// 4 x 4 pixels for a quarter), converted, and binarised with the halftone
// matrix row restarting at every device block.
std::vector<uint8_t> CallerBytes(const Case &c, const DevicePage &page, double toCaller, double toDevice)
{
    const bool native = c.xres == 300 || c.xres == 600;
    const uint32_t blockLines = c.xres <= 300 ? 48u : 16u;
    const bool crop = (c.xres > 49 && (c.left != 0 || c.pixels != kScannerWidth)) ||
                      (c.mode == LineArt && c.pixels != static_cast<uint16_t>(c.pixels * 300u / c.xres));
    const uint32_t width = crop ? static_cast<uint32_t>(c.pixels * toDevice) : page.width;
    const uint32_t offset = crop ? (c.xres <= 300 ? 1u : 2u) * c.left : 0u;
    const uint32_t rows = native ? c.lines : toCaller < 0.5 ? 4u * c.lines : page.lines;
    if (offset + width > page.width || rows > page.lines) {
        ADD_FAILURE() << "the case needs pixels beyond the page";
        return {};
    }
    std::vector<uint8_t> colour(size_t{rows} * width * 3u);
    for (uint32_t y = 0; y < rows; ++y)
        std::copy_n(&page.rgb[(size_t{y} * page.width + offset) * 3u], width * 3u, &colour[y * width * 3u]);
    if (!native) {
        testbed::ScaleModel model(false);
        model.Run(std::vector<uint8_t>(colour), width, rows, colour, c.pixels, toCaller, toCaller, 24);
        EXPECT_FALSE(model.outOfRange);
        EXPECT_TRUE(toCaller >= 0.5 || width == 4u * c.pixels) << "area means of exactly 4 x 4 pixels";
    }
    EXPECT_GE(colour.size(), size_t{c.lines} * c.pixels * 3u) << "the case needs lines beyond the page";
    colour.resize(size_t{c.lines} * c.pixels * 3u);
    std::vector<uint8_t> out;
    for (uint32_t block = 0, line = 0; line < c.lines; ++block) {
        const double before = block * blockLines * toCaller, after = (block + 1) * blockLines * toCaller;
        const auto made = native ? blockLines : static_cast<uint32_t>(std::floor(after) - std::floor(before));
        for (uint32_t t = 0; t < made && line < c.lines; ++t, ++line)
            Convert(c, &colour[size_t{line} * c.pixels * 3u], t, out);
    }
    return out;
}

// Paper with something in every pixel: noise at 600 dpi, 0.7 inch tall (the
// longest case reads 0.6 inch).
std::shared_ptr<const sim::ImageSource> NoisePaper()
{
    static std::mt19937 rng(5);
    static const auto paper = std::make_shared<const sim::PicturePaper>(
        2u * kScannerWidth, 420u, 600u, testbed::Random(size_t{2u * kScannerWidth} * 420u * 3u, rng));
    return paper;
}

// The whole-width scanner of 8.5 inch, with the driver up.
class DeliveryTest : public testbed::DriverTest {
protected:
    void prepareScanner() override { scanner().setImageSource(NoisePaper()); }

    // Sets the request and starts the scan; returns the page the scanner renders.
    DevicePage Start(const Case &c, uint16_t top = 0)
    {
        auto p = RequestFor(c);
        p.Top = top;
        EXPECT_TRUE(SetScanParameter(&p)) << gErrCode;
        EXPECT_TRUE(StartScan()) << gErrCode;
        const auto window = scanner().window();
        if (!window) return {};
        const sim::ScanGeometry &g = window->geometry;
        return {sim::renderDeviceImage(*scanner().imageSource(), g), g.pixels, g.lines};
    }

    // Reads the caller's whole image in one call.
    std::vector<uint8_t> ReadImage(const Case &c)
    {
        std::vector<uint8_t> image(size_t{LineBytes(c)} * c.lines);
        EXPECT_TRUE(ReadScan(0, image.data(), static_cast<uint32_t>(image.size()))) << gErrCode;
        return image;
    }

    std::vector<uint8_t> Expected(const Case &c, const DevicePage &page)
    {
        return CallerBytes(c, page, gScanSetup.sacdimension.ScaleToCaller,
                           gScanSetup.sacdimension.ScaleToDevice);
    }
};

// Compares two streams line by line, naming the first line that differs.
::testing::AssertionResult SameLines(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want,
                                     uint32_t lineBytes)
{
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size();
    const size_t at =
        static_cast<size_t>(std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());
    if (at == got.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "line " << at / lineBytes << " byte " << at % lineBytes
                                         << ": got " << int{got[at]} << ", expected " << int{want[at]};
}

class WholeScanTest : public DeliveryTest, public ::testing::WithParamInterface<Case> {};

TEST_P(WholeScanTest, DeliversTheRequestedImage)
{
    const Case c = GetParam();
    const DevicePage page = Start(c);
    ASSERT_FALSE(page.rgb.empty());
    EXPECT_TRUE(SameLines(ReadImage(c), Expected(c, page), LineBytes(c)));
    EXPECT_TRUE(StopScan());
}

std::string ParamName(const ::testing::TestParamInfo<Case> &param) { return Name(param.param); }

// Colour and gray over the whole width at each resolution; gray by each channel; line art.
const Case kModes[] = {
    Whole(Colour, 300, 100),  Whole(Colour, 600, 60), Whole(Colour, 200, 100), Whole(Colour, 150, 60),
    Whole(Colour, 75, 40),    Whole(Colour, 400, 60), Whole(Gray, 300, 100),   Whole(Gray, 600, 40),
    Whole(Gray, 200, 100),    Whole(Gray, 150, 60),   Whole(Gray, 75, 40),     Whole(Gray, 400, 60),
    Whole(Red, 300, 60),      Whole(Green, 200, 60),  Whole(Blue, 600, 40),    Whole(LineArt, 300, 100),
    Whole(LineArt, 200, 100), Whole(LineArt, 75, 40), Whole(LineArt, 600, 40)};
INSTANTIATE_TEST_SUITE_P(Modes, WholeScanTest, ::testing::ValuesIn(kModes), ParamName);

// Halftone in each pattern, and where the matrix row restarting with every
// block meets blocks of varying line counts (200 dpi); cropped areas.
const Case kHalftoneAndCropped[] = {
    Whole(Halftone, 300, 60, 1),       Whole(Halftone, 300, 60, 2),      Whole(Halftone, 300, 60, 3),
    Whole(Halftone, 300, 60, 4),       Whole(Halftone, 300, 60, 5),      Whole(Halftone, 300, 60, 6),
    Whole(Halftone, 200, 100, 2),      Whole(Halftone, 150, 60, 1),      Whole(Halftone, 400, 60, 4),
    Crop(Colour, 300, 300, 600, 80),   Crop(Colour, 600, 300, 1200, 60), Crop(Colour, 200, 150, 800, 80),
    Crop(Colour, 75, 300, 200, 40),    Crop(Gray, 400, 75, 800, 60),     Crop(LineArt, 150, 601, 400, 60),
    Crop(Halftone, 300, 1, 800, 60, 6)};
INSTANTIATE_TEST_SUITE_P(HalftoneAndCropped, WholeScanTest, ::testing::ValuesIn(kHalftoneAndCropped),
                         ParamName);

TEST_F(DeliveryTest, AnyPatternOfReadSizesGivesTheSameStream)
{
    // Gray at 200 dpi, cropped: blocks of 32 rescaled lines, 800 bytes a line.
    const Case c{Gray, 200, 150, 800, 70};
    const size_t total = size_t{LineBytes(c)} * c.lines;
    std::vector<uint8_t> expected;

    auto scanWith = [&](const std::vector<uint32_t> &sizes, int variant) {
        const DevicePage page = Start(c);
        if (expected.empty()) expected = Expected(c, page);
        std::vector<uint8_t> image(total);
        size_t at = 0;
        for (size_t n = 0; at < total; ++n) {
            const uint32_t want =
                static_cast<uint32_t>(std::min<size_t>(sizes[n % sizes.size()], total - at));
            tagReadScanExParam ex{image.data() + at, want, 0, 0};
            tagReadScanEx2Param ex2{
                {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}, image.data() + at, {0x5A}, want, 0, 0};
            const bool ok = variant == 0   ? ReadScan(0, image.data() + at, want)
                            : variant == 1 ? ReadScanEx(&ex)
                                           : ReadScanEx2(&ex2);
            if (variant == 1) {
                EXPECT_EQ(ex.dwDelivered, want);
                EXPECT_EQ(ex.dwLines, want / dwApPixNum);
            } else if (variant == 2) {
                EXPECT_EQ(ex2.dwDelivered, want);
                EXPECT_EQ(ex2.dwDelivered2, want);
                EXPECT_EQ(ex2.Reserved0[7], 0xA5);
                EXPECT_EQ(ex2.Reserved16[0], 0x5A);
            }
            if (!ok) {
                ADD_FAILURE() << "read " << n << " of " << want << " bytes at " << at << ": " << gErrCode;
                break;
            }
            at += want;
        }
        EXPECT_TRUE(StopScan());
        return image;
    };

    const auto whole = scanWith({static_cast<uint32_t>(total)}, 0);
    EXPECT_TRUE(SameLines(whole, expected, LineBytes(c)));
    EXPECT_EQ(scanWith({1}, 0), whole) << "one byte at a time";
    EXPECT_EQ(scanWith({7, 4099, 1, 997, 65537, 25601}, 0), whole) << "odd sizes";
    EXPECT_EQ(scanWith({LineBytes(c)}, 1), whole) << "ReadScanEx, a line at a time";
    EXPECT_EQ(scanWith({3, 30000}, 2), whole) << "ReadScanEx2";
}

TEST_F(DeliveryTest, RefusedReadsLeaveTheScanUntouchedAndReadingPastThePageFailsWith157)
{
    std::vector<uint8_t> buffer(100);
    EXPECT_FALSE(ReadScan(0, buffer.data(), 100));
    EXPECT_EQ(gErrCode, 157u) << "no scan";
    tagReadScanExParam noScan{buffer.data(), 100, 0, 0};
    EXPECT_FALSE(ReadScanEx(&noScan));
    EXPECT_EQ(noScan.dwLines, 0u) << "no bytes per line known yet";
    EXPECT_EQ(noScan.dwDelivered, 100u);

    const Case c = Whole(Colour, 300, 20);
    const DevicePage page = Start(c);
    EXPECT_FALSE(ReadScan(0, nullptr, 100));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_FALSE(ReadScanEx(nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_FALSE(ReadScanEx2(nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    tagReadScanExParam r{nullptr, 10, 0, 0};
    EXPECT_FALSE(ReadScanEx(&r));
    EXPECT_EQ(r.dwDelivered, 10u) << "reported as delivered whatever the result";
    EXPECT_EQ(Session().readNext, 0u);
    EXPECT_EQ(Session().imageStore, 0u);
    EXPECT_TRUE(GetBackgroundRaster());

    // The page has 32 device lines, in one block of 48 counted lines: the rest
    // of the block is zero, and nothing beyond the block is written.
    std::vector<uint8_t> image(7650u * 60u, 0xEE);
    EXPECT_FALSE(ReadScan(0, image.data(), static_cast<uint32_t>(image.size())));
    EXPECT_EQ(gErrCode, 157u);
    EXPECT_TRUE(std::equal(page.rgb.begin(), page.rgb.end(), image.begin()));
    EXPECT_TRUE(
        std::all_of(image.begin() + 7650 * 32, image.begin() + 7650 * 48, [](uint8_t v) { return v == 0; }));
    EXPECT_TRUE(std::all_of(image.begin() + 7650 * 48, image.end(), [](uint8_t v) { return v == 0xEE; }));
    EXPECT_TRUE(StopScan());
}

// Line art of a width that is not a multiple of 8: each line packs the whole
// bytes only (318 for 2550 pixels), while the stored count of a block is the
// gray count divided by 8 (2550 x 48 / 8 = 15300 > 48 x 318). The stored
// count is kept; the stream is then not line-aligned.
using UnalignedLineArtTest =
    testbed::OnBus<DeliveryTest, [](sim::BusOptions &o) { o.devices[0].profile.boundaryLineArt = 1; }>;

TEST_F(UnalignedLineArtTest, StoredBytesOfABlockAreTheGrayCountDividedBy8)
{
    const Case c{LineArt, 300, 0, 2550, 100};
    Start(c);
    uint8_t byte = 0;
    ASSERT_TRUE(ReadScan(0, &byte, 1));
    EXPECT_EQ(Session().finalSize, 2550u * 48u / 8u);
    EXPECT_EQ(Session().imageStore, 2550u * 48u / 8u - 1u);
    EXPECT_TRUE(StopScan());
}

// Level 2 traces each call with the bytes stored after it; the device layers
// below ReadScan (level 3) write nothing.
TEST_F(DeliveryTest, ReadsInsideToTheEndOfAndAcrossABlockAndTheirTraceLines)
{
    const fs::path dir = fs::temp_directory_path() / ("docscan-delivery-test-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::snprintf(DebugFilePath, sizeof DebugFilePath, "%s/", dir.c_str());
    gDebugLevel = 2;

    const Case c = Whole(Gray, 300, 100);
    Start(c);
    std::vector<uint8_t> buffer(2550u * 100u);
    ASSERT_TRUE(ReadScan(0, buffer.data(), 1000)); // inside a block: one block taken
    EXPECT_EQ(Session().readNext, 1u);
    EXPECT_EQ(Session().finalSize, 2550u * 48u);
    ASSERT_TRUE(ReadScan(0, buffer.data(), 2550u * 48u - 1000u)); // exactly to its end: no further block
    EXPECT_EQ(Session().readNext, 1u);
    tagReadScanExParam r{buffer.data(), 2550u * 48u + 5u, 0, 0};
    ASSERT_TRUE(ReadScanEx(&r)); // across a block: as many blocks as it needs
    EXPECT_EQ(Session().readNext, 3u);
    tagReadScanEx2Param r2{{}, buffer.data(), {}, 3, 0, 0};
    ASSERT_TRUE(ReadScanEx2(&r2));
    ASSERT_TRUE(GetBackgroundRaster());
    ASSERT_TRUE(StopScan());

    const auto log = testbed::readLines(dir / "vemoDll.txt");
    const auto want = testbed::golden("delivery.trace", "reads");
    const auto from = std::find(log.begin(), log.end(), "Out  1 : StartScan :");
    ASSERT_NE(from, log.end());
    const auto count =
        std::min<std::ptrdiff_t>(log.end() - from - 1, static_cast<std::ptrdiff_t>(want.size()));
    EXPECT_EQ(std::vector<std::string>(from + 1, from + 1 + count), want);
    fs::remove_all(dir);
}

// ---- The two filtered models ------------------------------------------------------
// Their colour-scanned requests at 300 dpi pass four 3x3 filters, each one
// line late; the expectation runs them over the whole page. A filter's first two
// output lines depend on what it holds before the first block, so lines from
// 8 on (four filters, two lines each) are compared.

class FilterModelTest : public DeliveryTest, public ::testing::WithParamInterface<const char *> {
protected:
    void prepareScanner() override
    {
        scanner().setImageSource(std::make_shared<sim::TestChart>());
        auto inquiry = scanner().inquiry();
        std::memset(inquiry.data() + 16, 0, 6);
        std::memcpy(inquiry.data() + 16, GetParam(), 5);
        scanner().setInquiry(inquiry);
    }
};

// Colour and gray (before its conversion) at 300 dpi, 120 lines from 1.1 inch
// down: colour patches, the gray ramp, fine lines.
TEST_P(FilterModelTest, At300IsFilteredOneLineLatePerFilter)
{
    for (const Mode mode : {Colour, Gray}) {
        const Case c = Whole(mode, 300, 120);
        SCOPED_TRACE(Name(c));
        const DevicePage page = Start(c, 330);
        ASSERT_FALSE(page.rgb.empty());
        const std::vector<uint8_t> image = ReadImage(c);
        std::vector<uint8_t> filtered = page.rgb, want;
        for (int rule = 0; rule < 4; ++rule) testbed::FilterModel(rule).Process(filtered, 7650);
        for (uint32_t m = 8; m < c.lines; ++m) Convert(c, &filtered[m * 7650u], 0, want);
        const uint32_t lineBytes = LineBytes(c);
        EXPECT_TRUE(SameLines({image.begin() + 8 * lineBytes, image.end()}, want, lineBytes))
            << "from line 8";
        // The filters really changed something on this page.
        EXPECT_FALSE(std::equal(image.begin() + 8 * lineBytes, image.end(),
                                CallerBytes(c, page, 1.0, 1.0).begin() + 8 * lineBytes));
        EXPECT_TRUE(StopScan());
    }
}

INSTANTIATE_TEST_SUITE_P(Models, FilterModelTest, ::testing::Values("QR310", "QR620"),
                         [](const ::testing::TestParamInfo<const char *> &param) { return param.param; });

TEST_P(FilterModelTest, OtherResolutionsAreNotFiltered)
{
    const Case c = Whole(Colour, 600, 40);
    const DevicePage page = Start(c, 330);
    EXPECT_TRUE(SameLines(ReadImage(c), Expected(c, page), LineBytes(c)));
    EXPECT_TRUE(StopScan());
}

TEST_F(DeliveryTest, CallersAtOrBelow49DpiGetTheWholeLineRescaledWithoutCrop)
{
    // At 40 dpi nothing is cropped: the whole device line (2550 pixels) is
    // averaged down to the caller's 340 pixels, in boxes of 7.5 x 7.5.
    for (const Case &c : {Whole(Colour, 40, 30), Whole(Gray, 10, 8)}) {
        SCOPED_TRACE(Name(c));
        Start(c);
        std::vector<uint8_t> image(size_t{LineBytes(c)} * c.lines + 1, 0xEE);
        ASSERT_TRUE(ReadScan(0, image.data(), static_cast<uint32_t>(image.size() - 1))) << gErrCode;
        EXPECT_EQ(Session().cropped, 0);
        EXPECT_EQ(image.back(), 0xEE);
        EXPECT_TRUE(StopScan());
    }
}

TEST_F(DeliveryTest, ModelType1StretchesEachBlockAndCutsTheLinesBack)
{
    const Case c = Whole(Colour, 300, 60);
    auto p = RequestFor(c);
    ASSERT_TRUE(SetScanParameter(&p));
    gModelType = 1; // set by no scanner this driver knows; the stretch is kept bounded
    ASSERT_TRUE(StartScan());
    const auto page = devicePage();
    ASSERT_FALSE(page.empty());
    const std::vector<uint8_t> image = ReadImage(c);
    // The stretched line is 2548 pixels (a multiple of 4, factor 1.0): the
    // first line of a block keeps them; the later ones are moved by whole
    // unstretched lines.
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 3 * 2548, page.begin()));
    EXPECT_TRUE(std::equal(image.begin() + 48 * 7650, image.begin() + 48 * 7650 + 3 * 2548,
                           page.begin() + 48 * 7650));
    EXPECT_TRUE(StopScan());
    gModelType = 0;
}

// Whatever area, width and resolution the caller sets, a scan is either
// refused at the start (2005) or delivered without any step reading or
// writing outside its buffers (the sanitizer builds check the latter).
TEST_F(DeliveryTest, AnyGeometryIsDeliveredWithinTheBuffersOrRefused)
{
    scanner().setCalibrationState(3); // no calibration data to read: faster set-up
    int delivered = 0, refused = 0;
    for (const int resolution : {1, 49, 50, 150, 299, 301, 599, 600}) {
        const auto xres = static_cast<uint16_t>(resolution);
        // A few lines only: the device scans 300 / xres as many.
        const auto lines = static_cast<uint16_t>(std::max(1, resolution / 12));
        const auto full = static_cast<uint16_t>(kScannerWidth * xres / 300u);
        const uint16_t shapes[][3] = {
            {0, full, 2550}, {0, 8, 1}, {2549, 8, 8}, {1200, full, 2550}, {0, 65528, 65528}};
        for (const auto &[left, pixels, width] : shapes) { // width: the Width field, in 1/300 inch
            for (const Mode mode : {Gray, LineArt, Halftone}) {
                Case c{mode, xres, left, pixels, lines};
                auto p = RequestFor(c);
                p.Width = width;
                if (!SetScanParameter(&p)) continue; // not a request the scanner takes
                SCOPED_TRACE(testing::Message() << "xres " << xres << " left " << left << " pixels " << pixels
                                                << " mode " << int(p.ScanMode));
                if (!StartScan()) {
                    EXPECT_EQ(gErrCode, 2005u);
                    ++refused;
                } else {
                    std::vector<uint8_t> image(std::min<size_t>(size_t{LineBytes(c)} * c.lines, 1u << 20));
                    const bool ok = ReadScan(0, image.data(), static_cast<uint32_t>(image.size()));
                    EXPECT_TRUE(ok || gErrCode == 157u) << gErrCode;
                    ++delivered;
                }
                StopScan();
            }
        }
    }
    EXPECT_GT(delivered, 20);
    EXPECT_GT(refused, 10);
}

} // namespace
