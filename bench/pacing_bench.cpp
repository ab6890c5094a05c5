// The virtual scanner's throttle against the wire time it stands for: a 600 dpi
// colour A4 page (and a 300 dpi gray one) scanned through the driver with the
// scanner at 40 MB/s, as over USB 2.0.
//
// Reported per page:
//   page_wire_s        the page's image bytes at the throttled rate
//   wire_s             every byte the scan moved (image, calibration, commands,
//                      status) at that rate: what a device at that rate needs
//   scan_vs_wire       scan time (StartScan to StopScan) / wire_s, same run
//                      (1.0: neither the emulation nor the driver adds time)
//   scan_vs_page_wire  scan time / page_wire_s
//   process_cpu_s      processor time of the whole process per page
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "bench/bench_page.h"
#include "bench/virtual_bed.h"
#include "device/scansetup.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kRate = 40'000'000;

using Page = bench::PageRequest;

// A4 (8.27 x 11.69 inch) from the upper-left corner.
constexpr Page kColour600{DOCSCAN_MODE_COLOR, 24, 600, 4960, 7015};
constexpr Page kGray300{DOCSCAN_MODE_GRAY, 8, 300, 2480, 3507};

double ProcessCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

bool SetPage(const Page &page) { return bench::SetPageParameters(page); }

void BM_ThrottledPage(benchmark::State &state, Page page)
{
    bench::VirtualBed &bed = bench::TheBed();
    if (!bed.up()) {
        state.SkipWithError("no virtual scanner");
        return;
    }
    bed.scanner().setTranscriptCapacity(0);
    bed.scanner().setThrottle(kRate);
    const std::uint64_t callerBytes = std::uint64_t{page.pixels} * (page.bitsPerPixel / 8u) * page.lines;
    std::vector<std::uint8_t> chunk(1u << 20);
    double wall = 0, cpu = 0, wire = 0, pageWire = 0;
    for (auto _ : state) {
        // Every page sets its parameters before it starts.
        if (!SetPage(page)) {
            state.SkipWithError("SetScanParameter failed");
            return;
        }
        const double deviceBytes = static_cast<double>(NewParam.BitPerPixel / 8u) * NewParam.PixelNum *
                                   (std::uint32_t{NewParam.HiWordLineNum} * 65536u + NewParam.LineNum);
        const std::uint64_t wireBefore = bed.wireBytes();
        const double cpuBefore = ProcessCpu();
        const auto start = Clock::now();
        bool ok = StartScan();
        for (std::uint64_t left = callerBytes; ok && left > 0;) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk.size(), left));
            ok = ReadScan(0, chunk.data(), n);
            left -= n;
        }
        ok = StopScan() && ok;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ok) {
            state.SkipWithError("the page could not be scanned");
            return;
        }
        state.SetIterationTime(seconds);
        wall += seconds;
        cpu += ProcessCpu() - cpuBefore;
        wire += static_cast<double>(bed.wireBytes() - wireBefore) / static_cast<double>(kRate);
        pageWire += deviceBytes / static_cast<double>(kRate);
    }
    const double pages = static_cast<double>(state.iterations());
    state.counters["page_wire_s"] = pageWire / pages;
    state.counters["wire_s"] = wire / pages;
    state.counters["scan_vs_wire"] = wall / wire;
    state.counters["scan_vs_page_wire"] = wall / pageWire;
    state.counters["process_cpu_s"] = cpu / pages;
}

BENCHMARK_CAPTURE(BM_ThrottledPage, colour600_a4_40MBps, kColour600)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ThrottledPage, gray300_a4_40MBps, kGray300)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
