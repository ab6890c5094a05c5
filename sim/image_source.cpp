// Virtual scanner: test chart, picture paper and the device line format.
#include "sim/image_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef DOCSCAN_HAVE_PNG
#include <png.h>
#endif

namespace sim {

namespace {

constexpr std::uint32_t kInch = 1200;         // glass units per inch
constexpr std::uint32_t kPaperWidth = 10200;  // 8.5 inch
constexpr std::uint32_t kChartHeight = 14040; // 11.7 inch, then the chart repeats
constexpr std::uint8_t kLid = 0xE0;           // the lid seen beyond the paper's edge

void setRgb(std::uint8_t out[3], std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    out[0] = r;
    out[1] = g;
    out[2] = b;
}

std::uint32_t mix(std::uint32_t h)
{
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}

// Strokes of one "character" cell of the text field (100 × 300 units),
// picked by a hash of its row and column.
std::uint32_t textCell(std::uint32_t row, std::uint32_t column)
{
    return mix(row * 0x9E3779B1u ^ (column + 1) * 0x85EBCA77u);
}

// Ink of cell `h` at (cx, cy), cy counted from the top of the letters.
bool cellInk(std::uint32_t h, std::uint32_t cx, std::uint32_t cy)
{
    if (h % 6 == 0) return false; // a space between words
    const bool horizontal = cx >= 10 && cx < 82;
    if ((h & 0x010) && cx >= 10 && cx < 22) return true;   // left stem
    if ((h & 0x020) && cx >= 70 && cx < 82) return true;   // right stem
    if ((h & 0x040) && cx >= 40 && cx < 52) return true;   // middle stem
    if ((h & 0x080) && horizontal && cy < 12) return true; // top bar
    if ((h & 0x100) && horizontal && cy >= 84 && cy < 96) return true;
    if ((h & 0x200) && horizontal && cy >= 168) return true; // bottom bar
    return false;
}

bool textInk(std::uint32_t x, std::uint32_t yInBand)
{
    const std::uint32_t yy = yInBand % 300;
    if (yy < 60 || yy >= 240) return false;
    return cellInk(textCell(yInBand / 300, x / 100), x % 100, yy - 60);
}

constexpr std::uint8_t kPatches[8][3] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255}, {0, 255, 255},
                                         {255, 0, 255}, {255, 255, 0}, {0, 0, 0},   {255, 255, 255}};
constexpr std::uint32_t kLineSpacing[3] = {12, 24, 48}; // 1/100, 1/50, 1/25 inch

bool frameColumn(std::uint32_t x)
{
    return (x >= 150 && x < 154) || (x >= kPaperWidth - 154 && x < kPaperWidth - 150);
}

std::uint8_t luminance(const std::uint8_t *rgb)
{
    return static_cast<std::uint8_t>((299u * rgb[0] + 587u * rgb[1] + 114u * rgb[2] + 500u) / 1000u);
}

void putBe16(std::uint8_t *p, unsigned v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

} // namespace

std::uint32_t ScanGeometry::centreX(std::uint32_t x) const
{
    const std::uint32_t step = dpi ? kInch / dpi : kInch;
    return originX + x * step + step / 2;
}

std::uint32_t ScanGeometry::centreY(std::uint32_t y) const
{
    const std::uint32_t step = dpi ? kInch / dpi : kInch;
    return originY + y * step + step / 2;
}

void TestChart::colourAt(std::uint32_t x, std::uint32_t y, std::uint8_t out[3])
{
    if (x >= kPaperWidth) {
        setRgb(out, kLid, kLid, kLid);
        return;
    }
    const std::uint32_t yr = y % kChartHeight;
    // Frame: a line 1/300 inch wide, 1/8 inch inside the paper's edges.
    const bool frameY = (yr >= 150 && yr < 154) || (yr >= kChartHeight - 154 && yr < kChartHeight - 150);
    if (frameColumn(x) || frameY) {
        setRgb(out, 0, 0, 0);
        return;
    }
    if (yr < 300 || x < 300) {
        setRgb(out, 255, 255, 255);
    } else if (yr < 1500) {
        const std::uint32_t patch = (x - 300) / kInch;
        if (patch < 8) {
            setRgb(out, kPatches[patch][0], kPatches[patch][1], kPatches[patch][2]);
        } else {
            setRgb(out, 255, 255, 255);
        }
    } else if (yr < 2100) {
        const auto v = static_cast<std::uint8_t>(x * 255u / (kPaperWidth - 1));
        setRgb(out, v, v, v);
    } else if (yr < 3300) {
        const std::uint32_t s = kLineSpacing[std::min<std::uint32_t>(x / 3000, 2)];
        const bool ink = yr < 2700 ? (x % s) < 4 : ((yr - 2700) % s) < 4;
        const std::uint8_t v = ink ? 0 : 255;
        setRgb(out, v, v, v);
    } else {
        const std::uint8_t v = textInk(x, yr - 3300) ? 0 : 255;
        setRgb(out, v, v, v);
    }
}

