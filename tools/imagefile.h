// Image files written by the docscan front end: PNM (by hand: P4 for 1-bit,
// P5 for gray, P6 for colour), PNG (by hand, zlib in bands on worker threads),
// TIFF (libtiff; deflate strips on worker threads, G4 for 1-bit), JPEG
// (libjpeg) and PDF (qpdf; several pages).
//
// Rows arrive in the driver's layout: 24-bit colour is red, green, blue per
// pixel; gray is one byte per pixel; 1-bit rows hold the leftmost pixel in the
// most significant bit and 1 for black. Rows are encoded as they arrive, so a
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

enum class ImageFormat { Png, Pnm, Tiff, Jpeg, Pdf };

// "png", "pnm" (also "pbm", "pgm", "ppm"), "tiff" (also "tif"), "jpeg" (also
// "jpg"), "pdf"; case-insensitive.
std::optional<ImageFormat> ParseImageFormat(std::string_view name);
// The format named by the file name's extension, if it names one.
std::optional<ImageFormat> ImageFormatFromPath(std::string_view path);
const char *ImageFormatName(ImageFormat format);
// Whether this build can write the format (all but PNM depend on libraries).
bool ImageFormatAvailable(ImageFormat format);
// Why the format cannot hold this kind of pixel ("" when it can).
std::string ImageFormatRefusal(ImageFormat format, PixelKind kind);
// Whether the format holds several pages in one file.
bool ImageFormatMultiPage(ImageFormat format);

struct EncodeOptions {
    int compression = 0;     // zlib level 1..9 for PNG and TIFF; 0: fast (level 1)
    int quality = 85;        // JPEG quality 1..100 (JPEG, and colour and gray PDF pages)
    std::string spoolFolder; // PDF: where page data waits for the file's end ("": the temp folder)
};

class ImageWriter {
public:
    virtual ~ImageWriter() = default;
    // Starts the file on `out` (not owned; `name` only for messages) with its
    // first page. TIFF needs a file it can seek in.
    virtual bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) = 0;
    // Appends `count` rows of BytesPerRow bytes each; refuses rows beyond the height.
    virtual bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) = 0;
    // Starts another page once the current one is complete (multi-page formats only).
    virtual bool NextPage(const ImageInfo &info, std::string *error);
    // Completes the file; fails when the page has fewer rows than its height.
    virtual bool Finish(std::string *error) = 0;
    // Multi-page formats: completes the file with the pages finished so far,
    // dropping an incomplete one. False when there is none.
    virtual bool FinishCompletePages(std::string *error);
    // Gives up and releases what the writer holds (the output file is the caller's).
    virtual void Abort() = 0;
};

std::unique_ptr<ImageWriter> MakeImageWriter(ImageFormat format, const EncodeOptions &options = {});

// Runs `writer` on a thread of its own behind a queue of at most `maxBytes`:
// WriteRows only copies the rows in, so the caller never waits for the
// encoder unless the queue is full. Errors surface at the next call.
std::unique_ptr<ImageWriter> MakeQueuedWriter(std::unique_ptr<ImageWriter> writer, size_t maxBytes);

// Writes a whole image held in memory (rows packed one after another) to
// `path`, through a temporary file renamed into place.
bool WriteImageFile(ImageFormat format, const std::string &path, const ImageInfo &info, const uint8_t *pixels,
                    std::string *error, const EncodeOptions &options = {});

} // namespace docscan_cli

#endif
