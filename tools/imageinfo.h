// The shape of an image as the driver delivers it: pixels per row, rows, and
// the pixel kind that fixes the bytes of a row.
#ifndef DOCSCAN_TOOLS_IMAGEINFO_H
#define DOCSCAN_TOOLS_IMAGEINFO_H

#include <cstddef>
#include <cstdint>

namespace docscan_cli {

enum class PixelKind { Bilevel, Gray, Rgb };

struct ImageInfo {
    uint32_t width = 0;  // pixels per row
    uint32_t height = 0; // rows
    PixelKind kind = PixelKind::Rgb;
    uint32_t dpi = 0; // 0: not recorded in the file
};

// Bytes of one row: 3 per pixel for colour, 1 for gray, (width + 7) / 8 for 1-bit.
inline size_t BytesPerRow(const ImageInfo &info)
{
    switch (info.kind) {
    case PixelKind::Bilevel: return (static_cast<size_t>(info.width) + 7) / 8;
    case PixelKind::Gray: return info.width;
    case PixelKind::Rgb: return static_cast<size_t>(info.width) * 3;
    }
    return 0;
}

} // namespace docscan_cli

#endif
