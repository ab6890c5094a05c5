// The virtual scanner inside the docscan process, and running docscan again
// under the umockdev preload when it is missing. The scanner itself is in the
// virtual scanner module, loaded here with dlopen.
#include "tools/virtual.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tools/virtual_module.h"

namespace docscan_cli {
namespace {

struct FindLibrary {
    const char *needle;
    std::string found;
};

int MatchLibrary(struct dl_phdr_info *info, size_t, void *data)
{
    auto *search = static_cast<FindLibrary *>(data);
    if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, search->needle) != nullptr) {
        search->found = info->dlpi_name;
        return 1;
    }
    return 0;
}

// Path of a loaded shared object whose name contains `needle`, or "".
std::string LoadedLibrary(const char *needle)
{
    FindLibrary search{needle, {}};
    dl_iterate_phdr(&MatchLibrary, &search);
    return search.found;
}

std::string AsanRuntimeInProcess()
{
    std::string runtime = LoadedLibrary("libasan.so");
    if (runtime.empty()) runtime = LoadedLibrary("libclang_rt.asan");
    return runtime;
}

std::string SelfExecutable()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// The module's entry points, resolved once for the whole process. The module
// stays loaded until the process ends (its GLib threads must not lose their code).
struct Module {
    decltype(&docscan_virtual_start) start = nullptr;
    decltype(&docscan_virtual_stop) stop = nullptr;
    decltype(&docscan_virtual_running) running = nullptr;
    decltype(&docscan_virtual_remove_files) removeFiles = nullptr;
};

Module gModule;

} // namespace

bool PreloadInProcess() { return !LoadedLibrary("libumockdev-preload").empty(); }

std::string VirtualModulePath(const char *fromEnvironment, const std::string &selfExe)
{
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    const size_t slash = selfExe.rfind('/');
    if (slash == std::string::npos) return kVirtualModule;
    // Beside the program in the build tree; installed, in the private folder
    // found from the program's own folder (relocated trees), else where it
    // was installed.
    const std::string folder = selfExe.substr(0, slash + 1);
    std::vector<std::string> candidates{folder + kVirtualModule};
#if defined(DOCSCAN_MODULE_DIR_FROM_BIN) && defined(DOCSCAN_MODULE_DIR)
    candidates.push_back(folder + DOCSCAN_MODULE_DIR_FROM_BIN + "/" + kVirtualModule);
    candidates.push_back(std::string(DOCSCAN_MODULE_DIR) + "/" + kVirtualModule);
#endif
    for (const std::string &candidate : candidates) {
        if (access(candidate.c_str(), F_OK) == 0) return candidate;
    }
    return candidates.front();
}

std::string PreloadValue(const std::string &current, const std::string &asanRuntime)
{
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

std::string ReexecUnderPreload(char **argv, const std::vector<std::string> &extraArgs)
{
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

unsigned ButtonCode(int button)
{
    switch (button) {
    case 1: return 3;
    case 2: return 5;
    case 3: return 6;
    default: return 0;
    }
}

struct VirtualScanner::State {
    void *bus = nullptr;
};

VirtualScanner::VirtualScanner() : state_(std::make_unique<State>()) {}

VirtualScanner::~VirtualScanner() { Stop(); }

void VirtualScanner::Stop()
{
    if (state_->bus != nullptr) gModule.stop(state_->bus);
    state_->bus = nullptr;
}

void RemoveVirtualScannerFiles()
{
    if (gModule.removeFiles != nullptr) gModule.removeFiles();
}

bool VirtualScanner::running() const { return state_->bus != nullptr && gModule.running(state_->bus) != 0; }

bool VirtualScanner::Load(std::string *error)
{
    return Load(VirtualModulePath(std::getenv(kVirtualModuleVariable), SelfExecutable()), error);
}

bool VirtualScanner::Load(const std::string &path, std::string *error)
{
    if (gModule.start != nullptr) return true;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = "cannot load the virtual scanner module (it needs the umockdev package; $" +
                 std::string(kVirtualModuleVariable) + " may name it): " + (why != nullptr ? why : path);
        return false;
    }
    Module module;
    module.start = reinterpret_cast<decltype(module.start)>(dlsym(handle, "docscan_virtual_start"));
    module.stop = reinterpret_cast<decltype(module.stop)>(dlsym(handle, "docscan_virtual_stop"));
    module.running = reinterpret_cast<decltype(module.running)>(dlsym(handle, "docscan_virtual_running"));
    module.removeFiles =
        reinterpret_cast<decltype(module.removeFiles)>(dlsym(handle, "docscan_virtual_remove_files"));
    if (module.start == nullptr || module.stop == nullptr || module.running == nullptr ||
        module.removeFiles == nullptr) {
        *error = "the virtual scanner module " + path + " lacks its entry points";
        dlclose(handle);
        return false;
    }
    gModule = module;
    return true;
}

bool VirtualScanner::Start(const VirtualOptions &options, std::string *error)
{
    if (!Load(error)) return false;
    std::vector<unsigned> codes;
    for (int button : options.presses) codes.push_back(ButtonCode(button));
    DocscanVirtualOptions moduleOptions{};
    moduleOptions.paper = options.paper.c_str();
    moduleOptions.buttonCodes = codes.data();
    moduleOptions.buttonCount = codes.size();
    moduleOptions.nvmFile = options.nvmFile.c_str();
    char why[512] = "";
    void *bus = gModule.start(&moduleOptions, why, sizeof why);
    if (bus == nullptr) {
        *error = why[0] != '\0' ? why : "the virtual scanner did not start";
        return false;
    }
    state_->bus = bus;
    return true;
}

} // namespace docscan_cli
