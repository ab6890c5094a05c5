// Scan start, read-ahead thread and stop against the virtual scanner: the
// commands on the wire, the block geometry, the ring running full and
// draining, refusals, cancel, stop and unplug in the middle of a page, the
// raw dump and trace lines, and many scans in a row.
//
// Labelled for ThreadSanitizer: DOCSCAN_THREADED_TESTS. The debug output goes
// to a directory of the test's own, never to /tmp/DrvLog.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/scanner.h"
#include "device/scansetup.h"
#include "scan/scan.h"
#include "sim/device_model.h"
#include "support/debug.h"
#include "testbed/driver_test.h"

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
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

size_t EntryCount(const char *folder)
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(folder)) ++n;
    return n;
}

size_t ThreadCount() { return EntryCount("/proc/self/task"); }
size_t DescriptorCount() { return EntryCount("/proc/self/fd"); }

// A scanner 256 pixels wide at 300 dpi (a small ring, fast tests) whose image
// READs are at most `maxRead_` bytes.
class ScanTest : public testbed::DriverTest {
protected:
    uint16_t maxRead_ = 16384;

    sim::BusOptions busOptions() const override
    {
        sim::BusOptions options;
        options.devices[0].profile.maxWidth300 = 256;
        options.devices[0].profile.maxReadLength = maxRead_;
        return options;
    }

    bool Set(tagScanParameter p) { return SetScanParameter(&p); }

    size_t CommandCount(uint8_t opcode) { return scanner().transactionsWithOpcode(opcode).size(); }

    // Reads the caller's whole image in one call.
    std::vector<uint8_t> ReadAll(const tagScanParameter &p, bool *ok = nullptr)
    {
        std::vector<uint8_t> image(CallerBytes(p));
        const bool read = ReadScan(0, image.data(), static_cast<uint32_t>(image.size()));
        if (ok != nullptr) *ok = read;
        return image;
    }

    // The first `count` bytes of `image` (all by default) are the start of the
    // page the scanner delivers for the current window.
    bool StartsThePage(const std::vector<uint8_t> &image, size_t count = SIZE_MAX)
    {
        const auto page = devicePage();
        count = std::min(count, image.size());
        return page.size() >= count &&
               std::equal(image.begin(), image.begin() + static_cast<long>(count), page.begin());
    }

    // Reads the caller's whole image and expects the page's first bytes.
    void ExpectThePage(const tagScanParameter &p)
    {
        bool ok = false;
        const auto image = ReadAll(p, &ok);
        ASSERT_TRUE(ok) << gErrCode;
        EXPECT_TRUE(StartsThePage(image));
    }
};

bool AllBlocksFull()
{
    for (const auto &counter : Session().linesLeft) {
        if (counter.load() == 0) return false;
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
    EXPECT_EQ(Session().imageSize, 768u * 112u) << "100 lines rounded down to 4, plus 12";
    // A second start is refused and leaves the running scan alone.
    const unsigned long thread = threadScanImage;
    EXPECT_FALSE(StartScan());
    EXPECT_EQ(gErrCode, 2000u);
    EXPECT_EQ(threadScanImage, thread);
    ExpectThePage(p);
    ASSERT_TRUE(StopScan());

    const auto t = transcript();
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[0].opcode(), sim::opcode::kReserveUnit);
    EXPECT_EQ(t[1].opcode(), sim::opcode::kScan);
    EXPECT_EQ(t[1].command.at(5), 0x80);
    EXPECT_EQ(CommandCount(sim::opcode::kReserveUnit), 1u);
    EXPECT_EQ(CommandCount(sim::opcode::kScan), 1u);
    uint64_t total = 0;
    uint64_t inBlock = 0;
    std::vector<uint64_t> blocks;
    for (const auto &tr : t) {
        if (tr.opcode() != sim::opcode::kRead) continue;
        EXPECT_EQ(tr.dataType(), 0x00);
        EXPECT_EQ(tr.qualifier(), 0x0A0D);
        EXPECT_LE(tr.transferLength(), 16384u);
        EXPECT_EQ(tr.status, sim::kStatusGood);
        total += tr.transferLength();
        inBlock += tr.transferLength();
        if (inBlock == 768u * 48u || total == 768u * 112u) {
            blocks.push_back(inBlock);
            inBlock = 0;
        }
    }
    EXPECT_EQ(total, 768u * 112u);
    // Two full blocks and the rest of the page (16 lines).
    EXPECT_EQ(blocks, (std::vector<uint64_t>{768u * 48u, 768u * 48u, 768u * 16u}));
    EXPECT_EQ(t.back().opcode(), sim::opcode::kReleaseUnit);
    EXPECT_EQ(scanner().lastReleaseCode(), 0);
}

