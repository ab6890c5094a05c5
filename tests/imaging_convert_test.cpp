// Colour to gray, one-channel gray, line art and halftone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "imaging/convert.h"
#include "testbed/imaging.h"

namespace {

using Bytes = std::vector<unsigned char>;

unsigned char Threshold(int pattern, int row, int col)
{
    return halftone[((pattern - 1) * 8 + row) * 8 + col];
}

// Bit x of a packed line (most significant bit first).
int Bit(const Bytes &line, std::size_t offset, std::size_t x)
{
    return (line[offset + x / 8] >> (7 - x % 8)) & 1;
}

using testbed::Pick;
using testbed::Random;

// ---- the halftone table --------------------------------------------------

TEST(HalftoneTable, FirstRowOfPattern1AndLastRowOfPattern6)
{
    const unsigned char p1r0[8] = {127, 201, 174, 147, 120, 46, 73, 100};
    const unsigned char p6r7[8] = {238, 242, 214, 228, 238, 241, 208, 225};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(Threshold(1, 0, c), p1r0[c]);
        EXPECT_EQ(Threshold(6, 7, c), p6r7[c]);
    }
    EXPECT_EQ(halftone[383], 225);
}

TEST(HalftoneTable, StructureOfThePatterns)
{
    std::set<int> p2, p1, p4, p5;
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) {
            // pattern 3 is pattern 2 by column
            EXPECT_EQ(Threshold(3, r, c), Threshold(2, c, r)) << r << "," << c;
            // pattern 5 repeats a 4 x 4 matrix, pattern 4 its top half shifted by 4
            EXPECT_EQ(Threshold(5, r, c), Threshold(5, r % 4, c % 4));
            EXPECT_EQ(Threshold(4, (r + 4) % 8, (c + 4) % 8), Threshold(4, r, c));
            p1.insert(Threshold(1, r, c));
            p2.insert(Threshold(2, r, c));
            p4.insert(Threshold(4, r, c));
            p5.insert(Threshold(5, r, c));
            EXPECT_GE(Threshold(6, r, c), 45);
            EXPECT_LE(Threshold(6, r, c), 245);
        }
    }
    EXPECT_EQ(p2.size(), 64u);
    EXPECT_EQ(*p2.begin(), 16);
    EXPECT_EQ(*p2.rbegin(), 228);
    EXPECT_EQ(p1.size(), 52u);
    EXPECT_EQ(p4.size(), 31u);
    EXPECT_EQ(p5.size(), 16u);
}

// ---- colour to gray ---------------------------------------------------------

TEST(ColortoGray, EveryColourIsTheTruncatedWeightedSum)
{
    // All 2^24 colours: one line of 256 pixels per (r, g) pair.
    Bytes src(256 * 3), dst(256);
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                src[b * 3] = static_cast<unsigned char>(r);
                src[b * 3 + 1] = static_cast<unsigned char>(g);
                src[b * 3 + 2] = static_cast<unsigned char>(b);
            }
            ColortoGray(src.data(), dst.data(), 3, 768, 256, 1);
            for (int b = 0; b < 256; ++b)
                ASSERT_EQ(dst[b], (3 * r + 6 * g + b) / 10) << r << " " << g << " " << b;
        }
    }
}

TEST(ColortoGray, LinesArePackedAndZeroLinesWriteNothing)
{
    std::mt19937 rng(1);
    const unsigned pixels = 37, lines = 5;
    Bytes src = Random(pixels * 3 * lines, rng);
    Bytes dst(pixels * lines + 1, 0xEE);
    EXPECT_EQ(ColortoGray(src.data(), dst.data(), 3, pixels * 3, pixels, lines), lines);
    for (unsigned i = 0; i < pixels * lines; ++i)
        EXPECT_EQ(dst[i], (3 * src[3 * i] + 6 * src[3 * i + 1] + src[3 * i + 2]) / 10);
    EXPECT_EQ(dst.back(), 0xEE);

    Bytes untouched(4, 0xEE);
    EXPECT_EQ(ColortoGray(src.data(), untouched.data(), 3, pixels * 3, pixels, 0), 0u);
    EXPECT_EQ(ColortoOneChannelGray(src.data(), untouched.data(), 3, pixels * 3, pixels, 0, 1), 0u);
    EXPECT_EQ(untouched, Bytes(4, 0xEE));
}

