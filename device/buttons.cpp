// Push buttons: the button description from the inquiry data, the button
// status from one interrupt packet, and the accepted button and LED calls.
#include <cstring>

#include "api/boundary.h"
#include "api/scanner.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "support/debug.h"

namespace {

constexpr uint32_t kButtonTypeWithButtons = 3;
constexpr uint16_t kButtonFour = 4;

// Event byte of a press, and the bit that marks an event the device already
// describes itself (passed on unchanged).
constexpr uint8_t kEventPress = 0x81;
constexpr uint8_t kEventOwnFormat = 0x80;

// Button number of a device button code, 0 for an unlisted code.
uint8_t ButtonNumber(uint8_t code)
{
    switch (code) {
    case 3: return 1;
    case 5: return 2;
    case 6: return 3;
    default: return 0;
    }
}

// Turns the device's button code into a press report; an event with bit 7
// set, or an unlisted code without a button number, stays as received.
void InterpretButtonRecord(tagButtonStatus &status)
{
    if ((status.Event & kEventOwnFormat) != 0) return;
    const uint8_t number = ButtonNumber(status.Event);
    if (number != 0) status.Button = number;
    if (status.Button == 0) return;
    status.Event = kEventPress;
    status.Pressed = 1;
}

} // namespace

bool InitialButton(tagButtonDescription *description)
{
    return TracedCall(kLogExported, "InitialButton", 1, [&] {
        if (description == nullptr) {
            // A null record is refused before any device traffic.
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        std::memset(description, 0, sizeof *description);
        std::memset(&InquiryData, 0, sizeof InquiryData);
        StartLock();
        const bool inquired = Inquiry(InquiryData.Data, kInquiryDataLength, 0);
        if (inquired && InquiryBit<kInqFlags50>(InquiryData, kInqHasButtons)) {
            description->ButtonType = kButtonTypeWithButtons;
            description->ButtonCount = InquiryByte<kInqButtonCount>(InquiryData);
            description->Four = kButtonFour;
        }
        EndLock();
        return inquired;
    });
}

bool ReadPushButton(tagButtonStatus *status)
{
    return TracedCall(kLogExported, "ReadPushButton", 1, [&] {
        if (status == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        std::memset(status, 0, sizeof *status);
        StartLock();
        // Packet bytes 0..6 land in bytes 0..6 of the record (zeros without a packet).
        const bool read = GetButtonStatus(reinterpret_cast<uint8_t *>(status));
        InterpretButtonRecord(*status);
        EndLock();
        return read;
    });
}

bool CheckPushButton(void) { return AcceptedCall(kLogExported, "CheckPushButton"); }
bool ResetPushButton(void) { return AcceptedCall(kLogExported, "ResetPushButton"); }
bool SearchPushButton(void) { return AcceptedCall(kLogExported, "SearchPushButton"); }
bool SetLEDNumber(void) { return AcceptedCall(kLogExported, "SetLEDNumber"); }
bool ReadLEDNumber(void) { return AcceptedCall(kLogExported, "ReadLEDNumber"); }
