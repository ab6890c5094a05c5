// Block resampling: output line counts per block, the two methods and their
// thresholds, state across blocks and resets, and bit-exactness against a
// plain model doing the same arithmetic in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
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

// Room for any block: at most srcLines * yRatio + 2 lines come out.
std::size_t Room(unsigned srcLines, double yRatio, unsigned dstPixels, unsigned bpb)
{
    return (static_cast<std::size_t>(srcLines * yRatio) + 2) * dstPixels * bpb + 16;
}

struct Model {
    bool ex;
    bool active = false;
    std::vector<Bytes> carry;
    unsigned linecount = 0, scancount = 0;
    bool outOfRange = false; // a row or pixel named outside the data

    void Reset() { active = false; }

    unsigned Run(const Bytes &src, unsigned srcPixels, unsigned srcLines, Bytes &dst, unsigned dstPixels,
                 double xr, double yr, unsigned short bpp)
    {
        if (!active) {
            active = true;
            linecount = scancount = 0;
            carry.clear();
        }
        const unsigned bpb = bpp >= 8 ? bpp / 8u : 1u;
        long long outLines =
            static_cast<long long>((scancount + srcLines) * yr) - static_cast<long long>(scancount * yr);
        const double threshold = ex ? 1.0 : 0.5;
        if (bpp == 24 && xr < threshold && yr < threshold) {
            dst.assign(static_cast<std::size_t>(outLines) * dstPixels * 3, 0);
            if (outLines > 0) Area(src, srcPixels, srcLines, dst, dstPixels, outLines);
            carry.clear();
        } else {
            outLines = Bilinear(src, srcPixels, srcLines, dst, dstPixels, xr, yr, bpb, outLines);
        }
        scancount += srcLines;
        linecount += static_cast<unsigned>(outLines);
        return static_cast<unsigned>(outLines);
    }

    long long Bilinear(const Bytes &src, unsigned srcPixels, unsigned srcLines, Bytes &dst,
                       unsigned dstPixels, double xr, double yr, unsigned bpb, long long outLines)
    {
        const std::size_t L = std::size_t{bpb} * srcPixels, OL = std::size_t{bpb} * dstPixels;
        const long long base = static_cast<long long>(linecount / yr);
        const long long carried = static_cast<long long>(scancount) - base;
        EXPECT_EQ(carried, static_cast<long long>(carry.size()));
        if (!ex && carried == 0) {
            outLines -= static_cast<long long>(yr);
            if (outLines < 0) outLines = 0;
        }
        const long long total = carried + srcLines;
        auto row = [&](long long r) -> const unsigned char * {
            if (r < 0 || r >= total) {
                outOfRange = true; // outside the data: the nearest row is taken
                r = std::clamp(r, 0LL, total - 1);
            }
            return r < carried ? carry[static_cast<std::size_t>(r)].data()
                               : &src[static_cast<std::size_t>(r - carried) * L];
        };
        dst.assign(static_cast<std::size_t>(outLines) * OL, 0);
        for (long long j = 0; j < outLines; ++j) {
            const double pos = static_cast<double>(linecount + j) / yr - static_cast<double>(base);
            const long long k = static_cast<long long>(std::floor(pos));
            const double fy = pos - static_cast<double>(k);
            long long lower = k + 1;
            if (ex && carried == 0 && j == outLines - 1) lower = k - 1;
            const unsigned char *U = row(k);
            const unsigned char *D = row(lower);
            for (unsigned i = 0; i < dstPixels; ++i) {
                const double x = std::min(static_cast<double>(srcPixels - 1), i / xr);
                const long long ix = static_cast<long long>(std::floor(x));
                const double fx = x - static_cast<double>(ix);
                for (unsigned b = 0; b < bpb; ++b) {
                    const std::size_t at0 = static_cast<std::size_t>(ix) * bpb + b;
                    const bool next = ix + 1 < srcPixels;
                    const int U0 = U[at0], L0 = D[at0];
                    const int U1 = next ? U[at0 + bpb] : 0, L1 = next ? D[at0 + bpb] : 0;
                    const double value =
                        U0 * (1 - fy) * (1 - fx) + U1 * (1 - fy) * fx + L0 * fy * (1 - fx) + L1 * fy * fx;
                    dst[static_cast<std::size_t>(j) * OL + i * bpb + b] =
                        static_cast<unsigned char>(static_cast<int>(value));
                }
            }
        }
        const long long m =
            static_cast<long long>(std::floor(static_cast<double>(linecount + outLines) / yr -
                                              static_cast<double>(base) - static_cast<double>(carried)));
        std::vector<Bytes> next;
        // m below 0 (rows already carried): all rows from that line on are kept.
        for (long long r = std::max(carried + m, 0LL); r < total; ++r) next.emplace_back(row(r), row(r) + L);
        carry = next;
        return outLines;
    }

