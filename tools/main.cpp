// docscan: command-line front end of the docscan scanner driver.
//
//   docscan info | scan | nvm | gamma | power-save | power-off | buttons
//
// The driver is loaded with dlopen (tools/driver.cpp), as any front end would.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/driver.h"

namespace docscan_cli {
namespace {

const char kHelp[] = R"(Usage: docscan COMMAND [OPTIONS]

Drives the USB document scanner through the docscan driver (libdocscan.so.1).

Commands:
  info [--abilities]         find the scanner and show its identity; with
                             --abilities also both capability records, field by field
  scan [SCAN OPTIONS]        scan pages into image files or one PDF
  nvm read                   show the scanner's non-volatile memory record
  nvm init ID                initialise the record (today's date, identification ID)
  nvm test                   write and read back test values, then restore the record
  nvm check ID               check that the stored identification is ID
  gamma FILE [--channel N]   send a gamma table: FILE holds 256 raw bytes, or 256
                             numbers 0..255 as text
  gamma --value G [--channel N]
                             send the curve out = 255 * (in/255)^(1/G), G in 0.1..10
                             (channel 0..3, default 0)
  power-save N               set the power-save time (0..65535, the scanner's unit)
  power-off N                set the power-off time (0..65535, the scanner's unit)
  buttons [--count N] [--seconds S]
                             print front-panel button presses until Ctrl-C (or N
                             presses, or S seconds)

Scan options:
  --mode Color|Gray|Lineart|Halftone   default Color
  --resolution N             dots per inch, 50..600 (default 300)
  -l MM, -t MM               left and top edge of the area in millimetres (default 0)
  -x MM, -y MM               width and height of the area in millimetres
                             (default: the scanner's full width, an A4 length of 297 mm)
  --halftone-pattern N       halftone pattern 1..6 (Halftone mode; default 1)
  --dropout none|red|green|blue
                             colour dropout: build Gray, Lineart or Halftone from one
                             channel (default none: all channels)
  --format png|pnm|tiff|jpeg|pdf
                             default: from the file name, else png (pnm on standard output);
                             JPEG holds colour and gray only; PDF pages are JPEG (colour,
                             gray) or CCITT group 4 (line art, halftone)
  --compression N            PNG and TIFF: zlib level 1..9, smaller files but slower
                             (default: fast)
  --quality N                JPEG (and PDF) quality 1..100 (default 85)
  -o FILE, --output FILE     image file ("-" or none: standard output, not a terminal);
                             written under a temporary name and renamed when complete
  --pages N                  scan N pages: into one PDF, or for other formats one file
                             per page named by a pattern such as page%03d.png
  --batch                    scan pages until button 3 (or the end of input) says done
                             Between pages: Enter on the terminal or button 1 scans the
                             next page; Ctrl-C keeps the pages already finished.

Options of every command:
  --virtual                  use the built-in virtual scanner
  --no-virtual, --device     use a real scanner only (the default)
  --json                     print the result as JSON on standard output
  -q, --quiet                no progress or notes on standard error
  -h, --help                 this text
  --version                  print the version of docscan

Options of the virtual scanner (ignored when a real scanner answers):
  --paper FILE.png           scan this picture (placed at the top left corner, at
                             its own resolution or 300 dpi) instead of the test chart
  --press LIST               press these front-panel buttons (1..3, e.g. 1,3) as
                             soon as it is there, for 'docscan buttons' and batches
  --nvm-file FILE            keep its non-volatile memory (128 bytes) in FILE between runs

Without --virtual, docscan uses a real scanner, or fails with "no scanner found"
when none answers: it never switches to the virtual scanner on its own. The
virtual scanner sits under the real libusb through umockdev's USB emulation
(docscan runs itself again with LD_PRELOAD=libumockdev-preload.so.0 for that), so
the driver does the same USB work as with hardware. It shows a test chart (colour
patches, a gray ramp, fine lines, text-like strokes), or the PNG given with
--paper. It is a module of its own, libdocscan-virtual.so beside docscan, else in
the library folder's docscan/ (or the file named by $DOCSCAN_VIRTUAL_MODULE),
loaded only when needed: docscan itself needs no umockdev to drive a real scanner.

Examples:
  docscan info
  docscan scan --virtual --mode Color --resolution 150 -o chart.png
  docscan scan --mode Gray --resolution 300 -l 10 -t 10 -x 100 -y 50 -o part.tiff
  docscan nvm read --json

Exit status: 0 success; 1 the driver or scanner reported a failure (its status code
and what it means are printed); 2 wrong command line; 3 driver library, virtual
scanner or output file not usable; 128 + the signal's number when a scan is ended
by SIGINT (130, Ctrl-C), SIGTERM (143) or SIGHUP (129).

The driver library is looked for at: )";

void PrintHelp(FILE *out) { std::fprintf(out, "%s%s.\n", kHelp, DriverSearchOrder().c_str()); }

using CommandFunction = int (*)(ArgReader &, GlobalOptions);

struct CommandEntry {
    const char *name;
    CommandFunction run;
};

constexpr CommandEntry kCommands[] = {
    {"info", &RunInfo},
    {"scan", &RunScan},
    {"nvm", &RunNvm},
    {"gamma", &RunGamma},
    {"power-save", &RunPowerSave},
    {"power-off", &RunPowerOff},
    {"buttons", &RunButtons},
};

int Main(int argc, char **argv)
{
    SetProgramArguments(argv);
    std::vector<std::string> words(argv + 1, argv + argc);
    for (const std::string &word : words) {
        if (word == "-h" || word == "--help" || (word == "help" && &word == &words.front())) {
            PrintHelp(stdout);
            return kExitOk;
        }
        if (word == "--version") {
            std::printf("docscan %s\n", DOCSCAN_VERSION);
            return kExitOk;
        }
    }
    // Options of every command may come before the command's name.
    ArgReader args(words);
    GlobalOptions options;
    try {
        while (args.More() && ReadGlobalOption(args, &options)) {
        }
        if (!args.More()) throw UsageError("no command given");
        std::string name;
        if (!args.Positional(&name)) args.Unexpected("");
        for (const CommandEntry &command : kCommands) {
            if (name == command.name) return command.run(args, options);
        }
        throw UsageError("unknown command '" + name + "'");
    } catch (const UsageError &error) {
        std::fprintf(stderr, "docscan: %s\nTry 'docscan --help' for the commands and options.\n",
                     error.what());
        return kExitUsage;
    }
}

// "1,3,2": button numbers 1..3.
std::vector<int> ParseButtonList(const std::string &list)
{
    std::vector<int> buttons;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        buttons.push_back(static_cast<int>(ParseInteger(list.substr(start, comma - start), 1, 3, "--press")));
        start = comma + 1;
    }
    return buttons;
}

} // namespace

bool ReadGlobalOption(ArgReader &args, GlobalOptions *options)
{
    std::string value;
    if (args.Flag("--virtual")) {
        options->virtualScanner = true;
    } else if (args.Flag("--no-virtual") || args.Flag("--device")) {
        options->realOnly = true;
    } else if (args.Flag("--json")) {
        options->json = true;
    } else if (args.Flag("--quiet", "-q")) {
        options->quiet = true;
    } else if (args.Value("--paper", &value)) {
        if (value.empty()) throw UsageError("--paper needs a PNG file");
        options->paper = value;
    } else if (args.Value("--press", &value)) {
        options->presses = ParseButtonList(value);
    } else if (args.Value("--nvm-file", &value)) {
        if (value.empty()) throw UsageError("--nvm-file needs a file name");
        options->nvmFile = value;
    } else {
        return false;
    }
    if (options->virtualScanner && options->realOnly) {
        throw UsageError("--virtual and --no-virtual/--device exclude each other");
    }
    return true;
}

} // namespace docscan_cli

int main(int argc, char **argv)
{
    try {
        return docscan_cli::Main(argc, argv);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "docscan: %s\n", error.what());
        return docscan_cli::kExitEnvironment;
    }
}
