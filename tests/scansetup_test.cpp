// Scan set-up against the virtual scanner: what SetScanParameter sends (the
// SET WINDOW parameter list as the scanner received it), the request it
// derives (NewParam, sacdimension, the conversion flags), the calibration
// exchange, its failures and its trace. GetWindowDescriptor and the request
// validation are also driven directly.
//
// Fields of the packed records are compared as copies (unary +): the check
// macros take references, which a packed field cannot give safely. The trace
// tests write into /tmp/DrvLog (DRVLOG_RESOURCE_LOCK) through a Debug.conf of
// their own; the fixture puts the directory back as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "device/settings.h"
#include "support/debug.h"
#include "testbed/driver_test.h"
#include "testbed/testbed.h"

namespace {

namespace fs = std::filesystem;
using testbed::hasLine;

constexpr uint32_t kInvalidParameter = 2005;

tagScanParameter Request(uint8_t mode, uint8_t bits, uint8_t filter = 0, uint8_t pattern = 0,
                         uint16_t dpi = 300)
{
    tagScanParameter r{};
    r.Width = r.PixelNum = 2544; // a multiple of every boundary of the standard scanner
    r.Length = r.LineNum = 1000;
    r.ScanMode = mode;
    r.BitPerPixel = bits;
    r.ColorFilter = filter;
    r.HTPatternNo = pattern;
    r.XRes = r.YRes = dpi;
    return r;
}

tagScanParameter ColourRequest(uint16_t dpi = 300) { return Request(4, 24, 0, 0, dpi); }

// Every field its own value (the parameter dump never shows the reserved bytes).
tagScanParameter TracedRequest()
{
    // clang-format off
    return tagScanParameter{
        .Left = 1, .Top = 2, .Width = 3, .Length = 4, .PixelNum = 2544, .LineNum = 1000,
        .ScanMode = 4, .ScanMethod = 0, .BitPerPixel = 24, .ScanSpeed = 5, .Contrast = -1, .Brightness = -128,
        .HTPatternNo = 6, .Highlight = 200, .Shadow = 10, .ColorFilter = 0, .Invert = 1,
        .IntelligentMultiFeedStyle = 2, .ExtScanParam = 0x1A2B, .RExposure = 300, .GExposure = 301,
        .BExposure = 302, .XRes = 300, .YRes = 300, .RGain = 7, .GGain = 8, .BGain = 9, .lensPosition = -2,
        .byBackgroundLines = 11, .byPagesThisJob = 12, .CompressionArgument = 0, .HiWordLength = 16,
        .HiWordLineNum = 0, .UltraSonicIntension = 15, .ExtScanParam2 = 0xDEADBEEF,
        .Reserved = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, .EnableBatchScan = 1, .wPaperLength = 4200,
        .ExtIndex = 13, .ExtSize = 14};
    // clang-format on
}

std::vector<uint8_t> Bytes(const void *data, size_t size) { return testbed::bytesOf(data, size); }

std::vector<std::string> ParamLog() { return testbed::traceLines("vemoParam.txt"); }

class ScanSetup : public testbed::DriverTest {
protected:
    // Runs SetScanParameter on a fresh transcript.
    bool Set(tagScanParameter request)
    {
        scanner().clearTranscript();
        return SetScanParameter(&request);
    }

    std::vector<sim::Transaction> Windows()
    {
        return scanner().transactionsWithOpcode(sim::opcode::kSetWindow);
    }

    // The descriptor part of the one SET WINDOW of the last call.
    std::vector<uint8_t> Descriptor()
    {
        const auto windows = Windows();
        EXPECT_EQ(windows.size(), 1u) << transcriptText();
        if (windows.size() != 1 || windows[0].dataOut.size() != 79) return std::vector<uint8_t>(71);
        return {windows[0].dataOut.begin() + 8, windows[0].dataOut.end()};
    }

    // The READs of the calibration exchange (the capability refresh reads
    // the non-volatile memory record first).
    std::vector<sim::Transaction> Reads()
    {
        std::vector<sim::Transaction> reads;
        for (const sim::Transaction &t : scanner().transactionsWithOpcode(sim::opcode::kRead))
            if (t.dataType() != sim::datatype::kNvmRead) reads.push_back(t);
        return reads;
    }
};

TEST_F(ScanSetup, SendsTheWholeParameterList)
{
    ASSERT_TRUE(Set(TracedRequest())) << gErrCode;

    const auto windows = Windows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].transferLength(), 79u);
    // 2550 pixels x 24 bits = 7650 bytes a line; 1000 lines + 12.
    const std::vector<uint8_t> expected = {
        0,    0,    0,    0,    0,    0,    0x00, 0x47,             // header, descriptor length 71
        0,    0,    0x01, 0x2C, 0x01, 0x2C,                         // id, reserved, 300 x 300 dpi
        0,    0,    0,    0,                                        // upper-left X: always 0
        0,    0,    0,    0x08,                                     // upper-left Y: 2 x 4
        0,    0,    0,    0x0C,                                     // width: 3 x 4
        0,    0,    0,    0x10,                                     // length: 4 x 4
        0x80, 0x80, 0x80,                                           // brightness, threshold, contrast
        5,    8,    0,    0,                                        // composition, bits; no halftone pattern
        3,    0,    0,    0,    0,                                  // fill, bit order, compression
        0x10, 0x68, 0,    0,    0,    0,                            // paper length, reserved
        0xFF, 0x1D, 0x60, 0xFF, 0,                                  // vendor, colour selection
        0x1D, 0xE2, 0x03, 0xF4, 0,    0,                            // bytes per line, lines
        0x01, 0x2C, 0x01, 0x2D, 0x01, 0x2E, 0,    0,                // exposures
        0x00, 0,    11,   12,   0,    15,   0,    0,    0, 0, 0, 0, // high bpl, background, pages, ultrasonic
    };
    EXPECT_EQ(windows[0].dataOut, expected);
    // The scanner took it: its page geometry follows from the window.
    const auto window = scanner().window();
    ASSERT_TRUE(window.has_value());
    EXPECT_EQ(window->geometry.dpi, 300u);
    EXPECT_EQ(window->geometry.pixels, 2550u);
    EXPECT_EQ(window->geometry.lines, 1012u);
}

