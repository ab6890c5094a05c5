// End-to-end tests of the docscan command-line front end: the built binary
// runs against the virtual scanner (it runs itself again under the umockdev
// preload for that) and its output files and exit codes are checked.
//
// docscan loads the real driver, which writes its trace into /tmp/DrvLog
// whenever a Debug.conf is there; so these tests share the
// DRVLOG_RESOURCE_LOCK with the tests that set one up (they never touch the
// directory themselves).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testbed/testbed.h"
#include "tools/imagefile.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

size_t Count(const std::string &text, const std::string &word)
{
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

std::vector<std::string> Args(std::vector<std::string> head, const std::vector<std::string> &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string Join(const std::vector<std::string> &args)
{
    std::string line;
    for (const std::string &a : args) line += a + " ";
    return line;
}

// A 50 x 30 mm area at 75 dpi: 591 x 354 area units, so 147 x 88 pixels.
const std::vector<std::string> kSmallArea = {"--resolution", "75", "-x", "50", "-y", "30"};

// ------------------------------------------------------- a small JSON check

// Valid JSON reduces to one 0: first every string, number and literal, then,
// over and over, every innermost array and object.
bool ValidJson(std::string text)
{
    static const std::regex token(
        R"re("([^"\\\x00-\x1f]|\\["\\/bfnrt]|\\u[0-9a-fA-F]{4})*"|-?(0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)?|true|false|null)re");
    static const std::regex nested(
        R"re(\[\s*(0\s*(,\s*0\s*)*)?\]|\{\s*(0\s*:\s*0\s*(,\s*0\s*:\s*0\s*)*)?\})re");
    text = std::regex_replace(text, token, "0");
    for (std::string before; before != text;) {
        before = text;
        text = std::regex_replace(text, nested, "0");
    }
    return std::regex_match(text, std::regex(R"re(\s*0\s*)re"));
}

TEST(JsonCheckerTest, TellsValidFromInvalid)
{
    EXPECT_TRUE(
        ValidJson("{\"a\":[1,2.5,-3e2],\"b\":{\"c\":true,\"d\":null},\"e\":\"x\\u00e9\\n\",\"f\":[]}\n"));
    for (const char *bad : {"{\"a\":1,}", "{\"a\" 1}", "{\"a\":1} x", "{\"a\":\"\n\"}", "[1 2]", "[01]",
                            "{\"a\":tru}", "[\"\\x\"]", "", "{,}"})
        EXPECT_FALSE(ValidJson(bad)) << bad;
}

// -------------------------------------------------------------- image files

struct Pnm {
    std::string magic;
    unsigned width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

// Parses a binary PNM (P4, P5, P6 with maxval 255); false when malformed.
bool ParsePnm(const std::string &bytes, Pnm *pnm)
{
    std::istringstream in(bytes);
    unsigned maxval = 255;
    if (!(in >> pnm->magic >> pnm->width >> pnm->height) || (pnm->magic != "P4" && !(in >> maxval)) ||
        maxval != 255)
        return false;
    const size_t start = static_cast<size_t>(in.tellg()) + 1; // one white-space byte ends the header
    const size_t bpl = pnm->magic == "P4" ? (pnm->width + 7) / 8 : pnm->width * (pnm->magic == "P5" ? 1 : 3);
    if (bytes.size() != start + bpl * pnm->height) return false;
    pnm->pixels.assign(bytes.begin() + static_cast<long>(start), bytes.end());
    return true;
}

// What a file holds: "P5 147x88" for a PNM, "PNG 147x88 8-bit type 2" (bit
// depth, colour type) for a PNG, "TIFF" for a little-endian TIFF, or "?".
std::string Shape(const std::string &bytes)
{
    Pnm pnm;
    if (ParsePnm(bytes, &pnm))
        return pnm.magic + " " + std::to_string(pnm.width) + "x" + std::to_string(pnm.height);
    auto number = [&](size_t at, size_t size) {
        uint32_t value = 0;
        for (size_t i = at; i < at + size; ++i) value = value << 8 | static_cast<uint8_t>(bytes[i]);
        return std::to_string(value);
    };
    if (bytes.size() > 26 && bytes.compare(0, 16, std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)) == 0)
        return "PNG " + number(16, 4) + "x" + number(20, 4) + " " + number(24, 1) + "-bit type " +
               number(25, 1);
    return bytes.compare(0, 4, std::string("II*\0", 4)) == 0 ? "TIFF" : "?";
}

struct Result {
    int exitCode = -1; // -1 when the program ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

// A docscan command line (run with --virtual added) and what it must give:
// its exit code, each text somewhere in its output, and for a scan the Shape
// of the file written (of standard output without -o).
struct Command {
    std::vector<std::string> args;
    int exitCode = 0;
    std::vector<std::string> texts = {};
    std::string shape = "";
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("docscan_cli_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Path(const std::string &name) const { return dir_ / name; }

    // Starts docscan with `args` (and `env`, NAME=VALUE entries added to its
    // environment); its standard output and error go to files.
    pid_t Start(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
    {
        const std::string out = Path("stdout").string();
        const std::string err = Path("stderr").string();
        const pid_t pid = fork();
        if (pid == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || o < 0 || e < 0) _exit(127);
            dup2(in, 0);
            dup2(o, 1);
            dup2(e, 2);
            unsetenv("UMOCKDEV_DIR");
            for (const std::string &entry : env) putenv(const_cast<char *>(entry.c_str()));
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(DOCSCAN_CLI_PATH));
            for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            execv(DOCSCAN_CLI_PATH, argv.data());
            _exit(127);
        }
        return pid;
    }

    Result Wait(pid_t pid)
    {
        Result result;
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
        result.out = ReadText(Path("stdout"));
        result.err = ReadText(Path("stderr"));
        return result;
    }

    Result Run(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
    {
        return Wait(Start(args, env));
    }

    // Waits until docscan's standard error holds `text` (or a minute passes).
    void AwaitText(const std::string &text)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (ReadText(Path("stderr")).find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Runs the commands in turn. Besides what each asks for: --json gives valid
    // JSON, -q keeps standard error empty on success, and a failure other than
    // a usage error says why in one line.
    void RunAll(const std::vector<Command> &commands)
    {
        for (const Command &c : commands) {
            SCOPED_TRACE(Join(c.args));
            const Result r = Run(Args(c.args, {"--virtual"}));
            auto has = [&](const char *arg) {
                return std::find(c.args.begin(), c.args.end(), arg) != c.args.end();
            };
            EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
            EXPECT_TRUE(!has("--json") || ValidJson(r.out)) << r.out;
            EXPECT_TRUE(!has("-q") || c.exitCode != 0 || r.err.empty()) << r.err;
            EXPECT_TRUE(c.exitCode == 0 || c.exitCode == 2 || Count(r.err, "\n") == 1) << r.err;
            for (const std::string &text : c.texts)
                EXPECT_NE((r.out + r.err).find(text), std::string::npos) << text << " in " << r.out << r.err;
            if (c.shape.empty()) continue;
            const auto o = std::find(c.args.begin(), c.args.end(), "-o");
            EXPECT_EQ(Shape(o == c.args.end() ? r.out : ReadText(*(o + 1))), c.shape);
        }
    }

    fs::path dir_;
};

// ----------------------------------------------------------------- info

TEST_F(CliTest, InfoAndHelp)
{
    RunAll({
        {{"info"}, 0, {"found (virtual scanner)", "Vendor:", "300, 600 dpi"}},
        {{"info", "--json"},
         0,
         {"\"ok\":true", "\"found\":true", "\"virtual\":true", "\"vendor\":\"VSCAN\"",
          "\"product\":\"VS2550 Virtual\"", "\"revision\":\"1.00\"", "\"max_width_pixels\":2550",
          "\"resolutions\":[300,600]"}},
        {{"info", "--json", "--abilities"},
         0,
         {"\"short_record\":{", "\"extended_record\":{", "\"decoded\":{", "\"usb_version\":\"USB 2.0\"",
          "\"scanner_type\":", "\"flags114\":"}},
        {{"info", "--abilities"}, 0, {"Short capability record", "UsbVersion:"}},
        {{"--help"}, 0, {"never switches to the virtual scanner", "--no-virtual", "libdocscan.so.1"}},
    });
}

TEST_F(CliTest, WithoutVirtualNoScannerIsAnErrorNeverTheTestChart)
{
    // No real scanner is attached where the tests run. Every spelling (default,
    // --no-virtual, --device, already under the preload as with
    // umockdev-wrapper, a virtual-only option) fails alike and writes nothing.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> preload = {"LD_PRELOAD=libumockdev-preload.so.0",
                                              std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                                                  ":verify_asan_link_order=0"};
    const std::string image = Path("w.pgm").string();
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
    } cases[] = {
        {{"info"}, {}},
        {{"info", "--no-virtual", "-q"}, {}},
        {{"scan", "--mode", "Gray", "-o", image, "--resolution", "75", "-y", "10"}, preload},
        {{"scan", "--paper", image, "-o", image}, {}},
        {{"nvm", "read", "--device"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Join(c.args));
        const Result r = Run(c.args, c.env);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("no scanner found; use --virtual for the built-in virtual scanner"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(image));
    }
    const Result json = Run({"info", "--json"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_TRUE(ValidJson(json.out)) << json.out;
    EXPECT_NE(json.out.find("\"status\":2019"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"found\":false"), std::string::npos) << json.out;
}

// ----------------------------------------------------------------- scan

// Each mode and format at 147 x 88 pixels (1-bit modes: 144, whole bytes).
// Standard error, not a terminal, gets occasional percent lines and a summary.
TEST_F(CliTest, ScansHaveTheRequestedShape)
{
    auto scan = [&](std::vector<std::string> args, const char *file) {
        if (*file != '\0') args = Args(args, {"-o", Path(file).string()});
        return Args(Args({"scan"}, args), kSmallArea);
    };
    RunAll({
        {scan({"--mode", "Gray"}, "g.pgm"), 0, {"100%", "147 x 88"}, "P5 147x88"},
        {scan({"-q", "--mode", "Halftone"}, ""), 0, {}, "P4 144x88"},
        {scan({"-q"}, "c.png"), 0, {}, "PNG 147x88 8-bit type 2"},
        {scan({"-q", "--mode", "Lineart"}, "l.png"), 0, {}, "PNG 144x88 1-bit type 0"},
        {scan({"-q", "--json"}, "t.tiff"), 0, {"\"width\":147"}, "TIFF"},
    });
}

// Pixel (x, y) of a gray or colour PNM, each channel as '+' (above 200), '-'
// (below 60) or '~'.
std::string Levels(const std::string &bytes, unsigned x, unsigned y)
{
    Pnm pnm;
    if (!ParsePnm(bytes, &pnm) || pnm.magic == "P4") return "not a gray or colour PNM";
    const size_t channels = pnm.magic == "P6" ? 3 : 1;
    std::string levels;
    for (size_t c = 0; c < channels; ++c) {
        const uint8_t value = pnm.pixels[(y * pnm.width + x) * channels + c];
        levels += value > 200 ? '+' : value < 60 ? '-' : '~';
    }
    return levels;
}

TEST_F(CliTest, ScansSeeTheTestChartThePaperAndTheDropout)
{
    // A blue picture, 1 x 1 inch at 75 dpi, to lay on the glass.
    const std::string paper = Path("paper.png").string();
    std::vector<uint8_t> blue(75 * 75 * 3);
    for (size_t i = 0; i < blue.size(); i += 3) blue[i + 2] = 255;
    std::string error;
    ASSERT_TRUE(docscan_cli::WriteImageFile(docscan_cli::ImageFormat::Png, paper,
                                            {75, 75, docscan_cli::PixelKind::Rgb, 75}, blue.data(), &error))
        << error;
    const struct {
        std::vector<std::string> args;
        unsigned x, y;
        const char *levels;
    } cases[] = {
        // The chart's red patch spans 0.25 to 1.25 inch across and down: pixel
        // (40, 40) at 75 dpi lies in it. Dropping red out makes it white in
        // gray; dropping green, black.
        {{}, 40, 40, "+--"},
        {{"--mode", "Gray", "--dropout", "red"}, 40, 40, "+"},
        {{"--mode", "Gray", "--dropout", "green"}, 40, 40, "-"},
        // The picture, and the white glass right of it.
        {{"--paper", paper}, 10, 10, "--+"},
        {{"--paper", paper}, 120, 10, "+++"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Join(c.args) + std::to_string(c.x));
        const Result r = Run(Args(Args({"scan", "--virtual", "-q"}, c.args), kSmallArea));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Levels(r.out, c.x, c.y), c.levels);
    }
}

// Any of SIGINT, SIGTERM and SIGHUP cancels the scan; a second one ends the
// program at once. Either way the file that was there is untouched and no
// temporary file is left.
TEST_F(CliTest, SignalsCancelTheScanAndKeepTheOldFile)
{
    const struct {
        int signal;
        bool twice;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGINT, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.twice ? " twice" : ""));
        const fs::path out = Path("big.png");
        std::ofstream(out) << "precious";
        fs::remove(Path("stderr")); // so that the last run's progress is not taken for this one's
        const pid_t pid = Start({"scan", "--virtual", "--resolution", "600", "-o", out.string()});
        AwaitText("%"); // the progress lines start after StartScan
        kill(pid, c.signal);
        if (c.twice) kill(pid, c.signal);
        const Result r = Wait(pid);
        ASSERT_EQ(r.signal, 0) << "killed instead of cancelling: " << r.err;
        EXPECT_EQ(r.exitCode, 128 + c.signal) << r.err;
        if (!c.twice) {
            EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("159"), std::string::npos) << r.err;
        }
        EXPECT_EQ(ReadText(out), "precious");
        size_t files = 0;
        for (const auto &entry : fs::directory_iterator(dir_))
            files += entry.path().filename().string()[0] == '.';
        EXPECT_EQ(files, 0u) << "a temporary file is left";
    }
}

// Several pages: one PDF, or one file per page named by a pattern. Between
// pages the batch takes front-panel buttons (1: next page, 3: done), here
// pressed on the virtual scanner in advance.
TEST_F(CliTest, BatchesTakeButtonPresses)
{
    Result r = Run(Args({"scan", "--virtual", "-q", "--mode", "Lineart", "--pages", "3", "--press", "1,1",
                         "-o", Path("doc.pdf").string()},
                        kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string info = testbed::commandOutput("pdfinfo '" + Path("doc.pdf").string() + "'");
    EXPECT_NE(info.find("Pages: 3"), std::string::npos) << info;
    EXPECT_NE(info.find("Page size: 138.24 x 84.48 pts"), std::string::npos) << info; // 144 x 88 at 75 dpi
    EXPECT_EQ(Count(testbed::commandOutput("pdfimages -list '" + Path("doc.pdf").string() + "'"), "ccitt"),
              3u);

    r = Run(Args({"scan", "--virtual", "-q", "--mode", "Gray", "--batch", "--press", "1,3", "-o",
                  Path("p%02d.jpg").string()},
                 kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(Path("p01.jpg")) && fs::exists(Path("p02.jpg")));
    EXPECT_FALSE(fs::exists(Path("p03.jpg")));

    // Ctrl-C while waiting for the third page keeps the two finished ones.
    fs::remove(Path("stderr"));
    const pid_t pid = Start(
        Args({"scan", "--virtual", "--batch", "--press", "1", "-o", Path("cut.pdf").string()}, kSmallArea));
    AwaitText("page 2 done");
    kill(pid, SIGINT);
    r = Wait(pid);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_NE(r.err.find("kept the 2 finished pages in"), std::string::npos) << r.err;
    info = testbed::commandOutput("pdfinfo '" + Path("cut.pdf").string() + "'");
    EXPECT_NE(info.find("Pages: 2"), std::string::npos) << info;
}

TEST_F(CliTest, TheEmulationLeavesNoFolderBehind)
{
    // The emulation's folder goes on a normal exit, an error exit, and when a
    // signal at its default action (or one the command catches) ends the run.
    const fs::path tmp = Path("tmp");
    fs::create_directory(tmp);
    const std::string env = "TMPDIR=" + tmp.string();
    EXPECT_EQ(Run({"info", "--virtual"}, {env}).exitCode, 0);
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_EQ(Run({"scan", "--virtual", "-q", "-l", "300", "-o", Path("x.png").string()}, {env}).exitCode, 2);
    EXPECT_TRUE(fs::is_empty(tmp));
    for (int signal : {SIGHUP, SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        fs::remove(Path("stderr"));
        const pid_t pid = Start({"buttons", "--virtual"}, {env});
        AwaitText("waiting");
        EXPECT_FALSE(fs::is_empty(tmp));
        kill(pid, signal);
        const Result r = Wait(pid);
        EXPECT_TRUE(r.signal == signal || r.exitCode == 0) << r.err;
        EXPECT_TRUE(fs::is_empty(tmp));
    }
}

// ---------------------------------------------------------- maintenance

TEST_F(CliTest, MaintenanceCommands)
{
    const std::string nvm = Path("nvm.bin").string();
    std::ofstream(Path("gamma.bin"), std::ios::binary) << std::string(256, '\x40');
    RunAll({
        {{"nvm", "init", "CLI-TEST-7", "--nvm-file", nvm}},
        {{"nvm", "read", "--json", "--nvm-file", nvm},
         0,
         {"\"identification\":\"CLI-TEST-7\"", "\"value70\":15"}},
        {{"nvm", "check", "CLI-TEST-7", "--nvm-file", nvm}},
        {{"nvm", "check", "SOMEONE-ELSE", "--nvm-file", nvm}, 1, {"2999"}},
        {{"nvm", "test"}},
        {{"gamma", "--value", "2.2", "--channel", "2"}},
        {{"gamma", Path("gamma.bin").string(), "--json"}, 0, {"\"middle\":64"}},
        {{"power-save", "30", "--json"}, 0, {"\"time\":30"}},
        {{"power-off", "240"}},
    });
    Result r = Run({"buttons", "--virtual", "--press", "2,3,1", "--count", "3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "button 2 pressed\nbutton 3 pressed\nbutton 1 pressed\n");
    r = Run({"buttons", "--virtual", "--seconds", "0.3", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(CliTest, BadFilesAreRefusedInOneLineAndDeviceTextIsEscaped)
{
    // Refused at once, before anything is read without bound or waited on;
    // devices are written straight and never removed.
    const std::string fifo = Path("fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(Path("big.png"));
    fs::resize_file(Path("big.png"), (64u << 20) + 1);
    std::ofstream(Path("short.bin")) << "0123456789";
    RunAll({
        {{"info", "--paper", fifo}, 3, {"not a regular file"}},
        {{"info", "--paper", "/dev/zero"}, 3, {"not a regular file"}},
        {{"info", "--paper", Path("big.png").string()}, 3, {"larger than"}},
        {{"scan", "--paper", Path("none.png").string(), "-o", Path("x.png").string()}, 3, {"none.png"}},
        {{"nvm", "read", "--nvm-file", "/dev/zero"}, 3, {"not a regular file"}},
        {{"nvm", "read", "--nvm-file", Path("short.bin").string()}, 3, {"128-byte"}},
        {{"nvm", "init", "X", "--nvm-file", Path("none/nvm.bin").string()}, 3, {"cannot create it"}},
        {Args({"scan", "-q", "--format", "pnm", "-o", "/dev/full"}, kSmallArea), 3, {"No space left"}},
    });
    EXPECT_FALSE(fs::exists(Path("none")));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));

    // An identification holding terminal controls is shown escaped.
    const std::string nvm = Path("nvm.bin").string();
    ASSERT_EQ(Run({"nvm", "read", "--virtual", "-q", "--nvm-file", nvm}).exitCode, 0);
    std::string record = ReadText(nvm);
    ASSERT_EQ(record.size(), 128u);
    record.replace(46, 10, "\x1b]0;x\x07\x1b[2J");
    std::ofstream(nvm, std::ios::binary | std::ios::trunc) << record;
    const Result r = Run({"nvm", "read", "--virtual", "--nvm-file", nvm});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\x1B]0;x\\x07\\x1B[2J"), std::string::npos) << r.out;
}

// ------------------------------------------------------------ usage

TEST_F(CliTest, BadCommandLinesGiveUsageErrorsNotCrashes)
{
    // Color has nothing to drop; JPEG holds no 1-bit pages; one file per page
    // needs a pattern; -l 300 is off the glass, found after start-up; an
    // identification has up to 24 characters.
    // clang-format off
    const char *cases[] = {
        "", "frobnicate", "scan --bogus", "scan --resolution abc", "scan --resolution 1200",
        "scan --resolution", "scan --mode Sepia", "scan --dropout red", "scan --format gif -o x.gif",
        "scan -x -5", "scan --mode Lineart -o x.jpg", "scan --pages 2 -o x.png",
        "scan --batch --pages 2 -o x.pdf", "scan --compression 10 -o x.png",
        "scan --virtual -q -l 300 -o x.png", "info --virtual --no-virtual", "info extra", "nvm", "nvm erase",
        "nvm init", "nvm init 0123456789012345678901234", "gamma", "gamma /dev/zero", "gamma --value 0",
        "gamma --value 2 --channel 4", "power-save", "power-off -1", "power-off 65536", "buttons --count 0",
        "--json=1 info"};
    // clang-format on
    for (const char *line : cases) {
        SCOPED_TRACE(line);
        std::vector<std::string> args;
        std::istringstream words(line);
        for (std::string word; words >> word;) args.push_back(word);
        const Result r = Run(args);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find("docscan"), std::string::npos) << r.err;
    }
}

} // namespace
