// Bringing the driver up and down for one docscan run.
#include "tools/session.h"

#include <cstdio>

#include "tools/report.h"
#include "tools/statuscodes.h"

namespace docscan_cli {
namespace {

char **gProgramArguments = nullptr;

constexpr uint64_t kNoScanner = DOCSCAN_STATUS_NO_SCANNER;

} // namespace

void SetProgramArguments(char **argv) { gProgramArguments = argv; }

Session::~Session() { Close(); }

bool Session::Close()
{
    if (!driverUp_) return true;
    driverUp_ = false;
    return driver_.TerminateDriver();
}

int Session::FailPlain(const std::string &message, int code)
{
    if (options_.json) {
        std::printf("{\"ok\":false,\"command\":%s,\"error\":%s}\n", JsonString(command_).c_str(),
                    JsonString(message).c_str());
    } else {
        std::fprintf(stderr, "docscan %s: %s\n", command_, message.c_str());
    }
    return code;
}

int Session::Fail(const char *function)
{
    const uint64_t status = driver_.Status();
    const std::string message = std::string(function) + " failed";
    if (options_.json) {
        std::printf("{\"ok\":false,\"command\":%s,\"error\":%s,\"status\":%llu,\"status_text\":%s%s}\n",
                    JsonString(command_).c_str(), JsonString(message).c_str(),
                    static_cast<unsigned long long>(status), JsonString(StatusWords(status)).c_str(),
                    status == kNoScanner ? ",\"found\":false" : "");
    } else {
        std::fprintf(stderr, "docscan %s: %s: status %s\n", command_, message.c_str(),
                     DescribeStatus(status).c_str());
    }
    return kExitFailure;
}

bool Session::StartVirtual(std::string *error)
{
    VirtualOptions virtualOptions;
    virtualOptions.paper = options_.paper;
    virtualOptions.presses = options_.presses;
    virtualOptions.nvmFile = options_.nvmFile;
    return virtual_.Start(virtualOptions, error);
}

int Session::Open(const char *command)
{
    command_ = command;
    std::string error;
    if (options_.virtualScanner) {
        // A missing module is reported here, not after running again.
        if (!virtual_.Load(&error)) return FailPlain(error, kExitEnvironment);
        if (!PreloadInProcess()) {
            return FailPlain(ReexecUnderPreload(gProgramArguments, {}), kExitEnvironment);
        }
        // The emulated bus must exist before libusb looks at it.
        if (!StartVirtual(&error)) return FailPlain(error, kExitEnvironment);
    }
    if (!LoadDriver(&driver_, &error)) return FailPlain(error, kExitEnvironment);
    if (!driver_.InitializeDriver()) return Fail("InitializeDriver");
    driverUp_ = true;
    if (driver_.InitializeScanner()) {
        const bool virtualOnly =
            !options_.paper.empty() || !options_.presses.empty() || !options_.nvmFile.empty();
        if (virtualOnly && !isVirtual()) {
            std::fprintf(stderr,
                         "docscan %s: --paper, --press and --nvm-file are ignored: a real scanner answered\n",
                         command_);
        }
        return kExitOk;
    }
    // Never a silent switch to the virtual scanner: a test chart must not pass
    // for a page off the glass.
    if (driver_.Status() == kNoScanner && !isVirtual()) return NoScanner();
    return Fail("InitializeScanner");
}

int Session::NoScanner()
{
    const char *message = "no scanner found; use --virtual for the built-in virtual scanner";
    if (options_.json) {
        std::printf("{\"ok\":false,\"command\":%s,\"error\":%s,\"status\":%llu,\"found\":false}\n",
                    JsonString(command_).c_str(), JsonString(message).c_str(),
                    static_cast<unsigned long long>(kNoScanner));
    } else {
        std::fprintf(stderr, "docscan %s: %s\n", command_, message);
    }
    return kExitFailure;
}

} // namespace docscan_cli