    void Area(const Bytes &src, unsigned srcPixels, unsigned srcLines, Bytes &dst, unsigned dstPixels,
              long long outLines)
    {
        const std::size_t L = 3u * std::size_t{srcPixels}, OL = 3u * std::size_t{dstPixels};
        const float sx = static_cast<float>(srcPixels) / static_cast<float>(dstPixels);
        const float sy = static_cast<float>(srcLines) / static_cast<float>(outLines);
        const int area = static_cast<int>(sx * 1000 * sy);
        std::vector<long long> rowA(OL + 3, 0), rowB(OL + 3, 0);
        long long *A = rowA.data();
        long long *B = rowB.data();
        auto put = [&](long long j, unsigned o, int ch) {
            if (j >= outLines || o >= dstPixels) {
                outOfRange = true;
                return;
            }
            dst[static_cast<std::size_t>(j) * OL + 3 * o + ch] =
                static_cast<unsigned char>(A[3 * o + ch] / area);
        };
        float yB = sy - 1;
        long long j = 0;
        for (unsigned y = 0; y < srcLines; ++y) {
            const unsigned char *line = &src[y * L];
            const bool boundaryLine = !(yB > static_cast<float>(y));
            const int fy = boundaryLine ? static_cast<int>((static_cast<float>(y) - yB) * 1000) : 0;
            float xB = sx - 1;
            unsigned o = 0;
            for (unsigned x = 0; x < srcPixels; ++x) {
                const bool boundaryPixel = !(xB > static_cast<float>(x));
                const int fx = boundaryPixel ? static_cast<int>((static_cast<float>(x) - xB) * 1000) : 0;
                if (boundaryPixel && o + 1 > dstPixels) {
                    outOfRange = true;
                    return;
                }
                for (int ch = 0; ch < 3; ++ch) {
                    const int p = line[3 * x + ch];
                    long long *a = A + 3 * o + ch;
                    long long *b = B + 3 * o + ch;
                    if (!boundaryLine && !boundaryPixel) {
                        *a += 1000 * p;
                    } else if (!boundaryLine) {
                        *a += (1000 - fx) * p;
                        a[3] += fx * p;
                    } else if (!boundaryPixel) {
                        *a += (1000 - fy) * p;
                        *b += fy * p;
                    } else {
                        *a += p * (1000 - fy) * (1000 - fx) / 1000;
                        put(j, o, ch);
                        *b += p * fy * (1000 - fx) / 1000;
                        a[3] += p * (1000 - fy) * fx / 1000;
                        b[3] = p * fy * fx / 1000;
                    }
                }
                if (boundaryPixel) {
                    xB += sx;
                    ++o;
                }
            }
            if (boundaryLine) {
                if (o < dstPixels)
                    for (int ch = 0; ch < 3; ++ch) put(j, o, ch);
                A[0] = A[1] = A[2] = 0;
                std::swap(A, B);
                yB += sy;
                ++j;
            }
        }
        if (j < outLines)
            for (unsigned o = 0; o < dstPixels; ++o)
                for (int ch = 0; ch < 3; ++ch) put(j, o, ch);
    }
};

// One block through the routine; returns the output lines written.
Bytes Block(ScaleFn f, const Bytes &src, unsigned srcPixels, unsigned srcLines, unsigned dstPixels, double xr,
            double yr, unsigned short bpp, unsigned *lines = nullptr)
{
    const unsigned bpb = bpp >= 8 ? bpp / 8u : 1u;
    Bytes dst(Room(srcLines, yr, dstPixels, bpb), 0xEE);
    const unsigned n = f(src.data(), srcPixels, srcLines, dst.data(), dstPixels, xr, yr, bpp);
    const std::size_t used = std::size_t{n} * dstPixels * bpb;
    EXPECT_LE(used, dst.size());
    for (std::size_t i = used; i < dst.size(); ++i)
        EXPECT_EQ(dst[i], 0xEE) << "written past the returned lines";
    dst.resize(used);
    if (lines != nullptr) *lines = n;
    return dst;
}

std::vector<unsigned> LineCounts(ScaleFn f, double yRatio, int blocks, unsigned linesPerBlock)
{
    std::mt19937 rng(11);
    std::vector<unsigned> counts;
    Reset(f);
    for (int b = 0; b < blocks; ++b) {
        unsigned n = 0;
        Block(f, Random(16 * linesPerBlock, rng), 16, linesPerBlock, 16, 1.0, yRatio, 8, &n);
        counts.push_back(n);
    }
    Reset(f);
    return counts;
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
    for (const auto &c : cases)
        EXPECT_EQ(LineCounts(c.f, c.yRatio, static_cast<int>(c.counts.size()), 10), c.counts) << c.yRatio;
}

