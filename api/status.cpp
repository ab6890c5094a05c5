// Status reporting: the status code handed back to the front end, and four
// status-like functions that answer without the device. None of them takes
// the device bracket, sends a command or clears the status code.
#include "api/boundary.h"
#include "api/scanner.h"
#include "support/debug.h"
#include "transport/usbio_linux_10.h"

bool GetScannerStatus(void * /*unused1*/, void * /*unused2*/, void * /*unused3*/, uint8_t *status)
{
    TraceScope trace(kLogExported, "GetScannerStatus", 0);
    CatchAtBoundary(kErrGeneral, [status] {
        if (status == nullptr)
            SetErrCode(kErrInvalidParameter);
        else
            *status = static_cast<uint8_t>(ErrCode() & 0xFFu); // 2023 arrives as 231
        return true;
    });
    return trace.Return(true);
}

bool GetScannerStatusEx(void * /*unused1*/, void * /*unused2*/, void * /*unused3*/, uint64_t *status)
{
    TraceScope trace(kLogExported, "GetScannerStatusEx");
    CatchAtBoundary(kErrGeneral, [status] {
        if (status == nullptr)
            SetErrCode(kErrInvalidParameter);
        else
            *status = ErrCode();
        return true;
    });
    trace.ExitText(" %d", static_cast<int>(ErrCode()));
    return trace.Return(true);
}

bool GetLastStatusCode(void * /*unused*/, uint64_t *status)
{
    TraceScope trace(kLogExported, "GetLastStatusCode");
    uint64_t code = 0;
    const bool result = CatchAtBoundary(kErrGeneral, [&code, status] {
        const bool asked = GetScannerStatusEx(nullptr, nullptr, nullptr, &code);
        // A null pointer is refused like the other status functions do (2005).
        if (status == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return asked;
        }
        // 2009 and 3011 are never handed out: the caller keeps its value.
        if (code != kErrNotReady && code != kErrNotHandedOut) *status = code;
        return asked;
    });
    trace.ExitText(" status = %d", status != nullptr ? static_cast<int>(*status) : 0);
    return trace.Return(result);
}

bool IsCalibrationDataFileExist(void) { return AcceptedCall(kLogExported, "IsCalibrationDataFileExist"); }

bool StartScanJob(void) { return AcceptedCall(kLogExported, "StartScanJob"); }

bool EndScanJob(void) { return AcceptedCall(kLogExported, "EndScanJob"); }

bool GetADFStatus(void) { return AcceptedCall(kLogExported, "GetADFStatus"); }
