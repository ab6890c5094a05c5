// docscan scan: pages from the scanner into image files or one PDF.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "tools/commands.h"
#include "tools/imagefile.h"
#include "tools/outputfile.h"
#include "tools/progress.h"
#include "tools/report.h"
#include "tools/scanpage.h"
#include "tools/scanrequest.h"
#include "tools/statuscodes.h"

namespace docscan_cli {
namespace {

// Rows waiting for the encoder at most; the read loop waits only beyond this.
constexpr size_t kQueueBytes = 64u << 20;
constexpr int kButtonNext = 1;
constexpr int kButtonEnd = 3;
constexpr int kMaxPages = 10000;

struct ScanOptions {
    ScanRequest request;
    std::string output;                // "" or "-": standard output
    std::optional<ImageFormat> format; // --format
    EncodeOptions encode;
    int pages = 1;      // --pages N
    bool batch = false; // --batch: until button 3 (or end of input)
    bool perPageFiles = false;
};

// A file name pattern names each page: one %d (flags and width allowed), %% for a percent sign.
bool ValidPagePattern(const std::string &pattern)
{
    int conversions = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < pattern.size() && (pattern[j] == '0' || pattern[j] == '-')) ++j;
        size_t digits = 0;
        while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])) != 0 &&
               digits < 2) {
            ++j;
            ++digits;
        }
        if (j >= pattern.size() || pattern[j] != 'd') return false;
        ++conversions;
        i = j;
    }
    return conversions == 1;
}

std::string PageFileName(const std::string &pattern, int page)
{
    std::vector<char> name(pattern.size() + 128);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(name.data(), name.size(), pattern.c_str(), page); // checked by ValidPagePattern
#pragma GCC diagnostic pop
    return name.data();
}

ScanOptions ReadScanOptions(ArgReader &args, GlobalOptions *options)
{
    ScanOptions scan;
    bool dropoutGiven = false;
    bool patternGiven = false;
    bool pagesGiven = false;
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
            if (!scan.format)
                throw UsageError("--format must be png, pnm, tiff, jpeg or pdf (got '" + value + "')");
        } else if (args.Value("--compression", &value)) {
            scan.encode.compression = static_cast<int>(ParseInteger(value, 1, 9, "--compression"));
        } else if (args.Value("--quality", &value)) {
            scan.encode.quality = static_cast<int>(ParseInteger(value, 1, 100, "--quality"));
        } else if (args.Value("--pages", &value)) {
            scan.pages = static_cast<int>(ParseInteger(value, 1, kMaxPages, "--pages"));
            pagesGiven = true;
        } else if (args.Flag("--batch")) {
            scan.batch = true;
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
    if (pagesGiven && scan.batch) throw UsageError("--pages and --batch exclude each other");
    const bool toStdout = scan.output.empty() || scan.output == "-";
    if (!scan.format) {
        scan.format =
            toStdout ? ImageFormat::Pnm : ImageFormatFromPath(scan.output).value_or(ImageFormat::Png);
    }
    if (!ImageFormatAvailable(*scan.format)) {
        throw UsageError(std::string("this docscan was built without ") + ImageFormatName(*scan.format) +
                         " support");
    }
    const bool bilevel =
        scan.request.mode == ScanModeChoice::Lineart || scan.request.mode == ScanModeChoice::Halftone;
    if (std::string refusal = ImageFormatRefusal(*scan.format, bilevel ? PixelKind::Bilevel : PixelKind::Rgb);
        !refusal.empty()) {
        throw UsageError(refusal);
    }
    if (toStdout) {
        if (isatty(STDOUT_FILENO))
            throw UsageError("no output file: give -o FILE (or redirect standard output)");
        if (*scan.format == ImageFormat::Tiff) throw UsageError("TIFF needs a file: give -o FILE");
        if (options->json) throw UsageError("--json prints to standard output: give -o FILE for the image");
        scan.output = "-";
    }
    struct stat target = {};
    if (*scan.format == ImageFormat::Tiff && stat(scan.output.c_str(), &target) == 0 &&
        !S_ISREG(target.st_mode)) {
        throw UsageError("TIFF needs a file it can seek in, not a device or a pipe: give -o FILE");
    }
    if ((scan.pages > 1 || scan.batch) && !ImageFormatMultiPage(*scan.format)) {
        if (toStdout || !ValidPagePattern(scan.output)) {
            throw UsageError(std::string("several pages of ") + ImageFormatName(*scan.format) +
                             " need a file name pattern with one %d, such as page%03d." +
                             ImageFormatName(*scan.format) + " (or a PDF)");
        }
        scan.perPageFiles = true;
    }
    return scan;
}

double Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

enum class Next { Scan, End, Interrupted };

// Between pages of a batch: Enter on the terminal, or button 1, scans the
// next page; button 3 (or the end of the terminal's input) ends the batch.
Next WaitForNextPage(Driver &driver, bool buttons, bool terminal)
{
    if (!buttons && !terminal) return Next::End;
    for (;;) {
        if (SignalGuard::Caught() != 0) return Next::Interrupted;
        if (terminal) {
            pollfd in = {STDIN_FILENO, POLLIN, 0};
            if (poll(&in, 1, buttons ? 0 : 200) > 0) {
                char line[256];
                if (std::fgets(line, sizeof line, stdin) == nullptr) return Next::End;
                return Next::Scan;
            }
        }
        if (!buttons) continue;
        tagButtonStatus status{};
        const double asked = Now();
        if (!driver.ReadPushButton(&status)) {
            // No press within the interrupt time-out: ask again, but never
            // spin when the read fails at once.
            if (Now() - asked < 0.02) usleep(50000);
            continue;
        }
        if (status.Event != 0x81 || status.Pressed != 1) continue;
        if (status.Button == kButtonNext) return Next::Scan;
        if (status.Button == kButtonEnd) return Next::End;
    }
}

} // namespace

int RunScan(ArgReader &args, GlobalOptions options)
{
    ScanOptions scan = ReadScanOptions(args, &options);

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

    const bool severalPages = scan.pages > 1 || scan.batch;
    bool buttons = false;
    const bool terminal = isatty(STDIN_FILENO) != 0;
    if (severalPages) {
        tagButtonDescription description{};
        buttons = driver.InitialButton(&description) && description.ButtonType != 0;
        if (!buttons && !terminal) {
            session.Close();
            return session.FailPlain("several pages need Enter on a terminal or the scanner's buttons",
                                     kExitUsage);
        }
    }

    SignalGuard signals;
    OutputFile file;
    std::unique_ptr<ImageWriter> writer;
    const auto cancel = [] { return SignalGuard::Caught() != 0; };
    int done = 0;        // pages finished
    std::string written; // the files written, for the report
    int exitCode = kExitOk;
    std::string failure;
    bool refusedParameters = false;

    for (int page = 1; scan.batch || page <= scan.pages; ++page) {
        const std::string path = scan.perPageFiles ? PageFileName(scan.output, page) : scan.output;
        if (writer == nullptr) {
            if (!file.Open(path, &error)) {
                failure = error;
                exitCode = kExitEnvironment;
                break;
            }
            scan.encode.spoolFolder = file.folder();
            writer = MakeQueuedWriter(MakeImageWriter(*scan.format, scan.encode), kQueueBytes);
            if (!writer || !writer->Open(file.file(), path, plan.image, &error)) {
                failure = error.empty() ? "cannot write this format" : error;
                exitCode = kExitEnvironment;
                break;
            }
        } else if (!writer->NextPage(plan.image, &error)) {
            failure = error;
            exitCode = kExitEnvironment;
            break;
        }
        if (severalPages && !options.quiet && !options.json) {
            std::fprintf(stderr, "docscan scan: page %d\n", page);
        }
        Progress progress(plan.image.height, !options.quiet, isatty(STDERR_FILENO) != 0);
        const PageOutcome outcome =
            ScanPage(driver, plan.parameter, plan.image, plan.bytesPerLine, writer.get(), cancel, &progress);
        if (outcome.cancelled) {
            failure = "scan cancelled: status " + DescribeStatus(outcome.status);
            exitCode = 128 + SignalGuard::Caught();
            break;
        }
        if (!outcome.writeError.empty()) {
            failure = outcome.writeError;
            exitCode = kExitEnvironment;
            break;
        }
        if (outcome.failed != nullptr) {
            refusedParameters = outcome.status == 2005 && std::string(outcome.failed) == "SetScanParameter";
            failure = std::string(outcome.failed) + " failed";
            if (std::string(outcome.failed) == "ReadScan") {
                failure = "ReadScan failed after " + std::to_string(outcome.lines) + " of " +
                          std::to_string(plan.image.height) + " lines";
            }
            failure += ": status " + DescribeStatus(outcome.status);
            exitCode = kExitFailure;
            break;
        }
        if (scan.perPageFiles || !severalPages) {
            if (!writer->Finish(&error) || !file.Commit(&error)) {
                failure = error;
                exitCode = kExitEnvironment;
                break;
            }
            writer.reset();
            written += (written.empty() ? "" : ", ") + (path == "-" ? std::string("standard output") : path);
        }
        ++done;
        if (!severalPages || (!scan.batch && page == scan.pages)) break;
        if (!options.quiet && !options.json) {
            std::fprintf(stderr, "docscan scan: page %d done; %s%sbutton %d ends\n", page,
                         terminal ? "Enter scans the next page, " : "",
                         buttons ? "button 1 scans the next, " : "", kButtonEnd);
        }
        const Next next = WaitForNextPage(driver, buttons, terminal);
        if (next == Next::Interrupted) {
            failure = "scan ended by a signal";
            exitCode = 128 + SignalGuard::Caught();
            break;
        }
        if (next == Next::End) break;
    }

    // One file for all pages: finish it with what is complete, even after a cancel.
    std::string kept;
    if (writer != nullptr && !scan.perPageFiles && severalPages && done > 0) {
        const bool finished =
            exitCode == kExitOk ? writer->Finish(&error) : writer->FinishCompletePages(&error);
        if (finished && file.Commit(&error)) {
            written = scan.output == "-" ? "standard output" : scan.output;
            kept = written;
        } else if (exitCode == kExitOk) {
            failure = error;
            exitCode = kExitEnvironment;
        }
        writer.reset();
    }
    if (writer != nullptr) writer->Abort();
    writer.reset();
    file.Discard();

    if (exitCode != kExitOk) {
        if (refusedParameters) {
            std::fprintf(stderr, "docscan scan: the scanner refused %s at %d dpi for this area\n",
                         ScanModeName(scan.request.mode), scan.request.resolution);
        }
        session.Close();
        const std::string where = scan.perPageFiles ? written : kept;
        if (done > 0 && severalPages && !where.empty()) {
            failure += "; kept the " + std::to_string(done) + " finished page" + (done == 1 ? "" : "s") +
                       " in " + where;
        }
        return session.FailPlain(failure, exitCode);
    }
    if (!session.Close()) return session.Fail("TerminateDriver");

    if (options.json) {
        Report report;
        report.Bool("ok", "OK", true)
            .Bool("virtual", "Virtual scanner", session.isVirtual())
            .Text("output", "Output", written)
            .Text("format", "Format", ImageFormatName(*scan.format))
            .Text("mode", "Mode", ScanModeName(scan.request.mode))
            .Number("resolution", "Resolution", scan.request.resolution)
            .Number("width", "Width", plan.image.width)
            .Number("height", "Height", plan.image.height)
            .Number("pages", "Pages", done);
        std::printf("%s\n", report.Json().c_str());
    } else if (!options.quiet) {
        std::fprintf(stderr, "docscan scan: wrote %s (%s, %u x %u pixels, %s, %d dpi%s)\n", written.c_str(),
                     ImageFormatName(*scan.format), plan.image.width, plan.image.height,
                     ScanModeName(scan.request.mode), scan.request.resolution,
                     done > 1 ? (", " + std::to_string(done) + " pages").c_str() : "");
    }
    return kExitOk;
}

} // namespace docscan_cli
