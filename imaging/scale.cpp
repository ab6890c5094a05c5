// Block resampling with state carried between blocks.
//
// Per call: create the state if there is none (carry buffer of
// floor(5 MiB / source line size) lines plus 6 bytes, counters 0); a null src
// releases it; outLines = floor((scancount + srcLines) * yRatio) -
// floor(scancount * yRatio); area averaging for 24-bit data when both ratios
// are below the routine's threshold, bilinear interpolation otherwise; then
// scancount += srcLines, linecount += outLines.
//
// The arithmetic is exact, operation for operation: bilinear in
// double with the four terms U0 (1 - fy) (1 - fx) + U1 (1 - fy) fx +
// L0 fy (1 - fx) + L1 fy fx evaluated left to right; area averaging with box
// boundaries in float and integer accumulators. Speed comes from per-column
// tables (built once per geometry), per-line product tables (v * (1 - fy) and
// v * fy for every byte value v are the same products as computed per pixel),
// skipping terms whose weight is exactly 0 (adding +0.0 changes no sum), and
// summing the lines inside an output row per column before weighting them
// (integer sums in any order are the same).
#include "imaging/scale.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kWorkBytes = 5242880; // 5 MiB of carried lines
constexpr std::size_t kSpareBytes = 6;      // two 24-bit pixels beyond the last line
constexpr std::int64_t kSat = std::int64_t{1} << 62;
constexpr std::int64_t kMaxCarried = std::int64_t{1} << 33;

// floor() as a 64-bit integer: saturated at +-2^62, NaN gives 0, so that no
// ratio or counter can make a conversion overflow.
std::int64_t FloorSat(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 4.0e18) return kSat;
    if (v <= -4.0e18) return -kSat;
    return static_cast<std::int64_t>(std::floor(v));
}

struct BilinearColumn {
    std::size_t off0; // byte offset of pixel ix in the line
    std::size_t off1; // pixel ix + 1, or ix when fx is 0 (its weight is 0 then)
    double gx;        // 1 - fx
    double fx;
};

struct AreaColumn {
    std::size_t o;   // output pixel the source pixel adds to
    std::int64_t fx; // share (thousandths) of a boundary pixel for pixel o + 1
    bool boundary;   // the pixel is the box's boundary pixel
    bool dropped;    // beyond the accumulators (boxes smaller than a pixel)
};

struct ScaleState {
    unsigned char *hbuf = nullptr;     // the carry buffer as allocated
    unsigned char *ScaleBuf = nullptr; // the carry buffer as used
    unsigned int linecount = 0;        // output lines since the state was created
    unsigned int scancount = 0;        // source lines since the state was created

    std::size_t capacityBytes = 0; // room for whole carried lines (spare bytes excluded)
    std::size_t heldLines = 0;     // lines in ScaleBuf
    std::size_t heldLineSize = 0;  // their size

    // Tables of the current geometry, kept for the scan.
    std::vector<BilinearColumn> bilinear;
    unsigned int bilinearSrc = 0, bilinearDst = 0;
    double bilinearRatio = 0.0;
    std::size_t bilinearBpb = 0;
    bool bilinearIdentity = false;

    std::vector<AreaColumn> area;
    unsigned int areaSrc = 0, areaDst = 0;
    std::size_t areaBoundaries = 0;

    std::vector<std::int64_t> rowA, rowB;  // accumulators, 3 per output pixel + 3 spare
    std::vector<std::uint32_t> columnSums; // lines inside a row, summed per source byte
};

ScaleState gScaleState;
ScaleState gScaleExState;

void Release(ScaleState &st)
{
    std::free(st.hbuf);
    st.hbuf = nullptr;
    st.ScaleBuf = nullptr;
    st.capacityBytes = 0;
    st.heldLines = 0;
    st.heldLineSize = 0;
    std::vector<BilinearColumn>().swap(st.bilinear);
    std::vector<AreaColumn>().swap(st.area);
    std::vector<std::int64_t>().swap(st.rowA);
    std::vector<std::int64_t>().swap(st.rowB);
    std::vector<std::uint32_t>().swap(st.columnSums);
    st.bilinearSrc = st.bilinearDst = 0;
    st.areaSrc = st.areaDst = 0;
}

