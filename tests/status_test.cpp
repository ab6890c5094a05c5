// Status reporting and the operations accepted without device action:
// results, what reaches the caller's variables, and the trace lines.
//
// DRVLOG_RESOURCE_LOCK: the trace tests write /tmp/DrvLog/Debug.conf and read
// vemoDll.txt under testbed::DrvLogGuard.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "scan/scan.h"
#include "support/debug.h"
#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace {

using Lines = std::vector<std::string>;

// Level 2 trace switched on for the whole test (InitializeDriver reads the
// configuration; there is no scanner traffic in this file).
class TracedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testbed::writeDebugConf({"DebugLevel 2"}));
        DebugInitialize();
        // The level stays in force; without the file, test processes beside
        // this one that hold no lock do not log into the same directory.
        std::filesystem::remove(testbed::kDrvLogDir / "Debug.conf");
        std::filesystem::remove(testbed::kDrvLogDir / "vemoDll.txt");
    }
    static Lines Log() { return testbed::readLines(testbed::kDrvLogDir / "vemoDll.txt"); }

private:
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
        EXPECT_TRUE(GetScannerStatusEx(nullptr, nullptr, nullptr, &full));
        EXPECT_EQ(full, code);
        EXPECT_TRUE(GetScannerStatusEx(nullptr, nullptr, nullptr, &full));
        EXPECT_EQ(full, code) << "reading never changes the code";
    }
}

TEST(StatusReporting, NullPointerStores2005)
{
    gErrCode = 2023;
    EXPECT_TRUE(GetScannerStatus(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    gErrCode = 2023;
    EXPECT_TRUE(GetScannerStatusEx(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    uint64_t status = 0;
    GetScannerStatusEx(nullptr, nullptr, nullptr, &status);
    EXPECT_EQ(status, 2005u) << "the next query reports 2005";
    // A null pointer to GetLastStatusCode is refused the same way.
    gErrCode = 2023;
    EXPECT_TRUE(GetLastStatusCode(nullptr, nullptr));
    EXPECT_EQ(gErrCode, 2005u);
}

TEST(StatusReporting, LastStatusCodeFiltersNotReadyAnd3011)
{
    uint64_t status = 7;
    for (uint32_t hidden : {2009u, 3011u}) {
        gErrCode = hidden;
        EXPECT_TRUE(GetLastStatusCode(nullptr, &status));
        EXPECT_EQ(status, 7u) << hidden;
        EXPECT_EQ(gErrCode, hidden);
    }
    for (uint32_t shown : {0u, 113u, 2008u, 2010u, 2023u, 3012u, 64001u}) {
        gErrCode = shown;
        status = 7;
        EXPECT_TRUE(GetLastStatusCode(nullptr, &status));
        EXPECT_EQ(status, shown);
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
    EXPECT_EQ(Log(), testbed::golden("status.trace", "status-calls"));
}

struct Accepted {
    const char *name;
    bool (*function)();
};

const std::vector<Accepted> &AcceptedFunctions()
{
#define ACCEPTED(f)                                                                                          \
    Accepted { #f, f }
    static const std::vector<Accepted> functions = {
        ACCEPTED(IsCalibrationDataFileExist),
        ACCEPTED(StartScanJob),
        ACCEPTED(EndScanJob),
        ACCEPTED(GetADFStatus),
        ACCEPTED(DoCancel),
        ACCEPTED(DoPaperFeed),
        ACCEPTED(GetEOPStatus),
        ACCEPTED(ResetCalibrationData),
        ACCEPTED(DoCalibration),
        ACCEPTED(DoCalibrationData),
        ACCEPTED(PrepareScan),
        ACCEPTED(GetMicrData),
        ACCEPTED(SendUltraSonicConcernArea),
        ACCEPTED(SetBatchScanParameter),
        ACCEPTED(Send2DConvolutionFilter),
        ACCEPTED(SetImprinterParameter),
        ACCEPTED(DoEjectPaperAfterScan),
        ACCEPTED(SendUltraSonicIgnoreLength),
        ACCEPTED(FlatbedTransLightSwitch),
        ACCEPTED(LampOn),
        ACCEPTED(LampOff),
        ACCEPTED(LampDim),
        ACCEPTED(GetLightStatus),
        ACCEPTED(ResetIntelligentMultiFeedData),
        ACCEPTED(ManageIntelligentMultiFeedData),
        ACCEPTED(SaveIntelligentMultiFeedState),
        ACCEPTED(DestroyDeviceList),
        ACCEPTED(SelectDevice),
        ACCEPTED(GetOperatingDeviceName),
    };
#undef ACCEPTED
    return functions;
}

TEST_F(TracedTest, AcceptedFunctionsSucceedWithTwoLinesAndNoStatus)
{
    Lines expected;
    for (const Accepted &f : AcceptedFunctions()) {
        gErrCode = 2023;
        EXPECT_TRUE(f.function()) << f.name;
        EXPECT_EQ(gErrCode, 2023u) << f.name;
        expected.push_back(std::string("In   1 : ") + f.name + " :");
        expected.push_back(std::string("Out  1 : ") + f.name + " :");
    }
    void *list = nullptr;
    uint32_t count = 0;
    EXPECT_TRUE(GetDeviceList(&list, &count));
    expected.push_back("In   1 : GetDeviceList :");
    expected.push_back("Out  1 : GetDeviceList :");
    EXPECT_EQ(Log(), expected);
}

TEST(AcceptedOperations, GetDeviceListHandsBackAnEmptyList)
{
    int anything = 0;
    void *list = &anything;
    uint32_t count = 99;
    EXPECT_TRUE(GetDeviceList(&list, &count));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    // Null output pointers are skipped.
    EXPECT_TRUE(GetDeviceList(nullptr, &count));
    count = 5;
    list = &anything;
    EXPECT_TRUE(GetDeviceList(&list, nullptr));
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(GetDeviceList(nullptr, nullptr));
}

} // namespace
