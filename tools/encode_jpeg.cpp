// JPEG through libjpeg (the turbo build on Debian).
#include "tools/encode_common.h"

#if defined(DOCSCAN_HAVE_JPEG)
#include <jpeglib.h>

#include <csetjmp>
#include <cstring>

#include "tools/encode_common.h"

namespace docscan_cli {

// libjpeg reports errors by longjmp: every call into it sits in a small
// function whose frame holds nothing that needs a destructor.
struct JpegEncoder::State {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    bool created = false;
    size_t stride = 0;

    static void OnError(j_common_ptr common)
    {
        auto *state = reinterpret_cast<State *>(common->client_data);
        (*common->err->format_message)(common, state->message);
        std::longjmp(state->jump, 1);
    }

    bool Begin(FILE *out, const ImageInfo &info, int quality)
    {
        if (setjmp(jump)) return false;
        cinfo.err = jpeg_std_error(&errors);
        errors.error_exit = &State::OnError;
        cinfo.client_data = this;
        jpeg_create_compress(&cinfo);
        created = true;
        jpeg_stdio_dest(&cinfo, out);
        cinfo.image_width = info.width;
        cinfo.image_height = info.height;
        cinfo.input_components = info.kind == PixelKind::Rgb ? 3 : 1;
        cinfo.in_color_space = info.kind == PixelKind::Rgb ? JCS_RGB : JCS_GRAYSCALE;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
        if (info.dpi != 0) {
            cinfo.density_unit = 1; // dots per inch
            cinfo.X_density = static_cast<UINT16>(info.dpi);
            cinfo.Y_density = static_cast<UINT16>(info.dpi);
        }
        jpeg_start_compress(&cinfo, TRUE);
        return true;
    }

    bool Write(const uint8_t *rows, uint32_t count)
    {
        if (setjmp(jump)) return false;
        JSAMPROW pointers[32];
        uint32_t done = 0;
        while (done < count) {
            const uint32_t n = count - done < 32 ? count - done : 32;
            for (uint32_t i = 0; i < n; ++i) pointers[i] = const_cast<uint8_t *>(rows + stride * (done + i));
            done += jpeg_write_scanlines(&cinfo, pointers, n);
        }
        return true;
    }

    bool End()
    {
        if (setjmp(jump)) return false;
        jpeg_finish_compress(&cinfo);
        return true;
    }

    void Destroy()
    {
        if (created) jpeg_destroy_compress(&cinfo);
        created = false;
    }
};

JpegEncoder::JpegEncoder() = default;
JpegEncoder::~JpegEncoder() { Abort(); }

bool JpegEncoder::Start(FILE *out, const ImageInfo &info, int quality, std::string *error)
{
    Abort();
    if (info.kind == PixelKind::Bilevel) {
        *error = ImageFormatRefusal(ImageFormat::Jpeg, info.kind);
        return false;
    }
    if (info.width > JPEG_MAX_DIMENSION || info.height > JPEG_MAX_DIMENSION) {
        *error = "image too large for JPEG";
        return false;
    }
    state_ = std::make_unique<State>();
    state_->stride = BytesPerRow(info);
    if (!state_->Begin(out, info, quality)) {
        *error = std::string("cannot write JPEG: ") + state_->message;
        Abort();
        return false;
    }
    return true;
}

bool JpegEncoder::Rows(const uint8_t *rows, uint32_t count, std::string *error)
{
    if (state_ == nullptr || !state_->Write(rows, count)) {
        *error = std::string("cannot write JPEG: ") + (state_ ? state_->message : "not started");
        return false;
    }
    return true;
}

bool JpegEncoder::Finish(std::string *error)
{
    if (state_ == nullptr || !state_->End()) {
        *error = std::string("cannot write JPEG: ") + (state_ ? state_->message : "not started");
        return false;
    }
    Abort();
    return true;
}

void JpegEncoder::Abort()
{
    if (state_ != nullptr) state_->Destroy();
    state_.reset();
}

namespace {

class JpegWriter final : public ImageWriter {
public:
    explicit JpegWriter(const EncodeOptions &options) : quality_(options.quality) {}

    bool Open(FILE *out, const std::string &name, const ImageInfo &info, std::string *error) override
    {
        if (!ValidInfo(info, error)) return false;
        out_ = out;
        name_ = name;
        rows_.Reset(info.height);
        return encoder_.Start(out, info, quality_, error);
    }

    bool WriteRows(const uint8_t *rows, uint32_t count, std::string *error) override
    {
        return rows_.Take(count, error) && encoder_.Rows(rows, count, error);
    }

    bool Finish(std::string *error) override
    {
        if (!rows_.Complete(error) || !encoder_.Finish(error)) return false;
        if (std::fflush(out_) != 0) {
            *error = "cannot write " + name_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    void Abort() override { encoder_.Abort(); }

private:
    int quality_;
    FILE *out_ = nullptr;
    std::string name_;
    RowCounter rows_;
    JpegEncoder encoder_;
};

} // namespace

std::unique_ptr<ImageWriter> MakeJpegWriter(const EncodeOptions &options)
{
    return std::make_unique<JpegWriter>(options);
}

} // namespace docscan_cli

#else

namespace docscan_cli {
std::unique_ptr<ImageWriter> MakeJpegWriter(const EncodeOptions &) { return nullptr; }
} // namespace docscan_cli

#endif
