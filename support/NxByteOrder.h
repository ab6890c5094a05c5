// Byte order between the scanner (big-endian) and the host.
//
// The exported DeviceToHost* functions reverse bytes unconditionally and
// serve both directions. The inline helpers below
// read and write big-endian fields of command blocks and device records byte
// by byte: no alignment demand, no casts of byte pointers to wider types.
// The caller checks that the bytes lie inside its buffer.
#ifndef DOCSCAN_SUPPORT_NXBYTEORDER_H
#define DOCSCAN_SUPPORT_NXBYTEORDER_H

#include <cstdint>

#include "support/export.h"

extern "C" {
DOCSCAN_EXPORT unsigned short DeviceToHostWORD(unsigned short value);
DOCSCAN_EXPORT unsigned int DeviceToHostDWORD(unsigned int value);
DOCSCAN_EXPORT unsigned short DeviceToHostWORDPtr(unsigned short *value);
DOCSCAN_EXPORT unsigned int DeviceToHostDWORDPtr(unsigned int *value);
DOCSCAN_EXPORT uint64_t DeviceToHostQWORDPtr(void *value);
} // extern "C"

inline uint16_t GetBE16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t GetBE24(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

inline uint32_t GetBE32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline void PutBE16(uint8_t *p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

// The low 24 bits of value; the high byte is dropped.
inline void PutBE24(uint8_t *p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 16);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value);
}

inline void PutBE32(uint8_t *p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

#endif // DOCSCAN_SUPPORT_NXBYTEORDER_H
