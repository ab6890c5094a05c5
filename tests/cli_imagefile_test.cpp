// The docscan front end's image writers and output files, and its words for
// the driver's status codes.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/mount.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testbed/testbed.h"
#include "tools/imagefile.h"
#include "tools/outputfile.h"
#include "tools/report.h"
#include "tools/statuscodes.h"

namespace docscan_cli {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ImageFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("docscan_cli_image_" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string &name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

// In "dir.png/scan" the dot belongs to a directory.
TEST_F(ImageFileTest, FormatsByNameOrExtension)
{
    const std::pair<const char *, std::optional<ImageFormat>> cases[] = {
        {"x.PNG", ImageFormat::Png},          {"x.pgm", ImageFormat::Pnm},
        {"scan.ppm", ImageFormat::Pnm},       {"x.tif", ImageFormat::Tiff},
        {"out/scan.TIFF", ImageFormat::Tiff}, {"x.JPG", ImageFormat::Jpeg},
        {"doc.pdf", ImageFormat::Pdf},        {"x.gif", std::nullopt},
        {"dir.png/scan", std::nullopt},       {"scan", std::nullopt}};
    for (const auto &[path, format] : cases) EXPECT_EQ(ImageFormatFromPath(path), format) << path;
}

// P4 keeps the driver's bits as they are: MSB leftmost, 1 = black; a row of
// 10 pixels takes 2 bytes, one of 16 pixels 2 as well.
TEST_F(ImageFileTest, PnmHeadersAndBytes)
{
    const struct {
        ImageInfo info;
        std::vector<uint8_t> pixels;
        std::string header;
    } cases[] = {
        {{10, 3, PixelKind::Bilevel, 300}, {0xFF, 0xC0, 0x00, 0x00, 0x80, 0x00}, "P4\n10 3\n"},
        {{16, 1, PixelKind::Bilevel, 300}, {0x12, 0x34}, "P4\n16 1\n"},
        {{3, 2, PixelKind::Gray, 0}, {0, 128, 255, 7, 8, 9}, "P5\n3 2\n255\n"},
        {{2, 1, PixelKind::Rgb, 0}, {255, 0, 0, 0, 255, 0}, "P6\n2 1\n255\n"},
    };
    for (const auto &c : cases) {
        std::string error;
        ASSERT_TRUE(WriteImageFile(ImageFormat::Pnm, Path("x.pnm"), c.info, c.pixels.data(), &error))
            << error;
        EXPECT_EQ(ReadAll(Path("x.pnm")), c.header + std::string(c.pixels.begin(), c.pixels.end()));
    }
}

// An image with smooth gradients plus a little noise, as a scan looks; for
// 1-bit, a pattern whose last byte has pixels past the width.
std::vector<uint8_t> TestImage(const ImageInfo &info)
{
    std::vector<uint8_t> pixels(BytesPerRow(info) * info.height);
    uint32_t noise = 12345;
    const size_t stride = BytesPerRow(info);
    for (uint32_t y = 0; y < info.height; ++y) {
        for (size_t i = 0; i < stride; ++i) {
            noise = noise * 1103515245u + 12345u;
            const uint32_t smooth = static_cast<uint32_t>(i * 255 / stride + y) / 2;
            pixels[y * stride + i] = info.kind == PixelKind::Bilevel
                                         ? static_cast<uint8_t>((noise >> 16) & (i % 3 == 0 ? 0xFF : 0x0F))
                                         : static_cast<uint8_t>(smooth + ((noise >> 16) & 7));
        }
    }
    return pixels;
}

// Decodes a file with its format's own library into the driver's row layout
// (1-bit rows: MSB leftmost, 1 = black); also returns the recorded dpi.
bool Decode(ImageFormat format, const std::string &path, const ImageInfo &info, std::vector<uint8_t> *pixels,
            float *dpi)
{
    const size_t stride = BytesPerRow(info);
    pixels->assign(stride * info.height, 0);
    *dpi = 0;
    if (format == ImageFormat::Png) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
        if (image.width != info.width || image.height != info.height) return false;
        image.format = info.kind == PixelKind::Rgb ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
        std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr)) return false;
        if (info.kind != PixelKind::Bilevel) {
            *pixels = decoded;
        } else {
            for (uint32_t y = 0; y < info.height; ++y)
                for (uint32_t x = 0; x < info.width; ++x)
                    if (decoded[y * info.width + x] == 0)
                        (*pixels)[y * stride + x / 8] |= uint8_t(0x80 >> (x % 8));
        }
        const std::string bytes = ReadAll(path);
        const size_t phys = bytes.find("pHYs");
        if (phys != std::string::npos) {
            uint32_t perMetre = 0;
            for (size_t i = phys + 4; i < phys + 8; ++i) perMetre = perMetre << 8 | uint8_t(bytes[i]);
            *dpi = static_cast<float>(perMetre * 0.0254);
        }
        return true;
    }
    if (format == ImageFormat::Tiff) {
        TIFF *tiff = TIFFOpen(path.c_str(), "r");
        if (tiff == nullptr) return false;
        uint32_t width = 0, height = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetField(tiff, TIFFTAG_XRESOLUTION, dpi);
        uint16_t photometric = 0;
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        // 1-bit rows carry 1 for black, so their readers must see "min is white".
        const uint16_t expected = info.kind == PixelKind::Bilevel ? PHOTOMETRIC_MINISWHITE
                                  : info.kind == PixelKind::Gray  ? PHOTOMETRIC_MINISBLACK
                                                                  : PHOTOMETRIC_RGB;
        bool ok = width == info.width && height == info.height && photometric == expected &&
                  size_t(TIFFScanlineSize(tiff)) == stride;
        for (uint32_t y = 0; ok && y < height; ++y)
            ok = TIFFReadScanline(tiff, pixels->data() + y * stride, y, 0) == 1;
        TIFFClose(tiff);
        return ok;
    }
    if (format == ImageFormat::Jpeg) {
        FILE *file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) return false;
        jpeg_decompress_struct cinfo{};
        jpeg_error_mgr errors{};
        cinfo.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&cinfo);
        jpeg_stdio_src(&cinfo, file);
        jpeg_read_header(&cinfo, TRUE);
        *dpi = cinfo.density_unit == 1 ? cinfo.X_density : 0;
        jpeg_start_decompress(&cinfo);
        const bool ok = cinfo.output_width == info.width && cinfo.output_height == info.height &&
                        static_cast<size_t>(cinfo.output_components) * info.width == stride;
        while (ok && cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = pixels->data() + stride * cinfo.output_scanline;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        if (ok) jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        std::fclose(file);
        return ok;
    }
    return false;
}

