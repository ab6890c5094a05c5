// Capability records built from inquiry data: crafted records translated byte
// for byte, every flag row of the extended record, the driver-wide values the
// extended translation sets, and the two exported calls on the virtual scanner.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "api/scanner.h"
#include "device/capability.h"
#include "testbed/driver_test.h"
#include "testbed/testbed.h"

namespace {

using testbed::bytesOf;

void Put16(NX_InquiryData &inquiry, size_t offset, uint16_t value)
{
    inquiry.Data[offset] = static_cast<uint8_t>(value >> 8);
    inquiry.Data[offset + 1] = static_cast<uint8_t>(value);
}

void PutText(NX_InquiryData &inquiry, size_t offset, const char *text)
{
    std::memcpy(&inquiry.Data[offset], text, std::strlen(text));
}

// A record in which every field the translations read has its own value.
NX_InquiryData RichInquiry()
{
    NX_InquiryData inq{};
    PutText(inq, 8, "VEND    ");
    PutText(inq, 16, "QR620 Duplex ABC");
    PutText(inq, 32, "1.23");
    // clang-format off
    for (const auto &[offset, value] : {std::pair<size_t, uint8_t>{36, 0x20}, {38, 6}, {39, 0x20} /* resolutions listed */,
                                        {50, 0x08}, {54, 0x54}, {55, 0x55}, {56, 0x56}, {57, 0x57}, {58, 0x58},
                                        {59, 0x59}, {60, 0x40}, {61, 0x90}, {62, 0xA4}, {63, 0x63}, {92, 0x92},
                                        {128, 0x40}, {129, 0x88}})
        inq.Data[offset] = value;
    for (const auto &[offset, value] : {std::pair<size_t, uint16_t>{40, 150}, {42, 200}, {44, 300}, {46, 600},
                                        {48, 0x4000}, {75, 0x0175}, {77, 0x0177}, {79, 0x0179}, {81, 2592},
                                        {83, 0x0183}, {85, 0x0185}, {87, 0x0187}, {89, 0x0189}})
        Put16(inq, offset, value);
    // clang-format on
    return inq;
}

SCANNERABILITYEX TranslateEx(NX_InquiryData inquiry)
{
    SCANNERABILITYEX ex;
    std::memset(&ex, 0xEE, sizeof ex); // cleared first
    InquiryToScannerAbilityEx(&inquiry, &ex);
    return ex;
}

tagScannerAbility Translate(NX_InquiryData inquiry)
{
    tagScannerAbility ability;
    std::memset(&ability, 0xEE, sizeof ability); // every field is written
    InquiryToScannerAbility(&inquiry, &ability);
    return ability;
}

// Flag words of an all-zero inquiry: the "always" rows and the rows that
// apply when a bit is clear (byte 39 bits 7 and 6, byte 50 bit 3).
constexpr uint32_t kZero68 = 0x03000000 | 0x00008000 | 0x00210000 | 0x00000005 | 0x00100000 | 0x004C0000;
constexpr uint32_t kZero72 = 0x82418BF7 | 0x01000000;
constexpr uint32_t kZero114 = 0x00040000;
constexpr uint32_t kZero118 = 0x00000800;

} // namespace

// Half-words are in host order (little-endian). In the rich inquiry byte 39 is
// 0x20 (bits 7 and 6 clear), byte 50 is 0x08 (bit 3 set), byte 128 is 0x40.
TEST(CapabilityTranslation, ShortRecordByteForByte)
{
    const tagScannerAbility a = Translate(RichInquiry());
    const std::vector<uint8_t> want = {
        'Q',  'R',  '6',  '2',  '0',  ' ',  'D',  0,    '1', '.', '2', 0, // product, revision: each ended
        0x89, 0x01, 0x2C, 0x01, 0x58, 0x02,                               // dimension 7, resolutions 3 and 4
        0x89, 1,    0xB0, 0xA4,                                           // type, one, image flags, methods
        0x20, 0x0A, 0x77, 0x01, 0x85, 0x01, 0x87, 0x01,                   // width, dimension 4 less 12, 5, 6
        0,    0x63, 0,    0,    0x77, 0x01, 0x79, 0x01, // byte 63, flags 32, 33, dimensions 2, 3
        0,    0,    0,    0,    0,    0,
    };
    EXPECT_EQ(bytesOf(&a, sizeof a), want);
}

