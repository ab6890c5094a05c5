// Scan control: the ring of raw device blocks filled by the read-ahead
// thread, and the delivery state that ReadScan keeps between calls.
//
// The exported entries (StartScan, StopScan, ReadScan, ReadScanEx,
// ReadScanEx2, GetBackgroundRaster) are declared in api/scanner.h; this
// header holds the exported scan flags, what the scan code shares
// internally and what the tests look at.
//
// Ownership of the ring (one producer, one consumer):
//   - linesLeft[i] == 0: block i belongs to the read-ahead thread,
//     non-zero: it is full and belongs to the consumer (GetOriginalData).
//     The thread publishes with a release add, the consumer hands the block
//     back with a release subtract; each side loads with acquire.
//   - threadNext is moved only by the thread, readNext only by the
//     consumer. StartScan sets both before the thread exists.
//   - Everything else the thread reads (geometry, block pointers, the read
//     size) is fixed before the thread is created and freed only after it
//     has been joined; a thread left behind by StopScan holds its session
//     until it ends.
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

// The thread of the current scan (0 when none); one at a time.
extern unsigned long threadScanImage;
extern unsigned long threadIdScanImage;

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

// Everything one scan owns: the ring, the block geometry, the delivery plan
// and what ReadScan carries between calls. StartScan makes a new session,
// StopScan ends it. The read-ahead thread works on the session it was started
// with; a thread that StopScan leaves behind is handed that session and
// frees it (its blocks) when it ends.
struct ScanSession {
    ScanSession() = default;
    ScanSession(const ScanSession &) = delete;
    ScanSession &operator=(const ScanSession &) = delete;
    ~ScanSession();

    // ---- The ring (see the ownership rules at the top of this file) ----
    unsigned char *block[kBlockCount] = {};
    std::atomic<int64_t> linesLeft[kBlockCount] = {};
    uint64_t threadNext = 0;           // thread's next block
    uint64_t readNext = 0;             // consumer's next block
    std::atomic<uint8_t> run{0};       // 1 while the thread is to run
    std::atomic<bool> pageRead{false}; // the thread has read the whole page
    uint32_t threadMaxSizeRead = 0;    // MaxSizeRead as the thread's trace shows it

    // ---- Geometry fixed by StartScan ----
    uint32_t bytesPerLine = 0;
    uint32_t linesPerBlock = 0;
    uint32_t blockSize = 0;
    uint32_t imageSize = 0;

    // ---- Delivery state (the consumer's only) ----
    unsigned char *blockBuffer = nullptr; // blockSize bytes: the current block
    unsigned char *workBuffer = nullptr;  // 2 x blockSize bytes: stretch work area
    uint32_t finalSize = 0;               // valid bytes of the processed block
    uint32_t imageStore = 0;              // of which not yet delivered (at the end)
    uint8_t cropped = 0;                  // a block of this scan was cropped
    DeliveryPlan plan;
    ImagingUse imagingUse;

    // Allocates the two buffers and the blocks, zeroed; throws std::bad_alloc
    // (what was allocated is freed with the session).
    void Allocate();
    void FreeBlocks();
    void FreeWorkBuffers(); // the consumer's two buffers, which the thread never touches
};

// The session of the current (or last started) scan; an empty one when none.
ScanSession &Session();

// The read-ahead thread; its argument is its ScanSession.
void *ScanImageThread(void *);

// True from a successful StartScan to the StopScan that ends its thread
// (whether the thread still reads, has read its page or failed a read).
bool ScanThreadExists();

// True while a thread that StopScan left behind (its transfer did not end in
// time) has not yet ended; StartScan refuses until then.
bool ScanThreadLeftBehind();

// Copies the next full block (blockSize bytes) into buffer and hands the
// block back to the thread. False when no block is to be had: the thread
// failed a read or was stopped, it read the whole page and everything has been
// taken, or no block came within kConsumerTimeoutMs of processor time.
bool GetOriginalData(unsigned char *buffer);

// lScanFlag is shared with the read-ahead thread.
inline int64_t LoadScanFlag() { return __atomic_load_n(&lScanFlag, __ATOMIC_ACQUIRE); }
inline void StoreScanFlag(int64_t value) { __atomic_store_n(&lScanFlag, value, __ATOMIC_RELEASE); }

#endif // DOCSCAN_SCAN_SCAN_H