// The same colours as colourAt, with the row's band worked out once per line
// (this runs for every device line a scan delivers).
void TestChart::renderRgbLine(const ScanGeometry &geometry, std::uint32_t line, std::uint8_t *rgb) const
{
    enum Band { kFrameRow, kBlank, kPatchRow, kRamp, kVerticalLines, kHorizontalLines, kText };
    const std::uint32_t step = geometry.dpi ? kInch / geometry.dpi : kInch;
    const std::uint32_t yr = geometry.centreY(line) % kChartHeight;
    Band band = kText;
    if ((yr >= 150 && yr < 154) || (yr >= kChartHeight - 154 && yr < kChartHeight - 150)) {
        band = kFrameRow;
    } else if (yr < 300) {
        band = kBlank;
    } else if (yr < 1500) {
        band = kPatchRow;
    } else if (yr < 2100) {
        band = kRamp;
    } else if (yr < 2700) {
        band = kVerticalLines;
    } else if (yr < 3300) {
        band = kHorizontalLines;
    }
    const std::uint32_t textY = yr >= 3300 ? yr - 3300 : 0;
    const std::uint32_t textRow = textY / 300;
    const bool letters = textY % 300 >= 60 && textY % 300 < 240;
    const std::uint32_t cy = letters ? textY % 300 - 60 : 0;
    std::uint32_t cellColumn = ~0u;
    std::uint32_t cell = 0;

    std::uint32_t x = geometry.originX + step / 2;
    std::uint8_t *out = rgb;
    for (std::uint32_t i = 0; i < geometry.pixels; ++i, x += step, out += 3) {
        if (x >= kPaperWidth) {
            setRgb(out, kLid, kLid, kLid);
            continue;
        }
        if (band == kFrameRow || frameColumn(x)) {
            setRgb(out, 0, 0, 0);
            continue;
        }
        std::uint8_t v = 255;
        if (band != kBlank && x >= 300) {
            switch (band) {
            case kPatchRow: {
                const std::uint32_t patch = (x - 300) / kInch;
                if (patch < 8) {
                    setRgb(out, kPatches[patch][0], kPatches[patch][1], kPatches[patch][2]);
                    continue;
                }
                break;
            }
            case kRamp: v = static_cast<std::uint8_t>(x * 255u / (kPaperWidth - 1)); break;
            case kVerticalLines:
                v = x % kLineSpacing[std::min<std::uint32_t>(x / 3000, 2)] < 4 ? 0 : 255;
                break;
            case kHorizontalLines:
                v = (yr - 2700) % kLineSpacing[std::min<std::uint32_t>(x / 3000, 2)] < 4 ? 0 : 255;
                break;
            case kText:
                if (letters) {
                    if (x / 100 != cellColumn) {
                        cellColumn = x / 100;
                        cell = textCell(textRow, cellColumn);
                    }
                    v = cellInk(cell, x % 100, cy) ? 0 : 255;
                }
                break;
            default: break;
            }
        }
        setRgb(out, v, v, v);
    }
}

void SolidPaper::renderRgbLine(const ScanGeometry &geometry, std::uint32_t /*line*/, std::uint8_t *rgb) const
{
    for (std::uint32_t x = 0; x < geometry.pixels; ++x) {
        std::memcpy(rgb + 3u * x, rgb_, 3);
    }
}

PicturePaper::PicturePaper(std::uint32_t width, std::uint32_t height, unsigned dpi,
                           std::vector<std::uint8_t> rgb)
    : width_(width), height_(height), dpi_(dpi ? dpi : 300), rgb_(std::move(rgb))
{
    // Never trust the caller's buffer size: a short buffer shrinks the picture.
    const std::uint64_t need = std::uint64_t{width_} * height_ * 3u;
    if (rgb_.size() < need) {
        height_ = width_ ? static_cast<std::uint32_t>(rgb_.size() / (std::uint64_t{width_} * 3u)) : 0;
    }
}

void PicturePaper::renderRgbLine(const ScanGeometry &geometry, std::uint32_t line, std::uint8_t *rgb) const
{
    const std::uint64_t py = std::uint64_t{geometry.centreY(line)} * dpi_ / kInch;
    for (std::uint32_t x = 0; x < geometry.pixels; ++x) {
        const std::uint64_t px = std::uint64_t{geometry.centreX(x)} * dpi_ / kInch;
        if (px < width_ && py < height_) {
            std::memcpy(rgb + 3u * x, rgb_.data() + 3u * (py * width_ + px), 3);
        } else {
            setRgb(rgb + 3u * x, 255, 255, 255);
        }
    }
}

