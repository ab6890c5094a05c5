// Block resampling: output line counts per block, the two methods and their
// thresholds, state across blocks and resets, bit-exactness against the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "imaging/scale.h"
#include "testbed/imaging.h"

namespace {

using Bytes = std::vector<unsigned char>;
using ScaleFn = unsigned int (*)(const unsigned char *, unsigned int, unsigned int, unsigned char *,
                                 unsigned int, double, double, unsigned short);

using testbed::Pick;
using testbed::Random;

void Reset(ScaleFn f) { EXPECT_EQ(f(nullptr, 0, 0, nullptr, 0, 0.0, 0.0, 0), 0u); }

// One block through the routine, with room for srcLines * yRatio + 2 lines and
// a check that nothing past the returned lines was written; returns the lines.
unsigned Block(ScaleFn f, const Bytes &src, unsigned srcPixels, unsigned srcLines, unsigned dstPixels,
               double xr, double yr, unsigned short bpp, Bytes *out = nullptr)
{
    const unsigned bpb = bpp >= 8 ? bpp / 8u : 1u;
    Bytes dst((static_cast<std::size_t>(srcLines * yr) + 2) * dstPixels * bpb + 16, 0xEE);
    const unsigned n = f(src.data(), srcPixels, srcLines, dst.data(), dstPixels, xr, yr, bpp);
    const std::size_t used = std::size_t{n} * dstPixels * bpb;
    EXPECT_LE(used, dst.size());
    for (std::size_t i = used; i < dst.size(); ++i)
        EXPECT_EQ(dst[i], 0xEE) << "written past the returned lines";
    dst.resize(used);
    if (out != nullptr) *out = std::move(dst);
    return n;
}

TEST(ScaleLines, LinesPerBlock)
{
    // Enlarging by two loses two lines of the first block; 0.75 alternates;
    // at ratio 1 ScaleProcess always carries one line and never makes the
    // scan's last line, ScaleProcessEx makes every line.
    const struct {
        ScaleFn f;
        double yRatio;
        std::vector<unsigned> counts;
    } cases[] = {{ScaleProcess, 2.0, {18, 20, 20, 20}},
                 {ScaleProcess, 0.75, {7, 8, 7, 8}},
                 {ScaleProcess, 1.0, {9, 10, 10}},
                 {ScaleProcessEx, 1.0, {10, 10, 10}}};
    std::mt19937 rng(11);
    for (const auto &c : cases) {
        std::vector<unsigned> counts(c.counts.size());
        Reset(c.f);
        for (unsigned &n : counts) n = Block(c.f, Random(160, rng), 16, 10, 16, 1.0, c.yRatio, 8);
        Reset(c.f);
        EXPECT_EQ(counts, c.counts) << c.yRatio;
    }
}

TEST(ScaleLines, EmptyBlockWithoutCarriedLinesMakesNothing)
{
    std::mt19937 rng(14);
    for (double yr : {2.0, 3.5}) {
        Reset(ScaleProcess);
        EXPECT_EQ(Block(ScaleProcess, Bytes(1, 0), 16, 0, 16, 1.0, yr, 8), 0u); // and writes nothing
        // and the scan goes on as if it started with the next block
        EXPECT_EQ(Block(ScaleProcess, Random(160, rng), 16, 10, 16, 1.0, yr, 8),
                  static_cast<unsigned>(10 * yr) - static_cast<unsigned>(yr));
    }
    Reset(ScaleProcess);
}

TEST(ScaleState, TheTwoRoutinesKeepSeparateState)
{
    std::mt19937 rng(20);
    const Bytes a = Random(16 * 10, rng);
    Reset(ScaleProcess);
    Reset(ScaleProcessEx);
    Block(ScaleProcess, a, 16, 10, 16, 1.0, 1.0, 8);
    EXPECT_EQ(Block(ScaleProcessEx, a, 16, 10, 16, 1.0, 0.75, 8), 7u); // first block of its own scan
    Reset(ScaleProcessEx);
    EXPECT_EQ(Block(ScaleProcess, a, 16, 10, 16, 1.0, 1.0, 8), 10u); // ScaleProcess's scan went on
    Reset(ScaleProcess);
}

TEST(ScaleExact, MatchesModelOverRandomScans)
{
    std::mt19937 rng(21);
    const double dpi[] = {50, 75, 100, 120, 150, 200, 240, 250, 300, 400, 500, 600, 1200};
    int areaBlocks = 0, bilinearBlocks = 0;
    for (int scan = 0; scan < 400; ++scan) {
        const bool ex = scan % 2 == 1;
        const ScaleFn f = ex ? ScaleProcessEx : ScaleProcess;
        const unsigned short depths[] = {8, 24, 24, 16, 48, 1};
        const unsigned short bpp = depths[Pick(rng, 6)];
        const unsigned bpb = bpp >= 8 ? bpp / 8u : 1u;
        const double device = Pick(rng, 2) ? 300.0 : 600.0;
        const double xr = dpi[Pick(rng, 13)] / device;
        const double yr = Pick(rng, 4) == 0 ? dpi[Pick(rng, 13)] / device : xr;
        const unsigned srcPixels = 1 + Pick(rng, scan % 10 == 0 ? 4 : 400);
        unsigned dstPixels = std::max(1u, static_cast<unsigned>(srcPixels * xr));
        if (xr >= 1.0 && Pick(rng, 3) == 0) dstPixels += Pick(rng, 3); // clamped at the right edge
        testbed::ScaleModel model(ex);
        Reset(f);
        for (int block = 0; block < 8; ++block) {
            const unsigned minLines = static_cast<unsigned>(std::ceil(1 / yr)) + 1;
            const unsigned lines = Pick(rng, 5) == 0 ? 1 + Pick(rng, 3) : minLines + Pick(rng, 40);
            const Bytes src = Random(std::size_t{lines} * srcPixels * bpb, rng);
            Bytes expect;
            const unsigned want = model.Run(src, srcPixels, lines, expect, dstPixels, xr, yr, bpp);
            Bytes out;
            ASSERT_EQ(Block(f, src, srcPixels, lines, dstPixels, xr, yr, bpp, &out), want)
                << "scan " << scan << " block " << block;
            ASSERT_EQ(out, expect) << "scan " << scan << " block " << block << " ex " << ex << " bpp " << bpp
                                   << " " << srcPixels << "->" << dstPixels << " x " << xr << " y " << yr;
            const bool area = bpp == 24 && xr < (ex ? 1.0 : 0.5) && yr < (ex ? 1.0 : 0.5);
            (area ? areaBlocks : bilinearBlocks)++;
        }
        Reset(f);
        // Only ScaleProcessEx enlarging with carried lines, or at one-row
        // blocks, names rows outside the data; the implementation's choice
        // (nearest present row) is in the model too.
        EXPECT_TRUE(ex || !model.outOfRange) << "scan " << scan;
    }
    EXPECT_GT(areaBlocks, 200);
    EXPECT_GT(bilinearBlocks, 1000);
}

TEST(ScaleBounds, MeaninglessGeometryIsRefusedWithoutOutput)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    struct {
        unsigned srcPixels, dstPixels;
        double xr, yr;
    } cases[] = {{0, 8, 1.0, 1.0},  {8, 0, 1.0, 1.0}, {8, 8, 0.0, 1.0},
                 {8, 8, 1.0, -1.0}, {8, 8, nan, 1.0}, {8, 8, 1.0, inf}};
    const Bytes src(8 * 3 * 4, 9);
    for (const ScaleFn f : {ScaleProcess, ScaleProcessEx}) {
        for (const auto &c : cases) {
            Reset(f);
            Bytes dst(256, 0xEE);
            EXPECT_EQ(f(src.data(), c.srcPixels, 4, dst.data(), c.dstPixels, c.xr, c.yr, 24), 0u);
            EXPECT_EQ(dst, Bytes(256, 0xEE));
        }
        EXPECT_EQ(f(src.data(), 8, 4, nullptr, 8, 1.0, 1.0, 24), 0u);
        Reset(f);
    }
}

