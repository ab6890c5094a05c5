// The virtual scanner inside the docscan process.
//
// The scanner model is served to the real libusb through umockdev, whose
// preload library must be in the process before libusb runs. The plain
// docscan binary does not carry it (so that driving real hardware needs no
// umockdev at all): when the virtual scanner is wanted and the preload is
// missing, docscan runs itself again with LD_PRELOAD naming it.
//
// The scanner model and the umockdev glue live in a module of their own
// (libdocscan-virtual.so, beside the docscan binary or named by
// $DOCSCAN_VIRTUAL_MODULE), loaded only when the virtual scanner is wanted.
#ifndef DOCSCAN_TOOLS_VIRTUAL_H
#define DOCSCAN_TOOLS_VIRTUAL_H

#include <memory>
#include <string>
#include <vector>

namespace docscan_cli {

inline constexpr const char kPreloadLibrary[] = "libumockdev-preload.so.0";
inline constexpr const char kVirtualModule[] = "libdocscan-virtual.so";
inline constexpr const char kVirtualModuleVariable[] = "DOCSCAN_VIRTUAL_MODULE";
// Set in the environment of a re-executed docscan, so that it never loops.
inline constexpr const char kReexecMarker[] = "DOCSCAN_CLI_REEXEC";

// True when the umockdev preload library is loaded in this process.
bool PreloadInProcess();

// Where the virtual scanner module is looked for: $DOCSCAN_VIRTUAL_MODULE when
// set, else kVirtualModule in the directory of this program (`selfExe`), else
// in the installed private folder (relative to `selfExe`, then absolute).
std::string VirtualModulePath(const char *fromEnvironment, const std::string &selfExe);

// The LD_PRELOAD value for running again under the preload: an AddressSanitizer
// runtime loaded in this process first (it insists on coming first), then the
// entries of `current` (without duplicates), then the preload library.
std::string PreloadValue(const std::string &current, const std::string &asanRuntime);

// Runs this program again (/proc/self/exe) with the original arguments plus
// `extraArgs`, under the preload. Returns only on failure, with the reason.
std::string ReexecUnderPreload(char **argv, const std::vector<std::string> &extraArgs);

struct VirtualOptions {
    std::string paper;        // PNG file laid on the glass; empty: the built-in test chart
    std::vector<int> presses; // buttons 1..3 pressed as soon as the scanner is there
    std::string nvmFile;      // keeps the non-volatile memory between runs; empty: none
};

// Device button code of a button number 1..3 (3, 5, 6), 0 for others.
unsigned ButtonCode(int button);

// Removes the virtual scanner's files (/tmp/umockdev.*) at once. For a signal
// handler about to end the process without unwinding: async-signal-safe. A
// process that exits or dies of SIGINT, SIGTERM or SIGHUP at their default
// action needs no call: the module removes them itself.
void RemoveVirtualScannerFiles();

// A virtual scanner on an emulated USB bus, for the life of this object.
class VirtualScanner {
public:
    VirtualScanner();
    ~VirtualScanner();
    VirtualScanner(const VirtualScanner &) = delete;
    VirtualScanner &operator=(const VirtualScanner &) = delete;

    // Loads the virtual scanner module (once). False, with the reason, when
    // it or the umockdev library it needs is missing.
    bool Load(std::string *error);
    // The same from the module file `path`.
    bool Load(const std::string &path, std::string *error);
    // Creates the emulated bus with the scanner on it (loading the module
    // first when needed). Needs the preload.
    bool Start(const VirtualOptions &options, std::string *error);
    // Takes the bus down and its files with it (also done by the destructor;
    // close the driver first). Repeated calls do nothing.
    void Stop();
    bool running() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace docscan_cli

#endif
