// PDF through qpdf, one scanned image per page, the page the size of the scan
// (pixels over dpi). Colour and gray pages are JPEG (DCTDecode), 1-bit pages
// CCITT group 4 (CCITTFaxDecode, encoded by libtiff).
// qpdf, not libharu: encoded pages go in as they are, streamed from a spool file; libharu holds all pages in memory.
#include "tools/encode_common.h"

#if defined(DOCSCAN_HAVE_QPDF) && defined(DOCSCAN_HAVE_JPEG) && defined(DOCSCAN_HAVE_TIFF)
#define POINTERHOLDER_TRANSITION 4 // qpdf: std::shared_ptr only
#include <fcntl.h>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <sys/types.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "tools/encode_common.h"

namespace docscan_cli {
namespace {

// An unnamed file in `folder` (or the temp folder) that vanishes when closed.
FILE *OpenScratch(const std::string &folder)
{
    if (!folder.empty()) {
        const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (FILE *file = fdopen(fd, "w+b")) return file;
            close(fd);
        }
    }
    return std::tmpfile();
}

class PdfWriter final : public ImageWriter {
public:
    explicit PdfWriter(const EncodeOptions &options) : options_(options) {}
    ~PdfWriter() override { Abort(); }

    bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) override
    {
        out_ = out;
        name_ = name;
        spool_ = OpenScratch(options_.spoolFolder);
        if (spool_ == nullptr) {
            *error = std::string("cannot create a spool file for the PDF: ") + std::strerror(errno);
            return false;
        }
        try {
            pdf_ = std::make_unique<QPDF>();
            pdf_->emptyPDF();
        } catch (const std::exception &e) {
            *error = std::string("cannot start the PDF: ") + e.what();
            return false;
        }
        return StartPage(info, error);
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        if (!inPage_) {
            *error = "no page is open";
            return false;
        }
        if (!rows_.Take(count, error)) return false;
        if (g4_ != nullptr) {
            for (uint32_t i = 0; i < count; ++i) {
                std::memcpy(row_.data(), rows + row_.size() * i, row_.size());
                if (TIFFWriteScanline(g4_, row_.data(), rows_.written() - count + i, 0) < 0) {
                    *error = "cannot encode the page in group 4";
                    return false;
                }
            }
        } else if (!jpeg_.Rows(rows, count, error)) {
            return false;
        }
        if (rows_.written() == page_.height) return EndPage(error);
        return true;
    }

    bool NextPage(const ImageInfo &info, std::string *error) override
    {
        if (inPage_) return rows_.Complete(error);
        return StartPage(info, error);
    }

    bool Finish(std::string *error) override
    {
        if (inPage_ && !rows_.Complete(error)) return false;
        return WriteFile(error);
    }

    bool FinishCompletePages(std::string *error) override
    {
        DropPage();
        if (pages_ == 0) {
            *error = "no page was completed";
            return false;
        }
        return WriteFile(error);
    }

