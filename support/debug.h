// Debug trace: configuration file, log writer, raw-data dumps.
//
// The exported routines and globals come first; then the internal pieces:
// the configuration parser, kept apart from the file system so that it can be
// tested and fuzzed, and the path builder shared by the log and dump routines.
#ifndef DOCSCAN_SUPPORT_DEBUG_H
#define DOCSCAN_SUPPORT_DEBUG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "support/export.h"

extern "C" {
DOCSCAN_EXPORT extern uint32_t gDebugLevel;
DOCSCAN_EXPORT extern char DebugFilePath[260];
DOCSCAN_EXPORT extern char DebugFunctionFile[260];
DOCSCAN_EXPORT extern char DebugParamFile[260];
DOCSCAN_EXPORT extern char DebugGammaTableFile[260];
DOCSCAN_EXPORT extern char DebugImageThread[260];
DOCSCAN_EXPORT extern char DebugVarFile[260];
DOCSCAN_EXPORT extern char DebugRawImageFile[260];
DOCSCAN_EXPORT extern double fCPUSpeed;
DOCSCAN_EXPORT bool DebugInitialize(void);
DOCSCAN_EXPORT int LogOutput(unsigned int level, char *file, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
DOCSCAN_EXPORT bool DeleteLogFile(char *file);
DOCSCAN_EXPORT void DetectCPUSpeed(void);
DOCSCAN_EXPORT int DumpSystemEnvironmentToLog(void);
DOCSCAN_EXPORT int ImageOutput(char *file, unsigned char *data, unsigned int size);
DOCSCAN_EXPORT bool DeleteImageFile(char *file);
} // extern "C"

// Fixed place of the configuration file (it does not follow SavePath).
inline constexpr const char kDebugConfigFile[] = "/tmp/DrvLog/Debug.conf";
inline constexpr const char kDefaultDebugPath[] = "/tmp/DrvLog/";

// Longest word of a configuration line, and longest composed file path.
inline constexpr size_t kDebugWordMax = 255;
inline constexpr size_t kDebugPathMax = 259;
// Buffer of one read of the configuration file: at most 1023 characters per
// read. A line longer than that is dropped whole (none of its pieces is
// parsed), so that nothing in its tail can pass for a line of its own.
inline constexpr int kDebugConfigReadSize = 1024;
// A configuration is a few lines: reading stops after this many bytes.
inline constexpr size_t kDebugConfigMaxBytes = 64 * 1024;

// What the configuration file says, applied line by line. Start it with the
// values in force before the file is read.
struct DebugConfig {
    uint32_t debugLevel = 0;               // "DebugLevel"
    char savePath[kDebugPathMax + 1] = {}; // "SavePath", without the final "/" added
    long deleteLog = 0;                    // "DELETELOG"
};

// Applies one line (NUL-terminated; a NUL inside the line ends it) to config.
// Returns true when the line named one of the three keys and was applied.
bool ParseDebugConfigLine(const char *line, DebugConfig &config);

// Reads the stream to its end (at most kDebugConfigMaxBytes) line by line and
// applies each line of at most kDebugConfigReadSize - 1 characters with
// ParseDebugConfigLine; longer lines are skipped whole.
void ParseDebugConfigStream(FILE *stream, DebugConfig &config);

// Builds DebugFilePath + file into out. False when file is null, when the
// result would be longer than kDebugPathMax characters, or when it is empty.
bool BuildDebugPath(const char *file, char (&out)[kDebugPathMax + 1]);

// The trace is written only where nobody else can put or redirect a file: the
// folder DebugFilePath must be an absolute path to a real directory (not a
// symbolic link) owned by the effective user or by root and writable by
// neither group nor others; files in it are opened without following a
// symbolic link and created 0600. The same holds for Debug.conf and its
// folder. A folder or configuration refused for these reasons is reported
// once on stderr when the trace is on (level 1 or more); a missing folder
// drops the messages silently.
//
// Opens file of the trace folder for appending; -1 when refused or failed.
int OpenTraceFile(const char *file);
// Deletes file of the trace folder; true when it was removed.
bool DeleteTraceFile(const char *file);

#endif // DOCSCAN_SUPPORT_DEBUG_H
