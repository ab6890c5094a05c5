// The docscan front end's command-line reading, gamma tables, scan planning
// (millimetres and dpi to the scan parameter record) and the LD_PRELOAD value
// it runs itself again with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/args.h"
#include "tools/gamma.h"
#include "tools/scanrequest.h"
#include "tools/virtual.h"

namespace docscan_cli {
namespace {

TEST(ArgsTest, OptionsInTheirUsualForms)
{
    ArgReader args({"--mode", "Gray", "--resolution=150", "-l10", "-t", "5", "--json", "file"});
    std::string value;
    ASSERT_TRUE(args.Value("--mode", &value));
    EXPECT_EQ(value, "Gray");
    ASSERT_TRUE(args.Value("--resolution", &value));
    EXPECT_EQ(value, "150");
    ASSERT_TRUE(args.Value("-l", &value));
    EXPECT_EQ(value, "10");
    EXPECT_FALSE(args.Value("-l", &value)) << "-t is next";
    ASSERT_TRUE(args.Value("-t", &value));
    EXPECT_EQ(value, "5");
    EXPECT_FALSE(args.Positional(&value)) << "an option is not positional";
    ASSERT_TRUE(args.Flag("--json"));
    ASSERT_TRUE(args.Positional(&value));
    EXPECT_EQ(value, "file");
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

    const std::string shortText = "1 2 3";
    EXPECT_FALSE(ParseGammaTable({shortText.begin(), shortText.end()}, &table, &error));
    EXPECT_NE(error.find("3 values"), std::string::npos) << error;
    std::string tooLarge = text + " 256";
    EXPECT_FALSE(ParseGammaTable({tooLarge.begin(), tooLarge.end()}, &table, &error));
    std::string tooMany = text + " 1";
    EXPECT_FALSE(ParseGammaTable({tooMany.begin(), tooMany.end()}, &table, &error));
    const std::string junk = "12 abc";
    EXPECT_FALSE(ParseGammaTable({junk.begin(), junk.end()}, &table, &error));
    EXPECT_FALSE(ParseGammaTable({}, &table, &error));
}

SCANNERABILITYEX Scanner(uint16_t width = 2550)
{
    SCANNERABILITYEX ability{};
    ability.MaxScanWidth = width;
    ability.BoundaryColor = 1;
    ability.BoundaryGray = 1;
    ability.BoundaryLineart = 8;
    ability.BoundaryHalftone = 8;
    ability.BoundaryHalftoneOwn = 8;
    ability.ScanMethods = 0xFC;
    return ability;
}

TEST(ScanPlanTest, DefaultsAreTheFullWidthAndAnA4Length)
{
    ScanPlan plan;
    std::string error;
    ASSERT_TRUE(PlanScan(ScanRequest{}, Scanner(), &plan, &error)) << error;
    const tagScanParameter &p = plan.parameter;
    EXPECT_EQ(p.Left, 0);
    EXPECT_EQ(p.Top, 0);
    EXPECT_EQ(p.Width, 2550);
    EXPECT_EQ(p.Length, 3508); // 297 mm in 1/300 inch
    EXPECT_EQ(p.PixelNum, 2550);
    EXPECT_EQ(p.LineNum, 3508);
    EXPECT_EQ(+p.HiWordLineNum, 0); // odd offset: compared by value
    EXPECT_EQ(p.ScanMode, 4);
    EXPECT_EQ(p.BitPerPixel, 24);
    EXPECT_EQ(p.XRes, 300);
    EXPECT_EQ(p.YRes, 300);
    EXPECT_EQ(p.ColorFilter, 0);
    EXPECT_EQ(plan.image.kind, PixelKind::Rgb);
    EXPECT_EQ(plan.bytesPerLine, 2550u * 3);
}

TEST(ScanPlanTest, AreaInMillimetresAtALowerResolution)
{
    ScanRequest request;
    request.mode = ScanModeChoice::Gray;
    request.resolution = 150;
    request.left = 10;
    request.top = 10;
    request.width = 100;
    request.height = 50;
    request.dropout = 1;
    ScanPlan plan;
    std::string error;
    ASSERT_TRUE(PlanScan(request, Scanner(), &plan, &error)) << error;
    const tagScanParameter &p = plan.parameter;
    EXPECT_EQ(p.Left, 118); // 10 mm = 118.1 units
    EXPECT_EQ(p.Top, 118);
    EXPECT_EQ(p.Length, 591);   // 50 mm = 590.6 units
    EXPECT_EQ(p.PixelNum, 590); // 1181 units at 150 dpi
    EXPECT_EQ(p.Width, 1180);   // what 590 pixels cover
    EXPECT_EQ(p.LineNum, 295);
    EXPECT_EQ(p.ScanMode, 2);
    EXPECT_EQ(p.BitPerPixel, 8);
    EXPECT_EQ(p.ColorFilter, 1);
    EXPECT_EQ(p.XRes, 150);
    EXPECT_EQ(plan.image.width, 590u);
    EXPECT_EQ(plan.image.height, 295u);
    EXPECT_EQ(plan.image.dpi, 150u);
}

TEST(ScanPlanTest, OneBitModesKeepWholeBytesAndTheScannersBoundary)
{
    ScanRequest request;
    request.mode = ScanModeChoice::Lineart;
    ScanPlan plan;
    std::string error;
    ASSERT_TRUE(PlanScan(request, Scanner(), &plan, &error));
    EXPECT_EQ(plan.parameter.PixelNum, 2544); // 2550 down to a multiple of 8
    EXPECT_EQ(plan.parameter.ScanMode, 0);
    EXPECT_EQ(plan.parameter.BitPerPixel, 1);
    EXPECT_EQ(plan.bytesPerLine, 318u);

    SCANNERABILITYEX odd = Scanner();
    odd.BoundaryHalftone = 3;
    odd.BoundaryHalftoneOwn = 0; // no constraint
    request.mode = ScanModeChoice::Halftone;
    request.halftonePattern = 4;
    ASSERT_TRUE(PlanScan(request, odd, &plan, &error));
    EXPECT_EQ(plan.parameter.PixelNum % 24, 0);
    EXPECT_EQ(plan.parameter.PixelNum, 2544);
    EXPECT_EQ(plan.parameter.HTPatternNo, 4);
    EXPECT_EQ(plan.parameter.ScanMode, 1);

    SCANNERABILITYEX colour = Scanner();
    colour.BoundaryColor = 16;
    ASSERT_TRUE(PlanScan(ScanRequest{}, colour, &plan, &error));
    EXPECT_EQ(plan.parameter.PixelNum, 2544);
}

TEST(ScanPlanTest, ScanMethodIsOneTheScannerSupports)
{
    SCANNERABILITYEX ability = Scanner();
    ScanPlan plan;
    std::string error;
    ability.ScanMethods = 0x08; // methods 2 and 3 only
    ASSERT_TRUE(PlanScan(ScanRequest{}, ability, &plan, &error));
    EXPECT_EQ(plan.parameter.ScanMethod, 2);
    ability.ScanMethods = 0x40;
    ASSERT_TRUE(PlanScan(ScanRequest{}, ability, &plan, &error));
    EXPECT_EQ(plan.parameter.ScanMethod, 1);
}

TEST(ScanPlanTest, AreasOffTheGlassAndBadValuesAreRefused)
{
    ScanPlan plan;
    std::string error;
    ScanRequest request;
    request.left = 200;
    request.width = 20; // 220 mm > 215.9 mm
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));
    EXPECT_NE(error.find("wider"), std::string::npos) << error;

