// Scan start, read-ahead thread and stop against the virtual scanner: the
// commands on the wire, the block geometry, the ring running full and
// draining, refusals, cancel, stop and unplug in the middle of a page, the
// raw dump and trace lines, and many scans in a row.
//
// Labelled for ThreadSanitizer: DOCSCAN_THREADED_TESTS.
// The debug output goes to a directory of the test's own (DebugFilePath is
// set after the driver is up), never to /tmp/DrvLog.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/scanner.h"
#include "device/scansetup.h"
#include "scan/scan.h"
#include "sim/device_model.h"
#include "testbed/testbed.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint8_t kModeColour = 4;
constexpr uint8_t kModeGray = 2;

// A colour (or gray) request from the left edge, `pixels` pixels and `lines`
// lines at xres.
tagScanParameter Request(uint16_t xres, uint16_t pixels, uint16_t lines, uint8_t mode = kModeColour)
{
    tagScanParameter p{};
    p.Width = static_cast<uint16_t>(pixels * 300u / xres);
    p.Length = static_cast<uint16_t>(lines * 300u / xres);
    p.PixelNum = pixels;
    p.LineNum = lines;
    p.ScanMode = mode;
    p.BitPerPixel = mode == kModeGray ? 8 : 24;
    p.XRes = xres;
    p.YRes = xres;
    return p;
}

uint32_t CallerBytes(const tagScanParameter &p)
{
    const uint32_t perPixel = p.BitPerPixel == 24 ? 3 : 1;
    return uint32_t{p.PixelNum} * perPixel * p.LineNum;
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 5000ms)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

size_t ThreadCount()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// A scanner `width` pixels wide at 300 dpi whose image READs are at most
// `maxRead` bytes. Narrow scanners keep the ring small and the tests fast.
class ScanTest : public testbed::ScannerTest {
protected:
    uint16_t width_ = 256;
    uint16_t maxRead_ = 4096;

    sim::BusOptions busOptions() const override
    {
        sim::BusOptions options;
        options.devices[0].profile.maxWidth300 = width_;
        options.devices[0].profile.maxReadLength = maxRead_;
        return options;
    }

    void SetUp() override
    {
        testbed::ScannerTest::SetUp();
        ASSERT_TRUE(Initialize());
        ASSERT_TRUE(InitializeScanner());
    }

    void TearDown() override
    {
        StopScan();
        TerminateDriver();
        testbed::ScannerTest::TearDown();
    }

    bool Set(tagScanParameter p) { return SetScanParameter(&p); }

    size_t CommandCount(uint8_t opcode) { return scanner().transactionsWithOpcode(opcode).size(); }

    // Reads the caller's whole image in one call.
    std::vector<uint8_t> ReadAll(const tagScanParameter &p, bool *ok = nullptr)
    {
        std::vector<uint8_t> image(CallerBytes(p));
        const bool read = ReadScan(0, image.data(), static_cast<uint32_t>(image.size()));
        if (ok != nullptr)
            *ok = read;
        return image;
    }

    // The page the scanner delivers for the current window.
    std::vector<uint8_t> DevicePage()
    {
        const auto window = scanner().window();
        if (!window)
            return {};
        return sim::renderDeviceImage(*scanner().imageSource(), window->geometry);
    }

    // Makes the driver write its debug output into dir at the highest level.
    void LogInto(const fs::path &dir)
    {
        fs::create_directories(dir);
        const std::string path = dir.string() + "/";
        std::snprintf(DebugFilePath, sizeof DebugFilePath, "%s", path.c_str());
        gDebugLevel = 7;
    }
};

bool AllBlocksFull()
{
    for (const auto &counter : bLineLeftOfBlock) {
        if (counter.load() == 0)
            return false;
    }
    return true;
}

// ---- What goes on the wire --------------------------------------------------------

TEST_F(ScanTest, StartReservesScansAndReadsThePageInPiecesOfAtMostMaxSizeRead)
{
    const auto p = Request(300, 256, 100);
    ASSERT_TRUE(Set(p));
    scanner().clearTranscript();
    ASSERT_TRUE(StartScan());

    // Block geometry: 256 pixels of 24 bits, 48 lines a block at 300 dpi;
    // the device scans 100 lines rounded down to 4, plus 12.
    EXPECT_EQ(dwBytesperline, 768u);
    EXPECT_EQ(Bufferline, 48u);
    EXPECT_EQ(Buffersize, 768u * 48u);
    EXPECT_EQ(Imagesize, 768u * 112u);

    bool ok = false;
    const auto image = ReadAll(p, &ok);
    ASSERT_TRUE(ok) << gErrCode;
    ASSERT_TRUE(StopScan());

    const auto t = transcript();
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[0].opcode(), sim::opcode::kReserveUnit);
    EXPECT_EQ(t[1].opcode(), sim::opcode::kScan);
    EXPECT_EQ(t[1].command.at(5), 0x80);
    uint64_t total = 0;
    uint64_t inBlock = 0;
    std::vector<uint64_t> blocks;
    for (const auto &tr : t) {
        if (tr.opcode() != sim::opcode::kRead)
            continue;
        EXPECT_EQ(tr.dataType(), 0x00);
        EXPECT_EQ(tr.qualifier(), 0x0A0D);
        EXPECT_LE(tr.transferLength(), 4096u);
        EXPECT_EQ(tr.status, sim::kStatusGood);
        total += tr.transferLength();
        inBlock += tr.transferLength();
        if (inBlock == Buffersize || total == Imagesize) {
            blocks.push_back(inBlock);
            inBlock = 0;
        }
    }
    EXPECT_EQ(total, 768u * 112u);
    // Two full blocks and the rest of the page (16 lines).
    EXPECT_EQ(blocks, (std::vector<uint64_t>{768u * 48u, 768u * 48u, 768u * 16u}));
    EXPECT_EQ(t.back().opcode(), sim::opcode::kReleaseUnit);
    EXPECT_EQ(scanner().lastReleaseCode(), 0);

    // The delivered image is the page's first 100 lines.
    const auto page = DevicePage();
    ASSERT_GE(page.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), page.begin()));
}

}  // namespace
