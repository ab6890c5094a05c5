// Device capabilities: the inquiry data and the records built from it.
#include "device/capability.h"

#include <cstring>

#include "api/boundary.h"
#include "api/scanner.h"
#include "device/apiprocess.h"
#include "support/debug.h"
#include "support/trace.h"

NX_InquiryData InquiryData;
NX_InquiryData MyInquiryData;
uint32_t MaxSizeRead = 0;
uint32_t scannermaxwidth = 0;
int32_t OverScanFlag = 0;
uint32_t gModelType = 0;

namespace {

// When a flag row of the extended record applies.
enum class When : uint8_t { Set, Clear, Always };

struct FlagRow {
    size_t offset; // inquiry byte
    uint8_t mask;  // Set: any of these bits set; Clear: all of them clear
    When when;
    uint32_t word68;
    uint32_t word72;
    uint32_t word114;
    uint32_t word118;
};

// Flag bits of the extended record. Bits are only ever added, so the order of
// the rows does not matter.
constexpr FlagRow kFlagRows[] = {
    {39, 0x80, When::Clear, 0x00000005, 0x01000000, 0, 0},
    {39, 0x40, When::Clear, 0x00100000, 0, 0, 0},
    {39, 0x10, When::Set, 0, 0, 0x00000002, 0},
    {39, 0x03, When::Set, 0, 0, 0x00000200, 0},
    {50, 0x80, When::Set, 0x10000000, 0x00300000, 0, 0},
    {50, 0x40, When::Set, 0x00800000, 0x78000000, 0, 0},
    {50, 0x10, When::Set, 0, 0x00002000, 0x00000002, 0},
    {50, 0x08, When::Clear, 0x004C0000, 0, 0, 0},
    {0, 0, When::Always, 0x03000000, 0, 0, 0},
    {50, 0x01, When::Set, 0x07000000, 0, 0, 0},
    {51, 0x80, When::Set, 0x00000002, 0, 0, 0},
    {51, 0x20, When::Set, 0x00000100, 0, 0, 0},
    {51, 0x10, When::Set, 0x20000000, 0, 0, 0},
    {51, 0x08, When::Set, 0x00000009, 0, 0, 0},
    {51, 0x02, When::Set, 0, 0, 0x00000800, 0x00001000},
    {51, 0x01, When::Set, 0, 0, 0x00000008, 0},
    {52, 0x80, When::Set, 0x00000010, 0, 0, 0},
    {52, 0x40, When::Set, 0x00000080, 0, 0, 0},
    {52, 0x10, When::Set, 0x00001000, 0, 0, 0x00000001},
    {52, 0x08, When::Set, 0x00002000, 0, 0, 0},
    {52, 0x02, When::Set, 0x00004000, 0, 0, 0x80000000},
    {52, 0x01, When::Set, 0, 0, 0x00000080, 0x00000004},
    {93, 0x80, When::Set, 0, 0, 0x00000020, 0x00000008},
    {93, 0x20, When::Set, 0x00000010, 0, 0, 0},
    {93, 0x10, When::Set, 0, 0, 0, 0x00000430},
    {93, 0x08, When::Set, 0, 0, 0x00000060, 0x00000040},
    {93, 0x04, When::Set, 0, 0, 0x00000100, 0},
    {93, 0x02, When::Set, 0, 0, 0x00000400, 0x00000010},
    {93, 0x01, When::Set, 0, 0, 0x00001000, 0},
    {94, 0x40, When::Set, 0, 0, 0x00000010, 0},
    {94, 0x04, When::Set, 0, 0, 0, 0x00008080},
    {94, 0x02, When::Set, 0, 0, 0, 0x00000100},
    {0, 0, When::Always, 0x00008000 | 0x00210000, 0, 0x00040000, 0x00000800},
    {95, 0x40, When::Set, 0, 0, 0, 0x00004000},
    {128, 0x40, When::Set, 0, 0, 0x00800000, 0},
    {128, 0x20, When::Set, 0, 0, 0x02000000, 0},
    {128, 0x10, When::Set, 0, 0, 0x00400000, 0},
};

constexpr uint32_t kFlags72Base = 0x82418BF7;
constexpr uint32_t kDimension6SpecialFlag68 = 0x00000400; // dimension 6 is 0xFFFF

bool RowApplies(const NX_InquiryData &inquiry, const FlagRow &row)
{
    if (row.offset >= kInquiryLength) return false;
    const uint8_t bits = inquiry.Data[row.offset] & row.mask;
    switch (row.when) {
    case When::Set: return bits != 0;
    case When::Clear: return bits == 0;
    case When::Always: return true;
    }
    return false;
}

// Flag half-word 98 of the extended record and byte 20 of the short one.
uint8_t ImageFlags(const NX_InquiryData &inquiry)
{
    uint8_t flags = 0x80;
    const uint8_t type = InquiryByte<kInqTypeCode>(inquiry) & kInqTypeCodeMask;
    if (type == 0x20 || type == 0x50) flags |= 0x20;
    if (type == 0x10) flags |= 0x40;
    if (InquiryBit<kInqFlags128>(inquiry, kInqR2YccA)) flags |= 0x10;
    return flags;
}

// Resolution n (0..3): the listed one when byte 39 bit 5 is set, else the base
// resolution (8-bit value times 100, kept in 16 bits).
uint16_t Resolution(const NX_InquiryData &inquiry, unsigned n)
{
    if (!InquiryBit<kInqResolutionFlags>(inquiry, kInqResolutionListValid)) {
        return static_cast<uint16_t>(InquiryByte<kInqBaseResolution>(inquiry) * 100u);
    }
    switch (n) {
    case 0: return InquiryBE16<kInqResolution1>(inquiry);
    case 1: return InquiryBE16<kInqResolution2>(inquiry);
    case 2: return InquiryBE16<kInqResolution3>(inquiry);
    default: return InquiryBE16<kInqResolution4>(inquiry);
    }
}

// Dimension value 4 is carried less 12, modulo 65536.
uint16_t Dimension4Less12(const NX_InquiryData &inquiry)
{
    return static_cast<uint16_t>(InquiryBE16<kInqDimension4>(inquiry) - 12u);
}

// INQUIRY into MyInquiryData, then READ the NVM record into a scratch buffer
// that is dropped. Both must succeed for a capability record.
bool FetchInquiryAndNvm()
{
    uint8_t scratch[kNVMDataLength];
    std::memset(scratch, 0, sizeof scratch);
    std::memset(&MyInquiryData, 0, sizeof MyInquiryData);
    if (!Inquiry(MyInquiryData.Data, kInquiryDataLength, 0)) return false;
    return Read(scratch, kNVMDataLength, kReadTypeNVM, kReadQualifier);
}

} // namespace