bool Create(ScaleState &st, std::size_t srcLineSize)
{
    const std::size_t lines = srcLineSize == 0 ? 0 : kWorkBytes / srcLineSize;
    const std::size_t bytes = lines * srcLineSize + kSpareBytes;
    unsigned char *mem = static_cast<unsigned char *>(std::malloc(bytes));
    if (mem == nullptr) return false;
    st.hbuf = mem;
    st.ScaleBuf = mem;
    st.scancount = 0;
    st.linecount = 0;
    st.capacityBytes = lines * srcLineSize;
    st.heldLines = 0;
    st.heldLineSize = srcLineSize;
    return true;
}

// ---- bilinear interpolation -----------------------------------------------

void BuildBilinearColumns(ScaleState &st, unsigned int srcPixels, unsigned int dstPixels, double xRatio,
                          std::size_t bpb)
{
    if (st.bilinearSrc == srcPixels && st.bilinearDst == dstPixels && st.bilinearRatio == xRatio &&
        st.bilinearBpb == bpb && !st.bilinear.empty())
        return;
    st.bilinear.resize(dstPixels);
    const double last = static_cast<double>(srcPixels - 1u);
    bool identity = true;
    for (unsigned int i = 0; i < dstPixels; ++i) {
        const double x = std::min(last, static_cast<double>(i) / xRatio);
        const double ix = std::floor(x);
        const double fx = x - ix;
        const std::size_t pixel = static_cast<std::size_t>(ix);
        BilinearColumn &c = st.bilinear[i];
        c.off0 = pixel * bpb;
        // At the right edge x is the last pixel and fx is 0: pixel ix + 1 takes
        // no part and is not read.
        c.off1 = fx != 0.0 ? (pixel + 1) * bpb : c.off0;
        c.fx = fx;
        c.gx = 1.0 - fx;
        identity = identity && fx == 0.0 && pixel == i;
    }
    st.bilinearSrc = srcPixels;
    st.bilinearDst = dstPixels;
    st.bilinearRatio = xRatio;
    st.bilinearBpb = bpb;
    st.bilinearIdentity = identity;
}

inline unsigned char ToByte(double value) { return static_cast<unsigned char>(static_cast<int>(value)); }

// One output line from the upper row up and the lower row lo. BPB 0: the
// byte count per pixel is bpbRuntime.
template <std::size_t BPB>
void InterpolateLine(const unsigned char *up, const unsigned char *lo, unsigned char *out,
                     const BilinearColumn *cols, std::size_t dstPixels, std::size_t bpbRuntime, double fy)
{
    const std::size_t bpb = BPB != 0 ? BPB : bpbRuntime;
    if (fy == 0.0) {
        // (1 - fy) is 1 and the lower-row terms are +0.0.
        for (std::size_t i = 0; i < dstPixels; ++i) {
            const BilinearColumn &c = cols[i];
            for (std::size_t b = 0; b < bpb; ++b) {
                out[i * bpb + b] = ToByte(static_cast<double>(up[c.off0 + b]) * c.gx +
                                          static_cast<double>(up[c.off1 + b]) * c.fx);
            }
        }
        return;
    }
    const double gy = 1.0 - fy;
    double tu[256], tl[256];
    for (int v = 0; v < 256; ++v) {
        tu[v] = static_cast<double>(v) * gy;
        tl[v] = static_cast<double>(v) * fy;
    }
    for (std::size_t i = 0; i < dstPixels; ++i) {
        const BilinearColumn &c = cols[i];
        for (std::size_t b = 0; b < bpb; ++b) {
            out[i * bpb + b] = ToByte(tu[up[c.off0 + b]] * c.gx + tu[up[c.off1 + b]] * c.fx +
                                      tl[lo[c.off0 + b]] * c.gx + tl[lo[c.off1 + b]] * c.fx);
        }
    }
}

// Rows of one call: carried lines first, then the block. Row r below carried
// is carry line r - carried + heldLines; rows outside the lines actually
// present are clamped to the nearest present one (only inconsistent calls get
// there: one line past the block for ScaleProcessEx enlarging with carried
// lines, row -1 for its one-row blocks, lines dropped beyond the carry room).
struct Rows {
    const unsigned char *carry;
    std::size_t held;
    const unsigned char *block;
    std::int64_t carried;
    std::size_t lineSize;
    std::int64_t lo, hi; // present rows; none when lo > hi

    const unsigned char *At(std::int64_t r) const
    {
        r = std::clamp(r, lo, hi);
        if (r >= carried) return block + static_cast<std::size_t>(r - carried) * lineSize;
        return carry + static_cast<std::size_t>(r - carried + static_cast<std::int64_t>(held)) * lineSize;
    }
};

