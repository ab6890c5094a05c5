// Shared test bed: a virtual scanner on an emulated USB bus (ScannerTest), and
// a guard for the driver's debug directory (DrvLogGuard). For example:
//
//   class NvmTest : public testbed::ScannerTest {};
//   TEST_F(NvmTest, ReadsTheRecord) {
//     scanner().injectCheckCondition({0x28, 0x69}, sim::makeSense(5, 0x24, 0));
//     ... call the driver (it finds 7f3c:51a4 through libusb) ...
//   }
//
// Other devices or options: override busOptions(), or use OnBus (below). The
// bus runs from SetUp to TearDown: close every libusb handle (TerminateDriver)
// before the test ends. Every TEST runs in its own process. Tests that touch
// /tmp/DrvLog contain the word DRVLOG_RESOURCE_LOCK and use DrvLogGuard.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

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

// `Fixture` on a bus that `Configure` sets up, starting from one standard scanner:
//   using TwoScanners = testbed::OnBus<testbed::ScannerTest, [](sim::BusOptions &o) { o.devices.resize(2); }>;
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

// Moves /tmp/DrvLog aside and gives the test an empty one (or none, with
// createDir = false); on destruction removes what the test left and restores it.
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

// Writes these lines to /tmp/DrvLog/Debug.conf (making the folder); false on failure.
bool writeDebugConf(const std::vector<std::string> &lines);

// The lines of a text file without their ends ("\n" or "\r\n"); none without the file.
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

// `value` in the `bytes` bytes from `at`, most significant first.
void putBigEndian(std::uint8_t *at, std::uint32_t value, std::size_t bytes);

// The bytes of an object, e.g. a packed record compared whole.
std::vector<std::uint8_t> bytesOf(const void *data, std::size_t size);

// A window descriptor as the scanner reads it: resolution, composition, bits
// per pixel, bytes per line, lines and upper-left Y; every other byte 0.
std::array<std::uint8_t, sim::kWindowDescriptorSize>
windowDescriptor(unsigned dpi, std::uint8_t composition, std::uint8_t bits, std::uint32_t bytesPerLine,
                 std::uint16_t lines, std::uint32_t top = 0);

} // namespace testbed
