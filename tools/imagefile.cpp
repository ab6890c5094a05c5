// Image file writers of the docscan front end.
#include "tools/imagefile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <vector>

#ifdef DOCSCAN_HAVE_PNG
#include <png.h>
#endif
#ifdef DOCSCAN_HAVE_TIFF
#include <tiffio.h>
#endif

namespace docscan_cli {

std::optional<ImageFormat> ParseImageFormat(std::string_view name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "png") return ImageFormat::Png;
    if (lower == "pnm" || lower == "pbm" || lower == "pgm" || lower == "ppm") return ImageFormat::Pnm;
    if (lower == "tiff" || lower == "tif") return ImageFormat::Tiff;
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
    }
    return "?";
}

bool ImageFormatAvailable(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Pnm: return true;
#ifdef DOCSCAN_HAVE_PNG
    case ImageFormat::Png: return true;
#endif
#ifdef DOCSCAN_HAVE_TIFF
    case ImageFormat::Tiff: return true;
#endif
    default: return false;
    }
}

namespace {

std::string ErrnoText(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

bool ValidInfo(const ImageInfo &info, std::string *error)
{
    if (info.width == 0 || info.height == 0) {
        *error = "image has no pixels";
        return false;
    }
    return true;
}

// State shared by the writers that go through stdio: the target file, the
// row count, and removing a partial file on Abort.
class StdioTarget {
public:
    ~StdioTarget() { Close(); }

    bool Open(const std::string &path, std::string *error)
    {
        path_ = path;
        if (path == "-") {
            file_ = stdout;
            isStdout_ = true;
            return true;
        }
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr) {
            *error = ErrnoText("cannot create", path);
            return false;
        }
        return true;
    }

    bool Close()
    {
        if (file_ == nullptr) return true;
        bool ok = std::fflush(file_) == 0;
        if (!isStdout_) ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        return ok;
    }

    void Remove()
    {
        Close();
        if (!isStdout_ && !path_.empty()) std::remove(path_.c_str());
    }

    FILE *file() const { return file_; }
    const std::string &path() const { return path_; }
    bool isStdout() const { return isStdout_; }

private:
    FILE *file_ = nullptr;
    std::string path_;
    bool isStdout_ = false;
};

// Counts rows against the height the header promised.
class RowCounter {
public:
    void Reset(uint32_t height)
    {
        height_ = height;
        written_ = 0;
    }
    bool Take(uint32_t count, std::string *error)
    {
        if (count > height_ - written_) {
            *error = "more rows than the image height";
            return false;
        }
        written_ += count;
        return true;
    }
    bool Complete(std::string *error) const
    {
        if (written_ != height_) {
            *error =
                "image incomplete: " + std::to_string(written_) + " of " + std::to_string(height_) + " rows";
            return false;
        }
        return true;
    }

private:
    uint32_t height_ = 0;
    uint32_t written_ = 0;
};

// ---------------------------------------------------------------- PNM
class PnmWriter final : public ImageWriter {
public:
    bool Open(const std::string &path, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error) || !target_.Open(path, error)) return false;
        info_ = info;
        rows_.Reset(info.height);
        const char *magic = info.kind == PixelKind::Bilevel ? "P4"
                            : info.kind == PixelKind::Gray  ? "P5"
                                                            : "P6";
        int n;
        if (info.kind == PixelKind::Bilevel) {
            n = std::fprintf(target_.file(), "%s\n%u %u\n", magic, info.width, info.height);
        } else {
            n = std::fprintf(target_.file(), "%s\n%u %u\n255\n", magic, info.width, info.height);
        }
        if (n < 0) {
            *error = ErrnoText("cannot write", path);
            return false;
        }
        return true;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (target_.file() == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Take(count, error)) return false;
        // P4 keeps the driver's own bit order: leftmost pixel in the MSB, 1 = black.
        const size_t bytes = BytesPerRow(info_) * count;
        if (std::fwrite(rows, 1, bytes, target_.file()) != bytes) {
            *error = ErrnoText("cannot write", target_.path());
            return false;
        }
        return true;
    }

    bool Finish(std::string *error) override
    {
        if (!rows_.Complete(error)) return false;
        if (!target_.Close()) {
            *error = ErrnoText("cannot write", target_.path());
            return false;
        }
        return true;
    }

    void Abort() override { target_.Remove(); }

