// Throughput of the image routines on device blocks: 600 dpi A4 width (5100
// pixels, 16 lines) and 300 dpi (2550 pixels, 48 lines). Every benchmark
// reports MB/s of input and "x_memcpy", its speed relative to memcpy of the
// same number of bytes measured in the same run (BM_Memcpy shows the same
// copies as benchmarks of their own).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "imaging/convert.h"
#include "imaging/filter.h"
#include "imaging/scale.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Geometry {
    unsigned pixels;
    unsigned lines;
};
constexpr Geometry kA4At600 = {5100, 16};
constexpr Geometry kA4At300 = {2550, 48};

Geometry FromArgs(const benchmark::State &state) { return state.range(0) == 600 ? kA4At600 : kA4At300; }

// A page-like block: paper with a little noise, gray strokes, a gray ramp,
// and colour patches (reddish among them), so that every branch of the
// filters and the conversions is taken.
Bytes Page(unsigned pixels, unsigned lines)
{
    std::mt19937 rng(42);
    Bytes b(std::size_t{pixels} * lines * 3);
    for (unsigned y = 0; y < lines; ++y) {
        for (unsigned x = 0; x < pixels; ++x) {
            unsigned char *p = &b[(std::size_t{y} * pixels + x) * 3];
            const unsigned region = x * 5 / pixels;
            const auto noise = static_cast<int>(rng() % 7) - 3;
            auto clamp = [](int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); };
            if (region == 0 || region == 3) { // paper with strokes
                const bool stroke = (x / 3 + y) % 11 == 0;
                const int v = stroke ? 30 : 245;
                p[0] = clamp(v + noise);
                p[1] = clamp(v + noise / 2);
                p[2] = clamp(v);
            } else if (region == 1) { // gray ramp
                p[0] = p[1] = p[2] = static_cast<unsigned char>(x * 255 / pixels);
            } else { // colour patches
                const unsigned patch = (x / 64 + y / 8) % 4;
                const int base[4][3] = {{200, 50, 40}, {170, 100, 170}, {40, 160, 90}, {90, 90, 200}};
                for (int c = 0; c < 3; ++c) p[c] = clamp(base[patch][c] + noise * (c + 1));
            }
        }
    }
    return b;
}

Bytes Gray(const Bytes &colour)
{
    Bytes g(colour.size() / 3);
    for (std::size_t i = 0; i < g.size(); ++i)
        g[i] =
            static_cast<unsigned char>((3 * colour[3 * i] + 6 * colour[3 * i + 1] + colour[3 * i + 2]) / 10);
    return g;
}

// CPU time of this thread: the machine may be shared, and the rates the
// library prints are per CPU second too.
double ThreadSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// memcpy speed for a byte count, measured once per size in this run: the best
// of 40 windows of 5 ms.
double MemcpyBytesPerSecond(std::size_t bytes)
{
    static std::map<std::size_t, double> measured;
    auto it = measured.find(bytes);
    if (it != measured.end()) return it->second;
    Bytes from(bytes, 1), to(bytes);
    double best = 0.0;
    for (int window = 0; window < 40; ++window) {
        std::size_t copies = 0;
        const double start = ThreadSeconds();
        double now = start;
        do {
            for (int i = 0; i < 8; ++i) {
                std::memcpy(to.data(), from.data(), bytes);
                benchmark::ClobberMemory();
            }
            copies += 8;
            now = ThreadSeconds();
        } while (now - start < 0.005);
        best = std::max(best, static_cast<double>(copies * bytes) / (now - start));
    }
    measured[bytes] = best;
    return best;
}

// Times the benchmark loop itself, for the plain (not per-second) counters.
class LoopTimer {
public:
    LoopTimer() : start_(ThreadSeconds()) {}
    double Seconds() const { return ThreadSeconds() - start_; }

private:
    double start_;
};