TEST(CapabilityTranslation, ExtendedRecordByteForByte)
{
    const SCANNERABILITYEX a = TranslateEx(RichInquiry());
    std::vector<uint8_t> want(142, 0);
    std::memcpy(&want[0], "VEND", 4);
    std::memcpy(&want[12], "QR620 Duplex ABC", 16);
    std::memcpy(&want[32], "1.23", 4);
    // 40..59 stay 0: the USB strings are GetScannerAbilityEx's, not the translation's.
    const uint8_t from60[] = {
        1,    2,    3,    4,    5,    0,    0,    0,                      // fixed bytes
        0x05, 0x80, 0x31, 0x03, 0xF7, 0x8B, 0x41, 0x83, 0,    0,    0, 0, // flags 68 and 72
        0x20, 0x0A, 0x77, 0x01, 0x85, 0x01, 0x87, 0x01, 0x89, 0x01, // width, dimension 4 less 12, 5, 6, 7
        0x96, 0,    0xC8, 0,    0x2C, 0x01, 0x58, 0x02,             // resolutions
        0xB0, 0,    0xA4, 0,    0,    0,                            // image flags, methods
        0x40, 0x90, 5,    0,    0x57, 0x55, 0x54, 0x58, 0x59, 0x56, // byte 60, depths, five, boundaries
        0,    0,    0x84, 0,    0,    0x08, 0,    0,                // flags 114 and 118
        0x77, 0x01, 0x79, 0x01, 0x75, 0x01,                         // dimensions 2, 3, 1
        0x92, 0,    0,    0x88, 0,    0,    0x0A,                   // buttons, byte 129, value 133
    };
    std::memcpy(&want[60], from60, sizeof from60);
    EXPECT_EQ(bytesOf(&a, sizeof a), want);
}

struct FlagRowCase {
    size_t offset;
    uint8_t bit;
    bool whenClear; // the row applies when the bit is clear
    uint32_t w68, w72, w114, w118;
};

