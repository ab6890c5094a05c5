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
#include <cstring>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "testbed/testbed.h"
#include "tools/imagefile.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int exitCode = -1; // -1 when the program ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

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

std::vector<uint8_t> ReadBytes(const fs::path &path)
{
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

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

    fs::path dir_;
};

// ------------------------------------------------------- a small JSON check

class JsonChecker {
public:
    explicit JsonChecker(const std::string &text) : s_(text) {}
    bool Valid()
    {
        Space();
        if (!Value()) return false;
        Space();
        return i_ == s_.size();
    }

private:
    void Space()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool Literal(const char *word)
    {
        const std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool String()
    {
        if (i_ >= s_.size() || s_[i_] != '"') return false;
        for (++i_; i_ < s_.size(); ++i_) {
            const unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                ++i_;
                if (i_ >= s_.size()) return false;
                if (s_[i_] == 'u') {
                    for (int k = 0; k < 4; ++k) {
                        if (++i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_])))
                            return false;
                    }
                } else if (std::string("\"\\/bfnrt").find(s_[i_]) == std::string::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool Number()
    {
        const size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        while (i_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[i_])) || s_[i_] == '.' ||
                                  s_[i_] == 'e' || s_[i_] == 'E' || s_[i_] == '+' || s_[i_] == '-')) {
            ++i_;
        }
        return i_ > start && std::isdigit(static_cast<unsigned char>(s_[i_ - 1]));
    }
    bool Value()
    {
        if (i_ >= s_.size()) return false;
        switch (s_[i_]) {
        case '{': return Object();
        case '[': return Array();
        case '"': return String();
        case 't': return Literal("true");
        case 'f': return Literal("false");
        case 'n': return Literal("null");
        default: return Number();
        }
    }
    bool Object()
    {
        ++i_;
        Space();
        if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
        for (;;) {
            Space();
            if (!String()) return false;
            Space();
            if (i_ >= s_.size() || s_[i_++] != ':') return false;
            Space();
            if (!Value()) return false;
            Space();
            if (i_ >= s_.size()) return false;
            if (s_[i_] == '}') return ++i_, true;
            if (s_[i_++] != ',') return false;
        }
    }
    bool Array()
    {
        ++i_;
        Space();
        if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
        for (;;) {
            Space();
            if (!Value()) return false;
            Space();
            if (i_ >= s_.size()) return false;
            if (s_[i_] == ']') return ++i_, true;
            if (s_[i_++] != ',') return false;
        }
    }

    const std::string &s_;
    size_t i_ = 0;
};

bool ValidJson(const std::string &text) { return JsonChecker(text).Valid(); }

TEST(JsonCheckerTest, TellsValidFromInvalid)
{
    EXPECT_TRUE(ValidJson("{\"a\":[1,2.5,-3e2],\"b\":{\"c\":true,\"d\":null},\"e\":\"x\\u00e9\"}\n"));
    EXPECT_FALSE(ValidJson("{\"a\":1,}"));
    EXPECT_FALSE(ValidJson("{\"a\" 1}"));
    EXPECT_FALSE(ValidJson("{\"a\":1} x"));
    EXPECT_FALSE(ValidJson("{\"a\":\"\n\"}"));
}

// -------------------------------------------------------------- image files

struct Pnm {
    std::string magic;
    unsigned width = 0, height = 0;
    std::vector<uint8_t> pixels;
};

// Parses a binary PNM (P4, P5, P6 with maxval 255); false when malformed.
bool ParsePnm(const std::vector<uint8_t> &bytes, Pnm *pnm)
{
    std::string header(bytes.begin(), bytes.begin() + static_cast<long>(std::min<size_t>(bytes.size(), 64)));
    unsigned maxval = 255;
    char magic[3] = {};
    int consumed = 0;
    if (std::sscanf(header.c_str(), "%2s %u %u%n", magic, &pnm->width, &pnm->height, &consumed) != 3)
        return false;
    pnm->magic = magic;
    if (pnm->magic != "P4") {
        int more = 0;
        if (std::sscanf(header.c_str() + consumed, " %u%n", &maxval, &more) != 1 || maxval != 255)
            return false;
        consumed += more;
    }
    const size_t start = static_cast<size_t>(consumed) + 1; // one white-space byte ends the header
    const size_t bpl = pnm->magic == "P4"   ? (pnm->width + 7) / 8
                       : pnm->magic == "P5" ? pnm->width
                                            : pnm->width * 3;
    if (bytes.size() != start + bpl * pnm->height) return false;
    pnm->pixels.assign(bytes.begin() + static_cast<long>(start), bytes.end());
    return true;
}

struct PngHeader {
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colourType = -1;
};

