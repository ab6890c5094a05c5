// Colour to gray, one-channel gray, line art and halftone.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "imaging/convert.h"
#include "testbed/imaging.h"

namespace {

using Bytes = std::vector<unsigned char>;

using testbed::Random;

TEST(HalftoneTable, FirstRowOfPattern1AndLastRowOfPattern6)
{
    EXPECT_EQ(Bytes(halftone, halftone + 8), (Bytes{127, 201, 174, 147, 120, 46, 73, 100}));
    EXPECT_EQ(Bytes(halftone + 376, halftone + 384), (Bytes{238, 242, 214, 228, 238, 241, 208, 225}));
}

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
    const Bytes src = {1, 2, 3, 4, 5, 6};
    for (unsigned char filter = 0; filter < 6; ++filter) {
        Bytes dst(2, 0xEE);
        EXPECT_EQ(ColortoOneChannelGray(src.data(), dst.data(), 3, 6, 2, 1, filter), 1u);
        const bool channel = filter >= 1 && filter <= 3;
        EXPECT_EQ(dst, (channel ? Bytes{filter, static_cast<unsigned char>(filter + 3)} : Bytes{0, 0}))
            << +filter;
    }
}

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

} // namespace