// Every row of the extended record's flag table, checked one at a time against
// the flags of an all-zero inquiry (which every row checks in its other words).
// Rows 50/0x01 and 51/0x08 overlap bits the zero inquiry has already
// (0x07000000 and 0x00000009): only their new bits are listed.
TEST(CapabilityTranslation, EveryFlagRow)
{
    const FlagRowCase rows[] = {
        {39, 0x80, true, 0x00000005, 0x01000000, 0, 0},  {39, 0x40, true, 0x00100000, 0, 0, 0},
        {39, 0x10, false, 0, 0, 0x00000002, 0},          {39, 0x02, false, 0, 0, 0x00000200, 0},
        {39, 0x01, false, 0, 0, 0x00000200, 0},          {50, 0x80, false, 0x10000000, 0x00300000, 0, 0},
        {50, 0x40, false, 0x00800000, 0x78000000, 0, 0}, {50, 0x10, false, 0, 0x00002000, 0x00000002, 0},
        {50, 0x08, true, 0x004C0000, 0, 0, 0},           {50, 0x01, false, 0x04000000, 0, 0, 0},
        {51, 0x80, false, 0x00000002, 0, 0, 0},          {51, 0x20, false, 0x00000100, 0, 0, 0},
        {51, 0x10, false, 0x20000000, 0, 0, 0},          {51, 0x08, false, 0x00000008, 0, 0, 0},
        {51, 0x02, false, 0, 0, 0x00000800, 0x00001000}, {51, 0x01, false, 0, 0, 0x00000008, 0},
        {52, 0x80, false, 0x00000010, 0, 0, 0},          {52, 0x40, false, 0x00000080, 0, 0, 0},
        {52, 0x10, false, 0x00001000, 0, 0, 0x00000001}, {52, 0x08, false, 0x00002000, 0, 0, 0},
        {52, 0x02, false, 0x00004000, 0, 0, 0x80000000}, {52, 0x01, false, 0, 0, 0x00000080, 0x00000004},
        {93, 0x80, false, 0, 0, 0x00000020, 0x00000008}, {93, 0x20, false, 0x00000010, 0, 0, 0},
        {93, 0x10, false, 0, 0, 0, 0x00000430},          {93, 0x08, false, 0, 0, 0x00000060, 0x00000040},
        {93, 0x04, false, 0, 0, 0x00000100, 0},          {93, 0x02, false, 0, 0, 0x00000400, 0x00000010},
        {93, 0x01, false, 0, 0, 0x00001000, 0},          {94, 0x40, false, 0, 0, 0x00000010, 0},
        {94, 0x04, false, 0, 0, 0, 0x00008080},          {94, 0x02, false, 0, 0, 0, 0x00000100},
        {95, 0x40, false, 0, 0, 0, 0x00004000},          {128, 0x40, false, 0, 0, 0x00800000, 0},
        {128, 0x20, false, 0, 0, 0x02000000, 0},         {128, 0x10, false, 0, 0, 0x00400000, 0}};

    for (const FlagRowCase &row : rows) {
        SCOPED_TRACE(::testing::Message() << "byte " << row.offset << " bit mask 0x" << std::hex << +row.bit);
        NX_InquiryData inq{};
        inq.Data[row.offset] = row.bit;
        const SCANNERABILITYEX ex = TranslateEx(inq);
        auto apply = [&row](uint32_t base, uint32_t bits) {
            return row.whenClear ? base & ~bits : base | bits;
        };
        EXPECT_EQ(+ex.Flags68, apply(kZero68, row.w68));
        EXPECT_EQ(+ex.Flags72, apply(kZero72, row.w72));
        EXPECT_EQ(+ex.Flags114, apply(kZero114, row.w114));
        EXPECT_EQ(+ex.Flags118, apply(kZero118, row.w118));
    }

    // Dimension value 6 equal to 0xFFFF, and one short of it.
    NX_InquiryData inq{};
    Put16(inq, 87, 0xFFFF);
    EXPECT_EQ(+TranslateEx(inq).Flags68, kZero68 | 0x00000400);
    Put16(inq, 87, 0xFFFE);
    EXPECT_EQ(+TranslateEx(inq).Flags68, kZero68);

    // Everything set: only the set-bit rows, all of them.
    std::memset(&inq, 0xFF, sizeof inq);
    const SCANNERABILITYEX all = TranslateEx(inq);
    EXPECT_EQ(+all.Flags68, 0x37A1F59Bu);
    EXPECT_EQ(+all.Flags72, 0xFA71ABF7u);
    EXPECT_EQ(+all.Flags114, 0x02C41FFAu);
    EXPECT_EQ(+all.Flags118, 0x8000DDFDu);
}

// Byte 39: bit 5 validates the resolution list, bit 7 keeps dimensions 2 and 3
// out of the extended record (each with the other bit as in the rich inquiry).
TEST(CapabilityTranslation, ResolutionListAndDimensionsTwoAndThreeByByte39)
{
    NX_InquiryData inq = RichInquiry();
    inq.Data[39] = 0x00; // the base resolution for every one
    const tagScannerAbility a = Translate(inq);
    EXPECT_EQ(+a.XResolution, 600);
    EXPECT_EQ(+a.YResolution, 600);
    for (size_t n = 0; n < 4; ++n) EXPECT_EQ(+TranslateEx(inq).Resolution[n], 600);
    inq.Data[38] = 255; // 8-bit value times 100, kept in 16 bits
    EXPECT_EQ(+TranslateEx(inq).Resolution[0], 25500);

    inq = RichInquiry();
    inq.Data[39] |= 0x80;
    const SCANNERABILITYEX ex = TranslateEx(inq);
    EXPECT_EQ(+ex.Dimension2, 0);
    EXPECT_EQ(+ex.Dimension3, 0);
    EXPECT_EQ(+ex.Dimension1, 0x0175);
    EXPECT_EQ(+Translate(inq).Dimension2, 0x0177); // the short record carries them regardless
}

TEST(CapabilityTranslation, VendorNameTrimming)
{
    struct Case {
        const char *sent; // 8 bytes
        const char want[8];
    };
    const Case cases[] = {
        {"ABC     ", "ABC"},     {"        ", ""},    {"ABCDEFGH", "ABCDEFG"}, // byte 7 always ends the name
        {"ABCDEFG ", "ABCDEFG"}, {"A B     ", "A B"}, {"  X     ", "  X"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent);
        NX_InquiryData inq{};
        PutText(inq, 8, c.sent);
        const SCANNERABILITYEX ex = TranslateEx(inq);
        EXPECT_EQ(std::memcmp(ex.VendorName, c.want, 8), 0);
        EXPECT_EQ(std::memcmp(&ex.VendorName[8], "\0\0\0\0", 4), 0);
    }

    // A zero byte stops the trimming like any other non-space.
    NX_InquiryData inq{};
    std::memcpy(&inq.Data[8], "AB \0 \0  ", 8);
    EXPECT_EQ(std::memcmp(TranslateEx(inq).VendorName, "AB \0 \0\0\0", 8), 0);
}

