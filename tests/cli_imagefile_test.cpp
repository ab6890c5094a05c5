// The docscan front end's image writers (PNM by hand, PNG, TIFF) and its
// words for the driver's status codes.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/imagefile.h"
#include "tools/statuscodes.h"

namespace docscan_cli {
namespace {

namespace fs = std::filesystem;

class ImageFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("docscan_cli_image_" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string &name) const { return (dir_ / name).string(); }

    static std::vector<uint8_t> ReadAll(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
};

// A 10 x 3 one-bit image: row 0 all black, row 1 all white, row 2 only the
// leftmost pixel black. 10 pixels take 2 bytes a row.
const std::vector<uint8_t> kBilevel = {0xFF, 0xC0, 0x00, 0x00, 0x80, 0x00};
const ImageInfo kBilevelInfo{10, 3, PixelKind::Bilevel, 300};

TEST_F(ImageFileTest, RowSizesPerKind)
{
    EXPECT_EQ(BytesPerRow({10, 1, PixelKind::Bilevel, 0}), 2u);
    EXPECT_EQ(BytesPerRow({16, 1, PixelKind::Bilevel, 0}), 2u);
    EXPECT_EQ(BytesPerRow({10, 1, PixelKind::Gray, 0}), 10u);
    EXPECT_EQ(BytesPerRow({10, 1, PixelKind::Rgb, 0}), 30u);
}

TEST_F(ImageFileTest, FormatNamesAndExtensions)
{
    EXPECT_EQ(ParseImageFormat("PNG"), ImageFormat::Png);
    EXPECT_EQ(ParseImageFormat("pgm"), ImageFormat::Pnm);
    EXPECT_EQ(ParseImageFormat("tif"), ImageFormat::Tiff);
    EXPECT_FALSE(ParseImageFormat("jpeg"));
    EXPECT_EQ(ImageFormatFromPath("out/scan.TIFF"), ImageFormat::Tiff);
    EXPECT_EQ(ImageFormatFromPath("scan.ppm"), ImageFormat::Pnm);
    EXPECT_FALSE(ImageFormatFromPath("dir.png/scan")); // the dot belongs to a directory
    EXPECT_FALSE(ImageFormatFromPath("scan"));
}

TEST_F(ImageFileTest, PnmHeadersAndBytes)
{
    std::string error;
    // P4 keeps the driver's bits as they are: MSB leftmost, 1 = black.
    ASSERT_TRUE(WriteImageFile(ImageFormat::Pnm, Path("a.pbm"), kBilevelInfo, kBilevel.data(), &error))
        << error;
    std::vector<uint8_t> expected = {'P', '4', '\n', '1', '0', ' ', '3', '\n'};
    expected.insert(expected.end(), kBilevel.begin(), kBilevel.end());
    EXPECT_EQ(ReadAll(Path("a.pbm")), expected);

    const std::vector<uint8_t> gray = {0, 128, 255, 7, 8, 9};
    ASSERT_TRUE(
        WriteImageFile(ImageFormat::Pnm, Path("g.pgm"), {3, 2, PixelKind::Gray, 0}, gray.data(), &error));
    expected = {'P', '5', '\n', '3', ' ', '2', '\n', '2', '5', '5', '\n'};
    expected.insert(expected.end(), gray.begin(), gray.end());
    EXPECT_EQ(ReadAll(Path("g.pgm")), expected);

    const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0};
    ASSERT_TRUE(
        WriteImageFile(ImageFormat::Pnm, Path("c.ppm"), {2, 1, PixelKind::Rgb, 0}, rgb.data(), &error));
    expected = {'P', '6', '\n', '2', ' ', '1', '\n', '2', '5', '5', '\n'};
    expected.insert(expected.end(), rgb.begin(), rgb.end());
    EXPECT_EQ(ReadAll(Path("c.ppm")), expected);
}

// Reads a PNG back as 8-bit gray or RGB through libpng's simplified interface.
bool ReadPng(const std::string &path, png_uint_32 format, png_image *image, std::vector<uint8_t> *pixels)
{
    *image = png_image{};
    image->version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(image, path.c_str())) return false;
    image->format = format;
    pixels->resize(PNG_IMAGE_SIZE(*image));
    return png_image_finish_read(image, nullptr, pixels->data(), 0, nullptr) != 0;
}

TEST_F(ImageFileTest, PngBilevelHasBlackWhereTheDriverSaysOne)
{
    std::string error;
    ASSERT_TRUE(WriteImageFile(ImageFormat::Png, Path("a.png"), kBilevelInfo, kBilevel.data(), &error))
        << error;
    png_image image;
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(ReadPng(Path("a.png"), PNG_FORMAT_GRAY, &image, &pixels));
    ASSERT_EQ(image.width, 10u);
    ASSERT_EQ(image.height, 3u);
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(pixels[static_cast<size_t>(x)], 0) << "row 0 is black, x " << x;
        EXPECT_EQ(pixels[static_cast<size_t>(10 + x)], 255) << "row 1 is white, x " << x;
        EXPECT_EQ(pixels[static_cast<size_t>(20 + x)], x == 0 ? 0 : 255) << "row 2, x " << x;
    }
    // The file itself is 1-bit gray (IHDR bit depth at byte 24, colour type at 25).
    const std::vector<uint8_t> bytes = ReadAll(Path("a.png"));
    ASSERT_GT(bytes.size(), 26u);
    EXPECT_EQ(bytes[24], 1);
    EXPECT_EQ(bytes[25], 0);
}

