// Words for the driver's status codes. The driver attaches no text to its
// codes; these are the front end's own descriptions of when each is stored.
#include "tools/statuscodes.h"

#include <cstdio>

namespace docscan_cli {
namespace {

struct CodeWords {
    uint64_t code;
    const char *words;
};

constexpr CodeWords kWords[] = {
    {0, "no error"},
    {152, "out of memory while converting the image data"},
    {153, "the USB layer could not be started or shut down"},
    {157, "no more image data came from the scanner"},
    {159, "the scan was cancelled by the user"},
    {162, "the scanner was found but did not answer the identification (INQUIRY) command"},
    {2000, "the scanner is busy with a scan"},
    {2001, "the scanner reports a device fault (90/00 or A0/01)"},
    {2004, "the scanner reports a hardware or medium error"},
    {2005, "invalid parameter: the request was refused as not valid for this scanner"},
    {2006, "out of memory for the scan buffers"},
    {2007, "lamp failure"},
    {2008, "the scanner reports a positioning error (15/04)"},
    {2009, "the scanner is not ready"},
    {2010, "the scanner aborted the command"},
    {2013, "the scanner reports a device condition (80/01 or 80/09)"},
    {2014, "the scanner reports a device condition (80/02)"},
    {2015, "the scanner reports a device condition (80/03)"},
    {2019, "no scanner was found (is it plugged in and switched on?)"},
    {2021, "scan head positioning error"},
    {2022, "the scanner reports a device condition (80/04)"},
    {2023, "communication with the scanner failed (no device, or a USB transfer failed)"},
    {2027, "the scanner reports a device condition (80/15)"},
    {2033, "the scanner reports a device condition (80/1C)"},
    {2040, "the scanner reports a device condition (80/23)"},
    {2999, "general failure (unexpected device answer, failed check, or a value that was refused)"},
    {3001, "positioning error detected while reading (15/02)"},
    {3002, "the scanner reports a positioning condition (15/03)"},
    {3003, "the scanner reports an internal failure (44/01)"},
    {3004, "the scanner reports an internal failure (44/02 or 44/03)"},
    {3005, "the scanner reports a lamp condition (60/01)"},
    {3006, "the scanner reports a lamp condition (60/02)"},
    {3011, "status not reported"},
    {3012, "the scanner reports a device fault (90/01)"},
    {3101, "the scanner reports a device condition (80/05)"},
    {3201, "the scanner reports a device condition (80/0D)"},
    {3202, "the scanner reports a device condition (80/0E)"},
    {3203, "the scanner reports a device condition (80/0F)"},
    {3204, "the scanner reports a device condition (80/10)"},
    {3205, "the scanner reports a device condition (80/11)"},
    {3206, "the scanner reports a device condition (80/12)"},
    {3207, "the scanner reports a device condition (80/13)"},
    {3211, "the scanner reports a device condition (80/1D)"},
    {3212, "the scanner reports a device condition (80/1F)"},
    {3500, "the scanner reports a device condition (80/16)"},
    {3501, "the scanner reports a device condition (80/17)"},
    {3502, "the scanner reports a device condition (80/18)"},
    {3503, "the scanner reports a device condition (80/19)"},
    {3504, "the scanner reports a device condition (80/1A)"},
    {64001, "the scanner reports a device condition (80/0A)"},
    {64002, "the scanner reports a device condition (80/0B)"},
    {64003, "the scanner reports a device condition (80/0C)"},
};

} // namespace

std::string StatusWords(uint64_t code)
{
    for (const CodeWords &entry : kWords) {
        if (entry.code == code) return entry.words;
    }
    // 1..126: the scanner sent sense data in a format other than the fixed
    // one, and the status is its response code.
    if (code >= 1 && code <= 126) return "the scanner sent sense data in an unexpected format";
    return "unknown status code";
}

std::string DescribeStatus(uint64_t code)
{
    char number[48];
    std::snprintf(number, sizeof number, "%llu (0x%llX)", static_cast<unsigned long long>(code),
                  static_cast<unsigned long long>(code));
    return std::string(number) + ": " + StatusWords(code);
}

} // namespace docscan_cli
