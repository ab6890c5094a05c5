// Scanner discovery, the command transaction, sense translation and the
// button channel.
//
// The exported routines (Initialize, Terminate, FindScanner, CheckDevice,
// DoIo, RequestSense, ProcessSense, GetButtonStatus) and the globals gErrCode
// and SenseData are declared in api/scanner.h. This header adds the fixed
// values of the protocol and the status codes, named once for the driver.
#ifndef DOCSCAN_TRANSPORT_USBIO_LINUX_10_H
#define DOCSCAN_TRANSPORT_USBIO_LINUX_10_H

#include <cstdint>

#include "api/scanner.h"

// The scanner, recognised by these identifiers only.
inline constexpr uint16_t kScannerVendorId = 0x7F3C;
inline constexpr uint16_t kScannerProductId = 0x51A4;

// Every command block is 10 bytes on the wire.
inline constexpr uint32_t kCommandBlockLength = 10;

// REQUEST SENSE: operation code, allocation length (= bytes of SenseData).
inline constexpr uint8_t kOpRequestSense = 0x03;
inline constexpr uint32_t kSenseDataLength = 22;

// Status byte of a transaction.
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;

// Offsets in SenseData.
inline constexpr unsigned kSenseResponseCodeOffset = 0;
inline constexpr unsigned kSenseKeyOffset = 2;
inline constexpr unsigned kSenseAscOffset = 12; // ASC, then ASCQ at 13

// Button packet on the interrupt-in pipe, and the bytes handed on.
inline constexpr uint32_t kButtonPacketLength = 8;
inline constexpr uint32_t kButtonRecordLength = 7;

// Level of the transport's own messages (NxLibUsb writes at 4).
inline constexpr unsigned int kTransportLogLevel = 3;

// Status codes that the driver stores in gErrCode (besides the sense table).
inline constexpr uint32_t kErrNone = 0;
inline constexpr uint32_t kErrConvertMemory = 152;   // ReadScan: working buffer
inline constexpr uint32_t kErrUsbLayer = 153;        // Initialize / Terminate failed
inline constexpr uint32_t kErrRingData = 157;        // ReadScan: no data from the ring
inline constexpr uint32_t kErrUserCancel = 159;      // StopScan after DoCancel
inline constexpr uint32_t kErrInquiry = 162;         // INQUIRY failed after the scanner was found
inline constexpr uint32_t kErrScanInProgress = 2000; // StartLock during a scan
inline constexpr uint32_t kErrHardware = 2004;
inline constexpr uint32_t kErrInvalidParameter = 2005;
inline constexpr uint32_t kErrScanMemory = 2006; // StartScan: scan buffers
inline constexpr uint32_t kErrNotReady = 2009;
inline constexpr uint32_t kErrNoScanner = 2019;    // InitializeScanner found none
inline constexpr uint32_t kErrTransaction = 2023;  // a command transaction failed
inline constexpr uint32_t kErrGeneral = 2999;      // general failure
inline constexpr uint32_t kErrNotHandedOut = 3011; // filtered by GetLastStatusCode

#endif // DOCSCAN_TRANSPORT_USBIO_LINUX_10_H
