// One docscan run against the driver: load it, bring it up, find the scanner
// (a real one, or the virtual one when --virtual asks for it), shut it down.
#ifndef DOCSCAN_TOOLS_SESSION_H
#define DOCSCAN_TOOLS_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/driver.h"
#include "tools/virtual.h"

namespace docscan_cli {

// Exit codes of docscan.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,     // the driver or the scanner reported a failure
    kExitUsage = 2,       // the command line was wrong
    kExitEnvironment = 3, // driver library, virtual scanner or output file not usable
    kExitCancelled = 130, // the user pressed Ctrl-C
};

struct GlobalOptions {
    bool virtualScanner = false; // --virtual
    bool realOnly = false;       // --no-virtual / --device (the default; excludes --virtual)
    bool json = false;           // --json
    bool quiet = false;          // --quiet
    std::string paper;           // --paper FILE.png
    std::vector<int> presses;    // --press LIST (virtual scanner)
    std::string nvmFile;         // --nvm-file FILE (virtual scanner)
};

// The program's own arguments, kept for running it again under the preload.
void SetProgramArguments(char **argv);

class Session {
public:
    explicit Session(const GlobalOptions &options) : options_(options) {}
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // InitializeDriver and InitializeScanner. Returns kExitOk, or an exit
    // code after reporting the failure (its status code in words).
    int Open(const char *command);

    Driver &driver() { return driver_; }
    bool isVirtual() const { return virtual_.running(); }

    // Reports a failed driver call with the current status code; returns kExitFailure.
    int Fail(const char *function);
    // Reports a failure without a status code; returns `code`.
    int FailPlain(const std::string &message, int code);

    // TerminateDriver (also done by the destructor). Returns false on failure.
    bool Close();

private:
    // No scanner answered and none was asked to stand in: says so; returns kExitFailure.
    int NoScanner();
    bool StartVirtual(std::string *error);

    GlobalOptions options_;
    Driver driver_;
    VirtualScanner virtual_;
    const char *command_ = "";
    bool driverUp_ = false;
};

} // namespace docscan_cli

#endif
