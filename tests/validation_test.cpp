// Validation of scan requests against the scanner's inquiry data.
//
// CheckScanParameter is driven directly: MyInquiryData is set from a virtual
// scanner profile (patched per case) and the rejection reason is read back
// from the main log, written into a private temporary directory (the tests
// never touch the shared log directory).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>

#include "api/scanner.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "sim/device_model.h"
#include "support/debug.h"
#include "testbed/testbed.h"

namespace {

constexpr const char *kAccepted = "";

class Validation : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/scanparam_validation_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::snprintf(DebugFilePath, sizeof DebugFilePath, "%s/", dir_.c_str());
        gDebugLevel = 3;
        // A colour request the standard scanner accepts.
        request.ScanMode = 4;
        request.BitPerPixel = 24;
        request.XRes = request.YRes = 300;
        request.PixelNum = 2550;
        request.LineNum = 3300;
    }

    void TearDown() override
    {
        std::remove(LogPath().c_str());
        rmdir(dir_.c_str());
        gDebugLevel = 0;
        DebugFilePath[0] = '\0';
    }

    std::string LogPath() const { return dir_ + "/" + DebugFunctionFile; }

    // Runs the validation of request against profile. Returns the rejection
    // message, or "" when the request is accepted; the log's exit line agrees.
    std::string Check()
    {
        std::memcpy(MyInquiryData.Data, profile.bytes().data(), sizeof MyInquiryData.Data);
        std::remove(LogPath().c_str());
        const bool accepted = CheckScanParameter(&request);
        const auto log = testbed::readLines(LogPath());
        EXPECT_TRUE(testbed::containsInOrder(
            log, {"In   0 : CheckScanParameter :",
                  accepted ? "Out  1 : CheckScanParameter :" : "Out  0 : CheckScanParameter :"}));
        const std::string prefix = "Check scan parameter error = ";
        std::string reason = accepted ? kAccepted : "(rejected without a message)";
        for (const std::string &line : log)
            if (line.rfind(prefix, 0) == 0) reason = line.substr(prefix.size());
        return reason;
    }

    // Applies each change in turn and expects its outcome (accepted, or the
    // rejection message); the changes accumulate.
    struct Step {
        std::function<void()> change;
        const char *want;
    };
    void Steps(std::initializer_list<Step> steps)
    {
        int n = 0;
        for (const Step &s : steps) {
            SCOPED_TRACE(::testing::Message() << "step " << n++);
            s.change();
            EXPECT_EQ(Check(), s.want);
        }
    }

    sim::InquiryProfile profile = sim::InquiryProfile::standard();
    tagScanParameter request{};

private:
    std::string dir_;
};

// Rejection messages met more than once.
constexpr const char *kNoD2Jpeg = "Not support D2 JPEG";
constexpr const char *kDepth = "Device does not support this scan mode or bit per pixel";
constexpr const char *kMethod = "Device does not support this scan method";
constexpr const char *kResolution = "Resolution exceed device's resolution";
constexpr const char *kPixelBoundary = "Pixel boundary is error";
constexpr const char *kLineBoundary = "Line boundary is error";

TEST_F(Validation, BaseRequestIsAcceptedUnchangedAndNullIsRejected)
{
    const tagScanParameter before = request;
    EXPECT_EQ(Check(), kAccepted);
    EXPECT_EQ(std::memcmp(&before, &request, sizeof request), 0);
    EXPECT_FALSE(CheckScanParameter(nullptr));
}