struct Mapping {
    const char *name;
    tagScanParameter request;
    uint8_t mode, bits, filter;            // NewParam
    uint8_t composition, depth, selection; // window bytes 25, 26, 42
    uint16_t pattern;                      // window bytes 27..28
    uint8_t trueGray, oneChannel, bw, halftone;
};

// The gray flags are rewritten by every call; the line art and halftone flags,
// once set, stay (in this order of the cases).
TEST_F(ScanSetup, ModeMappingWindowsAndFlags)
{
    const Mapping cases[] = {
        {"gray, all channels", Request(2, 8, 0), 4, 24, 0, 5, 8, 0x60, 0, 1, 0, 0, 0},
        {"gray, green", Request(2, 8, 2), 4, 24, 2, 5, 8, 0x60, 0, 0, 1, 0, 0},
        {"gray, 4 bits", Request(2, 4, 0), 4, 24, 0, 5, 8, 0x60, 0, 1, 0, 0, 0},
        {"line art, 1 bit", Request(0, 1, 0), 4, 24, 1, 5, 8, 0x60, 0, 0, 1, 1, 0},
        {"line art, 1 bit, blue", Request(0, 1, 3), 4, 24, 3, 5, 8, 0x60, 0, 0, 1, 1, 0},
        {"halftone, 1 bit", Request(1, 1, 0, 3), 4, 24, 0, 5, 8, 0x60, 0, 1, 0, 1, 1},
        {"halftone, 1 bit, red", Request(1, 1, 1, 3), 4, 24, 1, 5, 8, 0x60, 0, 0, 1, 1, 1},
        {"line art, 8 bits", Request(0, 8, 0), 0, 8, 0, 0, 8, 0x70, 0, 0, 0, 1, 1},
        {"halftone, 8 bits", Request(1, 8, 0, 5), 1, 8, 0, 1, 8, 0x40, 5, 0, 0, 1, 1},
        {"colour", Request(4, 24), 4, 24, 0, 5, 8, 0x60, 0, 0, 0, 1, 1},
        {"colour, 48 bits", Request(4, 48), 4, 48, 0, 5, 16, 0x60, 0, 0, 0, 1, 1},
    };
    for (const Mapping &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Set(c.request)) << gErrCode << "\n" << transcriptText();
        EXPECT_EQ(+NewParam.ScanMode, c.mode);
        EXPECT_EQ(+NewParam.BitPerPixel, c.bits);
        EXPECT_EQ(+NewParam.ColorFilter, c.filter);
        const auto d = Descriptor();
        EXPECT_EQ(d[25], c.composition);
        EXPECT_EQ(d[26], c.depth);
        EXPECT_EQ(d[42], c.selection);
        EXPECT_EQ(d[27] << 8 | d[28], c.pattern);
        EXPECT_EQ(gScanSetup.bitTrueGray, c.trueGray);
        EXPECT_EQ(gScanSetup.bitOneChanelGray, c.oneChannel);
        EXPECT_EQ(gScanSetup.bitBW, c.bw);
        EXPECT_EQ(gScanSetup.bitHafltone, c.halftone);
        // Bytes per line: NewParam's depth over the full device line.
        const uint32_t bpl = static_cast<uint32_t>(d[59] << 16 | d[45] << 8 | d[46]);
        EXPECT_EQ(bpl, c.bits * 2550u / 8u);
    }
}

// Colour by the second colour code, end to end: the scanner takes the window
// as a colour one, and a scan delivers three bytes a pixel, every line the
// start of the scanner's colour line.
TEST_F(ScanSetup, Mode3IsSetUpAndDeliversThreeBytesAPixel)
{
    constexpr uint16_t kLines = 8;
    tagScanParameter p = Request(3, 24);
    p.LineNum = p.Length = 40;
    ASSERT_TRUE(Set(p)) << gErrCode << "\n" << transcriptText();
    const auto window = scanner().window();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->geometry.channels, 3u);

    ASSERT_TRUE(StartScan()) << gErrCode;
    const uint32_t lineBytes = 3u * p.PixelNum;
    std::vector<uint8_t> image(lineBytes * kLines);
    ASSERT_TRUE(ReadScan(0, image.data(), static_cast<uint32_t>(image.size()))) << gErrCode;
    EXPECT_TRUE(StopScan());

    const auto page = devicePage();
    ASSERT_GE(page.size(), std::size_t{window->geometry.bytesPerLine} * kLines);
    for (uint32_t y = 0; y < kLines; ++y) {
        const auto *got = image.data() + std::size_t{y} * lineBytes;
        const auto *want = page.data() + std::size_t{y} * window->geometry.bytesPerLine;
        EXPECT_TRUE(std::equal(got, got + lineBytes, want)) << "line " << y;
    }
}

