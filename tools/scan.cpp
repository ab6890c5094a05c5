// docscan scan: one page from the scanner into an image file.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tools/commands.h"
#include "tools/imagefile.h"
#include "tools/progress.h"
#include "tools/report.h"
#include "tools/scanrequest.h"
#include "tools/statuscodes.h"

namespace docscan_cli {
namespace {

// Set by the SIGINT/SIGTERM handler; the read loop turns it into DoCancel.
volatile sig_atomic_t gCancelRequested = 0;

void OnInterrupt(int) { gCancelRequested = 1; }

// Catches Ctrl-C for the life of the scan. The handler resets itself, so a
// second Ctrl-C ends the program at once.
class InterruptGuard {
public:
    InterruptGuard()
    {
        gCancelRequested = 0;
        struct sigaction action = {};
        action.sa_handler = &OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

private:
    struct sigaction oldInt_ = {};
    struct sigaction oldTerm_ = {};
};

// Image bytes asked of ReadScan at a time: a few lines, at most about 64 KiB.
constexpr size_t kPieceBytes = 64 * 1024;
constexpr uint32_t kMaxPieceLines = 16;

struct ScanOptions {
    ScanRequest request;
    std::string output;                // "" or "-": standard output
    std::optional<ImageFormat> format; // --format
};

ScanOptions ReadScanOptions(ArgReader &args, GlobalOptions *options)
{
    ScanOptions scan;
    bool dropoutGiven = false;
    bool patternGiven = false;
    std::string value;
    while (args.More()) {
        if (ReadGlobalOption(args, options)) continue;
        if (args.Value("--mode", &value)) {
            auto mode = ParseScanMode(value);
            if (!mode)
                throw UsageError("--mode must be Color, Gray, Lineart or Halftone (got '" + value + "')");
            scan.request.mode = *mode;
        } else if (args.Value("--resolution", &value)) {
            scan.request.resolution =
                static_cast<int>(ParseInteger(value, kMinResolution, kMaxResolution, "--resolution"));
        } else if (args.Value("-l", &value)) {
            scan.request.left = ParseReal(value, 0, 10000, "-l");
        } else if (args.Value("-t", &value)) {
            scan.request.top = ParseReal(value, 0, 10000, "-t");
        } else if (args.Value("-x", &value)) {
            scan.request.width = ParseReal(value, 0.1, 10000, "-x");
        } else if (args.Value("-y", &value)) {
            scan.request.height = ParseReal(value, 0.1, 10000, "-y");
        } else if (args.Value("--halftone-pattern", &value)) {
            scan.request.halftonePattern =
                static_cast<int>(ParseInteger(value, 1, kHalftonePatterns, "--halftone-pattern"));
            patternGiven = true;
        } else if (args.Value("--dropout", &value)) {
            auto dropout = ParseDropout(value);
            if (!dropout)
                throw UsageError("--dropout must be none, red, green or blue (got '" + value + "')");
            scan.request.dropout = *dropout;
            dropoutGiven = *dropout != 0;
        } else if (args.Value("--format", &value)) {
            scan.format = ParseImageFormat(value);
            if (!scan.format) throw UsageError("--format must be png, pnm or tiff (got '" + value + "')");
        } else if (args.Value("--output", &value, "-o")) {
            if (value.empty()) throw UsageError("-o needs a file name");
            scan.output = value;
        } else {
            args.Unexpected("scan");
        }
    }
    if (dropoutGiven && scan.request.mode == ScanModeChoice::Color) {
        throw UsageError("--dropout applies to Gray, Lineart and Halftone scans, not Color");
    }
    if (patternGiven && scan.request.mode != ScanModeChoice::Halftone) {
        throw UsageError("--halftone-pattern applies to --mode Halftone only");
    }
    const bool toStdout = scan.output.empty() || scan.output == "-";
    if (!scan.format) {
        scan.format =
            toStdout ? ImageFormat::Pnm : ImageFormatFromPath(scan.output).value_or(ImageFormat::Png);
    }
    if (!ImageFormatAvailable(*scan.format)) {
        throw UsageError(std::string("this docscan was built without ") + ImageFormatName(*scan.format) +
                         " support");
    }
    if (toStdout) {
        if (isatty(STDOUT_FILENO))
            throw UsageError("no output file: give -o FILE (or redirect standard output)");
        if (*scan.format == ImageFormat::Tiff) throw UsageError("TIFF needs a file: give -o FILE");
        if (options->json) throw UsageError("--json prints to standard output: give -o FILE for the image");
        scan.output = "-";
    }
    return scan;
}

// What the read loop ended with.
struct ReadOutcome {
    uint32_t lines = 0;
    bool cancelled = false;
    bool readFailed = false;
    uint64_t readStatus = 0;
    std::string writeError;
};

ReadOutcome ReadImage(Driver &driver, const ScanPlan &plan, ImageWriter &writer, Progress &progress)
{
    ReadOutcome out;
    const uint32_t total = plan.image.height;
    const size_t bpl = plan.bytesPerLine;
    const uint32_t pieceLines =
        static_cast<uint32_t>(std::clamp<size_t>(kPieceBytes / bpl, 1, kMaxPieceLines));
    std::vector<uint8_t> piece(bpl * pieceLines);
    progress.Update(0);
    while (out.lines < total) {
        if (gCancelRequested != 0) {
            driver.DoCancel();
            out.cancelled = true;
            break;
        }
        const uint32_t lines = std::min(pieceLines, total - out.lines);
        if (!driver.ReadScan(0, piece.data(), static_cast<uint32_t>(bpl * lines))) {
            out.readFailed = true;
            out.readStatus = driver.Status();
            break;
        }
        if (!writer.WriteRows(piece.data(), lines, &out.writeError)) {
            driver.DoCancel(); // nothing more to do with the data: stop the scanner
            break;
        }
        out.lines += lines;
        progress.Update(out.lines);
    }
    return out;
}

} // namespace

int RunScan(ArgReader &args, GlobalOptions options)
{
    const ScanOptions scan = ReadScanOptions(args, &options);

    Session session(options);
    if (int rc = session.Open("scan"); rc != kExitOk) return rc;
    Driver &driver = session.driver();

    SCANNERABILITYEX ability{};
    if (!driver.GetScannerAbilityEx(&ability)) return session.Fail("GetScannerAbilityEx");
    ScanPlan plan;
    std::string error;
    if (!PlanScan(scan.request, ability, &plan, &error)) {
        session.Close();
        throw UsageError(error);
    }

    tagScanParameter parameter = plan.parameter;
    if (!driver.SetScanParameter(&parameter)) {
        if (driver.Status() == 2005) {
            std::fprintf(stderr, "docscan scan: the scanner refused %s at %d dpi for this area\n",
                         ScanModeName(scan.request.mode), scan.request.resolution);
        }
        return session.Fail("SetScanParameter");
    }

    std::unique_ptr<ImageWriter> writer = MakeImageWriter(*scan.format);
    if (!writer || !writer->Open(scan.output, plan.image, &error)) {
        if (writer) writer->Abort();
        return session.FailPlain(error.empty() ? "cannot write this format" : error, kExitEnvironment);
    }

    InterruptGuard interrupts;
    if (!driver.StartScan()) {
        writer->Abort();
        return session.Fail("StartScan");
    }
    Progress progress(plan.image.height, !options.quiet, isatty(STDERR_FILENO) != 0);
    const ReadOutcome outcome = ReadImage(driver, plan, *writer, progress);
    progress.Finish();
    const bool stopped = driver.StopScan();

    if (outcome.cancelled) {
        writer->Abort();
        const uint64_t status = driver.Status();
        session.Close();
        return session.FailPlain("scan cancelled: status " + DescribeStatus(status), kExitCancelled);
    }
    if (!outcome.writeError.empty()) {
        writer->Abort();
        return session.FailPlain(outcome.writeError, kExitEnvironment);
    }
    if (outcome.readFailed) {
        writer->Abort();
        return session.FailPlain("ReadScan failed after " + std::to_string(outcome.lines) + " of " +
                                     std::to_string(plan.image.height) + " lines: status " +
                                     DescribeStatus(outcome.readStatus),
                                 kExitFailure);
    }
    if (!stopped) {
        writer->Abort();
        return session.Fail("StopScan");
    }
    if (!writer->Finish(&error)) {
        writer->Abort();
        return session.FailPlain(error, kExitEnvironment);
    }
    if (!session.Close()) return session.Fail("TerminateDriver");

    const std::string where = scan.output == "-" ? "standard output" : scan.output;
    if (options.json) {
        Report report;
        report.Bool("ok", "OK", true)
            .Bool("virtual", "Virtual scanner", session.isVirtual())
            .Text("output", "Output", where)
            .Text("format", "Format", ImageFormatName(*scan.format))
            .Text("mode", "Mode", ScanModeName(scan.request.mode))
            .Number("resolution", "Resolution", scan.request.resolution)
            .Number("width", "Width", plan.image.width)
            .Number("height", "Height", plan.image.height);
        std::printf("%s\n", report.Json().c_str());
    } else if (!options.quiet) {
        std::fprintf(stderr, "docscan scan: wrote %s (%s, %u x %u pixels, %s, %d dpi)\n", where.c_str(),
                     ImageFormatName(*scan.format), plan.image.width, plan.image.height,
                     ScanModeName(scan.request.mode), scan.request.resolution);
    }
    return kExitOk;
}

} // namespace docscan_cli