TEST_F(ImageFileTest, PngColourRoundTripsRowByRow)
{
    const ImageInfo info{4, 3, PixelKind::Rgb, 150};
    std::vector<uint8_t> rgb(BytesPerRow(info) * info.height);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7);
    auto writer = MakeImageWriter(ImageFormat::Png);
    std::string error;
    ASSERT_TRUE(writer->Open(Path("c.png"), info, &error)) << error;
    // Rows arrive in pieces, as the scan loop hands them over.
    ASSERT_TRUE(writer->WriteRows(rgb.data(), 1, &error));
    ASSERT_TRUE(writer->WriteRows(rgb.data() + BytesPerRow(info), 2, &error));
    ASSERT_TRUE(writer->Finish(&error)) << error;
    png_image image;
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(ReadPng(Path("c.png"), PNG_FORMAT_RGB, &image, &pixels));
    EXPECT_EQ(pixels, rgb);
}

TEST_F(ImageFileTest, TiffKeepsBitsAndSaysMinIsWhiteForBilevel)
{
    std::string error;
    ASSERT_TRUE(WriteImageFile(ImageFormat::Tiff, Path("a.tif"), kBilevelInfo, kBilevel.data(), &error))
        << error;
    TIFF *tiff = TIFFOpen(Path("a.tif").c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, photometric = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_EQ(width, 10u);
    EXPECT_EQ(height, 3u);
    EXPECT_EQ(bits, 1);
    EXPECT_EQ(photometric, PHOTOMETRIC_MINISWHITE);
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tiff)));
    for (uint32_t y = 0; y < 3; ++y) {
        ASSERT_EQ(TIFFReadScanline(tiff, row.data(), y, 0), 1);
        EXPECT_EQ(row[0], kBilevel[y * 2]);
        EXPECT_EQ(row[1] & 0xC0, kBilevel[y * 2 + 1]);
    }
    TIFFClose(tiff);
}

TEST_F(ImageFileTest, TiffColour)
{
    const ImageInfo info{3, 2, PixelKind::Rgb, 600};
    const std::vector<uint8_t> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    std::string error;
    ASSERT_TRUE(WriteImageFile(ImageFormat::Tiff, Path("c.tiff"), info, rgb.data(), &error)) << error;
    TIFF *tiff = TIFFOpen(Path("c.tiff").c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint16_t samples = 0, photometric = 0;
    float xres = 0;
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &xres);
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
    EXPECT_FLOAT_EQ(xres, 600.0f);
    std::vector<uint8_t> row(9);
    ASSERT_EQ(TIFFReadScanline(tiff, row.data(), 0, 0), 1); // compressed: rows in order
    EXPECT_EQ(row, std::vector<uint8_t>(rgb.begin(), rgb.begin() + 9));
    ASSERT_EQ(TIFFReadScanline(tiff, row.data(), 1, 0), 1);
    EXPECT_EQ(row, std::vector<uint8_t>(rgb.begin() + 9, rgb.end()));
    TIFFClose(tiff);
}

TEST_F(ImageFileTest, WritersRefuseWrongRowCountsAndAbortRemovesTheFile)
{
    for (ImageFormat format : {ImageFormat::Pnm, ImageFormat::Png, ImageFormat::Tiff}) {
        SCOPED_TRACE(ImageFormatName(format));
        const std::string path = Path(std::string("short.") + ImageFormatName(format));
        auto writer = MakeImageWriter(format);
        ASSERT_NE(writer, nullptr);
        std::string error;
        ASSERT_TRUE(writer->Open(path, kBilevelInfo, &error)) << error;
        EXPECT_FALSE(writer->WriteRows(kBilevel.data(), 4, &error)) << "more rows than the height";
        ASSERT_TRUE(writer->WriteRows(kBilevel.data(), 2, &error));
        EXPECT_FALSE(writer->Finish(&error)) << "one row is missing";
        EXPECT_NE(error.find("2 of 3"), std::string::npos) << error;
        writer->Abort();
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST_F(ImageFileTest, BadTargetsAreRefusedWithAReason)
{
    std::string error;
    const std::vector<uint8_t> gray(4, 0);
    EXPECT_FALSE(WriteImageFile(ImageFormat::Pnm, Path("no/such/dir/x.pgm"), {2, 2, PixelKind::Gray, 0},
                                gray.data(), &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_FALSE(
        WriteImageFile(ImageFormat::Png, Path("empty.png"), {0, 2, PixelKind::Gray, 0}, gray.data(), &error));
    EXPECT_FALSE(WriteImageFile(ImageFormat::Tiff, "-", {2, 2, PixelKind::Gray, 0}, gray.data(), &error));
    EXPECT_NE(error.find("standard output"), std::string::npos) << error;
}

// ------------------------------------------------------------ status words

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
}

TEST(StatusWordsTest, TheCommonFailuresSayWhatHappened)
{
    EXPECT_NE(StatusWords(2019).find("no scanner"), std::string::npos);
    EXPECT_NE(StatusWords(159).find("cancelled"), std::string::npos);
    EXPECT_NE(StatusWords(2005).find("invalid parameter"), std::string::npos);
    EXPECT_NE(StatusWords(2009).find("not ready"), std::string::npos);
    EXPECT_NE(StatusWords(2007).find("lamp"), std::string::npos);
    EXPECT_EQ(DescribeStatus(2023).rfind("2023 (0x7E7): ", 0), 0u) << DescribeStatus(2023);
    EXPECT_EQ(DescribeStatus(64001).rfind("64001 (0xFA01): ", 0), 0u);
}

} // namespace
} // namespace docscan_cli
