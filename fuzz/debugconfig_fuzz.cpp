// Feeds arbitrary bytes to the debug configuration parser: once as a file,
// once as single lines cut at every newline, where a line of more than 1023
// characters is skipped as the file reader skips it. Both must agree.
#include "support/debug.h"

#include <algorithm>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DebugConfig fromFile;
    std::memcpy(fromFile.savePath, kDefaultDebugPath, sizeof kDefaultDebugPath);
    DebugConfig fromLines = fromFile;

    std::string text(reinterpret_cast<const char *>(data), size);
    if (FILE *stream = size > 0 ? fmemopen(text.data(), text.size(), "r") : nullptr) {
        ParseDebugConfigStream(stream, fromFile);
        std::fclose(stream);
    }
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        if (line.size() < static_cast<size_t>(kDebugConfigReadSize))
            ParseDebugConfigLine(line.c_str(), fromLines);
    }

    // Whatever was read, the directory must fit with its "/" and a NUL.
    if (strnlen(fromFile.savePath, sizeof fromFile.savePath) > kDebugWordMax) __builtin_trap();
    if (size <= kDebugConfigMaxBytes &&
        (fromFile.debugLevel != fromLines.debugLevel || fromFile.deleteLog != fromLines.deleteLog ||
         std::strcmp(fromFile.savePath, fromLines.savePath) != 0))
        __builtin_trap();
    return 0;
}