// Nearly zero inquiries: the image flags by type code, and what the rich
// inquiry does not show: type 0x88 (scan bit clear), flags 32 and 33 set
// (byte 50 bit 3 clear) and dimension 4 below 12.
TEST(CapabilityTranslation, ImageFlagsByTypeCodeAndTheZeroInquiry)
{
    struct Case {
        uint8_t byte36;
        uint16_t want;
    };
    const Case cases[] = {{0x00, 0x80}, {0x10, 0xC0}, {0x20, 0xA0}, {0x50, 0xA0},
                          {0x30, 0x80}, {0x8F, 0x80}, {0xD0, 0xA0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "byte 36 = " << +c.byte36);
        NX_InquiryData inq{};
        inq.Data[36] = c.byte36;
        EXPECT_EQ(+TranslateEx(inq).ImageFlags, c.want);
        const tagScannerAbility a = Translate(inq);
        EXPECT_EQ(+a.ImageFlags, c.want);
        EXPECT_EQ(+a.ScannerType, 0x88);
        EXPECT_EQ(+a.Flag32, 1);
        EXPECT_EQ(+a.Flag33, 1);
        EXPECT_EQ(+a.Dimension4, 65524); // 0 less 12, modulo 65536
    }
    EXPECT_EQ(+TranslateEx({}).Dimension4, 65524);
}

// MaxSizeRead, scannermaxwidth and OverScanFlag: only the extended
// translation sets them; null arguments change nothing.
TEST(CapabilityDriverValues, SetByTheExtendedTranslation)
{
    NX_InquiryData inq = RichInquiry();
    SCANNERABILITYEX ex;
    std::memset(&ex, 0xEE, sizeof ex);
    InquiryToScannerAbilityEx(nullptr, &ex);
    InquiryToScannerAbilityEx(&inq, nullptr);
    InquiryToScannerAbility(nullptr, nullptr);
    EXPECT_EQ(+ex.Five, 0xEE);
    EXPECT_EQ(MaxSizeRead, 0u);

    inq = {};
    TranslateEx(inq);
    EXPECT_EQ(MaxSizeRead, 524288u);
    EXPECT_EQ(OverScanFlag, 0);
    Put16(inq, 48, 0xFFFF);
    Put16(inq, 81, 5184);
    TranslateEx(inq);
    EXPECT_EQ(MaxSizeRead, 65535u);
    EXPECT_EQ(scannermaxwidth, 5184u);
    Put16(inq, 48, 0x0100);
    Translate(inq);
    EXPECT_EQ(MaxSizeRead, 65535u);

    // The overscan flag is sticky.
    inq.Data[128] = 0x10;
    TranslateEx(inq);
    EXPECT_EQ(OverScanFlag, 1);
    inq.Data[128] = 0x00;
    TranslateEx(inq);
    EXPECT_EQ(OverScanFlag, 1);
}

namespace {

using testbed::commandBlock;

class CapabilityDeviceTest : public testbed::DriverTest {};

using OverscanCapabilityTest = testbed::OnBus<CapabilityDeviceTest, [](sim::BusOptions &o) {
    o.devices[0].profile = sim::InquiryProfile::withOverscan();
}>;

} // namespace

