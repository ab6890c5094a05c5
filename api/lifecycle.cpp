// Driver lifecycle and the device bracket (StartLock / EndLock).
#include <cstring>

#include "api/boundary.h"
#include "api/scanner.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "scan/scan.h"
#include "support/debug.h"
#include "transport/usbio_linux_10.h"

namespace {

constexpr unsigned int kExportedLevel = 2;
constexpr unsigned int kLockLevel = 3;
constexpr unsigned int kFoundLevel = 5;

int AsNumber(bool value) { return value ? 1 : 0; }

} // namespace

bool StartLock(void)
{
    LogOutput(kLockLevel, DebugFunctionFile, "In   %d : StartLock :", 1);
    // The scan thread writes lScanFlag atomically; one plain-width load here.
    if (__atomic_load_n(&lScanFlag, __ATOMIC_RELAXED) != 0)
        SetErrCode(kErrScanInProgress);
    else
        CheckDevice();
    LogOutput(kLockLevel, DebugFunctionFile, "Out  %d : StartLock :", 1);
    return true;
}

void EndLock(void)
{
    LogOutput(kLockLevel, DebugFunctionFile, "In   %d : EndLock :", 1);
    LogOutput(kLockLevel, DebugFunctionFile, "Out  %d : EndLock :", 1);
}

bool InitializeDriver(void)
{
    const bool configured = CatchAtBoundary(kErrUsbLayer, [] { return DebugInitialize(); });
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : InitializeDriver :", AsNumber(configured));
    const bool result = CatchAtBoundary(kErrUsbLayer, [] {
        StartLock();
        std::memset(&NewParam, 0, sizeof NewParam);
        SetErrCode(kErrNone);
        std::memset(&OldParam, 0, sizeof OldParam);
        const bool opened = Initialize();
        if (!opened) SetErrCode(kErrUsbLayer);
        EndLock();
        return opened;
    });
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : InitializeDriver :", AsNumber(result));
    return result;
}

bool InitializeScanner(void)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : InitializeScanner :", 1);
    const bool result = CatchAtBoundary(kErrNoScanner, [] {
        StartLock();
        bool identified = false;
        if (!FindScanner()) {
            SetErrCode(kErrNoScanner);
        } else {
            LogOutput(kFoundLevel, DebugFunctionFile, "Find New Device!");
            identified = Inquiry(InquiryData.Data, kInquiryDataLength, 0);
            // A device opened here stays open when its inquiry fails.
            if (!identified) SetErrCode(kErrInquiry);
        }
        EndLock();
        return identified;
    });
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : InitializeScanner :", AsNumber(result));
    return result;
}

bool TerminateDriver(void)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : TerminateDriver :", 1);
    const bool result = CatchAtBoundary(kErrUsbLayer, [] {
        // A scan still running is stopped first, as StopScan would stop it:
        // its thread works on the device and the memory freed here.
        if (ScanThreadExists()) StopScan();
        StartLock();
        const bool closed = Terminate();
        if (!closed) SetErrCode(kErrUsbLayer);
        EndLock();
        return closed;
    });
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : TerminateDriver :", AsNumber(result));
    return result;
}

bool ResetScanner(void)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : ResetScanner :", 1);
    // Each step takes the device bracket itself; the first failing step ends
    // the sequence and leaves its own status code.
    const bool result = CatchAtBoundary(kErrGeneral, [] {
        if (!TerminateDriver() || !InitializeDriver()) return false;
        return InitializeScanner();
    });
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : ResetScanner :", AsNumber(result));
    return result;
}
