// TIFF through libtiff. Colour and gray go in strips deflated (with the
// horizontal predictor) on worker threads and written raw, in order; 1-bit
// images are CCITT group 4, encoded by libtiff as rows arrive.
#include "tools/encode_common.h"

#if defined(DOCSCAN_HAVE_TIFF)
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "tools/encode_common.h"

namespace docscan_cli {
namespace {

constexpr size_t kStripBytes = 1 << 20; // raw bytes per strip, about

class TiffWriter final : public ImageWriter {
public:
    explicit TiffWriter(const EncodeOptions &options) : options_(options) {}
    ~TiffWriter() override { Close(); }

    bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error)) return false;
        name_ = name;
        const int fd = dup(fileno(out));
        if (fd < 0 || lseek(fd, 0, SEEK_CUR) < 0) {
            if (fd >= 0) close(fd);
            *error = "TIFF needs a file it can seek in (not standard output or a pipe); give -o FILE";
            return false;
        }
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        tiff_ = TIFFFdOpen(fd, name.c_str(), "w");
        if (tiff_ == nullptr) {
            close(fd);
            *error = "cannot write " + name;
            return false;
        }
        info_ = info;
        stride_ = BytesPerRow(info);
        rows_.Reset(info.height);
        const bool bilevel = info.kind == PixelKind::Bilevel;
        const uint16_t samples = info.kind == PixelKind::Rgb ? 3 : 1;
        stripRows_ = bilevel
                         ? info.height
                         : static_cast<uint32_t>(std::clamp<size_t>(kStripBytes / stride_, 1, info.height));
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
                  TIFFSetField(tiff_, TIFFTAG_COMPRESSION,
                               bilevel ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE) &&
                  TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, stripRows_);
        if (ok && !bilevel) ok = TIFFSetField(tiff_, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        if (ok && info.dpi != 0) {
            ok = TIFFSetField(tiff_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
                 TIFFSetField(tiff_, TIFFTAG_XRESOLUTION, static_cast<float>(info.dpi)) &&
                 TIFFSetField(tiff_, TIFFTAG_YRESOLUTION, static_cast<float>(info.dpi));
        }
        if (!ok) {
            *error = "cannot write the TIFF header of " + name;
            return false;
        }
        if (bilevel) {
            row_.resize(stride_);
        } else {
            // Fast by default, as for PNG: run-length matches on the predicted rows.
            const int level = options_.compression > 0 ? options_.compression : 1;
            const int strategy = options_.compression > 0 ? Z_DEFAULT_STRATEGY : Z_RLE;
            const size_t samplesPerPixel = samples;
            pool_ = std::make_unique<BandPool>(
                [this, level, strategy, samplesPerPixel](Band &band) {
                    Deflate(band, level, strategy, samplesPerPixel);
                },
                [this](Band &band) { return Emit(band); }, EncoderThreads(), 2 * EncoderThreads());
        }
        return true;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (tiff_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        const uint32_t first = rows_.written();
        if (!rows_.Take(count, error)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t *row = rows + stride_ * i;
            if (pool_ == nullptr) {
                // TIFFWriteScanline may modify its buffer: hand it a copy.
                std::memcpy(row_.data(), row, stride_);
                if (TIFFWriteScanline(tiff_, row_.data(), first + i, 0) < 0) return Failed(error);
                continue;
            }
            strip_.data.insert(strip_.data.end(), row, row + stride_);
            if (++strip_.rows == stripRows_) {
                if (!pool_->Submit(std::move(strip_))) return Failed(error);
                strip_ = Band();
            }
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
        if (pool_ != nullptr) {
            if ((strip_.rows > 0 && !pool_->Submit(std::move(strip_))) || !pool_->Drain())
                return Failed(error);
            pool_.reset();
        }
        const bool flushed = TIFFFlush(tiff_) == 1;
        Close();
        if (!flushed) return Failed(error);
        return true;
    }

    void Abort() override { Close(); }

private:
    bool Failed(std::string *error)
    {
        *error = "cannot write " + name_ + (failure_.empty() ? "" : ": " + failure_);
        return false;
    }

    // On a worker: horizontal differencing per row, then one zlib stream.
    void Deflate(Band &band, int level, int strategy, size_t samples) const
    {
        std::vector<uint8_t> predicted(band.data.size());
        for (uint32_t r = 0; r < band.rows; ++r) {
            const uint8_t *row = band.data.data() + stride_ * r;
            uint8_t *out = predicted.data() + stride_ * r;
            std::memcpy(out, row, samples);
            for (size_t i = samples; i < stride_; ++i)
                out[i] = static_cast<uint8_t>(row[i] - row[i - samples]);
        }
        z_stream z = {};
        if (deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK) {
            band.ok = false;
            return;
        }
        band.data.resize(deflateBound(&z, static_cast<uLong>(predicted.size())));
        z.next_in = predicted.data();
        z.avail_in = static_cast<uInt>(predicted.size());
        z.next_out = band.data.data();
        z.avail_out = static_cast<uInt>(band.data.size());
        band.ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
        band.data.resize(z.total_out);
        deflateEnd(&z);
    }

    bool Emit(Band &band)
    {
        if (!band.ok) {
            failure_ = "compression failed";
            return false;
        }
        if (TIFFWriteRawStrip(tiff_, stripIndex_++, band.data.data(),
                              static_cast<tmsize_t>(band.data.size())) < 0) {
            failure_ = "the disk may be full";
            return false;
        }
        return true;
    }

    void Close()
    {
        pool_.reset();
        if (tiff_ != nullptr) TIFFClose(tiff_);
        tiff_ = nullptr;
    }

    EncodeOptions options_;
    TIFF *tiff_ = nullptr;
    std::string name_;
    std::string failure_;
    ImageInfo info_;
    size_t stride_ = 0;
    RowCounter rows_;
    uint32_t stripRows_ = 0;
    uint32_t stripIndex_ = 0;
    Band strip_;
    std::vector<uint8_t> row_;
    std::unique_ptr<BandPool> pool_;
};

} // namespace

std::unique_ptr<ImageWriter> MakeTiffWriter(const EncodeOptions &options)
{
    return std::make_unique<TiffWriter>(options);
}

} // namespace docscan_cli

#else

namespace docscan_cli {
std::unique_ptr<ImageWriter> MakeTiffWriter(const EncodeOptions &) { return nullptr; }
} // namespace docscan_cli

#endif