void Report(benchmark::State &state, std::size_t inputBytes, const LoopTimer &timer)
{
    const double seconds = timer.Seconds();
    const auto total = static_cast<double>(state.iterations()) * static_cast<double>(inputBytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(total));
    const double rate = total / seconds;
    state.counters["MBps"] = rate / 1e6;
    state.counters["x_memcpy"] = rate / MemcpyBytesPerSecond(inputBytes);
}

// ---- memcpy of the block sizes ----------------------------------------------

void BM_Memcpy(benchmark::State &state)
{
    const auto bytes = static_cast<std::size_t>(state.range(0));
    Bytes from(bytes, 1), to(bytes);
    MemcpyBytesPerSecond(bytes);
    const LoopTimer timer;
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    Report(state, bytes, timer);
}
BENCHMARK(BM_Memcpy)->Arg(5100 * 16)->Arg(5100 * 16 * 3)->Arg(2550 * 48)->Arg(2550 * 48 * 3);

// ---- conversions -----------------------------------------------------------------

void BM_ColortoGray(benchmark::State &state)
{
    const Geometry g = FromArgs(state);
    const Bytes src = Page(g.pixels, g.lines);
    Bytes dst(std::size_t{g.pixels} * g.lines);
    MemcpyBytesPerSecond(src.size());
    const LoopTimer timer;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ColortoGray(src.data(), dst.data(), 3, g.pixels * 3, g.pixels, g.lines));
        benchmark::ClobberMemory();
    }
    Report(state, src.size(), timer);
}
BENCHMARK(BM_ColortoGray)->Arg(600)->Arg(300);

void BM_ColortoOneChannelGray(benchmark::State &state)
{
    const Geometry g = FromArgs(state);
    const Bytes src = Page(g.pixels, g.lines);
    Bytes dst(std::size_t{g.pixels} * g.lines);
    MemcpyBytesPerSecond(src.size());
    const LoopTimer timer;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ColortoOneChannelGray(src.data(), dst.data(), 3, g.pixels * 3, g.pixels, g.lines, 2));
        benchmark::ClobberMemory();
    }
    Report(state, src.size(), timer);
}
BENCHMARK(BM_ColortoOneChannelGray)->Arg(600)->Arg(300);

void BM_GrayToLineart(benchmark::State &state)
{
    const Geometry g = FromArgs(state);
    const Bytes src = Gray(Page(g.pixels, g.lines));
    Bytes dst(std::size_t{g.pixels / 8} * g.lines);
    MemcpyBytesPerSecond(src.size());
    const LoopTimer timer;
    for (auto _ : state) {
        GrayToLineart(src.data(), dst.data(), g.pixels / 8, 128, g.pixels, g.lines);
        benchmark::ClobberMemory();
    }
    Report(state, src.size(), timer);
}
BENCHMARK(BM_GrayToLineart)->Arg(600)->Arg(300);

void BM_TransferGrayToHalftone(benchmark::State &state)
{
    const Geometry g = FromArgs(state);
    const Bytes src = Gray(Page(g.pixels, g.lines));
    Bytes dst(std::size_t{g.pixels / 8} * g.lines);
    MemcpyBytesPerSecond(src.size());
    const LoopTimer timer;
    for (auto _ : state) {
        TransferGrayToHalftone(src.data(), dst.data(), g.pixels / 8, 128, g.pixels, g.lines, 1);
        benchmark::ClobberMemory();
    }
    Report(state, src.size(), timer);
}
BENCHMARK(BM_TransferGrayToHalftone)->Arg(600)->Arg(300);

// ---- scaling ------------------------------------------------------------------------