TEST(ColortoGray, PartialLastPixelReadsNothingPastTheLine)
{
    // 7 bytes a line: two whole pixels and a partial one whose missing bytes
    // count as 0; the output keeps ceil(7 / 3) = 3 bytes a line.
    Bytes src = {10, 20, 30, 40, 50, 60, 100, 200, 200, 200, 0, 0, 0, 200};
    Bytes gray(6), red(6), blue(6);
    ColortoGray(src.data(), gray.data(), 3, 7, 3, 2);
    ColortoOneChannelGray(src.data(), red.data(), 3, 7, 3, 2, 1);
    ColortoOneChannelGray(src.data(), blue.data(), 3, 7, 3, 2, 3);
    EXPECT_EQ(gray, (Bytes{(30 + 120 + 30) / 10, (120 + 300 + 60) / 10, 30, 200, 0, 60}));
    EXPECT_EQ(red, (Bytes{10, 40, 100, 200, 0, 200}));
    EXPECT_EQ(blue, (Bytes{30, 60, 0, 200, 0, 0}));
}

TEST(ColortoOneChannelGray, PicksTheChannelOrBlack)
{
    Bytes src = {1, 2, 3, 4, 5, 6};
    for (int filter = 0; filter < 6; ++filter) {
        Bytes dst(2, 0xEE);
        EXPECT_EQ(
            ColortoOneChannelGray(src.data(), dst.data(), 3, 6, 2, 1, static_cast<unsigned char>(filter)),
            1u);
        if (filter >= 1 && filter <= 3)
            EXPECT_EQ(dst,
                      (Bytes{static_cast<unsigned char>(filter), static_cast<unsigned char>(filter + 3)}));
        else
            EXPECT_EQ(dst, (Bytes{0, 0})) << filter;
    }
}

// ---- line art -----------------------------------------------------------------

TEST(GrayToLineart, MatchesPlainBitLoop)
{
    std::mt19937 rng(2);
    for (int round = 0; round < 200; ++round) {
        const unsigned srcBpl = 1 + Pick(rng, 300), dstBpl = Pick(rng, 45), lines = 1 + Pick(rng, 4);
        const unsigned char threshold = static_cast<unsigned char>(rng());
        Bytes src = Random(srcBpl * lines, rng);
        Bytes dst(dstBpl * lines + 1, 0xEE);
        GrayToLineart(src.data(), dst.data(), dstBpl, threshold, srcBpl, lines);
        for (unsigned y = 0; y < lines; ++y) {
            for (unsigned x = 0; x < dstBpl * 8; ++x) {
                const int black = x < srcBpl && src[y * srcBpl + x] < threshold;
                ASSERT_EQ(Bit(dst, y * dstBpl, x), black) << round << " " << y << " " << x;
            }
        }
        EXPECT_EQ(dst.back(), 0xEE);
    }
}

// ---- halftone -------------------------------------------------------------------

TEST(TransferGrayToHalftone, UnknownPatternFallsBackToPattern1)
{
    std::mt19937 rng(3);
    Bytes src = Random(64 * 9, rng);
    Bytes expect(8 * 9);
    TransferGrayToHalftone(src.data(), expect.data(), 8, 128, 64, 9, 1);
    for (int pattern : {0, 7, -1, 255, 1000000}) {
        Bytes dst(8 * 9);
        TransferGrayToHalftone(src.data(), dst.data(), 8, 128, 64, 9, pattern);
        EXPECT_EQ(dst, expect) << pattern;
    }
}

TEST(TransferGrayToHalftone, MatchesPlainBitLoop)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 300; ++round) {
        const unsigned pixels = 1 + Pick(rng, 200), dstBpl = Pick(rng, 30), lines = 1 + Pick(rng, 20);
        const int pattern = 1 + static_cast<int>(Pick(rng, 6));
        Bytes src = Random(pixels * lines, rng);
        Bytes dst(dstBpl * lines + 1, 0xEE);
        TransferGrayToHalftone(src.data(), dst.data(), dstBpl, 0, pixels, lines, pattern);
        for (unsigned y = 0; y < lines; ++y) {
            for (unsigned x = 0; x < dstBpl * 8; ++x) {
                const int black =
                    x < pixels && src[y * pixels + x] <
                                      Threshold(pattern, static_cast<int>(y % 8), static_cast<int>(x % 8));
                ASSERT_EQ(Bit(dst, y * dstBpl, x), black) << round << " " << y << " " << x;
            }
        }
        EXPECT_EQ(dst.back(), 0xEE);
    }
}

} // namespace
