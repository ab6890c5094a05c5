// A scan request for the benchmarks that drive the linked driver: an area of
// `pixels` x `lines` at `dpi` from the upper-left corner of the glass.
#ifndef DOCSCAN_BENCH_BENCH_PAGE_H
#define DOCSCAN_BENCH_BENCH_PAGE_H

#include <cstdint>

#include "api/scanner.h"

namespace bench {

struct PageRequest {
    std::uint8_t mode;
    std::uint8_t bitsPerPixel;
    std::uint16_t dpi;
    std::uint16_t pixels;
    std::uint16_t lines;
};

// Sets the driver's scan parameters for the request (area in 1/300 inch).
inline bool SetPageParameters(const PageRequest &page, std::uint8_t halftonePattern = 0)
{
    tagScanParameter p{};
    p.Width = static_cast<std::uint16_t>(page.pixels * 300u / page.dpi);
    p.Length = static_cast<std::uint16_t>(page.lines * 300u / page.dpi);
    p.PixelNum = page.pixels;
    p.LineNum = page.lines;
    p.ScanMode = page.mode;
    p.BitPerPixel = page.bitsPerPixel;
    p.XRes = page.dpi;
    p.YRes = page.dpi;
    p.HTPatternNo = halftonePattern;
    return SetScanParameter(&p);
}

} // namespace bench

#endif
