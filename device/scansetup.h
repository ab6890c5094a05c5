// Scan set-up: the derived scan records, the host conversion flags, the
// validation of a request against the scanner's inquiry data, and the window
// descriptor sent with SET WINDOW.
//
// SetScanParameter is declared in api/scanner.h. This header holds the
// records it leaves behind (exported: OldParam, NewParam, dwApPixNum) and
// what the scan start and the image delivery read after it has run.
#ifndef DOCSCAN_DEVICE_SCANSETUP_H
#define DOCSCAN_DEVICE_SCANSETUP_H

#include <cstddef>
#include <cstdint>

#include "api/scanner.h"

extern "C" {
DOCSCAN_EXPORT extern tagScanParameter OldParam; // the caller's last request
DOCSCAN_EXPORT extern tagScanParameter NewParam; // the request as the scanner scans it
DOCSCAN_EXPORT extern uint32_t dwApPixNum;
} // extern "C"

// The caller's geometry, kept for cropping and rescaling the device data back
// to the request.
struct tagSacDimension {
    uint16_t Width;       // caller's Width
    uint16_t Length;      // caller's Length
    uint16_t PixelNum;    // caller's PixelNum
    uint16_t LineNum;     // caller's LineNum
    uint16_t Left;        // caller's Left
    uint16_t ScanMode;    // caller's ScanMode
    uint16_t BitPerPixel; // caller's BitPerPixel
    double ScaleToCaller; // caller's XRes / device resolution (300.0 or 600.0)
    double ScaleToDevice; // device resolution / caller's XRes
    uint16_t XRes;        // caller's XRes
};

// ---------------------------------------------------------------------------
// The set-up state: what SetScanParameter leaves, besides the exported
// records, for the scan start and the image delivery. One object, written
// only by SetScanParameter and by StopScan (EndScan); the scan code reads it.
// ---------------------------------------------------------------------------
struct ScanSetupState {
    // Cleared and refilled by every SetScanParameter (before the request is
    // validated, so a rejected request is kept as well).
    tagSacDimension sacdimension{};
    // Host conversion flags (0 or 1), read by the image delivery.
    uint8_t bitTrueGray = 0;      // colour to luminance gray; rewritten by every SetScanParameter
    uint8_t bitOneChanelGray = 0; // colour to gray from the ColorFilter channel; rewritten likewise
    uint8_t bitBW = 0;            // gray to line art; only ever set by SetScanParameter
    uint8_t bitHafltone = 0;      // gray to halftone; only ever set by SetScanParameter

    // What a stopped scan leaves: no luminance gray, no line art, no halftone
    // (the one-channel flag and the geometry stay until the next set-up).
    void EndScan()
    {
        bitTrueGray = 0;
        bitBW = 0;
        bitHafltone = 0;
    }
};

extern ScanSetupState gScanSetup;

// ---------------------------------------------------------------------------
// Window descriptor (71 bytes, multi-byte fields big-endian) and the SET
// WINDOW parameter list that carries it (79 bytes).
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct NX_WindowDescription {
    uint8_t WindowIdentifier;    // 0   0
    uint8_t Reserved1;           // 1
    uint8_t XResolution[2];      // 2   300 or 600
    uint8_t YResolution[2];      // 4   same as X
    uint8_t UpperLeftX[4];       // 6
    uint8_t UpperLeftY[4];       // 10
    uint8_t Width[4];            // 14
    uint8_t Length[4];           // 18
    uint8_t Brightness;          // 22  0x80
    uint8_t Threshold;           // 23  0x80
    uint8_t Contrast;            // 24  0x80
    uint8_t ImageComposition;    // 25
    uint8_t BitsPerPixel;        // 26
    uint8_t HalftonePattern[2];  // 27
    uint8_t FillType;            // 29  3
    uint8_t BitOrdering[2];      // 30  0
    uint8_t CompressionType;     // 32  0
    uint8_t CompressionArgument; // 33  0
    uint8_t PaperLength[2];      // 34
    uint8_t Reserved36[4];       // 36
    uint8_t Vendor40;            // 40  0xFF
    uint8_t Vendor41;            // 41  0x1D
    uint8_t ColorSelection;      // 42
    uint8_t Vendor43;            // 43  0xFF
    uint8_t Vendor44;            // 44  0
    uint8_t BytesPerLineLow[2];  // 45  bits 0..15 of the bytes per line
    uint8_t Lines[2];            // 47
    uint8_t Vendor49[2];         // 49  0
    uint8_t RExposure[2];        // 51
    uint8_t GExposure[2];        // 53
    uint8_t BExposure[2];        // 55
    uint8_t Vendor57[2];         // 57  0
    uint8_t BytesPerLineHigh;    // 59  bits 16..23 of the bytes per line
    uint8_t Vendor60;            // 60  0
    uint8_t BackgroundLines;     // 61
    uint8_t PagesThisJob;        // 62
    uint8_t Vendor63;            // 63  0
    uint8_t UltraSonicIntensity; // 64
    uint8_t Vendor65[6];         // 65  0
};

