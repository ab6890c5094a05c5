// The driver as the front end sees it: libdocscan.so.1 loaded with dlopen and
// every exported function the front end uses resolved with dlsym.
#ifndef DOCSCAN_TOOLS_DRIVER_H
#define DOCSCAN_TOOLS_DRIVER_H

#include <cstdint>
#include <string>
#include <vector>

#include "api/scanner.h" // record types and declarations; never called directly

namespace docscan_cli {

#define DOCSCAN_CLI_FUNCTIONS(X)                                                                             \
    X(InitializeDriver)                                                                                      \
    X(InitializeScanner)                                                                                     \
    X(TerminateDriver)                                                                                       \
    X(GetScannerStatusEx)                                                                                    \
    X(GetScannerAbility)                                                                                     \
    X(GetScannerAbilityEx)                                                                                   \
    X(ReadNVMData)                                                                                           \
    X(InitializeNVM)                                                                                         \
    X(TestNVM)                                                                                               \
    X(CheckNVMData)                                                                                          \
    X(SetGammaTable)                                                                                         \
    X(SetPowerSaveTime)                                                                                      \
    X(SendPowerOffTime)                                                                                      \
    X(InitialButton)                                                                                         \
    X(ReadPushButton)                                                                                        \
    X(SetScanParameter)                                                                                      \
    X(StartScan)                                                                                             \
    X(ReadScan)                                                                                              \
    X(StopScan)                                                                                              \
    X(DoCancel)

struct Driver {
#define DOCSCAN_CLI_POINTER(name) decltype(&::name) name = nullptr;
    DOCSCAN_CLI_FUNCTIONS(DOCSCAN_CLI_POINTER)
#undef DOCSCAN_CLI_POINTER

    void *handle = nullptr;
    std::string path; // the file the library was loaded from

    // The driver's current status code (0 when it cannot be read).
    uint64_t Status() const;
};

// Loads the library: DOCSCAN_LIBRARY_DIR/libdocscan.so.1 first when the build
// defines it, then the file named by the environment variable DOCSCAN_LIBRARY,
// then "libdocscan.so.1" on the dynamic linker's search path (which starts
// with the RUNPATH of the program or module calling dlopen). Resolves every
// function in DOCSCAN_CLI_FUNCTIONS; on failure returns false and says which
// library or which function was missing in *error.
bool LoadDriver(Driver *driver, std::string *error);
// The same from the given files (or library names), tried in order.
bool LoadDriverFrom(Driver *driver, const std::vector<std::string> &candidates, std::string *error);

// Where LoadDriver looks, in order (for messages and --help).
std::string DriverSearchOrder();

} // namespace docscan_cli

#endif
