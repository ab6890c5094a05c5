// Scan options to the scan parameter record.
#include "tools/scanrequest.h"

#include <cmath>
#include <cstdio>
#include <numeric>

#include "tools/args.h"

namespace docscan_cli {

std::optional<ScanModeChoice> ParseScanMode(std::string_view name)
{
    if (SameWord(name, "color") || SameWord(name, "colour")) return ScanModeChoice::Color;
    if (SameWord(name, "gray") || SameWord(name, "grey")) return ScanModeChoice::Gray;
    if (SameWord(name, "lineart")) return ScanModeChoice::Lineart;
    if (SameWord(name, "halftone")) return ScanModeChoice::Halftone;
    return std::nullopt;
}

const char *ScanModeName(ScanModeChoice mode)
{
    switch (mode) {
    case ScanModeChoice::Color: return "Color";
    case ScanModeChoice::Gray: return "Gray";
    case ScanModeChoice::Lineart: return "Lineart";
    case ScanModeChoice::Halftone: return "Halftone";
    }
    return "?";
}

std::optional<uint8_t> ParseDropout(std::string_view name)
{
    if (SameWord(name, "none")) return DOCSCAN_FILTER_ALL;
    if (SameWord(name, "red")) return DOCSCAN_FILTER_RED;
    if (SameWord(name, "green")) return DOCSCAN_FILTER_GREEN;
    if (SameWord(name, "blue")) return DOCSCAN_FILTER_BLUE;
    return std::nullopt;
}

uint32_t MmToAreaUnits(double mm)
{
    if (!(mm > 0)) return 0;
    return static_cast<uint32_t>(std::lround(mm * kAreaUnitsPerInch / kMmPerInch));
}

namespace {

constexpr uint32_t kMethodMasks[6] = {0xA0, 0x70, 0x08, 0x08, 0x04, 0x04};

// The first scan method the scanner supports (0 when it names none).
uint8_t ChooseScanMethod(uint16_t methods)
{
    for (uint8_t method = 0; method < 6; ++method) {
        if ((methods & kMethodMasks[method]) != 0) return method;
    }
    return 0;
}

// Pixel boundary of a mode; a boundary of 0 is taken as no constraint.
uint32_t PixelBoundary(ScanModeChoice mode, const SCANNERABILITYEX &ability)
{
    auto nonZero = [](uint32_t b) { return b == 0 ? 1u : b; };
    switch (mode) {
    case ScanModeChoice::Color: return nonZero(ability.BoundaryColor);
    case ScanModeChoice::Gray: return nonZero(ability.BoundaryGray);
    case ScanModeChoice::Lineart: return std::lcm(nonZero(ability.BoundaryLineart), 8u);
    case ScanModeChoice::Halftone:
        // The pattern with its own boundary is not named in the record: satisfy both.
        return std::lcm(std::lcm(nonZero(ability.BoundaryHalftone), nonZero(ability.BoundaryHalftoneOwn)),
                        8u);
    }
    return 1;
}

std::string MmText(uint32_t units)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f mm", units * kMmPerInch / kAreaUnitsPerInch);
    return text;
}

} // namespace

bool PlanScan(const ScanRequest &request, const SCANNERABILITYEX &ability, ScanPlan *plan, std::string *error)
{
    if (request.resolution < kMinResolution || request.resolution > kMaxResolution) {
        *error = "--resolution must be between 50 and 600 dpi";
        return false;
    }
    if (request.mode == ScanModeChoice::Halftone &&
        (request.halftonePattern < 1 || request.halftonePattern > kHalftonePatterns)) {
        *error = "--halftone-pattern must be between 1 and 6";
        return false;
    }
    if (request.left < 0 || request.top < 0 || (request.width && *request.width <= 0) ||
        (request.height && *request.height <= 0)) {
        *error = "the scan area must not be negative or empty";
        return false;
    }
    const uint32_t glassWidth = ability.MaxScanWidth;
    if (glassWidth == 0) {
        *error = "the scanner reports no scan width";
        return false;
    }
    const uint32_t left = MmToAreaUnits(request.left);
    const uint32_t top = MmToAreaUnits(request.top);
    if (left >= glassWidth) {
        *error = "-l lies beyond the scanner's width of " + MmText(glassWidth);
        return false;
    }
    uint32_t width = request.width ? MmToAreaUnits(*request.width) : glassWidth - left;
    // Half a unit of rounding past the edge is not worth a refusal.
    if (request.width && left + width == glassWidth + 1) width = glassWidth - left;
    if (left + width > glassWidth) {
        *error = "the scan area (-l plus -x) is wider than the scanner's " + MmText(glassWidth);
        return false;
    }
    const uint32_t length = MmToAreaUnits(request.height.value_or(kA4LengthMm));
    if (top + length > kMaxAreaLength) {
        *error = "the scan area (-t plus -y) is longer than " + MmText(kMaxAreaLength);
        return false;
    }

    const uint32_t res = static_cast<uint32_t>(request.resolution);
    const uint32_t boundary = PixelBoundary(request.mode, ability);
    uint32_t pixels = width * res / kAreaUnitsPerInch;
    pixels -= pixels % boundary;
    const uint32_t lines = length * res / kAreaUnitsPerInch;
    if (pixels == 0 || lines == 0) {
        *error = "the scan area is too small to hold a pixel at this resolution";
        return false;
    }

    tagScanParameter &p = plan->parameter;
    p = tagScanParameter{};
    p.Left = static_cast<uint16_t>(left);
    p.Top = static_cast<uint16_t>(top);
    // The width the pixels cover, rounded up to whole area units.
    p.Width = static_cast<uint16_t>((pixels * kAreaUnitsPerInch + res - 1) / res);
    p.Length = static_cast<uint16_t>(length);
    p.PixelNum = static_cast<uint16_t>(pixels);
    p.LineNum = static_cast<uint16_t>(lines & 0xFFFF);
    p.HiWordLineNum = static_cast<uint16_t>(lines >> 16);
    p.ScanMethod = ChooseScanMethod(ability.ScanMethods);
    p.XRes = static_cast<uint16_t>(res);
    p.YRes = static_cast<uint16_t>(res);

    ImageInfo &image = plan->image;
    image.width = pixels;
    image.height = lines;
    image.dpi = res;
    switch (request.mode) {
    case ScanModeChoice::Color:
        p.ScanMode = DOCSCAN_MODE_COLOR;
        p.BitPerPixel = 24;
        image.kind = PixelKind::Rgb;
        break;
    case ScanModeChoice::Gray:
        p.ScanMode = DOCSCAN_MODE_GRAY;
        p.BitPerPixel = 8;
        image.kind = PixelKind::Gray;
        break;
    case ScanModeChoice::Lineart:
        p.ScanMode = DOCSCAN_MODE_LINEART;
        p.BitPerPixel = 1;
        image.kind = PixelKind::Bilevel;
        break;
    case ScanModeChoice::Halftone:
        p.ScanMode = DOCSCAN_MODE_HALFTONE;
        p.BitPerPixel = 1;
        p.HTPatternNo = static_cast<uint8_t>(request.halftonePattern);
        image.kind = PixelKind::Bilevel;
        break;
    }
    p.ColorFilter = request.mode == ScanModeChoice::Color ? uint8_t{DOCSCAN_FILTER_ALL} : request.dropout;
    plan->bytesPerLine = BytesPerRow(image);
    return true;
}

} // namespace docscan_cli
