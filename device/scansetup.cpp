// Scan parameter records, validation and window set-up.
#include "device/scansetup.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "api/boundary.h"
#include "api/scanner.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "device/settings.h"
#include "support/NxByteOrder.h"
#include "support/debug.h"
#include "support/trace.h"

tagScanParameter OldParam;
tagScanParameter NewParam;
uint32_t dwApPixNum = 0;

ScanSetupState gScanSetup;

namespace {

uint8_t *AllocateWithNew(size_t size) { return new (std::nothrow) uint8_t[size]; }

} // namespace

CalibrationBufferAllocator gCalibrationBufferAllocator = AllocateWithNew;

namespace {

// ScanMode codes (DocscanScanMode) as the byte of the record.
constexpr uint8_t kModeLineArt = DOCSCAN_MODE_LINEART;
constexpr uint8_t kModeHalftone = DOCSCAN_MODE_HALFTONE;
constexpr uint8_t kModeGray = DOCSCAN_MODE_GRAY;
constexpr uint8_t kModeColor2 = DOCSCAN_MODE_COLOR_SECOND;
constexpr uint8_t kModeColor = DOCSCAN_MODE_COLOR;
constexpr uint8_t kModeNone = 5; // no mode has this code
constexpr uint8_t kModeR2Ycc = DOCSCAN_MODE_YCC_COLOR;
constexpr uint8_t kModeD2JpegFirst = DOCSCAN_MODE_JPEG_COLOR_FIRST;
constexpr uint8_t kModeD2JpegLast = DOCSCAN_MODE_JPEG_COLOR_LAST;
constexpr uint8_t kModeD2JpegGray = DOCSCAN_MODE_JPEG_GRAY;

constexpr uint16_t kMaxResolution = 600;

// ---------------------------------------------------------------------------
// Validation steps: each throws its rejection message, caught by
// CheckScanParameter.
// ---------------------------------------------------------------------------
bool IsColourMode(uint8_t mode)
{
    return mode == kModeColor2 || mode == kModeColor || mode == kModeR2Ycc ||
           (mode >= kModeD2JpegFirst && mode <= kModeD2JpegLast);
}

// Bit of inquiry byte 61 for a depth per channel, 0 for an unknown depth.
uint8_t DepthBit(unsigned depth)
{
    switch (depth) {
    case 1: return 0x80;
    case 4: return 0x40;
    case 6: return 0x20;
    case 8: return 0x10;
    case 10: return 0x08;
    case 12: return 0x04;
    case 16: return 0x02;
    default: return 0;
    }
}

// Bits of inquiry byte 62 that allow a scan method (methods 0..5).
constexpr uint8_t kMethodMasks[] = {0xA0, 0x70, 0x08, 0x08, 0x04, 0x04};

void CheckModeRange(const tagScanParameter &p)
{
    if (p.ScanMode > kModeD2JpegGray || p.ScanMode == kModeNone) throw "Unknown scan mode";
}

void CheckModeSpecific(const tagScanParameter &p, const NX_InquiryData &inq)
{
    if (p.ScanMode == kModeR2Ycc) {
        if (!InquiryBit<kInqFlags128>(inq, kInqR2YccA) && !InquiryBit<kInqFlags129>(inq, kInqR2YccB))
            throw "Not support R2 YCC";
        if (p.CompressionArgument != 0) throw "Not support R2 YCC compression argument";
    } else if (p.ScanMode >= kModeD2JpegFirst && p.ScanMode <= kModeD2JpegLast) {
        if (!InquiryBit<kInqFlags129>(inq, kInqD2Jpeg)) throw "Not support D2 JPEG";
        if (p.BitPerPixel != 24) throw "Not supported BitsPerPixel for D2 JPEG(Color mode)";
        const uint8_t arg = p.CompressionArgument;
        if (!(arg <= 100 || (arg >= 128 && arg <= 131))) throw "Not support D2 Jpeg compression argument";
    } else if (p.ScanMode == kModeD2JpegGray) {
        if (!InquiryBit<kInqFlags129>(inq, kInqD2Jpeg)) throw "Not support D2 JPEG";
        if (p.BitPerPixel != 8) throw "Not supported BitsPerPixel for D2 JPEG(Gray mode)";
    }
}

void CheckDepth(const tagScanParameter &p, const NX_InquiryData &inq)
{
    constexpr const char *kMessage = "Device does not support this scan mode or bit per pixel";
    if (!InquiryBit<kInqScanEnable>(inq, kInqScanAllowed)) throw kMessage;
    unsigned depth = p.BitPerPixel;
    if (IsColourMode(p.ScanMode)) {
        if (depth % 3 != 0) throw kMessage;
        depth /= 3;
    }
    const uint8_t bit = DepthBit(depth);
    if (bit == 0) throw kMessage;
    if (p.ScanMode == kModeR2Ycc && depth == 4) return; // 4 bits a channel need no bit here
    if (!InquiryBit<kInqSampleDepths>(inq, bit)) throw kMessage;
}

void CheckMethod(const tagScanParameter &p, const NX_InquiryData &inq)
{
    if (p.ScanMethod >= sizeof kMethodMasks || !InquiryBit<kInqScanMethods>(inq, kMethodMasks[p.ScanMethod]))
        throw "Device does not support this scan method";
}

void CheckResolution(const tagScanParameter &p, const NX_InquiryData &inq)
{
    if (p.XRes > kMaxResolution || p.YRes > kMaxResolution) throw "Resolution exceed device's resolution";
    if (p.XRes != p.YRes && !InquiryBit<kInqFlags50>(inq, kInqXYMayDiffer))
        throw "Device does not support X/Y resolution different";
}

void CheckPixelBoundary(const tagScanParameter &p, const NX_InquiryData &inq)
{
    unsigned boundary;
    switch (p.ScanMode) {
    case kModeLineArt: boundary = InquiryByte<kInqBoundaryLineart>(inq); break;
    case kModeHalftone:
        boundary = p.HTPatternNo == InquiryByte<kInqHalftonePattern>(inq)
                       ? InquiryByte<kInqBoundaryHalftoneOwn>(inq)
                       : InquiryByte<kInqBoundaryHalftone>(inq);
        break;
    case kModeGray:
        boundary =
            p.BitPerPixel == 4 ? InquiryByte<kInqBoundaryGray4>(inq) : InquiryByte<kInqBoundaryGray>(inq);
        break;
    case kModeColor2:
    case kModeColor: boundary = InquiryByte<kInqBoundaryColor>(inq); break;
    case kModeR2Ycc: boundary = 2; break;
    default: return; // the compressed modes have no pixel boundary
    }
    // A boundary of 0 is a fault of the device's description: refuse the request.
    if (boundary == 0 || p.PixelNum % boundary != 0) throw "Pixel boundary is error";
}

void CheckLineBoundary(const tagScanParameter &p)
{
    const uint32_t lines = (static_cast<uint32_t>(p.HiWordLineNum) << 16) | p.LineNum;
    const uint32_t boundary = p.ScanMode == kModeR2Ycc ? 2 : 1;
    if (lines % boundary != 0) throw "Line boundary is error";
}

// ---------------------------------------------------------------------------
// Set-up steps of SetScanParameter.
// ---------------------------------------------------------------------------

// Maps the requested mode to what the scanner scans and sets the flags.
void MapModeAndFlags(tagScanParameter &device)
{
    const uint8_t mode = device.ScanMode;
    bool asGray = false;
    if (mode == kModeLineArt && device.BitPerPixel == 1) {
        if (device.ColorFilter == 0) device.ColorFilter = 1;
        gScanSetup.bitBW = 1;
        asGray = true;
    } else if (mode == kModeHalftone && device.BitPerPixel == 1) {
        gScanSetup.bitHafltone = 1;
        asGray = true;
    } else if (mode == kModeGray) {
        asGray = true;
    }
    if (asGray) {
        device.ScanMode = kModeColor;
        device.BitPerPixel = 24;
        gScanSetup.bitOneChanelGray = device.ColorFilter != 0 ? 1 : 0;
        gScanSetup.bitTrueGray = device.ColorFilter != 0 ? 0 : 1;
    } else {
        gScanSetup.bitOneChanelGray = 0;
        gScanSetup.bitTrueGray = 0;
    }
}

// Device pixels per line: the full width plus the kept overscan, at the
// device resolution. Zeroes the overscan extents that are not in force.
uint16_t DeviceLineWidth(uint16_t deviceResolution)
{
    uint8_t *extent2 = &MyInquiryData.Data[kInqOverscan2];
    uint8_t *extent4 = &MyInquiryData.Data[kInqOverscan4];
    if (OverScanFlag == 0 || wiaflag == 0) {
        PutBE16(extent2, 0);
        PutBE16(extent4, 0);
    }
    const uint32_t margins = static_cast<uint32_t>(GetBE16(extent2)) + GetBE16(extent4);
    uint32_t width = scannermaxwidth + margins;
    if (deviceResolution == 600) width *= 2;
    return static_cast<uint16_t>(width);
}

// Device line count: the request's lines at the device resolution, rounded
// down to a multiple of 4, plus 12.
uint16_t DeviceLineCount(uint16_t lines, double scaleToDevice)
{
    // lines <= 65535 and scaleToDevice <= 600: the product fits in 32 bits.
    const auto scaled = static_cast<uint32_t>(lines * scaleToDevice);
    return static_cast<uint16_t>((scaled & ~3u) + 12u);
}

// Reads the calibration status block and, when the scanner asks for it, the
// calibration raw data, which is dumped to a debug file.
bool ReadCalibration(uint16_t deviceResolution)
{
    uint8_t status[kCalibrationStatusLength] = {};
    if (!Read(status, kCalibrationStatusLength, kReadTypeCalibrationStatus, kReadQualifier)) return false;

    const uint8_t state = status[kCalibrationStateOffset];
    const bool onRequest = (NewParam.ExtScanParam & kExtCalibrationOnRequest) != 0;
    const bool readRaw = onRequest ? state == 1 : state != 3;
    if (!readRaw) {
        LogOutput(kLogExported, DebugFunctionFile, "Calibration is not need !");
        return true;
    }

    const time_t now = std::time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof name,
                  deviceResolution == 300 ? "4417_96_1_%d%d%d_Rawdata.raw" : "4417_192_1_%d%d%d_Rawdata.raw",
                  local.tm_hour, local.tm_min, local.tm_sec);

