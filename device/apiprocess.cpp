// Command blocks: one small routine per command, each carried by DoIo.
#include "device/apiprocess.h"

#include <algorithm>
#include <cstring>

#include "support/NxByteOrder.h"
#include "support/debug.h"
#include "support/trace.h"

namespace {

using CommandBlock = uint8_t[kCommandBlockLength];

// READ and SEND share one layout: type, qualifier and 24-bit length.
void FillDataBlock(CommandBlock &block, uint8_t opcode, uint32_t length, uint8_t dataType, uint16_t qualifier)
{
    std::memset(block, 0, sizeof block);
    block[0] = opcode;
    block[kBlockDataTypeOffset] = dataType;
    PutBE16(&block[kBlockQualifierOffset], qualifier);
    PutBE24(&block[kBlockTransferLengthOffset], length);
}

// A length the 24-bit field cannot hold, or a data phase without a buffer,
// would put a block on the wire that does not match its data: refused with
// 2005 before any device traffic.
bool IsCarriable(const uint8_t *buffer, uint32_t length)
{
    if (length > kMaxTransferLength || (length != 0 && buffer == nullptr)) {
        SetErrCode(kErrInvalidParameter);
        return false;
    }
    return true;
}

bool RunWithoutData(CommandBlock &block) { return DoIo(block, nullptr, 0, 0); }

} // namespace

bool Inquiry(uint8_t *buffer, uint32_t allocationLength, uint8_t logicalUnit)
{
    TraceScope trace(kLogExported, "Inquiry");
    CommandBlock block = {};
    block[0] = kOpInquiry;
    bool result = false;
    if (logicalUnit > kInquiryMaxLogicalUnit || allocationLength == 0 ||
        allocationLength > kInquiryMaxAllocationLength || buffer == nullptr) {
        SetErrCode(kErrInvalidParameter);
    } else {
        block[kBlockLogicalUnitOffset] = static_cast<uint8_t>(logicalUnit << 5);
        block[kBlockAllocationLengthOffset] = static_cast<uint8_t>(kInquiryHeaderLength);
        // The header goes to a local buffer first: the caller's may be
        // shorter than 5 bytes. It holds the header's first bytes afterwards.
        uint8_t header[kInquiryHeaderLength] = {};
        if (DoIo(block, header, kInquiryHeaderLength, 0)) {
            std::memcpy(buffer, header, std::min(allocationLength, kInquiryHeaderLength));
            // The length sum wraps in 8 bits (an additional length of 251 gives 0).
            uint32_t length =
                static_cast<uint8_t>(header[kInquiryAdditionalLengthOffset] + kInquiryHeaderLength);
            length = std::min(length, allocationLength);
            block[kBlockAllocationLengthOffset] = static_cast<uint8_t>(length);
            result = DoIo(block, buffer, length, 0);
        }
    }
    return trace.Return(result);
}

bool Read(uint8_t *buffer, uint32_t length, uint8_t dataType, uint16_t qualifier)
{
    if (!IsCarriable(buffer, length)) return false;
    CommandBlock block;
    FillDataBlock(block, kOpRead, length, dataType, qualifier);
    return DoIo(block, buffer, length, 0);
}

bool Send(uint8_t *buffer, uint32_t length, uint8_t dataType, uint16_t qualifier)
{
    if (!IsCarriable(buffer, length)) return false;
    CommandBlock block;
    FillDataBlock(block, kOpSend, length, dataType, qualifier);
    return DoIo(block, buffer, 0, length);
}

bool SetWindow(uint8_t *buffer, uint32_t length)
{
    if (!IsCarriable(buffer, length)) return false;
    CommandBlock block = {};
    block[0] = kOpSetWindow;
    PutBE24(&block[kBlockTransferLengthOffset], length);
    return DoIo(block, buffer, 0, length);
}

bool Scan(uint8_t firstFlag, uint8_t secondFlag)
{
    CommandBlock block = {};
    block[0] = kOpScan;
    block[kBlockFlagsOffset] =
        static_cast<uint8_t>((firstFlag ? kScanFirstFlagBit : 0) | (secondFlag ? kScanSecondFlagBit : 0));
    return RunWithoutData(block);
}

bool ReserveUnit(void)
{
    CommandBlock block = {};
    block[0] = kOpReserveUnit;
    return RunWithoutData(block);
}

bool ReleaseUnit(uint8_t code)
{
    CommandBlock block = {};
    block[0] = kOpReleaseUnit;
    block[kBlockFlagsOffset] = code;
    return RunWithoutData(block);
}
