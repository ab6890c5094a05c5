// Gamma tables for `docscan gamma`.
#include "tools/gamma.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace docscan_cli {

GammaTable GammaCurve(double gamma)
{
    GammaTable table{};
    for (int i = 0; i < 256; ++i) {
        const double out = 255.0 * std::pow(i / 255.0, 1.0 / gamma);
        table[static_cast<size_t>(i)] = static_cast<uint8_t>(std::lround(std::clamp(out, 0.0, 255.0)));
    }
    return table;
}

bool ParseGammaTable(const std::vector<uint8_t> &contents, GammaTable *table, std::string *error)
{
    if (contents.size() == table->size()) {
        // 256 numbers as text need at least 511 bytes, so 256 bytes are raw.
        std::copy(contents.begin(), contents.end(), table->begin());
        return true;
    }
    size_t count = 0;
    size_t i = 0;
    const size_t n = contents.size();
    while (i < n) {
        const unsigned char c = contents[i];
        if (c == '#') {
            while (i < n && contents[i] != '\n') ++i;
        } else if (std::isspace(c) || c == ',') {
            ++i;
        } else if (std::isdigit(c)) {
            unsigned value = 0;
            while (i < n && std::isdigit(contents[i])) {
                value = value * 10 + static_cast<unsigned>(contents[i] - '0');
                if (value > 255) {
                    *error = "gamma table: value " + std::to_string(count + 1) + " is above 255";
                    return false;
                }
                ++i;
            }
            if (count == table->size()) {
                *error = "gamma table: more than 256 values";
                return false;
            }
            (*table)[count++] = static_cast<uint8_t>(value);
        } else {
            *error = "gamma table: neither 256 raw bytes nor 256 numbers (unexpected character at byte " +
                     std::to_string(i) + ")";
            return false;
        }
    }
    if (count != table->size()) {
        *error = "gamma table: " + std::to_string(count) + " values, 256 needed";
        return false;
    }
    return true;
}

} // namespace docscan_cli
