// Whole pages through the virtual scanner: a 600 dpi A4 colour page and a
// 200 dpi A4 gray page, from StartScan to StopScan.
//
// Reported per page:
//   device_MBps      device data (what the scanner sends) per second of scan
//   scan_vs_raw      scan time / time of READing the same bytes with nothing
//                    else going on (1.0: the ring and the processing cost no
//                    time beyond the transfer); unthrottled pages only
//   scan_vs_memcpy   scan time / memcpy of the same bytes, in the same run
//   delivery_cpu_ms  processor time of the caller's thread (ReadScan: taking
//                    blocks, cropping, rescaling, converting, copying)
//   driver_cpu_ms    processor time of the whole driver: the caller's thread
//                    and the read-ahead thread with its USB transfers (the
//                    process's time less that of the virtual scanner's threads)
// The throttled variants run the scanner at 40 MB/s, as over USB 2.0.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "bench/bench_page.h"
#include "bench/virtual_bed.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "scan/scan.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- Processor time ---------------------------------------------------------------

double Seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

double ProcessCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double ThreadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Processor time of each thread alive now (seconds), from the scheduler.
std::map<pid_t, double> TaskCpu()
{
    std::map<pid_t, double> tasks;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(entry.path() / "schedstat");
        unsigned long long ns = 0;
        if (in >> ns)
            tasks[static_cast<pid_t>(std::stol(entry.path().filename().string()))] =
                static_cast<double>(ns) * 1e-9;
    }
    return tasks;
}

// Time of the threads that lived through the page other than the caller's:
// the virtual scanner's (the read-ahead thread starts and ends within it).
double OtherThreadsCpu(const std::map<pid_t, double> &before, const std::map<pid_t, double> &after)
{
    const pid_t self = static_cast<pid_t>(gettid());
    double sum = 0;
    for (const auto &[tid, t] : after) {
        const auto was = before.find(tid);
        if (tid != self && was != before.end()) sum += t - was->second;
    }
    return sum;
}

// ---- Pages --------------------------------------------------------------------------

struct Page {
    const char *name;
    bench::PageRequest request;
};

// A4 (8.27 x 11.69 inch) from the upper-left corner.
constexpr Page kColour600{"colour 600 dpi A4", {4, 24, 600, 4960, 7015}};
constexpr Page kGray200{"gray 200 dpi A4", {2, 8, 200, 1653, 2338}};

bool SetPage(const Page &page) { return bench::SetPageParameters(page.request); }

uint64_t CallerBytes(const Page &page)
{
    return uint64_t{page.request.pixels} * (page.request.bitsPerPixel / 8u) * page.request.lines;
}

uint64_t DeviceBytes()
{
    return uint64_t{NewParam.BitPerPixel / 8u} * NewParam.PixelNum *
           (uint32_t{NewParam.HiWordLineNum} * 65536u + NewParam.LineNum);
}

// READs the page of the current window, in READs of MaxSizeRead bytes, with
// nothing else going on. Seconds.
double RawTransfer(std::vector<uint8_t> &buffer)
{
    const uint64_t total = DeviceBytes();
    const uint32_t piece = MaxSizeRead != 0 ? MaxSizeRead : 524288u;
    buffer.resize(piece);
    if (!ReserveUnit() || !Scan(1, 0)) return 0;
    const auto start = Clock::now();
    for (uint64_t done = 0; done < total;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(piece, total - done));
        if (!Read(buffer.data(), n, kReadTypeImage, kReadQualifier)) return 0;
        done += n;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ReleaseUnit(kReleaseNormal);
    return seconds;
}

double MemcpyTime(uint64_t bytes)
{
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    const auto start = Clock::now();
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_Page(benchmark::State &state, Page page, uint64_t throttle)
{
    bench::VirtualBed &bed = bench::TheBed();
    if (!bed.up()) {
        state.SkipWithError("no virtual scanner");
        return;
    }
    bed.scanner().setTranscriptDataLimit(0);
    bed.scanner().setThrottle(throttle);
    if (!SetPage(page)) {
        state.SkipWithError("SetScanParameter failed");
        return;
    }
    // After a page the driver's window is that page's no more: every page
    // sets its parameters again before StartScan.
    const uint64_t deviceBytes = DeviceBytes();
    const double memcpySeconds = MemcpyTime(deviceBytes);
    std::vector<uint8_t> raw;
    double rawSeconds = 0;

    // The caller reads a megabyte at a time.
    std::vector<uint8_t> chunk(1u << 20);
    double wall = 0, delivery = 0, driver = 0;
    for (auto _ : state) {
        bed.scanner().clearTranscript();
        const auto tasksBefore = TaskCpu();
        const double processBefore = ProcessCpu();
        const double threadBefore = ThreadCpu();
        if (!SetPage(page)) {
            state.SkipWithError("SetScanParameter failed");
            break;
        }
        const auto start = Clock::now();

        bool ok = StartScan();
        for (uint64_t left = CallerBytes(page); ok && left > 0;) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), left));
            ok = ReadScan(0, chunk.data(), n);
            left -= n;
        }
        ok = StopScan() && ok;

        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double threadCpu = ThreadCpu() - threadBefore;
        const double processCpu = ProcessCpu() - processBefore;
        const double scannerCpu = OtherThreadsCpu(tasksBefore, TaskCpu());
        if (!ok) {
            state.SkipWithError("the page could not be scanned");
            break;
        }
        state.SetIterationTime(seconds);
        wall += seconds;
        delivery += threadCpu;
        driver += processCpu - scannerCpu;
        // The same bytes READ on their own, after each page (not timed).
        if (throttle == 0) rawSeconds += RawTransfer(raw);
    }
    const double pages = static_cast<double>(state.iterations());
    if (pages == 0) return;
    state.SetLabel(page.name);
    state.counters["page_MB"] = static_cast<double>(deviceBytes) / 1e6;
    state.counters["device_MBps"] = static_cast<double>(deviceBytes) * pages / wall / 1e6;
    if (rawSeconds > 0) state.counters["scan_vs_raw"] = wall / rawSeconds;
    if (memcpySeconds > 0) state.counters["scan_vs_memcpy"] = wall / pages / memcpySeconds;
    state.counters["delivery_cpu_ms"] = delivery / pages * 1e3;
    state.counters["driver_cpu_ms"] = driver / pages * 1e3;
}

BENCHMARK_CAPTURE(BM_Page, colour600_a4, kColour600, 0)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Page, gray200_a4, kGray200, 0)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Page, colour600_a4_40MBps, kColour600, 40000000)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Page, gray200_a4_40MBps, kGray200, 40000000)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
