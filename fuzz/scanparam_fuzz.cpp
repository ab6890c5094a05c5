// A caller's scan request (69 bytes) and the scanner's inquiry data (165
// bytes) through the request validation and the window descriptor. Input: the
// request, then the inquiry data; missing bytes are 0. Besides the sanitizers,
// a few properties of the results are checked.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/scanner.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "support/NxByteOrder.h"

static void Require(bool condition)
{
    if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t input[sizeof(tagScanParameter) + sizeof(NX_InquiryData)] = {};
    std::memcpy(input, data, size < sizeof input ? size : sizeof input);

    tagScanParameter request;
    std::memcpy(&request, input, sizeof request);
    std::memcpy(MyInquiryData.Data, input + sizeof request, sizeof MyInquiryData.Data);

    const bool accepted = CheckScanParameter(&request);
    if (accepted) {
        Require(request.ScanMode <= 11 && request.ScanMode != 5);
        Require(request.XRes <= 600 && request.YRes <= 600);
        Require(request.ScanMethod <= 5);
        Require(request.ScanMode != 6 || (request.PixelNum % 2 == 0 && request.LineNum % 2 == 0));
    }

    // The window reads PixelNum and LineNum from NewParam; give it the request's.
    NewParam = request;
    NX_WindowDescription window;
    std::memset(&window, 0xAA, sizeof window);
    GetWindowDescriptor(&window, &request);
    const uint16_t resolution = GetBE16(window.XResolution);
    Require(resolution == 300 || resolution == 600);
    Require(GetBE16(window.YResolution) == resolution);
    const uint32_t bytesPerLine =
        GetBE16(window.BytesPerLineLow) | (static_cast<uint32_t>(window.BytesPerLineHigh) << 16);
    Require(bytesPerLine == request.BitPerPixel * static_cast<uint32_t>(request.PixelNum) / 8u);
    Require(GetBE16(window.Lines) == request.LineNum);
    Require(window.Vendor40 == 0xFF && window.Vendor41 == 0x1D && window.Vendor43 == 0xFF);
    for (uint8_t byte : window.Vendor65) Require(byte == 0);
    return 0;
}
