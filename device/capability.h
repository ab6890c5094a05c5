// Device capabilities: named offsets into the 165-byte inquiry record
// (device format, big-endian multi-byte fields) and small readers for it.
//
// Every reader takes the record by reference and a compile-time offset that
// lies inside the record, so none of them can run past its end.
#ifndef DOCSCAN_DEVICE_CAPABILITY_H
#define DOCSCAN_DEVICE_CAPABILITY_H

#include <cstddef>
#include <cstdint>

#include "api/scanner.h"
#include "device/apiprocess.h" // command codes, data types, kReadQualifier
#include "support/NxByteOrder.h"

extern "C" {
// The inquiry record as the scanner sent it (InquiryData) and the copy that
// validation reads (MyInquiryData), with the values derived from it.
DOCSCAN_EXPORT extern NX_InquiryData InquiryData;
DOCSCAN_EXPORT extern NX_InquiryData MyInquiryData;
DOCSCAN_EXPORT extern uint32_t MaxSizeRead;
DOCSCAN_EXPORT extern uint32_t scannermaxwidth;
DOCSCAN_EXPORT extern int32_t OverScanFlag;
DOCSCAN_EXPORT extern uint32_t gModelType;
DOCSCAN_EXPORT void InquiryToScannerAbility(NX_InquiryData *inquiry, tagScannerAbility *ability);
DOCSCAN_EXPORT void InquiryToScannerAbilityEx(NX_InquiryData *inquiry, SCANNERABILITYEX *ability);
} // extern "C"

// Size of the inquiry record as the driver asks for it.
constexpr size_t kInquiryLength = sizeof(NX_InquiryData); // 165

// Offsets of the inquiry record.
constexpr size_t kInqAdditionalLength = 4; // the device has n + 5 bytes
constexpr size_t kInqVendorId = 8;         // 8 bytes ASCII, space padded
constexpr size_t kInqVendorIdLength = 8;
constexpr size_t kInqProductId = 16; // 16 bytes ASCII
constexpr size_t kInqProductIdLength = 16;
constexpr size_t kInqRevision = 32; // 4 bytes ASCII
constexpr size_t kInqRevisionLength = 4;
constexpr size_t kInqTypeCode = 36;        // bits 6..4 (mask kInqTypeCodeMask)
constexpr size_t kInqBaseResolution = 38;  // units of 100 dpi
constexpr size_t kInqResolutionFlags = 39; // bit 5: the four resolutions are valid
constexpr size_t kInqResolution1 = 40;     // 16-bit dpi
constexpr size_t kInqResolution2 = 42;
constexpr size_t kInqResolution3 = 44;
constexpr size_t kInqResolution4 = 46;
constexpr size_t kInqMaxReadLength = 48; // 16-bit, 0 means kDefaultMaxSizeRead
constexpr size_t kInqFlags50 = 50;       // bit 6 buttons, bit 0 X/Y may differ
constexpr size_t kInqFlags51 = 51;
constexpr size_t kInqFlags52 = 52;
constexpr size_t kInqBoundaryColor = 54;       // scan modes 3 and 4
constexpr size_t kInqBoundaryGray = 55;        // scan mode 2, any depth but 4
constexpr size_t kInqBoundaryGray4 = 56;       // scan mode 2, 4 bits
constexpr size_t kInqBoundaryLineart = 57;     // scan mode 0
constexpr size_t kInqBoundaryHalftone = 58;    // scan mode 1, other patterns
constexpr size_t kInqBoundaryHalftoneOwn = 59; // scan mode 1, pattern of kInqHalftonePattern
constexpr size_t kInqScanEnable = 60;          // bit 6 must be set for any scan
constexpr size_t kInqSampleDepths = 61;        // bit 7 1 bit .. bit 1 16 bits
constexpr size_t kInqScanMethods = 62;
constexpr size_t kInqByte63 = 63;
constexpr size_t kInqHalftonePattern = 64;
constexpr size_t kInqDimension1 = 75; // 16-bit
constexpr size_t kInqDimension2 = 77;
constexpr size_t kInqDimension3 = 79;
constexpr size_t kInqMaxScanWidth = 81; // 16-bit, pixels at 300 dpi
constexpr size_t kInqDimension4 = 83;
constexpr size_t kInqDimension5 = 85;
constexpr size_t kInqDimension6 = 87; // 0xFFFF is a special value
constexpr size_t kInqDimension7 = 89;
constexpr size_t kInqButtonCount = 92;
constexpr size_t kInqFlags93 = 93;
constexpr size_t kInqFlags94 = 94;
constexpr size_t kInqFlags95 = 95;
constexpr size_t kInqFlags128 = 128;  // bit 6 R2 YCC, bit 4 overscan
constexpr size_t kInqFlags129 = 129;  // bit 7 R2 YCC, bit 3 D2 JPEG
constexpr size_t kInqOverscan1 = 134; // 16-bit overscan extents
constexpr size_t kInqOverscan2 = 136; // added to the scan width
constexpr size_t kInqOverscan3 = 138;
constexpr size_t kInqOverscan4 = 140; // added to the scan width
constexpr size_t kInqFlags149 = 149;  // bit 2 NVM default applies

// Bits with a meaning of their own.
constexpr uint8_t kInqTypeCodeMask = 0x70;
constexpr uint8_t kInqResolutionListValid = 0x20; // byte 39
constexpr uint8_t kInqHasButtons = 0x40;          // byte 50
constexpr uint8_t kInqXYMayDiffer = 0x01;         // byte 50
constexpr uint8_t kInqScanAllowed = 0x40;         // byte 60
constexpr uint8_t kInqR2YccA = 0x40;              // byte 128
constexpr uint8_t kInqOverscan = 0x10;            // byte 128
constexpr uint8_t kInqR2YccB = 0x80;              // byte 129
constexpr uint8_t kInqD2Jpeg = 0x08;              // byte 129
constexpr uint8_t kInqNvmDefault = 0x04;          // byte 149

// MaxSizeRead when the device reports 0.
constexpr uint32_t kDefaultMaxSizeRead = 524288;

// Readers. The offset must leave room for the value inside the record.
template <size_t Offset>
inline uint8_t InquiryByte(const NX_InquiryData &inquiry)
{
    static_assert(Offset < kInquiryLength, "offset inside the inquiry record");
    return inquiry.Data[Offset];
}

template <size_t Offset>
inline bool InquiryBit(const NX_InquiryData &inquiry, uint8_t mask)
{
    return (InquiryByte<Offset>(inquiry) & mask) != 0;
}

template <size_t Offset>
inline uint16_t InquiryBE16(const NX_InquiryData &inquiry)
{
    static_assert(Offset + 2 <= kInquiryLength, "offset inside the inquiry record");
    return GetBE16(&inquiry.Data[Offset]);
}

#endif // DOCSCAN_DEVICE_CAPABILITY_H
