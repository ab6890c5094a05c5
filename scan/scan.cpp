// Scan start, read-ahead thread and stop.
#include "api/scanner.h"

int64_t lScanFlag = 0;
