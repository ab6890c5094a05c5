// Driver lifecycle and device bracket: results, status codes, their order,
// and the trace the functions and the transport below them write.
//
// DRVLOG_RESOURCE_LOCK: the trace tests write /tmp/DrvLog/Debug.conf and read
// vemoDll.txt under the test bed's log guard. The expected blocks of trace are
// in tests/data/lifecycle.trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "scan/scan.h"
#include "testbed/driver_test.h"
#include "transport/usbio_linux_10.h"
#include "transport/usbio_linux_libusb_10.h"

namespace {

using Lines = std::vector<std::string>;
using testbed::golden;

constexpr const char *kTrace = "lifecycle.trace";

// The driver is brought up by each test; without a trace unless asked for.
class LifecycleTest : public testbed::DriverTest {
protected:
    bool connectInSetUp() const override { return false; }
    static Lines Log() { return testbed::traceLines(); }
};

// The entry and exit lines ("In   ..." / "Out  ...") of the log, in order.
Lines FrameLines(const Lines &log)
{
    Lines frames;
    for (const std::string &line : log)
        if (line.rfind("In   ", 0) == 0 || line.rfind("Out  ", 0) == 0) frames.push_back(line);
    return frames;
}

// The lines from the first one equal to `first` through the next one equal to `last`.
Lines Between(const Lines &log, const std::string &first, const std::string &last)
{
    const auto begin = std::find(log.begin(), log.end(), first);
    if (begin == log.end()) return {};
    const auto end = std::find(begin, log.end(), last);
    return Lines(begin, end == log.end() ? end : end + 1);
}

const auto Has = testbed::hasLine;
const auto HasPrefix = testbed::hasLineStartingWith;
const auto InOrder = testbed::containsInOrder;

template <auto Configure>
using LifecycleBusTest = testbed::OnBus<LifecycleTest, Configure>;

// Another device of the same vendor only.
using NoScannerTest = LifecycleBusTest<[](sim::BusOptions &o) { o.devices[0].productId = 0x0001; }>;

// ---- Results and status codes -----------------------------------------------

TEST_F(LifecycleTest, InitializeDriverOpensLibusbInitializeScannerReadsTheInquiryResetScannerRunsBoth)
{
    std::memset(&NewParam, 0xAB, sizeof NewParam);
    std::memset(&OldParam, 0xCD, sizeof OldParam);
    gErrCode = 2023;
    EXPECT_TRUE(InitializeDriver());
    EXPECT_EQ(gErrCode, 0u);
    const tagScanParameter zero{};
    EXPECT_EQ(std::memcmp(&NewParam, &zero, sizeof zero), 0);
    EXPECT_EQ(std::memcmp(&OldParam, &zero, sizeof zero), 0);
    EXPECT_TRUE(pNxLibUsb.blOpened);
    EXPECT_NE(pNxLibUsb.pContext, nullptr);
    EXPECT_EQ(pNxLibUsb.hDevice, nullptr);
    EXPECT_EQ(scanner().transactionCount(), 0u);

    EXPECT_TRUE(InitializeScanner());
    EXPECT_EQ(gErrCode, 0u);
    const std::vector<uint8_t> inquiry = scanner().inquiry();
    ASSERT_EQ(inquiry.size(), 165u);
    EXPECT_EQ(std::memcmp(InquiryData.Data, inquiry.data(), 165), 0);
    const auto t = transcript();
    ASSERT_EQ(t.size(), 2u) << transcriptText();
    EXPECT_EQ(t[0].opcode(), 0x12);
    EXPECT_EQ(t[1].opcode(), 0x12);
    EXPECT_TRUE(bus().claimed(0));

    std::memset(InquiryData.Data, 0, sizeof InquiryData.Data);
    gErrCode = 2023;
    EXPECT_TRUE(ResetScanner());
    EXPECT_EQ(gErrCode, 0u);
    EXPECT_EQ(std::memcmp(InquiryData.Data, inquiry.data(), 165), 0);
    EXPECT_EQ(scanner().transactionsWithOpcode(0x12).size(), 4u);
    EXPECT_TRUE(bus().claimed(0));
}

TEST_F(LifecycleTest, FailedInquiryLeaves162AndTheDeviceOpen)
{
    scanner().injectCheckCondition({0x12, -1, 2}, sim::makeSense(0x04, 0x00, 0x00));
    ASSERT_TRUE(InitializeDriver());
    EXPECT_FALSE(InitializeScanner());
    EXPECT_EQ(gErrCode, 162u) << "stored over the sense code 2004";
    EXPECT_NE(pNxLibUsb.hDevice, nullptr);
    EXPECT_TRUE(bus().claimed(0));
    // A failed transfer, too.
    scanner().injectTransferFailure({0x12, -1, 1}, sim::Phase::DataIn, sim::TransferStatus::Stall);
    gErrCode = 0;
    EXPECT_FALSE(InitializeScanner());
    EXPECT_EQ(gErrCode, 162u);
}

TEST_F(LifecycleTest, TheBracketNeverRefusesAndStores2000DuringAScan)
{
    // Without InitializeDriver, the bracket and TerminateDriver leave the status.
    gErrCode = 2023;
    EXPECT_TRUE(StartLock());
    EndLock();
    EXPECT_TRUE(TerminateDriver());
    EXPECT_EQ(gErrCode, 2023u);
    EXPECT_FALSE(pNxLibUsb.blOpened);

    ASSERT_TRUE(InitializeDriver());
    lScanFlag = 1;
    EXPECT_TRUE(StartLock());
    EXPECT_EQ(gErrCode, 2000u);
    gErrCode = 0;
    EXPECT_TRUE(InitializeScanner());
    EXPECT_EQ(gErrCode, 2000u) << "a later success does not clear it";
    // InitializeDriver stores 2000 in its bracket, then resets to 0.
    EXPECT_TRUE(InitializeDriver());
    EXPECT_EQ(gErrCode, 0u);
}

// Initialising again, with or without terminating in between, keeps one
// libusb context and one opened scanner: the process's descriptors stay flat.
TEST_F(LifecycleTest, RepeatedInitializationKeepsOneContextAndDeviceAndTerminateReleasesThem)
{
    auto descriptors = [] {
        size_t n = 0;
        for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    ASSERT_TRUE(InitializeDriver());
    ASSERT_TRUE(InitializeScanner());
    const size_t before = descriptors();
    for (int pair = 0; pair < 50; ++pair) {
        if (pair % 2 == 1) {
            ASSERT_TRUE(TerminateDriver());
        }
        ASSERT_TRUE(InitializeDriver());
        ASSERT_TRUE(InitializeScanner());
    }
    EXPECT_EQ(descriptors(), before);
    EXPECT_EQ(bus().openHandles(0), 1u);
    EXPECT_TRUE(bus().claimed(0));
    EXPECT_TRUE(TerminateDriver());
    EXPECT_FALSE(bus().claimed(0));
    EXPECT_EQ(pNxLibUsb.hDevice, nullptr);
    EXPECT_EQ(pNxLibUsb.pContext, nullptr);
    EXPECT_FALSE(pNxLibUsb.blOpened);
}

// ---- Trace ------------------------------------------------------------------

// Each level adds its lines: 1 none, 2 the exported functions, 3 the bracket
// and the transport, 4 the USB layer, 5 the found device.
TEST_F(LifecycleTest, EachTraceLevelAddsItsLines)
{
    for (unsigned level = 1; level <= 5; ++level) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(initializeDriverAtLevel(level));
        ASSERT_TRUE(InitializeScanner());
        ASSERT_TRUE(TerminateDriver());
        // Null arguments of the USB layer are logged as EINVAL.
        EXPECT_EQ(pNxLibUsb.CreateDeviceHandle(nullptr), nullptr);
        pNxLibUsb.CloseDeviceHandle(nullptr);
        const Lines log = Log();
        std::filesystem::remove(testbed::kDrvLogDir / "vemoDll.txt");
        EXPECT_EQ(log.empty(), level == 1);
        EXPECT_EQ(Has(log, "In   1 : StartLock :"), level >= 3);
        EXPECT_EQ(HasPrefix(log, "In   1 : NxLibUsb::"), level >= 4);
        EXPECT_EQ(Has(log, "Find New Device!"), level >= 5);
        if (level == 2) {
            EXPECT_EQ(FrameLines(log), golden(kTrace, "level2"));
        } else if (level == 3) {
            EXPECT_EQ(Between(log, "In   1 : InitializeDriver :", "Out  1 : InitializeDriver :"),
                      golden(kTrace, "level3-initialize-driver"));
            EXPECT_TRUE(InOrder(log, golden(kTrace, "level3-initialize-scanner")));
        } else if (level == 4) {
            EXPECT_TRUE(InOrder(log, golden(kTrace, "level4-usb")));
            EXPECT_TRUE(InOrder(log, golden(kTrace, "level4-null-arguments")));
            EXPECT_TRUE(HasPrefix(log, "Out  1 : NxLibUsb::Open() : pContext = 0x"));
            EXPECT_TRUE(HasPrefix(log, "ListDevice = 0x"));
            EXPECT_TRUE(HasPrefix(log, "Out  1 : NxLibUsb::CreateDeviceHandle() : hRet = 0x"));
            EXPECT_FALSE(Has(log, "Warning: Interrupt End Point is missing..."));
        } else if (level == 5) {
            EXPECT_TRUE(InOrder(log, {"Out  1 : FindScanner :", "Find New Device!", "In   1 : Inquiry :"}));
        }
    }
    // The configuration file is gone now; the level read before stays, and
    // the entry line shows the missing file.
    ASSERT_TRUE(InitializeDriver()) << "the libusb context opens all the same";
    EXPECT_TRUE(InOrder(Log(), {"In   0 : InitializeDriver :", "Out  1 : InitializeDriver :"}));
}

TEST_F(NoScannerTest, MissingScannerLeaves2019AndShowsInTheExitLines)
{
    ASSERT_TRUE(initializeDriverAtLevel(3));
    EXPECT_FALSE(InitializeScanner());
    EXPECT_EQ(gErrCode, 2019u);
    EXPECT_EQ(bus().openHandles(0), 0u);
    // The context stays; a command finds no scanner either.
    EXPECT_NE(pNxLibUsb.pContext, nullptr);
    EXPECT_FALSE(ReserveUnit());
    EXPECT_EQ(gErrCode, 2023u);
    ASSERT_TRUE(TerminateDriver());
    gErrCode = 0;
    EXPECT_FALSE(ResetScanner());
    EXPECT_EQ(gErrCode, 2019u);
    EXPECT_TRUE(pNxLibUsb.blOpened) << "the driver itself came up";
    EXPECT_TRUE(InOrder(Log(), golden(kTrace, "no-scanner")));
}

// A transfer that fails in any phase gives 2023 without asking for sense,
// leaves the device open, and is logged phase by phase.
TEST_F(LifecycleTest, FailedTransferPhasesGive2023KeepTheDeviceAndAreLogged)
{
    ASSERT_TRUE(initializeDriverAtLevel(4));
    ASSERT_TRUE(InitializeScanner());
    scanner().injectTransferFailure({0x16, -1, 1}, sim::Phase::Command, sim::TransferStatus::Stall);
    scanner().injectTransferFailure({0x16, -1, 2}, sim::Phase::Status, sim::TransferStatus::Stall);
    scanner().injectTransferFailure({0x28, 0x69, 1}, sim::Phase::DataIn, sim::TransferStatus::IoError);
    scanner().injectTransferFailure({0x2A, 0x81, 1}, sim::Phase::DataOut, sim::TransferStatus::Stall);
    uint8_t buffer[512] = {};
    const std::function<bool()> calls[] = {ReserveUnit, ReserveUnit,
                                           [&] { return Read(buffer, 128, 0x69, 0x0A0D); },
                                           [&] { return Send(buffer, 512, 0x81, 0); }};
    const LibUsbHandleStructure *device = pNxLibUsb.hDevice;
    for (const auto &call : calls) {
        gErrCode = 0;
        EXPECT_FALSE(call());
        EXPECT_EQ(gErrCode, 2023u);
        EXPECT_EQ(pNxLibUsb.hDevice, device);
    }
    EXPECT_TRUE(scanner().transactionsWithOpcode(0x03).empty());
    EXPECT_TRUE(InOrder(Log(), golden(kTrace, "transaction-failures")));
}

} // namespace