void InquiryToScannerAbility(NX_InquiryData *inquiry, tagScannerAbility *ability)
{
    TraceScope trace(kLogInternal, "InquiryToScannerAbility", 0);
    // Nothing to translate from or into: the record is left alone.
    if (inquiry == nullptr || ability == nullptr) return;
    const NX_InquiryData &inq = *inquiry;
    tagScannerAbility &a = *ability;

    std::memcpy(a.ProductName, &inq.Data[kInqProductId], 7);
    a.ProductName[7] = 0;
    std::memcpy(a.Revision, &inq.Data[kInqRevision], 3);
    a.Revision[3] = 0;
    a.Dimension7 = InquiryBE16<kInqDimension7>(inq);
    a.XResolution = Resolution(inq, 2);
    a.YResolution = Resolution(inq, 3);
    a.ScannerType = InquiryBit<kInqScanEnable>(inq, kInqScanAllowed) ? 0x89 : 0x88;
    a.One = 1;
    a.ImageFlags = ImageFlags(inq);
    a.ScanMethods = InquiryByte<kInqScanMethods>(inq);
    a.MaxScanWidth = InquiryBE16<kInqMaxScanWidth>(inq);
    a.Dimension4 = Dimension4Less12(inq);
    a.Dimension5 = InquiryBE16<kInqDimension5>(inq);
    a.Dimension6 = InquiryBE16<kInqDimension6>(inq);
    a.Reserved30 = 0;
    a.Inquiry63 = InquiryByte<kInqByte63>(inq);
    a.Flag32 = InquiryBit<kInqFlags50>(inq, 0x08) ? 0 : 1;
    a.Flag33 = a.Flag32;
    a.Dimension2 = InquiryBE16<kInqDimension2>(inq);
    a.Dimension3 = InquiryBE16<kInqDimension3>(inq);
    std::memset(a.Reserved38, 0, sizeof a.Reserved38);
    trace.Return(true);
}

