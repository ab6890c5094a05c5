// Virtual scanner: the USB glue.
//
// Puts virtual scanners on an emulated USB bus under umockdev, so that the
// unmodified system libusb enumerates, opens, claims and transfers as it would
// on hardware. Each device is a sysfs entry (idVendor, idProduct, busnum,
// devnum, speed, bConfigurationValue, descriptors) plus a /dev/bus/usb/BBB/DDD
// node whose usbfs ioctls (SUBMITURB, REAPURBNDELAY, DISCARDURB,
// CLAIMINTERFACE, SETCONFIGURATION, GET_CAPABILITIES, ...) are served by a
// handler in this process that feeds a DeviceModel.
//
// Requirements: the umockdev preload (libumockdev-preload.so.0) must be in the
// process before libusb runs: link it in (the test executables do) or set
// LD_PRELOAD. Start the bus before the first libusb_init, and close every
// libusb handle and context before stopping it. One bus per process.
//
//   sim::VirtualScannerBus bus;            // one standard scanner
//   if (!bus.start(&error)) ...            // error says why (e.g. no preload)
//   bus.scanner().pressButton(3);          // the model, for state and faults
//   ... libusb / the driver talk to 7f3c:51a4 on bus 001 ...
//   bus.unplug();                          // the device goes away
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/device_model.h"

namespace sim {

// One device on the bus.
struct DeviceOptions {
    std::uint16_t vendorId = kVendorId;
    std::uint16_t productId = kProductId;
    InquiryProfile profile = InquiryProfile::standard();
    // Pipes that interface 0 lists (an omitted pipe is absent from the
    // descriptors and its endpoint refuses transfers).
    bool bulkIn = true;      // endpoint 0x81
    bool bulkOut = true;     // endpoint 0x02
    bool interruptIn = true; // endpoint 0x83, 8 bytes
    // Active configuration at start: 1 is the scanner's; 0 unconfigured; 2 a
    // second configuration whose interface 0 has no endpoints.
    std::uint8_t activeConfiguration = 1;
    // CLAIMINTERFACE answers EBUSY, as if another program had the device.
    bool refuseClaim = false;
    unsigned speedMbps = 480;
    std::string manufacturer = "VSCAN";
    std::string product = "VS2550 Virtual Scanner";
    std::string serial = "VS0000001";
};

struct BusOptions {
    // Devices in the order libusb lists them; device i gets device number
    // i + 2 on bus 1 (path /dev/bus/usb/001/00N).
    std::vector<DeviceOptions> devices{DeviceOptions{}};
};

// URB counters of one device (for rate measurements and assertions).
struct UrbStats {
    std::uint64_t submitted = 0;
    std::uint64_t reaped = 0;
    std::uint64_t discarded = 0;
    std::uint64_t bytesIn = 0;  // bulk and interrupt data delivered to the host
    std::uint64_t bytesOut = 0; // bulk data received from the host
    std::uint64_t retries = 0;  // reaps answered "try again" (nothing finished)
};

class VirtualScannerBus {
public:
    explicit VirtualScannerBus(BusOptions options = {});
    ~VirtualScannerBus();
    VirtualScannerBus(const VirtualScannerBus &) = delete;
    VirtualScannerBus &operator=(const VirtualScannerBus &) = delete;

    // Creates the umockdev test bed with the devices. False (and a reason in
    // *error) when the preload is missing, another bus runs, or umockdev fails.
    bool start(std::string *error = nullptr);
    // Tears the test bed down. Close libusb handles first: if some are still
    // open, the devices are unplugged instead (their transfers end with "no
    // device") and the test bed stays in place until the process ends.
    void stop();
    bool running() const;

    std::size_t deviceCount() const;
    // The device model behind device `index` (state, faults, transcript).
    DeviceModel &scanner(std::size_t index = 0);
    const DeviceOptions &options(std::size_t index = 0) const;
    unsigned busNumber() const { return 1; }
    unsigned deviceNumber(std::size_t index = 0) const;
    std::string devicePath(std::size_t index = 0) const; // "/dev/bus/usb/001/002"
    std::string rootDir() const;                         // the test bed's directory

    // The device disappears: transfers in flight end with "no device", every
    // later ioctl fails with ENODEV, the sysfs entry and node are removed and a
    // "remove" uevent is sent. Also happens when the model unplugs itself.
    void unplug(std::size_t index = 0);
    bool unplugged(std::size_t index = 0) const;

    void setRefuseClaim(std::size_t index, bool refuse);
    // Whether some opened handle holds interface 0 of the device.
    bool claimed(std::size_t index = 0) const;
    // Opened handles (usbfs file descriptors) of the device.
    unsigned openHandles(std::size_t index = 0) const;
    std::uint8_t activeConfiguration(std::size_t index = 0) const;
    UrbStats stats(std::size_t index = 0) const;

    struct Device; // internal

private:
    BusOptions options_;
    struct State;
    std::shared_ptr<State> state_;
};

// Removes the folder (/tmp/umockdev.*) of the test bed this process started
// and has not torn down, if any. Async-signal-safe, so that a signal handler
// that ends the process can call it; also runs at exit, for a bus that could
// not be stopped (handles left open) or a process that exits without stopping.
void removeTestbedFiles() noexcept;

// True when the umockdev preload library is loaded in this process.
bool preloadPresent();

// Re-executes the running program (/proc/self/exe) with the umockdev preload
// appended to LD_PRELOAD (after a shared AddressSanitizer runtime, which must
// stay first), once. Returns only when that is not possible (the preload is
// present already, the program was re-executed before, or exec failed).
//
//   int main(int argc, char** argv) {
//     if (wantVirtual && !sim::preloadPresent()) sim::reexecWithPreload(argv);
//     sim::VirtualScannerBus bus;
//     if (!bus.start(&error)) ...   // still no preload: report it
//   }
bool reexecWithPreload(char **argv);

} // namespace sim
