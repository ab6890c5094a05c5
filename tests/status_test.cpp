// Status reporting and the operations accepted without device action: results,
// what reaches the caller's variables, and the trace lines (DRVLOG_RESOURCE_LOCK).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/scanner.h"
#include "scan/scan.h"
#include "support/debug.h"
#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace {

// Level 2 trace for the whole test, into an empty log.
class TracedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed::writeDebugConf({"DebugLevel 2"}));
        DebugInitialize();
        // The level stays in force; without the file, other test processes do not log here.
        std::filesystem::remove(testbed::kDrvLogDir / "Debug.conf");
        std::filesystem::remove(testbed::kDrvLogDir / "vemoDll.txt");
    }
    testbed::DrvLogGuard guard_;
};

TEST(StatusReporting, ShortStatusIsTheLowByteAndFullStatusTheWholeCode)
{
    for (const auto &[code, low] : {std::pair{2023u, 231}, std::pair{2019u, 227}, std::pair{64001u, 0x01}}) {
        uint8_t status = 0xEE;
        uint64_t full = ~0ull;
        gErrCode = code;
        EXPECT_TRUE(GetScannerStatus(nullptr, nullptr, nullptr, &status));
        EXPECT_EQ(status, low);
        for (int read = 0; read < 2; ++read) { // reading never changes the code
            EXPECT_TRUE(GetScannerStatusEx(nullptr, nullptr, nullptr, &full));
            EXPECT_EQ(full, code);
        }
    }
}

TEST(StatusReporting, LastStatusCodeFiltersNotReadyAnd3011AndNullPointersStore2005)
{
    for (uint32_t code : {2009u, 3011u, 0u, 113u, 2008u, 2010u, 2023u, 3012u, 64001u}) {
        const bool hidden = code == 2009u || code == 3011u;
        uint64_t status = 7;
        gErrCode = code;
        EXPECT_TRUE(GetLastStatusCode(nullptr, &status));
        EXPECT_EQ(status, hidden ? 7u : code) << code;
        EXPECT_EQ(gErrCode, code);
    }
    // A null pointer stores 2005.
    for (bool (*call)() : {+[] { return GetScannerStatus(nullptr, nullptr, nullptr, nullptr); },
                           +[] { return GetScannerStatusEx(nullptr, nullptr, nullptr, nullptr); },
                           +[] { return GetLastStatusCode(nullptr, nullptr); }}) {
        gErrCode = 2023;
        EXPECT_TRUE(call());
        EXPECT_EQ(gErrCode, 2005u);
    }
}

TEST_F(TracedTest, StatusTraceLines)
{
    uint8_t shortStatus = 0;
    uint64_t status = 7;
    gErrCode = 2009;
    GetScannerStatus(nullptr, nullptr, nullptr, &shortStatus);
    GetLastStatusCode(nullptr, &status);
    gErrCode = 2023;
    GetLastStatusCode(nullptr, &status);
    GetScannerStatusEx(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(testbed::traceLines(), testbed::golden("status.trace", "status-calls"));
}

// clang-format off
#define ACCEPTED(f) {#f, f}
const std::pair<const char *, bool (*)()> kAccepted[] = {
    ACCEPTED(IsCalibrationDataFileExist), ACCEPTED(StartScanJob), ACCEPTED(EndScanJob),
    ACCEPTED(GetADFStatus), ACCEPTED(DoCancel), ACCEPTED(DoPaperFeed), ACCEPTED(GetEOPStatus),
    ACCEPTED(ResetCalibrationData), ACCEPTED(DoCalibration), ACCEPTED(DoCalibrationData),
    ACCEPTED(PrepareScan), ACCEPTED(GetMicrData), ACCEPTED(SendUltraSonicConcernArea),
    ACCEPTED(SetBatchScanParameter), ACCEPTED(Send2DConvolutionFilter), ACCEPTED(SetImprinterParameter),
    ACCEPTED(DoEjectPaperAfterScan), ACCEPTED(SendUltraSonicIgnoreLength), ACCEPTED(FlatbedTransLightSwitch),
    ACCEPTED(LampOn), ACCEPTED(LampOff), ACCEPTED(LampDim), ACCEPTED(GetLightStatus),
    ACCEPTED(ResetIntelligentMultiFeedData), ACCEPTED(ManageIntelligentMultiFeedData),
    ACCEPTED(SaveIntelligentMultiFeedState), ACCEPTED(DestroyDeviceList), ACCEPTED(SelectDevice),
    ACCEPTED(GetOperatingDeviceName)};
#undef ACCEPTED
// clang-format on

TEST_F(TracedTest, AcceptedFunctionsSucceedWithTwoLinesAndNoStatus)
{
    std::vector<std::string> expected;
    for (const auto &[name, function] : kAccepted) {
        gErrCode = 2023;
        EXPECT_TRUE(function()) << name;
        EXPECT_EQ(gErrCode, 2023u) << name;
        expected.push_back(std::string("In   1 : ") + name + " :");
        expected.push_back(std::string("Out  1 : ") + name + " :");
    }
    // GetDeviceList hands back an empty list.
    int anything = 0;
    void *list = &anything;
    uint32_t count = 99;
    EXPECT_TRUE(GetDeviceList(&list, &count));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    expected.push_back("In   1 : GetDeviceList :");
    expected.push_back("Out  1 : GetDeviceList :");
    EXPECT_EQ(testbed::traceLines(), expected);

    // Null output pointers are skipped.
    EXPECT_TRUE(GetDeviceList(nullptr, &count));
    count = 5;
    list = &anything;
    EXPECT_TRUE(GetDeviceList(&list, nullptr));
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(GetDeviceList(nullptr, nullptr));
}

} // namespace
