// Shared pieces of the image tests: random content, and plain models of block
// resampling and of the four 3x3 filters (used by their unit tests and by the
// whole scans' expectation).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

namespace testbed {

using Bytes = std::vector<unsigned char>;

// A number below n.
inline unsigned Pick(std::mt19937 &rng, unsigned n) { return static_cast<unsigned>(rng() % n); }

inline Bytes Random(std::size_t n, std::mt19937 &rng)
{
    Bytes b(n);
    for (auto &v : b) v = static_cast<unsigned char>(rng());
    return b;
}

inline const char kColorPackKernel[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
inline const char kDenoiseKernel[9] = {1, 1, 1, 1, 16, 1, 1, 1, 1};
inline const char kSharpenKernel[9] = {0, -1, 0, 0, 7, 0, 0, -1, 0};
inline const char kShadowKernel[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
inline const char *const kKernels[4] = {kColorPackKernel, kDenoiseKernel, kSharpenKernel, kShadowKernel};

// Byte `i` of the centre line `mid` after filter 0 (colour registration), 1
// (denoise), 2 (sharpen) or 3 (shadow/highlight), between the lines `up` and
// `low`.
inline unsigned char ModelByte(int filter, const Bytes &up, const Bytes &mid, const Bytes &low, std::size_t i)
{
    const char *kernel = kKernels[filter];
    const std::size_t p = i / 3 * 3;
    const unsigned ch = static_cast<unsigned>(i % 3);
    switch (filter) {
    case 0:
        if (ch == 0) return static_cast<unsigned char>((up[i] + 6 * mid[i] + low[i]) >> 3);
        if (ch == 1) return static_cast<unsigned char>((up[i] + mid[i]) >> 1);
        return static_cast<unsigned char>((5 * up[i] + 3 * mid[i]) >> 3);
    case 1: {
        int m[3];
        for (int c = 0; c < 3; ++c) m[c] = (up[p + c] + mid[p + c] + low[p + c]) / 3;
        if (std::abs(m[0] - m[1]) <= 15 && std::abs(m[0] - m[2]) <= 15 && std::abs(m[1] - m[2]) <= 15)
            return static_cast<unsigned char>((3 * mid[p] + 6 * mid[p + 1] + mid[p + 2]) / 10);
        return mid[i];
    }
    case 2: {
        if (!(mid[p] == mid[p + 1] && mid[p] == mid[p + 2])) return mid[i];
        signed char sum8 = 0;
        for (int k = 0; k < 9; ++k) sum8 = static_cast<signed char>(sum8 + kernel[k]);
        const int divisor = sum8 <= 0 ? 1 : sum8;
        const std::size_t left = p == 0 ? i : i - 3;
        const std::size_t right = p + 3 == mid.size() ? i : i + 3;
        const Bytes *rows[3] = {&up, &mid, &low};
        int sum = 0;
        for (int r = 0; r < 3; ++r)
            sum += kernel[r * 3] * (*rows[r])[left] + kernel[r * 3 + 1] * (*rows[r])[i] +
                   kernel[r * 3 + 2] * (*rows[r])[right];
        return static_cast<unsigned char>(std::clamp(sum / divisor, 0, 255));
    }
    default: {
        const int r = mid[p], g = mid[p + 1], b = mid[p + 2];
        const int v = mid[i];
        if (r > 110 && r > g && r > b && ch != 0) {
            if (v <= 34) return static_cast<unsigned char>(v);
            if (v <= 60) return static_cast<unsigned char>(35 + (5 * v - 175) * 8 / 25);
            return static_cast<unsigned char>(75 + (v - 60) * 180 / 195);
        }
        if (r > 110 && r > g && r == b && ch == 0) {
            if (v <= 144) return static_cast<unsigned char>(140 * v / 145);
            if (v <= 155) return static_cast<unsigned char>(140 + (5 * v - 725) * 4 / 10);
            return static_cast<unsigned char>(160 + (v - 155) * 95 / 100);
        }
        return mid[i];
    }
    }
}

// Filter `filter` over the blocks of one scan, with unlimited room: output
// line m is line m - 1 between its neighbours. The carried lines start as
// copies of the scan's first line.
struct FilterModel {
    explicit FilterModel(int f) : filter(f) {}
    int filter;
    std::vector<Bytes> carried;
    unsigned short linesCount = 0;

    void Process(Bytes &block, std::size_t lineSize)
    {
        const std::size_t lines = block.size() / lineSize;
        const bool first = linesCount == 0;
        linesCount = static_cast<unsigned short>(linesCount + lines);
        if (lines == 0) return;
        auto line = [&](std::size_t k) { return block.begin() + static_cast<long>(k * lineSize); };
        if (carried.empty()) carried.assign(2, Bytes(line(0), line(1)));
        std::vector<Bytes> rows = carried;
        for (std::size_t k = 0; k < lines; ++k) rows.emplace_back(line(k), line(k + 1));
        for (std::size_t r = 1; r <= lines; ++r)
            for (std::size_t i = 0; i < lineSize; ++i)
                block[(r - 1) * lineSize + i] = ModelByte(filter, rows[r - 1], rows[r], rows[r + 1], i);
        if (filter == 0 && first) std::copy(rows[2].begin(), rows[2].end(), block.begin());
        carried = {rows[lines], rows[lines + 1]};
    }
};

// One scan of ScaleProcess (ex false) or ScaleProcessEx, block by block, doing
// the same arithmetic in the same order.
struct ScaleModel {
    explicit ScaleModel(bool isEx) : ex(isEx) {}
    bool ex;
    std::vector<Bytes> carry;
    unsigned linecount = 0, scancount = 0;
    bool outOfRange = false; // a row or pixel named outside the data

    unsigned Run(const Bytes &src, unsigned srcPixels, unsigned srcLines, Bytes &dst, unsigned dstPixels,
                 double xr, double yr, unsigned short bpp)
    {
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
            const unsigned char *U = row(k), *D = row(lower);
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
        // m below 0 (rows already carried): all rows from that line on are kept.
        std::vector<Bytes> next;
        for (long long r = std::max(carried + m, 0LL); r < total; ++r) next.emplace_back(row(r), row(r) + L);
        carry = std::move(next);
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
        long long *A = rowA.data(), *B = rowB.data();
        auto put = [&](long long j, unsigned o, int ch) {
            if (j < outLines && o < dstPixels)
                dst[static_cast<std::size_t>(j) * OL + 3 * o + ch] =
                    static_cast<unsigned char>(A[3 * o + ch] / area);
            else
                outOfRange = true;
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

} // namespace testbed
