// Sense translation: SenseData in, status code and result out. No device.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>

#include "api/scanner.h"
#include "transport/usbio_linux_10.h"

namespace {

// The scanner's sense-to-status table, written out here independently of the
// driver's own table.
const std::map<uint16_t, uint32_t> &ExpectedAscTable()
{
    static const std::map<uint16_t, uint32_t> table = {
        {0x1502, 3001},  {0x1503, 3002}, {0x1504, 2008}, {0x1A00, 2005}, {0x2000, 2005},  {0x2600, 2005},
        {0x2601, 2005},  {0x2602, 2005}, {0x2C02, 2005}, {0x4401, 3003}, {0x4402, 3004},  {0x4403, 3004},
        {0x6000, 2007},  {0x6001, 3005}, {0x6002, 3006}, {0x6200, 2021}, {0x8001, 2013},  {0x8002, 2014},
        {0x8003, 2015},  {0x8004, 2022}, {0x8005, 3101}, {0x8009, 2013}, {0x800A, 64001}, {0x800B, 64002},
        {0x800C, 64003}, {0x800D, 3201}, {0x800E, 3202}, {0x800F, 3203}, {0x8010, 3204},  {0x8011, 3205},
        {0x8012, 3206},  {0x8013, 3207}, {0x8015, 2027}, {0x8016, 3500}, {0x8017, 3501},  {0x8018, 3502},
        {0x8019, 3503},  {0x801A, 3504}, {0x801C, 2033}, {0x801D, 3211}, {0x801F, 3212},  {0x8023, 2040},
        {0x9000, 2001},  {0x9001, 3012}, {0xA001, 2001},
    };
    return table;
}

constexpr uint32_t kExpectedKeyPreset[16] = {2999, 0,    2009, 2004, 2004, 2005, 2004, 0,
                                             0,    2004, 0,    2010, 0,    0,    0,    0};

// Fills SenseData like the device does and runs the translation.
bool Translate(uint8_t response, uint8_t keyByte, uint8_t asc, uint8_t ascq)
{
    std::memset(SenseData, 0, sizeof SenseData);
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
    // All 65535 non-zero pairs under several keys (recovered and no-sense
    // included): the table is complete and wins over the key, everything
    // else is 2999, and the command fails either way.
    const auto &table = ExpectedAscTable();
    for (uint32_t value = 1; value <= 0xFFFF; ++value) {
        const auto row = table.find(static_cast<uint16_t>(value));
        const uint32_t expected = row == table.end() ? 2999u : row->second;
        for (const uint8_t key : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{5}, uint8_t{15}}) {
            const bool result =
                Translate(0x70, key, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value));
            ASSERT_FALSE(result) << std::hex << value << " key " << int(key);
            ASSERT_EQ(gErrCode, expected) << std::hex << value << " key " << int(key);
        }
    }
}

TEST(SenseTranslation, KeyPresetsDecideWhenAscAndAscqAreZero)
{
    for (uint8_t key = 0; key < 16; ++key) {
        const bool result = Translate(0x70, key, 0, 0);
        EXPECT_EQ(gErrCode, kExpectedKeyPreset[key]) << "key " << int(key);
        EXPECT_EQ(result, kExpectedKeyPreset[key] == 0) << "key " << int(key);
        // Flag bits 7..4 of byte 2 do not change the key.
        const bool flagged = Translate(0x70, static_cast<uint8_t>(0xE0 | key), 0, 0);
        EXPECT_EQ(gErrCode, kExpectedKeyPreset[key]) << "flagged key " << int(key);
        EXPECT_EQ(flagged, result);
    }
}

TEST(SenseTranslation, ResponseCodesOfTheFixedFormat)
{
    // 0xF0 has the valid bit set; 0x7F is handled as 0x70.
    for (const uint8_t response : std::initializer_list<uint8_t>{0x70, 0xF0, 0x7F, 0xFF}) {
        EXPECT_FALSE(Translate(response, 2, 0, 0)) << std::hex << int(response);
        EXPECT_EQ(gErrCode, 2009u);
        EXPECT_TRUE(Translate(response, 1, 0, 0));
        EXPECT_EQ(gErrCode, 0u);
        EXPECT_FALSE(Translate(response, 0, 0x60, 0x00));
        EXPECT_EQ(gErrCode, 2007u);
    }
}

TEST(SenseTranslation, OtherResponseCodesAreTheStatusThemselves)
{
    EXPECT_FALSE(Translate(0x71, 1, 0, 0)); // deferred error: key and ASC not looked at
    EXPECT_EQ(gErrCode, 113u);
    EXPECT_FALSE(Translate(0xF1, 1, 0x80, 0x0A));
    EXPECT_EQ(gErrCode, 113u);
    for (uint32_t response = 1; response < 0x100; ++response) {
        const uint8_t code = static_cast<uint8_t>(response & 0x7F);
        if (code == 0x70 || code == 0x7F || code == 0) continue;
        EXPECT_FALSE(Translate(static_cast<uint8_t>(response), 5, 0x26, 0x00));
        EXPECT_EQ(gErrCode, code) << std::hex << response;
    }
}

TEST(SenseTranslation, AllZeroSenseMeansNoError)
{
    std::memset(SenseData, 0, sizeof SenseData);
    gErrCode = 2023;
    EXPECT_TRUE(ProcessSense());
    EXPECT_EQ(gErrCode, 0u);
    // Response code 0 with other bytes set: still no sense data.
    EXPECT_TRUE(Translate(0x80, 5, 0x26, 0x00));
    EXPECT_EQ(gErrCode, 0u);
}

TEST(SenseTranslation, OnlyTheNamedBytesAreRead)
{
    // Bytes other than 0, 2, 12 and 13 do not change the outcome.
    Translate(0x70, 5, 0x26, 0x02);
    const uint32_t plain = gErrCode;
    std::memset(SenseData, 0xA5, sizeof SenseData);
    SenseData[0] = 0x70;
    SenseData[2] = 5;
    SenseData[12] = 0x26;
    SenseData[13] = 0x02;
    EXPECT_FALSE(ProcessSense());
    EXPECT_EQ(gErrCode, plain);
    EXPECT_EQ(gErrCode, 2005u);
}

} // namespace
