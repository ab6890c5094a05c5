// The virtual scanner inside the docscan process, and running docscan again
// under the umockdev preload when it is missing.
#include "tools/virtual.h"

#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/usb_glue.h"

namespace docscan_cli {
namespace {

struct FindLibrary {
    const char *needle;
    std::string found;
};

int MatchLibrary(struct dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<FindLibrary *>(data);
    if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, search->needle) != nullptr) {
        search->found = info->dlpi_name;
        return 1;
    }
    return 0;
}

// Path of a loaded shared object whose name contains `needle`, or "".
std::string LoadedLibrary(const char *needle) {
    FindLibrary search{needle, {}};
    dl_iterate_phdr(&MatchLibrary, &search);
    return search.found;
}

std::string AsanRuntimeInProcess() {
    std::string runtime = LoadedLibrary("libasan.so");
    if (runtime.empty()) runtime = LoadedLibrary("libclang_rt.asan");
    return runtime;
}

}  // namespace

bool PreloadInProcess() { return sim::preloadPresent(); }

std::string PreloadValue(const std::string &current, const std::string &asanRuntime) {
    std::vector<std::string> entries;
    if (!asanRuntime.empty()) entries.push_back(asanRuntime);
    // LD_PRELOAD separates entries by colons or spaces.
    std::string token;
    std::string list = current;
    for (char &c : list) {
        if (c == ':') c = ' ';
    }
    std::istringstream words(list);
    while (words >> token) {
        bool seen = false;
        for (const std::string &entry : entries) seen = seen || entry == token;
        const bool isPreload = token.find("libumockdev-preload") != std::string::npos;
        if (!seen && !isPreload) entries.push_back(token);
    }
    entries.push_back(kPreloadLibrary);
    std::string value;
    for (const std::string &entry : entries) value += (value.empty() ? "" : ":") + entry;
    return value;
}

std::string ReexecUnderPreload(char **argv, const std::vector<std::string> &extraArgs) {
    if (std::getenv(kReexecMarker) != nullptr) {
        return std::string("the umockdev preload library ") + kPreloadLibrary +
               " did not load (is the umockdev package installed?)";
    }
    const char *current = std::getenv("LD_PRELOAD");
    const std::string value = PreloadValue(current != nullptr ? current : "", AsanRuntimeInProcess());
    if (setenv("LD_PRELOAD", value.c_str(), 1) != 0 || setenv(kReexecMarker, "1", 1) != 0) {
        return std::string("cannot set the environment: ") + std::strerror(errno);
    }
    std::vector<char *> args;
    for (char **arg = argv; *arg != nullptr; ++arg) args.push_back(*arg);
    for (const std::string &extra : extraArgs) args.push_back(const_cast<char *>(extra.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    execv("/proc/self/exe", args.data());
    return std::string("cannot run docscan again under the umockdev preload: ") + std::strerror(errno);
}

// ------------------------------------------------------------ VirtualScanner

unsigned ButtonCode(int button) {
    switch (button) {
    case 1: return 3;
    case 2: return 5;
    case 3: return 6;
    default: return 0;
    }
}

struct VirtualScanner::State {
    std::unique_ptr<sim::VirtualScannerBus> bus;
};

VirtualScanner::VirtualScanner() : state_(std::make_unique<State>()) {}

VirtualScanner::~VirtualScanner() {
    if (state_->bus) state_->bus->stop();
}

bool VirtualScanner::running() const { return state_->bus != nullptr && state_->bus->running(); }

bool VirtualScanner::Start(const VirtualOptions &options, std::string *error) {
    std::shared_ptr<const sim::PicturePaper> paper;
    if (!options.paper.empty()) {
        std::string why;
        paper = sim::loadPngPaper(options.paper, 300, &why);
        if (paper == nullptr) {
            *error = "--paper " + options.paper + ": " + why;
            return false;
        }
    }
    // The virtual scanner of the front end has the three push buttons, so that
    // `docscan buttons` has something to listen to.
    sim::DeviceOptions device;
    device.profile = sim::InquiryProfile::withButtons();
    sim::BusOptions bus;
    bus.devices = {device};
    auto scanners = std::make_unique<sim::VirtualScannerBus>(bus);
    std::string why;
    if (!scanners->start(&why)) {
        *error = "the virtual scanner did not start: " + why;
        return false;
    }
    sim::DeviceModel &model = scanners->scanner();
    if (!options.nvmFile.empty() && !model.setNvmFile(options.nvmFile)) {
        scanners->stop();
        *error = "--nvm-file " + options.nvmFile + ": not a 128-byte memory image";
        return false;
    }
    if (paper != nullptr) model.setImageSource(paper);
    for (int button : options.presses) model.pressButton(static_cast<uint8_t>(ButtonCode(button)));
    state_->bus = std::move(scanners);
    return true;
}

}  // namespace docscan_cli
