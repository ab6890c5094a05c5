// Debug configuration and the log writer.
#include "support/debug.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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

} // namespace

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
    while (std::fgets(line, sizeof line, stream) != nullptr) ParseDebugConfigLine(line, config);
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
    char path[kDebugPathMax + 1];
    if (format == nullptr || !BuildDebugPath(file, path)) return 1;
    FILE *out = std::fopen(path, "a");
    if (out == nullptr) return 1;
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
    char path[kDebugPathMax + 1];
    if (!BuildDebugPath(file, path)) return false;
    return unlink(path) == 0;
}

void DetectCPUSpeed(void) { fCPUSpeed = 100.0; }

bool DebugInitialize(void)
{
    DebugConfig config;
    config.debugLevel = gDebugLevel;
    std::memcpy(config.savePath, kDefaultDebugPath, sizeof kDefaultDebugPath);
    bool result = false;

    if (FILE *conf = std::fopen(kDebugConfigFile, "r")) {
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
        for (char *name : logs) {
            char path[kDebugPathMax + 1];
            result = BuildDebugPath(name, path) && unlink(path) == 0;
        }
    }

    DetectCPUSpeed();
    DumpSystemEnvironmentToLog();
    return result;
}

} // extern "C"