    request = {};
    request.left = 216;
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));

    request = {};
    request.width = 215.9; // the whole glass, rounding aside
    EXPECT_TRUE(PlanScan(request, Scanner(), &plan, &error)) << error;

    request = {};
    request.height = 3000;
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));

    request = {};
    request.resolution = 700;
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));
    request.resolution = 49;
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));

    request = {};
    request.mode = ScanModeChoice::Lineart;
    request.resolution = 50;
    request.width = 1; // 9 pixels at 50 dpi round down to 8... of 0.98 mm: 0 pixels
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));
    EXPECT_NE(error.find("too small"), std::string::npos) << error;

    request = {};
    request.mode = ScanModeChoice::Halftone;
    request.halftonePattern = 7;
    EXPECT_FALSE(PlanScan(request, Scanner(), &plan, &error));

    EXPECT_FALSE(PlanScan(ScanRequest{}, Scanner(0), &plan, &error)) << "a scanner without width";
}

TEST(ScanPlanTest, ModeAndDropoutNames)
{
    EXPECT_EQ(ParseScanMode("color"), ScanModeChoice::Color);
    EXPECT_EQ(ParseScanMode("Gray"), ScanModeChoice::Gray);
    EXPECT_EQ(ParseScanMode("LINEART"), ScanModeChoice::Lineart);
    EXPECT_EQ(ParseScanMode("Halftone"), ScanModeChoice::Halftone);
    EXPECT_FALSE(ParseScanMode("sepia"));
    EXPECT_EQ(ParseDropout("none"), 0);
    EXPECT_EQ(ParseDropout("Red"), 1);
    EXPECT_EQ(ParseDropout("green"), 2);
    EXPECT_EQ(ParseDropout("blue"), 3);
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