void InquiryToScannerAbilityEx(NX_InquiryData *inquiry, SCANNERABILITYEX *ability)
{
    TraceScope trace(kLogInternal, "InquiryToScannerAbilityEx", 0);
    // Nothing to translate from or into: record and driver values are left alone.
    if (inquiry == nullptr || ability == nullptr) return;
    const NX_InquiryData &inq = *inquiry;
    SCANNERABILITYEX &a = *ability;

    std::memset(&a, 0, sizeof a);
    a.Flags72 = kFlags72Base;

    // Vendor: 8 bytes copied, byte 7 ended, trailing spaces of 0..6 removed.
    std::memcpy(a.VendorName, &inq.Data[kInqVendorId], kInqVendorIdLength);
    a.VendorName[7] = 0;
    for (int i = 6; i >= 0 && a.VendorName[i] == ' '; --i) a.VendorName[i] = 0;

    std::memcpy(a.ProductName, &inq.Data[kInqProductId], kInqProductIdLength);
    std::memcpy(a.Revision, &inq.Data[kInqRevision], kInqRevisionLength);
    a.ImageFlags = ImageFlags(inq);

    static constexpr uint8_t kFixed[8] = {1, 2, 3, 4, 5, 0, 0, 0};
    std::memcpy(a.FixedBytes, kFixed, sizeof kFixed);
    a.MaxScanWidth = InquiryBE16<kInqMaxScanWidth>(inq);
    a.Dimension4 = Dimension4Less12(inq);
    a.Dimension5 = InquiryBE16<kInqDimension5>(inq);
    a.Dimension6 = InquiryBE16<kInqDimension6>(inq);
    a.Dimension7 = InquiryBE16<kInqDimension7>(inq);
    for (unsigned n = 0; n < 4; ++n) a.Resolution[n] = Resolution(inq, n);
    a.ScanMethods = InquiryByte<kInqScanMethods>(inq);
    a.Inquiry60 = InquiryByte<kInqScanEnable>(inq);
    a.SampleDepths = InquiryByte<kInqSampleDepths>(inq);
    a.Five = 5;
    a.BoundaryLineart = InquiryByte<kInqBoundaryLineart>(inq);
    a.BoundaryGray = InquiryByte<kInqBoundaryGray>(inq);
    a.BoundaryColor = InquiryByte<kInqBoundaryColor>(inq);
    a.BoundaryHalftone = InquiryByte<kInqBoundaryHalftone>(inq);
    a.BoundaryHalftoneOwn = InquiryByte<kInqBoundaryHalftoneOwn>(inq);
    a.BoundaryGray4 = InquiryByte<kInqBoundaryGray4>(inq);
    if (!InquiryBit<kInqResolutionFlags>(inq, 0x80)) {
        a.Dimension2 = InquiryBE16<kInqDimension2>(inq);
        a.Dimension3 = InquiryBE16<kInqDimension3>(inq);
    }
    a.Dimension1 = InquiryBE16<kInqDimension1>(inq);
    a.ButtonCount = InquiryByte<kInqButtonCount>(inq);
    a.Inquiry129 = InquiryByte<kInqFlags129>(inq);
    a.Value133 = 0x00000A00;

    uint32_t w68 = 0, w72 = kFlags72Base, w114 = 0, w118 = 0;
    for (const FlagRow &row : kFlagRows) {
        if (!RowApplies(inq, row)) continue;
        w68 |= row.word68;
        w72 |= row.word72;
        w114 |= row.word114;
        w118 |= row.word118;
    }
    if (InquiryBE16<kInqDimension6>(inq) == 0xFFFF) w68 |= kDimension6SpecialFlag68;
    a.Flags68 = w68;
    a.Flags72 = w72;
    a.Flags114 = w114;
    a.Flags118 = w118;

    // Driver-wide values that scan set-up and the read-ahead thread rely on.
    const uint16_t maxRead = InquiryBE16<kInqMaxReadLength>(inq);
    MaxSizeRead = maxRead == 0 ? kDefaultMaxSizeRead : maxRead;
    if (InquiryBit<kInqFlags128>(inq, kInqOverscan)) OverScanFlag = 1; // never cleared
    scannermaxwidth = InquiryBE16<kInqMaxScanWidth>(inq);

    trace.Return(true);
}

bool GetScannerAbility(tagScannerAbility *ability)
{
    return TracedCall(kLogExported, "GetScannerAbility", 1, [&] {
        if (ability == nullptr) {
            // A null record is refused before any device traffic.
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        std::memset(ability, 0, sizeof *ability);
        StartLock();
        const bool fetched = FetchInquiryAndNvm();
        if (fetched) InquiryToScannerAbility(&MyInquiryData, ability);
        EndLock();
        return fetched;
    });
}

bool GetScannerAbilityEx(SCANNERABILITYEX *ability)
{
    return TracedCall(kLogExported, "GetScannerAbilityEx", 0, [&] {
        if (ability == nullptr) {
            // A null record is refused before any device traffic.
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        StartLock();
        // On failure the caller's record is left as it was.
        const bool fetched = FetchInquiryAndNvm();
        if (fetched) {
            InquiryToScannerAbilityEx(&MyInquiryData, ability);
            std::memcpy(ability->UsbVersion, "USB 2.0", 7);
            std::memcpy(ability->UsbName, "USB", 3);
            gModelType = 0;
        }
        EndLock();
        return fetched;
    });
}
