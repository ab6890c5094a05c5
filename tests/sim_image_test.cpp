// The virtual scanner's image source: geometry from a window, the test chart,
// device line formats and a PNG file as the paper.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#ifdef DOCSCAN_HAVE_PNG
#include <png.h>
#include <zlib.h>
#endif

#include "testbed/testbed.h"

namespace {

using namespace sim;

using testbed::windowDescriptor;

using Rgb = std::array<std::uint8_t, 3>;

// The RGB the chart shows at a point given in inches.
Rgb chartAt(double xInch, double yInch)
{
    Rgb c{};
    TestChart::colourAt(static_cast<std::uint32_t>(xInch * 1200), static_cast<std::uint32_t>(yInch * 1200),
                        c.data());
    return c;
}

TEST(SimImage, ChartHasItsFeaturesInPlace)
{
    EXPECT_EQ(chartAt(0.75, 0.75), (Rgb{255, 0, 0})); // first patch: red
    EXPECT_EQ(chartAt(1.75, 0.75), (Rgb{0, 255, 0}));
    EXPECT_EQ(chartAt(2.75, 0.75), (Rgb{0, 0, 255}));
    EXPECT_EQ(chartAt(6.75, 0.75), (Rgb{0, 0, 0})); // black patch
    EXPECT_EQ(chartAt(0.2, 0.75), (Rgb{255, 255, 255}));
    EXPECT_EQ(chartAt(0.126, 5.0), (Rgb{0, 0, 0}));        // frame
    EXPECT_EQ(chartAt(8.6, 1.0), (Rgb{0xE0, 0xE0, 0xE0})); // the lid beyond the paper
    // The gray ramp rises from left to right.
    EXPECT_LT(chartAt(1.0, 1.5)[0], chartAt(4.0, 1.5)[0]);
    EXPECT_LT(chartAt(4.0, 1.5)[0], chartAt(8.0, 1.5)[0]);
    // The chart repeats every 11.7 inch.
    EXPECT_EQ(chartAt(0.75, 0.75 + 11.7), (Rgb{255, 0, 0}));
    // The text field has ink and paper.
    unsigned ink = 0;
    for (int i = 0; i < 1000; ++i) ink += chartAt(0.5 + i * 0.007, 3.1)[0] == 0;
    EXPECT_GT(ink, 50u);
    EXPECT_LT(ink, 900u);
}

TEST(SimImage, ChartLinesMatchTheChartPointByPoint)
{
    // The line renderer works band by band; it must agree with colourAt
    // everywhere, at both resolutions, from any origin, beyond the paper too.
    for (unsigned dpi : {300u, 600u}) {
        for (std::uint32_t origin : {0u, 2997u}) {
            const ScanGeometry g{
                .dpi = dpi, .originX = origin, .originY = origin, .pixels = dpi == 300 ? 2598u : 5196u};
            std::vector<std::uint8_t> line(g.pixels * 3u);
            for (std::uint32_t y = 0; y < 3600 * dpi / 300; y += 29) {
                TestChart().renderRgbLine(g, y, line.data());
                for (std::uint32_t x = 0; x < g.pixels; ++x) {
                    std::uint8_t expected[3];
                    TestChart::colourAt(g.centreX(x), g.centreY(y), expected);
                    ASSERT_TRUE(std::equal(expected, expected + 3, line.data() + 3 * x))
                        << "dpi " << dpi << " origin " << origin << " line " << y << " pixel " << x;
                }
            }
        }
    }
}

TEST(SimImage, DeviceLinesInEachFormat)
{
    const SolidPaper paper(200, 100, 50), dark(10, 10, 10), light(250, 250, 250);
    const struct {
        const char *what;
        const ImageSource &paper;
        std::uint8_t channels, bits;
        std::uint32_t pixels, bytesPerLine;
        std::vector<std::uint8_t> start; // the line's first bytes
        std::size_t last;                // and its byte `last`
        std::uint8_t lastValue;
    } cases[] = {
        {"RGB, one spare byte that stays zero", paper, 3, 8, 10, 31, {200, 100, 50}, 30, 0},
        {"RGB, 16 bits big-endian (200 x 257)", paper, 3, 16, 10, 60, {200, 200, 100}, 59, 50},
        {"gray", paper, 1, 8, 10, 10, {(299 * 200 + 587 * 100 + 114 * 50 + 500) / 1000}, 9, 124},
        {"line art, MSB first, 1 black", dark, 1, 1, 12, 2, {0xFF}, 1, 0xF0},
        {"line art, white", light, 1, 1, 12, 2, {0x00}, 1, 0x00},
    };
    for (const auto &c : cases) {
        const ScanGeometry g{.channels = c.channels,
                             .bitsPerSample = c.bits,
                             .bytesPerLine = c.bytesPerLine,
                             .pixels = c.pixels,
                             .lines = 2};
        std::vector<std::uint8_t> line(c.bytesPerLine, 0xEE);
        renderDeviceLine(c.paper, g, 0, line.data());
        EXPECT_TRUE(std::equal(c.start.begin(), c.start.end(), line.begin())) << c.what;
        EXPECT_EQ(line[c.last], c.lastValue) << c.what;
    }
}

#ifdef DOCSCAN_HAVE_PNG
// Writes an RGB PNG with a pHYs chunk (dpi 0: none).
bool writePng(const std::string &path, std::uint32_t w, std::uint32_t h, unsigned dpi,
              const std::vector<std::uint8_t> &rgb)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    const auto perMetre = static_cast<png_uint_32>(dpi / 0.0254 + 0.5);
    if (dpi) png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < h; ++y) png_write_row(png, rgb.data() + std::size_t{y} * w * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return true;
}

