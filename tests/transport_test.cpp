// The driver's lifecycle and its USB transport against the virtual scanner:
// bring-up and shut-down with the device bracket and the trace of each level;
// the command transaction and its failures, reconnection, discovery and pipe
// handling, the button channel, and the command blocks as they appear on the
// wire.
//
// DRVLOG_RESOURCE_LOCK: the trace tests write /tmp/DrvLog/Debug.conf and read
// vemoDll.txt under the test bed's log guard. The expected blocks of trace are
// in tests/data/lifecycle.trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using testbed::golden;

const auto Block = testbed::commandBlock;
const auto Has = testbed::hasLine;
const auto HasPrefix = testbed::hasLineStartingWith;
const auto InOrder = testbed::containsInOrder;
constexpr const char *kTrace = "lifecycle.trace";

Lines Log() { return testbed::traceLines(); }

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

// The button record after a poll that delivers nothing: all zero.
void ExpectEmptyButtonPoll()
{
    uint8_t record[7];
    std::memset(record, 0xEE, sizeof record);
    EXPECT_FALSE(GetButtonStatus(record));
    EXPECT_EQ(Bytes(record, record + 7), Bytes(7, 0));
}

// The driver up and the scanner found, the transcript empty.
class TransportTest : public testbed::DriverTest {
protected:
    std::size_t CountOpcode(uint8_t opcode, std::size_t index = 0)
    {
        return scanner(index).transactionsWithOpcode(opcode).size();
    }

    // Bus indices in the order libusb lists the devices (which is the order
    // the driver tries them in).
    std::vector<std::size_t> ListOrder()
    {
        std::vector<std::size_t> order;
        libusb_context *context = nullptr;
        if (libusb_init(&context) < 0) return order;
        libusb_device **list = nullptr;
        const ssize_t count = libusb_get_device_list(context, &list);
        for (ssize_t i = 0; i < count; ++i)
            for (std::size_t index = 0; index < bus().deviceCount(); ++index)
                if (libusb_get_device_address(list[i]) == bus().deviceNumber(index)) order.push_back(index);
        if (count >= 0) libusb_free_device_list(list, 1);
        libusb_exit(context);
        return order;
    }
};

// The driver left down: each test brings up what it needs.
class BareTransportTest : public TransportTest {
protected:
    bool connectInSetUp() const override { return false; }
};

using LifecycleTest = BareTransportTest;

// ---- Bring-up, shut-down and the bracket ------------------------------------

TEST_F(LifecycleTest, BringUpReadsTheInquiryResetRunsItAgainAndAFailedInquiryLeaves162)
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

    // A failed inquiry (sense or transfer) leaves 162 and the device open.
    scanner().injectCheckCondition({0x12, -1, 2}, sim::makeSense(0x04, 0x00, 0x00));
    EXPECT_FALSE(InitializeScanner());
    EXPECT_EQ(gErrCode, 162u) << "stored over the sense code 2004";
    EXPECT_NE(pNxLibUsb.hDevice, nullptr);
    EXPECT_TRUE(bus().claimed(0));
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

// ---- Trace of each level ---------------------------------------------------

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

// ---- The transaction --------------------------------------------------------

TEST_F(TransportTest, DataPhaseFollowsTheReadLength)
{
    gErrCode = 2023; // an older failure stays after a success
    Bytes reserve = Block({0x16});
    EXPECT_TRUE(DoIo(reserve.data(), nullptr, 0, 0));
    EXPECT_EQ(gErrCode, 2023u);
    Bytes inquiry = Block({0x12, 0, 0, 0, 5});
    uint8_t buffer[16] = {};
    EXPECT_TRUE(DoIo(inquiry.data(), buffer, 5, 7));
    const auto t = transcript();
    ASSERT_EQ(t.size(), 2u) << transcriptText();
    EXPECT_EQ(t[0].command, Block({0x16}));
    EXPECT_TRUE(t[0].dataOut.empty());
    EXPECT_EQ(t[0].dataInLength, 0u);
    EXPECT_EQ(t[0].status, 0);
    EXPECT_EQ(t[1].dataInLength, 5u);
    EXPECT_TRUE(t[1].dataOut.empty());
    EXPECT_TRUE(std::equal(buffer, buffer + 5, scanner().inquiry().begin()));
    EXPECT_EQ(buffer[5], 0); // nothing past the read length
}

