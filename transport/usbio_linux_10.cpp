// Scanner discovery, the command transaction, sense translation and the
// button channel, over the one NxLibUsb object.
#include "transport/usbio_linux_10.h"

#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "support/NxByteOrder.h"
#include "support/debug.h"
#include "support/trace.h"
#include "transport/usbio_linux_libusb_10.h"

uint32_t gErrCode = 0;
uint8_t SenseData[22];

static_assert(sizeof SenseData == kSenseDataLength, "SenseData holds one REQUEST SENSE answer");

namespace {

#define TRANSPORTLOG(...) LogOutput(kLogInternal, DebugFunctionFile, __VA_ARGS__)

// A failed step inside FindScanner or DoIo; caught at the routine's end.
struct StepFailed {
    uint8_t value = 0;
};

// ---------------------------------------------------------------------------
// Sense translation tables
// ---------------------------------------------------------------------------

// Status code preset by the sense key; it stands only when ASC/ASCQ are 00/00.
constexpr uint32_t kSenseKeyPreset[16] = {
    DOCSCAN_STATUS_GENERAL,           // 0  NO SENSE
    DOCSCAN_STATUS_OK,                // 1  RECOVERED ERROR
    DOCSCAN_STATUS_NOT_READY,         // 2  NOT READY
    DOCSCAN_STATUS_HARDWARE,          // 3  MEDIUM ERROR
    DOCSCAN_STATUS_HARDWARE,          // 4  HARDWARE ERROR
    DOCSCAN_STATUS_INVALID_PARAMETER, // 5  ILLEGAL REQUEST
    DOCSCAN_STATUS_HARDWARE,          // 6  UNIT ATTENTION
    DOCSCAN_STATUS_OK,                // 7  DATA PROTECT
    DOCSCAN_STATUS_OK,                // 8  BLANK CHECK
    DOCSCAN_STATUS_HARDWARE,          // 9  vendor specific
    DOCSCAN_STATUS_OK,                // 10 COPY ABORTED
    DOCSCAN_STATUS_ABORTED,           // 11 ABORTED COMMAND
    DOCSCAN_STATUS_OK,                // 12
    DOCSCAN_STATUS_OK,                // 13
    DOCSCAN_STATUS_OK,                // 14
    DOCSCAN_STATUS_OK,                // 15
};

struct AscStatus {
    uint16_t ascAscq; // ASC * 256 + ASCQ
    uint32_t code;
};

// Every ASC/ASCQ pair the scanner reports with a status code of its own, in
// ascending order. Any other pair except 00/00 gives 2999.
constexpr AscStatus kAscStatusTable[] = {
    {0x1502, DOCSCAN_STATUS_SENSE_1502}, // POSITIONING ERROR DETECTED BY READ OF MEDIUM
    {0x1503, DOCSCAN_STATUS_SENSE_1503},
    {0x1504, DOCSCAN_STATUS_SENSE_1504},
    {0x1A00, DOCSCAN_STATUS_INVALID_PARAMETER}, // PARAMETER LIST LENGTH ERROR
    {0x2000, DOCSCAN_STATUS_INVALID_PARAMETER}, // INVALID COMMAND OPERATION CODE
    {0x2600, DOCSCAN_STATUS_INVALID_PARAMETER}, // INVALID FIELD IN PARAMETER LIST
    {0x2601, DOCSCAN_STATUS_INVALID_PARAMETER}, // PARAMETER NOT SUPPORTED
    {0x2602, DOCSCAN_STATUS_INVALID_PARAMETER}, // PARAMETER VALUE INVALID
    {0x2C02, DOCSCAN_STATUS_INVALID_PARAMETER}, // INVALID COMBINATION OF WINDOWS SPECIFIED
    {0x4401, DOCSCAN_STATUS_SENSE_4401},
    {0x4402, DOCSCAN_STATUS_SENSE_4402},
    {0x4403, DOCSCAN_STATUS_SENSE_4402},
    {0x6000, DOCSCAN_STATUS_LAMP_FAILURE}, // LAMP FAILURE
    {0x6001, DOCSCAN_STATUS_SENSE_6001},
    {0x6002, DOCSCAN_STATUS_SENSE_6002},
    {0x6200, DOCSCAN_STATUS_SCAN_HEAD_POSITIONING}, // SCAN HEAD POSITIONING ERROR
    {0x8001, DOCSCAN_STATUS_SENSE_8001},            // 0x80 and above: the scanner's own conditions
    {0x8002, DOCSCAN_STATUS_SENSE_8002},
    {0x8003, DOCSCAN_STATUS_SENSE_8003},
    {0x8004, DOCSCAN_STATUS_SENSE_8004},
    {0x8005, DOCSCAN_STATUS_SENSE_8005},
    {0x8009, DOCSCAN_STATUS_SENSE_8001},
    {0x800A, DOCSCAN_STATUS_SENSE_800A},
    {0x800B, DOCSCAN_STATUS_SENSE_800B},
    {0x800C, DOCSCAN_STATUS_SENSE_800C},
    {0x800D, DOCSCAN_STATUS_SENSE_800D},
    {0x800E, DOCSCAN_STATUS_SENSE_800E},
    {0x800F, DOCSCAN_STATUS_SENSE_800F},
    {0x8010, DOCSCAN_STATUS_SENSE_8010},
    {0x8011, DOCSCAN_STATUS_SENSE_8011},
    {0x8012, DOCSCAN_STATUS_SENSE_8012},
    {0x8013, DOCSCAN_STATUS_SENSE_8013},
    {0x8015, DOCSCAN_STATUS_SENSE_8015},
    {0x8016, DOCSCAN_STATUS_SENSE_8016},
    {0x8017, DOCSCAN_STATUS_SENSE_8017},
    {0x8018, DOCSCAN_STATUS_SENSE_8018},
    {0x8019, DOCSCAN_STATUS_SENSE_8019},
    {0x801A, DOCSCAN_STATUS_SENSE_801A},
    {0x801C, DOCSCAN_STATUS_SENSE_801C},
    {0x801D, DOCSCAN_STATUS_SENSE_801D},
    {0x801F, DOCSCAN_STATUS_SENSE_801F},
    {0x8023, DOCSCAN_STATUS_SENSE_8023},
    {0x9000, DOCSCAN_STATUS_DEVICE_FAULT},
    {0x9001, DOCSCAN_STATUS_SENSE_9001},
    {0xA001, DOCSCAN_STATUS_DEVICE_FAULT},
};

constexpr bool IsStrictlyAscending()
{
    for (size_t i = 1; i < std::size(kAscStatusTable); ++i)
        if (kAscStatusTable[i - 1].ascAscq >= kAscStatusTable[i].ascAscq) return false;
    return true;
}
static_assert(std::size(kAscStatusTable) == 45, "45 ASC/ASCQ pairs have a code of their own");
static_assert(IsStrictlyAscending(), "one row per ASC/ASCQ pair, in ascending order");

uint32_t StatusOfAscAscq(uint16_t ascAscq)
{
    for (const AscStatus &row : kAscStatusTable)
        if (row.ascAscq == ascAscq) return row.code;
    return kErrGeneral;
}

// Fixed-format sense data: current (0x70) or, as the scanner also sends, 0x7F.
constexpr uint8_t kResponseCurrent = 0x70;
constexpr uint8_t kResponseFixedVendor = 0x7F;

// The old record of an already open scanner is closed once a new one has
// been accepted (or once none could be made), so that no record is lost.
void ReplaceOpenDevice(LibUsbHandleStructure *record)
{
    LibUsbHandleStructure *old = pNxLibUsb.hDevice;
    pNxLibUsb.hDevice = record;
    if (old != nullptr && old != record) pNxLibUsb.CloseDeviceHandle(old);
}

// ---------------------------------------------------------------------------
// The transport lock
// ---------------------------------------------------------------------------

struct TransportState {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread::id owner;
    std::thread::id lastOwner; // lets the others go first when they wait
    unsigned depth = 0;        // 0: free
    unsigned waiting = 0;      // threads in the constructor's wait
    bool abandoned = false;    // the holder's transaction was written off
    // What Terminate could not close under a written-off transaction; its
    // holder closes them when the transaction ends.
    libusb_context *handedContext = nullptr;
    LibUsbHandleStructure *handedDevice = nullptr;
};
TransportState gTransport;

// Terminate while a written-off transaction still uses the context and the
// device: they pass to that transaction, and the driver goes on as closed.
// False when there is no such transaction (the caller closes them itself).
bool HandOverToAbandoned()
{
    std::lock_guard<std::mutex> lock(gTransport.mutex);
    if (gTransport.depth == 0 || !gTransport.abandoned) return false;
    // Only the first context is in use by it; a later one is closed normally.
    if (gTransport.handedContext != nullptr || gTransport.handedDevice != nullptr) return false;
    gTransport.handedContext = pNxLibUsb.pContext;
    gTransport.handedDevice = pNxLibUsb.hDevice;
    pNxLibUsb.pContext = nullptr;
    pNxLibUsb.hDevice = nullptr;
    pNxLibUsb.blOpened = false;
    return true;
}

} // namespace