TEST_F(Validation, ModesAndTheirCompressions)
{
    for (uint8_t mode : std::initializer_list<uint8_t>{5, 12, 200, 255}) {
        request.ScanMode = mode;
        EXPECT_EQ(Check(), "Unknown scan mode") << int(mode);
    }
    request.ScanMode = 4;
    Steps({
        // R2 YCC: either inquiry byte announces it; it takes no compression argument.
        {[&] { request.ScanMode = 6; }, "Not support R2 YCC"},
        {[&] { profile.flags128 = 0x40; }, kAccepted},
        {[&] { profile.flags128 = 0, profile.flags129 = 0x80; }, kAccepted},
        {[&] { request.CompressionArgument = 1; }, "Not support R2 YCC compression argument"},
        // D2 JPEG gray (mode 11, a valid mode on a scanner that has it) needs 8 bits;
        // its compression argument is not looked at.
        {[&] { request.ScanMode = 11, request.BitPerPixel = 8, profile.flags129 = 0; }, kNoD2Jpeg},
        {[&] { profile.flags129 = 0x08, request.CompressionArgument = 200; }, kAccepted},
        {[&] { request.BitPerPixel = 24; }, "Not supported BitsPerPixel for D2 JPEG(Gray mode)"},
        // D2 JPEG colour.
        {[&] { request.ScanMode = 7, request.CompressionArgument = 0, profile.flags129 = 0; }, kNoD2Jpeg},
    });
    profile.flags129 = 0x08;
    for (uint8_t mode : std::initializer_list<uint8_t>{7, 8, 9, 10}) {
        request.ScanMode = mode;
        request.BitPerPixel = 24;
        EXPECT_EQ(Check(), kAccepted) << int(mode);
        request.BitPerPixel = 8;
        EXPECT_EQ(Check(), "Not supported BitsPerPixel for D2 JPEG(Color mode)") << int(mode);
    }
    request.BitPerPixel = 24;
    for (int arg = 0; arg < 256; ++arg) {
        request.CompressionArgument = static_cast<uint8_t>(arg);
        const bool valid = arg <= 100 || (arg >= 128 && arg <= 131);
        EXPECT_EQ(Check(), valid ? kAccepted : "Not support D2 Jpeg compression argument") << arg;
    }
}

TEST_F(Validation, DepthNeedsTheScanBitAndTheDepthBit)
{
    Steps({
        {[&] { profile.scanEnable = 0; }, kDepth},
        // Colour: the depth per channel is checked.
        {[&] { profile.scanEnable = 0x40, profile.depths = 0xFE & ~0x10; }, kDepth}, // no 8 bits
        {[&] { profile.depths = 0x10; }, kAccepted},
        {[&] { request.BitPerPixel = 48; }, kDepth},
        {[&] { profile.depths = 0x02; }, kAccepted},                        // 16 bits only
        {[&] { request.BitPerPixel = 32, profile.depths = 0xFE; }, kDepth}, // not a multiple of 3
        {[&] { request.BitPerPixel = 6; }, kDepth},                         // 2 bits a channel: no such depth
        // Line art asks for 1 bit, although the scanner later scans colour.
        {[&] {
             request.ScanMode = 0, request.BitPerPixel = 1, request.PixelNum = 2544, profile.depths = 0x7E;
         },
         kDepth},
        {[&] { profile.depths = 0x80; }, kAccepted},
        {[&] { request.ScanMode = 2, request.BitPerPixel = 8; }, kDepth},
        {[&] { profile.depths = 0x10; }, kAccepted},
        {[&] { request.BitPerPixel = 24; }, kDepth}, // gray depth is the whole value
        // R2 YCC at 4 bits a channel needs no depth bit; only mode 6 has the exception.
        {[&] {
             profile.flags129 = 0x80, profile.depths = 0xFE & ~0x40, request.ScanMode = 6,
             request.BitPerPixel = 12, request.PixelNum = 2550;
         },
         kAccepted},
        {[&] { request.ScanMode = 4; }, kDepth},
    });
}

TEST_F(Validation, ScanMethodsAndTheirBits)
{
    const uint8_t masks[] = {0xA0, 0x70, 0x08, 0x08, 0x04, 0x04};
    for (uint8_t method = 0; method < 6; ++method) {
        for (int bit = 0; bit < 8; ++bit) {
            profile.methods = static_cast<uint8_t>(1u << bit);
            request.ScanMethod = method;
            const bool allowed = (masks[method] & profile.methods) != 0;
            EXPECT_EQ(Check(), allowed ? kAccepted : kMethod) << "method " << int(method) << " bit " << bit;
        }
    }
    profile.methods = 0xFF;
    request.ScanMethod = 6;
    EXPECT_EQ(Check(), kMethod);
}

