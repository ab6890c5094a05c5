// The frame shared by the four filters, per call:
//   1. create the state if there is none (working buffer of carried lines plus
//      room for s_blocksize lines);
//   2. a null buf releases the state and returns 0;
//   3. copy the block behind the two carried lines (working rows 0 and 1);
//   4. for centre rows 1..lines write output line r - 1 of buf from working
//      rows r - 1, r, r + 1 (reads only from the working rows);
//   5. carry the last two rows received to rows 0 and 1;
//   6. s_linesCount += lines; return lines.
// Blocks larger than the working buffer run through steps 3 to 5 in pieces,
// which gives the same lines as one pass.
#include "imaging/filter.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kWorkBytes = 5242880; // 5 MiB of lines
constexpr std::size_t kCarried = 2;         // kernel size 3 rounded down to even
constexpr std::size_t kMaxBlockLines = 0xFFFF;

struct FilterState {
    unsigned char *s_imgbuf = nullptr;
    unsigned char *s_handle = nullptr;
    unsigned short s_blocksize = 0;
    unsigned short s_linesCount = 0;
    unsigned char s_firstblock = 0;
    std::size_t lineSize = 0; // line size the working buffer was made for
    bool primed = false;      // the carried rows hold image lines
};

FilterState gColorPackState;
FilterState gDenoiseState;
FilterState gSharpenState;
FilterState gShadowHighlightState;

void Release(FilterState &st)
{
    std::free(st.s_handle);
    st.s_handle = nullptr;
    st.s_imgbuf = nullptr;
    st.s_firstblock = 0;
    st.s_linesCount = 0;
    st.s_blocksize = 0;
    st.lineSize = 0;
    st.primed = false;
}

bool Create(FilterState &st, std::size_t lineSize)
{
    // Lines of 80 bytes or less would give more than 65535 lines of room: the
    // count is held at 65535 (the most a block can have) instead of wrapping.
    std::size_t blockLines = lineSize == 0 ? 0 : kWorkBytes / lineSize;
    if (blockLines > kMaxBlockLines) blockLines = kMaxBlockLines;
    const std::size_t bytes = (blockLines + kCarried) * lineSize;
    unsigned char *mem = static_cast<unsigned char *>(std::malloc(bytes == 0 ? 1 : bytes));
    if (mem == nullptr) return false;
    st.s_handle = mem;
    st.s_imgbuf = mem;
    st.s_firstblock = 1;
    st.s_linesCount = 0;
    st.s_blocksize = static_cast<unsigned short>(blockLines);
    st.lineSize = lineSize;
    st.primed = false;
    return true;
}

// Runs the frame; rowOp(up, mid, low, out, width) filters one line.
template <typename RowOp>
unsigned short RunFrame(FilterState &st, unsigned char *buf, unsigned short width, unsigned short lines,
                        unsigned char bitsPerPixel, short kernelSize, bool copyFirstLineOfScan, RowOp rowOp)
{
    // The per-byte rules know 24-bit pixels and one line above and below only:
    // other depths and kernel sizes are refused, the block is left as it was.
    if (buf != nullptr && (bitsPerPixel != 24 || kernelSize != 3)) return 0;
    const std::size_t lineSize = static_cast<std::size_t>(width) * bitsPerPixel / 8u;
    // A scan that changes its line size without a reset starts a fresh state.
    if (buf != nullptr && st.s_imgbuf != nullptr && st.lineSize != lineSize) Release(st);
    if (st.s_imgbuf == nullptr && !Create(st, lineSize)) return 0;
    if (buf == nullptr) {
        Release(st);
        return 0;
    }
    if (lineSize == 0 || lines == 0) {
        st.s_linesCount = static_cast<unsigned short>(st.s_linesCount + lines);
        return lines;
    }

    unsigned char *rows = st.s_imgbuf;
    // Before the first block the carried rows hold no image: they start as
    // copies of the scan's first line, so the top edge repeats that line.
    if (!st.primed) {
        std::memcpy(rows, buf, lineSize);
        std::memcpy(rows + lineSize, buf, lineSize);
        st.primed = true;
    }
    const bool firstBlock = st.s_linesCount == 0;
    std::size_t done = 0;
    while (done < lines) {
        std::size_t n = lines - done;
        if (n > st.s_blocksize) n = st.s_blocksize;
        unsigned char *block = buf + done * lineSize;
        std::memcpy(rows + kCarried * lineSize, block, n * lineSize);
        for (std::size_t r = 1; r <= n; ++r) {
            const unsigned char *up = rows + (r - 1) * lineSize;
            rowOp(up, up + lineSize, up + 2 * lineSize, block + (r - 1) * lineSize, width);
        }
        if (copyFirstLineOfScan && firstBlock && done == 0)
            std::memcpy(block, rows + kCarried * lineSize, lineSize);
        std::memmove(rows, rows + n * lineSize, kCarried * lineSize);
        done += n;
    }
    st.s_linesCount = static_cast<unsigned short>(st.s_linesCount + lines);
    return lines;
}

