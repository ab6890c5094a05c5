// Every image routine with geometry and content from the input: scaling blocks
// (both routines, any ratio, depth, block size, geometry changes inside a scan),
// the four filters, the conversions, resets in between. Buffers have exactly
// the size the routines may use, so that the sanitizers see any access beyond.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imaging/convert.h"
#include "imaging/filter.h"
#include "imaging/scale.h"

namespace {

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    unsigned Byte() { return pos_ < size_ ? data_[pos_++] : 0u; }
    unsigned Word()
    {
        const unsigned low = Byte();
        return low | (Byte() << 8);
    }
    // Image content: the rest of the input, repeated.
    void Fill(std::vector<unsigned char> &buf)
    {
        for (std::size_t i = 0; size_ != 0 && i < buf.size();) {
            const std::size_t from = (pos_ + i) % size_, n = std::min(buf.size() - i, size_ - from);
            std::memcpy(buf.data() + i, data_ + from, n);
            i += n;
        }
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

constexpr std::size_t kMaxBytes = 1u << 16;

void Check(bool ok)
{
    if (!ok) std::abort();
}

double Ratio(Input &in)
{
    static const double kRatios[] = {1.0,  0.5,       0.25,       2.0 / 3.0, 1.0 / 3.0, 1.0 / 6.0, 2.0, 4.0,
                                     0.75, 4.0 / 3.0, 1.0 / 12.0, 0.1,       0.3,       1.5,       0.0, -1.0};
    const unsigned b = in.Byte();
    return b < 128 ? kRatios[b % 16] : static_cast<double>(b - 127) / 32.0; // above 127: 1/32 .. 4
}

void Scale(Input &in)
{
    const bool ex = in.Byte() & 1u;
    const unsigned srcPixels = in.Word() % 700;
    const unsigned srcLines = in.Byte() % 64;
    const unsigned dstPixels = in.Word() % 1400;
    const double xr = Ratio(in), yr = Ratio(in);
    static const unsigned short kDepths[] = {24, 8, 24, 16, 48, 1, 0, 12};
    const unsigned short bpp = kDepths[in.Byte() % 8];
    const std::size_t bpb = bpp >= 8 ? bpp / 8u : 1u;
    const std::size_t srcBytes = bpb * srcPixels * srcLines;
    // At most floor(srcLines * yRatio) + 2 lines can come out of one block.
    const double bound = yr > 0 ? std::floor(srcLines * yr) + 2 : 0;
    const std::size_t dstBytes = static_cast<std::size_t>(bound) * bpb * dstPixels;
    if (srcBytes > kMaxBytes || dstBytes > kMaxBytes) return;
    std::vector<unsigned char> src(srcBytes), dst(dstBytes);
    in.Fill(src);
    // std::vector gives a null pointer for 0 bytes, which is the reset call.
    const unsigned n = (ex ? ScaleProcessEx : ScaleProcess)(src.data(), srcPixels, srcLines, dst.data(),
                                                            dstPixels, xr, yr, bpp);
    Check(n <= bound);
}

using FilterFn = unsigned short (*)(unsigned char *, unsigned short, unsigned short, unsigned short,
                                    unsigned char, const char *, short);
const FilterFn kFilters[] = {ColorPack_Filter3x3, Denoise_Filter_GraySemiGrayPixels_3x3,
                             Filter_SharpenGrayPixels_3x3, Filter_ShadowHighlight_3x3};

void Filter(Input &in)
{
    const FilterFn f = kFilters[in.Byte() % 4];
    const auto width = static_cast<unsigned short>(in.Word() % 600);
    const auto lines = static_cast<unsigned short>(in.Byte() % 80);
    const unsigned b = in.Byte();
    const auto bpp = static_cast<unsigned char>(b < 224 ? 24 : b);
    const short kernelSize = in.Byte() < 240 ? 3 : static_cast<short>(in.Byte());
    char kernel[9];
    for (char &k : kernel) k = static_cast<char>(in.Byte());
    const std::size_t bytes = std::size_t{width} * bpp / 8u * lines;
    if (bytes > kMaxBytes) return;
    std::vector<unsigned char> buf(bytes + 1); // one spare so that the pointer is never null
    in.Fill(buf);
    const unsigned short n = f(buf.data(), width, 0, lines, bpp, kernel, kernelSize);
    Check(n == lines || n == 0);
}

void Convert(Input &in)
{
    const unsigned kind = in.Byte() % 4;
    const unsigned srcBpl = in.Word() % 2000;
    const unsigned dstBpl = in.Word() % 300;
    const unsigned lines = in.Byte() % 24;
    const auto b8 = static_cast<unsigned char>(in.Byte());
    const int pattern = static_cast<int>(in.Byte()) - 64;
    std::vector<unsigned char> src(std::size_t{srcBpl} * lines);
    std::vector<unsigned char> dst(kind < 2 ? (srcBpl + 2u) / 3u * lines : std::size_t{dstBpl} * lines);
    in.Fill(src);
    if (kind == 0) Check(ColortoGray(src.data(), dst.data(), 3, srcBpl, dstBpl, lines) == lines);
    if (kind == 1)
        Check(ColortoOneChannelGray(src.data(), dst.data(), 3, srcBpl, dstBpl, lines, b8) == lines);
    if (kind == 2) GrayToLineart(src.data(), dst.data(), dstBpl, b8, srcBpl, lines);
    if (kind == 3) TransferGrayToHalftone(src.data(), dst.data(), dstBpl, 128, srcBpl, lines, pattern);
}

void ResetAll(Input & /*in*/)
{
    ScaleProcess(nullptr, 0, 0, nullptr, 0, 0.0, 0.0, 0);
    ScaleProcessEx(nullptr, 0, 0, nullptr, 0, 0.0, 0.0, 0);
    for (const FilterFn f : kFilters) f(nullptr, 0, 0, 0, 0, nullptr, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    static void (*const kOps[8])(Input &) = {Scale,  Scale,   Scale,    Filter,
                                             Filter, Convert, ResetAll, ResetAll};
    for (int op = 0; op < 16 && !in.Empty(); ++op) kOps[in.Byte() % 8](in);
    ResetAll(in);
    return 0;
}
