// Words for the driver's status codes. The driver attaches no text to its
// codes; these are the front end's own descriptions of when each is stored.
#include "tools/statuscodes.h"

#include <cstdio>

#include "api/scanner.h"

namespace docscan_cli {
namespace {

struct CodeWords {
    uint64_t code;
    const char *words;
};

constexpr CodeWords kWords[] = {
    {DOCSCAN_STATUS_OK, "no error"},
    {DOCSCAN_STATUS_CONVERT_MEMORY, "out of memory while converting the image data"},
    {DOCSCAN_STATUS_USB_LAYER, "the USB layer could not be started or shut down"},
    {DOCSCAN_STATUS_NO_IMAGE_DATA, "no more image data came from the scanner"},
    {DOCSCAN_STATUS_USER_CANCEL, "the scan was cancelled by the user"},
    {DOCSCAN_STATUS_INQUIRY_FAILED,
     "the scanner was found but did not answer the identification (INQUIRY) command"},
    {DOCSCAN_STATUS_SCAN_IN_PROGRESS, "the scanner is busy with a scan"},
    {DOCSCAN_STATUS_DEVICE_FAULT, "the scanner reports a device fault (90/00 or A0/01)"},
    {DOCSCAN_STATUS_HARDWARE, "the scanner reports a hardware or medium error"},
    {DOCSCAN_STATUS_INVALID_PARAMETER,
     "invalid parameter: the request was refused as not valid for this scanner"},
    {DOCSCAN_STATUS_SCAN_MEMORY, "out of memory for the scan buffers"},
    {DOCSCAN_STATUS_LAMP_FAILURE, "lamp failure"},
    {DOCSCAN_STATUS_SENSE_1504, "the scanner reports a positioning error (15/04)"},
    {DOCSCAN_STATUS_NOT_READY, "the scanner is not ready"},
    {DOCSCAN_STATUS_ABORTED, "the scanner aborted the command"},
    {DOCSCAN_STATUS_SENSE_8001, "the scanner reports a device condition (80/01 or 80/09)"},
    {DOCSCAN_STATUS_SENSE_8002, "the scanner reports a device condition (80/02)"},
    {DOCSCAN_STATUS_SENSE_8003, "the scanner reports a device condition (80/03)"},
    {DOCSCAN_STATUS_NO_SCANNER, "no scanner was found (is it plugged in and switched on?)"},
    {DOCSCAN_STATUS_SCAN_HEAD_POSITIONING, "scan head positioning error"},
    {DOCSCAN_STATUS_SENSE_8004, "the scanner reports a device condition (80/04)"},
    {DOCSCAN_STATUS_TRANSACTION,
     "communication with the scanner failed (no device, or a USB transfer failed)"},
    {DOCSCAN_STATUS_SENSE_8015, "the scanner reports a device condition (80/15)"},
    {DOCSCAN_STATUS_SENSE_801C, "the scanner reports a device condition (80/1C)"},
    {DOCSCAN_STATUS_SENSE_8023, "the scanner reports a device condition (80/23)"},
    {DOCSCAN_STATUS_GENERAL,
     "general failure (unexpected device answer, failed check, or a value that was refused)"},
    {DOCSCAN_STATUS_SENSE_1502, "positioning error detected while reading (15/02)"},
    {DOCSCAN_STATUS_SENSE_1503, "the scanner reports a positioning condition (15/03)"},
    {DOCSCAN_STATUS_SENSE_4401, "the scanner reports an internal failure (44/01)"},
    {DOCSCAN_STATUS_SENSE_4402, "the scanner reports an internal failure (44/02 or 44/03)"},
    {DOCSCAN_STATUS_SENSE_6001, "the scanner reports a lamp condition (60/01)"},
    {DOCSCAN_STATUS_SENSE_6002, "the scanner reports a lamp condition (60/02)"},
    {DOCSCAN_STATUS_NOT_REPORTED, "status not reported"},
    {DOCSCAN_STATUS_SENSE_9001, "the scanner reports a device fault (90/01)"},
    {DOCSCAN_STATUS_SENSE_8005, "the scanner reports a device condition (80/05)"},
    {DOCSCAN_STATUS_SENSE_800D, "the scanner reports a device condition (80/0D)"},
    {DOCSCAN_STATUS_SENSE_800E, "the scanner reports a device condition (80/0E)"},
    {DOCSCAN_STATUS_SENSE_800F, "the scanner reports a device condition (80/0F)"},
    {DOCSCAN_STATUS_SENSE_8010, "the scanner reports a device condition (80/10)"},
    {DOCSCAN_STATUS_SENSE_8011, "the scanner reports a device condition (80/11)"},
    {DOCSCAN_STATUS_SENSE_8012, "the scanner reports a device condition (80/12)"},
    {DOCSCAN_STATUS_SENSE_8013, "the scanner reports a device condition (80/13)"},
    {DOCSCAN_STATUS_SENSE_801D, "the scanner reports a device condition (80/1D)"},
    {DOCSCAN_STATUS_SENSE_801F, "the scanner reports a device condition (80/1F)"},
    {DOCSCAN_STATUS_SENSE_8016, "the scanner reports a device condition (80/16)"},
    {DOCSCAN_STATUS_SENSE_8017, "the scanner reports a device condition (80/17)"},
    {DOCSCAN_STATUS_SENSE_8018, "the scanner reports a device condition (80/18)"},
    {DOCSCAN_STATUS_SENSE_8019, "the scanner reports a device condition (80/19)"},
    {DOCSCAN_STATUS_SENSE_801A, "the scanner reports a device condition (80/1A)"},
    {DOCSCAN_STATUS_SENSE_800A, "the scanner reports a device condition (80/0A)"},
    {DOCSCAN_STATUS_SENSE_800B, "the scanner reports a device condition (80/0B)"},
    {DOCSCAN_STATUS_SENSE_800C, "the scanner reports a device condition (80/0C)"},
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