TEST_F(ImageFileTest, EveryFormatDecodesToTheScannedPixelsWithItsResolution)
{
    struct Case {
        ImageFormat format;
        ImageInfo info;
        int tolerance; // 0: lossless; JPEG: mean absolute difference at most this
    };
    // 700 x 700 colour is more than one band or strip of the threaded encoders.
    const Case cases[] = {
        {ImageFormat::Png, {700, 700, PixelKind::Rgb, 600}, 0},
        {ImageFormat::Png, {37, 300, PixelKind::Gray, 300}, 0},
        {ImageFormat::Png, {13, 2000, PixelKind::Bilevel, 150}, 0},
        {ImageFormat::Tiff, {700, 700, PixelKind::Rgb, 600}, 0},
        {ImageFormat::Tiff, {1201, 900, PixelKind::Gray, 300}, 0},
        {ImageFormat::Tiff, {13, 40, PixelKind::Bilevel, 150}, 0},
        {ImageFormat::Jpeg, {300, 200, PixelKind::Rgb, 300}, 4},
        {ImageFormat::Jpeg, {300, 200, PixelKind::Gray, 200}, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(ImageFormatName(c.format)) + " " + std::to_string(c.info.width) + "x" +
                     std::to_string(c.info.height));
        std::vector<uint8_t> pixels = TestImage(c.info);
        const std::string path = Path(std::string("round.") + ImageFormatName(c.format));
        // Through the queue, in pieces of 7 rows, as the read loop hands them over.
        auto writer = MakeQueuedWriter(MakeImageWriter(c.format), 1 << 16);
        OutputFile out;
        std::string error;
        ASSERT_TRUE(out.Open(path, &error)) << error;
        ASSERT_TRUE(writer->Open(out.file(), path, c.info, &error)) << error;
        for (uint32_t y = 0; y < c.info.height; y += 7) {
            const uint32_t n = std::min(7u, c.info.height - y);
            ASSERT_TRUE(writer->WriteRows(pixels.data() + BytesPerRow(c.info) * y, n, &error)) << error;
        }
        ASSERT_TRUE(writer->Finish(&error)) << error;
        ASSERT_TRUE(out.Commit(&error)) << error;

        std::vector<uint8_t> decoded;
        float dpi = 0;
        ASSERT_TRUE(Decode(c.format, path, c.info, &decoded, &dpi));
        EXPECT_NEAR(dpi, static_cast<float>(c.info.dpi), 0.5f);
        // Bits past the width of a 1-bit row are padding: compare the pixels only.
        const size_t stride = BytesPerRow(c.info);
        for (size_t i = stride - 1; c.info.kind == PixelKind::Bilevel && i < pixels.size(); i += stride) {
            pixels[i] &= static_cast<uint8_t>(0xFF << ((8 - c.info.width % 8) % 8));
            decoded[i] &= static_cast<uint8_t>(0xFF << ((8 - c.info.width % 8) % 8));
        }
        if (c.tolerance == 0) {
            EXPECT_TRUE(decoded == pixels);
        } else {
            double total = 0;
            for (size_t i = 0; i < pixels.size(); ++i) total += std::abs(int(decoded[i]) - int(pixels[i]));
            EXPECT_LE(total / static_cast<double>(pixels.size()), c.tolerance);
        }
    }
}

