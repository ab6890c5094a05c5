// Soak: 200 scans of mixed modes and resolutions and 50 pages cancelled in the
// middle, through the virtual scanner, one run.
//
// Reported (not a pass/fail test; read the numbers):
//   rss_kb_start/end         resident memory after a warm-up round and at the end
//   fds_start/end            open descriptors at the same two moments
//   threads_start/end        threads of the process at the same two moments
//   repeats_differing        repeated scans of one request whose bytes differ
//                            from its first scan (0: bit-identical repeats)
//   failures                 scans or cancels that did not end as they should
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "bench/bench_page.h"
#include "sim/usb_glue.h"
#include "transport/usbio_linux_10.h"

namespace {

using Request = bench::PageRequest;

// Halftone requests take pattern 1.
bool Set(const Request &r) { return bench::SetPageParameters(r, 1); }

uint32_t CallerBytes(const Request &r) { return (uint32_t{r.pixels} * r.bitsPerPixel + 7) / 8 * r.lines; }

// Two inches by one of every mode at every resolution.
std::vector<Request> Mix()
{
    const struct {
        uint8_t mode, bits;
    } modes[] = {{0, 1}, {1, 1}, {2, 8}, {4, 24}};
    std::vector<Request> mix;
    for (uint16_t dpi : {uint16_t{75}, uint16_t{100}, uint16_t{150}, uint16_t{300}, uint16_t{600}})
        for (const auto &m : modes)
            mix.push_back({m.mode, m.bits, dpi, static_cast<uint16_t>(dpi * 2 / 32 * 32), dpi});
    return mix;
}

long StatusKb(const char *key)
{
    std::ifstream in("/proc/self/status");
    std::string word;
    while (in >> word) {
        if (word == key) {
            long kb = 0;
            in >> kb;
            return kb;
        }
    }
    return -1;
}

double Entries(const char *folder)
{
    double n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

void BM_Soak(benchmark::State &state)
{
    sim::VirtualScannerBus bus;
    std::string error;
    if (!bus.start(&error) || !InitializeDriver() || !InitializeScanner()) {
        state.SkipWithError(("no virtual scanner: " + error).c_str());
        return;
    }
    bus.scanner().setTranscriptDataLimit(0);
    const std::vector<Request> mix = Mix();
    std::map<size_t, std::vector<uint8_t>> first;
    double differing = 0, failures = 0;
    std::vector<uint8_t> image;

    auto scan = [&](size_t which) {
        const Request &r = mix[which];
        bus.scanner().clearTranscript();
        image.assign(CallerBytes(r), 0);
        const bool ok =
            Set(r) && StartScan() && ReadScan(0, image.data(), static_cast<uint32_t>(image.size()));
        if (!StopScan() || !ok) ++failures;
        const auto [at, inserted] = first.emplace(which, image);
        if (!inserted && at->second != image) ++differing;
    };
    const Request tall{4, 24, 300, 1024, 2000};
    auto cancel = [&] {
        bus.scanner().clearTranscript();
        image.assign(CallerBytes(tall) / 2 + 1234, 0);
        const bool ok =
            Set(tall) && StartScan() && ReadScan(0, image.data(), static_cast<uint32_t>(image.size()));
        DoCancel();
        const bool stopped = StopScan();
        uint64_t status = 0;
        GetScannerStatusEx(nullptr, nullptr, nullptr, &status);
        if (stopped || status != DOCSCAN_STATUS_USER_CANCEL || !ok) ++failures;
    };

    for (auto _ : state) {
        for (size_t i = 0; i < mix.size(); ++i) scan(i); // warm-up: allocator pools, libusb
        cancel();
        const double rssStart = static_cast<double>(StatusKb("VmRSS:"));
        const double fdsStart = Entries("/proc/self/fd"), threadsStart = Entries("/proc/self/task");
        for (int n = 0; n < 200; ++n) {
            scan(static_cast<size_t>(n) % mix.size());
            if (n % 4 == 3) cancel();
        }
        state.counters["rss_kb_start"] = rssStart;
        state.counters["rss_kb_end"] = static_cast<double>(StatusKb("VmRSS:"));
        state.counters["fds_start"] = fdsStart;
        state.counters["fds_end"] = Entries("/proc/self/fd");
        state.counters["threads_start"] = threadsStart;
        state.counters["threads_end"] = Entries("/proc/self/task");
    }
    state.counters["repeats_differing"] = differing;
    state.counters["failures"] = failures;
    TerminateDriver();
    bus.stop();
}

BENCHMARK(BM_Soak)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