private:
    StdioTarget target_;
    ImageInfo info_;
    RowCounter rows_;
};

#ifdef DOCSCAN_HAVE_PNG
// ---------------------------------------------------------------- PNG
// libpng reports errors by longjmp: every call into it sits in a small
// function whose frame holds nothing that needs a destructor.
class PngWriter final : public ImageWriter {
public:
    ~PngWriter() override { Destroy(); }

    bool Open(const std::string &path, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error) || !target_.Open(path, error)) return false;
        info_ = info;
        rows_.Reset(info.height);
        png_ =
            png_create_write_struct(PNG_LIBPNG_VER_STRING, this, &PngWriter::OnError, &PngWriter::OnWarning);
        if (png_ != nullptr) pngInfo_ = png_create_info_struct(png_);
        if (png_ == nullptr || pngInfo_ == nullptr) {
            *error = "out of memory for the PNG writer";
            return false;
        }
        if (!WriteHeader()) {
            *error = "cannot write " + path + ": " + message_;
            return false;
        }
        return true;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (png_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Take(count, error)) return false;
        if (!WritePngRows(rows, count)) {
            *error = "cannot write " + target_.path() + ": " + message_;
            return false;
        }
        return true;
    }

    bool Finish(std::string *error) override
    {
        if (png_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Complete(error)) return false;
        if (!WriteEnd()) {
            *error = "cannot write " + target_.path() + ": " + message_;
            return false;
        }
        Destroy();
        if (!target_.Close()) {
            *error = ErrnoText("cannot write", target_.path());
            return false;
        }
        return true;
    }

    void Abort() override
    {
        Destroy();
        target_.Remove();
    }

private:
    static void OnError(png_structp png, png_const_charp message)
    {
        auto *self = static_cast<PngWriter *>(png_get_error_ptr(png));
        std::snprintf(self->message_, sizeof self->message_, "%s", message);
        png_longjmp(png, 1);
    }
    static void OnWarning(png_structp, png_const_charp) {}

    bool WriteHeader()
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_init_io(png_, target_.file());
        const int bitDepth = info_.kind == PixelKind::Bilevel ? 1 : 8;
        const int colorType = info_.kind == PixelKind::Rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
        png_set_IHDR(png_, pngInfo_, info_.width, info_.height, bitDepth, colorType, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (info_.dpi != 0) {
            const auto perMetre = static_cast<png_uint_32>(info_.dpi / 0.0254 + 0.5);
            png_set_pHYs(png_, pngInfo_, perMetre, perMetre, PNG_RESOLUTION_METER);
        }
        png_write_info(png_, pngInfo_);
        // PNG's 1-bit gray has 0 for black; the driver's has 1 for black.
        if (info_.kind == PixelKind::Bilevel) png_set_invert_mono(png_);
        return true;
    }

    bool WritePngRows(const uint8_t *rows, uint32_t count)
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        const size_t stride = BytesPerRow(info_);
        for (uint32_t i = 0; i < count; ++i) {
            png_write_row(png_, rows + stride * i);
        }
        return true;
    }

    bool WriteEnd()
    {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_write_end(png_, nullptr);
        return true;
    }

    void Destroy()
    {
        if (png_ != nullptr) png_destroy_write_struct(&png_, &pngInfo_);
        png_ = nullptr;
        pngInfo_ = nullptr;
    }

    StdioTarget target_;
    ImageInfo info_;
    RowCounter rows_;
    png_structp png_ = nullptr;
    png_infop pngInfo_ = nullptr;
    char message_[256] = {};
};
#endif

