// Image file writers of the docscan front end.
#include "tools/imagefile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "tools/encode_common.h"
#include "tools/outputfile.h"

namespace docscan_cli {

std::optional<ImageFormat> ParseImageFormat(std::string_view name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "png") return ImageFormat::Png;
    if (lower == "pnm" || lower == "pbm" || lower == "pgm" || lower == "ppm") return ImageFormat::Pnm;
    if (lower == "tiff" || lower == "tif") return ImageFormat::Tiff;
    if (lower == "jpeg" || lower == "jpg") return ImageFormat::Jpeg;
    if (lower == "pdf") return ImageFormat::Pdf;
    return std::nullopt;
}

std::optional<ImageFormat> ImageFormatFromPath(std::string_view path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return std::nullopt;
    }
    return ParseImageFormat(path.substr(dot + 1));
}

const char *ImageFormatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Png: return "png";
    case ImageFormat::Pnm: return "pnm";
    case ImageFormat::Tiff: return "tiff";
    case ImageFormat::Jpeg: return "jpeg";
    case ImageFormat::Pdf: return "pdf";
    }
    return "?";
}

bool ImageFormatAvailable(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Pnm:
    case ImageFormat::Png: return true;
#ifdef DOCSCAN_HAVE_TIFF
    case ImageFormat::Tiff: return true;
#endif
#ifdef DOCSCAN_HAVE_JPEG
    case ImageFormat::Jpeg: return true;
#endif
#if defined(DOCSCAN_HAVE_QPDF) && defined(DOCSCAN_HAVE_JPEG) && defined(DOCSCAN_HAVE_TIFF)
    case ImageFormat::Pdf: return true;
#endif
    default: return false;
    }
}

std::string ImageFormatRefusal(ImageFormat format, PixelKind kind)
{
    if (format == ImageFormat::Jpeg && kind == PixelKind::Bilevel) {
        return "JPEG holds colour and gray only: scan Lineart or Halftone to png, tiff, pnm or pdf";
    }
    return "";
}

bool ImageFormatMultiPage(ImageFormat format) { return format == ImageFormat::Pdf; }

bool ImageWriter::NextPage(const ImageInfo &, std::string *error)
{
    *error = "this format holds one page: give a file name pattern such as page%03d.png";
    return false;
}

bool ImageWriter::FinishCompletePages(std::string *error)
{
    *error = "this format holds one page";
    return false;
}

bool ValidInfo(const ImageInfo &info, std::string *error)
{
    if (info.width == 0 || info.height == 0) {
        *error = "image has no pixels";
        return false;
    }
    return true;
}

bool RowCounter::Take(uint32_t count, std::string *error)
{
    if (count > height_ - written_) {
        *error = "more rows than the image height";
        return false;
    }
    written_ += count;
    return true;
}

bool RowCounter::Complete(std::string *error) const
{
    if (written_ != height_) {
        *error = "image incomplete: " + std::to_string(written_) + " of " + std::to_string(height_) + " rows";
        return false;
    }
    return true;
}

namespace {

std::string WriteFailure(const std::string &name)
{
    return "cannot write " + name + ": " + std::strerror(errno);
}

class PnmWriter final : public ImageWriter {
public:
    bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error)) return false;
        out_ = out;
        name_ = name;
        info_ = info;
        rows_.Reset(info.height);
        const char *magic = info.kind == PixelKind::Bilevel ? "P4"
                            : info.kind == PixelKind::Gray  ? "P5"
                                                            : "P6";
        const int n = info.kind == PixelKind::Bilevel
                          ? std::fprintf(out, "%s\n%u %u\n", magic, info.width, info.height)
                          : std::fprintf(out, "%s\n%u %u\n255\n", magic, info.width, info.height);
        if (n < 0) {
            *error = WriteFailure(name);
            return false;
        }
        return true;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (out_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Take(count, error)) return false;
        // P4 keeps the driver's own bit order: leftmost pixel in the MSB, 1 = black.
        const size_t bytes = BytesPerRow(info_) * count;
        if (std::fwrite(rows, 1, bytes, out_) != bytes) {
            *error = WriteFailure(name_);
            return false;
        }
        return true;
    }

    bool Finish(std::string *error) override
    {
        if (!rows_.Complete(error)) return false;
        if (std::fflush(out_) != 0) {
            *error = WriteFailure(name_);
            return false;
        }
        return true;
    }

    void Abort() override { out_ = nullptr; }

private:
    FILE *out_ = nullptr;
    std::string name_;
    ImageInfo info_;
    RowCounter rows_;
};

} // namespace

std::unique_ptr<ImageWriter> MakePnmWriter() { return std::make_unique<PnmWriter>(); }

std::unique_ptr<ImageWriter> MakeImageWriter(ImageFormat format, const EncodeOptions &options)
{
    if (!ImageFormatAvailable(format)) return nullptr;
    switch (format) {
    case ImageFormat::Pnm: return MakePnmWriter();
    case ImageFormat::Png: return MakePngWriter(options);
    case ImageFormat::Tiff: return MakeTiffWriter(options);
    case ImageFormat::Jpeg: return MakeJpegWriter(options);
    case ImageFormat::Pdf: return MakePdfWriter(options);
    }
    return nullptr;
}

bool WriteImageFile(ImageFormat format, const std::string &path, const ImageInfo &info, const uint8_t *pixels,
                    std::string *error, const EncodeOptions &options)
{
    std::unique_ptr<ImageWriter> writer = MakeImageWriter(format, options);
    if (writer == nullptr) {
        *error = std::string("this build cannot write ") + ImageFormatName(format);
        return false;
    }
    OutputFile out;
    if (!out.Open(path, error)) return false;
    if (!writer->Open(out.file(), path, info, error) || !writer->WriteRows(pixels, info.height, error) ||
        !writer->Finish(error)) {
        writer->Abort();
        return false;
    }
    return out.Commit(error);
}

} // namespace docscan_cli
