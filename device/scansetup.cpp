// Scan parameter records, validation and window set-up.
#include "api/scanner.h"

tagScanParameter OldParam;
tagScanParameter NewParam;
uint32_t dwApPixNum = 0;
