// The entry points of the virtual scanner module (see tools/virtual_module.h).
// Nothing thrown inside leaves through them.
#include "tools/virtual_module.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "sim/usb_glue.h"

#define DOCSCAN_VIRTUAL_EXPORT __attribute__((visibility("default")))

namespace {

void SetError(char *error, size_t errorSize, const std::string &text)
{
    if (error != nullptr && errorSize > 0) std::snprintf(error, errorSize, "%s", text.c_str());
}

bool Given(const char *text) { return text != nullptr && *text != '\0'; }

std::unique_ptr<sim::VirtualScannerBus> StartBus(const DocscanVirtualOptions &options, std::string *error)
{
    std::shared_ptr<const sim::PicturePaper> paper;
    if (Given(options.paper)) {
        std::string why;
        paper = sim::loadPngPaper(options.paper, 300, &why);
        if (paper == nullptr) {
            *error = std::string("--paper ") + options.paper + ": " + why;
            return nullptr;
        }
    }
    // The front end's virtual scanner has the three push buttons, so that
    // `docscan buttons` has something to listen to.
    sim::DeviceOptions device;
    device.profile = sim::InquiryProfile::withButtons();
    sim::BusOptions bus;
    bus.devices = {device};
    auto scanners = std::make_unique<sim::VirtualScannerBus>(bus);
    // The model is set up before the emulated bus exists, so that a refused
    // file leaves nothing behind.
    sim::DeviceModel &model = scanners->scanner();
    std::string why;
    if (Given(options.nvmFile) && !model.setNvmFile(options.nvmFile, &why)) {
        *error = std::string("--nvm-file ") + options.nvmFile + ": " + why;
        return nullptr;
    }
    if (paper != nullptr) model.setImageSource(paper);
    for (size_t i = 0; options.buttonCodes != nullptr && i < options.buttonCount; ++i) {
        model.pressButton(static_cast<uint8_t>(options.buttonCodes[i]));
    }
    if (!scanners->start(&why)) {
        *error = "the virtual scanner did not start: " + why;
        return nullptr;
    }
    return scanners;
}

} // namespace

extern "C" {

DOCSCAN_VIRTUAL_EXPORT void *docscan_virtual_start(const DocscanVirtualOptions *options, char *error,
                                                   size_t errorSize)
{
    SetError(error, errorSize, "");
    if (options == nullptr) {
        SetError(error, errorSize, "no options for the virtual scanner");
        return nullptr;
    }
    try {
        std::string why;
        std::unique_ptr<sim::VirtualScannerBus> bus = StartBus(*options, &why);
        if (bus == nullptr) SetError(error, errorSize, why);
        return bus.release();
    } catch (const std::exception &failure) {
        SetError(error, errorSize, std::string("the virtual scanner failed: ") + failure.what());
    } catch (...) {
        SetError(error, errorSize, "the virtual scanner failed");
    }
    return nullptr;
}

DOCSCAN_VIRTUAL_EXPORT void docscan_virtual_stop(void *bus)
{
    std::unique_ptr<sim::VirtualScannerBus> owned(static_cast<sim::VirtualScannerBus *>(bus));
    try {
        if (owned) owned->stop();
    } catch (...) {
        // Stopping is best effort; the test bed goes with the process.
    }
}

DOCSCAN_VIRTUAL_EXPORT int docscan_virtual_running(const void *bus)
{
    return bus != nullptr && static_cast<const sim::VirtualScannerBus *>(bus)->running() ? 1 : 0;
}

} // extern "C"