TEST_F(TransportTest, StatusOtherThanGoodOrCheckConditionGives2023)
{
    for (uint8_t status : std::initializer_list<uint8_t>{0x08, 0x01, 0x18, 0xFF}) {
        scanner().injectStatus({0x16, -1, 1}, status);
        gErrCode = 0;
        EXPECT_FALSE(ReserveUnit()) << int(status);
        EXPECT_EQ(gErrCode, 2023u) << int(status);
        scanner().clearFaults();
    }
    EXPECT_EQ(CountOpcode(0x03), 0u);
}

TEST_F(TransportTest, CheckConditionAsksForSenseOnceAndTranslatesIt)
{
    scanner().injectCheckCondition({0x16, -1, 1}, sim::makeSense(0x02, 0x00, 0x00));
    EXPECT_FALSE(ReserveUnit());
    EXPECT_EQ(gErrCode, 2009u);
    const auto t = transcript();
    ASSERT_EQ(t.size(), 2u) << transcriptText();
    EXPECT_EQ(t[0].status, 2);
    EXPECT_EQ(t[1].command, Block({0x03, 0, 0, 0, 22}));
    EXPECT_EQ(t[1].dataInLength, 22u);
    EXPECT_EQ(SenseData[12], 0);
    EXPECT_EQ(SenseData[2] & 0x0F, 0x02);

    // After a data phase, with vendor sense.
    scanner().injectCheckCondition({0x28, 0x69, 1}, sim::makeSense(0x04, 0x80, 0x0A));
    uint8_t record[128] = {};
    EXPECT_FALSE(Read(record, 128, 0x69, 0x0A0D));
    EXPECT_EQ(gErrCode, 64001u);

    // Sense that reports no error lets the command succeed and sets 0.
    gErrCode = 7;
    scanner().injectCheckCondition({0x16, -1, 1}, sim::makeSense(0x01, 0x00, 0x00));
    EXPECT_TRUE(ReserveUnit());
    EXPECT_EQ(gErrCode, 0u);
    EXPECT_EQ(CountOpcode(0x03), 3u);

    // A failed sense transaction leaves 2023.
    scanner().injectCheckCondition({0x16, -1, 1}, sim::makeSense(0x02, 0x00, 0x00));
    scanner().injectTransferFailure({0x03, -1, 1}, sim::Phase::DataIn, sim::TransferStatus::Stall);
    EXPECT_FALSE(ReserveUnit());
    EXPECT_EQ(gErrCode, 2023u);
}

TEST_F(TransportTest, CheckConditionOnRequestSenseDoesNotRecurse)
{
    // The sense request itself ends with check condition: its (zero-filled)
    // data is translated and no second sense request follows.
    scanner().injectCheckCondition({0x16, -1, 1}, sim::makeSense(0x02, 0x00, 0x00));
    scanner().injectCheckCondition({0x03, -1, 1}, sim::makeSense(0x05, 0x26, 0x00));
    const bool result = ReserveUnit();
    EXPECT_EQ(CountOpcode(0x03), 1u) << transcriptText();
    // The outcome is the translation of the bytes that sense request brought.
    const uint32_t code = gErrCode;
    EXPECT_EQ(ProcessSense(), result);
    EXPECT_EQ(gErrCode, code);

    // A sense request sent by the caller: check condition is its success.
    scanner().injectCheckCondition({0x03, -1, 1}, sim::makeSense(0x05, 0x26, 0x00));
    Bytes block = Block({0x03, 0, 0, 0, 22});
    uint8_t sense[22];
    gErrCode = 5;
    EXPECT_TRUE(DoIo(block.data(), sense, 22, 0));
    EXPECT_EQ(gErrCode, 5u);
}

// ---- Reconnection -----------------------------------------------------------

