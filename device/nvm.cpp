// Non-volatile memory: read, write, initialise, self test, identification
// check and the item setter.
//
// Front-end pointers are checked: a null record (or null data with a non-zero
// length) is refused with status 2005 and result 0, before any device traffic.
#include "device/nvm.h"

#include <cstring>
#include <ctime>

#include "api/boundary.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "support/debug.h"

namespace {

// Initialisation record: at most this many of its bytes are taken.
constexpr uint32_t kInitRecordLength = sizeof(tagNVMInitData); // 55
constexpr size_t kInitByte44 = offsetof(tagNVMInitData, Byte44);
constexpr size_t kInitByte118 = offsetof(tagNVMInitData, Byte118);
constexpr size_t kNvmByte118 = 118;
constexpr uint16_t kInitValue70 = 15;
constexpr uint16_t kInitValue122 = 240;

// Test words of TestNVM: the six 16-bit values at 28..38.
constexpr size_t kTestWordOffset = offsetof(NVMDATA, Month);
constexpr size_t kTestWordCount = 6;

static_assert(kNVMDataLength == sizeof(NVMDATA), "NVM record length");

uint8_t *Bytes(NVMDATA &record) { return reinterpret_cast<uint8_t *>(&record); }

uint16_t TestWord(const NVMDATA &record, size_t n)
{
    uint16_t value;
    std::memcpy(&value, reinterpret_cast<const uint8_t *>(&record) + kTestWordOffset + 2 * n, 2);
    return value;
}

void SetTestWord(NVMDATA &record, size_t n, uint16_t value)
{
    std::memcpy(Bytes(record) + kTestWordOffset + 2 * n, &value, 2);
}

struct SetterItem {
    bool readFirst;  // read-modify-write
    size_t offset;   // where the caller's data goes
    bool zeroRecord; // item 0: the caller's data is not used
    uint16_t qualifier;
};

constexpr SetterItem kSetterItems[kNvmLastItem + 1] = {
    {false, 0, true, kNvmQualifierWhole},  // 0 all-zero record
    {true, 102, false, kNvmQualifier19},   // 1
    {true, 86, false, kNvmQualifier19},    // 2
    {false, 0, false, kNvmQualifier17},    // 3 whole record
    {false, 0, false, kNvmQualifier18},    // 4 whole record
    {false, 0, false, kNvmQualifier19},    // 5 whole record
    {false, 0, false, kNvmQualifierWhole}, // 6 whole record
    {true, 34, false, kNvmQualifier18},    // 7
    {true, 0, false, kNvmQualifier18},     // 8
    {true, 73, false, kNvmQualifier18},    // 9
    {true, 70, false, kNvmQualifier18},    // 10
};

bool InitializeNVMWork(const tagNVMInitData &init)
{
    // Only the bytes the caller says it filled (at most the whole record).
    uint8_t local[kInitRecordLength] = {};
    const uint32_t length = init.Length < kInitRecordLength ? init.Length : kInitRecordLength;
    std::memcpy(local, &init, length);

    NVMDATA current;
    // Never write after a failed read: the kept fields would become zeros.
    if (!ReadNVMData(&current)) return false;

    NVMDATA record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.Kept, current.Kept, sizeof record.Kept);

    const time_t now = time(nullptr);
    struct tm local_time;
    if (localtime_r(&now, &local_time) != nullptr) {
        record.Month = static_cast<uint16_t>(local_time.tm_mon + 1);
        record.Day = static_cast<uint16_t>(local_time.tm_mday);
        record.Year = static_cast<uint16_t>(local_time.tm_year + 1900);
    }
    record.Value70 = kInitValue70;
    std::memcpy(record.Identification, init.Identification, sizeof record.Identification);
    record.Byte44 = local[kInitByte44];
    Bytes(record)[kNvmByte118] = local[kInitByte118];
    if (InquiryBit<kInqFlags149>(InquiryData, kInqNvmDefault)) record.Value122 = kInitValue122;

    return WriteNVMDataInternal(&record);
}

bool TestNVMWork()
{
    NVMDATA saved;
    if (!ReadNVMData(&saved)) return false;

    NVMDATA test = saved;
    for (size_t n = 0; n < kTestWordCount; ++n) SetTestWord(test, n, static_cast<uint16_t>(n + 1));
    const bool written = WriteNVMDataInternal(&test);
    if (!written) return false;

    NVMDATA back;
    ReadNVMData(&back); // compared below whatever it returned
    for (size_t n = 0; n < kTestWordCount; ++n) {
        if (TestWord(back, n) != TestWord(test, n)) {
            // The test values stay in the device: a device that does not keep
            // what it is sent is not trusted with the saved record either.
            SetErrCode(kErrGeneral);
            return written;
        }
    }
    return WriteNVMDataInternal(&saved);
}

