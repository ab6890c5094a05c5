// Scan start, read-ahead thread and stop.
//
// StartScan reserves the scanner, sends SCAN, allocates the ring of 64 blocks
// and starts ScanImageThread, which reads the raw page into the ring as fast
// as the ring has room. GetOriginalData hands the blocks to ReadScan in order.
// StopScan stops and joins the thread, releases the scanner, frees the ring
// and resets the image routines' carried state. See scan/scan.h for who owns
// which counter.
#include "scan/scan.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "api/boundary.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "imaging/filter.h"
#include "imaging/scale.h"
#include "support/NxThreadType.h"
#include "support/debug.h"
#include "support/trace.h"

int64_t lScanFlag = 0;

unsigned char *pBlock[kBlockCount] = {};
std::atomic<int64_t> bLineLeftOfBlock[kBlockCount] = {};
uint64_t bRFSThreadControlFlag = 0;
uint64_t bBlockReadFlag = 0;
std::atomic<uint8_t> blThread{0};
unsigned long threadScanImage = 0;
unsigned long threadIdScanImage = 0;

uint32_t dwBytesperline = 0;
uint32_t Bufferline = 0;
uint32_t Buffersize = 0;
uint32_t Imagesize = 0;

unsigned char *pBlockbuffer = nullptr;
unsigned char *m_blockbuffer = nullptr;

ImagingUse gImagingUse;

std::atomic<long> gConsumerWallTimeoutMs{kConsumerWallTimeoutMs};
std::atomic<long> gStopWaitMs{kStopWaitMs};

