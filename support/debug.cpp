// Debug configuration and the log writer.
#include "support/debug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

extern "C" {

uint32_t gDebugLevel = 0;
char DebugFilePath[260] = "";
char DebugFunctionFile[260] = "vemoDll.txt";
char DebugParamFile[260] = "vemoParam.txt";
char DebugGammaTableFile[260] = "vemoGammaTable.txt";
char DebugImageThread[260] = "vemoImageThread.txt";
char DebugVarFile[260] = "vemoVar.txt";
char DebugRawImageFile[260] = "Image0.raw";
double fCPUSpeed = 100.0;

} // extern "C"

namespace {

// The blanks that separate words, as scanf's %s sees them in the C locale.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Finds the next word at or after *cursor. Returns its length (0 when the line
// has no further word) and leaves *cursor just past it.
size_t NextWord(const char *&cursor, const char *&word)
{
    while (*cursor != '\0' && IsBlank(*cursor)) ++cursor;
    word = cursor;
    while (*cursor != '\0' && !IsBlank(*cursor)) ++cursor;
    return static_cast<size_t>(cursor - word);
}

// A decimal number as strtol reads it (sign allowed, no number gives 0).
long ReadNumber(const char *text) { return std::strtol(text, nullptr, 10); }

size_t BoundedLength(const char *text, size_t limit) { return strnlen(text, limit); }

// ---- Where the trace may go --------------------------------------------------

// Set once a refusal has been reported (until the next DebugInitialize).
std::atomic<bool> gRefusalReported{false};

void ReportRefusal(uint32_t level, const char *what, const char *path, const char *why)
{
    if (level < 1 || gRefusalReported.exchange(true)) return;
    std::fprintf(stderr, "docscan driver: debug trace refused: %s %s %s\n", what, path, why);
}

// Why a file or folder of this status is not trusted, or null.
const char *Distrust(const struct stat &status)
{
    if (status.st_uid != geteuid() && status.st_uid != 0) return "belongs to another user";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    return nullptr;
}

// Opens folder (an absolute path, a trailing "/" allowed) as a directory
// descriptor when it may hold the trace; -1 otherwise, with the reason in
// *why (null when the folder is just missing).
int OpenTrustedFolder(const char *folder, const char **why)
{
    *why = nullptr;
    char path[kDebugPathMax + 1];
    const size_t length = BoundedLength(folder, sizeof path);
    if (length == 0 || length >= sizeof path) return -1;
    if (folder[0] != '/') {
        *why = "is not an absolute path";
        return -1;
    }
    std::memcpy(path, folder, length);
    path[length] = '\0';
    // A trailing "/" would make the last component followed even if it is a
    // symbolic link.
    for (size_t end = length; end > 1 && path[end - 1] == '/'; --end) path[end - 1] = '\0';
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) *why = "is not a directory";
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || (*why = Distrust(status)) != nullptr) {
        close(fd);
        return -1;
    }
    return fd;
}

// The trace folder for file: its descriptor, and the file's name within it
// (a plain name, no "/"). -1 when the path is refused or the folder missing.
int OpenTraceFolder(const char *file, const char **name)
{
    char path[kDebugPathMax + 1];
    if (!BuildDebugPath(file, path)) return -1;
    if (file[0] == '\0' || std::strchr(file, '/') != nullptr) return -1;
    const char *why = nullptr;
    const int folder = OpenTrustedFolder(DebugFilePath, &why);
    if (folder < 0 && why != nullptr) ReportRefusal(gDebugLevel, "folder", DebugFilePath, why);
    *name = file;
    return folder;
}

// Opens Debug.conf in folder without following a link or waiting on a FIFO.
int OpenConfigIn(int folder)
{
    const char *name = kDebugConfigFile + sizeof kDefaultDebugPath - 1;
    return openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// The level a refused configuration asks for: it is read only to decide
// whether to say why it was refused. 0 when it is not a regular file.
uint32_t LevelAskedBy(int fd)
{
    struct stat status {};
    DebugConfig asked;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        if (FILE *stream = fdopen(dup(fd), "r")) {
            ParseDebugConfigStream(stream, asked);
            std::fclose(stream);
        }
    }
    return asked.debugLevel;
}

// The configuration, when it and its folder are trusted; null otherwise. A
// refused configuration is reported when the level it asks for (or, when it
// cannot be read, the level in force) is 1 or more.
FILE *OpenDebugConfig()
{
    const char *why = nullptr;
    const int folder = OpenTrustedFolder(kDefaultDebugPath, &why);
    if (folder < 0) {
        if (why == nullptr) return nullptr; // no folder, no configuration
        uint32_t level = gDebugLevel;
        const int untrusted = open("/tmp/DrvLog", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (untrusted >= 0) {
            const int fd = OpenConfigIn(untrusted);
            if (fd >= 0) {
                level = LevelAskedBy(fd);
                close(fd);
            }
            close(untrusted);
        }
        ReportRefusal(level, "folder", kDefaultDebugPath, why);
        return nullptr;
    }
    const int fd = OpenConfigIn(folder);
    close(folder);
    if (fd < 0) {
        if (errno == ELOOP) ReportRefusal(gDebugLevel, "file", kDebugConfigFile, "is a symbolic link");
        return nullptr;
    }
    struct stat status {};
    why = fstat(fd, &status) != 0 ? "cannot be examined" : nullptr;
    if (why == nullptr && !S_ISREG(status.st_mode)) why = "is not a regular file";
    if (why == nullptr) why = Distrust(status);
    if (why != nullptr) {
        ReportRefusal(LevelAskedBy(fd), "file", kDebugConfigFile, why);
        close(fd);
        return nullptr;
    }
    FILE *stream = fdopen(fd, "r");
    if (stream == nullptr) close(fd);
    return stream;
}

} // namespace