TransportLock::TransportLock()
{
    std::unique_lock<std::mutex> lock(gTransport.mutex);
    const std::thread::id self = std::this_thread::get_id();
    if (gTransport.depth != 0 && gTransport.owner == self) {
        ++gTransport.depth;
        held_ = true;
        return;
    }
    // The thread that held the lock last waits while another thread waits
    // too, so that a loop of transactions (the read-ahead thread's READs)
    // cannot keep the others out.
    ++gTransport.waiting;
    gTransport.changed.wait(lock, [self] {
        if (gTransport.depth != 0) return gTransport.abandoned;
        return gTransport.lastOwner != self || gTransport.waiting == 1;
    });
    --gTransport.waiting;
    if (gTransport.depth != 0) {
        // Written off: nobody waits for it.
        lock.unlock();
        gTransport.changed.notify_all();
        return;
    }
    gTransport.owner = self;
    gTransport.depth = 1;
    held_ = true;
}

TransportLock::~TransportLock()
{
    if (!held_) return;
    libusb_context *context = nullptr;
    LibUsbHandleStructure *device = nullptr;
    {
        std::lock_guard<std::mutex> lock(gTransport.mutex);
        if (--gTransport.depth != 0) return;
        gTransport.lastOwner = gTransport.owner;
        gTransport.owner = std::thread::id();
        if (gTransport.abandoned) {
            gTransport.abandoned = false;
            context = std::exchange(gTransport.handedContext, nullptr);
            device = std::exchange(gTransport.handedDevice, nullptr);
        }
    }
    gTransport.changed.notify_all();
    if (context != nullptr || device != nullptr) CloseHandedOver(context, device);
}