namespace {

// Resolution from a PNG's pHYs chunk (pixels per metre), 0 when absent.
unsigned pngDpi(const std::vector<std::uint8_t> &file)
{
    std::size_t pos = 8; // after the signature
    while (pos + 12 <= file.size()) {
        const std::uint32_t length = (std::uint32_t{file[pos]} << 24) | (std::uint32_t{file[pos + 1]} << 16) |
                                     (std::uint32_t{file[pos + 2]} << 8) | file[pos + 3];
        const char *type = reinterpret_cast<const char *>(file.data() + pos + 4);
        if (length > file.size() - pos - 12) return 0;
        if (std::memcmp(type, "pHYs", 4) == 0 && length == 9) {
            const std::uint8_t *d = file.data() + pos + 8;
            const std::uint32_t ppm =
                (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
            if (d[8] != 1 || ppm == 0) return 0; // unit must be the metre
            return static_cast<unsigned>((std::uint64_t{ppm} * 254u + 5000u) / 10000u);
        }
        if (std::memcmp(type, "IDAT", 4) == 0) return 0; // pHYs comes before the data
        pos += 12u + length;
    }
    return 0;
}

} // namespace

bool readRegularFile(const std::string &path, std::uint64_t limit, std::vector<std::uint8_t> *bytes,
                     std::string *error)
{
    auto fail = [error](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    // Non-blocking, so that a FIFO or a device node cannot hold the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (!regular || size > limit) {
        close(fd);
        return fail(!regular ? "not a regular file" : "larger than " + std::to_string(limit) + " bytes");
    }
    bytes->assign(static_cast<std::size_t>(size), 0);
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    if (done != bytes->size()) return fail("the file changed while it was read");
    return true;
}

std::shared_ptr<const PicturePaper> loadPngPaper(const std::string &path, unsigned defaultDpi,
                                                 std::string *error)
{
    auto fail = [error](const std::string &why) -> std::shared_ptr<const PicturePaper> {
        if (error) *error = why;
        return nullptr;
    };
#ifdef DOCSCAN_HAVE_PNG
    std::vector<std::uint8_t> file;
    std::string why;
    if (!readRegularFile(path, kPaperFileLimit, &file, &why)) return fail(why);
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return fail(std::string("not a PNG file: ") + image.message);
    }
    image.format = PNG_FORMAT_RGB;
    // The declared size is checked before anything is decoded or allocated.
    const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
    if (pixels == 0 || pixels > kPaperPixelLimit) {
        png_image_free(&image);
        return fail(std::to_string(image.width) + " x " + std::to_string(image.height) +
                    " pixels: a paper has 1 to " + std::to_string(kPaperPixelLimit) + " pixels");
    }
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(pixels) * 3u);
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        why = image.message;
        png_image_free(&image);
        return fail("PNG decode failed: " + why);
    }
    const unsigned dpi = pngDpi(file);
    return std::make_shared<PicturePaper>(image.width, image.height, dpi ? dpi : defaultDpi, std::move(rgb));
#else
    (void)path;
    (void)defaultDpi;
    return fail("built without PNG support");
#endif
}

void renderDeviceLine(const ImageSource &source, const ScanGeometry &geometry, std::uint32_t line,
                      std::uint8_t *out)
{
    thread_local std::vector<std::uint8_t> rgb;
    rgb.resize(std::size_t{geometry.pixels} * 3u);
    std::memset(out, 0, geometry.bytesPerLine);
    if (geometry.pixels == 0) return;
    source.renderRgbLine(geometry, line, rgb.data());
    const std::size_t capacity = geometry.bytesPerLine;
    std::size_t used = 0;
    if (geometry.channels == 3 && geometry.bitsPerSample == 16) {
        used = std::min(capacity, std::size_t{geometry.pixels} * 6u) / 2u;
        for (std::size_t i = 0; i < used; ++i) putBe16(out + 2 * i, rgb[i] * 257u);
    } else if (geometry.channels == 3) {
        used = std::min(capacity, rgb.size());
        std::memcpy(out, rgb.data(), used);
    } else if (geometry.bitsPerSample == 1) {
        const std::size_t n = std::min<std::size_t>(geometry.pixels, capacity * 8u);
        for (std::size_t x = 0; x < n; ++x) {
            if (luminance(rgb.data() + 3 * x) < 128)
                out[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
        }
    } else if (geometry.bitsPerSample == 16) {
        const std::size_t n = std::min<std::size_t>(geometry.pixels, capacity / 2u);
        for (std::size_t x = 0; x < n; ++x) putBe16(out + 2 * x, luminance(rgb.data() + 3 * x) * 257u);
    } else {
        const std::size_t n = std::min<std::size_t>(geometry.pixels, capacity);
        for (std::size_t x = 0; x < n; ++x) out[x] = luminance(rgb.data() + 3 * x);
    }
}

std::vector<std::uint8_t> renderDeviceImage(const ImageSource &source, const ScanGeometry &geometry)
{
    std::vector<std::uint8_t> page(geometry.imageBytes());
    for (std::uint32_t y = 0; y < geometry.lines; ++y) {
        renderDeviceLine(source, geometry, y, page.data() + std::size_t{y} * geometry.bytesPerLine);
    }
    return page;
}

} // namespace sim