TEST_F(ImageFileTest, PdfPagesKeepTheirSizeFilterAndPixels)
{
    const ImageInfo pages[] = {{850, 1100, PixelKind::Rgb, 100},
                               {1600, 2200, PixelKind::Bilevel, 200},
                               {300, 200, PixelKind::Gray, 300}};
    EncodeOptions options;
    options.spoolFolder = dir_.string();
    auto writer = MakeQueuedWriter(MakeImageWriter(ImageFormat::Pdf, options), 1 << 20);
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.Open(Path("doc.pdf"), &error)) << error;
    std::vector<uint8_t> bilevel;
    for (const ImageInfo &info : pages) {
        const std::vector<uint8_t> pixels = TestImage(info);
        if (info.kind == PixelKind::Bilevel) bilevel = pixels;
        ASSERT_TRUE(&info == pages ? writer->Open(out.file(), "doc.pdf", info, &error)
                                   : writer->NextPage(info, &error))
            << error;
        ASSERT_TRUE(writer->WriteRows(pixels.data(), info.height, &error)) << error;
    }
    // A fourth page cut short is dropped when the file is finished as it stands.
    ASSERT_TRUE(writer->NextPage(pages[0], &error));
    ASSERT_TRUE(writer->WriteRows(TestImage(pages[0]).data(), 10, &error));
    ASSERT_TRUE(writer->FinishCompletePages(&error)) << error;
    ASSERT_TRUE(out.Commit(&error)) << error;

    const std::string pdf = Path("doc.pdf");
    const std::string info = testbed::commandOutput("pdfinfo -f 1 -l 3 '" + pdf + "'");
    EXPECT_NE(info.find("Pages: 3"), std::string::npos) << info;
    EXPECT_NE(info.find("Page 1 size: 612 x 792 pts"), std::string::npos) << info; // 8.5 x 11 in
    EXPECT_NE(info.find("Page 2 size: 576 x 792 pts"), std::string::npos) << info;
    EXPECT_NE(info.find("Page 3 size: 72 x 48 pts"), std::string::npos) << info;
    const std::string list = testbed::commandOutput("pdfimages -list '" + pdf + "'");
    EXPECT_NE(list.find("rgb 3 8 jpeg"), std::string::npos) << list;
    EXPECT_NE(list.find("gray 1 1 ccitt"), std::string::npos) << list;
    EXPECT_NE(list.find("gray 1 8 jpeg"), std::string::npos) << list;
    // The group 4 page is lossless.
    testbed::commandOutput("pdfimages -f 2 -l 2 '" + pdf + "' '" + Path("img") + "'");
    EXPECT_TRUE(ReadAll(Path("img-000.pbm")) ==
                "P4\n1600 2200\n" + std::string(bilevel.begin(), bilevel.end()));
}

TEST_F(ImageFileTest, WritersRefuseWrongRowCounts)
{
    for (ImageFormat format :
         {ImageFormat::Pnm, ImageFormat::Png, ImageFormat::Tiff, ImageFormat::Jpeg, ImageFormat::Pdf}) {
        SCOPED_TRACE(ImageFormatName(format));
        const ImageInfo info{10, 3, PixelKind::Gray, 300};
        const std::vector<uint8_t> rows(40);
        auto writer = MakeImageWriter(format);
        ASSERT_NE(writer, nullptr);
        OutputFile out;
        std::string error;
        ASSERT_TRUE(out.Open(Path("short"), &error));
        ASSERT_TRUE(writer->Open(out.file(), "short", info, &error)) << error;
        EXPECT_FALSE(writer->WriteRows(rows.data(), 4, &error)) << "more rows than the height";
        ASSERT_TRUE(writer->WriteRows(rows.data(), 2, &error));
        EXPECT_FALSE(writer->Finish(&error)) << "one row is missing";
        EXPECT_NE(error.find("2 of 3"), std::string::npos) << error;
        writer->Abort();
    }
    std::string error;
    EXPECT_FALSE(
        MakeImageWriter(ImageFormat::Jpeg)->Open(stdout, "-", {10, 3, PixelKind::Bilevel, 300}, &error));
    EXPECT_NE(error.find("colour and gray only"), std::string::npos) << error;
}

