// Device settings: gamma tables, scan-length tuning, power timers and the
// general pass-through. The exported functions are declared in api/scanner.h;
// this header adds the exported globals, the internal halves and the wire
// constants.
#ifndef DOCSCAN_DEVICE_SETTINGS_H
#define DOCSCAN_DEVICE_SETTINGS_H

#include <cstddef>
#include <cstdint>

#include "api/scanner.h"

extern "C" {
DOCSCAN_EXPORT extern uint16_t wTuneScanLength[4];
DOCSCAN_EXPORT extern uint16_t wTuneScanDirection[4];
DOCSCAN_EXPORT extern int32_t wiaflag;
} // extern "C"

// SEND data types and lengths are in device/apiprocess.h.

// Gamma table: 256 levels from the front end, kGammaTableLength (512) bytes
// on the wire.
constexpr size_t kGammaLevels = 256;

// Operations of GeneralOperation.
constexpr uint8_t kGeneralRead = 1;
constexpr uint8_t kGeneralSend = 2;

// Size in bytes of one element of the given type (2..15), 0 for any other.
uint32_t DdsElementSize(DDS_DATA_TYPE type);

// The halves of GeneralOperation; no trace lines. Both return 1.
bool GeneralRead(uint16_t identifier, DDS_DATA_TYPE type, uint16_t count, void *data);
bool GeneralSend(uint16_t identifier, DDS_DATA_TYPE type, uint16_t count, void *data);

#endif // DOCSCAN_DEVICE_SETTINGS_H