TEST_F(Validation, ResolutionAndTheOrderOfTheChecks)
{
    Steps({
        {[&] { request.XRes = request.YRes = 600; }, kAccepted},
        {[&] { request.XRes = request.YRes = 601; }, kResolution},
        {[&] { request.XRes = 700, request.YRes = 300; }, kResolution},
        {[&] { request.XRes = 300, request.YRes = 601; }, kResolution},
        {[&] { request.YRes = 600; }, "Device does not support X/Y resolution different"},
        {[&] { profile.xyResolutionMayDiffer = true; }, kAccepted},
        // No lower limit here; SetScanParameter refuses XRes 0 itself.
        {[&] { request.XRes = request.YRes = 0; }, kAccepted},
        // An unsupported depth is reported before a too high resolution, an
        // unknown method before the resolution, the resolution before the boundary.
        {[&] { request.BitPerPixel = 32, request.XRes = request.YRes = 700; }, kDepth},
        {[&] { request.BitPerPixel = 24, request.ScanMethod = 6; }, kMethod},
        {[&] { request.ScanMethod = 0, profile.boundaryColor = 7; }, kResolution},
    });
}

TEST_F(Validation, PixelBoundaryByMode)
{
    profile.boundaryColor = 3;
    profile.boundaryGray = 5;
    profile.boundaryGray4 = 7;
    profile.boundaryLineArt = 11;
    profile.boundaryHalftone = 13;
    profile.boundaryHalftoneOwn = 17;
    profile.halftoneOwnPattern = 4;
    profile.flags129 = 0x88; // R2 YCC and D2 JPEG

    struct Case {
        uint8_t mode, bits, pattern;
        unsigned boundary; // 0: no pixel check
    };
    const Case cases[] = {
        {0, 1, 0, 11}, {1, 1, 0, 13}, {1, 1, 4, 17}, {2, 8, 0, 5},   {2, 4, 0, 7},  {3, 24, 0, 3},
        {4, 24, 0, 3}, {6, 24, 0, 2}, {7, 24, 0, 0}, {10, 24, 0, 0}, {11, 8, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.mode) << "/" << int(c.bits));
        request.ScanMode = c.mode;
        request.BitPerPixel = c.bits;
        request.HTPatternNo = c.pattern;
        const unsigned multiple = c.boundary ? c.boundary * 100 : 1001;
        request.PixelNum = static_cast<uint16_t>(multiple);
        EXPECT_EQ(Check(), kAccepted);
        request.PixelNum = static_cast<uint16_t>(multiple + 1);
        EXPECT_EQ(Check(), c.boundary ? kPixelBoundary : kAccepted);
    }
}

TEST_F(Validation, BoundaryZeroAndTheLineBoundaryOfR2Ycc)
{
    Steps({
        // A boundary of 0 refuses the request rather than divide by it.
        {[&] { profile.boundaryColor = 0; }, kPixelBoundary},
        {[&] { request.PixelNum = 0; }, kPixelBoundary},
        // Only R2 YCC checks the line count.
        {[&] {
             profile = sim::InquiryProfile::standard(), profile.flags129 = 0x80, request.ScanMode = 6,
             request.PixelNum = 2551;
         },
         kPixelBoundary},
        {[&] { request.PixelNum = 2550, request.LineNum = 1; }, kLineBoundary},
        {[&] { request.LineNum = 0, request.HiWordLineNum = 1; }, kAccepted}, // 65536 lines
        {[&] { request.HiWordLineNum = 0, request.LineNum = 3; }, kLineBoundary},
        {[&] { request.ScanMode = 4; }, kAccepted}, // every other mode takes any line count
    });
}

} // namespace
