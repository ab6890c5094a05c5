// Gamma tables for `docscan gamma`: from a file (256 raw bytes, or 256
// numbers as text) or computed from a gamma value.
#ifndef DOCSCAN_TOOLS_GAMMA_H
#define DOCSCAN_TOOLS_GAMMA_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace docscan_cli {

using GammaTable = std::array<uint8_t, 256>;

// out = 255 * (in / 255) ^ (1 / gamma), rounded; gamma > 1 brightens the mid-tones.
GammaTable GammaCurve(double gamma);

// A table from file contents: exactly 256 bytes are the raw table; anything
// else is text holding 256 numbers 0..255 separated by white space or commas,
// with '#' starting a comment up to the end of the line.
bool ParseGammaTable(const std::vector<uint8_t> &contents, GammaTable *table, std::string *error);

} // namespace docscan_cli

#endif
