// Command blocks of the scanner's command set, and the data type codes that
// its READ and SEND commands carry.
//
// Each routine zeroes a 10-byte block,
// fills its fields (multi-byte fields big-endian) and hands it to DoIo with
// the direction and length of the data phase; the result is DoIo's.
#ifndef DOCSCAN_DEVICE_APIPROCESS_H
#define DOCSCAN_DEVICE_APIPROCESS_H

#include <cstdint>

#include "api/scanner.h"
#include "transport/usbio_linux_10.h"

extern "C" {
DOCSCAN_EXPORT bool Inquiry(uint8_t *buffer, uint32_t allocationLength, uint8_t logicalUnit);
DOCSCAN_EXPORT bool Read(uint8_t *buffer, uint32_t length, uint8_t dataType, uint16_t qualifier);
DOCSCAN_EXPORT bool Send(uint8_t *buffer, uint32_t length, uint8_t dataType, uint16_t qualifier);
DOCSCAN_EXPORT bool SetWindow(uint8_t *buffer, uint32_t length);
DOCSCAN_EXPORT bool Scan(uint8_t firstFlag, uint8_t secondFlag);
DOCSCAN_EXPORT bool ReserveUnit(void);
DOCSCAN_EXPORT bool ReleaseUnit(uint8_t code);
} // extern "C"

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

// Data type codes of READ and SEND (DocscanDataType), as the byte a block
// carries. Every READ carries the qualifier kReadQualifier.
inline constexpr uint8_t kReadTypeImage = DOCSCAN_READ_IMAGE;
inline constexpr uint8_t kReadTypeCalibrationStatus = DOCSCAN_READ_CALIBRATION_STATUS;
inline constexpr uint8_t kReadTypeCalibrationRawLow = DOCSCAN_READ_CALIBRATION_RAW_LOW;
inline constexpr uint8_t kReadTypeCalibrationRawHigh = DOCSCAN_READ_CALIBRATION_RAW_HIGH;
inline constexpr uint8_t kReadTypeNVM = DOCSCAN_READ_NVM;
inline constexpr uint16_t kReadQualifier = 0x0A0D;

inline constexpr uint8_t kSendTypeGamma = DOCSCAN_SEND_GAMMA;
inline constexpr uint8_t kSendTypeNVM = DOCSCAN_SEND_NVM;
inline constexpr uint8_t kSendTypeTuneFirst = DOCSCAN_SEND_TUNE_FIRST;
inline constexpr uint8_t kSendTypeTuneSecond = DOCSCAN_SEND_TUNE_SECOND;
inline constexpr uint8_t kSendTypePowerSave = DOCSCAN_SEND_POWER_SAVE;
inline constexpr uint8_t kSendTypePowerOff = DOCSCAN_SEND_POWER_OFF;

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
