// Status reporting: the status code handed back to the front end, and four
// status-like functions that answer without the device. None of them takes
// the device bracket, sends a command or clears the status code.
#include "api/boundary.h"
#include "api/scanner.h"
#include "support/debug.h"
#include "transport/usbio_linux_10.h"

namespace {

constexpr unsigned int kExportedLevel = 2;

// Entry and exit line with 1, nothing else.
bool AnswerWithoutDevice(const char *name)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : %s :", 1, name);
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : %s :", 1, name);
    return true;
}

} // namespace

bool GetScannerStatus(void * /*unused1*/, void * /*unused2*/, void * /*unused3*/, uint8_t *status)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : GetScannerStatus :", 0);
    CatchAtBoundary(kErrGeneral, [status] {
        if (status == nullptr)
            SetErrCode(kErrInvalidParameter);
        else
            *status = static_cast<uint8_t>(ErrCode() & 0xFFu); // 2023 arrives as 231
        return true;
    });
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : GetScannerStatus :", 1);
    return true;
}

bool GetScannerStatusEx(void * /*unused1*/, void * /*unused2*/, void * /*unused3*/, uint64_t *status)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : GetScannerStatusEx :", 1);
    CatchAtBoundary(kErrGeneral, [status] {
        if (status == nullptr)
            SetErrCode(kErrInvalidParameter);
        else
            *status = ErrCode();
        return true;
    });
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : GetScannerStatusEx : %d", 1,
              static_cast<int>(ErrCode()));
    return true;
}

bool GetLastStatusCode(void * /*unused*/, uint64_t *status)
{
    LogOutput(kExportedLevel, DebugFunctionFile, "In   %d : GetLastStatusCode :", 1);
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
    LogOutput(kExportedLevel, DebugFunctionFile, "Out  %d : GetLastStatusCode : status = %d", result ? 1 : 0,
              status != nullptr ? static_cast<int>(*status) : 0);
    return result;
}

bool IsCalibrationDataFileExist(void) { return AnswerWithoutDevice("IsCalibrationDataFileExist"); }

bool StartScanJob(void) { return AnswerWithoutDevice("StartScanJob"); }

bool EndScanJob(void) { return AnswerWithoutDevice("EndScanJob"); }

bool GetADFStatus(void) { return AnswerWithoutDevice("GetADFStatus"); }
