// Feeds arbitrary bytes to the debug configuration parser: once as a file
// read in 1023-character pieces, once as single lines cut at every newline.
#include "support/debug.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DebugConfig config;
    std::memcpy(config.savePath, kDefaultDebugPath, sizeof kDefaultDebugPath);

    if (size > 0) {
        std::string copy(reinterpret_cast<const char *>(data), size);
        if (FILE *stream = fmemopen(copy.data(), copy.size(), "r")) {
            ParseDebugConfigStream(stream, config);
            std::fclose(stream);
        }
    }

    std::string text(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        ParseDebugConfigLine(line.c_str(), config);
        start = end + 1;
    }

    // Whatever was read, the directory must fit with its "/" and a NUL.
    if (strnlen(config.savePath, sizeof config.savePath) > kDebugWordMax) __builtin_trap();
    return 0;
}