TEST_F(ScanSetup, DeviceResolutionAndRatios)
{
    ASSERT_TRUE(Set(ColourRequest(300)));
    EXPECT_EQ(+NewParam.XRes, 300);
    EXPECT_EQ(gScanSetup.sacdimension.ScaleToDevice, 1.0);
    EXPECT_EQ(dwApPixNum, 2544u * 3u);

    ASSERT_TRUE(Set(ColourRequest(301)));
    EXPECT_EQ(+NewParam.XRes, 600);
    EXPECT_EQ(+NewParam.YRes, 600);
    EXPECT_EQ(+NewParam.PixelNum, 5100);
    EXPECT_EQ(gScanSetup.sacdimension.ScaleToDevice, 600.0 / 301.0);
    EXPECT_EQ(gScanSetup.sacdimension.ScaleToCaller, 301.0 / 600.0);
    EXPECT_EQ(+NewParam.LineNum, 1992 + 12); // 1000 x 600/301 = 1993.4
    const auto d = Descriptor();
    EXPECT_EQ(d[2] << 8 | d[3], 600);
    EXPECT_EQ(d[4] << 8 | d[5], 600);

    ASSERT_TRUE(Set(Request(2, 8)));
    EXPECT_EQ(dwApPixNum, 2544u); // counted with the caller's depth
}

TEST_F(ScanSetup, DeviceLineCount)
{
    struct Case {
        uint16_t xres, lines, hiword, expected;
    };
    const Case cases[] = {
        {200, 1000, 0, 1512},                  // 1500, already a multiple of 4
        {150, 1001, 0, 2012},                  // 2002 rounded down to 2000
        {300, 1, 0, 12},      {300, 0, 1, 12}, // the high word stays as it is
        {50, 65535, 0, 4},                     // 393208 + 12, kept to 16 bits
    };
    for (const Case &c : cases) {
        tagScanParameter r = ColourRequest(c.xres);
        r.LineNum = c.lines;
        r.HiWordLineNum = c.hiword;
        Set(r); // the scanner may refuse a window of 0 lines; the count is set before
        EXPECT_EQ(+NewParam.LineNum, c.expected) << c.xres << " dpi, " << c.lines << " lines";
        EXPECT_EQ(+NewParam.HiWordLineNum, c.hiword);
    }
}

using ScanSetupOverscan = testbed::OnBus<ScanSetup, [](sim::BusOptions &o) {
    o.devices[0].profile = sim::InquiryProfile::withOverscan();
}>;

TEST_F(ScanSetupOverscan, OverscanWidensTheLineOnlyWithWiaflag)
{
    ASSERT_EQ(wiaflag, 0);
    ASSERT_TRUE(Set(ColourRequest(300)));
    EXPECT_EQ(+NewParam.PixelNum, 2550);
    EXPECT_EQ(InquiryBE16<kInqOverscan2>(MyInquiryData), 0);
    EXPECT_EQ(InquiryBE16<kInqOverscan4>(MyInquiryData), 0);
    EXPECT_EQ(InquiryBE16<kInqOverscan1>(MyInquiryData), 24); // the others are kept

    wiaflag = 1;
    ASSERT_TRUE(Set(ColourRequest(300)));
    EXPECT_EQ(+NewParam.PixelNum, 2550 + 48);
    EXPECT_EQ(InquiryBE16<kInqOverscan2>(MyInquiryData), 24);
    ASSERT_TRUE(Set(ColourRequest(600)));
    EXPECT_EQ(+NewParam.PixelNum, 2 * (2550 + 48));
}

using ScanSetupExtentsWithoutFlag = testbed::OnBus<ScanSetup, [](sim::BusOptions &o) {
    o.devices[0].profile.overscan = {24, 24, 24, 24};
}>;

TEST_F(ScanSetupExtentsWithoutFlag, ExtentsAreDroppedWithoutTheOverscanBit)
{
    wiaflag = 1;
    ASSERT_TRUE(Set(ColourRequest(300)));
    EXPECT_EQ(+NewParam.PixelNum, 2550);
    EXPECT_EQ(InquiryBE16<kInqOverscan2>(MyInquiryData), 0);
    EXPECT_EQ(InquiryBE16<kInqOverscan4>(MyInquiryData), 0);
}

