// The docscan front end's command-line reading, gamma tables, scan planning
// (millimetres and dpi to the scan parameter record) and the LD_PRELOAD value
// it runs itself again with.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/args.h"
#include "tools/gamma.h"
#include "tools/scanrequest.h"
#include "tools/virtual.h"

// Designated initializers leave the other fields of a request at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace docscan_cli {
namespace {

TEST(ArgsTest, OptionsInTheirUsualForms)
{
    ArgReader args({"--mode", "Gray", "--resolution=150", "-l10", "-t", "5", "--json", "file"});
    std::string mode, resolution, left, top, file;
    ASSERT_TRUE(args.Value("--mode", &mode) && args.Value("--resolution", &resolution) &&
                args.Value("-l", &left));
    EXPECT_FALSE(args.Value("-l", &top)) << "-t is next";
    ASSERT_TRUE(args.Value("-t", &top));
    EXPECT_FALSE(args.Positional(&file)) << "an option is not positional";
    ASSERT_TRUE(args.Flag("--json") && args.Positional(&file));
    EXPECT_EQ(mode + " " + resolution + " " + left + " " + top + " " + file, "Gray 150 10 5 file");
    EXPECT_FALSE(args.More());
}

TEST(ArgsTest, MistakesAreUsageErrors)
{
    ArgReader missing({"--mode"});
    std::string value;
    EXPECT_THROW(missing.Value("--mode", &value), UsageError);
    ArgReader flagWithValue({"--json=yes"});
    EXPECT_THROW(flagWithValue.Flag("--json"), UsageError);
    ArgReader unknown({"--frobnicate"});
    EXPECT_THROW(unknown.Unexpected("scan"), UsageError);
    // A longer option is not mistaken for a shorter one with "=".
    ArgReader longer({"--modes=x"});
    EXPECT_FALSE(longer.Value("--mode", &value));
}

TEST(ArgsTest, NumbersAreStrict)
{
    EXPECT_EQ(ParseInteger("150", 50, 600, "--resolution"), 150);
    EXPECT_EQ(ParseInteger("010", 0, 100, "n"), 10) << "decimal, not octal";
    EXPECT_THROW(ParseInteger("150dpi", 50, 600, "--resolution"), UsageError);
    EXPECT_THROW(ParseInteger("", 0, 1, "n"), UsageError);
    EXPECT_THROW(ParseInteger(" 5", 0, 10, "n"), UsageError);
    EXPECT_THROW(ParseInteger("700", 50, 600, "--resolution"), UsageError);
    EXPECT_THROW(ParseInteger("99999999999999999999", 0, 10, "n"), UsageError);
    EXPECT_DOUBLE_EQ(ParseReal("12.5", 0, 100, "-x"), 12.5);
    EXPECT_THROW(ParseReal("nan", 0, 100, "-x"), UsageError);
    EXPECT_THROW(ParseReal("-1", 0, 100, "-x"), UsageError);
    EXPECT_THROW(ParseReal("1e999", 0, 100, "-x"), UsageError);
    try {
        ParseInteger("70000", 0, 65535, "power-off");
        FAIL() << "no error";
    } catch (const UsageError &error) {
        EXPECT_NE(std::string(error.what()).find("between 0 and 65535"), std::string::npos) << error.what();
    }
}

TEST(GammaTest, CurveEndsFixedAndBrightensAboveOne)
{
    const GammaTable identity = GammaCurve(1.0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(identity[static_cast<size_t>(i)], i);
    const GammaTable bright = GammaCurve(2.2);
    EXPECT_EQ(bright[0], 0);
    EXPECT_EQ(bright[255], 255);
    EXPECT_EQ(bright[128], 186); // 255 * (128/255)^(1/2.2), rounded
    for (size_t i = 1; i < 256; ++i) EXPECT_GE(bright[i], bright[i - 1]);
}

TEST(GammaTest, FilesRawOrText)
{
    GammaTable table{};
    std::string error;
    std::vector<uint8_t> raw(256);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(255 - i);
    ASSERT_TRUE(ParseGammaTable(raw, &table, &error)) << error;
    EXPECT_EQ(table[0], 255);
    EXPECT_EQ(table[255], 0);

    std::string text = "# an inverted table\n";
    for (int i = 0; i < 256; ++i) text += std::to_string(255 - i) + (i % 16 == 15 ? "\n" : ", ");
    ASSERT_TRUE(ParseGammaTable({text.begin(), text.end()}, &table, &error)) << error;
    EXPECT_EQ(table[1], 254);

    const std::pair<std::string, const char *> refused[] = {{"1 2 3", "3 values, 256 needed"},
                                                            {text + " 256", "value 257 is above 255"},
                                                            {text + " 1", "more than 256 values"},
                                                            {"12 abc", "unexpected character at byte 3"},
                                                            {"", "0 values"}};
    for (const auto &[bad, reason] : refused) {
        EXPECT_FALSE(ParseGammaTable({bad.begin(), bad.end()}, &table, &error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

const SCANNERABILITYEX kScanner = {.MaxScanWidth = 2550,
                                   .ScanMethods = 0xFC,
                                   .BoundaryLineart = 8,
                                   .BoundaryGray = 1,
                                   .BoundaryColor = 1,
                                   .BoundaryHalftone = 8,
                                   .BoundaryHalftoneOwn = 8};

// What PlanScan makes of a request: Left Top Width Length; PixelNum x LineNum
// + HiWordLineNum; ScanMode/BitPerPixel; ScanMethod; XRes x YRes; ColorFilter;
// HTPatternNo; the image's kind and bytes per line. Or why it refuses.
std::string Planned(const ScanRequest &request, const SCANNERABILITYEX &ability)
{
    ScanPlan plan;
    std::string error;
    if (!PlanScan(request, ability, &plan, &error)) return error;
    const tagScanParameter &p = plan.parameter;
    const char *kinds[] = {"Bilevel", "Gray", "Rgb"};
    char text[200];
    std::snprintf(text, sizeof text,
                  "%d %d %d %d; %dx%d+%d; mode %d/%d; method %d; %dx%d; filter %d; pattern %d; %s %zu",
                  p.Left, p.Top, p.Width, p.Length, p.PixelNum, p.LineNum, p.HiWordLineNum, p.ScanMode,
                  p.BitPerPixel, p.ScanMethod, p.XRes, p.YRes, p.ColorFilter, p.HTPatternNo,
                  kinds[static_cast<int>(plan.image.kind)], plan.bytesPerLine);
    return text;
}

TEST(ScanPlanTest, RequestsBecomeParameterRecords)
{
    using enum ScanModeChoice;
    SCANNERABILITYEX halftone3 = kScanner, colour16 = kScanner, methods23 = kScanner, method1 = kScanner,
                     noWidth = kScanner;
    halftone3.BoundaryHalftone = 3;
    halftone3.BoundaryHalftoneOwn = 0; // no constraint
    colour16.BoundaryColor = 16;
    methods23.ScanMethods = 0x08;
    method1.ScanMethods = 0x40;
    noWidth.MaxScanWidth = 0;
    const struct {
        ScanRequest request;
        std::string planned;
        SCANNERABILITYEX ability = kScanner;
    } cases[] = {
        // The full width and an A4 length.
        {{}, "0 0 2550 3508; 2550x3508+0; mode 4/24; method 0; 300x300; filter 0; pattern 0; Rgb 7650"},
        // Millimetres at 150 dpi: 10 mm = 118.1 units; Width is what 590 pixels cover.
        {{.mode = Gray, .resolution = 150, .left = 10, .top = 10, .width = 100, .height = 50, .dropout = 1},
         "118 118 1180 591; 590x295+0; mode 2/8; method 0; 150x150; filter 1; pattern 0; Gray 590"},
        // 1-bit modes keep whole bytes, and every mode the scanner's boundary.
        {{.mode = Lineart},
         "0 0 2544 3508; 2544x3508+0; mode 0/1; method 0; 300x300; filter 0; pattern 0; Bilevel 318"},
        {{.mode = Halftone, .halftonePattern = 4},
         "0 0 2544 3508; 2544x3508+0; mode 1/1; method 0; 300x300; filter 0; pattern 4; Bilevel 318",
         halftone3},
        {{},
         "0 0 2544 3508; 2544x3508+0; mode 4/24; method 0; 300x300; filter 0; pattern 0; Rgb 7632",
         colour16},
        // The first method the scanner supports.
        {{},
         "0 0 2550 3508; 2550x3508+0; mode 4/24; method 2; 300x300; filter 0; pattern 0; Rgb 7650",
         methods23},
        {{},
         "0 0 2550 3508; 2550x3508+0; mode 4/24; method 1; 300x300; filter 0; pattern 0; Rgb 7650",
         method1},
        // The whole glass, rounding aside.
        {{.width = 215.9},
         "0 0 2550 3508; 2550x3508+0; mode 4/24; method 0; 300x300; filter 0; pattern 0; Rgb 7650"},
        {{.left = 200, .width = 20}, "the scan area (-l plus -x) is wider than the scanner's 215.9 mm"},
        {{.left = 216}, "-l lies beyond the scanner's width of 215.9 mm"},
        {{.height = 3000}, "the scan area (-t plus -y) is longer than 2709.3 mm"},
        {{.resolution = 700}, "--resolution must be between 50 and 600 dpi"},
        {{.resolution = 49}, "--resolution must be between 50 and 600 dpi"},
        {{.mode = Lineart, .resolution = 50, .width = 1},
         "the scan area is too small to hold a pixel at this resolution"},
        {{.mode = Halftone, .halftonePattern = 7}, "--halftone-pattern must be between 1 and 6"},
        {{}, "the scanner reports no scan width", noWidth},
    };
    for (const auto &c : cases) EXPECT_EQ(Planned(c.request, c.ability), c.planned);
}

TEST(ScanPlanTest, ModeAndDropoutNamesInAnyCase)
{
    using enum ScanModeChoice;
    const std::pair<const char *, ScanModeChoice> modes[] = {{"color", Color},     {"Colour", Color},
                                                             {"Gray", Gray},       {"grey", Gray},
                                                             {"LINEART", Lineart}, {"Halftone", Halftone}};
    for (const auto &[name, mode] : modes) EXPECT_EQ(ParseScanMode(name), mode) << name;
    EXPECT_FALSE(ParseScanMode("sepia"));
    const char *dropouts[] = {"none", "Red", "green", "BLUE"};
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(ParseDropout(dropouts[i]), i) << dropouts[i];
    EXPECT_FALSE(ParseDropout("cyan"));
    EXPECT_EQ(MmToAreaUnits(25.4), 300u);
    EXPECT_EQ(MmToAreaUnits(-3), 0u);
}

TEST(PreloadTest, SanitizerRuntimeFirstPreloadLastNoDuplicates)
{
    EXPECT_EQ(PreloadValue("", ""), "libumockdev-preload.so.0");
    EXPECT_EQ(PreloadValue("", "/usr/lib/libasan.so.8"), "/usr/lib/libasan.so.8:libumockdev-preload.so.0");
    EXPECT_EQ(PreloadValue("a.so b.so", ""), "a.so:b.so:libumockdev-preload.so.0");
    EXPECT_EQ(PreloadValue("a.so:/usr/lib/libasan.so.8", "/usr/lib/libasan.so.8"),
              "/usr/lib/libasan.so.8:a.so:libumockdev-preload.so.0");
    EXPECT_EQ(PreloadValue("libumockdev-preload.so.0:a.so", ""), "a.so:libumockdev-preload.so.0");
}

} // namespace
} // namespace docscan_cli