    void Abort() override
    {
        DropPage();
        pdf_.reset();
        if (spool_ != nullptr) std::fclose(spool_);
        spool_ = nullptr;
    }

private:
    bool StartPage(const ImageInfo &info, std::string *error)
    {
        if (!ValidInfo(info, error)) return false;
        page_ = info;
        rows_.Reset(info.height);
        offset_ = ftello(spool_);
        if (info.kind == PixelKind::Bilevel) {
            scratch_ = OpenScratch(options_.spoolFolder);
            const int fd = scratch_ != nullptr ? dup(fileno(scratch_)) : -1;
            TIFFSetWarningHandler(nullptr);
            TIFFSetErrorHandler(nullptr);
            g4_ = fd >= 0 ? TIFFFdOpen(fd, "page", "w") : nullptr;
            if (g4_ == nullptr) {
                if (fd >= 0) close(fd);
                *error = "cannot create a scratch file for the page";
                return false;
            }
            // One strip: the page's group 4 data is then one piece.
            TIFFSetField(g4_, TIFFTAG_IMAGEWIDTH, info.width);
            TIFFSetField(g4_, TIFFTAG_IMAGELENGTH, info.height);
            TIFFSetField(g4_, TIFFTAG_BITSPERSAMPLE, 1);
            TIFFSetField(g4_, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(g4_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
            TIFFSetField(g4_, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
            TIFFSetField(g4_, TIFFTAG_ROWSPERSTRIP, info.height);
            row_.resize(BytesPerRow(info));
        } else if (!jpeg_.Start(spool_, info, options_.quality, error)) {
            return false;
        }
        inPage_ = true;
        return true;
    }

    bool EndPage(std::string *error)
    {
        inPage_ = false;
        if (g4_ != nullptr) {
            // The strip's data only: the scratch file needs no directory.
            bool ok = TIFFFlushData(g4_) == 1;
            uint64_t *offsets = nullptr, *counts = nullptr;
            ok = ok && TIFFGetField(g4_, TIFFTAG_STRIPOFFSETS, &offsets) == 1 &&
                 TIFFGetField(g4_, TIFFTAG_STRIPBYTECOUNTS, &counts) == 1;
            const uint64_t from = ok ? offsets[0] : 0, length = ok ? counts[0] : 0;
            TIFFClose(g4_);
            g4_ = nullptr;
            ok = ok && CopyRange(fileno(scratch_), static_cast<off_t>(from), length);
            std::fclose(scratch_);
            scratch_ = nullptr;
            if (!ok) {
                *error = "cannot write the page's group 4 data: " + std::string(std::strerror(errno));
                return false;
            }
        } else if (!jpeg_.Finish(error)) {
            return false;
        }
        if (std::fflush(spool_) != 0) {
            *error = std::string("cannot write the PDF's spool file: ") + std::strerror(errno);
            return false;
        }
        const off_t end = ftello(spool_);
        try {
            AddPage(static_cast<size_t>(end - offset_));
        } catch (const std::exception &e) {
            *error = std::string("cannot add the page to the PDF: ") + e.what();
            return false;
        }
        ++pages_;
        return true;
    }

    bool CopyRange(int fd, off_t from, uint64_t length)
    {
        std::vector<char> buffer(1 << 16);
        while (length > 0) {
            const size_t want = length < buffer.size() ? static_cast<size_t>(length) : buffer.size();
            const ssize_t got = pread(fd, buffer.data(), want, from);
            if (got <= 0) return false;
            if (std::fwrite(buffer.data(), 1, static_cast<size_t>(got), spool_) != static_cast<size_t>(got)) {
                return false;
            }
            from += got;
            length -= static_cast<uint64_t>(got);
        }
        return true;
    }

    void AddPage(size_t length)
    {
        const bool bilevel = page_.kind == PixelKind::Bilevel;
        QPDFObjectHandle image = QPDFObjectHandle::newStream(pdf_.get());
        QPDFObjectHandle dict = image.getDict();
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
        dict.replaceKey("/Width", QPDFObjectHandle::newInteger(page_.width));
        dict.replaceKey("/Height", QPDFObjectHandle::newInteger(page_.height));
        dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName(
                                           page_.kind == PixelKind::Rgb ? "/DeviceRGB" : "/DeviceGray"));
        dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(bilevel ? 1 : 8));
        QPDFObjectHandle parms = QPDFObjectHandle::newNull();
        if (bilevel) {
            parms = QPDFObjectHandle::parse("<< /K -1 /Columns " + std::to_string(page_.width) + " /Rows " +
                                            std::to_string(page_.height) + " >>");
        }
        FILE *spool = spool_;
        const off_t from = offset_;
        image.replaceStreamData(
            [spool, from, length](Pipeline *pipeline) {
                unsigned char buffer[1 << 16];
                size_t left = length;
                off_t at = from;
                while (left > 0) {
                    const size_t want = left < sizeof buffer ? left : sizeof buffer;
                    const ssize_t got = pread(fileno(spool), buffer, want, at);
                    if (got <= 0) throw std::runtime_error("the PDF's spool file cannot be read");
                    pipeline->write(buffer, static_cast<size_t>(got));
                    at += got;
                    left -= static_cast<size_t>(got);
                }
                pipeline->finish();
            },
            QPDFObjectHandle::newName(bilevel ? "/CCITTFaxDecode" : "/DCTDecode"), parms);

        // The page is the scan's size: pixels over dots per inch, in points.
        const double dpi = page_.dpi != 0 ? page_.dpi : 72.0;
        const double w = page_.width * 72.0 / dpi, h = page_.height * 72.0 / dpi;
        char content[128];
        std::snprintf(content, sizeof content, "q %.4f 0 0 %.4f 0 0 cm /Im0 Do Q\n", w, h);
        QPDFObjectHandle page = QPDFObjectHandle::parse("<< /Type /Page /Resources << /XObject << >> >> >>");
        page.replaceKey("/MediaBox", QPDFObjectHandle::newArray(QPDFObjectHandle::Rectangle(0, 0, w, h)));
        page.getKey("/Resources").getKey("/XObject").replaceKey("/Im0", image);
        page.replaceKey("/Contents", QPDFObjectHandle::newStream(pdf_.get(), content));
        QPDFPageDocumentHelper(*pdf_).addPage(QPDFPageObjectHelper(pdf_->makeIndirectObject(page)), false);
    }

    void DropPage()
    {
        if (g4_ != nullptr) TIFFClose(g4_);
        g4_ = nullptr;
        if (scratch_ != nullptr) std::fclose(scratch_);
        scratch_ = nullptr;
        jpeg_.Abort();
        if (inPage_ && spool_ != nullptr) fseeko(spool_, offset_, SEEK_SET);
        inPage_ = false;
    }

    bool WriteFile(std::string *error)
    {
        try {
            QPDFWriter writer(*pdf_);
            writer.setOutputFile(name_.c_str(), out_, false);
            // The page data is already compressed: never decode or recompress it.
            writer.setDecodeLevel(qpdf_dl_none);
            writer.write();
        } catch (const std::exception &e) {
            *error = "cannot write " + name_ + ": " + e.what();
            return false;
        }
        if (std::fflush(out_) != 0) {
            *error = "cannot write " + name_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    EncodeOptions options_;
    FILE *out_ = nullptr;
    std::string name_;
    FILE *spool_ = nullptr;
    std::unique_ptr<QPDF> pdf_;
    ImageInfo page_;
    RowCounter rows_;
    bool inPage_ = false;
    off_t offset_ = 0;
    int pages_ = 0;
    JpegEncoder jpeg_;
    TIFF *g4_ = nullptr;
    FILE *scratch_ = nullptr;
    std::vector<uint8_t> row_;
};

} // namespace

std::unique_ptr<ImageWriter> MakePdfWriter(const EncodeOptions &options)
{
    return std::make_unique<PdfWriter>(options);
}

} // namespace docscan_cli

#else

namespace docscan_cli {
std::unique_ptr<ImageWriter> MakePdfWriter(const EncodeOptions &) { return nullptr; }
} // namespace docscan_cli

#endif
