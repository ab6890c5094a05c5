// Driver lifecycle and the device bracket (StartLock / EndLock).
#include <cstring>

#include "api/boundary.h"
#include "api/scanner.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "scan/scan.h"
#include "support/debug.h"
#include "support/trace.h"
#include "transport/usbio_linux_10.h"

namespace {} // namespace

bool StartLock(void)
{
    TraceScope trace(kLogInternal, "StartLock");
    // The scan thread writes lScanFlag atomically; one plain-width load here.
    if (__atomic_load_n(&lScanFlag, __ATOMIC_RELAXED) != 0)
        SetErrCode(kErrScanInProgress);
    else
        CheckDevice();
    return trace.Return(true);
}

void EndLock(void)
{
    TraceScope trace(kLogInternal, "EndLock");
    trace.Return(true);
}

bool InitializeDriver(void)
{
    const bool configured = CatchAtBoundary(kErrUsbLayer, [] { return DebugInitialize(); });
    TraceScope trace(kLogExported, "InitializeDriver", configured ? 1 : 0);
    return trace.Return(CatchAtBoundary(kErrUsbLayer, [] {
        StartLock();
        std::memset(&NewParam, 0, sizeof NewParam);
        SetErrCode(kErrNone);
        std::memset(&OldParam, 0, sizeof OldParam);
        const bool opened = Initialize();
        if (!opened) SetErrCode(kErrUsbLayer);
        EndLock();
        return opened;
    }));
}

bool InitializeScanner(void)
{
    return TracedCall(
        kLogExported, "InitializeScanner", 1,
        [] {
            StartLock();
            bool identified = false;
            if (!FindScanner()) {
                SetErrCode(kErrNoScanner);
            } else {
                LogOutput(kLogNotice, DebugFunctionFile, "Find New Device!");
                identified = Inquiry(InquiryData.Data, kInquiryDataLength, 0);
                // A device opened here stays open when its inquiry fails.
                if (!identified) SetErrCode(kErrInquiry);
            }
            EndLock();
            return identified;
        },
        kErrNoScanner);
}

bool TerminateDriver(void)
{
    return TracedCall(
        kLogExported, "TerminateDriver", 1,
        [] {
            // A scan still running is stopped first, as StopScan would stop it:
            // its thread works on the device and the memory freed here.
            if (ScanThreadExists()) StopScan();
            StartLock();
            const bool closed = Terminate();
            if (!closed) SetErrCode(kErrUsbLayer);
            EndLock();
            return closed;
        },
        kErrUsbLayer);
}

bool ResetScanner(void)
{
    // Each step takes the device bracket itself; the first failing step ends
    // the sequence and leaves its own status code.
    return TracedCall(kLogExported, "ResetScanner", 1, [] {
        if (!TerminateDriver() || !InitializeDriver()) return false;
        return InitializeScanner();
    });
}
