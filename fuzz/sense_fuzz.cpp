// Sense data from the device through the sense translation. The input fills
// SenseData (shorter inputs padded with zeros, longer ones cut); the status
// code left behind must be one the driver knows, and the result must agree
// with it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "api/scanner.h"
#include "transport/usbio_linux_10.h"

// Codes of the sense translation: 0, a response code of another format
// (1..127 except 0x70 and 0x7F), the sense-key presets and the ASC/ASCQ table.
static bool IsKnownSenseCode(uint32_t code)
{
    static const uint32_t kDeviceCodes[] = {
        2001, 2004, 2005, 2007, 2008, 2009, 2010, 2013, 2014, 2015, 2021,  2022,  2027,  2033,
        2040, 2999, 3001, 3002, 3003, 3004, 3005, 3006, 3012, 3101, 3201,  3202,  3203,  3204,
        3205, 3206, 3207, 3211, 3212, 3500, 3501, 3502, 3503, 3504, 64001, 64002, 64003,
    };
    if (code < 0x80) return code != 0x70 && code != 0x7F;
    return std::find(std::begin(kDeviceCodes), std::end(kDeviceCodes), code) != std::end(kDeviceCodes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::memset(SenseData, 0, sizeof SenseData);
    std::memcpy(SenseData, data, std::min(size, sizeof SenseData));
    gErrCode = 0xDEADBEEF;
    const bool result = ProcessSense();
    if (!IsKnownSenseCode(gErrCode) || result != (gErrCode == 0)) __builtin_trap();
    return 0;
}
