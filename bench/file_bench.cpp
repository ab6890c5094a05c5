// From the scanner to a finished file: how much longer than the scan alone.
//
//   file_vs_scan   time from StartScan to the file complete and renamed into
//                  place / time of the same scan with the data thrown away,
//                  both measured in the same iteration
//   file_MB        size of the file
//   scan_s, file_s the two times
//
// The paper is photo-like (smooth gradients plus gaussian noise, made here
// at 600 dpi), so that the encoders see what they would on a photograph.
// Pages are A4 at 600 and 300 dpi in colour, gray and line art; the scanner
// runs at 40 MB/s (USB 2.0-like) and unthrottled.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "bench/virtual_bed.h"
#include "sim/image_source.h"
#include "tools/driver.h"
#include "tools/imagefile.h"
#include "tools/outputfile.h"
#include "tools/scanpage.h"
#include "tools/scanrequest.h"

namespace {

using Clock = std::chrono::steady_clock;
using docscan_cli::ImageFormat;
using docscan_cli::ScanModeChoice;

constexpr unsigned kPaperDpi = 600;
constexpr uint64_t kUsb2 = 40000000; // bytes per second

std::string Scratch(const std::string &name)
{
    return "/tmp/docscan_file_bench_" + std::to_string(getpid()) + "_" + name;
}

// Gradients across and down, a slow wave, and gaussian noise (sigma 2).
bool MakePhotoPaper(const std::string &path)
{
    const docscan_cli::ImageInfo info{4960, 7016, docscan_cli::PixelKind::Rgb, kPaperDpi};
    std::vector<uint8_t> rgb(static_cast<size_t>(info.width) * info.height * 3);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto uniform = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (uint32_t y = 0; y < info.height; ++y) {
        for (uint32_t x = 0; x < info.width; ++x) {
            const double fx = x / double(info.width), fy = y / double(info.height);
            const double base[3] = {40 + 170 * fx, 60 + 150 * fy, 90 + 100 * std::sin(6.0 * (fx + fy))};
            for (int c = 0; c < 3; ++c) {
                // Sum of four uniforms: close enough to a gaussian, sigma 2.
                const double noise = (uniform() + uniform() + uniform() + uniform() - 2.0) * 2.0 * 1.732;
                const double v = std::round(base[c] + noise);
                rgb[(size_t(y) * info.width + x) * 3 + c] = static_cast<uint8_t>(v < 0     ? 0
                                                                                 : v > 255 ? 255
                                                                                           : v);
            }
        }
    }
    std::string error;
    return docscan_cli::WriteImageFile(ImageFormat::Png, path, info, rgb.data(), &error);
}

// The virtual scanner with the photo on its glass, the driver's functions for
// the front end's read loop and the scanner's abilities; set up once.
class PhotoBed {
public:
    PhotoBed()
    {
        if (!bed_.up()) return;
        const std::string paper = Scratch("paper.png");
        std::string error = "cannot write " + paper;
        auto source = MakePhotoPaper(paper) ? sim::loadPngPaper(paper, kPaperDpi, &error) : nullptr;
        std::remove(paper.c_str());
        if (source == nullptr) {
            std::fprintf(stderr, "paper: %s\n", error.c_str());
            return;
        }
        bed_.scanner().setImageSource(source);
        bed_.scanner().setTranscriptDataLimit(0);
#define DOCSCAN_BENCH_BIND(name) driver_.name = &::name;
        DOCSCAN_CLI_FUNCTIONS(DOCSCAN_BENCH_BIND)
#undef DOCSCAN_BENCH_BIND
        up_ = GetScannerAbilityEx(&ability_);
    }
    bool up() const { return up_; }
    sim::DeviceModel &scanner() { return bed_.scanner(); }
    docscan_cli::Driver &driver() { return driver_; }
    const SCANNERABILITYEX &ability() const { return ability_; }

private:
    bench::VirtualBed &bed_ = bench::TheBed();
    docscan_cli::Driver driver_;
    SCANNERABILITYEX ability_{};
    bool up_ = false;
};

PhotoBed &ThePhotoBed()
{
    static PhotoBed bed;
    return bed;
}

void BM_FileVsScan(benchmark::State &state, ImageFormat format, ScanModeChoice mode, int dpi,
                   uint64_t throttle)
{
    PhotoBed &bed = ThePhotoBed();
    if (!bed.up()) {
        state.SkipWithError("no virtual scanner");
        return;
    }
    bed.scanner().setThrottle(throttle);
    docscan_cli::ScanRequest request;
    request.mode = mode;
    request.resolution = dpi;
    docscan_cli::ScanPlan plan;
    std::string error;
    if (!docscan_cli::PlanScan(request, bed.ability(), &plan, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::string path = Scratch(std::string("page.") + docscan_cli::ImageFormatName(format));
    double scanSeconds = 0, fileSeconds = 0;
    uintmax_t fileBytes = 0;
    for (auto _ : state) {
        // The scan alone, the data thrown away.
        auto start = Clock::now();
        docscan_cli::PageOutcome outcome = docscan_cli::ScanPage(
            bed.driver(), plan.parameter, plan.image, plan.bytesPerLine, nullptr, nullptr, nullptr);
        const double scan = std::chrono::duration<double>(Clock::now() - start).count();
        // The same scan into a file, as docscan scan writes it.
        start = Clock::now();
        docscan_cli::OutputFile out;
        docscan_cli::EncodeOptions options;
        options.spoolFolder = "/tmp";
        auto writer = docscan_cli::MakeQueuedWriter(docscan_cli::MakeImageWriter(format, options), 64u << 20);
        bool ok =
            outcome.ok() && out.Open(path, &error) && writer->Open(out.file(), path, plan.image, &error);
        if (ok) {
            outcome = docscan_cli::ScanPage(bed.driver(), plan.parameter, plan.image, plan.bytesPerLine,
                                            writer.get(), nullptr, nullptr);
            ok = outcome.ok() && writer->Finish(&error) && out.Commit(&error);
        }
        const double file = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ok) {
            state.SkipWithError(("the page could not be written: " + error + outcome.writeError).c_str());
            break;
        }
        state.SetIterationTime(file);
        scanSeconds += scan;
        fileSeconds += file;
        if (FILE *f = std::fopen(path.c_str(), "rb")) {
            std::fseek(f, 0, SEEK_END);
            fileBytes = static_cast<uintmax_t>(std::ftell(f));
            std::fclose(f);
        }
        std::remove(path.c_str());
    }
    const double n = static_cast<double>(state.iterations());
    if (n == 0 || scanSeconds == 0) return;
    state.counters["file_vs_scan"] = fileSeconds / scanSeconds;
    state.counters["scan_s"] = scanSeconds / n;
    state.counters["file_s"] = fileSeconds / n;
    state.counters["file_MB"] = static_cast<double>(fileBytes) / 1e6;
}

void Register(uint64_t throttle, const char *suffix)
{
    const struct {
        ImageFormat format;
        const char *name;
    } formats[] = {{ImageFormat::Pnm, "pnm"},
                   {ImageFormat::Png, "png"},
                   {ImageFormat::Tiff, "tiff"},
                   {ImageFormat::Jpeg, "jpeg"},
                   {ImageFormat::Pdf, "pdf"}};
    const struct {
        ScanModeChoice mode;
        const char *name;
    } modes[] = {{ScanModeChoice::Color, "colour"},
                 {ScanModeChoice::Gray, "gray"},
                 {ScanModeChoice::Lineart, "lineart"}};
    for (int dpi : {600, 300}) {
        for (const auto &mode : modes) {
            for (const auto &format : formats) {
                if (format.format == ImageFormat::Jpeg && mode.mode == ScanModeChoice::Lineart) continue;
                const std::string name = std::string("file_vs_scan/") + format.name + "/" + mode.name + "/" +
                                         std::to_string(dpi) + suffix;
                benchmark::RegisterBenchmark(name.c_str(), BM_FileVsScan, format.format, mode.mode, dpi,
                                             throttle)
                    ->UseManualTime()
                    ->Iterations(dpi == 600 ? 2 : 3) // the machine's other work makes single runs noisy
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    Register(kUsb2, "/40MBps");
    Register(0, "/unthrottled");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