// FindScanner and any command open what is missing: the context, the device or
// both; a scanner that was unplugged is not found again.
TEST_F(BareTransportTest, FindScannerAndCommandsOpenWhatIsMissingButNotALostScanner)
{
    EXPECT_TRUE(CheckDevice()) << "no device yet";
    EXPECT_TRUE(FindScanner()) << "before InitializeDriver";
    EXPECT_TRUE(pNxLibUsb.blOpened);
    // Finding it again keeps one claimed record.
    EXPECT_TRUE(FindScanner());
    ASSERT_NE(pNxLibUsb.hDevice, nullptr);
    EXPECT_TRUE(pNxLibUsb.hDevice->blClaimed);
    EXPECT_TRUE(bus().claimed(0));

    ASSERT_TRUE(Terminate());
    EXPECT_FALSE(pNxLibUsb.blOpened);
    EXPECT_EQ(pNxLibUsb.pContext, nullptr);
    EXPECT_EQ(pNxLibUsb.hDevice, nullptr);
    EXPECT_FALSE(bus().claimed(0));
    EXPECT_TRUE(ReserveUnit()) << "context and device closed";
    EXPECT_TRUE(pNxLibUsb.blOpened);
    EXPECT_TRUE(bus().claimed(0));

    ASSERT_TRUE(TerminateDriver());
    ASSERT_TRUE(InitializeDriver());
    ASSERT_EQ(pNxLibUsb.hDevice, nullptr);
    ExpectEmptyButtonPoll();
    EXPECT_EQ(pNxLibUsb.hDevice, nullptr) << "the button channel does not reconnect";
    EXPECT_TRUE(ReserveUnit()) << "context open, no device";
    EXPECT_TRUE(bus().claimed(0));
    EXPECT_EQ(CountOpcode(0x16), 2u);

    bus().unplug(0);
    EXPECT_TRUE(CheckDevice());
    EXPECT_TRUE(pNxLibUsb.CheckDevice(nullptr));
    EXPECT_FALSE(ReserveUnit());
    EXPECT_EQ(gErrCode, 2023u);
    // The record stays until something terminates; the lost device is not found.
    Terminate();
    EXPECT_FALSE(ReserveUnit());
    EXPECT_EQ(gErrCode, 2023u);
    EXPECT_EQ(pNxLibUsb.hDevice, nullptr);
}

// ---- Discovery and pipes ----------------------------------------------------

using TwoScannersTest = testbed::OnBus<TransportTest, [](sim::BusOptions &o) { o.devices.resize(2); }>;

TEST_F(TwoScannersTest, FirstListedIsTakenThenTheNextClaimable)
{
    const std::vector<std::size_t> order = ListOrder();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_TRUE(bus().claimed(order[0]));
    EXPECT_EQ(bus().openHandles(order[1]), 0u);

    ASSERT_TRUE(TerminateDriver());
    scanner(order[0]).clearTranscript();
    bus().setRefuseClaim(order[0], true); // as if another program held it
    ASSERT_TRUE(InitializeDriver());
    ASSERT_TRUE(InitializeScanner());
    EXPECT_FALSE(bus().claimed(order[0]));
    EXPECT_TRUE(bus().claimed(order[1]));
    EXPECT_EQ(scanner(order[0]).transactionCount(), 0u);
    EXPECT_EQ(CountOpcode(0x12, order[1]), 2u);

    ASSERT_TRUE(TerminateDriver());
    bus().setRefuseClaim(order[1], true);
    ASSERT_TRUE(InitializeDriver());
    EXPECT_FALSE(InitializeScanner());
    EXPECT_EQ(gErrCode, 2019u);
    EXPECT_TRUE(pNxLibUsb.blOpened) << "no usable device: the context stays open";
}

// One bus and what InitializeScanner makes of it.
struct BusCase {
    const char *name;
    void (*configure)(sim::BusOptions &);
    bool taken;                                        // else refused with 2019, device 0 left as it was
    void (*check)(sim::VirtualScannerBus &) = nullptr; // afterwards; testbed::traceLines() at level 4
    int configuration = 1;                             // device 0's active configuration afterwards
    friend void PrintTo(const BusCase &c, std::ostream *os) { *os << c.name; }
};