#ifdef DOCSCAN_HAVE_TIFF
// ---------------------------------------------------------------- TIFF
class TiffWriter final : public ImageWriter {
public:
    ~TiffWriter() override { Close(); }

    bool Open(const std::string &path, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error)) return false;
        if (path == "-") {
            *error = "TIFF cannot be written to standard output; give -o FILE";
            return false;
        }
        TIFFSetWarningHandler(nullptr);
        tiff_ = TIFFOpen(path.c_str(), "w");
        if (tiff_ == nullptr) {
            *error = ErrnoText("cannot create", path);
            return false;
        }
        path_ = path;
        info_ = info;
        rows_.Reset(info.height);
        nextRow_ = 0;
        const bool bilevel = info.kind == PixelKind::Bilevel;
        const uint16_t samples = info.kind == PixelKind::Rgb ? 3 : 1;
        bool ok = TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, info.width) &&
                  TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, info.height) &&
                  TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8) &&
                  TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, samples) &&
                  TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                  // 1-bit rows keep the driver's bits: 1 = black is "min is white".
                  TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC,
                               bilevel                        ? PHOTOMETRIC_MINISWHITE
                               : info.kind == PixelKind::Gray ? PHOTOMETRIC_MINISBLACK
                                                              : PHOTOMETRIC_RGB) &&
                  TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
                  TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff_, 0));
        if (ok && info.dpi != 0) {
            ok = TIFFSetField(tiff_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
                 TIFFSetField(tiff_, TIFFTAG_XRESOLUTION, static_cast<float>(info.dpi)) &&
                 TIFFSetField(tiff_, TIFFTAG_YRESOLUTION, static_cast<float>(info.dpi));
        }
        if (!ok) {
            *error = "cannot write the TIFF header of " + path;
            return false;
        }
        row_.resize(BytesPerRow(info));
        return true;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (tiff_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Take(count, error)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            // TIFFWriteScanline may modify its buffer: hand it a copy.
            std::memcpy(row_.data(), rows + row_.size() * i, row_.size());
            if (TIFFWriteScanline(tiff_, row_.data(), nextRow_, 0) < 0) {
                *error = "cannot write " + path_;
                return false;
            }
            ++nextRow_;
        }
        return true;
    }

    bool Finish(std::string *error) override
    {
        if (tiff_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Complete(error)) return false;
        const bool flushed = TIFFFlush(tiff_) == 1;
        Close();
        if (!flushed) {
            *error = "cannot write " + path_;
            return false;
        }
        return true;
    }

    void Abort() override
    {
        Close();
        if (!path_.empty()) std::remove(path_.c_str());
    }

private:
    void Close()
    {
        if (tiff_ != nullptr) TIFFClose(tiff_);
        tiff_ = nullptr;
    }

    TIFF *tiff_ = nullptr;
    std::string path_;
    ImageInfo info_;
    RowCounter rows_;
    uint32_t nextRow_ = 0;
    std::vector<uint8_t> row_;
};
#endif

} // namespace

std::unique_ptr<ImageWriter> MakeImageWriter(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Pnm: return std::make_unique<PnmWriter>();
#ifdef DOCSCAN_HAVE_PNG
    case ImageFormat::Png: return std::make_unique<PngWriter>();
#endif
#ifdef DOCSCAN_HAVE_TIFF
    case ImageFormat::Tiff: return std::make_unique<TiffWriter>();
#endif
    default: return nullptr;
    }
}

bool WriteImageFile(ImageFormat format, const std::string &path, const ImageInfo &info, const uint8_t *pixels,
                    std::string *error)
{
    std::unique_ptr<ImageWriter> writer = MakeImageWriter(format);
    if (writer == nullptr) {
        *error = std::string("this build cannot write ") + ImageFormatName(format);
        return false;
    }
    if (!writer->Open(path, info, error) || !writer->WriteRows(pixels, info.height, error) ||
        !writer->Finish(error)) {
        writer->Abort();
        return false;
    }
    return true;
}

} // namespace docscan_cli
