// Scanner discovery, the command transaction, sense translation and the
// button channel.
//
// The exported routines and the globals gErrCode and SenseData, then the
// fixed values of the protocol and the status codes as the driver stores them.
#ifndef DOCSCAN_TRANSPORT_USBIO_LINUX_10_H
#define DOCSCAN_TRANSPORT_USBIO_LINUX_10_H

#include <cstdint>

#include "support/export.h"
#include "support/status.h"

extern "C" {
// The driver's status code (a DocscanStatus, or a sense response code 1..126).
DOCSCAN_EXPORT extern uint32_t gErrCode;
DOCSCAN_EXPORT extern uint8_t SenseData[22];
DOCSCAN_EXPORT bool Initialize(void);
DOCSCAN_EXPORT bool Terminate(void);
DOCSCAN_EXPORT bool FindScanner(void);
DOCSCAN_EXPORT bool CheckDevice(void);
DOCSCAN_EXPORT bool DoIo(uint8_t *command, uint8_t *buffer, uint32_t readLength, uint32_t writeLength);
DOCSCAN_EXPORT bool RequestSense(void);
DOCSCAN_EXPORT bool ProcessSense(void);
DOCSCAN_EXPORT bool GetButtonStatus(uint8_t *record);
} // extern "C"

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

// Status codes that the driver stores in gErrCode (besides the sense table).
inline constexpr uint32_t kErrNone = DOCSCAN_STATUS_OK;
inline constexpr uint32_t kErrConvertMemory = DOCSCAN_STATUS_CONVERT_MEMORY; // ReadScan: working buffer
inline constexpr uint32_t kErrUsbLayer = DOCSCAN_STATUS_USB_LAYER;           // Initialize / Terminate failed
inline constexpr uint32_t kErrRingData = DOCSCAN_STATUS_NO_IMAGE_DATA; // ReadScan: no data from the ring
inline constexpr uint32_t kErrUserCancel = DOCSCAN_STATUS_USER_CANCEL; // StopScan after DoCancel
inline constexpr uint32_t kErrInquiry =
    DOCSCAN_STATUS_INQUIRY_FAILED; // INQUIRY failed after the scanner was found
inline constexpr uint32_t kErrScanInProgress = DOCSCAN_STATUS_SCAN_IN_PROGRESS; // StartLock during a scan
inline constexpr uint32_t kErrHardware = DOCSCAN_STATUS_HARDWARE;
inline constexpr uint32_t kErrInvalidParameter = DOCSCAN_STATUS_INVALID_PARAMETER;
inline constexpr uint32_t kErrScanMemory = DOCSCAN_STATUS_SCAN_MEMORY; // StartScan: scan buffers
inline constexpr uint32_t kErrNotReady = DOCSCAN_STATUS_NOT_READY;
inline constexpr uint32_t kErrNoScanner = DOCSCAN_STATUS_NO_SCANNER;      // InitializeScanner found none
inline constexpr uint32_t kErrTransaction = DOCSCAN_STATUS_TRANSACTION;   // a command transaction failed
inline constexpr uint32_t kErrGeneral = DOCSCAN_STATUS_GENERAL;           // general failure
inline constexpr uint32_t kErrNotHandedOut = DOCSCAN_STATUS_NOT_REPORTED; // filtered by GetLastStatusCode

// The status code is written by the caller's thread, by the read-ahead thread
// and by any thread that runs a transaction; every access inside the driver
// goes through these two (atomic, no ordering with other data).
inline uint32_t ErrCode() { return __atomic_load_n(&gErrCode, __ATOMIC_RELAXED); }
inline void SetErrCode(uint32_t code) { __atomic_store_n(&gErrCode, code, __ATOMIC_RELAXED); }

// The transport lock. One command transaction at a time goes over the pipes,
// whichever thread runs it (the read-ahead thread's READs included): DoIo holds
// the lock from the command block to the status byte, the REQUEST SENSE it
// may need included (the lock is recursive for its holder). FindScanner,
// Terminate and GetButtonStatus hold it too, so that the opened device never
// changes under a transfer.
//
// A transaction whose transfer never ends (a device that stopped answering)
// can be written off with AbandonTransport: from then on nobody waits for it.
// A TransportLock that finds the transport written off is not held (held()
// is false) and its caller fails at once; the lock is free again when the
// abandoned transaction ends (unplug, reset or a late answer).
class TransportLock {
public:
    TransportLock();
    ~TransportLock();
    TransportLock(const TransportLock &) = delete;
    TransportLock &operator=(const TransportLock &) = delete;
    bool held() const { return held_; }
    // The transaction this lock guards has been written off meanwhile.
    bool abandoned() const;

private:
    bool held_ = false;
};

// Writes off the transaction that holds the transport now, if any. Returns
// true when one was written off.
bool AbandonTransport();

#endif // DOCSCAN_TRANSPORT_USBIO_LINUX_10_H