class BusCaseTest : public BareTransportTest, public ::testing::WithParamInterface<BusCase> {
protected:
    sim::BusOptions busOptions() const override
    {
        sim::BusOptions options;
        GetParam().configure(options);
        return options;
    }
};

TEST_P(BusCaseTest, InitializeScanner)
{
    const BusCase &c = GetParam();
    ASSERT_TRUE(initializeDriverAtLevel(4));
    EXPECT_EQ(InitializeScanner(), c.taken);
    EXPECT_EQ(bus().activeConfiguration(0), c.configuration);
    if (c.taken) {
        ASSERT_NE(pNxLibUsb.hDevice, nullptr);
    } else {
        EXPECT_EQ(gErrCode, 2019u);
        EXPECT_EQ(bus().openHandles(0), 0u);
    }
    if (c.check != nullptr) c.check(bus());
}

const BusCase kBuses[] = {
    {"Standard", [](sim::BusOptions &) {}, true,
     [](sim::VirtualScannerBus &) {
         const LibUsbHandleStructure *device = pNxLibUsb.hDevice;
         EXPECT_EQ(device->nBulkInPipe, 0x81u);
         EXPECT_EQ(device->nBulkOutPipe, 0x02u);
         EXPECT_EQ(device->nInterruptInPipe, 0x83u);
         EXPECT_EQ(device->nControlPipe, 0u);
         EXPECT_EQ(device->nInterface, 0u);
         EXPECT_TRUE(device->blClaimed);
         char vendor[64] = {}, model[64] = {}, serial[128] = {};
         EXPECT_TRUE(pNxLibUsb.GetDeviceString(pNxLibUsb.hDevice, vendor, model, serial));
         EXPECT_STREQ(vendor, "VSCAN");
         EXPECT_STREQ(model, "VS2550 Virtual Scanner");
         EXPECT_STREQ(serial, "VS0000001");
         EXPECT_FALSE(pNxLibUsb.GetDeviceString(pNxLibUsb.hDevice, vendor, nullptr, serial));
         EXPECT_STREQ(pNxLibUsb.GetUsbSpeed(pNxLibUsb.hDevice), "USB 2.0");
     }},
    // Another device of the same vendor only: the context stays, a command
    // finds no scanner either, and the exit lines show it.
    {"NoScanner", [](sim::BusOptions &o) { o.devices[0].productId = 0x0001; }, false,
     [](sim::VirtualScannerBus &) {
         EXPECT_NE(pNxLibUsb.pContext, nullptr);
         EXPECT_FALSE(ReserveUnit());
         EXPECT_EQ(gErrCode, 2023u);
         ASSERT_TRUE(TerminateDriver());
         gErrCode = 0;
         EXPECT_FALSE(ResetScanner());
         EXPECT_EQ(gErrCode, 2019u);
         EXPECT_TRUE(pNxLibUsb.blOpened) << "the driver itself came up";
         EXPECT_TRUE(InOrder(Log(), golden(kTrace, "no-scanner")));
     }},
    // Refused: without bulk-in; unconfigured (no active descriptor to find the
    // pipes in); an active configuration without pipes.
    {"NoBulkIn", [](sim::BusOptions &o) { o.devices[0].bulkIn = false; }, false,
     [](sim::VirtualScannerBus &) {
         const auto log = testbed::traceLines();
         EXPECT_TRUE(testbed::containsInOrder(log, {"Bulk In Pipe Index = 0x00", "Not all pipe found"}));
         EXPECT_TRUE(testbed::hasLineStartingWith(log, "Linux return errno: "));
         EXPECT_TRUE(testbed::hasLine(log, "Out  0 : NxLibUsb::InitializeInterface() :"));
     }},
    {"Unconfigured", [](sim::BusOptions &o) { o.devices[0].activeConfiguration = 0; }, false, nullptr, 0},
    {"SecondConfiguration", [](sim::BusOptions &o) { o.devices[0].activeConfiguration = 2; }, false, nullptr,
     2},
    // Whatever the list order, a device without bulk-out comes first or last;
    // the one with both pipes is the one taken.
    {"NoBulkOut",
     [](sim::BusOptions &o) {
         o.devices.resize(3);
         o.devices[0].bulkOut = o.devices[2].bulkOut = false;
     },
     true,
     [](sim::VirtualScannerBus &bus) {
         EXPECT_TRUE(bus.claimed(1));
         EXPECT_EQ(bus.openHandles(0), 0u);
         EXPECT_EQ(bus.openHandles(2), 0u);
         EXPECT_EQ(pNxLibUsb.hDevice->nBulkOutPipe, 0x02u);
     }},
    {"NoInterruptIn", [](sim::BusOptions &o) { o.devices[0].interruptIn = false; }, true,
     [](sim::VirtualScannerBus &) {
         EXPECT_EQ(pNxLibUsb.hDevice->nInterruptInPipe, 0u);
         EXPECT_TRUE(
             testbed::containsInOrder(testbed::traceLines(), {"Interrupt in pipe index = 0x00",
                                                              "Warning: Interrupt End Point is missing..."}));
         EXPECT_TRUE(ReserveUnit());
         gErrCode = 0;
         ExpectEmptyButtonPoll();
         EXPECT_EQ(gErrCode, 0u) << "the button channel stores no status";
     }},
    {"At1Mbps", [](sim::BusOptions &o) { o.devices[0].speedMbps = 1; }, true,
     [](sim::VirtualScannerBus &) { EXPECT_STREQ(pNxLibUsb.GetUsbSpeed(pNxLibUsb.hDevice), "USB 1.1"); }},
    {"At12Mbps", [](sim::BusOptions &o) { o.devices[0].speedMbps = 12; }, true,
     [](sim::VirtualScannerBus &) { EXPECT_STREQ(pNxLibUsb.GetUsbSpeed(pNxLibUsb.hDevice), "USB 1.1"); }},
    {"At5000Mbps", [](sim::BusOptions &o) { o.devices[0].speedMbps = 5000; }, true,
     [](sim::VirtualScannerBus &) { EXPECT_STREQ(pNxLibUsb.GetUsbSpeed(pNxLibUsb.hDevice), "USB 3.0"); }},
};

