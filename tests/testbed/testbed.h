// Shared test bed: a virtual scanner on an emulated USB bus, and a guard for
// the driver's debug directory.
//
// Start a scanner for a test by deriving the fixture from ScannerTest:
//
//   class NvmTest : public testbed::ScannerTest {};
//   TEST_F(NvmTest, ReadsTheRecord) {
//     scanner().setNvm(...);                       // device state
//     scanner().injectCheckCondition({0x28, 0x69}, sim::makeSense(5, 0x24, 0));
//     ... call the driver (it finds 7f3c:51a4 through libusb) ...
//     auto reads = scanner().transactionsWithOpcode(sim::opcode::kRead);
//     EXPECT_EQ(reads.at(0).dataType(), 0x69);
//   }
//
// Other devices or options: OnBus (below) over the fixture, or override
// busOptions():
//
//   using TwoScanners = testbed::OnBus<testbed::ScannerTest, [](sim::BusOptions &o) {
//       o.devices.resize(2);
//       o.devices[0].refuseClaim = true;
//   }>;
//
// The bus is started in SetUp, before the test body runs libusb_init, and
// stopped in TearDown. Close every libusb handle (TerminateDriver) before the
// test ends. Every TEST runs in its own process (gtest_discover_tests), so the
// driver's process-wide state starts fresh.
//
// Tests that touch /tmp/DrvLog must contain the word DRVLOG_RESOURCE_LOCK and
// use DrvLogGuard, which saves whatever /tmp/DrvLog held and restores it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "sim/device_model.h"
#include "sim/image_source.h"
#include "sim/usb_glue.h"

namespace testbed {

class ScannerTest : public ::testing::Test {
protected:
    // Devices on the bus; the default is one standard scanner.
    virtual sim::BusOptions busOptions() const { return {}; }

    void SetUp() override;
    void TearDown() override;

    sim::VirtualScannerBus &bus() { return *bus_; }
    // The model of device `index` (state, fault injection, transcript).
    sim::DeviceModel &scanner(std::size_t index = 0) { return bus_->scanner(index); }
    std::vector<sim::Transaction> transcript(std::size_t index = 0) { return scanner(index).transcript(); }
    // The transcript as text, one transaction a line (for failure messages).
    std::string transcriptText(std::size_t index = 0);
    // The page device `index` renders for its current window; empty without one.
    std::vector<std::uint8_t> devicePage(std::size_t index = 0);

private:
    std::unique_ptr<sim::VirtualScannerBus> bus_;
};

// `Fixture` on a bus that `Configure` sets up, starting from one standard scanner.
template <class Fixture, auto Configure>
class OnBus : public Fixture {
protected:
    sim::BusOptions busOptions() const override
    {
        sim::BusOptions options;
        Configure(options);
        return options;
    }
};

// Directory of the driver's debug configuration and logs.
inline const std::filesystem::path kDrvLogDir = "/tmp/DrvLog";

// Saves /tmp/DrvLog as it is (moving it aside), gives the test an empty
// /tmp/DrvLog (or none, with createDir = false), and on destruction removes
// whatever the test left and puts the saved directory back.
class DrvLogGuard {
public:
    explicit DrvLogGuard(bool createDir = true);
    ~DrvLogGuard();
    DrvLogGuard(const DrvLogGuard &) = delete;
    DrvLogGuard &operator=(const DrvLogGuard &) = delete;

private:
    std::filesystem::path saved_;
    bool hadDir_ = false;
};

// Writes /tmp/DrvLog/Debug.conf with these lines (each ended by a newline),
// creating the directory if needed. Returns false if the file cannot be written.
bool writeDebugConf(const std::vector<std::string> &lines);

// The lines of a text file without their line ends ("\n" or "\r\n"); empty if
// the file does not exist.
std::vector<std::string> readLines(const std::filesystem::path &path);

// The lines of a trace file in /tmp/DrvLog (the main log by default).
std::vector<std::string> traceLines(const char *file = "vemoDll.txt");

// Block `block` of the expected-output file tests/data/`file`: the lines after
// the header line "[block]" up to the next header. Lines starting with '#' are
// comments.
std::vector<std::string> golden(const std::string &file, const std::string &block);

// `expected` appear in `lines` in this order (other lines may stand between).
::testing::AssertionResult containsInOrder(const std::vector<std::string> &lines,
                                           const std::vector<std::string> &expected);
bool hasLine(const std::vector<std::string> &lines, const std::string &line);
bool hasLineStartingWith(const std::vector<std::string> &lines, const std::string &prefix);

// The whole content of a file; empty if it does not exist.
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path &path);

// A shell command's standard output, runs of spaces as one.
std::string commandOutput(const std::string &command);

// A 10-byte command block that starts with `head` and is zero after it, to
// compare with Transaction::command.
std::vector<std::uint8_t> commandBlock(std::initializer_list<std::uint8_t> head);

// The bytes of an object, e.g. a packed record compared whole.
std::vector<std::uint8_t> bytesOf(const void *data, std::size_t size);

// A window descriptor as the scanner reads it: resolution, composition, bits
// per pixel, bytes per line, lines and upper-left Y; every other byte 0.
std::array<std::uint8_t, sim::kWindowDescriptorSize>
windowDescriptor(unsigned dpi, std::uint8_t composition, std::uint8_t bits, std::uint32_t bytesPerLine,
                 std::uint16_t lines, std::uint32_t top = 0);

} // namespace testbed
