#include "testbed/testbed.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace testbed {

namespace fs = std::filesystem;

namespace {
// The driver writes its trace only into folders that neither group nor others
// may write: the folders and files the tests make for it must not be, whatever
// umask the runner has.
[[maybe_unused]] const mode_t kTestUmask = umask(022);
} // namespace

void ScannerTest::SetUp()
{
    bus_ = std::make_unique<sim::VirtualScannerBus>(busOptions());
    std::string error;
    ASSERT_TRUE(bus_->start(&error)) << "virtual scanner bus: " << error;
}

void ScannerTest::TearDown()
{
    if (bus_) bus_->stop();
}

std::string ScannerTest::transcriptText(std::size_t index)
{
    std::string text;
    for (const sim::Transaction &t : transcript(index)) text += sim::describe(t) + '\n';
    return text;
}

std::vector<std::uint8_t> ScannerTest::devicePage(std::size_t index)
{
    const auto window = scanner(index).window();
    if (!window) return {};
    return sim::renderDeviceImage(*scanner(index).imageSource(), window->geometry);
}

DrvLogGuard::DrvLogGuard(bool createDir)
{
    std::error_code ec;
    hadDir_ = fs::exists(kDrvLogDir, ec);
    if (hadDir_) {
        // Unique per guard: guards may nest.
        static int counter = 0;
        saved_ = fs::path("/tmp") /
                 ("DrvLog.testbed-saved." + std::to_string(getpid()) + "." + std::to_string(++counter));
        fs::remove_all(saved_, ec);
        fs::rename(kDrvLogDir, saved_, ec);
        if (ec) {
            // Could not move it aside (e.g. another file system): copy instead.
            fs::copy(kDrvLogDir, saved_, fs::copy_options::recursive, ec);
            fs::remove_all(kDrvLogDir, ec);
        }
    }
    if (createDir) fs::create_directories(kDrvLogDir, ec);
}

DrvLogGuard::~DrvLogGuard()
{
    std::error_code ec;
    fs::remove_all(kDrvLogDir, ec);
    if (hadDir_) {
        fs::rename(saved_, kDrvLogDir, ec);
        if (ec) {
            fs::copy(saved_, kDrvLogDir, fs::copy_options::recursive, ec);
            fs::remove_all(saved_, ec);
        }
    }
}

bool writeDebugConf(const std::vector<std::string> &lines)
{
    std::error_code ec;
    fs::create_directories(kDrvLogDir, ec);
    std::ofstream out(kDrvLogDir / "Debug.conf", std::ios::trunc);
    for (const std::string &line : lines) out << line << '\n';
    return static_cast<bool>(out.flush());
}

std::vector<std::string> readLines(const fs::path &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> traceLines(const char *file) { return readLines(kDrvLogDir / file); }

std::vector<std::string> golden(const std::string &file, const std::string &block)
{
    const fs::path path = fs::path(DOCSCAN_TEST_DATA_DIR) / file;
    std::vector<std::string> lines;
    bool inBlock = false, found = false;
    for (const std::string &line : readLines(path)) {
        if (!line.empty() && line[0] == '[') {
            inBlock = line == "[" + block + "]";
            found = found || inBlock;
        } else if (inBlock && (line.empty() || line[0] != '#')) {
            lines.push_back(line);
        }
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    EXPECT_TRUE(found) << "no block [" << block << "] in " << path;
    return lines;
}

::testing::AssertionResult containsInOrder(const std::vector<std::string> &lines,
                                           const std::vector<std::string> &expected)
{
    auto at = lines.begin();
    for (const std::string &line : expected) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end())
            return ::testing::AssertionFailure() << "missing (in order): \"" << line << "\"";
        ++at;
    }
    return ::testing::AssertionSuccess();
}

bool hasLine(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool hasLineStartingWith(const std::vector<std::string> &lines, const std::string &prefix)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
}

std::vector<std::uint8_t> readFileBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> commandBlock(std::initializer_list<std::uint8_t> head)
{
    std::vector<std::uint8_t> block(10, 0);
    std::copy(head.begin(), head.begin() + std::min<std::size_t>(head.size(), block.size()), block.begin());
    return block;
}

std::vector<std::uint8_t> bytesOf(const void *data, std::size_t size)
{
    const auto *p = static_cast<const std::uint8_t *>(data);
    return std::vector<std::uint8_t>(p, p + size);
}

void putBigEndian(std::uint8_t *at, std::uint32_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

std::array<std::uint8_t, sim::kWindowDescriptorSize> windowDescriptor(unsigned dpi, std::uint8_t composition,
                                                                      std::uint8_t bits,
                                                                      std::uint32_t bytesPerLine,
                                                                      std::uint16_t lines, std::uint32_t top)
{
    std::array<std::uint8_t, sim::kWindowDescriptorSize> d{};
    putBigEndian(&d[2], dpi, 2);
    putBigEndian(&d[4], dpi, 2);
    putBigEndian(&d[10], top, 4);
    d[25] = composition;
    d[26] = bits;
    putBigEndian(&d[45], bytesPerLine, 2);
    d[59] = static_cast<std::uint8_t>(bytesPerLine >> 16);
    putBigEndian(&d[47], lines, 2);
    return d;
}

std::string commandOutput(const std::string &command)
{
    std::string text;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        int c;
        while ((c = std::fgetc(pipe)) != EOF) {
            if (c != ' ' || text.empty() || text.back() != ' ') text.push_back(static_cast<char>(c));
        }
        pclose(pipe);
    }
    return text;
}

} // namespace testbed
