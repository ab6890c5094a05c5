// PNG written by hand around zlib. Rows are gathered into bands; each band is
// filtered (Up) and deflated on a worker thread as a raw deflate stream of its
// own, ended with a sync flush (the last with the final block). The streams
// join into one valid zlib stream: the header once, the bands in order, and
// one adler32 combined from the bands'.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/encode_common.h"

namespace docscan_cli {
namespace {

constexpr size_t kBandBytes = 1 << 20; // raw bytes per band, about
constexpr uint8_t kFilterUp = 2;

void PutU32(std::vector<uint8_t> *out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

class PngWriter final : public ImageWriter {
public:
    explicit PngWriter(const EncodeOptions &options) : options_(options) {}
    ~PngWriter() override { pool_.reset(); }

    bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error)) return false;
        out_ = out;
        name_ = name;
        info_ = info;
        stride_ = BytesPerRow(info);
        rows_.Reset(info.height);
        bandRows_ = static_cast<uint32_t>(std::clamp<size_t>(kBandBytes / stride_, 8, 1 << 16));
        // Fast by default: run-length matches only (with the Up filter, runs
        // are what a scan's rows have); --compression trades speed for size.
        const int level = options_.compression > 0 ? options_.compression : 1;
        const int strategy = options_.compression > 0 ? Z_DEFAULT_STRATEGY : Z_RLE;
        pool_ = std::make_unique<BandPool>(
            [this, level, strategy](Band &band) { Deflate(band, level, strategy); },
            [this](Band &band) { return Emit(band); }, EncoderThreads(), 2 * EncoderThreads());
        // The row above the first is zero in PNG's terms (1-bit rows are inverted).
        previous_.assign(stride_, info.kind == PixelKind::Bilevel ? 0xFF : 0);
        StartBand();

        std::vector<uint8_t> ihdr;
        PutU32(&ihdr, info.width);
        PutU32(&ihdr, info.height);
        ihdr.push_back(info.kind == PixelKind::Bilevel ? 1 : 8);
        ihdr.push_back(info.kind == PixelKind::Rgb ? 2 : 0); // colour type: truecolour or gray
        ihdr.insert(ihdr.end(), {0, 0, 0});                  // deflate, adaptive filtering, no interlace
        bool ok = WriteChunk("IHDR", ihdr.data(), ihdr.size());
        if (ok && info.dpi != 0) {
            std::vector<uint8_t> phys;
            const auto perMetre = static_cast<uint32_t>(info.dpi / 0.0254 + 0.5);
            PutU32(&phys, perMetre);
            PutU32(&phys, perMetre);
            phys.push_back(1); // unit: metre
            ok = WriteChunk("pHYs", phys.data(), phys.size());
        }
        if (!ok) *error = failure_;
        return ok;
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (pool_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Take(count, error)) return false;
        for (uint32_t i = 0; i < count; ++i) {
            band_.data.insert(band_.data.end(), rows + stride_ * i, rows + stride_ * (i + 1));
            if (++band_.rows == bandRows_ && !SubmitBand(false)) {
                *error = failure_;
                return false;
            }
        }
        return true;
    }

    bool Finish(std::string *error) override
    {
        if (pool_ == nullptr) {
            *error = "image file is not open";
            return false;
        }
        if (!rows_.Complete(error)) return false;
        if (!SubmitBand(true) || !pool_->Drain()) {
            *error = failure_;
            return false;
        }
        pool_.reset();
        std::vector<uint8_t> tail;
        PutU32(&tail, adler_);
        if (!WriteChunk("IDAT", tail.data(), tail.size()) || !WriteChunk("IEND", nullptr, 0) ||
            std::fflush(out_) != 0) {
            *error = failure_.empty() ? "cannot write " + name_ + ": " + std::strerror(errno) : failure_;
            return false;
        }
        return true;
    }

    void Abort() override { pool_.reset(); }

private:
    // A band starts with a copy of the row above it, for the Up filter.
    void StartBand()
    {
        band_ = Band();
        band_.data.reserve(stride_ * (bandRows_ + 1));
        band_.data = previous_;
    }