TEST(ScaleLines, EmptyBlockWithoutCarriedLinesMakesNothing)
{
    std::mt19937 rng(14);
    for (double yr : {2.0, 3.5}) {
        Reset(ScaleProcess);
        Bytes dst(64, 0xEE);
        const Bytes src(1, 0);
        EXPECT_EQ(ScaleProcess(src.data(), 16, 0, dst.data(), 16, 1.0, yr, 8), 0u);
        EXPECT_EQ(dst, Bytes(64, 0xEE));
        // and the scan goes on as if it started with the next block
        unsigned n = 0;
        Block(ScaleProcess, Random(160, rng), 16, 10, 16, 1.0, yr, 8, &n);
        EXPECT_EQ(n, static_cast<unsigned>(10 * yr) - static_cast<unsigned>(yr));
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
    unsigned n = 0;
    Block(ScaleProcessEx, a, 16, 10, 16, 1.0, 0.75, 8, &n);
    EXPECT_EQ(n, 7u); // first block of its own scan
    Reset(ScaleProcessEx);
    Block(ScaleProcess, a, 16, 10, 16, 1.0, 1.0, 8, &n);
    EXPECT_EQ(n, 10u); // ScaleProcess's scan went on
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
        Model model{ex, false, {}, 0, 0, false};
        Reset(f);
        for (int block = 0; block < 8; ++block) {
            const unsigned minLines = static_cast<unsigned>(std::ceil(1 / yr)) + 1;
            const unsigned lines = Pick(rng, 5) == 0 ? 1 + Pick(rng, 3) : minLines + Pick(rng, 40);
            const Bytes src = Random(std::size_t{lines} * srcPixels * bpb, rng);
            Bytes expect;
            const unsigned want = model.Run(src, srcPixels, lines, expect, dstPixels, xr, yr, bpp);
            unsigned got = 0;
            const Bytes out = Block(f, src, srcPixels, lines, dstPixels, xr, yr, bpp, &got);
            ASSERT_EQ(got, want) << "scan " << scan << " block " << block;
            ASSERT_EQ(out, expect) << "scan " << scan << " block " << block << " ex " << ex << " bpp " << bpp
                                   << " " << srcPixels << "->" << dstPixels << " x " << xr << " y " << yr;
            const bool area = bpp == 24 && xr < (ex ? 1.0 : 0.5) && yr < (ex ? 1.0 : 0.5);
            (area ? areaBlocks : bilinearBlocks)++;
        }
        Reset(f);
        // Only ScaleProcessEx enlarging with carried lines, or at one-row
        // blocks, names rows outside the data; the implementation's choice
        // (nearest present row) is in the model too.
        if (model.outOfRange) {
            EXPECT_TRUE(ex) << "scan " << scan;
        }
    }
    EXPECT_GT(areaBlocks, 200);
    EXPECT_GT(bilinearBlocks, 1000);
}

TEST(ScaleBounds, MeaninglessGeometryIsRefusedWithoutOutput)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
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
        Bytes dst(256, 0xEE);
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
    const std::vector<unsigned> expect = {3, 4, 4, 4};
    for (int b = 0; b < 4; ++b) {
        Bytes src(8 * 3, 0);
        if (b == 3) std::fill(src.begin() + 16, src.end(), 200);
        unsigned n = 0;
        const Bytes out = Block(ScaleProcessEx, src, 8, 3, 8, 1.0, 1.25, 8, &n);
        ASSERT_EQ(n, expect[static_cast<std::size_t>(b)]);
        if (b == 3) {
            for (unsigned i = 0; i < 8; ++i) {
                const int v = out[3 * 8 + i];
                EXPECT_TRUE(v == 200 || v == 199) << v;
            }
        }
    }
    Reset(ScaleProcessEx);
}

TEST(ScaleBounds, ChangedGeometryInsideAScanDropsTheCarriedLines)
{
    std::mt19937 rng(22);
    Reset(ScaleProcess);
    Block(ScaleProcess, Random(10 * 8, rng), 10, 8, 10, 1.0, 1.0, 8);
    unsigned n = 0;
    // now wider lines: the one carried line of 10 bytes is not used
    const Bytes out = Block(ScaleProcess, Random(30 * 8, rng), 30, 8, 30, 1.0, 1.0, 8, &n);
    EXPECT_EQ(n, 8u);
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
    for (int b = 0; b < 12; ++b) {
        unsigned n = 0;
        Block(ScaleProcess, Random(w, rng), w, 1, w / 5, 0.2, 0.2, 8, &n);
        total += n;
    }
    EXPECT_EQ(total, 2u);
    Reset(ScaleProcess);
}

} // namespace
