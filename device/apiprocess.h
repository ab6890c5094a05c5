// Command blocks of the scanner's command set, and the data type codes that
// its READ and SEND commands carry.
//
// The routines (Inquiry, Read, Send, SetWindow, Scan, ReserveUnit,
// ReleaseUnit) are declared in api/scanner.h. Each zeroes a 10-byte block,
// fills its fields (multi-byte fields big-endian) and hands it to DoIo with
// the direction and length of the data phase; the result is DoIo's.
#ifndef DOCSCAN_DEVICE_APIPROCESS_H
#define DOCSCAN_DEVICE_APIPROCESS_H

#include <cstdint>

#include "api/scanner.h"
#include "transport/usbio_linux_10.h"

// Operation codes (REQUEST SENSE, 0x03, belongs to the transport:
// kOpRequestSense in transport/usbio_linux_10.h).
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpReserveUnit = 0x16;
inline constexpr uint8_t kOpReleaseUnit = 0x17;
inline constexpr uint8_t kOpScan = 0x1B;
inline constexpr uint8_t kOpSetWindow = 0x24;
inline constexpr uint8_t kOpRead = 0x28;
inline constexpr uint8_t kOpSend = 0x2A;

// Block field offsets.
inline constexpr unsigned kBlockLogicalUnitOffset = 1;      // INQUIRY: unit in bits 7..5
inline constexpr unsigned kBlockDataTypeOffset = 2;         // READ, SEND
inline constexpr unsigned kBlockAllocationLengthOffset = 4; // INQUIRY
inline constexpr unsigned kBlockQualifierOffset = 4;        // READ, SEND: 2 bytes
inline constexpr unsigned kBlockFlagsOffset = 5;            // SCAN flags, RELEASE UNIT code
inline constexpr unsigned kBlockTransferLengthOffset = 6;   // READ, SEND, SET WINDOW: 3 bytes

// SCAN flag bits of byte 5.
inline constexpr uint8_t kScanFirstFlagBit = 0x80;
inline constexpr uint8_t kScanSecondFlagBit = 0x40;

// The largest transfer length a block can carry (24 bits).
inline constexpr uint32_t kMaxTransferLength = 0xFFFFFF;

// INQUIRY: header read first, then the whole record.
inline constexpr uint32_t kInquiryHeaderLength = 5;
inline constexpr unsigned kInquiryAdditionalLengthOffset = 4;
inline constexpr uint32_t kInquiryDataLength = 165;
inline constexpr uint32_t kInquiryMaxAllocationLength = 255;
inline constexpr uint8_t kInquiryMaxLogicalUnit = 7;

// Data type codes of READ. Every READ carries the qualifier kReadQualifier.
inline constexpr uint8_t kReadTypeImage = 0x00;              // image data of the running scan
inline constexpr uint8_t kReadTypeCalibrationStatus = 0x60;  // 32 bytes, byte 4 = calibration state
inline constexpr uint8_t kReadTypeCalibrationRawLow = 0x61;  // raw calibration data, ScanMode below 3
inline constexpr uint8_t kReadTypeCalibrationRawHigh = 0x62; // raw calibration data, other modes
inline constexpr uint8_t kReadTypeNVM = 0x69;                // 128-byte non-volatile memory record
inline constexpr uint16_t kReadQualifier = 0x0A0D;

// Data type codes of SEND.
inline constexpr uint8_t kSendTypeGamma = 0x81;      // 512 bytes, qualifier = channel 0..2
inline constexpr uint8_t kSendTypeNVM = 0x85;        // 128 bytes, qualifier 17..20
inline constexpr uint8_t kSendTypeTuneFirst = 0x95;  // 2 or 4 bytes, qualifier = direction bits
inline constexpr uint8_t kSendTypeTuneSecond = 0x96; // 2 or 4 bytes, qualifier = direction bits
inline constexpr uint8_t kSendTypePowerSave = 0xA2;  // 2 bytes, qualifier 0
inline constexpr uint8_t kSendTypePowerOff = 0xA9;   // 2 bytes, qualifier 0

// Lengths of the data phases.
inline constexpr uint32_t kCalibrationStatusLength = 32;
inline constexpr uint32_t kCalibrationRawLength300 = 495360;
inline constexpr uint32_t kCalibrationRawLength600 = 990720;
inline constexpr uint32_t kNVMDataLength = 128;
inline constexpr uint32_t kGammaTableLength = 512;
inline constexpr uint32_t kPowerTimeLength = 2;

// SET WINDOW parameter list: an 8-byte header whose bytes 6..7 hold the
// descriptor length (big-endian), then the 71-byte window descriptor.
inline constexpr uint32_t kWindowHeaderLength = 8;
inline constexpr unsigned kWindowHeaderDescriptorLengthOffset = 6;
inline constexpr uint32_t kWindowDescriptorLength = 71;
inline constexpr uint32_t kWindowParameterLength = kWindowHeaderLength + kWindowDescriptorLength;

// RELEASE UNIT codes.
inline constexpr uint8_t kReleaseNormal = 0;
inline constexpr uint8_t kReleaseCancelled = 3;

#endif // DOCSCAN_DEVICE_APIPROCESS_H