// What the target held before stays until a complete file replaces it; only
// the temporary file is ever removed. (Devices: CliTest's /dev/full scan.)
TEST_F(ImageFileTest, OutputFilesAreReplacedWholeOrNotAtAll)
{
    std::string error;
    std::ofstream(Path("old.png")) << "old";
    OutputFile out;
    ASSERT_TRUE(out.Open(Path("old.png"), &error)) << error;
    std::fputs("new", out.file());
    EXPECT_EQ(ReadAll(Path("old.png")), "old") << "untouched while writing";
    out.Discard();
    EXPECT_EQ(ReadAll(Path("old.png")), "old") << "kept after a failure";
    ASSERT_TRUE(out.Open(Path("old.png"), &error));
    std::fputs("new", out.file());
    ASSERT_TRUE(out.Commit(&error)) << error;
    EXPECT_EQ(ReadAll(Path("old.png")), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
        << "no temporary left";

    EXPECT_FALSE(out.Open(dir_.string(), &error)) << "a folder";
    EXPECT_FALSE(out.Open(Path("no/such/dir/x.pgm"), &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

// A full disk under a real file: the scan fails with a reason and leaves nothing.
TEST_F(ImageFileTest, FullDiskLeavesNoFile)
{
    const fs::path small = dir_ / "small";
    fs::create_directories(small);
    if (mount("docscan", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const ImageInfo info{400, 400, PixelKind::Rgb, 300};
    const std::vector<uint8_t> pixels = TestImage(info);
    for (ImageFormat format : {ImageFormat::Pnm, ImageFormat::Tiff}) {
        std::string error;
        const std::string path = (small / "x").string();
        EXPECT_FALSE(WriteImageFile(format, path, info, pixels.data(), &error)) << ImageFormatName(format);
        EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
        EXPECT_TRUE(fs::is_empty(small)) << ImageFormatName(format);
    }
    umount(small.c_str());
}

TEST(StatusWordsTest, EveryCodeTheDriverStoresHasItsOwnWords)
{
    const uint64_t codes[] = {0,    152,  153,  157,  159,  162,   2000,  2001, 2004, 2005, 2006,
                              2007, 2008, 2009, 2010, 2013, 2014,  2015,  2019, 2021, 2022, 2023,
                              2027, 2033, 2040, 2999, 3001, 3002,  3003,  3004, 3005, 3006, 3011,
                              3012, 3101, 3201, 3202, 3203, 3204,  3205,  3206, 3207, 3211, 3212,
                              3500, 3501, 3502, 3503, 3504, 64001, 64002, 64003};
    for (uint64_t code : codes) {
        const std::string words = StatusWords(code);
        EXPECT_NE(words, "unknown status code") << code;
        EXPECT_FALSE(words.empty()) << code;
    }
    // Response codes of sense data in another format are the codes 1..126.
    EXPECT_NE(StatusWords(113), "unknown status code");
    EXPECT_EQ(StatusWords(127), "unknown status code");
    EXPECT_EQ(StatusWords(4000), "unknown status code");
    // The common failures say what happened.
    EXPECT_NE(StatusWords(2019).find("no scanner"), std::string::npos);
    EXPECT_NE(StatusWords(159).find("cancelled"), std::string::npos);
    EXPECT_NE(StatusWords(2005).find("invalid parameter"), std::string::npos);
    EXPECT_NE(StatusWords(2009).find("not ready"), std::string::npos);
    EXPECT_NE(StatusWords(2007).find("lamp"), std::string::npos);
    EXPECT_EQ(DescribeStatus(2023).rfind("2023 (0x7E7): ", 0), 0u) << DescribeStatus(2023);
    EXPECT_EQ(DescribeStatus(64001).rfind("64001 (0xFA01): ", 0), 0u);
}

TEST(ReportTest, JsonStringsEscapeQuotesAndEveryControlOrNonAsciiByte)
{
    EXPECT_EQ(JsonString("a\"b\\c\n\r\t\x01\x1f\x7f\xe9"),
              "\"a\\\"b\\\\c\\n\\r\\t\\u0001\\u001f\\u007f\\u00e9\"");
    EXPECT_EQ(JsonString(std::string("\0", 1)), "\"\\u0000\"");
}

} // namespace
} // namespace docscan_cli