TEST(ScaleBounds, ScaleProcessExEnlargingWithCarriedLinesStaysInTheBlock)
{
    // yRatio 1.25 in blocks of 3 lines: the fourth block's last output line
    // has its upper row on the block's last line and its lower row one line
    // after the block. The block's last line stands in for it.
    Reset(ScaleProcessEx);
    Bytes out;
    for (unsigned b = 0; b < 4; ++b) {
        Bytes src(8 * 3, 0);
        if (b == 3) std::fill(src.begin() + 16, src.end(), 200);
        ASSERT_EQ(Block(ScaleProcessEx, src, 8, 3, 8, 1.0, 1.25, 8, &out), b == 0 ? 3u : 4u);
    }
    for (unsigned i = 0; i < 8; ++i) EXPECT_TRUE(out[3 * 8 + i] == 200 || out[3 * 8 + i] == 199) << i;
    Reset(ScaleProcessEx);
}

TEST(ScaleBounds, ChangedGeometryInsideAScanDropsTheCarriedLines)
{
    std::mt19937 rng(22);
    Reset(ScaleProcess);
    Block(ScaleProcess, Random(10 * 8, rng), 10, 8, 10, 1.0, 1.0, 8);
    // now wider lines: the one carried line of 10 bytes is not used
    EXPECT_EQ(Block(ScaleProcess, Random(30 * 8, rng), 30, 8, 30, 1.0, 1.0, 8), 8u);
    Reset(ScaleProcess);
}

TEST(ScaleBounds, CarriedLinesBeyondTheCarryBufferAreBounded)
{
    // 2.1 MB lines: the carry buffer holds two of them. One-line blocks at a
    // ratio of 0.2 would carry up to five: the latest two are kept.
    std::mt19937 rng(23);
    const unsigned w = 2100000;
    Reset(ScaleProcess);
    unsigned total = 0;
    for (int b = 0; b < 12; ++b) total += Block(ScaleProcess, Random(w, rng), w, 1, w / 5, 0.2, 0.2, 8);
    EXPECT_EQ(total, 2u);
    Reset(ScaleProcess);
}

} // namespace