// Arguments: device dpi (600 or 300), caller dpi, bits per pixel, routine (0
// ScaleProcess, 1 ScaleProcessEx). Blocks of one scan, state carried.
void BM_Scale(benchmark::State &state)
{
    const Geometry g = FromArgs(state);
    const double ratio = static_cast<double>(state.range(1)) / static_cast<double>(state.range(0));
    const auto bpp = static_cast<unsigned short>(state.range(2));
    const bool ex = state.range(3) == 1;
    const unsigned bpb = bpp / 8u;
    Bytes src = Page(g.pixels, g.lines);
    if (bpb == 1) src = Gray(src);
    const auto dstPixels = static_cast<unsigned>(g.pixels * ratio);
    Bytes dst((static_cast<std::size_t>(g.lines * ratio) + 2) * dstPixels * bpb);
    auto f = ex ? ScaleProcessEx : ScaleProcess;
    f(nullptr, 0, 0, nullptr, 0, 0.0, 0.0, 0);
    MemcpyBytesPerSecond(src.size());
    const LoopTimer timer;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(src.data(), g.pixels, g.lines, dst.data(), dstPixels, ratio, ratio, bpp));
        benchmark::ClobberMemory();
    }
    f(nullptr, 0, 0, nullptr, 0, 0.0, 0.0, 0);
    Report(state, src.size(), timer);
}
BENCHMARK(BM_Scale)
    ->ArgNames({"dev", "dpi", "bpp", "ex"})
    // bilinear
    ->Args({300, 200, 24, 0})
    ->Args({600, 400, 24, 0})
    ->Args({300, 400, 24, 0})
    ->Args({300, 150, 24, 0})
    ->Args({300, 200, 8, 0})
    ->Args({600, 200, 8, 0})
    ->Args({300, 300, 24, 1})
    // area averaging
    ->Args({300, 100, 24, 0})
    ->Args({600, 100, 24, 0})
    ->Args({600, 150, 24, 0})
    ->Args({300, 200, 24, 1})
    ->Args({600, 400, 24, 1});

// ---- filters ----------------------------------------------------------------------

template <int Which>
void BM_Filter(benchmark::State &state)
{
    static const char kKernels[4][9] = {{1, 1, 1, 1, 1, 1, 1, 1, 1},
                                        {1, 1, 1, 1, 16, 1, 1, 1, 1},
                                        {0, -1, 0, 0, 7, 0, 0, -1, 0},
                                        {0, 0, 0, 0, 1, 0, 0, 0, 0}};
    using Fn = unsigned short (*)(unsigned char *, unsigned short, unsigned short, unsigned short,
                                  unsigned char, const char *, short);
    static const Fn kFilters[4] = {ColorPack_Filter3x3, Denoise_Filter_GraySemiGrayPixels_3x3,
                                   Filter_SharpenGrayPixels_3x3, Filter_ShadowHighlight_3x3};
    const Geometry g = FromArgs(state);
    const Bytes page = Page(g.pixels, g.lines);
    Bytes block(page.size());
    const Fn f = kFilters[Which];
    f(nullptr, 0, 0, 0, 0, nullptr, 0);
    MemcpyBytesPerSecond(page.size());
    const LoopTimer timer;
    for (auto _ : state) {
        // in place: a fresh copy of the block each time (part of the time measured)
        std::memcpy(block.data(), page.data(), page.size());
        benchmark::DoNotOptimize(f(block.data(), static_cast<unsigned short>(g.pixels), 0,
                                   static_cast<unsigned short>(g.lines), 24, kKernels[Which], 3));
        benchmark::ClobberMemory();
    }
    f(nullptr, 0, 0, 0, 0, nullptr, 0);
    Report(state, page.size(), timer);
}
BENCHMARK_TEMPLATE(BM_Filter, 0)->Name("BM_ColorPack_Filter3x3")->Arg(600)->Arg(300);
BENCHMARK_TEMPLATE(BM_Filter, 1)->Name("BM_Denoise_Filter_GraySemiGrayPixels_3x3")->Arg(600)->Arg(300);
BENCHMARK_TEMPLATE(BM_Filter, 2)->Name("BM_Filter_SharpenGrayPixels_3x3")->Arg(600)->Arg(300);
BENCHMARK_TEMPLATE(BM_Filter, 3)->Name("BM_Filter_ShadowHighlight_3x3")->Arg(600)->Arg(300);

} // namespace

BENCHMARK_MAIN();