namespace {

// Poll intervals of the two sides, in microseconds. A wait that lasts longer
// than kQuickPolls looks backs off to kPatientPollUs: the side that waits long
// is not the one that limits the scan (the thread waits on a full ring, the
// consumer on the scanner), so the longer interval costs no throughput and
// saves most of the processor time that waiting would burn.
constexpr useconds_t kThreadPollUs = 25;
constexpr useconds_t kConsumerPollUs = 10;
constexpr unsigned kQuickPolls = 8;
constexpr useconds_t kPatientPollUs = 250;
constexpr unsigned kClockEveryPolls = 64;
// A thread whose read failed makes no further device traffic; it only waits
// for StopScan, and need not look as often.
constexpr useconds_t kFailedThreadPollUs = 1000;

// Set by the thread once it has read the whole page; lets the consumer stop
// waiting when the ring is empty and nothing more can come.
std::atomic<bool> gPageRead{false};

// MaxSizeRead as the thread's trace shows it, taken before the thread starts
// (a capability call from another thread may rewrite MaxSizeRead meanwhile).
uint32_t gThreadMaxSizeRead = 0;

// Hand-off of a thread that StopScan could not join in time. StopScan frees
// what only the consumer uses and leaves the 64 blocks to the thread, which
// frees them when its transfer has ended; until then no scan starts. The
// mutex orders the thread's end against StopScan's decision.
std::mutex gHandOffMutex;
bool gThreadEnded = false;                 // the thread is past its last use of the ring
std::atomic<bool> gThreadHandedOff{false}; // StopScan left the thread behind

// One pause of a wait; `polls` counts the looks of this wait so far.
void PollPause(useconds_t interval, unsigned polls)
{
    usleep(polls < kQuickPolls ? interval : kPatientPollUs);
}

uint32_t LinesPerBlock(uint32_t callerXRes)
{
    if (callerXRes <= 300) return 48;
    if (callerXRes <= 600) return 16;
    return 4;
}

void FreeBlocks()
{
    for (auto &block : pBlock) {
        std::free(block);
        block = nullptr;
    }
}

// The consumer's two buffers, which the thread never touches.
void FreeWorkBuffers()
{
    delete[] m_blockbuffer;
    m_blockbuffer = nullptr;
    delete[] pBlockbuffer;
    pBlockbuffer = nullptr;
}

void FreeRing()
{
    FreeBlocks();
    FreeWorkBuffers();
}

// Allocates the processing buffer, the work buffer and the 64 blocks, in this
// order. Throws std::bad_alloc; what was allocated stays until FreeRing.
// Everything starts zeroed: no step of the delivery can then ever see a byte
// that nothing wrote, whatever it reads of a block (the thread writes every
// block in full before it publishes it, see ReadAhead).
void AllocateRing()
{
    pBlockbuffer = new unsigned char[Buffersize]();
    m_blockbuffer = new unsigned char[size_t{2} * Buffersize]();
    // calloc: blocks large enough to come from fresh pages are not written
    // twice (pages the system hands out are zero already).
    for (auto &block : pBlock) {
        block = static_cast<unsigned char *>(std::calloc(Buffersize, 1));
        if (block == nullptr) throw std::bad_alloc();
    }
}

void ResetRingIndices()
{
    bBlockReadFlag = 0;
    bRFSThreadControlFlag = 0;
    finalsize = 0;
    Imagestore = 0;
}

// ---- StartScan --------------------------------------------------------------

// Fixes dwBytesperline, Bufferline, Buffersize and the delivery plan from
// NewParam and the caller's geometry, and computes the page size. A request
// whose blocks could not be read or delivered within the buffers is refused
// here, before any memory is taken or any command sent.
bool FixBlockGeometry(uint32_t &pageBytes)
{
    const uint64_t bytesPerLine = uint64_t{NewParam.BitPerPixel} * NewParam.PixelNum / 8;
    const uint64_t lines = uint64_t{NewParam.HiWordLineNum} * 65536u + NewParam.LineNum;
    const uint64_t imageBytes = uint64_t{NewParam.BitPerPixel / 8u} * NewParam.PixelNum * lines;
    const uint32_t lineCount = LinesPerBlock(gScanSetup.sacdimension.XRes);
    const uint64_t blockBytes = bytesPerLine * lineCount;

    // The ring must have something to hold and the page something to read;
    // Imagesize and the block size are 32-bit quantities.
    if (blockBytes == 0 || imageBytes == 0 || blockBytes > UINT32_MAX / 2 || imageBytes > UINT32_MAX) {
        LogOutput(kLogExported, DebugFunctionFile,
                  "StartScan : block of %llu bytes, image of %llu bytes refused",
                  static_cast<unsigned long long>(blockBytes), static_cast<unsigned long long>(imageBytes));
        return false;
    }
    pageBytes = static_cast<uint32_t>(imageBytes);
    dwBytesperline = static_cast<uint32_t>(bytesPerLine);
    Bufferline = lineCount;
    Buffersize = static_cast<uint32_t>(blockBytes);

    const char *why = nullptr;
    if (!BuildDeliveryPlan(gDeliveryPlan, &why)) {
        LogOutput(kLogExported, DebugFunctionFile, "StartScan : %s", why ? why : "refused");
        gDeliveryPlan.valid = false;
        return false;
    }
    return true;
}

// Creates the read-ahead thread. blThread is set before the thread exists, so
// that the thread never sees a 0 left from an earlier scan; a thread that
// cannot be created puts it back.
bool StartReadAheadThread()
{
    bool result = true;
    if (IsValidNxThread(&threadScanImage)) {
        if (!DestroyNxThread(&threadScanImage)) result = false;
        threadScanImage = 0;
    }
    gPageRead.store(false, std::memory_order_relaxed);
    gThreadMaxSizeRead = MaxSizeRead;
    {
        std::lock_guard<std::mutex> lock(gHandOffMutex);
        gThreadEnded = false;
    }
    __atomic_exchange_n(&lScanFlag, 1, __ATOMIC_SEQ_CST);
    blThread.store(1, std::memory_order_release);
    if (!CreateNxThread(&threadScanImage, ScanImageThread, nullptr, &threadIdScanImage)) {
        result = false;
        threadScanImage = 0;
    }
    if (!IsValidNxThread(&threadScanImage)) {
        blThread.store(0, std::memory_order_release);
        StoreScanFlag(0);
        SetErrCode(kErrGeneral);
        return false;
    }
    return result;
}

bool StartScanWork()
{
    if (!StartLock()) return false;
    DumpScanParameter("IO", &NewParam);

    // Only one read-ahead thread may ever run: a thread of an earlier scan
    // that failed a read (lScanFlag 0) runs until StopScan, so it refuses a
    // new scan as a running scan does. (Every refusal thus finds lScanFlag
    // either 1 already or cleared by a failed read, which must stay cleared;
    // nothing sets it back to 1 on the way out.)
    if (LoadScanFlag() != 0 || blThread.load(std::memory_order_acquire) != 0 || ScanThreadLeftBehind()) {
        SetErrCode(kErrScanInProgress);
        return false;
    }

    gDeliveryPlan.valid = false;
    uint32_t pageBytes = 0;
    if (!FixBlockGeometry(pageBytes)) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }

    // A ring left by a start that failed after allocating is not kept twice.
    FreeRing();
    try {
        AllocateRing();
    } catch (const std::bad_alloc &) {
        SetErrCode(kErrScanMemory);
        return false;
    }
    for (auto &counter : bLineLeftOfBlock) counter.store(0, std::memory_order_relaxed);
    gImagingUse = ImagingUse{};

    if (!ReserveUnit()) {
        ResetRingIndices();
        return false;
    }
    const bool scanning = Scan(1, 0);
    ResetRingIndices();
    if (!scanning) return false;

    Imagesize = pageBytes;
    LogOutput(kLogExported, DebugVarFile, "Resolution = %3d, Pixelnum = %4d, Linenum = %4d, Imagesize = %d",
              static_cast<int>(gScanSetup.sacdimension.XRes), static_cast<int>(NewParam.PixelNum),
              static_cast<int>(uint32_t{NewParam.HiWordLineNum} * 65536u + NewParam.LineNum),
              static_cast<int>(Imagesize));

    gDeliveryPlan.valid = true;
    if (!StartReadAheadThread()) {
        gDeliveryPlan.valid = false;
        return false;
    }
    return true;
}

// ---- The read-ahead thread ----------------------------------------------------

void RaiseOwnPriority()
{
    int policy = 0;
    sched_param parameter{};
    if (pthread_getschedparam(pthread_self(), &policy, &parameter) != 0) return;
    parameter.sched_priority = sched_get_priority_max(policy);
    pthread_setschedparam(pthread_self(), policy, &parameter);
}

bool ThreadShouldRun() { return blThread.load(std::memory_order_acquire) != 0; }

// Reads one block's worth of image data into block, in READs of at most
// readSize bytes. Adds what was read to total. False when a read failed.
bool FillBlock(unsigned char *block, uint32_t bytes, uint32_t readSize, uint64_t &total)
{
    uint32_t done = 0;
    while (done < bytes) {
        // Left behind by StopScan: no further READ once the late one is back.
        if (gThreadHandedOff.load(std::memory_order_acquire)) return false;
        const uint32_t remaining = bytes - done;
        LogOutput(kLogDetail, DebugImageThread, "ScanImageThread : Read image %d bytes remain %d bytes",
                  static_cast<int>(gThreadMaxSizeRead), static_cast<int>(remaining));
        const uint32_t piece = std::min(readSize, remaining);
        if (!Read(block + done, piece, kReadTypeImage, kReadQualifier)) return false;
        total += piece;
        ImageOutput(DebugRawImageFile, block + done, piece);
        done += piece;
    }
    return true;
}

void ReadAhead()
{
    const uint32_t blockBytes = Buffersize;
    const uint32_t imageBytes = Imagesize;
    const uint32_t readSize = gDeliveryPlan.readSize;
    uint64_t total = 0;
    // The first block is no larger than the page either.
    uint32_t next = std::min(blockBytes, imageBytes);

    unsigned polls = 0;
    while (total < imageBytes && ThreadShouldRun()) {
        const uint64_t i = bRFSThreadControlFlag;
        if (bLineLeftOfBlock[i].load(std::memory_order_acquire) != 0) {
            PollPause(kThreadPollUs, polls++);
            continue;
        }
        polls = 0;
        if (!FillBlock(pBlock[i], next, readSize, total)) {
            // The page is lost: tell the consumer, and make no further device
            // traffic (the failure's status code stays in gErrCode) until
            // StopScan ends the thread.
            StoreScanFlag(0);
            while (ThreadShouldRun()) usleep(kFailedThreadPollUs);
            return;
        }
        // The page's last block holds only what was left of the page but
        // counts Bufferline lines; the rest of it is cleared, so that it
        // holds nothing undefined (nor data of an earlier pass of the ring).
        if (next < blockBytes) std::memset(pBlock[i] + next, 0, blockBytes - next);
        bLineLeftOfBlock[i].fetch_add(Bufferline, std::memory_order_release);
        bRFSThreadControlFlag = (i + 1) % kBlockCount;
        next = (total + blockBytes > imageBytes) ? static_cast<uint32_t>(imageBytes - total) : blockBytes;
    }
    if (total >= imageBytes) gPageRead.store(true, std::memory_order_release);
}