TEST_F(ScanSetup, NullRequestAndZeroResolutionAreRefusedOwnRecordsTaken)
{
    const tagScanParameter before = OldParam;
    EXPECT_FALSE(SetScanParameter(nullptr));
    EXPECT_EQ(gErrCode, kInvalidParameter);
    EXPECT_EQ(Bytes(&OldParam, sizeof OldParam), Bytes(&before, sizeof before));
    EXPECT_EQ(scanner().transactionCount(), 0u);

    // XRes 0 would make the ratios infinite: refused like a rejected request.
    gErrCode = 0;
    tagScanParameter r = ColourRequest(0);
    EXPECT_FALSE(Set(r));
    EXPECT_EQ(gErrCode, kInvalidParameter);
    EXPECT_TRUE(Windows().empty());
    EXPECT_EQ(+OldParam.XRes, 0);
    EXPECT_EQ(gScanSetup.sacdimension.ScaleToDevice, 0.0);
    EXPECT_EQ(gScanSetup.sacdimension.ScaleToCaller, 0.0);
    EXPECT_EQ(+NewParam.XRes, 300);

    // The request may be one of the driver's own records.
    ASSERT_TRUE(Set(Request(2, 8, 0)));
    ASSERT_TRUE(SetScanParameter(&OldParam));
    EXPECT_EQ(+NewParam.ScanMode, 4);
    EXPECT_EQ(gScanSetup.sacdimension.ScanMode, 2);
}

TEST_F(ScanSetup, CalibrationDecisionTable)
{
    for (uint16_t ext : std::initializer_list<uint16_t>{0x0000, 0x4000}) {
        for (uint8_t state = 0; state < 5; ++state) {
            scanner().setCalibrationState(state);
            tagScanParameter r = ColourRequest();
            r.ExtScanParam = ext;
            ASSERT_TRUE(Set(r)) << gErrCode;
            const auto reads = Reads();
            ASSERT_GE(reads.size(), 1u);
            EXPECT_EQ(reads[0].dataType(), 0x60);
            EXPECT_EQ(reads[0].transferLength(), 32u);
            EXPECT_EQ(reads[0].qualifier(), 0x0A0D);
            const bool expectRaw = ext ? state == 1 : state != 3;
            EXPECT_EQ(reads.size(), expectRaw ? 2u : 1u)
                << "ExtScanParam " << ext << ", state " << int(state);
        }
    }
}

TEST_F(ScanSetup, CalibrationRawDataTypeAndSize)
{
    struct Case {
        tagScanParameter request;
        uint8_t type;
        uint32_t size;
    };
    const Case cases[] = {
        {ColourRequest(300), 0x62, 495360}, {ColourRequest(600), 0x62, 990720},
        {Request(2, 8), 0x62, 495360}, // gray is scanned as colour
        {Request(0, 8), 0x61, 495360}, // unmapped line art stays below mode 3
        {Request(1, 8), 0x61, 495360},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(Set(c.request)) << gErrCode;
        const auto reads = Reads();
        ASSERT_EQ(reads.size(), 2u);
        EXPECT_EQ(reads[1].dataType(), c.type);
        EXPECT_EQ(reads[1].qualifier(), 0x0A0D);
        EXPECT_EQ(reads[1].transferLength(), c.size);
        EXPECT_EQ(reads[1].dataInLength, c.size);
    }
}

TEST_F(ScanSetup, TransportFailuresAndNoRawDataBufferEndTheCall)
{
    const struct {
        uint8_t opcode;
        int dataType;
        size_t reads; // calibration READs made
    } cases[] = {
        {sim::opcode::kSetWindow, -1, 0}, {sim::opcode::kRead, 0x60, 1}, {sim::opcode::kRead, 0x62, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "opcode " << int(c.opcode) << " type " << c.dataType);
        scanner().injectCheckCondition({c.opcode, c.dataType, c.dataType < 0 ? 1u : 0u},
                                       sim::makeSense(4, 0, 0));
        gErrCode = 0;
        EXPECT_FALSE(Set(ColourRequest()));
        EXPECT_EQ(gErrCode, 2004u);
        EXPECT_EQ(Reads().size(), c.reads);
        scanner().clearFaults();
    }

    // No buffer for the raw data: the memory status code, after the status block only.
    const CalibrationBufferAllocator saved = gCalibrationBufferAllocator;
    gCalibrationBufferAllocator = [](size_t) -> uint8_t * { return nullptr; };
    EXPECT_FALSE(Set(ColourRequest()));
    gCalibrationBufferAllocator = saved;
    EXPECT_EQ(gErrCode, 2006u);
    EXPECT_EQ(Reads().size(), 1u);
    EXPECT_TRUE(Set(ColourRequest()));
}

// The parameter dump of TracedRequest() with this prefix.
std::vector<std::string> ExpectedDump(const std::string &prefix)
{
    std::vector<std::string> lines;
    for (const std::string &f : testbed::golden("scansetup.trace", "traced-request"))
        lines.push_back(prefix + ".ScanParameter." + f);
    return lines;
}

// Calibration dump files in the log directory with this resolution tag.
std::vector<fs::path> RawDumps(const std::string &tag)
{
    std::vector<fs::path> found;
    const std::regex name("4417_" + tag + "_1_[0-9]{3,6}_Rawdata\\.raw");
    for (const auto &entry : fs::directory_iterator(testbed::kDrvLogDir))
        if (std::regex_match(entry.path().filename().string(), name)) found.push_back(entry.path());
    return found;
}

// The driver starts in the test, with the trace at the test's level.
class ScanSetupTrace : public ScanSetup {
protected:
    bool connectInSetUp() const override { return false; }
};

