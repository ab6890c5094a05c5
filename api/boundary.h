// The one catch-all of an exported function, and the traced call around it.
//
// Anything the work of an exported function throws is stopped here and turns
// into a failure result with the function's status code, so nothing crosses
// the library boundary as an exception. TracedCall adds the entry and exit
// lines, so that an exported function states its name and level once.
#ifndef DOCSCAN_API_BOUNDARY_H
#define DOCSCAN_API_BOUNDARY_H

#include <cstdint>
#include <utility>

#include "api/scanner.h"
#include "support/trace.h"
#include "transport/usbio_linux_10.h"

template <typename Work>
bool CatchAtBoundary(uint32_t failureCode, Work &&work) noexcept
{
    try {
        return static_cast<bool>(work());
    } catch (...) {
        SetErrCode(failureCode);
        return false;
    }
}

// Entry line, the work under the catch-all (a throw leaves failureCode),
// exit line with the work's result; returns that result.
template <typename Work>
bool TracedCall(LogLevel level, const char *name, int entry, Work &&work,
                uint32_t failureCode = kErrGeneral) noexcept
{
    TraceScope trace(level, name, entry);
    return trace.Return(CatchAtBoundary(failureCode, std::forward<Work>(work)));
}

// A call accepted without device action: entry line, exit line with 1, true.
inline bool AcceptedCall(LogLevel level, const char *name, int entry = 1) noexcept
{
    TraceScope trace(level, name, entry);
    return trace.Return(true);
}

#endif // DOCSCAN_API_BOUNDARY_H
