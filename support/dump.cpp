// Diagnostic dumps: the host environment at the head of the main log, and
// raw data blocks appended to files of the log directory.
#include "support/NxThreadType.h"
#include "support/debug.h"
#include "support/trace.h"

#include <cerrno>
#include <ctime>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

extern "C" {

int DumpSystemEnvironmentToLog(void)
{
    LogOutput(kLogExported, DebugFunctionFile, "============ Debug Start ============");

    const time_t now = time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    LogOutput(kLogExported, DebugFunctionFile, "Date: %d/%d/%d %02d:%02d:%02d", local.tm_year + 1900,
              local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    LogOutput(kLogExported, DebugFunctionFile, "Process ID: %x",
              static_cast<unsigned int>(GetCurrentNxProcessId()));

    struct utsname system = {};
    if (uname(&system) != 0)
        return LogOutput(kLogExported, DebugFunctionFile, "Get Linux kernel information fail !");
    LogOutput(kLogExported, DebugFunctionFile, "OS name: %s ", system.sysname);
    LogOutput(kLogExported, DebugFunctionFile, "communications network name: %s ", system.nodename);
    LogOutput(kLogExported, DebugFunctionFile, "implementation release level: %s ", system.release);
    LogOutput(kLogExported, DebugFunctionFile, "release version level: %s ", system.version);
    LogOutput(kLogExported, DebugFunctionFile, "hardware type: %s ", system.machine);

    // The file holding this routine stands for the driver; its status-change
    // time stands for the version. What cannot be found is written as
    // "unknown", keeping the shape of the line (time text ends in a newline).
    const char *driverFile = "unknown";
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void *>(&DumpSystemEnvironmentToLog), &info) != 0 &&
        info.dli_fname != nullptr && info.dli_fname[0] != '\0')
        driverFile = info.dli_fname;
    char timeText[64] = "unknown\n";
    struct stat status = {};
    if (stat(driverFile, &status) == 0 && ctime_r(&status.st_ctime, timeText) == nullptr)
        std::snprintf(timeText, sizeof timeText, "unknown\n");
    return LogOutput(kLogExported, DebugFunctionFile, "Driver dll (%s) version = %s ", driverFile, timeText);
}

int ImageOutput(char *file, unsigned char *data, unsigned int size)
{
    if (gDebugLevel <= 6) return 1;
    const int fd = OpenTraceFile(file);
    if (fd < 0) return 0;
    // A null block adds nothing (the file is still created).
    size_t done = 0;
    while (data != nullptr && done < size) {
        const ssize_t written = write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break; // a short write is not reported
        done += static_cast<size_t>(written);
    }
    close(fd);
    return 1;
}

// A dump file is deleted under the same rule as a log file.
bool DeleteImageFile(char *file) { return DeleteLogFile(file); }

} // extern "C"