bool SetNVRAMValueWork(const uint8_t *data, uint32_t length, const SetterItem &setter)
{
    // A length past the end of the record is refused (2005, nothing sent),
    // as is null data with a non-zero length.
    if (!setter.zeroRecord && (length > kNVMDataLength - setter.offset || (data == nullptr && length != 0))) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }
    NVMDATA record;
    std::memset(&record, 0, sizeof record);
    if (setter.readFirst && !ReadNVMData(&record)) return false;
    if (!setter.zeroRecord && length != 0) std::memcpy(Bytes(record) + setter.offset, data, length);
    return WriteNVMDataWithQualifier(&record, setter.qualifier);
}

} // namespace

void SwapNvmRecord(NVMDATA &record)
{
    uint8_t *bytes = Bytes(record);
    for (size_t offset : kNvmBE32Offsets) {
        unsigned int value;
        std::memcpy(&value, bytes + offset, 4);
        value = DeviceToHostDWORD(value);
        std::memcpy(bytes + offset, &value, 4);
    }
    for (size_t offset : kNvmBE16Offsets) {
        unsigned short value;
        std::memcpy(&value, bytes + offset, 2);
        value = DeviceToHostWORD(value);
        std::memcpy(bytes + offset, &value, 2);
    }
}

bool ReadNVMDataInternal(NVMDATA *record)
{
    const bool result = Read(Bytes(*record), kNVMDataLength, kReadTypeNVM, kReadQualifier);
    SwapNvmRecord(*record);
    return result;
}

bool WriteNVMDataInternal(const NVMDATA *record)
{
    NVMDATA copy = *record;
    SwapNvmRecord(copy);
    return Send(Bytes(copy), kNVMDataLength, kSendTypeNVM, kNvmQualifierWhole);
}

bool WriteNVMDataWithQualifier(const NVMDATA *record, uint16_t qualifier)
{
    LogOutput(kLogExported, DebugFunctionFile, "In   %d : WriteNVMDataWithQualifier :", 1);
    NVMDATA copy = *record;
    SwapNvmRecord(copy);
    StartLock();
    const bool result = Send(Bytes(copy), kNVMDataLength, kSendTypeNVM, qualifier);
    EndLock();
    // Its exit line has always had three spaces after "Out".
    LogOutput(kLogExported, DebugFunctionFile, "Out   %d : WriteNVMDataWithQualifier :", result ? 1 : 0);
    return result;
}

bool ReadNVMData(NVMDATA *record)
{
    return TracedCall(kLogExported, "ReadNVMData", 1, [&] {
        if (record == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        std::memset(record, 0, sizeof *record);
        StartLock();
        const bool read = ReadNVMDataInternal(record);
        EndLock();
        return read;
    });
}

bool WriteNVMData(NVMDATA *record)
{
    return TracedCall(kLogExported, "WriteNVMData", 1, [&] {
        if (record == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        StartLock();
        const bool written = WriteNVMDataInternal(record);
        EndLock();
        return written;
    });
}

bool InitializeNVM(tagNVMInitData *init)
{
    return TracedCall(kLogExported, "InitializeNVM", 1, [&] {
        if (init == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        return InitializeNVMWork(*init);
    });
}

bool TestNVM(void)
{
    return TracedCall(kLogExported, "TestNVM", 0, [] { return TestNVMWork(); });
}

bool CheckNVMData(tagNVMInitData *init)
{
    return TracedCall(kLogExported, "CheckNVMData", 1, [&] {
        if (init == nullptr) {
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        NVMDATA record;
        const bool read = ReadNVMData(&record);
        // Compared even after a failed read (against the cleared record).
        if (std::strncmp(record.Identification, init->Identification, sizeof record.Identification) != 0) {
            SetErrCode(kErrGeneral);
        }
        return read;
    });
}

bool SetNVRAMValue(uint8_t *data, uint32_t length, uint16_t item)
{
    return TracedCall(kLogExported, "SetNVRAMValue", 0, [&] {
        // An item above 10 is refused silently: nothing sent, no status code.
        return item <= kNvmLastItem && SetNVRAMValueWork(data, length, kSetterItems[item]);
    });
}
