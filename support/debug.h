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
// read; a longer line is read in pieces, each parsed as a line of its own.
inline constexpr int kDebugConfigReadSize = 1024;

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

// Reads the stream to its end in reads of kDebugConfigReadSize - 1 characters
// and applies every piece with ParseDebugConfigLine.
void ParseDebugConfigStream(FILE *stream, DebugConfig &config);

// Builds DebugFilePath + file into out. False when file is null, when the
// result would be longer than kDebugPathMax characters, or when it is empty.
bool BuildDebugPath(const char *file, char (&out)[kDebugPathMax + 1]);

#endif // DOCSCAN_SUPPORT_DEBUG_H