TEST(SimImage, PngPaperLiesOnTheGlassAtItsResolution)
{
    const std::string path = "/tmp/sim_image_test." + std::to_string(getpid()) + ".png";
    // 4 × 2 pixels at 100 dpi: each covers 3 × 3 device pixels at 300 dpi.
    std::vector<std::uint8_t> rgb;
    for (int i = 0; i < 8; ++i) rgb.insert(rgb.end(), {static_cast<std::uint8_t>(10 * i), 1, 2});
    ASSERT_TRUE(writePng(path, 4, 2, 100, rgb));
    std::string error;
    auto paper = loadPngPaper(path, 300, &error);
    ASSERT_TRUE(paper) << error;
    EXPECT_EQ(paper->dpi(), 100u);
    EXPECT_EQ(paper->width(), 4u);

    auto g = *geometryForWindow(windowDescriptor(300, 5, 8, 14 * 3, 7), 2550);
    const auto page = renderDeviceImage(*paper, g);
    auto at = [&](unsigned x, unsigned y) { return page[(y * 14 + x) * 3]; };
    EXPECT_EQ(at(0, 0), 0);
    EXPECT_EQ(at(2, 2), 0);
    EXPECT_EQ(at(3, 0), 10);
    EXPECT_EQ(at(11, 5), 70);
    EXPECT_EQ(at(12, 0), 255); // beyond the picture: white
    EXPECT_EQ(at(0, 6), 255);

    // Without pHYs the default resolution applies.
    ASSERT_TRUE(writePng(path, 4, 2, 0, rgb));
    EXPECT_EQ(loadPngPaper(path, 150)->dpi(), 150u);

    // Refused at once with a reason, never decoded, allocated or waited on: a
    // file that is no PNG, none, a folder (as any file that is not regular), a
    // file beyond the size bound, a PNG declaring more pixels than the bound.
    const std::string dir = path + ".d";
    std::filesystem::create_directory(dir);
    std::ofstream(dir + "/text") << "not a picture";
    std::ofstream(dir + "/big").close();
    std::filesystem::resize_file(dir + "/big", kPaperFileLimit + 1); // sparse
    // A 1 x 1 picture whose header is made to declare 40000 x 40000.
    ASSERT_TRUE(writePng(dir + "/huge.png", 1, 1, 0, {0, 0, 0}));
    std::vector<std::uint8_t> huge = testbed::readFileBytes(dir + "/huge.png");
    for (std::size_t field : {16u, 20u}) std::copy_n("\x00\x00\x9C\x40", 4, huge.begin() + field);
    const uLong crc = crc32(0, huge.data() + 12, 17); // chunk type and data
    for (std::size_t i = 0; i < 4; ++i) huge[29 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    std::ofstream(dir + "/huge.png", std::ios::binary)
        .write(reinterpret_cast<const char *>(huge.data()), static_cast<std::streamsize>(huge.size()));
    const struct {
        std::string file;
        const char *reason;
    } refused[] = {
        {dir + "/text", "not a PNG"},         {dir + "/none", "No such file"},
        {dir, "not a regular file"},          {dir + "/big", "larger than 67108864 bytes"},
        {dir + "/huge.png", "40000 x 40000"},
    };
    for (const auto &r : refused) {
        error.clear();
        EXPECT_FALSE(loadPngPaper(r.file, 300, &error)) << r.file;
        EXPECT_NE(error.find(r.reason), std::string::npos) << r.file << ": " << error;
    }
    std::filesystem::remove_all(dir);
    std::filesystem::remove(path);
}
#endif

TEST(SimImage, ModelServesThePaperItWasGiven)
{
    DeviceModel m;
    m.setImageSource(std::make_shared<SolidPaper>(1, 2, 3));
    std::vector<std::uint8_t> list(kWindowListSize, 0);
    list[7] = kWindowDescriptorSize;
    const auto d = windowDescriptor(300, 5, 8, 2550 * 3, 4);
    std::copy(d.begin(), d.end(), list.begin() + kWindowHeaderSize);
    const std::vector<std::uint8_t> setWindow{opcode::kSetWindow, 0, 0, 0, 0, 0, 0, 0, 79, 0};
    ASSERT_EQ(m.transact(setWindow, list).status, kStatusGood);
    ASSERT_EQ(m.transact({std::vector<std::uint8_t>{opcode::kScan, 0, 0, 0, 0, 0x80, 0, 0, 0, 0}}).status,
              kStatusGood);
    // The source is taken at SCAN: changing it now does not change this page.
    m.setImageSource(std::make_shared<SolidPaper>(9, 9, 9));
    const std::vector<std::uint8_t> read{opcode::kRead, 0, 0, 0, 0x0A, 0x0D, 0, 0x1D, 0xE2, 0}; // 7650
    auto r = m.transact(read, {}, 7650);
    ASSERT_EQ(r.status, kStatusGood);
    EXPECT_EQ(r.dataIn[0], 1);
    EXPECT_EQ(r.dataIn[7649], 3);
}

} // namespace
