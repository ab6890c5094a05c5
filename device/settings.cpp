// Device settings: gamma tables, scan-length tuning, power timers, pass-through.
#include "api/scanner.h"

uint16_t wTuneScanLength[4];
uint16_t wTuneScanDirection[4];
int32_t wiaflag = 0;