INSTANTIATE_TEST_SUITE_P(Buses, BusCaseTest, ::testing::ValuesIn(kBuses),
                         [](const auto &param) { return std::string(param.param.name); });

// Endpoint rules on descriptors made by hand.
TEST(EndpointDiscovery, RecordsTheLastEndpointOfEachExactKind)
{
    using Pipes = std::vector<uint32_t>; // bulk in, bulk out, interrupt in, control
    struct Case {
        const char *what;
        uint8_t interfaceNumber, configuration;
        Pipes pipes;
        std::vector<std::pair<uint8_t, uint8_t>> endpoints;
        uint8_t interfaces = 1;
        int settings = 1;
    } cases[] = {
        // clang-format off
        {"last of a kind wins", 0, 1, {0x85, 0x06, 0x87, 0},
         {{0x81, 2}, {0x02, 2}, {0x85, 2}, {0x06, 2}, {0x83, 3}, {0x87, 3}, {0x00, 0}}},
        // Bulk and interrupt with usage/synchronisation bits set, isochronous,
        // and an interrupt-out endpoint: none is recorded.
        {"extra attribute bits", 0, 1, {0, 0, 0, 0},
         {{0x81, 0x06}, {0x02, 0x12}, {0x83, 0x13}, {0x84, 0x01}, {0x05, 0x03}, {0x06, 0x80}}},
        {"control and interface number", 3, 4, {0x81, 0x01, 0, 0x80}, {{0x80, 0}, {0x81, 2}, {0x01, 2}}},
        // Without interface 0 or its setting 0, no pipes.
        {"no interface", 0, 1, {0, 0, 0, 0}, {{0x81, 2}, {0x02, 2}}, 0},
        {"no setting", 0, 1, {0, 0, 0, 0}, {{0x81, 2}, {0x02, 2}}, 1, 0},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<libusb_endpoint_descriptor> endpoints;
        for (const auto &[address, attributes] : c.endpoints) {
            libusb_endpoint_descriptor endpoint{};
            endpoint.bEndpointAddress = address;
            endpoint.bmAttributes = attributes;
            endpoints.push_back(endpoint);
        }
        libusb_interface_descriptor setting{};
        setting.bInterfaceNumber = c.interfaceNumber;
        setting.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
        setting.endpoint = endpoints.data();
        const libusb_interface interface {
            &setting, c.settings
        };
        libusb_config_descriptor config{};
        config.bNumInterfaces = c.interfaces;
        config.bConfigurationValue = c.configuration;
        config.interface = &interface;
        LibUsbHandleStructure record{};
        EXPECT_EQ(DiscoverPipes(record, config), c.configuration);
        EXPECT_EQ(record.nInterface, c.interfaceNumber);
        EXPECT_EQ(
            Pipes({record.nBulkInPipe, record.nBulkOutPipe, record.nInterruptInPipe, record.nControlPipe}),
            c.pipes);
    }
}

