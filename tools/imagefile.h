// Image files written by the docscan front end: PNG (libpng), TIFF (libtiff)
// and PNM (by hand: P4 for 1-bit, P5 for gray, P6 for colour).
//
// Rows arrive in the driver's layout: 24-bit colour is red, green, blue per
// pixel; gray is one byte per pixel; 1-bit rows hold the leftmost pixel in the
// most significant bit and 1 for black. Rows are written as they arrive, so a
// scan never has to be held in memory whole.
#ifndef DOCSCAN_TOOLS_IMAGEFILE_H
#define DOCSCAN_TOOLS_IMAGEFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/imageinfo.h"

namespace docscan_cli {

enum class ImageFormat { Png, Pnm, Tiff };

// "png", "pnm" (also "pbm", "pgm", "ppm"), "tiff" (also "tif"); case-insensitive.
std::optional<ImageFormat> ParseImageFormat(std::string_view name);
// The format named by the file name's extension, if it names one.
std::optional<ImageFormat> ImageFormatFromPath(std::string_view path);
const char *ImageFormatName(ImageFormat format);
// Whether this build can write the format (PNG and TIFF depend on their libraries).
bool ImageFormatAvailable(ImageFormat format);

class ImageWriter {
public:
    virtual ~ImageWriter() = default;
    // Writes the header. The path "-" means standard output (not for TIFF).
    virtual bool Open(const std::string &path, const ImageInfo &info, std::string *error) = 0;
    // Appends `count` rows of BytesPerRow bytes each; refuses rows beyond the height.
    virtual bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) = 0;
    // Completes the file; fails when fewer rows than the height were written.
    virtual bool Finish(std::string *error) = 0;
    // Gives up: closes and removes a partly written file (not standard output).
    virtual void Abort() = 0;
};

std::unique_ptr<ImageWriter> MakeImageWriter(ImageFormat format);

// Writes a whole image held in memory (rows packed one after another).
bool WriteImageFile(ImageFormat format, const std::string &path, const ImageInfo &info, const uint8_t *pixels,
                    std::string *error);

} // namespace docscan_cli

#endif