// ---- per-line rules ------------------------------------------------------

void ColorPackRow(const unsigned char *up, const unsigned char *mid, const unsigned char *low,
                  unsigned char *out, unsigned int width)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * 3u; i += 3) {
        out[i] = static_cast<unsigned char>((up[i] + 6u * mid[i] + low[i]) >> 3);
        out[i + 1] = static_cast<unsigned char>((up[i + 1] + mid[i + 1]) >> 1);
        out[i + 2] = static_cast<unsigned char>((5u * up[i + 2] + 3u * mid[i + 2]) >> 3);
    }
}

inline unsigned int Distance(unsigned int a, unsigned int b) { return a > b ? a - b : b - a; }

void DenoiseRow(const unsigned char *up, const unsigned char *mid, const unsigned char *low,
                unsigned char *out, unsigned int width)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * 3u; i += 3) {
        const unsigned int r = mid[i], g = mid[i + 1], b = mid[i + 2];
        const unsigned int mR = (up[i] + r + low[i]) / 3u;
        const unsigned int mG = (up[i + 1] + g + low[i + 1]) / 3u;
        const unsigned int mB = (up[i + 2] + b + low[i + 2]) / 3u;
        if (Distance(mR, mG) <= 15 && Distance(mR, mB) <= 15 && Distance(mG, mB) <= 15) {
            const unsigned char gray = static_cast<unsigned char>((3u * r + 6u * g + b) / 10u);
            out[i] = out[i + 1] = out[i + 2] = gray;
        } else {
            out[i] = static_cast<unsigned char>(r);
            out[i + 1] = static_cast<unsigned char>(g);
            out[i + 2] = static_cast<unsigned char>(b);
        }
    }
}

struct Sharpener {
    signed char k[9];
    int divisor;

    explicit Sharpener(const char *kernel)
    {
        signed char sum = 0;
        for (int i = 0; i < 9; ++i) {
            k[i] = static_cast<signed char>(kernel[i]);
            sum = static_cast<signed char>(sum + k[i]); // added in 8 bits
        }
        divisor = sum > 0 ? sum : 1;
    }

    // Quotient truncated toward zero, limited to 0..255: a sum of 0 or below
    // gives 0 whatever the divisor.
    unsigned char Limit(int sum) const
    {
        if (sum <= 0) return 0;
        const int q = sum / divisor;
        return static_cast<unsigned char>(q > 255 ? 255 : q);
    }

    void operator()(const unsigned char *up, const unsigned char *mid, const unsigned char *low,
                    unsigned char *out, unsigned int width) const
    {
        const bool sides = k[0] | k[2] | k[3] | k[5] | k[6] | k[8];
        for (std::size_t p = 0; p < width; ++p) {
            const std::size_t c = p * 3;
            if (mid[c] != mid[c + 1] || mid[c] != mid[c + 2]) {
                out[c] = mid[c];
                out[c + 1] = mid[c + 1];
                out[c + 2] = mid[c + 2];
                continue;
            }
            // First and last pixel: the missing side takes the centre column.
            const std::size_t l = p == 0 ? c : c - 3;
            const std::size_t r = p + 1 == width ? c : c + 3;
            for (std::size_t ch = 0; ch < 3; ++ch) {
                int sum = k[1] * up[c + ch] + k[4] * mid[c + ch] + k[7] * low[c + ch];
                if (sides) {
                    sum += k[0] * up[l + ch] + k[2] * up[r + ch] + k[3] * mid[l + ch] + k[5] * mid[r + ch] +
                           k[6] * low[l + ch] + k[8] * low[r + ch];
                }
                out[c + ch] = Limit(sum);
            }
        }
    }
};