int OpenTraceFile(const char *file)
{
    const char *name = nullptr;
    const int folder = OpenTraceFolder(file, &name);
    if (folder < 0) return -1;
    const int fd = openat(folder, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(folder);
    return fd;
}

bool DeleteTraceFile(const char *file)
{
    const char *name = nullptr;
    const int folder = OpenTraceFolder(file, &name);
    if (folder < 0) return false;
    const bool removed = unlinkat(folder, name, 0) == 0;
    close(folder);
    return removed;
}

bool ParseDebugConfigLine(const char *line, DebugConfig &config)
{
    if (line == nullptr) return false;
    const char *cursor = line;
    const char *key = nullptr;
    const char *value = nullptr;
    const size_t keyLength = NextWord(cursor, key);
    const size_t valueLength = NextWord(cursor, value);
    // A line without two words carries nothing to apply: it is ignored.
    if (keyLength == 0 || valueLength == 0) return false;
    // A word longer than the format allows refuses the whole line.
    if (keyLength > kDebugWordMax || valueLength > kDebugWordMax) return false;

    char word[kDebugWordMax + 1];
    std::memcpy(word, value, valueLength);
    word[valueLength] = '\0';

    auto keyIs = [&](const char *name) {
        return keyLength == std::strlen(name) && std::memcmp(key, name, keyLength) == 0;
    };
    if (keyIs("DebugLevel")) {
        config.debugLevel = static_cast<uint32_t>(ReadNumber(word));
        return true;
    }
    if (keyIs("SavePath")) {
        std::memcpy(config.savePath, word, valueLength + 1);
        return true;
    }
    if (keyIs("DELETELOG")) {
        config.deleteLog = ReadNumber(word);
        return true;
    }
    return false;
}

void ParseDebugConfigStream(FILE *stream, DebugConfig &config)
{
    if (stream == nullptr) return;
    char line[kDebugConfigReadSize];
    size_t length = 0;
    bool overlong = false; // the line has more characters than line can hold
    size_t total = 0;
    for (int c; total < kDebugConfigMaxBytes && (c = std::fgetc(stream)) != EOF; ++total) {
        if (c == '\n') {
            line[length] = '\0';
            if (!overlong) ParseDebugConfigLine(line, config);
            length = 0;
            overlong = false;
        } else if (length + 1 < sizeof line) {
            line[length++] = static_cast<char>(c);
        } else {
            overlong = true;
        }
    }
    line[length] = '\0';
    if (length > 0 && !overlong) ParseDebugConfigLine(line, config);
}

bool BuildDebugPath(const char *file, char (&out)[kDebugPathMax + 1])
{
    out[0] = '\0';
    if (file == nullptr) return false;
    // Neither piece is trusted to be terminated within its array.
    const size_t dirLength = BoundedLength(DebugFilePath, sizeof DebugFilePath);
    const size_t fileLength = BoundedLength(file, kDebugPathMax + 1);
    // A composed path longer than the limit is refused, never cut short.
    if (dirLength + fileLength > kDebugPathMax || dirLength + fileLength == 0) return false;
    std::memcpy(out, DebugFilePath, dirLength);
    std::memcpy(out + dirLength, file, fileLength);
    out[dirLength + fileLength] = '\0';
    return true;
}

extern "C" {

int LogOutput(unsigned int level, char *file, const char *format, ...)
{
    // Most calls come from layers above the configured level: leave first.
    if (level > gDebugLevel) return 1;
    if (format == nullptr) return 1;
    const int fd = OpenTraceFile(file);
    if (fd < 0) return 1;
    FILE *out = fdopen(fd, "a");
    if (out == nullptr) {
        close(fd);
        return 1;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(out, format, arguments);
    va_end(arguments);
    std::fputc('\n', out);
    std::fclose(out);
    return 1;
}

bool DeleteLogFile(char *file)
{
    if (gDebugLevel <= 6) return true;
    return DeleteTraceFile(file);
}

void DetectCPUSpeed(void) { fCPUSpeed = 100.0; }

bool DebugInitialize(void)
{
    DebugConfig config;
    config.debugLevel = gDebugLevel;
    std::memcpy(config.savePath, kDefaultDebugPath, sizeof kDefaultDebugPath);
    bool result = false;
    gRefusalReported.store(false);

    if (FILE *conf = OpenDebugConfig()) {
        ParseDebugConfigStream(conf, config);
        std::fclose(conf);
        result = true;
    }

    // savePath holds at most kDebugWordMax characters, so the "/" always fits.
    const size_t length = BoundedLength(config.savePath, kDebugWordMax + 1);
    std::memcpy(DebugFilePath, config.savePath, length);
    DebugFilePath[length] = '\0';
    if (length == 0 || DebugFilePath[length - 1] != '/') {
        DebugFilePath[length] = '/';
        DebugFilePath[length + 1] = '\0';
    }
    gDebugLevel = config.debugLevel;

    if (config.deleteLog != 0 && gDebugLevel != 0) {
        char *const logs[] = {DebugFunctionFile, DebugParamFile, DebugGammaTableFile, DebugImageThread,
                              DebugVarFile};
        for (char *name : logs) result = DeleteTraceFile(name);
    }

    DetectCPUSpeed();
    DumpSystemEnvironmentToLog();
    return result;
}

} // extern "C"
