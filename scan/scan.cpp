// Scan start, read-ahead thread and stop.
//
// StartScan reserves the scanner, sends SCAN, makes a new session with its ring of 64 blocks
// and starts ScanImageThread, which reads the raw page into the ring as fast
// as the ring has room. GetOriginalData hands the blocks to ReadScan in order.
// StopScan stops and joins the thread, releases the scanner, ends the session
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
#include <memory>
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

unsigned long threadScanImage = 0;
unsigned long threadIdScanImage = 0;

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

// The current session; StartScan replaces it, StopScan ends it.
std::unique_ptr<ScanSession> gSession = std::make_unique<ScanSession>();

// Hand-off of a thread that StopScan could not join in time. StopScan frees
// what only the consumer uses and leaves the 64 blocks to the thread, which
// frees them when its transfer has ended; until then no scan starts. The
// mutex orders the thread's end against StopScan's decision.
std::mutex gHandOffMutex;
bool gThreadEnded = false;                 // the thread is past its last use of the ring
bool gThreadOwnsSession = false;           // the thread left behind deletes its session
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

void ResetRingIndices()
{
    Session().readNext = 0;
    Session().threadNext = 0;
    Session().finalSize = 0;
    Session().imageStore = 0;
}

// ---- StartScan --------------------------------------------------------------

// Fixes the session's block geometry and delivery plan from
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
    // The image and block sizes are 32-bit quantities.
    if (blockBytes == 0 || imageBytes == 0 || blockBytes > UINT32_MAX / 2 || imageBytes > UINT32_MAX) {
        LogOutput(kLogExported, DebugFunctionFile,
                  "StartScan : block of %llu bytes, image of %llu bytes refused",
                  static_cast<unsigned long long>(blockBytes), static_cast<unsigned long long>(imageBytes));
        return false;
    }
    pageBytes = static_cast<uint32_t>(imageBytes);
    Session().bytesPerLine = static_cast<uint32_t>(bytesPerLine);
    Session().linesPerBlock = lineCount;
    Session().blockSize = static_cast<uint32_t>(blockBytes);

    const char *why = nullptr;
    if (!BuildDeliveryPlan(Session().plan, &why)) {
        LogOutput(kLogExported, DebugFunctionFile, "StartScan : %s", why ? why : "refused");
        Session().plan.valid = false;
        return false;
    }
    return true;
}