// Tone curve of green and blue for pixels whose red exceeds both.
constexpr unsigned char ShadowCurve(unsigned int v)
{
    if (v <= 34) return static_cast<unsigned char>(v);
    if (v <= 60) return static_cast<unsigned char>(35 + (5 * v - 175) * 8 / 25);
    return static_cast<unsigned char>(75 + (v - 60) * 180 / 195);
}

// Tone curve of red for pixels whose red exceeds green and equals blue.
constexpr unsigned char HighlightCurve(unsigned int v)
{
    if (v <= 144) return static_cast<unsigned char>(140 * v / 145);
    if (v <= 155) return static_cast<unsigned char>(140 + (5 * v - 725) * 4 / 10);
    return static_cast<unsigned char>(160 + (v - 155) * 95 / 100);
}

struct CurveTables {
    unsigned char shadow[256];
    unsigned char highlight[256];
    constexpr CurveTables() : shadow(), highlight()
    {
        for (unsigned int v = 0; v < 256; ++v) {
            shadow[v] = ShadowCurve(v);
            highlight[v] = HighlightCurve(v);
        }
    }
};
constexpr CurveTables kCurves;

void ShadowHighlightRow(const unsigned char *, const unsigned char *mid, const unsigned char *,
                        unsigned char *out, unsigned int width)
{
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * 3u; i += 3) {
        unsigned char r = mid[i], g = mid[i + 1], b = mid[i + 2];
        if (r > 110 && r > g) {
            if (r > b) {
                g = kCurves.shadow[g];
                b = kCurves.shadow[b];
            } else if (r == b) {
                r = kCurves.highlight[r];
            }
        }
        out[i] = r;
        out[i + 1] = g;
        out[i + 2] = b;
    }
}

} // namespace

unsigned short ColorPack_Filter3x3(unsigned char *buf, unsigned short width, unsigned short /*totalLines*/,
                                   unsigned short lines, unsigned char bitsPerPixel, const char * /*kernel*/,
                                   short kernelSize)
{
    return RunFrame(gColorPackState, buf, width, lines, bitsPerPixel, kernelSize, true, ColorPackRow);
}

unsigned short Denoise_Filter_GraySemiGrayPixels_3x3(unsigned char *buf, unsigned short width,
                                                     unsigned short /*totalLines*/, unsigned short lines,
                                                     unsigned char bitsPerPixel, const char * /*kernel*/,
                                                     short kernelSize)
{
    return RunFrame(gDenoiseState, buf, width, lines, bitsPerPixel, kernelSize, false, DenoiseRow);
}

unsigned short Filter_SharpenGrayPixels_3x3(unsigned char *buf, unsigned short width,
                                            unsigned short /*totalLines*/, unsigned short lines,
                                            unsigned char bitsPerPixel, const char *kernel, short kernelSize)
{
    // Without coefficients there is nothing to apply: refused like a bad size.
    if (buf != nullptr && kernel == nullptr) return 0;
    static const char kIdentity[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    const Sharpener sharpen(kernel != nullptr ? kernel : kIdentity);
    return RunFrame(gSharpenState, buf, width, lines, bitsPerPixel, kernelSize, false, sharpen);
}

unsigned short Filter_ShadowHighlight_3x3(unsigned char *buf, unsigned short width,
                                          unsigned short /*totalLines*/, unsigned short lines,
                                          unsigned char bitsPerPixel, const char * /*kernel*/,
                                          short kernelSize)
{
    return RunFrame(gShadowHighlightState, buf, width, lines, bitsPerPixel, kernelSize, false,
                    ShadowHighlightRow);
}