TEST_F(CapabilityDeviceTest, ExtendedRecordFromTheDevice)
{
    SCANNERABILITYEX ex;
    std::memset(&ex, 0xEE, sizeof ex);
    ASSERT_TRUE(GetScannerAbilityEx(&ex));

    // Inquiry header, whole inquiry, then the NVM record read and dropped.
    const auto t = transcript();
    ASSERT_EQ(t.size(), 3u) << transcriptText();
    EXPECT_EQ(t[0].command, commandBlock({0x12, 0, 0, 0, 5}));
    EXPECT_EQ(t[1].command, commandBlock({0x12, 0, 0, 0, 165}));
    EXPECT_EQ(t[2].command, commandBlock({0x28, 0, 0x69, 0, 0x0A, 0x0D, 0x00, 0x00, 0x80, 0}));

    // The record is the translation of what the device said, plus the USB strings.
    NX_InquiryData inq;
    ASSERT_EQ(scanner().inquiry().size(), sizeof inq.Data);
    std::memcpy(inq.Data, scanner().inquiry().data(), sizeof inq.Data);
    EXPECT_EQ(bytesOf(&MyInquiryData, sizeof inq), bytesOf(&inq, sizeof inq));
    SCANNERABILITYEX want = TranslateEx(inq);
    std::memcpy(want.UsbVersion, "USB 2.0", 7);
    std::memcpy(want.UsbName, "USB", 3);
    EXPECT_EQ(bytesOf(&ex, sizeof ex), bytesOf(&want, sizeof want));
    EXPECT_STREQ(ex.VendorName, "VSCAN");
    EXPECT_EQ(MaxSizeRead, 524288u);
    EXPECT_EQ(scannermaxwidth, 2550u);
    EXPECT_EQ(OverScanFlag, 0);
}

TEST_F(OverscanCapabilityTest, OverscanDeviceSetsTheFlag)
{
    SCANNERABILITYEX ex;
    ASSERT_TRUE(GetScannerAbilityEx(&ex));
    EXPECT_EQ(OverScanFlag, 1);
    EXPECT_NE(+ex.Flags114 & 0x00400000u, 0u);
}

TEST_F(CapabilityDeviceTest, ShortRecordFromTheDevice)
{
    tagScannerAbility a;
    std::memset(&a, 0xEE, sizeof a);
    ASSERT_TRUE(GetScannerAbility(&a));
    EXPECT_STREQ(a.ProductName, "VS2550 ");
    EXPECT_STREQ(a.Revision, "1.0");
    EXPECT_EQ(+a.MaxScanWidth, 2550);
    EXPECT_EQ(+a.XResolution, 600); // resolution 3 of the standard profile
    EXPECT_EQ(scanner().transactionsWithOpcode(sim::opcode::kRead).size(), 1u);
    EXPECT_EQ(MaxSizeRead, 0u); // only the extended call sets the driver-wide values
}

TEST_F(CapabilityDeviceTest, FailedExchangesFailBothAndKeepTheTransportCode)
{
    // A failed inquiry sends no READ.
    const sim::Sense sense = sim::makeSense(4, 0x80, 0x01);
    scanner().injectCheckCondition({sim::opcode::kInquiry, -1, 2}, sense);
    SCANNERABILITYEX ex;
    EXPECT_FALSE(GetScannerAbilityEx(&ex));
    EXPECT_EQ(scanner().transactionsWithOpcode(sim::opcode::kRead).size(), 0u);

    gErrCode = 0;
    scanner().injectCheckCondition({sim::opcode::kRead, 0x69, 1}, sense);
    tagScannerAbility a;
    std::memset(&a, 0xEE, sizeof a);
    EXPECT_FALSE(GetScannerAbility(&a));
    EXPECT_EQ(bytesOf(&a, sizeof a), std::vector<uint8_t>(44, 0)); // all-zero record
    EXPECT_EQ(gErrCode, 2013u);

    gErrCode = 0;
    scanner().injectCheckCondition({sim::opcode::kRead, 0x69, 1}, sense);
    std::memset(&ex, 0xEE, sizeof ex);
    EXPECT_FALSE(GetScannerAbilityEx(&ex));
    EXPECT_EQ(bytesOf(&ex, sizeof ex), std::vector<uint8_t>(142, 0xEE)); // left as it was
    EXPECT_EQ(gErrCode, 2013u);
    EXPECT_EQ(MaxSizeRead, 0u);
}

TEST_F(CapabilityDeviceTest, NullRecordsAreRefusedWithoutTraffic)
{
    EXPECT_FALSE(GetScannerAbility(nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    gErrCode = 0;
    EXPECT_FALSE(GetScannerAbilityEx(nullptr));
    EXPECT_EQ(gErrCode, 2005u);
    EXPECT_TRUE(transcript().empty()) << transcriptText();
}
