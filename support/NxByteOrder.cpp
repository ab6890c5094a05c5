// Byte reversal for device data. Each function is its own inverse.
#include "support/NxByteOrder.h"

#include <cstring>

extern "C" {

unsigned short DeviceToHostWORD(unsigned short value)
{
    return static_cast<unsigned short>((value >> 8) | (value << 8));
}

unsigned int DeviceToHostDWORD(unsigned int value) { return __builtin_bswap32(value); }

// The pointer forms copy through memcpy: the argument may sit at any address.
// A null pointer is refused with 0.
unsigned short DeviceToHostWORDPtr(unsigned short *value)
{
    if (value == nullptr) return 0;
    unsigned short v;
    std::memcpy(&v, value, sizeof v);
    v = DeviceToHostWORD(v);
    std::memcpy(value, &v, sizeof v);
    return v;
}

unsigned int DeviceToHostDWORDPtr(unsigned int *value)
{
    if (value == nullptr) return 0;
    unsigned int v;
    std::memcpy(&v, value, sizeof v);
    v = DeviceToHostDWORD(v);
    std::memcpy(value, &v, sizeof v);
    return v;
}

uint64_t DeviceToHostQWORDPtr(void *value)
{
    if (value == nullptr) return 0;
    uint64_t v;
    std::memcpy(&v, value, sizeof v);
    v = __builtin_bswap64(v);
    std::memcpy(value, &v, sizeof v);
    return v;
}

} // extern "C"