TEST_F(ScanSetupTrace, ApplicationAndDeviceDumpsLineForLine)
{
    connectTraced(2);
    scanner().setCalibrationState(3);
    tagScanParameter r = TracedRequest();
    ASSERT_TRUE(Set(r)) << gErrCode;

    const auto lines = ParamLog();
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("============ ScanParameter ============"
                                                      "[0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2}")))
        << lines[0];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), ExpectedDump("AP"));

    const auto main = testbed::traceLines();
    EXPECT_TRUE(hasLine(main, "In   0 : SetScanParameter :"));
    EXPECT_TRUE(hasLine(main, "Calibration is not need !"));
    EXPECT_TRUE(hasLine(main, "Out  1 : SetScanParameter :"));
    EXPECT_FALSE(hasLine(main, "In   0 : CheckScanParameter :")); // level 3

    // The device dump has its own prefix.
    DumpScanParameter("IO", &r);
    const auto both = ParamLog();
    ASSERT_EQ(both.size(), 82u);
    EXPECT_EQ(std::vector<std::string>(both.begin() + 42, both.end()), ExpectedDump("IO"));
}

// A rejected request still replaces the records; the reason is in the main log.
TEST_F(ScanSetupTrace, RejectedRequestReplacesTheRecordsAndLogsTheReason)
{
    connectTraced(3);
    tagScanParameter r = Request(2, 8, 2, 0, 700); // too high
    r.Left = 33;
    r.LineNum = 500;
    EXPECT_FALSE(Set(r));
    EXPECT_EQ(gErrCode, kInvalidParameter);
    EXPECT_TRUE(Windows().empty());
    EXPECT_EQ(Bytes(&OldParam, sizeof OldParam), Bytes(&r, sizeof r));
    EXPECT_EQ(+NewParam.ScanMode, 4);
    EXPECT_EQ(+NewParam.BitPerPixel, 24);
    EXPECT_EQ(+NewParam.ColorFilter, 2);
    EXPECT_EQ(+NewParam.Left, 0);
    EXPECT_EQ(+NewParam.XRes, 600);
    EXPECT_EQ(+NewParam.LineNum, 428 + 12); // 500 x 600/700 = 428.6
    EXPECT_EQ(gScanSetup.sacdimension.XRes, 700);
    EXPECT_EQ(gScanSetup.sacdimension.Left, 33);
    EXPECT_EQ(gScanSetup.sacdimension.ScanMode, 2);
    EXPECT_EQ(gScanSetup.bitOneChanelGray, 1);

    const auto main = testbed::traceLines();
    EXPECT_TRUE(hasLine(main, "Check scan parameter error = Resolution exceed device's resolution"));
    EXPECT_EQ(main.back(), "Out  0 : SetScanParameter :");
    EXPECT_EQ(ParamLog().size(), 41u); // the dump comes before the validation
}

TEST_F(ScanSetupTrace, FailedCapabilityReadStopsAtOnceWithoutAnExitLine)
{
    connectTraced(2);
    scanner().injectCheckCondition({sim::opcode::kInquiry, -1, 0}, sim::makeSense(4, 0, 0));
    tagScanParameter r = ColourRequest();
    r.Top = 77;
    EXPECT_FALSE(Set(r));
    EXPECT_EQ(gErrCode, 2004u);
    EXPECT_EQ(+OldParam.Top, 77);
    EXPECT_EQ(+NewParam.Top, 0); // not reached
    EXPECT_TRUE(Windows().empty());
    const auto main = testbed::traceLines();
    EXPECT_TRUE(hasLine(main, "In   0 : SetScanParameter :"));
    EXPECT_FALSE(hasLine(main, "Out  0 : SetScanParameter :"));
    EXPECT_TRUE(ParamLog().empty());
}

TEST_F(ScanSetupTrace, CalibrationRawDataIsDumpedAtLevelSevenUnlessItsReadFails)
{
    connectTraced(7);
    tagScanParameter r = TracedRequest();
    ASSERT_TRUE(Set(r));
    auto dumps = RawDumps("96");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(testbed::readFileBytes(dumps[0]), sim::DeviceModel::calibrationData(300));
    fs::remove(dumps[0]);

    scanner().injectCheckCondition({sim::opcode::kRead, 0x62, 1}, sim::makeSense(4, 0, 0));
    EXPECT_FALSE(Set(r));
    EXPECT_TRUE(RawDumps("96").empty());
    EXPECT_EQ(testbed::traceLines().back(), "Out  0 : SetScanParameter :");

    r.XRes = r.YRes = 600;
    ASSERT_TRUE(Set(r));
    dumps = RawDumps("192");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(testbed::readFileBytes(dumps[0]), sim::DeviceModel::calibrationData(600));
}

TEST_F(ScanSetupTrace, ParameterDumpFromLevelTwoRawDataFromLevelSeven)
{
    for (const unsigned level : {1u, 6u}) {
        connectTraced(level);
        fs::remove(testbed::kDrvLogDir / "vemoParam.txt");
        ASSERT_TRUE(Set(TracedRequest()));
        EXPECT_EQ(ParamLog().size(), level < 2 ? 0u : 41u) << level;
        EXPECT_TRUE(RawDumps("96").empty()) << level;
    }
}

