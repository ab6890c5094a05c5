// The one catch-all of an exported function.
//
// Exported functions write their entry line, run their work through
// CatchAtBoundary and write their exit line. Anything the work throws is
// stopped here and turns into a failure result with the function's status
// code, so nothing crosses the library boundary as an exception.
#ifndef DOCSCAN_API_BOUNDARY_H
#define DOCSCAN_API_BOUNDARY_H

#include <cstdint>

#include "api/scanner.h"
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

#endif // DOCSCAN_API_BOUNDARY_H