bool TransportLock::abandoned() const
{
    std::lock_guard<std::mutex> lock(gTransport.mutex);
    return held_ && gTransport.abandoned && gTransport.owner == std::this_thread::get_id();
}

bool AbandonTransport()
{
    {
        std::lock_guard<std::mutex> lock(gTransport.mutex);
        if (gTransport.depth == 0) return false;
        gTransport.abandoned = true;
    }
    gTransport.changed.notify_all();
    return true;
}

bool Initialize(void)
{
    TRANSPORTLOG("In   %d : Initialize :", 1);
    TransportLock lock;
    const bool result = lock.held() && pNxLibUsb.Open();
    TRANSPORTLOG("Out  %d : Initialize :", result ? 1 : 0);
    return result;
}

bool Terminate(void)
{
    TRANSPORTLOG("In   %d : Terminate :", 1);
    {
        TransportLock lock;
        if (lock.held() || !HandOverToAbandoned()) pNxLibUsb.Close();
    }
    TRANSPORTLOG("Out  %d : Terminate :", 1);
    return true;
}

bool FindScanner(void)
{
    TRANSPORTLOG("In   %d : FindScanner :", 0);
    libusb_device **list = nullptr;
    bool failed = false;
    TransportLock lock;
    try {
        if (!lock.held()) throw StepFailed{};
        if (!pNxLibUsb.blOpened && !Initialize()) throw StepFailed{};
        const ssize_t count = ListUsbDevices(pNxLibUsb.pContext, &list);
        if (count < 0) {
            TRANSPORTLOG("libusb_get_device_list failure to get device list");
            throw StepFailed{};
        }
        TRANSPORTLOG("List device count = %d", static_cast<int>(count));
        for (ssize_t i = 0; i < count; ++i) {
            uint16_t vendorId = 0;
            uint16_t productId = 0;
            if (!GetUsbDeviceIds(list[i], &vendorId, &productId)) {
                TRANSPORTLOG("libusb_get_device_descriptor failure to get device descriptor");
                throw StepFailed{};
            }
            TRANSPORTLOG("Device %d, USB ID = %04X:%04X", static_cast<int>(i), vendorId, productId);
            if (vendorId != kScannerVendorId || productId != kScannerProductId) continue;
            LibUsbHandleStructure *record = pNxLibUsb.CreateDeviceHandle(list[i]);
            if (record == nullptr) {
                ReplaceOpenDevice(nullptr);
                break;
            }
            if (pNxLibUsb.InitializeInterface(record)) {
                ReplaceOpenDevice(record);
                break;
            }
            pNxLibUsb.CloseDeviceHandle(record);
        }
    } catch (...) {
        failed = true;
    }
    // Each record holds its own device reference (CreateDeviceHandle), so the
    // list's references are dropped here, while the context still exists.
    FreeUsbDeviceList(list);
    // Failure path: close whatever was open and the context (not a context
    // that a written-off transaction still holds).
    if (failed && lock.held()) Terminate();
    const bool result = pNxLibUsb.hDevice != nullptr;
    TRANSPORTLOG("Out  %d : FindScanner :", result ? 1 : 0);
    return result;
}

