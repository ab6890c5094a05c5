// docscan info: is the scanner there, what is it, what can it do.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "tools/commands.h"
#include "tools/report.h"

namespace docscan_cli {
namespace {

// A device string from a fixed field: up to the first 0, trailing spaces dropped, escaped.
std::string FieldText(const char *field, size_t size)
{
    size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    while (length > 0 && field[length - 1] == ' ') --length;
    return PrintableText(std::string_view(field, length));
}

template <size_t N>
std::string FieldText(const char (&field)[N])
{
    return FieldText(field, N);
}

// The four resolution fields, copied out of the packed record.
std::vector<long long> ResolutionFields(const SCANNERABILITYEX &ex)
{
    uint16_t fields[4];
    std::memcpy(fields, ex.Resolution, sizeof fields);
    return std::vector<long long>(std::begin(fields), std::end(fields));
}

std::vector<long long> Resolutions(const SCANNERABILITYEX &ex)
{
    std::vector<long long> list;
    for (long long r : ResolutionFields(ex)) {
        if (r != 0 && std::find(list.begin(), list.end(), r) == list.end()) list.push_back(r);
    }
    std::sort(list.begin(), list.end());
    return list;
}

// Sample depths named by the depth bits (bit 7: 1 bit ... bit 1: 16 bits).
std::vector<long long> SampleDepths(uint8_t bits)
{
    static constexpr int kDepths[7] = {1, 4, 6, 8, 10, 12, 16};
    std::vector<long long> list;
    for (int i = 0; i < 7; ++i) {
        if ((bits & (0x80 >> i)) != 0) list.push_back(kDepths[i]);
    }
    return list;
}

// Scan method codes 0..5 the method bits allow.
std::vector<long long> ScanMethods(uint16_t bits)
{
    static constexpr uint16_t kMasks[6] = {0xA0, 0x70, 0x08, 0x08, 0x04, 0x04};
    std::vector<long long> list;
    for (int m = 0; m < 6; ++m) {
        if ((bits & kMasks[m]) != 0) list.push_back(m);
    }
    return list;
}

std::string HexBytes(const uint8_t *bytes, size_t size)
{
    std::string text;
    char one[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(one, sizeof one, "%02X", bytes[i]);
        text += (i == 0 ? "" : " ") + std::string(one);
    }
    return text;
}

constexpr uint32_t kButtonsBit = 0x00800000;  // flag word 68: push buttons present
constexpr uint32_t kXyDifferBit = 0x04000000; // flag word 68: X and Y resolution may differ

Report Identity(const SCANNERABILITYEX &ex)
{
    Report r;
    const double widthMm = ex.MaxScanWidth * 25.4 / 300.0;
    r.Text("vendor", "Vendor", FieldText(ex.VendorName))
        .Text("product", "Product", FieldText(ex.ProductName))
        .Text("revision", "Revision", FieldText(ex.Revision))
        .Real("max_width_mm", "Max width", widthMm, "mm")
        .Number("max_width_pixels", "Max width at 300 dpi", ex.MaxScanWidth, "pixels")
        .Numbers("resolutions", "Optical resolutions", Resolutions(ex), "dpi")
        .Numbers("sample_depths", "Sample depths", SampleDepths(ex.SampleDepths), "bits")
        .Bool("buttons", "Push buttons", (ex.Flags68 & kButtonsBit) != 0);
    if ((ex.Flags68 & kButtonsBit) != 0) r.Number("button_count", "Button count", ex.ButtonCount);
    return r;
}

Report ShortRecord(const tagScannerAbility &a)
{
    Report r;
    r.Text("product_name", "ProductName", FieldText(a.ProductName))
        .Text("revision", "Revision", FieldText(a.Revision))
        .Number("dimension7", "Dimension7", a.Dimension7)
        .Number("x_resolution", "XResolution", a.XResolution, "dpi")
        .Number("y_resolution", "YResolution", a.YResolution, "dpi")
        .Hex("scanner_type", "ScannerType", a.ScannerType, 2)
        .Number("one", "One", a.One)
        .Hex("image_flags", "ImageFlags", a.ImageFlags, 2)
        .Hex("scan_methods", "ScanMethods", a.ScanMethods, 2)
        .Number("max_scan_width", "MaxScanWidth", a.MaxScanWidth, "pixels at 300 dpi")
        .Number("dimension4", "Dimension4", a.Dimension4)
        .Number("dimension5", "Dimension5", a.Dimension5)
        .Number("dimension6", "Dimension6", a.Dimension6)
        .Hex("inquiry63", "Inquiry63", a.Inquiry63, 2)
        .Number("flag32", "Flag32", a.Flag32)
        .Number("flag33", "Flag33", a.Flag33)
        .Number("dimension2", "Dimension2", a.Dimension2)
        .Number("dimension3", "Dimension3", a.Dimension3);
    return r;
}

Report ExtendedRecord(const SCANNERABILITYEX &e)
{
    Report r;
    r.Text("vendor_name", "VendorName", FieldText(e.VendorName))
        .Text("product_name", "ProductName", FieldText(e.ProductName))
        .Text("revision", "Revision", FieldText(e.Revision))
        .Text("usb_version", "UsbVersion", FieldText(e.UsbVersion))
        .Text("usb_name", "UsbName", FieldText(e.UsbName))
        .Text("fixed_bytes", "FixedBytes", HexBytes(e.FixedBytes, sizeof e.FixedBytes))
        .Hex("flags68", "Flags68", e.Flags68, 8)
        .Hex("flags72", "Flags72", e.Flags72, 8)
        .Number("max_scan_width", "MaxScanWidth", e.MaxScanWidth, "pixels at 300 dpi")
        .Number("dimension4", "Dimension4", e.Dimension4)
        .Number("dimension5", "Dimension5", e.Dimension5)
        .Number("dimension6", "Dimension6", e.Dimension6)
        .Number("dimension7", "Dimension7", e.Dimension7)
        .Numbers("resolution", "Resolution", ResolutionFields(e), "dpi")
        .Hex("image_flags", "ImageFlags", e.ImageFlags, 4)
        .Hex("scan_methods", "ScanMethods", e.ScanMethods, 4)
        .Hex("inquiry60", "Inquiry60", e.Inquiry60, 2)
        .Hex("sample_depths", "SampleDepths", e.SampleDepths, 2)
        .Number("five", "Five", e.Five)
        .Number("boundary_lineart", "BoundaryLineart", e.BoundaryLineart, "pixels")
        .Number("boundary_gray", "BoundaryGray", e.BoundaryGray, "pixels")
        .Number("boundary_color", "BoundaryColor", e.BoundaryColor, "pixels")
        .Number("boundary_halftone", "BoundaryHalftone", e.BoundaryHalftone, "pixels")
        .Number("boundary_halftone_own", "BoundaryHalftoneOwn", e.BoundaryHalftoneOwn, "pixels")
        .Number("boundary_gray4", "BoundaryGray4", e.BoundaryGray4, "pixels")
        .Hex("flags114", "Flags114", e.Flags114, 8)
        .Hex("flags118", "Flags118", e.Flags118, 8)
        .Number("dimension2", "Dimension2", e.Dimension2)
        .Number("dimension3", "Dimension3", e.Dimension3)
        .Number("dimension1", "Dimension1", e.Dimension1)
        .Number("button_count", "ButtonCount", e.ButtonCount)
        .Hex("inquiry129", "Inquiry129", e.Inquiry129, 2)
        .Hex("value133", "Value133", e.Value133, 8);
    return r;
}

Report Decoded(const SCANNERABILITYEX &e)
{
    Report r;
    r.Bool("scanning_enabled", "Scanning enabled", (e.Inquiry60 & 0x40) != 0)
        .Numbers("scan_methods", "Scan methods", ScanMethods(e.ScanMethods))
        .Numbers("sample_depths", "Sample depths", SampleDepths(e.SampleDepths), "bits")
        .Bool("xy_resolution_may_differ", "X/Y resolution may differ", (e.Flags68 & kXyDifferBit) != 0)
        .Bool("r2_ycc", "R2 YCC", (e.ImageFlags & 0x0010) != 0 || (e.Inquiry129 & 0x80) != 0)
        .Bool("d2_jpeg", "D2 JPEG", (e.Inquiry129 & 0x08) != 0)
        .Bool("buttons", "Push buttons", (e.Flags68 & kButtonsBit) != 0);
    return r;
}

} // namespace

int RunInfo(ArgReader &args, GlobalOptions options)
{
    bool abilities = false;
    while (args.More()) {
        if (ReadGlobalOption(args, &options)) continue;
        if (args.Flag("--abilities")) {
            abilities = true;
            continue;
        }
        args.Unexpected("info");
    }

    Session session(options);
    if (int rc = session.Open("info"); rc != kExitOk) return rc;
    Driver &driver = session.driver();

    SCANNERABILITYEX ex{};
    if (!driver.GetScannerAbilityEx(&ex)) return session.Fail("GetScannerAbilityEx");
    tagScannerAbility brief{};
    if (abilities && !driver.GetScannerAbility(&brief)) return session.Fail("GetScannerAbility");

    Report report;
    report.Bool("ok", "OK", true)
        .Bool("found", "Scanner found", true)
        .Bool("virtual", "Virtual scanner", session.isVirtual())
        .Text("driver", "Driver", driver.path);
    Report identity = Identity(ex);
    if (abilities) {
        identity.Section("short_record", "Short capability record (GetScannerAbility)", ShortRecord(brief))
            .Section("extended_record", "Extended capability record (GetScannerAbilityEx)",
                     ExtendedRecord(ex))
            .Section("decoded", "Decoded", Decoded(ex));
    }
    report.Section("scanner", "Scanner", identity);
    if (!session.Close()) return session.Fail("TerminateDriver");

    if (options.json) {
        std::printf("%s\n", report.Json().c_str());
    } else {
        Report head;
        head.Text("found", "Scanner", session.isVirtual() ? "found (virtual scanner)" : "found")
            .Text("driver", "Driver", driver.path);
        head.Append(identity).PrintText(stdout);
    }
    return kExitOk;
}

} // namespace docscan_cli