TEST_F(ScanTest, LinesPerBlockFollowTheCallersResolution)
{
    struct Case {
        uint16_t xres;
        uint16_t pixels;
        uint32_t lines;
        uint32_t bytesPerLine;
        uint8_t mode = kModeColour;
    };
    // 256 pixels at 300 dpi are 512 at 600; the caller's width follows its
    // resolution. Gray is scanned as colour.
    for (const Case c : {Case{200, 168, 48, 768}, Case{300, 256, 48, 768}, Case{300, 256, 48, 768, kModeGray},
                         Case{400, 336, 16, 1536}, Case{600, 512, 16, 1536}}) {
        SCOPED_TRACE(testing::Message() << c.xres << " dpi, mode " << int{c.mode});
        ASSERT_TRUE(Set(Request(c.xres, c.pixels, 40, c.mode)));
        ASSERT_TRUE(StartScan()) << gErrCode;
        EXPECT_EQ(Session().linesPerBlock, c.lines);
        EXPECT_EQ(Session().bytesPerLine, c.bytesPerLine);
        EXPECT_EQ(Session().blockSize, c.lines * c.bytesPerLine);
        EXPECT_TRUE(StopScan());
    }
}

// ---- Refusals ---------------------------------------------------------------------

TEST_F(ScanTest, RequestsWhoseBlocksCannotBeDeliveredAreRefusedBeforeAnyCommand)
{
    struct Case {
        const char *what;
        std::function<void()> spoil;
    };
    const Case cases[] = {
        {"caller resolution above 600 (the rescaled block would not fit)",
         [] { gScanSetup.sacdimension.XRes = 601; }},
        {"caller resolution 0", [] { gScanSetup.sacdimension.XRes = 0; }},
        {"block size 0", [] { NewParam.PixelNum = 0; }},
        {"device depth below a byte", [] { NewParam.BitPerPixel = 4; }},
        {"no line count", [] { NewParam.LineNum = 0; }},
        {"area beyond the scanned line", [] { gScanSetup.sacdimension.Left = 200; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Set(Request(300, 256, 40)));
        c.spoil();
        scanner().clearTranscript();
        gErrCode = 0;
        EXPECT_FALSE(StartScan());
        EXPECT_EQ(gErrCode, 2005u);
        EXPECT_TRUE(transcript().empty()) << transcriptText();
        EXPECT_EQ(LoadScanFlag(), 0);
        uint8_t byte = 0;
        EXPECT_FALSE(ReadScan(0, &byte, 1));
        EXPECT_EQ(gErrCode, 157u);
        EXPECT_TRUE(StopScan());
    }
}

TEST_F(ScanTest, AFailedReadEndsThePageAndItsThreadRefusesANewScanUntilStopped)
{
    const auto p = Request(300, 256, 200);
    ASSERT_TRUE(Set(p));
    // The third image READ of the page ends with a medium error.
    scanner().injectCheckCondition({sim::opcode::kRead, 0x00, 3}, sim::makeSense(3, 0, 0));
    ASSERT_TRUE(StartScan());
    ASSERT_TRUE(WaitUntil([] { return LoadScanFlag() == 0; }));
    EXPECT_EQ(gErrCode, 2004u);

    // The thread still runs: no second thread, no second scan on the wire.
    const unsigned long thread = threadScanImage;
    EXPECT_NE(thread, 0u);
    EXPECT_FALSE(StartScan());
    EXPECT_EQ(gErrCode, 2000u);
    EXPECT_EQ(threadScanImage, thread);
    EXPECT_EQ(LoadScanFlag(), 0);
    EXPECT_EQ(CommandCount(sim::opcode::kScan), 1u);

    // Nothing was published: the consumer gives up at once with 157, and the
    // thread made no further READs after the failed one.
    std::this_thread::sleep_for(20ms);
    const auto reads = scanner().transactionsWithOpcode(sim::opcode::kRead);
    EXPECT_EQ(std::count_if(reads.begin(), reads.end(),
                            [](const sim::Transaction &t) { return t.dataType() == 0; }),
              3);
    bool ok = true;
    ReadAll(p, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(gErrCode, 157u);
    EXPECT_TRUE(StopScan());
    EXPECT_EQ(threadScanImage, 0u);

    // The next scan starts afresh.
    scanner().clearFaults();
    ASSERT_TRUE(Set(p));
    ASSERT_TRUE(StartScan());
    ExpectThePage(p);
    EXPECT_TRUE(StopScan());
}

// ---- The ring ---------------------------------------------------------------------

TEST_F(ScanTest, AFullRingHoldsTheThreadAndEveryTakenBlockLetsItGoOn)
{
    // 3112 device lines: 64 full blocks of 48 lines and 40 lines more.
    ASSERT_TRUE(Set(Request(300, 256, 3100)));
    ASSERT_TRUE(StartScan());
    const auto page = devicePage();
    ASSERT_EQ(page.size(), 768u * 3112u);
    const uint32_t block = Session().blockSize;

    ASSERT_TRUE(WaitUntil(AllBlocksFull));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(scanner().imageBytesServed(), 64u * block) << "the thread read into a full ring";

    std::vector<uint8_t> taken(block);
    ASSERT_TRUE(GetOriginalData(taken.data()));
    EXPECT_TRUE(std::equal(taken.begin(), taken.end(), page.begin()));
    ASSERT_TRUE(WaitUntil([&] { return scanner().imageBytesServed() == page.size(); }));
    ASSERT_TRUE(WaitUntil(AllBlocksFull));

    // The rest comes out in order; the last block carries the page's last 40
    // lines, counts 48 and is cleared behind them.
    for (uint32_t b = 1; b < 65; ++b) {
        SCOPED_TRACE(b);
        ASSERT_TRUE(GetOriginalData(taken.data()));
        const size_t from = size_t{b} * block;
        const size_t have = std::min<size_t>(block, page.size() - from);
        EXPECT_TRUE(std::equal(taken.begin(), taken.begin() + static_cast<long>(have),
                               page.begin() + static_cast<long>(from)));
        EXPECT_TRUE(std::all_of(taken.begin() + static_cast<long>(have), taken.end(),
                                [](uint8_t v) { return v == 0; }));
    }
    // All read and all taken: nothing more can come.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(GetOriginalData(taken.data()));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_TRUE(StopScan());
}

// ---- Stop, cancel and unplug in the middle of a page ----------------------------

TEST_F(ScanTest, UnplugInTheMiddleOfAPageEndsDeliveryWith157WithoutHanging)
{
    const auto p = Request(300, 256, 400);
    ASSERT_TRUE(Set(p));
    scanner().unplugAfterImageBytes(768u * 48u * 3u + 1000u);
    ASSERT_TRUE(StartScan());

    const auto before = std::chrono::steady_clock::now();
    bool ok = true;
    const auto image = ReadAll(p, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(gErrCode, 157u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_TRUE(StartsThePage(image, 768u * 48u * 3u)) << "what came before the unplug was delivered";

    StopScan(); // the release cannot reach the scanner any more
    EXPECT_EQ(threadScanImage, 0u);
    EXPECT_EQ(Session().blockBuffer, nullptr);
}

// Front ends stop, cancel, terminate or reset in any order in the middle of a
// page, here while the thread waits for a free block: none of these orders may
// crash (ASan sees the use of freed memory), leave the thread running or keep
// the scanner reserved, and the next scan starts afresh.
TEST_F(ScanTest, StopCancelTerminateOrResetDuringAScanJoinTheThreadAndLaterCallsAreHarmless)
{
    const auto p = Request(300, 256, 3500, kModeGray);
    std::vector<uint8_t> bytes(1000), first;
    const struct {
        const char *name;
        std::function<void()> calls;
    } orders[] = {
        {"stop",
         [&] {
             EXPECT_TRUE(StopScan());
             EXPECT_EQ(threadScanImage, 0u);
             EXPECT_EQ(Session().run.load(), 0);
             EXPECT_EQ(LoadScanFlag(), 0);
             EXPECT_EQ(Session().workBuffer, nullptr);
             EXPECT_EQ(Session().block[0], nullptr);
             EXPECT_EQ(scanner().imageBytesServed(), 65u * 768u * 48u)
                 << "one block taken, the ring full again";
             EXPECT_EQ(gScanSetup.bitTrueGray, 0);
             EXPECT_EQ(Session().cropped, 0);
             EXPECT_EQ(Session().imageStore, 0u);
             EXPECT_FALSE(ReadScan(0, bytes.data(), 1));
             EXPECT_EQ(gErrCode, 157u);
         }},
        {"cancel from another thread, then stop twice",
         [&] {
             std::thread([] { DoCancel(); }).join();
             EXPECT_FALSE(StopScan());
             EXPECT_EQ(gErrCode, 159u);
             EXPECT_EQ(scanner().lastReleaseCode(), 3);
             EXPECT_EQ(bitUserCancel, 0);
             EXPECT_TRUE(StopScan()) << "the cancel is spent: released normally";
         }},
        {"terminate, then read, stop and terminate again",
         [&] {
             EXPECT_TRUE(TerminateDriver());
             EXPECT_FALSE(ReadScan(0, bytes.data(), 1000));
             EXPECT_EQ(gErrCode, 157u);
             StopScan();
             EXPECT_TRUE(TerminateDriver());
         }},
        {"reset, then read",
         [&] {
             EXPECT_TRUE(ResetScanner());
             EXPECT_FALSE(ReadScan(0, bytes.data(), 1000));
         }},
        {"start twice, then terminate twice",
         [&] {
             EXPECT_FALSE(StartScan());
             EXPECT_EQ(gErrCode, 2000u);
             EXPECT_TRUE(TerminateDriver());
             EXPECT_TRUE(TerminateDriver());
         }},
    };
    for (const auto &order : orders) {
        SCOPED_TRACE(order.name);
        ASSERT_TRUE(Initialize());
        ASSERT_TRUE(InitializeScanner());
        const size_t threads = ThreadCount(); // libusb's own included
        ASSERT_TRUE(Set(p));
        ASSERT_TRUE(StartScan());
        EXPECT_EQ(ThreadCount(), threads + 1);
        ASSERT_TRUE(ReadScan(0, bytes.data(), static_cast<uint32_t>(bytes.size())));
        if (first.empty()) first = bytes;
        EXPECT_EQ(bytes, first) << "the page from its first line";
        ASSERT_TRUE(WaitUntil(AllBlocksFull));
        order.calls();
        EXPECT_FALSE(ScanThreadExists());
        ASSERT_TRUE(Initialize());
        EXPECT_EQ(ThreadCount(), threads);
        EXPECT_EQ(Session().blockBuffer, nullptr);
        EXPECT_EQ(scanner().lastReleaseCode(), 0);
        EXPECT_FALSE(scanner().reserved());
    }
}

// ---- Other threads and a scanner that stops answering ------------------------------

// A second thread asks for the capabilities every 2 ms while a page is read:
// its transactions wait for the READs instead of mixing with them on the pipes.
TEST_F(ScanTest, CapabilityCallsFromAnotherThreadDuringAScanNeitherHangNorChangeThePage)
{
    const auto p = Request(300, 256, 2000);
    ASSERT_TRUE(Set(p));
    scanner().setThrottle(3'000'000); // about half a second for the page
    ASSERT_TRUE(StartScan());
    std::atomic<bool> done{false};
    int asked = 0;
    int answered = 0;
    std::thread other([&] {
        while (!done.load()) {
            tagScannerAbility ability{};
            ++asked;
            answered += GetScannerAbility(&ability) && ability.One == 1 ? 1 : 0;
            std::this_thread::sleep_for(2ms);
        }
    });
    bool ok = false;
    const auto image = ReadAll(p, &ok);
    done = true;
    other.join();
    ASSERT_TRUE(ok) << gErrCode;
    EXPECT_EQ(answered, asked);
    // Whole transactions took turns on the pipes.
    const auto wire = transcript();
    const auto lastRead = std::find_if(wire.rbegin(), wire.rend(), [](const sim::Transaction &t) {
        return t.opcode() == sim::opcode::kRead && t.dataType() == 0x00;
    });
    EXPECT_GT(
        std::count_if(lastRead, wire.rend(), [](const sim::Transaction &t) { return t.opcode() == 0x12; }),
        1);
    EXPECT_TRUE(StartsThePage(image));
    EXPECT_TRUE(StopScan());
    EXPECT_EQ(scanner().protocolErrors(), 0u);
}

// A scanner that stops sending in the middle of a page: ReadScan gives up with
// 157 after the wall-time bound however little processor time passes, StopScan
// returns after its own bound and leaves the waiting thread behind, and that
// thread lets go of the ring and the device once its transfer ends (unplug).
TEST_F(ScanTest, AScannerThatStopsSendingHangsNeitherReadNorStop)
{
    gConsumerWallTimeoutMs = 300;
    gStopWaitMs = 200;
    const auto p = Request(300, 256, 400);
    ASSERT_TRUE(Set(p));
    const size_t threads = ThreadCount();
    scanner().stallAfterImageBytes(768u * 48u * 3u + 1000u);
    mallopt(M_PERTURB, 0x5A); // fresh allocations come filled with 0xA5, not zeros
    ASSERT_TRUE(StartScan());
    mallopt(M_PERTURB, 0);

    const auto before = std::chrono::steady_clock::now();
    bool ok = true;
    const auto image = ReadAll(p, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(gErrCode, 157u);
    EXPECT_TRUE(StartsThePage(image, 768u * 48u * 3u));
    // Blocks that nothing has written hold zeros, not what the heap held.
    for (size_t b = 4; b < kBlockCount; ++b)
        EXPECT_TRUE(std::all_of(Session().block[b], Session().block[b] + Session().blockSize, [](uint8_t v) {
            return v == 0;
        })) << b;

    EXPECT_FALSE(StopScan()) << "the release cannot pass the waiting READ";
    EXPECT_EQ(gErrCode, 2023u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_TRUE(ScanThreadLeftBehind());
    EXPECT_EQ(Session().blockBuffer, nullptr);
    EXPECT_FALSE(StartScan());
    EXPECT_EQ(gErrCode, 2000u);
    EXPECT_TRUE(TerminateDriver()); // hands the context and the device to the thread
    const size_t descriptors = DescriptorCount();

    bus().unplug();
    ASSERT_TRUE(WaitUntil([] { return !ScanThreadLeftBehind(); }));
    EXPECT_LT(DescriptorCount(), descriptors) << "the thread closed the device and its context";
    ASSERT_TRUE(Initialize()); // libusb's own threads come back with a context
    ASSERT_TRUE(WaitUntil([&] { return ThreadCount() == threads; }));
    EXPECT_EQ(gErrCode, 2000u) << "the late failure does not speak for the driver";
}

// ---- Trace and raw dump -------------------------------------------------------------

TEST_F(ScanTest, RawDumpHoldsExactlyTheBytesReadAndTheTraceShowsEveryStep)
{
    const fs::path dir = fs::temp_directory_path() / ("docscan-scan-test-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::snprintf(DebugFilePath, sizeof DebugFilePath, "%s/", dir.c_str());
    gDebugLevel = 7;
    std::ofstream(dir / "Image0.raw") << "left over from an earlier scan";
    const auto p = Request(300, 256, 100);
    ASSERT_TRUE(Set(p));
    ASSERT_TRUE(StartScan());
    bool ok = false;
    ReadAll(p, &ok);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(StopScan());

    EXPECT_EQ(testbed::readFileBytes(dir / "Image0.raw"), devicePage());

    const auto thread = testbed::readLines(dir / "vemoImageThread.txt");
    // 3 READs for each full block, 1 for the last 16 lines (12288 bytes).
    ASSERT_EQ(thread.size(), 2u + 3u + 3u + 1u);
    EXPECT_EQ(thread.front(), "In   0 : ScanImageThread :");
    EXPECT_EQ(thread[1], "ScanImageThread : Read image 16384 bytes remain 36864 bytes");
    EXPECT_EQ(thread[2], "ScanImageThread : Read image 16384 bytes remain 20480 bytes");
    EXPECT_EQ(thread[3], "ScanImageThread : Read image 16384 bytes remain 4096 bytes");
    EXPECT_EQ(thread.back(), "Out  1 : ScanImageThread :");

    const auto var = testbed::readLines(dir / "vemoVar.txt");
    ASSERT_FALSE(var.empty());
    EXPECT_EQ(var.back(), "Resolution = 300, Pixelnum =  256, Linenum =  112, Imagesize = 86016");

    // StartScan dumps the device's parameters (the dump itself: ScanSetupTrace).
    EXPECT_TRUE(
        testbed::hasLine(testbed::readLines(dir / "vemoParam.txt"), "IO.ScanParameter.PixelNum = 256"));

    const auto main = testbed::readLines(dir / "vemoDll.txt");
    for (const std::string call : {"StartScan", "GetOriginalData", "StopScan"}) {
        for (const std::string &line : {"In   0 : " + call + " :", "Out  1 : " + call + " :"})
            EXPECT_TRUE(testbed::hasLine(main, line)) << line;
    }
    fs::remove_all(dir);
}

// ---- Many scans ---------------------------------------------------------------------

// Line art and halftone are made on the host from gray; a stopped scan leaves
// neither conversion behind for the next one.
TEST_F(ScanTest, StopEndsTheLineArtAndHalftoneConversions)
{
    for (const uint8_t mode : {uint8_t{DOCSCAN_MODE_LINEART}, uint8_t{DOCSCAN_MODE_HALFTONE}}) {
        auto p = Request(300, 256, 24, kModeGray);
        p.ScanMode = mode;
        p.BitPerPixel = 1;
        ASSERT_TRUE(Set(p)) << gErrCode;
        EXPECT_EQ(gScanSetup.bitBW + gScanSetup.bitHafltone, 1) << int(mode);
        ASSERT_TRUE(StartScan()) << gErrCode;
        ASSERT_TRUE(StopScan());
        EXPECT_EQ(gScanSetup.bitBW, 0);
        EXPECT_EQ(gScanSetup.bitHafltone, 0);
    }
}

class ManyScansTest : public ScanTest {
protected:
    ManyScansTest() { maxRead_ = 0; } // one READ a page
};

TEST_F(ManyScansTest, AHundredScansInARowLeaveNoMemoryOrThreadBehind)
{
    scanner().setTranscriptDataLimit(0);
    const auto p = Request(300, 256, 24, kModeGray);
    ASSERT_TRUE(Set(p));
    std::vector<uint8_t> image(CallerBytes(p));
    auto scanOnce = [&] {
        scanner().clearTranscript();
        ASSERT_TRUE(StartScan());
        ASSERT_TRUE(ReadScan(0, image.data(), static_cast<uint32_t>(image.size())));
        ASSERT_TRUE(StopScan());
    };
    for (int i = 0; i < 5; ++i) scanOnce();
    const auto first = image;
    const size_t threads = ThreadCount();
    const struct mallinfo2 start = mallinfo2();
    for (int i = 0; i < 100; ++i) {
        scanOnce();
        if (HasFatalFailure()) return;
    }
    const struct mallinfo2 end = mallinfo2();
    EXPECT_EQ(image, first);
    EXPECT_EQ(ThreadCount(), threads);
    const auto inUse = [](const struct mallinfo2 &m) { return m.uordblks + m.hblkhd; };
    EXPECT_LE(inUse(end), inUse(start) + 64 * 1024);
}

} // namespace
