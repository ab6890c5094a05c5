// Scan control: the ring of raw device blocks filled by the read-ahead
// thread, and the delivery state that ReadScan keeps between calls.
//
// The exported entries (StartScan, StopScan, ReadScan, ReadScanEx,
// ReadScanEx2, GetBackgroundRaster) are declared in api/scanner.h; this
// header holds the exported scan flags, what the scan code shares
// internally and what the tests look at.
//
// Ownership of the ring (one producer, one consumer):
//   - bLineLeftOfBlock[i] == 0: block i belongs to the read-ahead thread,
//     non-zero: it is full and belongs to the consumer (GetOriginalData).
//     The thread publishes with a release add, the consumer hands the block
//     back with a release subtract; each side loads with acquire.
//   - bRFSThreadControlFlag is moved only by the thread, bBlockReadFlag only
//     by the consumer. StartScan sets both before the thread exists.
//   - Everything else the thread reads (geometry, block pointers, the read
//     size) is fixed before the thread is created and freed only after it
//     has been joined.
#ifndef DOCSCAN_SCAN_SCAN_H
#define DOCSCAN_SCAN_SCAN_H

#include <atomic>
#include <cstdint>

#include "api/scanner.h"
#include "device/apiprocess.h" // read types, status codes

extern "C" {
// Non-zero while a scan runs and its read-ahead thread has not failed a read.
DOCSCAN_EXPORT extern int64_t lScanFlag;
// Set by DoCancel (from any thread); StopScan reports and clears it.
DOCSCAN_EXPORT extern uint8_t bitUserCancel;
} // extern "C"

// Blocks in the ring.
inline constexpr uint32_t kBlockCount = 64;

// The consumer gives up after this much processor time without a full block.
inline constexpr long kConsumerTimeoutMs = 30000;
// ... or after this much wall time, whatever the processor time (a device
// that stopped sending leaves an idle process that burns almost none).
inline constexpr long kConsumerWallTimeoutMs = 60000;
// StopScan waits this long for the thread; a thread whose transfer still
// waits after it is left to end on its own (see StopScan in scan.cpp).
inline constexpr long kStopWaitMs = 5000;

// The two wall-time bounds in force; tests shorten them.
extern std::atomic<long> gConsumerWallTimeoutMs;
extern std::atomic<long> gStopWaitMs;

// ---- The ring --------------------------------------------------------------
extern unsigned char *pBlock[kBlockCount];
extern std::atomic<int64_t> bLineLeftOfBlock[kBlockCount];
extern uint64_t bRFSThreadControlFlag; // thread's next block
extern uint64_t bBlockReadFlag;        // consumer's next block
extern std::atomic<uint8_t> blThread;  // 1 while the thread is to run
extern unsigned long threadScanImage;
extern unsigned long threadIdScanImage;

// ---- Geometry fixed by StartScan ------------------------------------------
extern uint32_t dwBytesperline;
extern uint32_t Bufferline;
extern uint32_t Buffersize;
extern uint32_t Imagesize;

// ---- Delivery state --------------------------------------------------------
extern unsigned char *pBlockbuffer;  // Buffersize bytes: the current block
extern unsigned char *m_blockbuffer; // 2 x Buffersize bytes: stretch work area
extern uint32_t finalsize;           // valid bytes of the processed block
extern uint32_t Imagestore;          // of which not yet delivered (at the end)
extern uint8_t bitCrop;              // a block of this scan was cropped

// Process-wide settings that the driver itself never changes.
extern uint8_t gApplicationType; // 1 switches off the stretch step and the filters
extern float scale;              // horizontal factor of the stretch step

// What ReadScan does with each block, fixed by StartScan from the request in
// force when the scan started (NewParam, sacdimension, the conversion flags,
// the inquiry data). Checked there against the buffer sizes, so that no step
// can read or write outside a buffer whatever geometry the caller set.
struct DeliveryPlan {
    bool valid = false; // a scan was started with this plan
    // Device side (NewParam).
    uint32_t W = 0;       // device pixels per line
    uint32_t D = 0;       // device bits per pixel
    uint32_t devXRes = 0; // 300 or 600
    uint8_t devScanMode = 0;
    uint16_t devLineNum = 0;
    uint8_t colorFilter = 0;
    uint8_t htPattern = 0;
    // Caller side (sacdimension).
    uint32_t P = 0;     // caller pixels per line
    uint32_t X = 0;     // caller XRes
    uint32_t left = 0;  // caller Left, 1/300 inch
    uint32_t width = 0; // caller Width
    double scaleToCaller = 0;
    double scaleToDevice = 0;
    // Steps.
    bool stretch = false;
    bool crop = false;
    bool filters = false;
    bool rescale = false;
    bool trueGray = false;
    bool oneChannelGray = false;
    bool halftone = false;
    bool lineart = false;
    // Byte geometry of the crop.
    uint32_t fullLine = 0;    // W x D / 8
    uint32_t croppedLine = 0; // trunc(P x scaleToDevice) x D / 8
    uint32_t cropOffset = 0;  // (devXRes x Left / 300) x D / 8
    uint32_t readSize = 0;    // bytes per image READ
};
extern DeliveryPlan gDeliveryPlan;

// Builds the plan from the current request and block geometry. False (with
// the reason in *why when given) when a block could not be delivered within
// the buffers.
bool BuildDeliveryPlan(DeliveryPlan &plan, const char **why);

// Which image routines this scan has called, so that StopScan resets them.
struct ImagingUse {
    bool scaleProcess = false;
    bool scaleProcessEx = false;
    bool filters = false;
};
extern ImagingUse gImagingUse;

// The read-ahead thread; its argument is not used.
void *ScanImageThread(void *);

// True from a successful StartScan to the StopScan that ends its thread
// (whether the thread still reads, has read its page or failed a read).
bool ScanThreadExists();

// True while a thread that StopScan left behind (its transfer did not end in
// time) has not yet ended; StartScan refuses until then.
bool ScanThreadLeftBehind();

// Copies the next full block (Buffersize bytes) into buffer and hands the
// block back to the thread. False when no block is to be had: the thread
// failed a read or was stopped, it read the whole page and everything has been
// taken, or no block came within kConsumerTimeoutMs of processor time.
bool GetOriginalData(unsigned char *buffer);

// lScanFlag is shared with the read-ahead thread.
inline int64_t LoadScanFlag() { return __atomic_load_n(&lScanFlag, __ATOMIC_ACQUIRE); }
inline void StoreScanFlag(int64_t value) { __atomic_store_n(&lScanFlag, value, __ATOMIC_RELEASE); }

#endif // DOCSCAN_SCAN_SCAN_H