TEST(NxLibUsbArguments, NullRecordsAreRefused)
{
    NxLibUsb &usb = pNxLibUsb;
    EXPECT_EQ(usb.CreateDeviceHandle(nullptr), nullptr);
    EXPECT_FALSE(usb.InitializeInterface(nullptr));
    usb.CloseDeviceHandle(nullptr);
    uint8_t byte = 0;
    EXPECT_FALSE(usb.WriteFile(nullptr, &byte, 1));
    EXPECT_FALSE(usb.ReadFile(nullptr, &byte, 1));
    EXPECT_TRUE(usb.ReadFile(nullptr, &byte, 0)) << "length 0 needs no transfer";
    EXPECT_FALSE(usb.InterruptRead(nullptr, &byte, 1));
    char a[64], b[64], c[128];
    EXPECT_FALSE(usb.GetDeviceString(nullptr, a, b, c));
    EXPECT_STREQ(usb.GetUsbSpeed(nullptr), "USB");
    // Close with nothing open only clears the flag.
    usb.blOpened = true;
    usb.Close();
    EXPECT_FALSE(usb.blOpened);
    EXPECT_EQ(usb.pContext, nullptr);
}

// ---- Button channel ---------------------------------------------------------

TEST_F(TransportTest, ButtonPacketIsHandedOnWithoutItsLastByteAndNoPressTimesOut)
{
    scanner().queueButtonPacket({0x05, 1, 2, 3, 4, 5, 6, 7});
    uint8_t record[8];
    std::memset(record, 0xEE, sizeof record);
    EXPECT_TRUE(GetButtonStatus(record));
    EXPECT_EQ(Bytes(record, record + 8), (Bytes{0x05, 1, 2, 3, 4, 5, 6, 0xEE}));

    // Nothing pressed: the poll ends after about 70 ms.
    const auto start = std::chrono::steady_clock::now();
    ExpectEmptyButtonPoll();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(60));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    EXPECT_EQ(pNxLibUsb.nLastError, LIBUSB_ERROR_TIMEOUT);
}

// ---- Command blocks on the wire ---------------------------------------------

TEST_F(TransportTest, InquiryReadsHeaderThenTheRecordCutToTheCallersLength)
{
    scanner().setDataInPieceSize(16); // data that arrives in pieces is read to the end
    uint8_t buffer[255];
    for (const uint32_t length : {165u, 100u, 3u}) {
        SCOPED_TRACE(length);
        std::memset(buffer, 0xEE, sizeof buffer);
        scanner().clearTranscript();
        EXPECT_TRUE(Inquiry(buffer, length, 0));
        const auto t = transcript();
        ASSERT_EQ(t.size(), 2u) << transcriptText();
        EXPECT_EQ(t[0].command, Block({0x12, 0, 0, 0, 5}));
        EXPECT_EQ(t[0].dataInLength, 5u);
        EXPECT_EQ(t[1].command, Block({0x12, 0, 0, 0, static_cast<uint8_t>(length)}));
        EXPECT_EQ(t[1].dataInLength, length);
        EXPECT_TRUE(std::equal(buffer, buffer + length, scanner().inquiry().begin()));
        EXPECT_EQ(buffer[length], 0xEE);
    }
    // The logical unit goes to the top bits.
    scanner().clearTranscript();
    Inquiry(buffer, 165, 7);
    ASSERT_FALSE(transcript().empty());
    EXPECT_EQ(transcript()[0].command[1], 0xE0);

    // The header's length is summed in eight bits: 253 + 5 = 258 is kept as 2;
    // 251 + 5 wraps to 0, no data phase.
    Bytes raw = scanner().inquiry();
    raw.resize(255, 0);
    for (const uint8_t additional : {uint8_t{253}, uint8_t{251}}) {
        raw[4] = additional;
        scanner().setInquiry(raw);
        scanner().clearTranscript();
        EXPECT_TRUE(Inquiry(buffer, 255, 0));
        const auto t = transcript();
        ASSERT_EQ(t.size(), 2u) << transcriptText();
        const uint8_t wrapped = static_cast<uint8_t>(additional + 5);
        EXPECT_EQ(t[1].command[4], wrapped);
        EXPECT_EQ(t[1].dataInLength, wrapped);
        EXPECT_EQ(buffer[4], additional) << "the header stays in the buffer";
    }
}