// ---- StopScan -------------------------------------------------------------------

// Ends the carried state of every image routine that this scan used, and of
// those the request says it may have used.
void ResetImageRoutines(uint16_t callerXRes)
{
    const bool scaled = callerXRes != 300 && callerXRes != 600;
    if (scaled || gImagingUse.scaleProcess) ScaleProcess(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
    if ((gApplicationType != 1 && callerXRes > 49) || gImagingUse.scaleProcessEx)
        ScaleProcessEx(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
    const bool filtered =
        NewParam.XRes < 1200 && gApplicationType != 1 && NewParam.ScanMode == 4 && callerXRes == 300;
    if (filtered || gImagingUse.filters) {
        ColorPack_Filter3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
        Denoise_Filter_GraySemiGrayPixels_3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
        Filter_SharpenGrayPixels_3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
        Filter_ShadowHighlight_3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
    }
    gImagingUse = ImagingUse{};
}

// Joins the thread if it ends within gStopWaitMs. Otherwise (its transfer
// still waits on a device that stopped answering) the thread is detached and
// left to end on its own: it frees the blocks, and its transaction is written
// off so that nobody waits for the transport. False in that case.
bool JoinOrLeaveBehind(pthread_t thread)
{
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const long wait = gStopWaitMs.load(std::memory_order_relaxed);
    deadline.tv_sec += wait / 1000;
    deadline.tv_nsec += (wait % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(thread, nullptr, &deadline) != ETIMEDOUT) return true;
    bool leave = false;
    {
        std::lock_guard<std::mutex> lock(gHandOffMutex);
        if (!gThreadEnded) {
            gThreadHandedOff.store(true, std::memory_order_seq_cst);
            leave = true;
        }
    }
    if (!leave) {
        pthread_join(thread, nullptr); // it was on its way out
        return true;
    }
    pthread_detach(thread);
    AbandonTransport();
    return false;
}

// The thread's last act on the ring: a thread left behind frees the blocks.
void EndThread()
{
    std::lock_guard<std::mutex> lock(gHandOffMutex);
    gThreadEnded = true;
    if (gThreadHandedOff.load(std::memory_order_seq_cst)) {
        FreeBlocks();
        gThreadHandedOff.store(false, std::memory_order_seq_cst);
    }
}

bool StopScanWork()
{
    // A sequentially consistent exchange is the full barrier before the
    // flags drop (and, unlike a fence, is understood by ThreadSanitizer).
    __atomic_exchange_n(&lScanFlag, 0, __ATOMIC_SEQ_CST);
    blThread.store(0, std::memory_order_seq_cst);

    // The thread ends after its current block (or read) and is joined, or is
    // left behind when its read does not come back in time.
    bool leftBehind = false;
    if (IsValidNxThread(&threadScanImage)) {
        leftBehind = !JoinOrLeaveBehind(static_cast<pthread_t>(threadScanImage));
        DestroyNxThread(&threadScanImage);
    }

    bool result;
    if (__atomic_load_n(&bitUserCancel, __ATOMIC_ACQUIRE) == 1) {
        ReleaseUnit(kReleaseCancelled);
        result = false;
        SetErrCode(kErrUserCancel);
    } else {
        result = ReleaseUnit(kReleaseNormal);
    }

    __atomic_store_n(&bitUserCancel, 0, __ATOMIC_RELEASE);
    gScanSetup.EndScan();
    bitCrop = 0;

    // The blocks of a thread left behind are its own until it ends.
    if (leftBehind || ScanThreadLeftBehind())
        FreeWorkBuffers();
    else
        FreeRing();
    // Nothing of the freed block may be delivered after the stop.
    finalsize = 0;
    Imagestore = 0;
    gDeliveryPlan.valid = false;
    gPageRead.store(false, std::memory_order_relaxed);

    ResetImageRoutines(gScanSetup.sacdimension.XRes);
    return result;
}

} // namespace

// ---- Exported entries and the internal routines of scan/scan.h -----------------

void *ScanImageThread(void *)
{
    LogOutput(kLogDetail, DebugImageThread, "In   %d : ScanImageThread :", 0);
    RaiseOwnPriority();
    DeleteImageFile(DebugRawImageFile);
    try {
        ReadAhead();
    } catch (...) {
        // Nothing may leave the thread; a failure inside a read ends the page.
        StoreScanFlag(0);
        while (ThreadShouldRun()) usleep(kFailedThreadPollUs);
    }
    LogOutput(kLogDetail, DebugImageThread, "Out  1 : ScanImageThread :");
    EndThread();
    ExitNxThread();
}

bool ScanThreadExists()
{
    return IsValidNxThread(&threadScanImage) || blThread.load(std::memory_order_acquire) != 0;
}

bool ScanThreadLeftBehind() { return gThreadHandedOff.load(std::memory_order_seq_cst); }

bool GetOriginalData(unsigned char *buffer)
{
    LogOutput(kLogInternal, DebugFunctionFile, "In   %d : GetOriginalData :", 0);
    auto milliseconds = [] { return static_cast<long>(std::clock() * 1000 / CLOCKS_PER_SEC); };
    const long start = milliseconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const long wallLimit = gConsumerWallTimeoutMs.load(std::memory_order_relaxed);
    auto timedOut = [&] {
        return milliseconds() - start > kConsumerTimeoutMs ||
               std::chrono::steady_clock::now() - wallStart > std::chrono::milliseconds(wallLimit);
    };

    const uint64_t i = bBlockReadFlag;
    int64_t lines = bLineLeftOfBlock[i].load(std::memory_order_acquire);
    unsigned polls = 0;
    while (lines == 0) {
        // The thread publishes a block before it clears lScanFlag or marks
        // the page read, so one more look at the counter after either sign
        // never misses a block.
        if (LoadScanFlag() == 0 || gPageRead.load(std::memory_order_acquire)) {
            lines = bLineLeftOfBlock[i].load(std::memory_order_acquire);
            if (lines == 0) {
                LogOutput(kLogInternal, DebugFunctionFile, "Out  %d : GetOriginalData :", 0);
                return false;
            }
            break;
        }
        // The processor-time clock is a system call that sums every thread
        // of the process: read it every kClockEveryPolls polls only.
        if (++polls % kClockEveryPolls == 0 && timedOut()) {
            lines = bLineLeftOfBlock[i].load(std::memory_order_acquire);
            break;
        }
        PollPause(kConsumerPollUs, polls);
        lines = bLineLeftOfBlock[i].load(std::memory_order_acquire);
    }
    if (lines <= 0 || buffer == nullptr || pBlock[i] == nullptr) {
        LogOutput(kLogInternal, DebugFunctionFile, "Out  %d : GetOriginalData :", 0);
        return false;
    }
    std::memcpy(buffer, pBlock[i], Buffersize);
    bLineLeftOfBlock[i].fetch_sub(lines, std::memory_order_release);
    bBlockReadFlag = (i + 1) % kBlockCount;
    LogOutput(kLogInternal, DebugFunctionFile, "Out  %d : GetOriginalData :", 1);
    return true;
}

extern "C" {

bool StartScan(void)
{
    return TracedCall(kLogExported, "StartScan", 0, [] { return StartScanWork(); });
}

bool StopScan(void)
{
    TraceScope trace(kLogExported, "StopScan", 0);
    const bool result = CatchAtBoundary(kErrGeneral, [] { return StopScanWork(); });
    StoreScanFlag(0);
    EndLock();
    return trace.Return(result);
}

} // extern "C"
