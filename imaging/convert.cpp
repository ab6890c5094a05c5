#include "imaging/convert.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// clang-format off
const unsigned char halftone[384] = {
    // pattern 1
    127, 201, 174, 147, 120, 46, 73, 100,
    103, 83, 56, 110, 137, 157, 184, 130,
    53, 19, 26, 90, 194, 228, 221, 151,
    76, 39, 32, 63, 164, 208, 215, 178,
    117, 46, 70, 97, 124, 201, 171, 144,
    140, 161, 188, 134, 107, 86, 59, 113,
    194, 228, 221, 154, 53, 19, 26, 93,
    167, 208, 215, 181, 80, 39, 32, 66,
    // pattern 2: horizontal line screen
    127, 140, 130, 144, 134, 147, 124, 137,
    154, 167, 157, 171, 161, 174, 151, 164,
    181, 194, 184, 198, 188, 201, 178, 191,
    208, 221, 211, 225, 215, 228, 205, 218,
    19, 32, 22, 36, 26, 39, 16, 29,
    46, 59, 49, 63, 53, 66, 43, 56,
    73, 86, 76, 90, 80, 93, 70, 83,
    100, 113, 103, 117, 107, 120, 97, 110,
    // pattern 3: vertical line screen (pattern 2 by column)
    127, 154, 181, 208, 19, 46, 73, 100,
    140, 167, 194, 221, 32, 59, 86, 113,
    130, 157, 184, 211, 22, 49, 76, 103,
    144, 171, 198, 225, 36, 63, 90, 117,
    134, 161, 188, 215, 26, 53, 80, 107,
    147, 174, 201, 228, 39, 66, 93, 120,
    124, 151, 178, 205, 16, 43, 70, 97,
    137, 164, 191, 218, 29, 56, 83, 110,
    // pattern 4
    127, 46, 154, 26, 134, 53, 161, 19,
    73, 208, 100, 188, 80, 215, 120, 181,
    167, 32, 140, 66, 174, 39, 147, 59,
    113, 194, 86, 228, 120, 201, 93, 221,
    134, 53, 161, 19, 127, 46, 154, 26,
    80, 215, 120, 181, 73, 208, 100, 188,
    174, 39, 147, 59, 167, 32, 140, 66,
    120, 201, 93, 221, 113, 194, 86, 228,
    // pattern 5: a 4 x 4 matrix repeated
    124, 137, 97, 110, 124, 137, 97, 110,
    29, 151, 83, 16, 29, 151, 83, 16,
    43, 164, 70, 56, 43, 164, 70, 56,
    191, 178, 218, 205, 191, 178, 218, 205,
    124, 137, 97, 110, 124, 137, 97, 110,
    29, 151, 83, 16, 29, 151, 83, 16,
    43, 164, 70, 56, 43, 164, 70, 56,
    191, 178, 218, 205, 191, 178, 218, 205,
    // pattern 6
    45, 155, 234, 237, 81, 165, 233, 236,
    194, 217, 240, 244, 200, 220, 240, 243,
    229, 235, 111, 175, 231, 235, 135, 185,
    238, 241, 206, 223, 238, 242, 211, 227,
    98, 170, 233, 236, 63, 160, 234, 237,
    203, 221, 239, 243, 197, 218, 240, 245,
    232, 235, 147, 189, 230, 235, 122, 180,
    238, 242, 214, 228, 238, 241, 208, 225,
};

namespace {

// Gray of one colour pixel; the sum is at most 2550, the division truncates.
inline unsigned char Luminance(unsigned int r, unsigned int g, unsigned int b)
{
    return static_cast<unsigned char>((3u * r + 6u * g + b) / 10u);
}

// A line whose byte count is not a multiple of 3 ends in a partial pixel; its
// missing bytes count as 0, so nothing past the line is read.
void LastPartialPixel(const unsigned char* pixel, unsigned int bytes, unsigned char rgb[3])
{
    rgb[0] = bytes > 0 ? pixel[0] : 0;
    rgb[1] = bytes > 1 ? pixel[1] : 0;
    rgb[2] = 0;
}

// Bit order of one byte reversed: the packed output has the leftmost pixel in
// the most significant bit, SSE2's byte mask has it in the least significant.
constexpr unsigned char Reverse8(unsigned int v)
{
    unsigned int r = 0;
    for (int i = 0; i < 8; ++i)
        r |= ((v >> i) & 1u) << (7 - i);
    return static_cast<unsigned char>(r);
}

struct ReverseTable {
    unsigned char v[256];
    constexpr ReverseTable() : v()
    {
        for (unsigned int i = 0; i < 256; ++i)
            v[i] = Reverse8(i);
    }
};
// clang-format on
constexpr ReverseTable kReverse;

// Sets the bits of one output line for pixels [0, count): bit 7 - (x mod 8) of
// byte x / 8 is 1 where src[x] < thresholds[x mod 8]. The line (bytes bytes)
// is cleared first; count never exceeds bytes * 8.
void PackLine(const unsigned char *src, unsigned char *dst, std::size_t bytes, std::size_t count,
              const unsigned char thresholds[8])
{
    std::size_t x = 0;
#if defined(__SSE2__)
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    __m128i thr = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(thresholds));
    thr = _mm_xor_si128(_mm_unpacklo_epi64(thr, thr), flip);
    for (; x + 16 <= count; x += 16) {
        __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x)), flip);
        // unsigned v < t as signed (t ^ 0x80) > (v ^ 0x80)
        unsigned int mask = static_cast<unsigned int>(_mm_movemask_epi8(_mm_cmpgt_epi8(thr, v)));
        dst[x / 8] = kReverse.v[mask & 0xFFu];
        dst[x / 8 + 1] = kReverse.v[mask >> 8];
    }