// GetWindowDescriptor into a descriptor of 0xEE bytes.
std::vector<uint8_t> Build(const tagScanParameter &record)
{
    NX_WindowDescription w;
    std::memset(&w, 0xEE, sizeof w);
    GetWindowDescriptor(&w, &record);
    return Bytes(&w, sizeof w);
}

TEST(WindowDescriptor, CompositionDepthAndColourSelection)
{
    const uint8_t composition[] = {0, 1, 2, 0, 5, 0, 5, 0, 0, 0, 0, 0, 0};
    for (uint8_t mode = 0; mode < sizeof composition; ++mode) {
        tagScanParameter r{};
        r.ScanMode = mode;
        r.BitPerPixel = 8;
        EXPECT_EQ(Build(r)[25], composition[mode]) << int(mode);
    }
    for (int bits = 0; bits < 256; ++bits) {
        tagScanParameter r{};
        r.BitPerPixel = static_cast<uint8_t>(bits);
        const int expected = (bits == 16 || bits == 48) ? 16 : (bits == 24 || bits == 12) ? 8 : bits;
        EXPECT_EQ(Build(r)[26], expected) << bits;
    }
    const struct {
        uint8_t mode, filter, selection;
    } cases[] = {
        {0, 0, 0x70}, {0, 3, 0x70},   {4, 2, 0x60}, {2, 0, 0x70}, {2, 1, 0x48}, {2, 2, 0x50},  {2, 3, 0x58},
        {2, 4, 0x40}, {2, 255, 0x40}, {1, 0, 0x40}, {3, 0, 0x40}, {6, 0, 0x40}, {11, 0, 0x40},
    };
    for (const auto &c : cases) {
        tagScanParameter r{};
        r.ScanMode = c.mode;
        r.ColorFilter = c.filter;
        EXPECT_EQ(Build(r)[42], c.selection) << int(c.mode) << "/" << int(c.filter);
    }
}

TEST(WindowDescriptor, BytesPerLineAboveSixteenBits)
{
    NewParam.PixelNum = 12000;
    NewParam.LineNum = 0xABCD;
    tagScanParameter r{};
    r.BitPerPixel = 48;
    r.PixelNum = 1; // the record's own counts are not used
    r.LineNum = 1;
    const auto w = Build(r);
    // 48 x 12000 / 8 = 72000 = 0x011940
    EXPECT_EQ(w[45], 0x19);
    EXPECT_EQ(w[46], 0x40);
    EXPECT_EQ(w[59], 0x01);
    EXPECT_EQ(w[47], 0xAB);
    EXPECT_EQ(w[48], 0xCD);
}

TEST(WindowDescriptor, AreaFieldsAndResolution)
{
    // Quarter units times 4 into 32 bits; fine units (ExtScanParam bit 6) halved.
    tagScanParameter r{};
    r.Left = 0xFFFF;
    r.Top = 1;
    r.Width = 2401;
    r.Length = 3000;
    r.XRes = 300;
    r.YRes = 600;
    auto w = Build(r);
    EXPECT_EQ(Bytes(&w[2], 4), (std::vector<uint8_t>{0x01, 0x2C, 0x01, 0x2C})); // YRes is not used
    EXPECT_EQ(Bytes(&w[6], 16),
              (std::vector<uint8_t>{0, 0x03, 0xFF, 0xFC, 0, 0, 0, 4, 0, 0, 0x25, 0x84, 0, 0, 0x2E, 0xE0}));
    r.ExtScanParam = 0x0040;
    r.XRes = 301;
    w = Build(r);
    EXPECT_EQ(Bytes(&w[2], 2), (std::vector<uint8_t>{0x02, 0x58}));
    EXPECT_EQ(Bytes(&w[6], 16),
              (std::vector<uint8_t>{0, 0, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0, 0x04, 0xB0, 0, 0, 0x05, 0xDC}));
}

TEST(WindowDescriptor, NullRecordGivesZeros)
{
    NX_WindowDescription w;
    std::memset(&w, 0xEE, sizeof w);
    GetWindowDescriptor(&w, nullptr);
    EXPECT_EQ(Bytes(&w, sizeof w), std::vector<uint8_t>(71, 0));
    GetWindowDescriptor(nullptr, &NewParam); // nothing to fill: no effect
}

// Validation of requests against the inquiry data: CheckScanParameter driven
// directly, with MyInquiryData from a virtual scanner profile (patched per
// case) and the rejection reason read back from the main log, written into a
// private temporary directory.
constexpr const char *kAccepted = "";