    bool SubmitBand(bool last)
    {
        if (band_.rows > 0)
            previous_.assign(band_.data.end() - static_cast<ptrdiff_t>(stride_), band_.data.end());
        band_.last = last;
        const bool ok = pool_->Submit(std::move(band_));
        StartBand();
        return ok;
    }

    // On a worker: filter the band's rows and deflate them.
    void Deflate(Band &band, int level, int strategy) const
    {
        const bool invert = info_.kind == PixelKind::Bilevel; // PNG's 1-bit gray has 0 for black
        std::vector<uint8_t> filtered(band.rows * (stride_ + 1));
        for (uint32_t r = 0; r < band.rows; ++r) {
            const uint8_t *above = band.data.data() + stride_ * r;
            const uint8_t *row = above + stride_;
            uint8_t *outRow = filtered.data() + (stride_ + 1) * r;
            outRow[0] = kFilterUp;
            // Inverting both rows leaves their difference negated: the same
            // as inverting first.
            if (invert) {
                for (size_t i = 0; i < stride_; ++i) outRow[1 + i] = static_cast<uint8_t>(above[i] - row[i]);
            } else {
                for (size_t i = 0; i < stride_; ++i) outRow[1 + i] = static_cast<uint8_t>(row[i] - above[i]);
            }
        }
        band.rawLength = filtered.size();
        band.check = static_cast<uint32_t>(
            adler32(adler32(0, nullptr, 0), filtered.data(), static_cast<uInt>(filtered.size())));
        z_stream z = {};
        if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
            band.ok = false;
            return;
        }
        band.data.resize(deflateBound(&z, static_cast<uLong>(filtered.size())) + 16);
        z.next_in = filtered.data();
        z.avail_in = static_cast<uInt>(filtered.size());
        z.next_out = band.data.data();
        z.avail_out = static_cast<uInt>(band.data.size());
        const int rc = deflate(&z, band.last ? Z_FINISH : Z_SYNC_FLUSH);
        band.ok = band.last ? rc == Z_STREAM_END : (rc == Z_OK && z.avail_in == 0);
        band.data.resize(z.total_out);
        deflateEnd(&z);
    }

    // On the submitting thread, bands in order: one IDAT each.
    bool Emit(Band &band)
    {
        if (!band.ok) {
            failure_ = "cannot compress the PNG image";
            return false;
        }
        if (first_) {
            // zlib header: deflate with a 32 KiB window, fastest-level flag, check bits.
            band.data.insert(band.data.begin(), {0x78, 0x01});
            first_ = false;
        }
        adler_ =
            static_cast<uint32_t>(adler32_combine(adler_, band.check, static_cast<z_off_t>(band.rawLength)));
        return band.data.empty() || WriteChunk("IDAT", band.data.data(), band.data.size());
    }

    bool WriteChunk(const char type[4], const uint8_t *data, size_t size)
    {
        uint8_t head[8];
        for (int i = 0; i < 4; ++i) head[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
        std::memcpy(head + 4, type, 4);
        uLong crc = crc32(0, head + 4, 4);
        if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
        uint8_t tail[4];
        for (int i = 0; i < 4; ++i) tail[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        if (!signed_) {
            static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
            if (std::fwrite(kSignature, 1, 8, out_) != 8) return WriteFailed();
            signed_ = true;
        }
        if (std::fwrite(head, 1, 8, out_) != 8 || (size > 0 && std::fwrite(data, 1, size, out_) != size) ||
            std::fwrite(tail, 1, 4, out_) != 4) {
            return WriteFailed();
        }
        return true;
    }

    bool WriteFailed()
    {
        failure_ = "cannot write " + name_ + ": " + std::strerror(errno);
        return false;
    }

    EncodeOptions options_;
    FILE *out_ = nullptr;
    std::string name_;
    ImageInfo info_;
    size_t stride_ = 0;
    RowCounter rows_;
    uint32_t bandRows_ = 0;
    Band band_;
    std::vector<uint8_t> previous_;
    std::unique_ptr<BandPool> pool_;
    uint32_t adler_ = 1;
    bool first_ = true;
    bool signed_ = false;
    std::string failure_;
};

} // namespace

std::unique_ptr<ImageWriter> MakePngWriter(const EncodeOptions &options)
{
    return std::make_unique<PngWriter>(options);
}

} // namespace docscan_cli