std::uint64_t Bilinear(ScaleState &st, bool ex, const unsigned char *src, unsigned int srcPixels,
                       unsigned int srcLines, unsigned char *dst, unsigned int dstPixels, double xRatio,
                       double yRatio, std::size_t bpb, std::uint64_t outLines)
{
    const std::size_t lineSize = bpb * srcPixels;
    const std::size_t outLineSize = bpb * dstPixels;
    BuildBilinearColumns(st, srcPixels, dstPixels, xRatio, bpb);

    const double linecount = static_cast<double>(st.linecount);
    const std::int64_t base = FloorSat(linecount / yRatio);
    // A negative count (inconsistent counters) means nothing is carried.
    const std::int64_t carried =
        std::clamp(static_cast<std::int64_t>(st.scancount) - base, std::int64_t{0}, kMaxCarried);

    if (!ex && carried == 0) {
        // The last floor(yRatio) lines would need the line after the block;
        // fewer lines than that (srcLines 0) give no output at all.
        const std::uint64_t dropped = static_cast<std::uint64_t>(FloorSat(yRatio));
        outLines = outLines > dropped ? outLines - dropped : 0;
    }

    Rows rows{st.ScaleBuf,
              st.heldLines,
              src,
              carried,
              lineSize,
              std::max<std::int64_t>(0, carried - static_cast<std::int64_t>(st.heldLines)),
              carried + static_cast<std::int64_t>(srcLines) - 1};
    if (rows.lo > rows.hi) outLines = 0;

    for (std::uint64_t j = 0; j < outLines; ++j) {
        const double pos = static_cast<double>(st.linecount + j) / yRatio - static_cast<double>(base);
        const std::int64_t k = FloorSat(pos);
        double fy = pos - static_cast<double>(k);
        if (!(fy >= 0.0 && fy <= 1.0)) fy = 0.0; // saturated positions only
        const std::int64_t lower = (ex && carried == 0 && j + 1 == outLines) ? k - 1 : k + 1;
        const unsigned char *upRow = rows.At(k);
        const unsigned char *loRow = rows.At(lower);
        unsigned char *out = dst + j * outLineSize;
        if (fy == 0.0 && st.bilinearIdentity) {
            std::memcpy(out, upRow, outLineSize);
        } else if (bpb == 3) {
            InterpolateLine<3>(upRow, loRow, out, st.bilinear.data(), dstPixels, bpb, fy);
        } else if (bpb == 1) {
            InterpolateLine<1>(upRow, loRow, out, st.bilinear.data(), dstPixels, bpb, fy);
        } else {
            InterpolateLine<0>(upRow, loRow, out, st.bilinear.data(), dstPixels, bpb, fy);
        }
    }

    // Carry: the rows from the upper row of the next output line onwards
    // (block line m; rows already carried when m is below 0), as many as the
    // carry buffer holds (the latest ones when there are more).
    const std::int64_t m = FloorSat(static_cast<double>(st.linecount + outLines) / yRatio -
                                    static_cast<double>(base) - static_cast<double>(carried));
    std::int64_t start = std::max(carried + m, rows.lo);
    const std::int64_t capLines = static_cast<std::int64_t>(st.capacityBytes / lineSize);
    if (rows.hi - start + 1 > capLines) start = rows.hi - capLines + 1;
    std::size_t kept = 0;
    if (start <= rows.hi) {
        if (start < carried) {
            kept = static_cast<std::size_t>(carried - start);
            std::memmove(st.ScaleBuf, rows.At(start), kept * lineSize);
        }
        const std::int64_t first = std::max<std::int64_t>(start - carried, 0);
        const std::size_t fromBlock = srcLines - static_cast<std::size_t>(first);
        if (fromBlock > 0)
            std::memcpy(st.ScaleBuf + kept * lineSize, src + static_cast<std::size_t>(first) * lineSize,
                        fromBlock * lineSize);
        kept += fromBlock;
    }
    st.heldLines = kept;
    st.heldLineSize = lineSize;
    return outLines;
}

// ---- area averaging ---------------------------------------------------------