bool CheckDevice(void)
{
    TRANSPORTLOG("In   %d : CheckDevice : hDevice = 0x%X", 1, PointerForLog(pNxLibUsb.hDevice));
    const bool result = pNxLibUsb.CheckDevice(pNxLibUsb.hDevice);
    TRANSPORTLOG("Out  %d : CheckDevice :", result ? 1 : 0);
    return result;
}

bool DoIo(uint8_t *command, uint8_t *buffer, uint32_t readLength, uint32_t writeLength)
{
    TRANSPORTLOG("In   %d : DoIo : Code = 0x%02X 0x%02X 0x%02X", 1, command ? command[0] : 0,
                 command ? command[1] : 0, command ? command[2] : 0);
    bool result = false;
    bool senseStep = false; // a failure of the sense step keeps its own status code
    TransportLock lock;
    try {
        if (command == nullptr || !lock.held()) throw StepFailed{};
        if (pNxLibUsb.hDevice == nullptr && !FindScanner()) throw StepFailed{};
        LibUsbHandleStructure *device = pNxLibUsb.hDevice;

        if (!pNxLibUsb.WriteFile(device, command, kCommandBlockLength)) {
            TRANSPORTLOG("Send command error(A)");
            throw StepFailed{};
        }
        if (readLength != 0) {
            if (!pNxLibUsb.ReadFile(device, buffer, readLength)) {
                TRANSPORTLOG("Read data error(A)");
                throw StepFailed{};
            }
        } else if (writeLength != 0) {
            if (!pNxLibUsb.WriteFile(device, buffer, writeLength)) {
                TRANSPORTLOG("Send data error");
                throw StepFailed{};
            }
        }
        uint8_t status = 0;
        if (!pNxLibUsb.ReadFile(device, &status, 1)) {
            TRANSPORTLOG("Read status error(A)");
            throw StepFailed{};
        }
        if (status == kStatusGood) {
            result = true;
        } else if (status == kStatusCheckCondition) {
            // A check condition on REQUEST SENSE itself is taken as success:
            // the translation never recurses.
            if (command[0] == kOpRequestSense) {
                result = true;
            } else {
                senseStep = true;
                result = RequestSense();
            }
        } else {
            throw StepFailed{};
        }
    } catch (const StepFailed &) {
        // A written-off transaction that ends late no longer speaks for the driver.
        if (!senseStep && !lock.abandoned()) SetErrCode(kErrTransaction);
        result = false;
    } catch (...) {
        if (!senseStep && !lock.abandoned()) SetErrCode(kErrGeneral);
        result = false;
    }
    TRANSPORTLOG("Out  %d : DoIo :", result ? 1 : 0);
    return result;
}

bool RequestSense(void)
{
    uint8_t block[kCommandBlockLength] = {};
    block[0] = kOpRequestSense;
    block[4] = static_cast<uint8_t>(kSenseDataLength);
    // SenseData is filled and read under the one transaction's lock.
    TransportLock lock;
    std::memset(SenseData, 0, sizeof SenseData);
    if (!DoIo(block, SenseData, kSenseDataLength, 0)) return false;
    return ProcessSense();
}

bool ProcessSense(void)
{
    const uint8_t response = SenseData[kSenseResponseCodeOffset] & 0x7F;
    if (response != kResponseCurrent && response != kResponseFixedVendor) {
        // Another format: the response code itself is the status (0: no sense data).
        SetErrCode(response);
        return response == 0;
    }
    const uint16_t ascAscq = GetBE16(&SenseData[kSenseAscOffset]);
    if (ascAscq == 0) {
        const uint32_t code = kSenseKeyPreset[SenseData[kSenseKeyOffset] & 0x0F];
        SetErrCode(code);
        return code == kErrNone;
    }
    SetErrCode(StatusOfAscAscq(ascAscq));
    return false;
}

bool GetButtonStatus(uint8_t *record)
{
    TRANSPORTLOG("In   %d : GetButtonStatus :", 1);
    uint8_t packet[kButtonPacketLength] = {};
    bool result = false;
    // No open device: nothing to read, the caller gets zeros.
    TransportLock lock;
    if (lock.held() && pNxLibUsb.hDevice != nullptr)
        result = pNxLibUsb.InterruptRead(pNxLibUsb.hDevice, packet, kButtonPacketLength);
    if (record != nullptr) std::memcpy(record, packet, kButtonRecordLength);
    TRANSPORTLOG("Out  %d : GetButtonStatus :", result ? 1 : 0);
    return result;
}
