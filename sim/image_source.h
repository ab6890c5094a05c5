// Virtual scanner: what lies on the glass.
//
// An ImageSource answers "what colour is the paper here" for the pixels of one
// device line; the page a scan delivers is rendered from it line by line in
// the format the window asked for. Two sources exist: a procedural test chart
// and a PNG file given as the paper. Both are deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {

// Geometry of the page a scan delivers, derived from the window.
// Positions are in 1/1200 inch (the window's unit).
struct ScanGeometry {
    unsigned dpi = 300;        // device resolution, X and Y
    std::uint32_t originX = 0; // upper-left corner of the scan on the glass
    std::uint32_t originY = 0;
    unsigned channels = 3;      // 3: RGB, 1: gray
    unsigned bitsPerSample = 8; // 1, 8 or 16 (other depths are delivered as 8-bit samples)
    std::uint32_t bytesPerLine = 0;
    std::uint32_t pixels = 0; // pixels per line
    std::uint32_t lines = 0;

    std::uint64_t imageBytes() const { return std::uint64_t{bytesPerLine} * lines; }
    // Position of pixel (x, y)'s centre on the glass in 1/1200 inch.
    std::uint32_t centreX(std::uint32_t x) const;
    std::uint32_t centreY(std::uint32_t y) const;
};

class ImageSource {
public:
    virtual ~ImageSource() = default;
    // RGB of the paper for the pixels of device line `line`: 3 × geometry.pixels
    // bytes into `rgb`.
    virtual void renderRgbLine(const ScanGeometry &geometry, std::uint32_t line, std::uint8_t *rgb) const = 0;
};

// The procedural test chart, 8.5 × 11.7 inch, repeating downwards:
//   0.00–0.25 in  white margin with a black frame line at 0.125 in
//   0.25–1.25 in  eight colour patches (red, green, blue, cyan, magenta,
//                 yellow, black, white), 1 inch wide each from x = 0.25 in
//   1.25–1.75 in  gray ramp, black at the left edge to white at the right
//   1.75–2.75 in  fine lines: vertical black lines 1/300 in wide, spaced
//                 1/100, 1/50, 1/25 in in three 2.5-inch fields; then
//                 horizontal lines of the same spacings
//   2.75–11.7 in  text-like strokes: rows of pseudo-random "words" made of
//                 vertical and horizontal strokes, black on white
// Beyond the paper's width (8.5 inch, e.g. in the overscan) the lid shows,
// light gray 0xE0. Every colour is a function of the device pixel's centre in
// 1/1200 inch, so any window renders the same wherever it starts.
class TestChart final : public ImageSource {
public:
    void renderRgbLine(const ScanGeometry &geometry, std::uint32_t line, std::uint8_t *rgb) const override;
    // Colour at a point of the glass, 1/1200 inch units.
    static void colourAt(std::uint32_t x1200, std::uint32_t y1200, std::uint8_t out[3]);
};

// A uniform sheet (useful for exact expectations).
class SolidPaper final : public ImageSource {
public:
    SolidPaper(std::uint8_t r, std::uint8_t g, std::uint8_t b) : rgb_{r, g, b} {}
    void renderRgbLine(const ScanGeometry &geometry, std::uint32_t line, std::uint8_t *rgb) const override;

private:
    std::uint8_t rgb_[3];
};

// An RGB picture laid on the glass at its upper-left corner with a given
// resolution; outside it the glass is white. Pixels are taken nearest to the
// device pixel's centre.
class PicturePaper final : public ImageSource {
public:
    PicturePaper(std::uint32_t width, std::uint32_t height, unsigned dpi, std::vector<std::uint8_t> rgb);
    void renderRgbLine(const ScanGeometry &geometry, std::uint32_t line, std::uint8_t *rgb) const override;
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    unsigned dpi() const { return dpi_; }

private:
    std::uint32_t width_;
    std::uint32_t height_;
    unsigned dpi_;
    std::vector<std::uint8_t> rgb_;
};

// Bounds of a paper file: 64 MiB of file, and 100 Mpixel declared (the whole
// 8.5 x 14 inch glass at 600 dpi is 43 Mpixel), checked before decoding.
inline constexpr std::uint64_t kPaperFileLimit = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kPaperPixelLimit = 100'000'000;

// Reads a whole regular file of at most `limit` bytes. Anything else (a FIFO,
// a device, a folder, a larger file) is refused at once, never waited on.
// False with the reason in *error.
bool readRegularFile(const std::string &path, std::uint64_t limit, std::vector<std::uint8_t> *bytes,
                     std::string *error);

// Loads a PNG file (any colour type, 8 or 16 bit) as the paper. Its
// resolution comes from its pHYs chunk, or `defaultDpi` when it has none.
// Returns null (and a reason in *error) when the file cannot be read, exceeds
// the bounds above, or PNG support is not built in.
std::shared_ptr<const PicturePaper> loadPngPaper(const std::string &path, unsigned defaultDpi = 300,
                                                 std::string *error = nullptr);

// One device line in the window's format: RGB or gray, 8 or 16 bits per
// sample (16-bit samples big-endian), 1-bit line art (MSB first, 1 = black,
// threshold 128). `out` holds geometry.bytesPerLine bytes.
void renderDeviceLine(const ImageSource &source, const ScanGeometry &geometry, std::uint32_t line,
                      std::uint8_t *out);

// The whole page the device delivers for this geometry: what a scan's image
// READs return, in order. Tests use it to compute expectations.
std::vector<std::uint8_t> renderDeviceImage(const ImageSource &source, const ScanGeometry &geometry);

} // namespace sim
