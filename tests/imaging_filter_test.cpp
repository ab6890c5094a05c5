// The four 3x3 block filters: their per-byte rules, the shared frame (one line of delay, two
// lines carried between blocks, reset) and bit-exactness against the model over random blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "imaging/filter.h"
#include "testbed/imaging.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Filter = unsigned short (*)(unsigned char *, unsigned short, unsigned short, unsigned short,
                                  unsigned char, const char *, short);

using testbed::kColorPackKernel;
using testbed::kDenoiseKernel;
using testbed::kShadowKernel;
using testbed::kSharpenKernel;
using testbed::Pick;

// A block of whole lines through the filter; returns the filtered block.
Bytes RunBlock(Filter f, Bytes block, unsigned short width, const char *kernel)
{
    const auto lines = static_cast<unsigned short>(block.size() / (3u * width));
    EXPECT_EQ(f(block.data(), width, 0, lines, 24, kernel, 3), lines);
    return block;
}

void Reset(Filter f) { EXPECT_EQ(f(nullptr, 0, 0, 0, 0, nullptr, 0), 0); }

// Filters three lines (above, centre, below): the frame delivers the centre
// line as output line 2 of a block holding the three.
Bytes FilterCentre(Filter f, const Bytes &above, const Bytes &centre, const Bytes &below, const char *kernel)
{
    Reset(f);
    Bytes block = above;
    block.insert(block.end(), centre.begin(), centre.end());
    block.insert(block.end(), below.begin(), below.end());
    block = RunBlock(f, block, static_cast<unsigned short>(centre.size() / 3), kernel);
    Reset(f);
    return Bytes(block.begin() + 2 * centre.size(), block.end());
}

struct Case {
    Filter f;
    int model;
    const char *kernel;
    const char *name;
};
const Case kCases[] = {
    {ColorPack_Filter3x3, 0, kColorPackKernel, "ColorPack"},
    {Denoise_Filter_GraySemiGrayPixels_3x3, 1, kDenoiseKernel, "Denoise"},
    {Filter_SharpenGrayPixels_3x3, 2, kSharpenKernel, "Sharpen"},
    {Filter_ShadowHighlight_3x3, 3, kShadowKernel, "ShadowHighlight"},
};

// Content that exercises every branch: gray pixels, near-gray pixels, reddish
// pixels (some with red equal to blue), random noise.
Bytes Content(std::size_t pixels, std::mt19937 &rng)
{
    Bytes b(pixels * 3);
    for (std::size_t p = 0; p < pixels; ++p) {
        unsigned char *px = &b[p * 3];
        const unsigned kind = Pick(rng, 5);
        const auto v = static_cast<unsigned char>(rng());
        auto near = [&] {
            return static_cast<unsigned char>(std::clamp<int>(v + int(Pick(rng, 41)) - 20, 0, 255));
        };
        if (kind == 0) {
            px[0] = px[1] = px[2] = v;
        } else if (kind == 1) {
            px[0] = v, px[1] = near(), px[2] = near();
        } else if (kind == 2) {
            px[0] = static_cast<unsigned char>(100 + Pick(rng, 156));
            px[1] = static_cast<unsigned char>(Pick(rng, px[0] + 1u));
            px[2] = Pick(rng, 2) ? px[0] : static_cast<unsigned char>(Pick(rng, px[0] + 1u));
        } else {
            for (int c = 0; c < 3; ++c) px[c] = static_cast<unsigned char>(rng());
        }
    }
    return b;
}