struct NX_WindowParameterList {
    uint8_t Reserved[6];             // 0  0
    uint8_t DescriptorLength[2];     // 6  71
    NX_WindowDescription Descriptor; // 8
};
#pragma pack(pop)

static_assert(sizeof(NX_WindowDescription) == 71, "window descriptor is 71 bytes");
static_assert(offsetof(NX_WindowDescription, XResolution) == 2, "XResolution at 2");
static_assert(offsetof(NX_WindowDescription, UpperLeftX) == 6, "UpperLeftX at 6");
static_assert(offsetof(NX_WindowDescription, Length) == 18, "Length at 18");
static_assert(offsetof(NX_WindowDescription, ImageComposition) == 25, "ImageComposition at 25");
static_assert(offsetof(NX_WindowDescription, HalftonePattern) == 27, "HalftonePattern at 27");
static_assert(offsetof(NX_WindowDescription, PaperLength) == 34, "PaperLength at 34");
static_assert(offsetof(NX_WindowDescription, ColorSelection) == 42, "ColorSelection at 42");
static_assert(offsetof(NX_WindowDescription, BytesPerLineLow) == 45, "BytesPerLineLow at 45");
static_assert(offsetof(NX_WindowDescription, Lines) == 47, "Lines at 47");
static_assert(offsetof(NX_WindowDescription, RExposure) == 51, "RExposure at 51");
static_assert(offsetof(NX_WindowDescription, BytesPerLineHigh) == 59, "BytesPerLineHigh at 59");
static_assert(offsetof(NX_WindowDescription, BackgroundLines) == 61, "BackgroundLines at 61");
static_assert(offsetof(NX_WindowDescription, UltraSonicIntensity) == 64, "UltraSonicIntensity at 64");
static_assert(offsetof(NX_WindowDescription, Vendor65) == 65, "Vendor65 at 65");
static_assert(sizeof(NX_WindowParameterList) == 79, "SET WINDOW parameter list is 79 bytes");
static_assert(offsetof(NX_WindowParameterList, Descriptor) == 8, "descriptor after the 8-byte header");

// ExtScanParam bits the driver acts on.
inline constexpr uint16_t kExtFineAreaUnit = 0x0040;         // window area fields halved, not x4
inline constexpr uint16_t kExtCalibrationOnRequest = 0x4000; // raw data only on state 1

// Byte of the calibration status block that holds the calibration state.
// (The READ data types and lengths of the calibration exchange are in
// device/apiprocess.h.)
inline constexpr size_t kCalibrationStateOffset = 4;

// ---------------------------------------------------------------------------
// Routines.
// ---------------------------------------------------------------------------

// Writes the parameter dump of record to the parameter log (level 2): the
// time-stamped header and forty lines "<prefix>.ScanParameter.<field> = ...".
// SetScanParameter writes it with "AP" (as the application asked), StartScan
// with "IO" (NewParam, as sent to the device). A null record writes nothing.
void DumpScanParameter(const char *prefix, const tagScanParameter *record);

// True when the scanner, as described by MyInquiryData, can serve the
// request. Changes nothing; a rejection is logged at level 3 with its reason
// ("Check scan parameter error = ..."). A null record is rejected.
bool CheckScanParameter(const tagScanParameter *record);

// Fills the 71 bytes of descriptor from record (always NewParam in the
// driver); PixelNum and LineNum are taken from NewParam. Null pointers: the
// descriptor is left alone (null descriptor) or zeroed (null record).
void GetWindowDescriptor(NX_WindowDescription *descriptor, const tagScanParameter *record);

// Device resolution for a requested resolution: 300 up to 300 dpi, else 600.
inline uint16_t DeviceResolution(uint16_t requested) { return requested <= 300 ? 300 : 600; }

// Allocation of the calibration raw-data buffer (null when it cannot be had).
// The default uses new (std::nothrow); tests swap it to simulate exhaustion.
using CalibrationBufferAllocator = uint8_t *(*)(size_t size);
extern CalibrationBufferAllocator gCalibrationBufferAllocator;

#endif // DOCSCAN_DEVICE_SCANSETUP_H
