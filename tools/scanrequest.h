// From scan options (millimetres, dpi, mode names) to the driver's scan
// parameter record and the shape of the image it will deliver.
#ifndef DOCSCAN_TOOLS_SCANREQUEST_H
#define DOCSCAN_TOOLS_SCANREQUEST_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/scanner.h"
#include "tools/imageinfo.h"

namespace docscan_cli {

enum class ScanModeChoice { Color, Gray, Lineart, Halftone };

std::optional<ScanModeChoice> ParseScanMode(std::string_view name);
const char *ScanModeName(ScanModeChoice mode);
// "none" 0, "red" 1, "green" 2, "blue" 3 (the ColorFilter codes).
std::optional<uint8_t> ParseDropout(std::string_view name);

inline constexpr double kMmPerInch = 25.4;
inline constexpr double kA4LengthMm = 297.0;
inline constexpr int kMinResolution = 50;
inline constexpr int kMaxResolution = 600;
inline constexpr int kHalftonePatterns = 6;
// Area units of the parameter record: 1/300 inch.
inline constexpr int kAreaUnitsPerInch = 300;
// The longest area accepted, in area units, so that the line count the scanner
// is asked for (at up to 600 dpi, plus its margin) fits its 16-bit field.
inline constexpr uint32_t kMaxAreaLength = 32000;

struct ScanRequest {
    ScanModeChoice mode = ScanModeChoice::Color;
    int resolution = 300;                // dpi, X and Y
    double left = 0, top = 0;            // mm
    std::optional<double> width, height; // mm; default: the full width, an A4 length
    int halftonePattern = 1;
    uint8_t dropout = 0; // ColorFilter
};

struct ScanPlan {
    tagScanParameter parameter{};
    ImageInfo image; // what ReadScan delivers
    size_t bytesPerLine = 0;
};

// Millimetres to area units (1/300 inch), rounded to the nearest unit.
uint32_t MmToAreaUnits(double mm);

// Fills the parameter record for the scanner described by `ability`. Refuses
// (false, reason in *error) an area outside the glass or too small to hold a
// pixel, a resolution outside 50..600 and a halftone pattern outside 1..6.
// PixelNum is rounded down to the scanner's pixel boundary for the mode (and to
// a whole byte for 1-bit modes).
bool PlanScan(const ScanRequest &request, const SCANNERABILITYEX &ability, ScanPlan *plan,
              std::string *error);

} // namespace docscan_cli

#endif