void BuildAreaColumns(ScaleState &st, unsigned int srcPixels, unsigned int dstPixels, float sx)
{
    if (st.areaSrc == srcPixels && st.areaDst == dstPixels && !st.area.empty()) return;
    st.area.resize(srcPixels);
    // The column boundary starts at sx - 1 on every line, so its course is the
    // same for all lines.
    float xB = sx - 1;
    std::size_t o = 0;
    for (unsigned int x = 0; x < srcPixels; ++x) {
        AreaColumn &c = st.area[x];
        c.o = o;
        c.boundary = !(xB > static_cast<float>(x));
        c.fx = 0;
        if (c.boundary) {
            // Shares are limited to 0..1000: only boxes smaller than a pixel go past.
            c.fx = std::clamp<std::int64_t>(FloorSat((static_cast<float>(x) - xB) * 1000), 0, 1000);
            xB += sx;
            ++o;
        }
        // Accumulators exist for dstPixels + 1 pixels: anything beyond (boxes
        // smaller than a pixel, or boundaries drifting in float) is dropped.
        c.dropped = c.boundary ? c.o >= dstPixels : c.o > dstPixels;
    }
    st.areaSrc = srcPixels;
    st.areaDst = dstPixels;
    st.areaBoundaries = o;
}

constexpr std::uint32_t kFoldLimit = 1u << 24; // lines of 255 that a 32-bit sum holds

void AreaAverage(ScaleState &st, const unsigned char *src, unsigned int srcPixels, unsigned int srcLines,
                 unsigned char *dst, unsigned int dstPixels, std::uint64_t outLines)
{
    const float sx = static_cast<float>(srcPixels) / static_cast<float>(dstPixels);
    const float sy = static_cast<float>(srcLines) / static_cast<float>(outLines);
    std::int64_t area = FloorSat(sx * 1000 * sy);
    if (area <= 0) area = 1; // boxes of less than a thousandth of a pixel: no division by 0

    const std::size_t lineSize = 3u * static_cast<std::size_t>(srcPixels);
    const std::size_t outLineSize = 3u * static_cast<std::size_t>(dstPixels);
    const std::size_t accSize = outLineSize + 3;
    BuildAreaColumns(st, srcPixels, dstPixels, sx);
    st.rowA.assign(accSize, 0);
    st.rowB.assign(accSize, 0);
    st.columnSums.assign(lineSize, 0);

    const AreaColumn *cols = st.area.data();
    std::int64_t *A = st.rowA.data();
    std::int64_t *B = st.rowB.data();
    std::uint32_t *sums = st.columnSums.data();
    std::uint32_t summedLines = 0;

    // Lines inside a row add 1000 p (inside pixels) or (1000 - fx) p and fx p
    // (boundary pixels): linear, so their column sums are weighted once.
    auto fold = [&]() {
        if (summedLines == 0) return;
        for (std::size_t x = 0; x < srcPixels; ++x) {
            const AreaColumn &c = cols[x];
            const std::uint32_t *s = sums + 3 * x;
            if (!c.dropped) {
                std::int64_t *a = A + 3 * c.o;
                const std::int64_t w0 = 1000 - c.fx;
                a[0] += w0 * s[0];
                a[1] += w0 * s[1];
                a[2] += w0 * s[2];
                if (c.boundary) {
                    a[3] += c.fx * s[0];
                    a[4] += c.fx * s[1];
                    a[5] += c.fx * s[2];
                }
            }
        }
        std::memset(sums, 0, lineSize * sizeof *sums);
        summedLines = 0;
    };
    auto put = [&](unsigned char *out, const std::int64_t *acc, std::size_t from) {
        for (std::size_t i = from; i < outLineSize; ++i) out[i] = static_cast<unsigned char>(acc[i] / area);
    };

    float yB = sy - 1;
    std::uint64_t j = 0;
    for (unsigned int y = 0; y < srcLines; ++y) {
        const unsigned char *line = src + static_cast<std::size_t>(y) * lineSize;
        if (yB > static_cast<float>(y)) {
            for (std::size_t i = 0; i < lineSize; ++i) sums[i] += line[i];
            if (++summedLines == kFoldLimit) fold();
            continue;
        }
        fold();
        // The boundary line: fy thousandths of it belong to the next row.
        const std::int64_t fy =
            std::clamp<std::int64_t>(FloorSat((static_cast<float>(y) - yB) * 1000), 0, 1000);
        const std::int64_t gy = 1000 - fy;
        unsigned char *out = j < outLines ? dst + j * outLineSize : nullptr;
        for (std::size_t x = 0; x < srcPixels; ++x) {
            const AreaColumn &c = cols[x];
            if (c.dropped) continue;
            const unsigned char *p = line + 3 * x;
            std::int64_t *a = A + 3 * c.o;
            std::int64_t *b = B + 3 * c.o;
            if (!c.boundary) {
                for (int ch = 0; ch < 3; ++ch) {
                    a[ch] += gy * p[ch];
                    b[ch] += fy * p[ch];
                }
                continue;
            }
            const std::int64_t fx = c.fx;
            const std::int64_t gx = 1000 - fx;
            for (int ch = 0; ch < 3; ++ch) {
                const std::int64_t v = p[ch];
                a[ch] += v * gy * gx / 1000;
                if (out != nullptr) out[3 * c.o + ch] = static_cast<unsigned char>(a[ch] / area);
                b[ch] += v * fy * gx / 1000;
                a[3 + ch] += v * gy * fx / 1000;
                b[3 + ch] = v * fy * fx / 1000;
            }
        }
        // The pixel after the last boundary (all remaining ones should the
        // boundaries fall short in float).
        if (out != nullptr && st.areaBoundaries < dstPixels) put(out, A, 3 * st.areaBoundaries);
        A[0] = A[1] = A[2] = 0;
        std::swap(A, B);
        yB += sy;
        ++j;
    }
    fold();
    if (j < outLines) {
        unsigned char *out = dst + j * outLineSize;
        put(out, A, 0);
        // Rows the boundaries never reached repeat the last one.
        for (std::uint64_t r = j + 1; r < outLines; ++r) std::memcpy(dst + r * outLineSize, out, outLineSize);
    }
    st.heldLines = 0; // nothing is carried
}

