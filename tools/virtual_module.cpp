// The entry points of the virtual scanner module (see tools/virtual_module.h).
// Nothing thrown inside leaves through them.
#include "tools/virtual_module.h"

#include <signal.h>

#include <atomic>
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

// The bus that runs, so that stopping twice or a stale pointer does no harm.
std::atomic<sim::VirtualScannerBus *> gBus{nullptr};

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The default action of these signals ends the process: the emulation's
// files go first, then the signal takes its course.
void RemoveFilesAndRaise(int signal)
{
    sim::removeTestbedFiles();
    struct sigaction restore {};
    restore.sa_handler = SIG_DFL;
    sigemptyset(&restore.sa_mask);
    sigaction(signal, &restore, nullptr);
    raise(signal);
}

void CatchDefaultSignals()
{
    for (int signal : kCleanupSignals) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = &RemoveFilesAndRaise;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

// Puts back the default action where ours is still installed.
void ReleaseSignals()
{
    for (int signal : kCleanupSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != &RemoveFilesAndRaise) continue;
        current.sa_handler = SIG_DFL;
        sigaction(signal, &current, nullptr);
    }
}

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
    model.setTranscriptCapacity(0); // a front end runs for long: no transcript
    std::string why;
    if (Given(options.nvmFile) && !model.setNvmFile(options.nvmFile, &why)) {
        *error = std::string("--nvm-file ") + options.nvmFile + ": " + why;
        return nullptr;
    }
    if (paper != nullptr) model.setImageSource(paper);
    for (size_t i = 0; options.buttonCodes != nullptr && i < options.buttonCount; ++i) {
        model.pressButton(static_cast<uint8_t>(options.buttonCodes[i]));
    }
    CatchDefaultSignals();
    if (!scanners->start(&why)) {
        ReleaseSignals();
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
        if (bus == nullptr) {
            SetError(error, errorSize, why);
            return nullptr;
        }
        gBus = bus.get();
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
    auto *running = static_cast<sim::VirtualScannerBus *>(bus);
    if (running == nullptr || !gBus.compare_exchange_strong(running, nullptr)) return;
    std::unique_ptr<sim::VirtualScannerBus> owned(running);
    try {
        owned->stop();
    } catch (...) {
        // Stopping is best effort; the files go at exit.
    }
    ReleaseSignals();
}

DOCSCAN_VIRTUAL_EXPORT int docscan_virtual_running(const void *bus)
{
    return bus != nullptr && bus == gBus.load() && static_cast<const sim::VirtualScannerBus *>(bus)->running()
               ? 1
               : 0;
}

DOCSCAN_VIRTUAL_EXPORT void docscan_virtual_remove_files(void) { sim::removeTestbedFiles(); }

} // extern "C"
