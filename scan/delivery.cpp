// Image delivery: ReadScan takes raw device blocks out of the ring, turns each
// into the image the caller asked for (stretch, crop, filters, rescale, gray,
// halftone, line art) in the session's blockBuffer, and hands the caller exactly the bytes
// it asks for, keeping the rest of a processed block for the next call.
//
// Every step's reads and writes are checked against the buffers: StartScan
// refuses a request whose full block would not fit (BuildDeliveryPlan), and
// each block is checked again as it is processed.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "api/boundary.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "imaging/convert.h"
#include "imaging/filter.h"
#include "imaging/scale.h"
#include "scan/scan.h"
#include "support/debug.h"
#include "support/trace.h"

uint8_t gApplicationType = 0;
float scale = 1.0f;

namespace {

constexpr unsigned char kBinaryThreshold = 128;
// Callers at or below this resolution get neither the stretch nor the crop of
// a full-width request.
constexpr uint32_t kLowestCroppedXRes = 49;

// 3x3 kernels handed to the filters, row by row.
const char kKernelColorPack[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
const char kKernelDenoise[9] = {1, 1, 1, 1, 16, 1, 1, 1, 1};
const char kKernelSharpen[9] = {0, -1, 0, 0, 7, 0, 0, -1, 0};
const char kKernelShadowHighlight[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
constexpr short kKernelSize = 3;

// The two models whose colour scans at 300 dpi are filtered: the inquiry
// product identification starts with one of these six bytes.
const unsigned char kFilterModels[2][6] = {{'Q', 'R', '3', '1', '0', 0}, {'Q', 'R', '6', '2', '0', 0}};

using WorkBuffer = std::unique_ptr<unsigned char[]>;

WorkBuffer AllocateWork(uint64_t bytes) { return WorkBuffer(new (std::nothrow) unsigned char[bytes]); }

// Bytes per pixel as the scaling routines count them.
uint32_t ScalingBytesPerPixel(uint32_t bitsPerPixel) { return bitsPerPixel >= 8 ? bitsPerPixel / 8 : 1; }

bool IsFilterModel()
{
    for (const auto &model : kFilterModels) {
        if (std::memcmp(InquiryData.Data + kInqProductId, model, sizeof model) == 0) return true;
    }
    return false;
}

// trunc(W x scale / 4) x 4 in single precision; 0 when the factor makes no
// sense (not a finite positive value, or a width beyond 32 bits).
uint32_t StretchedWidth(uint32_t width)
{
    const float quarter = static_cast<float>(width) * scale / 4;
    if (!(quarter >= 0.0f && quarter < 1.0e9f)) return 0;
    return static_cast<uint32_t>(quarter) * 4;
}

// trunc(P x ScaleToDevice): the device pixels a cropped line keeps.
uint64_t DevicePixelsOfCaller(const DeliveryPlan &plan)
{
    const double pixels = plan.P * plan.scaleToDevice;
    if (!(pixels >= 0.0 && pixels < 4.0e9)) return UINT64_MAX / 16;
    return static_cast<uint64_t>(pixels);
}

// The most lines ScaleProcess makes from `lines` source lines at this ratio:
// floor((n + lines) r) - floor(n r) is at most floor(lines r) + 1.
uint64_t MaxScaledLines(uint64_t lines, double ratio)
{
    return static_cast<uint64_t>(static_cast<double>(lines) * ratio) + 1;
}

// Walks the steps of a full block (linesPerBlock lines of blockSize bytes) with
// sizes only, and checks that every read and write stays inside its buffer.
bool CheckBlockSizes(const DeliveryPlan &plan, const char **why)
{
    auto refuse = [why](const char *reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    const uint64_t S = Session().blockSize;
    const uint64_t bpp = ScalingBytesPerPixel(plan.D);
    uint64_t lines = Session().linesPerBlock;
    uint64_t bytes = S;

    if (plan.stretch) {
        const uint64_t stretched = StretchedWidth(plan.W);
        const uint64_t line = uint64_t{plan.W} * plan.D / 8;
        const uint64_t stretchedLine = stretched * plan.D / 8;
        if (stretched == 0 || stretched * bpp * lines > 2 * S || (lines - 1) * stretchedLine + line > 2 * S)
            return refuse("stretched block larger than the work buffer");
    }
    if (plan.crop) {
        if (uint64_t{plan.cropOffset} + plan.croppedLine > plan.fullLine)
            return refuse("requested area outside the scanned line");
        if (plan.croppedLine == 0) return refuse("empty requested line");
        bytes = uint64_t{plan.croppedLine} * lines;
    }
    const uint64_t callerLine = uint64_t{plan.P} * plan.D / 8;
    if (plan.filters && callerLine * lines > S) return refuse("filtered block larger than the block buffer");
    if (plan.rescale) {
        const uint64_t source = plan.crop ? DevicePixelsOfCaller(plan) : plan.W;
        if (source == 0 || source * bpp * lines > S)
            return refuse("scaling source larger than the block buffer");
        lines = MaxScaledLines(lines, plan.scaleToCaller);
        bytes = uint64_t{plan.D} * plan.P * lines / 8;
        if (bytes > S) return refuse("rescaled block larger than the block buffer");
    }
    for (int step = 0; step < (plan.trueGray ? 1 : 0) + (plan.oneChannelGray ? 1 : 0); ++step) {
        if (callerLine * lines > S || lines * plan.W > S)
            return refuse("gray block larger than the block buffer");
        if (bytes < 2 * uint64_t{plan.P} * lines) return refuse("gray block without colour data");
        bytes -= 2 * uint64_t{plan.P} * lines;
    }
    for (int step = 0; step < (plan.halftone ? 1 : 0) + (plan.lineart ? 1 : 0); ++step) {
        if (uint64_t{plan.P} * lines > S) return refuse("binarised block larger than the block buffer");
        bytes /= 8;
    }
    return true;
}

// ---- Steps of a block (in blockBuffer, `lines` lines) ----------------------------
// Each returns 0 or the status code of its failure.

uint32_t Stretch(const DeliveryPlan &plan)
{
    const uint32_t stretched = StretchedWidth(plan.W);
    const size_t line = size_t{plan.W} * plan.D / 8;
    const size_t stretchedLine = size_t{stretched} * plan.D / 8;
    Session().imagingUse.scaleProcessEx = true;
    ScaleProcessEx(Session().blockBuffer, plan.W, Session().linesPerBlock, Session().workBuffer, stretched,
                   scale, 1.0, static_cast<unsigned short>(plan.D));
    // The stretched lines are cut back to the unstretched line length.
    for (size_t k = 1; k < Session().linesPerBlock; ++k)
        std::memmove(Session().workBuffer + k * line, Session().workBuffer + k * stretchedLine, line);
    std::memcpy(Session().blockBuffer, Session().workBuffer, Session().blockSize);
    return 0;
}

uint32_t Crop(const DeliveryPlan &plan, uint32_t lines)
{
    Session().cropped = 1;
    const size_t cropped = plan.croppedLine;
    const size_t full = plan.fullLine;
    for (size_t k = 0; k < lines; ++k)
        std::memmove(Session().blockBuffer + k * cropped, Session().blockBuffer + plan.cropOffset + k * full,
                     cropped);
    Session().imageStore -= (plan.fullLine - plan.croppedLine) * lines;
    Session().finalSize = Session().imageStore;
    return 0;
}

uint32_t Filter(const DeliveryPlan &plan, uint32_t &lines)
{
    if (uint64_t{plan.P} * plan.D / 8 * lines > Session().blockSize) return kErrGeneral;
    Session().imagingUse.filters = true;
    const auto width = static_cast<unsigned short>(plan.P);
    const auto depth = static_cast<unsigned char>(plan.D);
    auto run = [&](auto filter, const char *kernel) {
        const unsigned short result = filter(Session().blockBuffer, width, plan.devLineNum,
                                             static_cast<unsigned short>(lines), depth, kernel, kKernelSize);
        // A filter hands back at most the lines it was given.
        if (result < lines) lines = result;
    };
    if (plan.devXRes < 1200) run(ColorPack_Filter3x3, kKernelColorPack);
    run(Denoise_Filter_GraySemiGrayPixels_3x3, kKernelDenoise);
    run(Filter_SharpenGrayPixels_3x3, kKernelSharpen);
    run(Filter_ShadowHighlight_3x3, kKernelShadowHighlight);
    return 0;
}

uint32_t Rescale(const DeliveryPlan &plan, uint32_t &lines)
{
    const uint64_t bpp = ScalingBytesPerPixel(plan.D);
    const uint64_t source = Session().cropped == 1 ? DevicePixelsOfCaller(plan) : plan.W;
    if (source == 0 || source * bpp * lines > Session().blockSize) return kErrGeneral;
    // The double ratio can round one line past the exact bound: room for it.
    const uint64_t most = MaxScaledLines(lines, plan.scaleToCaller) + 1;
    const uint64_t workBytes = std::max<uint64_t>(Session().blockSize, most * plan.P * bpp);
    WorkBuffer work = AllocateWork(workBytes);
    if (!work) return kErrConvertMemory;
    Session().imagingUse.scaleProcess = true;
    const unsigned int made =
        ScaleProcess(Session().blockBuffer, static_cast<unsigned int>(source), lines, work.get(), plan.P,
                     plan.scaleToCaller, plan.scaleToCaller, static_cast<unsigned short>(plan.D));
    const uint64_t bytes = uint64_t{plan.D} * plan.P * made / 8;
    if (made > most || bytes > Session().blockSize) return kErrGeneral;
    std::memcpy(Session().blockBuffer, work.get(), bytes);
    lines = made;
    Session().imageStore = Session().finalSize = static_cast<uint32_t>(bytes);
    return 0;
}

uint32_t ToGray(const DeliveryPlan &plan, uint32_t &lines, bool oneChannel)
{
    const uint64_t sourceLine = uint64_t{plan.P} * plan.D / 8;
    const uint64_t reduction = 2 * uint64_t{plan.P} * lines;
    if (sourceLine * lines > Session().blockSize || uint64_t{lines} * plan.W > Session().blockSize ||
        Session().imageStore < reduction)
        return kErrGeneral;
    WorkBuffer work = AllocateWork(Session().blockSize);
    if (!work) return kErrConvertMemory;
    const auto sourceBytes = static_cast<unsigned int>(sourceLine);
    const unsigned int made =
        oneChannel ? ColortoOneChannelGray(Session().blockBuffer, work.get(), 3, sourceBytes, plan.W, lines,
                                           plan.colorFilter)
                   : ColortoGray(Session().blockBuffer, work.get(), 3, sourceBytes, plan.W, lines);
    if (made > lines) return kErrGeneral;
    lines = made;
    // The gray lines (P bytes each) occupy the first lines x P bytes.
    std::memcpy(Session().blockBuffer, work.get(), size_t{lines} * plan.W);
    Session().imageStore -= static_cast<uint32_t>(reduction);
    Session().finalSize = Session().imageStore;
    return 0;
}

uint32_t ToOneBit(const DeliveryPlan &plan, uint32_t lines, bool halftone)
{
    if (uint64_t{plan.P} * lines > Session().blockSize) return kErrGeneral;
    WorkBuffer work = AllocateWork(Session().blockSize);
    if (!work) return kErrConvertMemory;
    const unsigned int packed = plan.P / 8;
    if (halftone)
        TransferGrayToHalftone(Session().blockBuffer, work.get(), packed, kBinaryThreshold, plan.P, lines,
                               plan.htPattern);
    else
        GrayToLineart(Session().blockBuffer, work.get(), packed, kBinaryThreshold, plan.P, lines);
    std::memcpy(Session().blockBuffer, work.get(), size_t{lines} * packed);
    Session().imageStore /= 8;
    Session().finalSize = Session().imageStore;
    return 0;
}

// Turns the raw block in blockBuffer into caller data. 0 or a status code.
uint32_t ProcessBlock(const DeliveryPlan &plan)
{
    uint32_t lines = Session().linesPerBlock;
    Session().imageStore = Session().finalSize = Session().blockSize;
    uint32_t failure = 0;
    if (plan.stretch) failure = Stretch(plan);
    if (failure == 0 && plan.crop) failure = Crop(plan, lines);
    if (failure == 0 && plan.filters) failure = Filter(plan, lines);
    if (failure == 0 && plan.rescale) failure = Rescale(plan, lines);
    if (failure == 0 && plan.trueGray) failure = ToGray(plan, lines, false);
    if (failure == 0 && plan.oneChannelGray) failure = ToGray(plan, lines, true);
    if (failure == 0 && plan.halftone) failure = ToOneBit(plan, lines, true);
    if (failure == 0 && plan.lineart) failure = ToOneBit(plan, lines, false);
    if (failure == 0 &&
        (Session().finalSize > Session().blockSize || Session().imageStore > Session().finalSize))
        failure = kErrGeneral;
    if (failure != 0) Session().imageStore = Session().finalSize = 0;
    return failure;
}

// Fetches blocks until one yields caller data. False with gErrCode set.
bool FetchBlock()
{
    do {
        if (!Session().plan.valid || Session().blockBuffer == nullptr ||
            !GetOriginalData(Session().blockBuffer)) {
            SetErrCode(kErrRingData);
            return false;
        }
        const uint32_t failure = ProcessBlock(Session().plan);
        if (failure != 0) {
            SetErrCode(failure);
            return false;
        }
    } while (Session().imageStore == 0);
    return true;
}

bool ReadScanWork(uint8_t *buffer, uint32_t count)
{
    // No buffer to write to: refused (a null buffer is no request).
    if (buffer == nullptr) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }
    uint32_t wanted = count;
    uint8_t *out = buffer;
    for (;;) {
        if (Session().imageStore == 0 && !FetchBlock()) return false;
        LogOutput(kLogExported, DebugFunctionFile, "dwsize : %d", static_cast<int>(wanted));
        LogOutput(kLogExported, DebugFunctionFile, "Count : %d", static_cast<int>(count));
        const unsigned char *stored = Session().blockBuffer + (Session().finalSize - Session().imageStore);
        if (wanted < Session().imageStore) {
            std::memcpy(out, stored, wanted);
            Session().imageStore -= wanted;
            LogOutput(kLogExported, DebugFunctionFile, "0 : Imagestore : %d",
                      static_cast<int>(Session().imageStore));
            return true;
        }
        if (wanted == Session().imageStore) {
            std::memcpy(out, stored, wanted);
            Session().imageStore = 0;
            LogOutput(kLogExported, DebugFunctionFile, "1 : Imagestore : %d", 0);
            return true;
        }
        std::memcpy(out, stored, Session().imageStore);
        out += Session().imageStore;
        wanted -= Session().imageStore;
        Session().imageStore = 0;
    }
}

} // namespace

bool BuildDeliveryPlan(DeliveryPlan &plan, const char **why)
{
    auto refuse = [why](const char *reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    plan = DeliveryPlan{};
    plan.W = NewParam.PixelNum;
    plan.D = NewParam.BitPerPixel;
    plan.devXRes = NewParam.XRes;
    plan.devScanMode = NewParam.ScanMode;
    plan.devLineNum = NewParam.LineNum;
    plan.colorFilter = NewParam.ColorFilter;
    plan.htPattern = NewParam.HTPatternNo;
    plan.P = gScanSetup.sacdimension.PixelNum;
    plan.X = gScanSetup.sacdimension.XRes;
    plan.left = gScanSetup.sacdimension.Left;
    plan.width = gScanSetup.sacdimension.Width;
    plan.scaleToCaller = gScanSetup.sacdimension.ScaleToCaller;
    plan.scaleToDevice = gScanSetup.sacdimension.ScaleToDevice;
    plan.readSize = MaxSizeRead != 0 ? std::min(MaxSizeRead, kMaxTransferLength) : kDefaultMaxSizeRead;

    // The delivery works on whole bytes per pixel, at the device's two
    // resolutions, for callers up to 600 dpi.
    if (plan.D == 0 || plan.D % 8 != 0) return refuse("device depth is not a whole number of bytes");
    if (plan.devXRes != 300 && plan.devXRes != 600) return refuse("device resolution is neither 300 nor 600");
    if (plan.X == 0 || plan.X > 600) return refuse("caller resolution outside 1 to 600");
    if (plan.P == 0) return refuse("no pixels requested");
    if (!(plan.scaleToCaller > 0.0 && plan.scaleToDevice > 0.0 && std::isfinite(plan.scaleToCaller) &&
          std::isfinite(plan.scaleToDevice)))
        return refuse("resolution ratios not set");

    const uint32_t deviceWidth300 = scannermaxwidth + InquiryBE16<kInqOverscan2>(MyInquiryData) +
                                    InquiryBE16<kInqOverscan4>(MyInquiryData);
    plan.stretch = gApplicationType != 1 && plan.X > kLowestCroppedXRes && gModelType == 1;
    plan.crop = (plan.X > kLowestCroppedXRes && (plan.left != 0 || plan.P != deviceWidth300)) ||
                (plan.P != plan.width && gScanSetup.bitBW == 1);
    plan.filters = IsFilterModel() && gApplicationType != 1 && plan.devScanMode == 4 && plan.X == 300;
    plan.rescale = plan.X != 300 && plan.X != 600;
    plan.trueGray = gScanSetup.bitTrueGray == 1;
    plan.oneChannelGray = gScanSetup.bitOneChanelGray == 1;
    plan.halftone = gScanSetup.bitHafltone == 1;
    plan.lineart = gScanSetup.bitBW == 1;

    const uint64_t full = uint64_t{plan.W} * plan.D / 8;
    const uint64_t cropped = DevicePixelsOfCaller(plan) * plan.D / 8;
    const uint64_t offset = uint64_t{plan.devXRes} * plan.left / 300 * plan.D / 8;
    if (plan.crop && (cropped > UINT32_MAX || offset > UINT32_MAX))
        return refuse("requested area outside the scanned line");
    plan.fullLine = static_cast<uint32_t>(full);
    plan.croppedLine = static_cast<uint32_t>(std::min<uint64_t>(cropped, UINT32_MAX));
    plan.cropOffset = static_cast<uint32_t>(std::min<uint64_t>(offset, UINT32_MAX));
    return CheckBlockSizes(plan, why);
}

extern "C" {

bool ReadScan(unsigned long, uint8_t *buffer, uint32_t count)
{
    TraceScope trace(kLogExported, "ReadScan", 0);
    const bool result = CatchAtBoundary(kErrGeneral, [buffer, count] { return ReadScanWork(buffer, count); });
    if (result) trace.ExitText(" %d", static_cast<int>(count));
    return trace.Return(result);
}

bool ReadScanEx(tagReadScanExParam *parameter)
{
    TraceScope trace(kLogExported, "ReadScanEx");
    bool result = false;
    if (parameter == nullptr) {
        SetErrCode(kErrInvalidParameter);
    } else {
        result = ReadScan(0, parameter->pBuffer, parameter->dwRequest);
        parameter->dwDelivered = parameter->dwRequest;
        LogOutput(kLogExported, DebugFunctionFile, "BPL: %d", static_cast<int>(dwApPixNum));
        // No bytes per line known (no request set): no whole lines to count.
        parameter->dwLines = dwApPixNum != 0 ? parameter->dwRequest / dwApPixNum : 0;
    }
    return trace.Return(result);
}

bool ReadScanEx2(tagReadScanEx2Param *parameter)
{
    TraceScope trace(kLogExported, "ReadScanEx2");
    bool result = false;
    if (parameter == nullptr) {
        SetErrCode(kErrInvalidParameter);
    } else {
        result = ReadScan(0, parameter->pBuffer, parameter->dwRequest);
        parameter->dwDelivered = parameter->dwRequest;
        parameter->dwDelivered2 = parameter->dwRequest;
    }
    return trace.Return(result);
}

bool GetBackgroundRaster(void) { return AcceptedCall(kLogExported, "GetBackgroundRaster", 0); }

} // extern "C"
