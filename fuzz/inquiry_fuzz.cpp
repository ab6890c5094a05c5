// Inquiry data from the device through both capability translations. Any
// input is made into a 165-byte inquiry record (shorter inputs padded with
// zeros, longer ones cut). The records are allocated at their exact size
// so that AddressSanitizer sees any write past them; the fields that do not
// depend on the input are checked after every run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/scanner.h"
#include "device/capability.h"

static void Check(bool condition)
{
    if (!condition) std::abort();
}

static bool AllZero(const void *data, size_t size)
{
    static const uint8_t kZeros[64] = {};
    return size <= sizeof kZeros && std::memcmp(data, kZeros, size) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto inquiry = std::make_unique<NX_InquiryData>();
    std::memset(inquiry.get(), 0, sizeof *inquiry);
    std::memcpy(inquiry->Data, data, size < kInquiryLength ? size : kInquiryLength);
    const NX_InquiryData before = *inquiry;

    auto ability = std::make_unique<tagScannerAbility>();
    std::memset(ability.get(), 0, sizeof *ability);
    InquiryToScannerAbility(inquiry.get(), ability.get());
    Check(ability->ProductName[7] == 0);
    Check(ability->Revision[3] == 0);
    Check(ability->One == 1);
    Check(ability->ScannerType == 0x88 || ability->ScannerType == 0x89);
    Check((ability->ImageFlags & 0x80) != 0);
    Check(ability->Reserved30 == 0);
    Check(AllZero(ability->Reserved38, sizeof ability->Reserved38));
    Check(std::memcmp(ability->ProductName, &inquiry->Data[kInqProductId], 7) == 0);

    const int32_t overscanBefore = OverScanFlag;
    auto ex = std::make_unique<SCANNERABILITYEX>();
    std::memset(ex.get(), 0xA5, sizeof *ex);
    InquiryToScannerAbilityEx(inquiry.get(), ex.get());
    Check(AllZero(&ex->VendorName[7], 5));
    // Vendor: trailing spaces of the first seven bytes became zeros, the rest as sent.
    bool trailing = true;
    for (int i = 6; i >= 0; --i) {
        const char sent = static_cast<char>(inquiry->Data[kInqVendorId + static_cast<size_t>(i)]);
        trailing = trailing && sent == ' ';
        Check(ex->VendorName[i] == (trailing ? 0 : sent));
    }
    Check(AllZero(ex->ProductEnd, sizeof ex->ProductEnd));
    Check(AllZero(ex->RevisionEnd, sizeof ex->RevisionEnd));
    Check(AllZero(ex->UsbVersion, sizeof ex->UsbVersion));
    Check(AllZero(ex->UsbName, sizeof ex->UsbName));
    static constexpr uint8_t kFixed[8] = {1, 2, 3, 4, 5, 0, 0, 0};
    Check(std::memcmp(ex->FixedBytes, kFixed, sizeof kFixed) == 0);
    Check((ex->Flags72 & 0x82418BF7u) == 0x82418BF7u);
    Check((ex->Flags68 & 0x03218000u) == 0x03218000u);
    Check((ex->Flags114 & 0x00040000u) == 0x00040000u);
    Check((ex->Flags118 & 0x00000800u) == 0x00000800u);
    Check(ex->Reserved76 == 0 && ex->Reserved102 == 0 && ex->Reserved107 == 0);
    Check(ex->Five == 5);
    Check(ex->Value133 == 0x00000A00u);
    Check(AllZero(ex->Reserved129, sizeof ex->Reserved129) && ex->Reserved132 == 0);
    Check(AllZero(ex->Reserved137, sizeof ex->Reserved137));
    Check((ex->ImageFlags & 0xFF00) == 0 && (ex->ImageFlags & 0x80) != 0);
    Check(ex->MaxScanWidth == ability->MaxScanWidth);
    Check(ex->Dimension4 == ability->Dimension4);

    Check(MaxSizeRead != 0 && MaxSizeRead <= kDefaultMaxSizeRead);
    Check(scannermaxwidth == InquiryBE16<kInqMaxScanWidth>(*inquiry));
    Check(OverScanFlag >= overscanBefore);                          // never cleared
    Check(std::memcmp(&before, inquiry.get(), sizeof before) == 0); // input untouched
    return 0;
}
