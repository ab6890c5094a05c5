// Trace of the scan set-up: the parameter dump, the entry and exit lines,
// the rejection reason and the calibration raw-data dump.
//
// These tests write into /tmp/DrvLog (DRVLOG_RESOURCE_LOCK) through a
// Debug.conf of their own; testbed::DrvLogGuard puts the directory back as it
// was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "device/scansetup.h"
#include "testbed/driver_test.h"
#include "transport/usbio_linux_10.h"

namespace {

namespace fs = std::filesystem;

// Every field its own value; the reserved bytes are never shown.
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

// The parameter dump of TracedRequest() with this prefix.
std::vector<std::string> ExpectedDump(const std::string &prefix)
{
    std::vector<std::string> lines;
    for (const std::string &f : testbed::golden("scansetup.trace", "traced-request"))
        lines.push_back(prefix + ".ScanParameter." + f);
    return lines;
}

using testbed::hasLine;

// Calibration dump files in the log directory with this resolution tag.
std::vector<fs::path> RawDumps(const std::string &tag)
{
    std::vector<fs::path> found;
    const std::regex name("4417_" + tag + "_1_[0-9]{3,6}_Rawdata\\.raw");
    for (const auto &entry : fs::directory_iterator(testbed::kDrvLogDir))
        if (std::regex_match(entry.path().filename().string(), name)) found.push_back(entry.path());
    return found;
}

class ScanSetupTrace : public testbed::DriverTest {
protected:
    bool connectInSetUp() const override { return false; }
    void Start(unsigned level) { connectTraced(level); }
    std::vector<std::string> MainLog() { return testbed::traceLines(); }
    std::vector<std::string> ParamLog() { return testbed::traceLines("vemoParam.txt"); }
};

TEST_F(ScanSetupTrace, ApplicationAndDeviceDumpsLineForLine)
{
    Start(2);
    scanner().setCalibrationState(3);
    tagScanParameter r = TracedRequest();
    ASSERT_TRUE(SetScanParameter(&r)) << gErrCode;

    const auto lines = ParamLog();
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("============ ScanParameter ============"
                                                      "[0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2}")))
        << lines[0];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), ExpectedDump("AP"));

    const auto main = MainLog();
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

TEST_F(ScanSetupTrace, RejectionReasonAndExitLine)
{
    Start(3);
    tagScanParameter r = TracedRequest();
    r.ScanMode = 12;
    EXPECT_FALSE(SetScanParameter(&r));
    const auto main = MainLog();
    EXPECT_TRUE(hasLine(main, "In   0 : CheckScanParameter :"));
    EXPECT_TRUE(hasLine(main, "Check scan parameter error = Unknown scan mode"));
    EXPECT_TRUE(hasLine(main, "Out  0 : CheckScanParameter :"));
    EXPECT_EQ(main.back(), "Out  0 : SetScanParameter :");
    EXPECT_EQ(ParamLog().size(), 41u); // the dump comes before the validation
}

TEST_F(ScanSetupTrace, FailedCapabilityReadWritesNoExitLine)
{
    Start(2);
    scanner().injectCheckCondition({sim::opcode::kInquiry, -1, 0}, sim::makeSense(4, 0, 0));
    tagScanParameter r = TracedRequest();
    EXPECT_FALSE(SetScanParameter(&r));
    const auto main = MainLog();
    EXPECT_TRUE(hasLine(main, "In   0 : SetScanParameter :"));
    EXPECT_FALSE(hasLine(main, "Out  0 : SetScanParameter :"));
    EXPECT_TRUE(ParamLog().empty());
}

TEST_F(ScanSetupTrace, CalibrationRawDataIsDumpedAtLevelSeven)
{
    Start(7);
    tagScanParameter r = TracedRequest();
    ASSERT_TRUE(SetScanParameter(&r));
    auto dumps = RawDumps("96");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(testbed::readFileBytes(dumps[0]), sim::DeviceModel::calibrationData(300));
    fs::remove(dumps[0]);

    r.XRes = r.YRes = 600;
    ASSERT_TRUE(SetScanParameter(&r));
    dumps = RawDumps("192");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(testbed::readFileBytes(dumps[0]), sim::DeviceModel::calibrationData(600));
}

TEST_F(ScanSetupTrace, FailedRawDataReadIsNotDumped)
{
    Start(7);
    scanner().injectCheckCondition({sim::opcode::kRead, 0x62, 0}, sim::makeSense(4, 0, 0));
    tagScanParameter r = TracedRequest();
    EXPECT_FALSE(SetScanParameter(&r));
    EXPECT_TRUE(RawDumps("96").empty());
    EXPECT_EQ(MainLog().back(), "Out  0 : SetScanParameter :");
}

TEST_F(ScanSetupTrace, ParameterDumpFromLevelTwoRawDataFromLevelSeven)
{
    for (const unsigned level : {1u, 6u}) {
        Start(level);
        fs::remove(testbed::kDrvLogDir / "vemoParam.txt");
        tagScanParameter r = TracedRequest();
        ASSERT_TRUE(SetScanParameter(&r));
        EXPECT_EQ(ParamLog().size(), level < 2 ? 0u : 41u) << level;
        EXPECT_TRUE(RawDumps("96").empty()) << level;
    }
}

} // namespace