class Validation : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/scanparam_validation_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::snprintf(DebugFilePath, sizeof DebugFilePath, "%s/", dir_.c_str());
        gDebugLevel = 3;
    }

    void TearDown() override
    {
        std::remove(LogPath().c_str());
        rmdir(dir_.c_str());
        gDebugLevel = 0;
        DebugFilePath[0] = '\0';
    }

    std::string LogPath() const { return dir_ + "/" + DebugFunctionFile; }

    // Runs the validation of request against profile. Returns the rejection
    // message, or "" when the request is accepted; the log's exit line agrees.
    std::string Check()
    {
        std::memcpy(MyInquiryData.Data, profile.bytes().data(), sizeof MyInquiryData.Data);
        std::remove(LogPath().c_str());
        const bool accepted = CheckScanParameter(&request);
        const auto log = testbed::readLines(LogPath());
        EXPECT_TRUE(testbed::containsInOrder(
            log, {"In   0 : CheckScanParameter :",
                  accepted ? "Out  1 : CheckScanParameter :" : "Out  0 : CheckScanParameter :"}));
        const std::string prefix = "Check scan parameter error = ";
        std::string reason = accepted ? kAccepted : "(rejected without a message)";
        for (const std::string &line : log)
            if (line.rfind(prefix, 0) == 0) reason = line.substr(prefix.size());
        return reason;
    }

    // Applies each change in turn and expects its outcome (accepted, or the
    // rejection message); the changes accumulate.
    struct Step {
        std::function<void()> change;
        const char *want;
    };
    void Steps(std::initializer_list<Step> steps)
    {
        int n = 0;
        for (const Step &s : steps) {
            SCOPED_TRACE(::testing::Message() << "step " << n++);
            s.change();
            EXPECT_EQ(Check(), s.want);
        }
    }

    sim::InquiryProfile profile = sim::InquiryProfile::standard();
    tagScanParameter request = ColourRequest(); // the standard scanner accepts it

private:
    std::string dir_;
};

// Rejection messages met more than once.
constexpr const char *kNoD2Jpeg = "Not support D2 JPEG";
constexpr const char *kDepth = "Device does not support this scan mode or bit per pixel";
constexpr const char *kMethod = "Device does not support this scan method";
constexpr const char *kResolution = "Resolution exceed device's resolution";
constexpr const char *kPixelBoundary = "Pixel boundary is error";
constexpr const char *kLineBoundary = "Line boundary is error";

TEST_F(Validation, BaseRequestIsAcceptedUnchangedAndNullIsRejected)
{
    const tagScanParameter before = request;
    EXPECT_EQ(Check(), kAccepted);
    EXPECT_EQ(std::memcmp(&before, &request, sizeof request), 0);
    EXPECT_FALSE(CheckScanParameter(nullptr));
}

TEST_F(Validation, ModesAndTheirCompressions)
{
    for (uint8_t mode : std::initializer_list<uint8_t>{5, 12, 200, 255}) {
        request.ScanMode = mode;
        EXPECT_EQ(Check(), "Unknown scan mode") << int(mode);
    }
    request.ScanMode = 4;
    Steps({
        // R2 YCC: either inquiry byte announces it; it takes no compression argument.
        {[&] { request.ScanMode = 6; }, "Not support R2 YCC"},
        {[&] { profile.flags128 = 0x40; }, kAccepted},
        {[&] { profile.flags128 = 0, profile.flags129 = 0x80; }, kAccepted},
        {[&] { request.CompressionArgument = 1; }, "Not support R2 YCC compression argument"},
        // D2 JPEG gray (mode 11, a valid mode on a scanner that has it) needs 8 bits;
        // its compression argument is not looked at.
        {[&] { request.ScanMode = 11, request.BitPerPixel = 8, profile.flags129 = 0; }, kNoD2Jpeg},
        {[&] { profile.flags129 = 0x08, request.CompressionArgument = 200; }, kAccepted},
        {[&] { request.BitPerPixel = 24; }, "Not supported BitsPerPixel for D2 JPEG(Gray mode)"},
        // D2 JPEG colour.
        {[&] { request.ScanMode = 7, request.CompressionArgument = 0, profile.flags129 = 0; }, kNoD2Jpeg},
    });
    profile.flags129 = 0x08;
    for (uint8_t mode : std::initializer_list<uint8_t>{7, 8, 9, 10}) {
        request.ScanMode = mode;
        request.BitPerPixel = 24;
        EXPECT_EQ(Check(), kAccepted) << int(mode);
        request.BitPerPixel = 8;
        EXPECT_EQ(Check(), "Not supported BitsPerPixel for D2 JPEG(Color mode)") << int(mode);
    }
    request.BitPerPixel = 24;
    for (int arg = 0; arg < 256; ++arg) {
        request.CompressionArgument = static_cast<uint8_t>(arg);
        const bool valid = arg <= 100 || (arg >= 128 && arg <= 131);
        EXPECT_EQ(Check(), valid ? kAccepted : "Not support D2 Jpeg compression argument") << arg;
    }
}

TEST_F(Validation, DepthNeedsTheScanBitAndTheDepthBit)
{
    Steps({
        {[&] { profile.scanEnable = 0; }, kDepth},
        // Colour: the depth per channel is checked.
        {[&] { profile.scanEnable = 0x40, profile.depths = 0xFE & ~0x10; }, kDepth}, // no 8 bits
        {[&] { profile.depths = 0x10; }, kAccepted},
        {[&] { request.BitPerPixel = 48; }, kDepth},
        {[&] { profile.depths = 0x02; }, kAccepted},                        // 16 bits only
        {[&] { request.BitPerPixel = 32, profile.depths = 0xFE; }, kDepth}, // not a multiple of 3
        {[&] { request.BitPerPixel = 6; }, kDepth},                         // 2 bits a channel: no such depth
        // Line art asks for 1 bit, although the scanner later scans colour.
        {[&] {
             request.ScanMode = 0, request.BitPerPixel = 1, request.PixelNum = 2544, profile.depths = 0x7E;
         },
         kDepth},
        {[&] { profile.depths = 0x80; }, kAccepted},
        {[&] { request.ScanMode = 2, request.BitPerPixel = 8; }, kDepth},
        {[&] { profile.depths = 0x10; }, kAccepted},
        {[&] { request.BitPerPixel = 24; }, kDepth}, // gray depth is the whole value
        // R2 YCC at 4 bits a channel needs no depth bit; only mode 6 has the exception.
        {[&] {
             profile.flags129 = 0x80, profile.depths = 0xFE & ~0x40, request.ScanMode = 6,
             request.BitPerPixel = 12, request.PixelNum = 2550;
         },
         kAccepted},
        {[&] { request.ScanMode = 4; }, kDepth},
    });
}

