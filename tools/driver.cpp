// dlopen wrapper for libdocscan.so.1.
#include "tools/driver.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

namespace docscan_cli {
namespace {

constexpr const char kLibraryName[] = "libdocscan.so.1";

std::vector<std::string> Candidates()
{
    std::vector<std::string> list;
#ifdef DOCSCAN_LIBRARY_DIR
    list.push_back(std::string(DOCSCAN_LIBRARY_DIR) + "/" + kLibraryName);
#endif
    const char *fromEnv = std::getenv("DOCSCAN_LIBRARY");
    if (fromEnv != nullptr && *fromEnv != '\0') list.push_back(fromEnv);
    list.push_back(kLibraryName);
    return list;
}

} // namespace

uint64_t Driver::Status() const
{
    uint64_t status = 0;
    if (GetScannerStatusEx != nullptr) GetScannerStatusEx(nullptr, nullptr, nullptr, &status);
    return status;
}

std::string DriverSearchOrder()
{
    std::string text;
#ifdef DOCSCAN_LIBRARY_DIR
    text = std::string(DOCSCAN_LIBRARY_DIR) + "/" + kLibraryName + ", then ";
#endif
    return text + "the file named by $DOCSCAN_LIBRARY, then " + kLibraryName +
           " on the dynamic linker's search path";
}

bool LoadDriver(Driver *driver, std::string *error) { return LoadDriverFrom(driver, Candidates(), error); }

bool LoadDriverFrom(Driver *driver, const std::vector<std::string> &candidates, std::string *error)
{
    std::string failures;
    for (const std::string &candidate : candidates) {
        void *handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) {
            driver->handle = handle;
            driver->path = candidate;
            break;
        }
        const char *why = dlerror();
        failures += "\n  " + (why != nullptr ? std::string(why) : candidate);
    }
    if (driver->handle == nullptr) {
        *error = std::string("cannot load the driver ") + kLibraryName + ":" + failures;
        return false;
    }

    std::string missing;
#define DOCSCAN_CLI_RESOLVE(name)                                                                            \
    driver->name = reinterpret_cast<decltype(&::name)>(dlsym(driver->handle, #name));                        \
    if (driver->name == nullptr) missing += std::string(missing.empty() ? "" : ", ") + #name;
    DOCSCAN_CLI_FUNCTIONS(DOCSCAN_CLI_RESOLVE)
#undef DOCSCAN_CLI_RESOLVE
    if (!missing.empty()) {
        *error = "the driver " + driver->path + " does not export: " + missing;
        dlclose(driver->handle);
        *driver = Driver{};
        return false;
    }
    return true;
}

} // namespace docscan_cli
