// Sense translation: SenseData in, status code and result out. No device.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>

#include "api/scanner.h"
#include "transport/usbio_linux_10.h"

namespace {

// The scanner's sense-to-status table, written out here independently of the
// driver's own table.
const std::map<uint16_t, uint32_t> kAscTable = {
    {0x1502, 3001},  {0x1503, 3002}, {0x1504, 2008}, {0x1A00, 2005}, {0x2000, 2005},  {0x2600, 2005},
    {0x2601, 2005},  {0x2602, 2005}, {0x2C02, 2005}, {0x4401, 3003}, {0x4402, 3004},  {0x4403, 3004},
    {0x6000, 2007},  {0x6001, 3005}, {0x6002, 3006}, {0x6200, 2021}, {0x8001, 2013},  {0x8002, 2014},
    {0x8003, 2015},  {0x8004, 2022}, {0x8005, 3101}, {0x8009, 2013}, {0x800A, 64001}, {0x800B, 64002},
    {0x800C, 64003}, {0x800D, 3201}, {0x800E, 3202}, {0x800F, 3203}, {0x8010, 3204},  {0x8011, 3205},
    {0x8012, 3206},  {0x8013, 3207}, {0x8015, 2027}, {0x8016, 3500}, {0x8017, 3501},  {0x8018, 3502},
    {0x8019, 3503},  {0x801A, 3504}, {0x801C, 2033}, {0x801D, 3211}, {0x801F, 3212},  {0x8023, 2040},
    {0x9000, 2001},  {0x9001, 3012}, {0xA001, 2001},
};

constexpr uint32_t kExpectedKeyPreset[16] = {2999, 0,    2009, 2004, 2004, 2005, 2004, 0,
                                             0,    2004, 0,    2010, 0,    0,    0,    0};

// The fixed-format response codes: 0xF0 has the valid bit set; 0x7F is handled as 0x70.
constexpr uint8_t kFixedFormat[] = {0x70, 0xF0, 0x7F, 0xFF};

// Fills SenseData like the device does, every byte the translation must not
// read set to `other`, and runs the translation.
bool Translate(uint8_t response, uint8_t keyByte, uint8_t asc, uint8_t ascq, uint8_t other = 0)
{
    std::memset(SenseData, other, sizeof SenseData);
    SenseData[0] = response;
    SenseData[2] = keyByte;
    SenseData[7] = 14;
    SenseData[12] = asc;
    SenseData[13] = ascq;
    gErrCode = 0x12345678; // anything the translation must overwrite
    return ProcessSense();
}

TEST(SenseTranslation, EveryNonZeroPairGivesItsTableCodeOr2999WhateverTheKey)
{
    // Every non-zero pair under several keys (recovered and no-sense included)
    // and response codes: the table is complete and wins over the key,
    // everything else is 2999, and the command fails either way.
    const uint8_t keys[] = {0, 1, 2, 5, 15};
    for (uint32_t value = 1; value <= 0xFFFF; ++value) {
        const auto row = kAscTable.find(static_cast<uint16_t>(value));
        const uint32_t expected = row == kAscTable.end() ? 2999u : row->second;
        for (size_t k = 0; k < std::size(keys); ++k) {
            const uint8_t response = kFixedFormat[(value + k) % std::size(kFixedFormat)];
            const bool result = Translate(response, keys[k], static_cast<uint8_t>(value >> 8),
                                          static_cast<uint8_t>(value), k % 2 ? uint8_t{0xA5} : uint8_t{0});
            ASSERT_FALSE(result) << std::hex << value << " key " << int(keys[k]);
            ASSERT_EQ(gErrCode, expected) << std::hex << value << " key " << int(keys[k]);
        }
    }
}

TEST(SenseTranslation, KeyPresetsDecideWhenAscAndAscqAreZero)
{
    // Flag bits 7..4 of byte 2 do not change the key.
    for (uint8_t key = 0; key < 16; ++key) {
        for (const uint8_t response : kFixedFormat) {
            for (const uint8_t other : {uint8_t{0x00}, uint8_t{0xF5}}) {
                SCOPED_TRACE(::testing::Message() << std::hex << "key, response, other bytes: " << int(key)
                                                  << " " << int(response) << " " << int(other));
                const bool result =
                    Translate(response, static_cast<uint8_t>((other & 0xF0) | key), 0, 0, other);
                EXPECT_EQ(gErrCode, kExpectedKeyPreset[key]);
                EXPECT_EQ(result, kExpectedKeyPreset[key] == 0);
            }
        }
    }
}

TEST(SenseTranslation, OtherResponseCodesAreTheStatusThemselves)
{
    // Key and ASC are not looked at (here they would give 2005); response
    // code 0 means no sense data and no error.
    for (uint32_t response = 0; response < 0x100; ++response) {
        const uint8_t code = static_cast<uint8_t>(response & 0x7F);
        if (code == 0x70 || code == 0x7F) continue;
        EXPECT_EQ(Translate(static_cast<uint8_t>(response), 5, 0x26, 0x00), code == 0)
            << std::hex << response;
        EXPECT_EQ(gErrCode, code) << std::hex << response;
    }
}

} // namespace
