// Debug output, docscan.conf and the driver-to-SANE status table.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sane/backend.h"

namespace docscan_sane {
namespace {

int gDebugLevel = 0;

std::string Trim(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool ReadFile(const std::string &path, std::string *text)
{
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

} // namespace

void InitDebug()
{
    const char *level = std::getenv("SANE_DEBUG_DOCSCAN");
    gDebugLevel = level != nullptr ? std::atoi(level) : 0;
}

void Dbg(int level, const char *format, ...)
{
    if (level > gDebugLevel) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "[docscan] %s\n", text);
}

Config ParseConfig(const std::string &text)
{
    Config config;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        const size_t space = line.find_first_of(" \t");
        const std::string word = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : Trim(line.substr(space));
        if (word == "virtual" && rest.empty()) {
            config.virtualScanner = true;
        } else if (word == "virtual-paper" && !rest.empty()) {
            config.paper = rest;
        } else if (word == "virtual-press" && !rest.empty()) {
            std::istringstream list(rest);
            std::string item;
            while (std::getline(list, item, ',')) {
                item = Trim(item);
                if (item == "1" || item == "2" || item == "3") {
                    config.presses.push_back(item[0] - '0');
                } else {
                    Dbg(1, "docscan.conf: virtual-press takes buttons 1, 2 or 3, not '%s'", item.c_str());
                }
            }
        } else {
            Dbg(1, "docscan.conf: ignoring the line '%s'", line.c_str());
        }
    }
    return config;
}

Config LoadConfig()
{
    std::vector<std::string> folders;
    if (const char *dirs = std::getenv("SANE_CONFIG_DIR"); dirs != nullptr) {
        std::istringstream list(dirs);
        std::string dir;
        while (std::getline(list, dir, ':')) {
            if (!dir.empty()) folders.push_back(dir);
        }
    }
    folders.push_back("/etc/sane.d");
    Config config;
    for (const std::string &dir : folders) {
        std::string text;
        const std::string path = dir + "/docscan.conf";
        if (ReadFile(path, &text)) {
            Dbg(2, "configuration from %s", path.c_str());
            config = ParseConfig(text);
            break;
        }
    }
    if (const char *env = std::getenv("DOCSCAN_VIRTUAL"); env != nullptr && std::string(env) == "1") {
        config.virtualScanner = true;
    }
    return config;
}

// How driver status codes reach SANE front ends. Codes not in the table are
// failures of the scanner or of the USB link: SANE_STATUS_IO_ERROR.
SANE_Status MapStatus(uint64_t code)
{
    struct Entry {
        uint64_t code;
        SANE_Status status;
    };
    static constexpr Entry kTable[] = {
        {DOCSCAN_STATUS_OK, SANE_STATUS_GOOD},
        {DOCSCAN_STATUS_CONVERT_MEMORY, SANE_STATUS_NO_MEM},
        {DOCSCAN_STATUS_USER_CANCEL, SANE_STATUS_CANCELLED},
        {DOCSCAN_STATUS_SCAN_IN_PROGRESS, SANE_STATUS_DEVICE_BUSY},
        {DOCSCAN_STATUS_INVALID_PARAMETER, SANE_STATUS_INVAL},
        {DOCSCAN_STATUS_SCAN_MEMORY, SANE_STATUS_NO_MEM},
        {DOCSCAN_STATUS_NOT_READY, SANE_STATUS_DEVICE_BUSY},
        {DOCSCAN_STATUS_NO_SCANNER, SANE_STATUS_IO_ERROR},  // unplugged, or never there
        {DOCSCAN_STATUS_TRANSACTION, SANE_STATUS_IO_ERROR}, // a transfer failed, or the device is gone
    };
    for (const Entry &entry : kTable) {
        if (entry.code == code) return entry.status;
    }
    return SANE_STATUS_IO_ERROR;
}

} // namespace docscan_sane
