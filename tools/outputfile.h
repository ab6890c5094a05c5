// The file a scan is written to, and the signals that end a scan.
//
// A regular file is written under a temporary name beside the target (so the
// rename stays on one file system) and renamed into place only when complete:
// a failure, a cancel or a full disk leave whatever was there before, and
// nothing half-written. Character devices, pipes, sockets and "-" (standard
// output) cannot be renamed into and are written straight. Nothing is ever
// removed but the temporary file this object created.
#ifndef DOCSCAN_TOOLS_OUTPUTFILE_H
#define DOCSCAN_TOOLS_OUTPUTFILE_H

#include <csignal>
#include <cstdio>
#include <string>

namespace docscan_cli {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool Open(const std::string &path, std::string *error);
    // Flushes, closes and (for a temporary file) renames it to the target.
    bool Commit(std::string *error);
    // Closes; removes the temporary file if there is one. Idempotent.
    void Discard();

    FILE *file() const { return file_; }
    const std::string &path() const { return path_; }
    // The folder the target lives in ("." for a bare name).
    std::string folder() const;
    // False for standard output, pipes and devices: nothing to seek in.
    bool seekable() const { return seekable_; }

private:
    FILE *file_ = nullptr;
    std::string path_;
    std::string temp_; // empty when written straight
    int slot_ = -1;    // registration for clean-up from a signal handler
    bool seekable_ = false;
};

// Catches SIGINT, SIGTERM and SIGHUP alike for its lifetime. The first signal
// only sets a flag (the read loop turns it into a cancel); a second one
// removes every temporary output file at once and ends the program with
// 128 + its number.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;

    // The first signal caught, 0 when none.
    static int Caught();
};

} // namespace docscan_cli

#endif