TEST_F(TransportTest, ArgumentsAreCheckedBeforeAnyTraffic)
{
    uint8_t buffer[255];
    struct Case {
        uint32_t length;
        uint8_t unit;
    };
    for (const Case c : {Case{165, 8}, Case{0, 0}, Case{256, 0}, Case{165, 255}}) {
        gErrCode = 0;
        EXPECT_FALSE(Inquiry(buffer, c.length, c.unit));
        EXPECT_EQ(gErrCode, 2005u);
    }
    EXPECT_FALSE(Inquiry(nullptr, 165, 0));
    // Lengths beyond 24 bits, and a null buffer to send.
    gErrCode = 0;
    EXPECT_FALSE(Read(buffer, 0x1000000, 0x00, 0x0A0D));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_FALSE(Send(nullptr, 4, 0xA2, 0));
    EXPECT_EQ(scanner().transactionCount(), 0u);
}

TEST_F(TransportTest, ReadAndSendCarryTypeQualifierAndA24BitLength)
{
    constexpr uint32_t kLength = 990720;
    Bytes out(kLength);
    for (uint32_t i = 0; i < kLength; ++i) out[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
    EXPECT_TRUE(Send(out.data(), kLength, 0x40, 0x0A0D));
    Bytes in(kLength, 0);
    EXPECT_TRUE(Read(in.data(), kLength, 0x40, 0x0A0D));
    EXPECT_EQ(in, out);
    const auto t = transcript();
    ASSERT_EQ(t.size(), 2u) << transcriptText();
    EXPECT_EQ(t[0].command, (Bytes{0x2A, 0, 0x40, 0, 0x0A, 0x0D, 0x0F, 0x1E, 0x00, 0}));
    EXPECT_EQ(t[1].command, (Bytes{0x28, 0, 0x40, 0, 0x0A, 0x0D, 0x0F, 0x1E, 0x00, 0}));
    EXPECT_EQ(t[1].dataInLength, kLength);
}

TEST_F(TransportTest, BlocksWithoutDataPhase)
{
    Scan(1, 0);
    Scan(1, 1);
    Scan(0, 1);
    EXPECT_TRUE(ReserveUnit());
    EXPECT_TRUE(ReleaseUnit(3));
    EXPECT_EQ(scanner().lastReleaseCode(), std::optional<uint8_t>(3));

    const auto scans = scanner().transactionsWithOpcode(0x1B);
    ASSERT_EQ(scans.size(), 3u);
    EXPECT_EQ(scans[0].command, Block({0x1B, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(scans[1].command, Block({0x1B, 0, 0, 0, 0, 0xC0}));
    EXPECT_EQ(scans[2].command, Block({0x1B, 0, 0, 0, 0, 0x40}));
    for (const auto &scan : scans) EXPECT_TRUE(scan.dataOut.empty() && scan.dataInLength == 0);
    EXPECT_EQ(scanner().transactionsWithOpcode(0x16).at(0).command, Block({0x16}));
    EXPECT_EQ(scanner().transactionsWithOpcode(0x17).at(0).command, Block({0x17, 0, 0, 0, 0, 3}));
}

} // namespace