// ---- common frame -------------------------------------------------------------

unsigned int Scale(ScaleState &st, bool ex, const unsigned char *src, unsigned int srcPixels,
                   unsigned int srcLines, unsigned char *dst, unsigned int dstPixels, double xRatio,
                   double yRatio, unsigned short bitsPerPixel)
{
    try {
        const std::size_t bpb = bitsPerPixel >= 8 ? bitsPerPixel / 8u : 1u;
        const std::size_t srcLineSize = bpb * srcPixels;
        if (st.ScaleBuf == nullptr && !Create(st, srcLineSize)) return 0;
        if (src == nullptr) {
            Release(st);
            return 0;
        }
        // Refused without output and without touching the counters: no pixels,
        // no output buffer, ratios that are not positive finite numbers.
        if (dst == nullptr || srcPixels == 0 || dstPixels == 0 || !(xRatio > 0.0) || !(yRatio > 0.0) ||
            !std::isfinite(xRatio) || !std::isfinite(yRatio))
            return 0;
        // Carried lines of another line size cannot be used (a scan must keep
        // its geometry between resets): they are dropped.
        if (st.heldLineSize != srcLineSize) {
            st.heldLines = 0;
            st.heldLineSize = srcLineSize;
        }

        const double scanned = static_cast<double>(st.scancount);
        const std::int64_t total =
            FloorSat((scanned + static_cast<double>(srcLines)) * yRatio) - FloorSat(scanned * yRatio);
        std::uint64_t outLines =
            static_cast<std::uint64_t>(std::clamp<std::int64_t>(total, 0, std::int64_t{0xFFFFFFFF}));

        const double threshold = ex ? 1.0 : 0.5;
        if (bitsPerPixel == 24 && xRatio < threshold && yRatio < threshold) {
            if (outLines > 0)
                AreaAverage(st, src, srcPixels, srcLines, dst, dstPixels, outLines);
            else
                st.heldLines = 0;
        } else {
            outLines =
                Bilinear(st, ex, src, srcPixels, srcLines, dst, dstPixels, xRatio, yRatio, bpb, outLines);
        }
        st.scancount += srcLines;
        st.linecount += static_cast<unsigned int>(outLines);
        return static_cast<unsigned int>(outLines);
    } catch (const std::bad_alloc &) {
        return 0; // tables of the geometry could not be made: no output
    }
}

} // namespace

unsigned int ScaleProcess(const unsigned char *src, unsigned int srcPixels, unsigned int srcLines,
                          unsigned char *dst, unsigned int dstPixels, double xRatio, double yRatio,
                          unsigned short bitsPerPixel)
{
    return Scale(gScaleState, false, src, srcPixels, srcLines, dst, dstPixels, xRatio, yRatio, bitsPerPixel);
}

unsigned int ScaleProcessEx(const unsigned char *src, unsigned int srcPixels, unsigned int srcLines,
                            unsigned char *dst, unsigned int dstPixels, double xRatio, double yRatio,
                            unsigned short bitsPerPixel)
{
    return Scale(gScaleExState, true, src, srcPixels, srcLines, dst, dstPixels, xRatio, yRatio, bitsPerPixel);
}