// Creates the read-ahead thread. The run flag is set before the thread exists, so
// that the thread never sees a 0 left from an earlier scan; a thread that
// cannot be created puts it back.
bool StartReadAheadThread()
{
    bool result = true;
    if (IsValidNxThread(&threadScanImage)) {
        if (!DestroyNxThread(&threadScanImage)) result = false;
        threadScanImage = 0;
    }
    Session().pageRead.store(false, std::memory_order_relaxed);
    Session().threadMaxSizeRead = MaxSizeRead;
    {
        std::lock_guard<std::mutex> lock(gHandOffMutex);
        gThreadEnded = false;
    }
    __atomic_exchange_n(&lScanFlag, 1, __ATOMIC_SEQ_CST);
    Session().run.store(1, std::memory_order_release);
    if (!CreateNxThread(&threadScanImage, ScanImageThread, gSession.get(), &threadIdScanImage)) {
        result = false;
        threadScanImage = 0;
    }
    if (!IsValidNxThread(&threadScanImage)) {
        Session().run.store(0, std::memory_order_release);
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
    if (LoadScanFlag() != 0 || Session().run.load(std::memory_order_acquire) != 0 || ScanThreadLeftBehind()) {
        SetErrCode(kErrScanInProgress);
        return false;
    }

    // A new scan, a new session: what a start that failed left goes with the old one.
    gSession = std::make_unique<ScanSession>();
    uint32_t pageBytes = 0;
    if (!FixBlockGeometry(pageBytes)) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }

    try {
        Session().Allocate();
    } catch (const std::bad_alloc &) {
        SetErrCode(kErrScanMemory);
        return false;
    }
    for (auto &counter : Session().linesLeft) counter.store(0, std::memory_order_relaxed);
    Session().imagingUse = ImagingUse{};

    if (!ReserveUnit()) {
        ResetRingIndices();
        return false;
    }
    const bool scanning = Scan(1, 0);
    ResetRingIndices();
    if (!scanning) return false;

    Session().imageSize = pageBytes;
    LogOutput(kLogExported, DebugVarFile, "Resolution = %3d, Pixelnum = %4d, Linenum = %4d, Imagesize = %d",
              static_cast<int>(gScanSetup.sacdimension.XRes), static_cast<int>(NewParam.PixelNum),
              static_cast<int>(uint32_t{NewParam.HiWordLineNum} * 65536u + NewParam.LineNum),
              static_cast<int>(Session().imageSize));

    Session().plan.valid = true;
    if (!StartReadAheadThread()) {
        Session().plan.valid = false;
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

bool ThreadShouldRun(const ScanSession &s) { return s.run.load(std::memory_order_acquire) != 0; }

// Reads one block's worth of image data into block, in READs of at most
// readSize bytes. Adds what was read to total. False when a read failed.
bool FillBlock(const ScanSession &s, unsigned char *block, uint32_t bytes, uint32_t readSize, uint64_t &total)
{
    uint32_t done = 0;
    while (done < bytes) {
        // Left behind by StopScan: no further READ once the late one is back.
        if (gThreadHandedOff.load(std::memory_order_acquire)) return false;
        const uint32_t remaining = bytes - done;
        LogOutput(kLogDetail, DebugImageThread, "ScanImageThread : Read image %d bytes remain %d bytes",
                  static_cast<int>(s.threadMaxSizeRead), static_cast<int>(remaining));
        const uint32_t piece = std::min(readSize, remaining);
        if (!Read(block + done, piece, kReadTypeImage, kReadQualifier)) return false;
        total += piece;
        ImageOutput(DebugRawImageFile, block + done, piece);
        done += piece;
    }
    return true;
}

void ReadAhead(ScanSession &s)
{
    const uint32_t blockBytes = s.blockSize;
    const uint32_t imageBytes = s.imageSize;
    const uint32_t readSize = s.plan.readSize;
    uint64_t total = 0;
    // The first block is no larger than the page either.
    uint32_t next = std::min(blockBytes, imageBytes);

    unsigned polls = 0;
    while (total < imageBytes && ThreadShouldRun(s)) {
        const uint64_t i = s.threadNext;
        if (s.linesLeft[i].load(std::memory_order_acquire) != 0) {
            PollPause(kThreadPollUs, polls++);
            continue;
        }
        polls = 0;
        if (!FillBlock(s, s.block[i], next, readSize, total)) {
            // The page is lost: tell the consumer, and make no further device
            // traffic (the failure's status code stays in gErrCode) until
            // StopScan ends the thread.
            StoreScanFlag(0);
            while (ThreadShouldRun(s)) usleep(kFailedThreadPollUs);
            return;
        }
        // The page's last block holds only what was left of the page but
        // counts linesPerBlock lines; the rest of it is cleared, so that it
        // holds nothing undefined (nor data of an earlier pass of the ring).
        if (next < blockBytes) std::memset(s.block[i] + next, 0, blockBytes - next);
        s.linesLeft[i].fetch_add(s.linesPerBlock, std::memory_order_release);
        s.threadNext = (i + 1) % kBlockCount;
        next = (total + blockBytes > imageBytes) ? static_cast<uint32_t>(imageBytes - total) : blockBytes;
    }
    if (total >= imageBytes) s.pageRead.store(true, std::memory_order_release);
}

// ---- StopScan -------------------------------------------------------------------

// Ends the carried state of every image routine that this scan used, and of
// those the request says it may have used.
void ResetImageRoutines(uint16_t callerXRes)
{
    const bool scaled = callerXRes != 300 && callerXRes != 600;
    if (scaled || Session().imagingUse.scaleProcess) ScaleProcess(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
    if ((gApplicationType != 1 && callerXRes > 49) || Session().imagingUse.scaleProcessEx)
        ScaleProcessEx(nullptr, 0, 0, nullptr, 0, 0, 0, 0);
    const bool filtered =
        NewParam.XRes < 1200 && gApplicationType != 1 && NewParam.ScanMode == 4 && callerXRes == 300;
    if (filtered || Session().imagingUse.filters) {
        ColorPack_Filter3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
        Denoise_Filter_GraySemiGrayPixels_3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
        Filter_SharpenGrayPixels_3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
        Filter_ShadowHighlight_3x3(nullptr, 0, 0, 0, 0, nullptr, 0);
    }
    Session().imagingUse = ImagingUse{};
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

// The thread's last act: a thread left behind that has been handed its
// session frees it, and the blocks go with it.
void EndThread(ScanSession *session)
{
    std::lock_guard<std::mutex> lock(gHandOffMutex);
    gThreadEnded = true;
    if (gThreadOwnsSession) {
        delete session;
        gThreadOwnsSession = false;
    }
    if (gThreadHandedOff.load(std::memory_order_seq_cst))
        gThreadHandedOff.store(false, std::memory_order_seq_cst);
}

bool StopScanWork()
{
    // A sequentially consistent exchange is the full barrier before the
    // flags drop (and, unlike a fence, is understood by ThreadSanitizer).
    __atomic_exchange_n(&lScanFlag, 0, __ATOMIC_SEQ_CST);
    Session().run.store(0, std::memory_order_seq_cst);

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
    Session().cropped = 0;

    // The blocks of a thread left behind are its own until it ends; the
    // consumer's buffers go now. Nothing of the freed block may be delivered
    // after the stop: the next session starts empty.
    Session().FreeWorkBuffers();
    ResetImageRoutines(gScanSetup.sacdimension.XRes);
    {
        // A thread left behind that has not ended yet frees the session
        // (its blocks) when it does; otherwise it goes now.
        std::lock_guard<std::mutex> lock(gHandOffMutex);
        if (leftBehind && !gThreadEnded) {
            gThreadOwnsSession = true;
            static_cast<void>(gSession.release());
        }
    }
    gSession = std::make_unique<ScanSession>();
    return result;
}

} // namespace

// ---- Exported entries and the internal routines of scan/scan.h -----------------

void *ScanImageThread(void *argument)
{
    auto *session = static_cast<ScanSession *>(argument);
    ScanSession &s = *session;
    LogOutput(kLogDetail, DebugImageThread, "In   %d : ScanImageThread :", 0);
    RaiseOwnPriority();
    DeleteImageFile(DebugRawImageFile);
    try {
        ReadAhead(s);
    } catch (...) {
        // Nothing may leave the thread; a failure inside a read ends the page.
        StoreScanFlag(0);
        while (ThreadShouldRun(s)) usleep(kFailedThreadPollUs);
    }
    LogOutput(kLogDetail, DebugImageThread, "Out  1 : ScanImageThread :");
    EndThread(session);
    ExitNxThread();
}

ScanSession::~ScanSession()
{
    FreeBlocks();
    FreeWorkBuffers();
}

// Everything starts zeroed: no step of the delivery can then ever see a byte
// that nothing wrote, whatever it reads of a block (the thread writes every
// block in full before it publishes it, see ReadAhead).
void ScanSession::Allocate()
{
    blockBuffer = new unsigned char[blockSize]();
    workBuffer = new unsigned char[size_t{2} * blockSize]();
    // calloc: blocks large enough to come from fresh pages are not written
    // twice (pages the system hands out are zero already).
    for (auto &b : block) {
        b = static_cast<unsigned char *>(std::calloc(blockSize, 1));
        if (b == nullptr) throw std::bad_alloc();
    }
}

void ScanSession::FreeBlocks()
{
    for (auto &b : block) {
        std::free(b);
        b = nullptr;
    }
}

void ScanSession::FreeWorkBuffers()
{
    delete[] workBuffer;
    workBuffer = nullptr;
    delete[] blockBuffer;
    blockBuffer = nullptr;
}

ScanSession &Session() { return *gSession; }

bool ScanThreadExists()
{
    return IsValidNxThread(&threadScanImage) || Session().run.load(std::memory_order_acquire) != 0;
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

    const uint64_t i = Session().readNext;
    int64_t lines = Session().linesLeft[i].load(std::memory_order_acquire);
    unsigned polls = 0;
    while (lines == 0) {
        // The thread publishes a block before it clears lScanFlag or marks
        // the page read, so one more look at the counter after either sign
        // never misses a block.
        if (LoadScanFlag() == 0 || Session().pageRead.load(std::memory_order_acquire)) {
            lines = Session().linesLeft[i].load(std::memory_order_acquire);
            if (lines == 0) {
                LogOutput(kLogInternal, DebugFunctionFile, "Out  %d : GetOriginalData :", 0);
                return false;
            }
            break;
        }
        // The processor-time clock is a system call that sums every thread
        // of the process: read it every kClockEveryPolls polls only.
        if (++polls % kClockEveryPolls == 0 && timedOut()) {
            lines = Session().linesLeft[i].load(std::memory_order_acquire);
            break;
        }
        PollPause(kConsumerPollUs, polls);
        lines = Session().linesLeft[i].load(std::memory_order_acquire);
    }
    if (lines <= 0 || buffer == nullptr || Session().block[i] == nullptr) {
        LogOutput(kLogInternal, DebugFunctionFile, "Out  %d : GetOriginalData :", 0);
        return false;
    }
    std::memcpy(buffer, Session().block[i], Session().blockSize);
    Session().linesLeft[i].fetch_sub(lines, std::memory_order_release);
    Session().readNext = (i + 1) % kBlockCount;
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