TEST(FilterRules, WorkedPixels)
{
    // Each filter on a centre line between the line above and the line below.
    const char horizontal[9] = {0, 0, 0, 1, 2, 1, 0, 0, 0};  // divisor 4
    const char negative[9] = {0, -1, 0, 0, 0, 0, 0, 0, 0};   // sum 0 or less: divisor 1
    const char wraps[9] = {100, 100, 0, 0, 0, 0, 0, 0, 0};   // 200 in 8 bits is -56
    auto g = [](unsigned char v) { return Bytes{v, v, v}; }; // a gray pixel
    const Bytes nearGray = {120, 130, 128}, notNearGray = {120, 140, 128}, almost = {100, 100, 101};
    const Bytes ramp = {40, 40, 40, 80, 80, 80, 200, 200, 200}, other = {0, 255, 0};
    const Filter colour = ColorPack_Filter3x3, denoise = Denoise_Filter_GraySemiGrayPixels_3x3,
                 sharpen = Filter_SharpenGrayPixels_3x3, shadow = Filter_ShadowHighlight_3x3;
    const struct {
        const char *what;
        Filter f;
        const char *kernel;
        Bytes above, centre, below, expected;
    } cases[] = {
        // red (80 + 960 + 240) >> 3, green (80 + 160) >> 1, blue (400 + 480) >> 3
        {"colour registration", colour, kColorPackKernel, g(80), g(160), g(240), {160, 120, 110}},
        {"near gray", denoise, kDenoiseKernel, nearGray, nearGray, nearGray, {126, 126, 126}},
        {"not near gray", denoise, kDenoiseKernel, notNearGray, notNearGray, notNearGray, notNearGray},
        {"sharpen gray", sharpen, kSharpenKernel, g(80), g(100), g(80), g(108)},
        {"sharpen not gray", sharpen, kSharpenKernel, g(80), almost, g(80), almost},
        {"sharpen below 0", sharpen, kSharpenKernel, g(50), g(10), g(50), g(0)},    // (70 - 100) / 5 -> 0
        {"sharpen above 255", sharpen, kSharpenKernel, g(0), g(250), g(0), g(255)}, // 1750 / 5 -> 255
        // a horizontal kernel reads the neighbours; at both ends of the line
        // the missing side repeats the centre column
        {"sharpen edges", sharpen, horizontal, ramp, ramp, ramp, {50, 50, 50, 100, 100, 100, 170, 170, 170}},
        {"sharpen negative sum", sharpen, negative, g(3), g(3), g(3), g(0)},
        {"sharpen wrapped sum", sharpen, wraps, g(3), g(3), g(3), g(255)},
        // shadow/highlight: neighbours play no part
        {"reddish", shadow, kShadowKernel, other, {200, 50, 40}, other, {200, 59, 43}},
        {"red equals blue", shadow, kShadowKernel, other, {170, 100, 170}, other, {174, 100, 170}},
        {"red equals blue, dark", shadow, kShadowKernel, other, {130, 100, 130}, other, {125, 100, 130}},
        {"red too dark", shadow, kShadowKernel, other, {100, 50, 40}, other, {100, 50, 40}},
        {"curve ends", shadow, kShadowKernel, other, {111, 34, 110}, other, {111, 34, 75 + 50 * 180 / 195}},
        {"red not above green", shadow, kShadowKernel, other, {111, 111, 20}, other, {111, 111, 20}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FilterCentre(c.f, c.above, c.centre, c.below, c.kernel), c.expected) << c.what;
}

TEST(FilterFrame, MatchesModelOverRandomBlocksResetsAndBlocksBeyondTheWorkingBuffer)
{
    // 30 scans of random widths and blocks; then one of 6000-byte lines, of
    // which the working buffer holds 873, in blocks of 1000 and 2000 lines that
    // are filtered in pieces with the same result as the model's one pass.
    std::mt19937 rng(6);
    for (const Case &c : kCases) {
        for (int scan = 0; scan <= 30; ++scan) {
            const bool wide = scan == 30;
            const auto width = static_cast<unsigned short>(wide ? 2000 : 1 + Pick(rng, scan < 5 ? 3 : 120));
            testbed::FilterModel model(c.model);
            for (int block = 0; block < (wide ? 2 : 6); ++block) {
                const unsigned lines = wide                ? 1000u * (block + 1u)
                                       : Pick(rng, 6) == 0 ? 0
                                                           : 1 + Pick(rng, 40);
                Bytes data = Content(std::size_t{width} * lines, rng);
                Bytes expect = data;
                model.Process(expect, width * 3u);
                data.push_back(0x5A); // never null, and nothing written past the block
                ASSERT_EQ(c.f(data.data(), width, 999, static_cast<unsigned short>(lines), 24, c.kernel, 3),
                          lines);
                ASSERT_EQ(data.back(), 0x5A);
                data.pop_back();
                ASSERT_EQ(data, expect) << c.name << " scan " << scan << " block " << block;
            }
            Reset(c.f);
        }
    }
}

TEST(FilterFrame, LineTotalWrapsAfter65536Lines)
{
    // ColorPack treats a block as a scan's first one while the 16-bit line
    // total is 0: again after exactly 65 536 lines.
    std::mt19937 rng(9);
    Reset(ColorPack_Filter3x3);
    for (int i = 0; i < 16; ++i) RunBlock(ColorPack_Filter3x3, Content(2 * 4096u, rng), 2, kColorPackKernel);
    const Bytes in = Content(6, rng), out = RunBlock(ColorPack_Filter3x3, in, 2, kColorPackKernel);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + 6, out.begin())) << "the first line is kept";
    const Bytes nextIn = Content(6, rng), next = RunBlock(ColorPack_Filter3x3, nextIn, 2, kColorPackKernel);
    EXPECT_FALSE(std::equal(nextIn.begin(), nextIn.begin() + 6, next.begin()));
    Reset(ColorPack_Filter3x3);
}

TEST(FilterFrame, UnsupportedCallsAreRefused)
{
    for (const Case &c : kCases) {
        Bytes block(3 * 10 * 4, 77);
        const Bytes in = block;
        EXPECT_EQ(c.f(block.data(), 10, 0, 4, 8, c.kernel, 3), 0) << c.name;  // depth
        EXPECT_EQ(c.f(block.data(), 10, 0, 4, 24, c.kernel, 5), 0) << c.name; // kernel size
        EXPECT_EQ(block, in);
        EXPECT_EQ(c.f(block.data(), 0, 0, 4, 24, c.kernel, 3), 4) << c.name; // empty lines
        EXPECT_EQ(block, in);
        Reset(c.f);
    }
    Bytes block(30, 1);
    EXPECT_EQ(Filter_SharpenGrayPixels_3x3(block.data(), 10, 0, 1, 24, nullptr, 3), 0);
}

} // namespace