TEST_F(Validation, ScanMethodsAndTheirBits)
{
    const uint8_t masks[] = {0xA0, 0x70, 0x08, 0x08, 0x04, 0x04};
    for (uint8_t method = 0; method < 6; ++method) {
        for (int bit = 0; bit < 8; ++bit) {
            profile.methods = static_cast<uint8_t>(1u << bit);
            request.ScanMethod = method;
            const bool allowed = (masks[method] & profile.methods) != 0;
            EXPECT_EQ(Check(), allowed ? kAccepted : kMethod) << "method " << int(method) << " bit " << bit;
        }
    }
    profile.methods = 0xFF;
    request.ScanMethod = 6;
    EXPECT_EQ(Check(), kMethod);
}

TEST_F(Validation, ResolutionAndTheOrderOfTheChecks)
{
    Steps({
        {[&] { request.XRes = request.YRes = 600; }, kAccepted},
        {[&] { request.XRes = request.YRes = 601; }, kResolution},
        {[&] { request.XRes = 700, request.YRes = 300; }, kResolution},
        {[&] { request.XRes = 300, request.YRes = 601; }, kResolution},
        {[&] { request.YRes = 600; }, "Device does not support X/Y resolution different"},
        {[&] { profile.xyResolutionMayDiffer = true; }, kAccepted},
        // No lower limit here; SetScanParameter refuses XRes 0 itself.
        {[&] { request.XRes = request.YRes = 0; }, kAccepted},
        // An unsupported depth is reported before a too high resolution, an
        // unknown method before the resolution, the resolution before the boundary.
        {[&] { request.BitPerPixel = 32, request.XRes = request.YRes = 700; }, kDepth},
        {[&] { request.BitPerPixel = 24, request.ScanMethod = 6; }, kMethod},
        {[&] { request.ScanMethod = 0, profile.boundaryColor = 7; }, kResolution},
    });
}

TEST_F(Validation, PixelBoundaryByMode)
{
    profile.boundaryColor = 3;
    profile.boundaryGray = 5;
    profile.boundaryGray4 = 7;
    profile.boundaryLineArt = 11;
    profile.boundaryHalftone = 13;
    profile.boundaryHalftoneOwn = 17;
    profile.halftoneOwnPattern = 4;
    profile.flags129 = 0x88; // R2 YCC and D2 JPEG

    struct Case {
        uint8_t mode, bits, pattern;
        unsigned boundary; // 0: no pixel check
    };
    const Case cases[] = {
        {0, 1, 0, 11}, {1, 1, 0, 13}, {1, 1, 4, 17}, {2, 8, 0, 5},   {2, 4, 0, 7},  {3, 24, 0, 3},
        {4, 24, 0, 3}, {6, 24, 0, 2}, {7, 24, 0, 0}, {10, 24, 0, 0}, {11, 8, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.mode) << "/" << int(c.bits));
        request.ScanMode = c.mode;
        request.BitPerPixel = c.bits;
        request.HTPatternNo = c.pattern;
        const unsigned multiple = c.boundary ? c.boundary * 100 : 1001;
        request.PixelNum = static_cast<uint16_t>(multiple);
        EXPECT_EQ(Check(), kAccepted);
        request.PixelNum = static_cast<uint16_t>(multiple + 1);
        EXPECT_EQ(Check(), c.boundary ? kPixelBoundary : kAccepted);
    }
}

TEST_F(Validation, BoundaryZeroAndTheLineBoundaryOfR2Ycc)
{
    Steps({
        // A boundary of 0 refuses the request rather than divide by it.
        {[&] { profile.boundaryColor = 0; }, kPixelBoundary},
        {[&] { request.PixelNum = 0; }, kPixelBoundary},
        // Only R2 YCC checks the line count.
        {[&] {
             profile = sim::InquiryProfile::standard(), profile.flags129 = 0x80, request.ScanMode = 6,
             request.PixelNum = 2551;
         },
         kPixelBoundary},
        {[&] { request.PixelNum = 2550, request.LineNum = 1; }, kLineBoundary},
        {[&] { request.LineNum = 0, request.HiWordLineNum = 1; }, kAccepted}, // 65536 lines
        {[&] { request.HiWordLineNum = 0, request.LineNum = 3; }, kLineBoundary},
        {[&] { request.ScanMode = 4; }, kAccepted}, // every other mode takes any line count
    });
}

} // namespace