    const uint32_t size = deviceResolution == 300 ? kCalibrationRawLength300 : kCalibrationRawLength600;
    // No buffer for the raw data: the call fails with the memory status code.
    std::unique_ptr<uint8_t[]> data(gCalibrationBufferAllocator(size));
    if (!data) {
        SetErrCode(kErrScanMemory);
        return false;
    }
    const uint8_t type =
        NewParam.ScanMode < kModeColor2 ? kReadTypeCalibrationRawLow : kReadTypeCalibrationRawHigh;
    const bool ok = Read(data.get(), size, type, kReadQualifier);
    if (ok) ImageOutput(name, data.get(), size);
    return ok;
}

// The device part of SetScanParameter: derive the request, build and send the
// window, inside the device lock.
bool SetUpScan(const tagScanParameter &request)
{
    dwApPixNum = request.BitPerPixel == 24 ? request.PixelNum * 3u : request.PixelNum;
    DumpScanParameter("AP", &request);

    gScanSetup.sacdimension = tagSacDimension{};
    NewParam = request;
    gScanSetup.sacdimension.Width = request.Width;
    gScanSetup.sacdimension.Length = request.Length;
    gScanSetup.sacdimension.PixelNum = request.PixelNum;
    gScanSetup.sacdimension.LineNum = request.LineNum;
    gScanSetup.sacdimension.Left = request.Left;
    gScanSetup.sacdimension.ScanMode = request.ScanMode;
    gScanSetup.sacdimension.BitPerPixel = request.BitPerPixel;
    gScanSetup.sacdimension.XRes = request.XRes;

    MapModeAndFlags(NewParam);
    NewParam.Left = 0;

    const uint16_t resolution = DeviceResolution(request.XRes);
    NewParam.XRes = resolution;
    NewParam.YRes = resolution;
    NewParam.PixelNum = DeviceLineWidth(resolution);
    // A resolution of 0 has no scale between caller and device: refuse it
    // (the ratios stay 0, the line count is the request's).
    if (request.XRes == 0) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }
    gScanSetup.sacdimension.ScaleToCaller = static_cast<double>(request.XRes) / resolution;
    gScanSetup.sacdimension.ScaleToDevice = static_cast<double>(resolution) / request.XRes;
    NewParam.LineNum = DeviceLineCount(request.LineNum, gScanSetup.sacdimension.ScaleToDevice);

    if (!CheckScanParameter(&request)) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }

    NX_WindowParameterList list = {};
    PutBE16(list.DescriptorLength, static_cast<uint16_t>(kWindowDescriptorLength));
    GetWindowDescriptor(&list.Descriptor, &NewParam);
    if (!SetWindow(reinterpret_cast<uint8_t *>(&list), kWindowParameterLength)) return false;

    return ReadCalibration(resolution);
}

} // namespace

