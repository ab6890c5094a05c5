// Shared pieces of the image tests: random content, and a plain model of the
// per-byte rules of the four 3x3 filters (used by the filter tests and by the
// whole-scan tests of the filtered models).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <random>
#include <vector>

namespace testbed {

// A number below n.
inline unsigned Pick(std::mt19937 &rng, unsigned n) { return static_cast<unsigned>(rng() % n); }

inline std::vector<unsigned char> Random(std::size_t n, std::mt19937 &rng)
{
    std::vector<unsigned char> b(n);
    for (auto &v : b) v = static_cast<unsigned char>(rng());
    return b;
}

inline const char kColorPackKernel[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
inline const char kDenoiseKernel[9] = {1, 1, 1, 1, 16, 1, 1, 1, 1};
inline const char kSharpenKernel[9] = {0, -1, 0, 0, 7, 0, 0, -1, 0};
inline const char kShadowKernel[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};

// Byte `i` of the centre line `mid` after filter 0 (colour registration), 1
// (denoise), 2 (sharpen) or 3 (shadow/highlight), between the lines `up` and
// `low`.
inline unsigned char ModelByte(int filter, const std::vector<unsigned char> &up,
                               const std::vector<unsigned char> &mid, const std::vector<unsigned char> &low,
                               std::size_t i, const char *kernel)
{
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
        const std::vector<unsigned char> *rows[3] = {&up, &mid, &low};
        int sum = 0;
        for (int r = 0; r < 3; ++r) {
            sum += kernel[r * 3] * (*rows[r])[left];
            sum += kernel[r * 3 + 1] * (*rows[r])[i];
            sum += kernel[r * 3 + 2] * (*rows[r])[right];
        }
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

} // namespace testbed
