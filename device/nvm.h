// Non-volatile memory: the 128-byte NVMDATA record of the scanner.
//
// The exported functions (ReadNVMData, WriteNVMData, InitializeNVM, TestNVM,
// CheckNVMData, SetNVRAMValue) are declared in api/scanner.h; this header adds
// the internal transfers and the layout facts that the tests check.
#ifndef DOCSCAN_DEVICE_NVM_H
#define DOCSCAN_DEVICE_NVM_H

#include <cstddef>
#include <cstdint>

#include "api/scanner.h"

// Data types and the record length are in device/apiprocess.h
// (kReadTypeNVM, kSendTypeNVM, kNVMDataLength).

// Write qualifiers of the SEND block.
constexpr uint16_t kNvmQualifier17 = 17;
constexpr uint16_t kNvmQualifier18 = 18;
constexpr uint16_t kNvmQualifier19 = 19;
constexpr uint16_t kNvmQualifierWhole = 20; // whole-record writes

// Fields that are big-endian on the device.
constexpr size_t kNvmBE32Offsets[] = {0, 4, 8, 12, 73, 77, 81};
constexpr size_t kNvmBE16Offsets[] = {16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 70, 122};

// Highest item of SetNVRAMValue.
constexpr uint16_t kNvmLastItem = 10;

// Swaps every big-endian field of the record in place. The swap is its own
// inverse: it turns a device record into host form and back.
void SwapNvmRecord(NVMDATA &record);

// READ type 0x69 into record, then converts it to host form (also after a
// failed READ). Returns the READ's result.
bool ReadNVMDataInternal(NVMDATA *record);

// Converts a copy of record to device form and SENDs it with type 0x85 and
// the whole-record qualifier. No trace lines, no device lock.
bool WriteNVMDataInternal(const NVMDATA *record);

// As WriteNVMDataInternal with the given qualifier, inside the device lock,
// with its own trace lines.
bool WriteNVMDataWithQualifier(const NVMDATA *record, uint16_t qualifier);

#endif // DOCSCAN_DEVICE_NVM_H