void DumpScanParameter(const char *prefix, const tagScanParameter *record)
{
    if (prefix == nullptr || record == nullptr) return;
    const tagScanParameter &p = *record;

    const time_t now = std::time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    LogOutput(kLogExported, DebugParamFile, "============ ScanParameter ============%d:%d:%d", local.tm_hour,
              local.tm_min, local.tm_sec);

    // One line a field: "<prefix>.ScanParameter.<field> = <value>".
#define DUMP_LINE(text, value)                                                                               \
    LogOutput(kLogExported, DebugParamFile, "%s.ScanParameter." text, prefix, value)
    DUMP_LINE("Left = %i", p.Left);
    DUMP_LINE("Top = %i", p.Top);
    DUMP_LINE("Width = %i", p.Width);
    DUMP_LINE("Length = %i", p.Length);
    DUMP_LINE("PixelNum = %d", p.PixelNum);
    DUMP_LINE("LineNum = %i", p.LineNum);
    DUMP_LINE("ScanMode = %i", p.ScanMode);
    DUMP_LINE("ScanMethod = %i", p.ScanMethod);
    DUMP_LINE("BitPerPixel = %i", p.BitPerPixel);
    DUMP_LINE("ScanSpeed = %i", p.ScanSpeed);
    DUMP_LINE("Contrast = %i", p.Contrast);     // signed
    DUMP_LINE("Brightness = %i", p.Brightness); // signed
    DUMP_LINE("HTPatternNo = %i", p.HTPatternNo);
    DUMP_LINE("Highlight = %i", p.Highlight);
    DUMP_LINE("Shadow = %i", p.Shadow);
    DUMP_LINE("ColorFilter = %i", p.ColorFilter);
    DUMP_LINE("Invert = %i", p.Invert);
    DUMP_LINE("IntelligentMultiFeedStyle = %i", p.IntelligentMultiFeedStyle);
    DUMP_LINE("ExtScanParam = 0x%X", p.ExtScanParam);
    DUMP_LINE("RExposure = %i", p.RExposure);
    DUMP_LINE("GExposure = %i", p.GExposure);
    DUMP_LINE("BExposure = %i", p.BExposure);
    DUMP_LINE("XRes = %i", p.XRes);
    DUMP_LINE("YRes = %i", p.YRes);
    DUMP_LINE("RGain = %i", p.RGain);
    DUMP_LINE("GGain = %i", p.GGain);
    DUMP_LINE("BGain = %i", p.BGain);
    DUMP_LINE("lensPosition = %i", p.lensPosition); // signed
    DUMP_LINE("byBackgroundLines = %i", p.byBackgroundLines);
    DUMP_LINE("byPagesThisJob = %i", p.byPagesThisJob);
    DUMP_LINE("EnableBatchScan = %i", p.EnableBatchScan);
    DUMP_LINE("wPaperLength = %i", p.wPaperLength);
    DUMP_LINE("ExtIndex = %i", p.ExtIndex);
    DUMP_LINE("ExtSize = %i", p.ExtSize);
    // The record has no field of its own for this line: it repeats byPagesThisJob.
    DUMP_LINE("MaxPaperScan = %i", p.byPagesThisJob);
    DUMP_LINE("UltraSonicIntension = %i", p.UltraSonicIntension);
    DUMP_LINE("CompressionArgument = %i", p.CompressionArgument);
    DUMP_LINE("HiWordLength = %i", p.HiWordLength);
    DUMP_LINE("HiWordLineNum = %i", p.HiWordLineNum);
    DUMP_LINE("ExtScanParam2 = 0x%0X", p.ExtScanParam2);
#undef DUMP_LINE
}