bool ParsePngHeader(const std::vector<uint8_t> &bytes, PngHeader *h)
{
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 33 || !std::equal(kSignature, kSignature + 8, bytes.begin())) return false;
    if (std::string(bytes.begin() + 12, bytes.begin() + 16) != "IHDR") return false;
    auto be32 = [&](size_t at) {
        return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
               (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
    };
    h->width = be32(16);
    h->height = be32(20);
    h->bitDepth = bytes[24];
    h->colourType = bytes[25];
    return true;
}

// A 50 x 30 mm area at 75 dpi: 591 x 354 area units, so 147 x 88 pixels.
const std::vector<std::string> kSmallArea = {"--resolution", "75", "-x", "50", "-y", "30"};

std::vector<std::string> Args(std::vector<std::string> head, const std::vector<std::string> &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// ----------------------------------------------------------------- info

TEST_F(CliTest, InfoFindsTheVirtualScanner)
{
    const Result r = Run({"info", "--virtual"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("found (virtual scanner)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Vendor:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("300, 600 dpi"), std::string::npos) << r.out;
}

TEST_F(CliTest, InfoJsonIsValidAndCarriesTheIdentity)
{
    const Result r = Run({"info", "--virtual", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ValidJson(r.out)) << r.out;
    for (const char *key :
         {"\"ok\":true", "\"found\":true", "\"virtual\":true", "\"vendor\":\"", "\"product\":\"",
          "\"revision\":\"", "\"max_width_pixels\":", "\"resolutions\":["}) {
        EXPECT_NE(r.out.find(key), std::string::npos) << key << " in " << r.out;
    }
    EXPECT_EQ(r.out.find("\"vendor\":\"\""), std::string::npos) << "an empty vendor: " << r.out;
}

TEST_F(CliTest, InfoAbilitiesShowBothRecords)
{
    const Result r = Run({"info", "--virtual", "--json", "--abilities"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ValidJson(r.out)) << r.out;
    for (const char *key : {"\"short_record\":{", "\"extended_record\":{", "\"decoded\":{",
                            "\"usb_version\":\"USB 2.0\"", "\"scanner_type\":", "\"flags114\":"}) {
        EXPECT_NE(r.out.find(key), std::string::npos) << key << " in " << r.out;
    }
    const Result text = Run({"info", "--virtual", "--abilities"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Short capability record"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("UsbVersion:"), std::string::npos) << text.out;
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
        SCOPED_TRACE(c.args.back());
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

TEST_F(CliTest, ScanGrayPnmHasTheRequestedShape)
{
    const Result r =
        Run(Args({"scan", "--virtual", "--mode", "Gray", "-o", Path("g.pgm").string()}, kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Pnm pnm;
    ASSERT_TRUE(ParsePnm(ReadBytes(Path("g.pgm")), &pnm));
    EXPECT_EQ(pnm.magic, "P5");
    EXPECT_EQ(pnm.width, 147u);
    EXPECT_EQ(pnm.height, 88u);
    // Not stderr on a terminal: occasional percent lines, then a summary.
    EXPECT_NE(r.err.find("100%"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("147 x 88"), std::string::npos) << r.err;
}

TEST_F(CliTest, ScanColourPngAndLineartPng)
{
    Result r = Run(Args({"scan", "--virtual", "-q", "-o", Path("c.png").string()}, kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << "--quiet: " << r.err;
    PngHeader h;
    ASSERT_TRUE(ParsePngHeader(ReadBytes(Path("c.png")), &h));
    EXPECT_EQ(h.width, 147u);
    EXPECT_EQ(h.height, 88u);
    EXPECT_EQ(h.bitDepth, 8);
    EXPECT_EQ(h.colourType, 2); // RGB

    r = Run(Args({"scan", "--virtual", "-q", "--mode", "Lineart", "-o", Path("l.png").string()}, kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(ParsePngHeader(ReadBytes(Path("l.png")), &h));
    EXPECT_EQ(h.width, 144u); // whole bytes of 1-bit pixels
    EXPECT_EQ(h.height, 88u);
    EXPECT_EQ(h.bitDepth, 1);
    EXPECT_EQ(h.colourType, 0); // gray
}

TEST_F(CliTest, ScanSeesTheTestChartAndTheDropout)
{
    // The chart's red patch spans 0.25 to 1.25 inch across and down: pixel
    // (40, 40) at 75 dpi lies in it.
    Result r =
        Run(Args({"scan", "--virtual", "-q", "--format", "pnm", "-o", Path("c").string()}, kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Pnm pnm;
    ASSERT_TRUE(ParsePnm(ReadBytes(Path("c")), &pnm));
    ASSERT_EQ(pnm.magic, "P6");
    const size_t at = (40u * pnm.width + 40u) * 3;
    EXPECT_GT(pnm.pixels[at], 200) << "red";
    EXPECT_LT(pnm.pixels[at + 1], 60) << "green";
    EXPECT_LT(pnm.pixels[at + 2], 60) << "blue";

    // Dropping red out makes the red patch white in gray; dropping green, black.
    for (const char *dropout : {"red", "green"}) {
        r = Run(Args(
            {"scan", "--virtual", "-q", "--mode", "Gray", "--dropout", dropout, "-o", Path("d.pgm").string()},
            kSmallArea));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_TRUE(ParsePnm(ReadBytes(Path("d.pgm")), &pnm));
        const uint8_t value = pnm.pixels[40u * pnm.width + 40u];
        if (std::string(dropout) == "red") {
            EXPECT_GT(value, 200);
        } else {
            EXPECT_LT(value, 60);
        }
    }
}

TEST_F(CliTest, ScanToStandardOutputAndTiff)
{
    Result r = Run(Args({"scan", "--virtual", "-q", "--mode", "Halftone"}, kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Pnm pnm;
    ASSERT_TRUE(ParsePnm({r.out.begin(), r.out.end()}, &pnm)) << "PNM on standard output";
    EXPECT_EQ(pnm.magic, "P4");
    EXPECT_EQ(pnm.width, 144u);

    r = Run(Args({"scan", "--virtual", "-q", "--json", "-o", Path("t.tiff").string()}, kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ValidJson(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"width\":147"), std::string::npos) << r.out;
    const std::vector<uint8_t> tiff = ReadBytes(Path("t.tiff"));
    ASSERT_GE(tiff.size(), 4u);
    EXPECT_EQ(std::string(tiff.begin(), tiff.begin() + 4), std::string("II*\0", 4));
}

TEST_F(CliTest, ScanOfAPaperPicture)
{
    // A blue picture, 1 x 1 inch at 75 dpi, laid on the glass.
    const docscan_cli::ImageInfo info{75, 75, docscan_cli::PixelKind::Rgb, 75};
    std::vector<uint8_t> blue(75 * 75 * 3);
    for (size_t i = 0; i < blue.size(); i += 3) blue[i + 2] = 255;
    std::string error;
    ASSERT_TRUE(docscan_cli::WriteImageFile(docscan_cli::ImageFormat::Png, Path("paper.png").string(), info,
                                            blue.data(), &error))
        << error;
    const Result r = Run(Args({"scan", "--virtual", "-q", "--paper", Path("paper.png").string(), "--format",
                               "pnm", "-o", Path("p.ppm").string()},
                              kSmallArea));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Pnm pnm;
    ASSERT_TRUE(ParsePnm(ReadBytes(Path("p.ppm")), &pnm));
    const size_t inside = (10u * pnm.width + 10u) * 3;
    EXPECT_LT(pnm.pixels[inside], 60);
    EXPECT_GT(pnm.pixels[inside + 2], 200);
    const size_t outside = (10u * pnm.width + 120u) * 3; // right of the picture: white glass
    EXPECT_GT(pnm.pixels[outside], 200);

    const Result missing =
        Run({"scan", "--virtual", "--paper", Path("none.png").string(), "-o", Path("x.png").string()});
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.err.find("none.png"), std::string::npos) << missing.err;
}

// Waits until docscan's standard error holds `text` (or a minute passes).
void AwaitText(const fs::path &file, const std::string &text)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ReadText(file).find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
        AwaitText(Path("stderr"), "%"); // the progress lines start after StartScan
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

TEST_F(CliTest, DevicesAreWrittenStraightAndNeverRemoved)
{
    const Result r = Run(Args({"scan", "--virtual", "-q", "--format", "pnm", "-o", "/dev/full"}, kSmallArea));
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("No space left"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
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
    AwaitText(Path("stderr"), "page 2 done");
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
    auto empty = [&] { return fs::is_empty(tmp); };
    EXPECT_EQ(Run({"info", "--virtual"}, {env}).exitCode, 0);
    EXPECT_TRUE(empty());
    EXPECT_EQ(Run({"scan", "--virtual", "-q", "-l", "300", "-o", Path("x.png").string()}, {env}).exitCode, 2);
    EXPECT_TRUE(empty());
    for (int signal : {SIGHUP, SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        fs::remove(Path("stderr"));
        const pid_t pid = Start({"buttons", "--virtual"}, {env});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ReadText(Path("stderr")).find("waiting") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_FALSE(empty());
        kill(pid, signal);
        const Result r = Wait(pid);
        EXPECT_TRUE(r.signal == signal || r.exitCode == 0) << r.err;
        EXPECT_TRUE(empty());
    }
}

// ---------------------------------------------------------- maintenance

TEST_F(CliTest, NonVolatileMemoryCommands)
{
    const std::string nvm = Path("nvm.bin").string();
    Result r = Run({"nvm", "init", "CLI-TEST-7", "--virtual", "--nvm-file", nvm});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Run({"nvm", "read", "--virtual", "--json", "--nvm-file", nvm});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ValidJson(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"identification\":\"CLI-TEST-7\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"value70\":15"), std::string::npos) << r.out;

    r = Run({"nvm", "check", "CLI-TEST-7", "--virtual", "--nvm-file", nvm});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = Run({"nvm", "check", "SOMEONE-ELSE", "--virtual", "--nvm-file", nvm});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("2999"), std::string::npos) << r.err;
    r = Run({"nvm", "test", "--virtual"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(CliTest, VirtualScannerFilesAreBoundedAndDeviceTextIsEscaped)
{
    // Refused at once with one line, before anything is read without bound or waited on.
    const std::string fifo = Path("fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(Path("big.png"));
    fs::resize_file(Path("big.png"), (64u << 20) + 1);
    std::ofstream(Path("short.bin")) << "0123456789";
    const struct {
        std::vector<std::string> args;
        const char *reason;
    } refused[] = {
        {{"info", "--paper", fifo}, "not a regular file"},
        {{"info", "--paper", "/dev/zero"}, "not a regular file"},
        {{"info", "--paper", Path("big.png").string()}, "larger than"},
        {{"nvm", "read", "--nvm-file", "/dev/zero"}, "not a regular file"},
        {{"nvm", "read", "--nvm-file", Path("short.bin").string()}, "128-byte"},
        {{"nvm", "init", "X", "--nvm-file", Path("none/nvm.bin").string()}, "cannot create it"},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.args.back());
        const Result result = Run(Args(r.args, {"--virtual"}));
        EXPECT_EQ(result.exitCode, 3) << result.err;
        EXPECT_NE(result.err.find(r.reason), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_FALSE(fs::exists(Path("none")));

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

TEST_F(CliTest, GammaPowerAndButtons)
{
    Result r = Run({"gamma", "--value", "2.2", "--channel", "2", "--virtual"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::ofstream(Path("gamma.bin"), std::ios::binary) << std::string(256, '\x40');
    r = Run({"gamma", Path("gamma.bin").string(), "--virtual", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ValidJson(r.out)) << r.out;
    EXPECT_NE(r.out.find("\"middle\":64"), std::string::npos) << r.out;

    r = Run({"power-save", "30", "--virtual", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"time\":30"), std::string::npos) << r.out;
    r = Run({"power-off", "240", "--virtual"});
    EXPECT_EQ(r.exitCode, 0) << r.err;

    r = Run({"buttons", "--virtual", "--press", "2,3,1", "--count", "3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "button 2 pressed\nbutton 3 pressed\nbutton 1 pressed\n");
    r = Run({"buttons", "--virtual", "--seconds", "0.3", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

// ------------------------------------------------------------ usage

TEST_F(CliTest, BadCommandLinesGiveUsageErrorsNotCrashes)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"scan", "--bogus"},
        {"scan", "--resolution", "abc"},
        {"scan", "--resolution", "1200"},
        {"scan", "--resolution"},
        {"scan", "--mode", "Sepia"},
        {"scan", "--dropout", "red"}, // Color has nothing to drop
        {"scan", "--format", "gif", "-o", "x.gif"},
        {"scan", "-x", "-5"},
        {"scan", "--mode", "Lineart", "-o", "x.jpg"}, // JPEG holds no 1-bit pages
        {"scan", "--pages", "2", "-o", "x.png"},      // one file per page needs a pattern
        {"scan", "--batch", "--pages", "2", "-o", "x.pdf"},
        {"scan", "--compression", "10", "-o", "x.png"},
        {"scan", "--virtual", "-q", "-l", "300", "-o", "x.png"}, // off the glass, found after start-up
        {"info", "--virtual", "--no-virtual"},
        {"info", "extra"},
        {"nvm"},
        {"nvm", "erase"},
        {"nvm", "init"},
        {"nvm", "init", "0123456789012345678901234"}, // 25 characters
        {"gamma"},
        {"gamma", "/dev/zero"},
        {"gamma", "--value", "0"},
        {"gamma", "--value", "2", "--channel", "4"},
        {"power-save"},
        {"power-off", "-1"},
        {"power-off", "65536"},
        {"buttons", "--count", "0"},
        {"--json=1", "info"},
    };
    for (const auto &args : cases) {
        std::string line;
        for (const std::string &a : args) line += a + " ";
        SCOPED_TRACE(line);
        const Result r = Run(args);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find("docscan"), std::string::npos) << r.err;
    }
}

TEST_F(CliTest, HelpExplainsTheVirtualScanner)
{
    const Result r = Run({"--help"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("never switches to the virtual scanner"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--no-virtual"), std::string::npos);
    EXPECT_NE(r.out.find("libdocscan.so.1"), std::string::npos);
}

} // namespace