#endif
    if (bytes > x / 8) std::memset(dst + x / 8, 0, bytes - x / 8);
    for (; x < count; ++x) {
        if (src[x] < thresholds[x & 7u])
            dst[x / 8] = static_cast<unsigned char>(dst[x / 8] | (0x80u >> (x & 7u)));
    }
}

} // namespace

unsigned int ColortoGray(const unsigned char *src, unsigned char *dst, unsigned int /*channels*/,
                         unsigned int srcBytesPerLine, unsigned int /*dstBytesPerLine*/, unsigned int lines)
{
    const std::size_t whole = srcBytesPerLine / 3u;
    const unsigned int rest = srcBytesPerLine % 3u;
    for (unsigned int y = 0; y < lines; ++y) {
        const unsigned char *s = src + static_cast<std::size_t>(y) * srcBytesPerLine;
        for (std::size_t p = 0; p < whole; ++p, s += 3) *dst++ = Luminance(s[0], s[1], s[2]);
        if (rest != 0) {
            unsigned char rgb[3];
            LastPartialPixel(s, rest, rgb);
            *dst++ = Luminance(rgb[0], rgb[1], rgb[2]);
        }
    }
    return lines;
}

unsigned int ColortoOneChannelGray(const unsigned char *src, unsigned char *dst, unsigned int /*channels*/,
                                   unsigned int srcBytesPerLine, unsigned int /*dstBytesPerLine*/,
                                   unsigned int lines, unsigned char colorFilter)
{
    const std::size_t perLine = (static_cast<std::size_t>(srcBytesPerLine) + 2u) / 3u;
    if (colorFilter < 1 || colorFilter > 3) {
        if (perLine != 0 && lines != 0) std::memset(dst, 0, perLine * lines);
        return lines;
    }
    const unsigned int ch = colorFilter - 1u;
    const std::size_t whole = srcBytesPerLine / 3u;
    const unsigned int rest = srcBytesPerLine % 3u;
    for (unsigned int y = 0; y < lines; ++y) {
        const unsigned char *s = src + static_cast<std::size_t>(y) * srcBytesPerLine + ch;
        for (std::size_t p = 0; p < whole; ++p, s += 3) *dst++ = *s;
        if (rest != 0) *dst++ = ch < rest ? *s : 0;
    }
    return lines;
}

void GrayToLineart(const unsigned char *src, unsigned char *dst, unsigned int dstBytesPerLine,
                   unsigned char threshold, unsigned int srcBytesPerLine, unsigned int lines)
{
    unsigned char thresholds[8];
    std::memset(thresholds, threshold, sizeof thresholds);
    // Pixels past the source line (dstBytesPerLine * 8 > srcBytesPerLine) stay white.
    std::size_t count = static_cast<std::size_t>(dstBytesPerLine) * 8u;
    if (count > srcBytesPerLine) count = srcBytesPerLine;
    for (unsigned int y = 0; y < lines; ++y)
        PackLine(src + static_cast<std::size_t>(y) * srcBytesPerLine,
                 dst + static_cast<std::size_t>(y) * dstBytesPerLine, dstBytesPerLine, count, thresholds);
}

void TransferGrayToHalftone(const unsigned char *src, unsigned char *dst, unsigned int dstBytesPerLine,
                            unsigned char /*threshold*/, unsigned int pixelsPerLine, unsigned int lines,
                            int pattern)
{
    // A pattern number outside 1..6 has no matrix: pattern 1 stands in for it.
    if (pattern < 1 || pattern > 6) pattern = 1;
    const unsigned char *matrix = halftone + (pattern - 1) * 64;
    std::size_t count = static_cast<std::size_t>(dstBytesPerLine) * 8u;
    if (count > pixelsPerLine) count = pixelsPerLine;
    for (unsigned int y = 0; y < lines; ++y)
        PackLine(src + static_cast<std::size_t>(y) * pixelsPerLine,
                 dst + static_cast<std::size_t>(y) * dstBytesPerLine, dstBytesPerLine, count,
                 matrix + (y % 8u) * 8u);
}