bool CheckScanParameter(const tagScanParameter *record)
{
    TraceScope trace(kLogInternal, "CheckScanParameter", 0);
    bool result = false;
    if (record != nullptr) {
        try {
            const tagScanParameter &p = *record;
            const NX_InquiryData &inq = MyInquiryData;
            CheckModeRange(p);
            CheckModeSpecific(p, inq);
            CheckDepth(p, inq);
            CheckMethod(p, inq);
            CheckResolution(p, inq);
            CheckPixelBoundary(p, inq);
            CheckLineBoundary(p);
            result = true;
        } catch (const char *message) {
            LogOutput(kLogInternal, DebugFunctionFile, "Check scan parameter error = %s", message);
        }
    }
    return trace.Return(result);
}

void GetWindowDescriptor(NX_WindowDescription *descriptor, const tagScanParameter *record)
{
    if (descriptor == nullptr) return;
    NX_WindowDescription &w = *descriptor;
    w = NX_WindowDescription{};
    if (record == nullptr) return;
    const tagScanParameter &p = *record;
    const bool fineUnit = (p.ExtScanParam & kExtFineAreaUnit) != 0;
    auto area = [fineUnit](uint16_t value) -> uint32_t { return fineUnit ? value / 2u : value * 4u; };

    const uint16_t resolution = DeviceResolution(p.XRes);
    w.WindowIdentifier = 0;
    PutBE16(w.XResolution, resolution);
    PutBE16(w.YResolution, resolution);
    PutBE32(w.UpperLeftX, area(p.Left));
    PutBE32(w.UpperLeftY, area(p.Top));
    PutBE32(w.Width, area(p.Width));
    PutBE32(w.Length, area(p.Length));
    w.Brightness = 0x80;
    w.Threshold = 0x80;
    w.Contrast = 0x80;
    switch (p.ScanMode) {
    case kModeLineArt: w.ImageComposition = 0; break;
    case kModeHalftone: w.ImageComposition = 1; break;
    case kModeGray: w.ImageComposition = 2; break;
    case kModeColor:
    case kModeR2Ycc: w.ImageComposition = 5; break;
    default: w.ImageComposition = 0; break;
    }
    switch (p.BitPerPixel) {
    case 16:
    case 48: w.BitsPerPixel = 16; break;
    case 24:
    case 12: w.BitsPerPixel = 8; break;
    default: w.BitsPerPixel = p.BitPerPixel; break;
    }
    PutBE16(w.HalftonePattern, p.ScanMode == kModeHalftone ? p.HTPatternNo : 0);
    w.FillType = 3;
    PutBE16(w.PaperLength, p.wPaperLength);
    w.Vendor40 = 0xFF;
    w.Vendor41 = 0x1D;
    uint8_t selection = 0x40;
    if (p.ScanMode == kModeLineArt) {
        selection = 0x70;
    } else if (p.ScanMode == kModeColor) {
        selection = 0x60;
    } else if (p.ScanMode == kModeGray) {
        constexpr uint8_t kByFilter[] = {0x70, 0x48, 0x50, 0x58};
        if (p.ColorFilter < sizeof kByFilter) selection = kByFilter[p.ColorFilter];
    }
    w.ColorSelection = selection;
    w.Vendor43 = 0xFF;
    // At most 255 x 65535 / 8: fits in 24 bits.
    const uint32_t bytesPerLine = p.BitPerPixel * static_cast<uint32_t>(NewParam.PixelNum) / 8u;
    PutBE16(w.BytesPerLineLow, static_cast<uint16_t>(bytesPerLine));
    PutBE16(w.Lines, NewParam.LineNum);
    PutBE16(w.RExposure, p.RExposure);
    PutBE16(w.GExposure, p.GExposure);
    PutBE16(w.BExposure, p.BExposure);
    w.BytesPerLineHigh = static_cast<uint8_t>(bytesPerLine >> 16);
    w.BackgroundLines = p.byBackgroundLines;
    w.PagesThisJob = p.byPagesThisJob;
    w.UltraSonicIntensity = p.UltraSonicIntension;
}

bool SetScanParameter(tagScanParameter *parameter)
{
    TraceScope trace(kLogExported, "SetScanParameter", 0);
    bool locked = false;
    const bool result = CatchAtBoundary(kErrGeneral, [&] {
        // No record: nothing to keep or validate.
        if (parameter == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        // Work on a copy: the caller may hand in one of the driver's own records.
        const tagScanParameter request = *parameter;
        OldParam = request;

        SCANNERABILITYEX ability = {};
        const bool known = GetScannerAbilityEx(&ability);
        scannermaxwidth = ability.MaxScanWidth;
        if (!known) {
            trace.SkipExitLine();
            return false;
        }
        locked = true;
        if (!StartLock()) return false;
        return SetUpScan(request);
    });
    if (locked) EndLock();
    return trace.Return(result);
}
