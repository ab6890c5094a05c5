// The shared test bed: the debug directory guard and its helpers, and the
// fixture's bus. Touches /tmp/DrvLog: DRVLOG_RESOURCE_LOCK.
#include <fstream>

#include "testbed/testbed.h"

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

TEST(SimTestbed, DrvLogGuardRestoresWhatWasThere)
{
    // Whatever the machine has is kept by an outer guard; inside it, set up a
    // known directory and check that an inner guard restores it exactly.
    testbed::DrvLogGuard outer;
    ASSERT_TRUE(fs::is_directory(testbed::kDrvLogDir));
    ASSERT_TRUE(testbed::writeDebugConf({"DebugLevel=2", "SavePath=/tmp/DrvLog/"}));
    writeFile(testbed::kDrvLogDir / "vemoDll.txt", "old log\n");
    {
        testbed::DrvLogGuard inner;
        EXPECT_TRUE(fs::is_directory(testbed::kDrvLogDir));
        EXPECT_TRUE(fs::is_empty(testbed::kDrvLogDir));
        ASSERT_TRUE(testbed::writeDebugConf({"DebugLevel=7"}));
        writeFile(testbed::kDrvLogDir / "vemoDll.txt", "new log\n");
        writeFile(testbed::kDrvLogDir / "Image0.raw", "raw");
    }
    EXPECT_EQ(testbed::readLines(testbed::kDrvLogDir / "Debug.conf"),
              (std::vector<std::string>{"DebugLevel=2", "SavePath=/tmp/DrvLog/"}));
    EXPECT_EQ(testbed::readLines(testbed::kDrvLogDir / "vemoDll.txt"), (std::vector<std::string>{"old log"}));
    EXPECT_FALSE(fs::exists(testbed::kDrvLogDir / "Image0.raw"));
}

TEST(SimTestbed, DrvLogGuardRemovesADirectoryThatWasNotThere)
{
    testbed::DrvLogGuard outer(false);
    ASSERT_FALSE(fs::exists(testbed::kDrvLogDir));
    {
        testbed::DrvLogGuard inner(false);
        EXPECT_FALSE(fs::exists(testbed::kDrvLogDir));
        ASSERT_TRUE(testbed::writeDebugConf({"DebugLevel=3"})); // creates the directory
        EXPECT_TRUE(fs::exists(testbed::kDrvLogDir / "Debug.conf"));
    }
    EXPECT_FALSE(fs::exists(testbed::kDrvLogDir));
}

TEST(SimTestbed, ReadLinesDropsLineEnds)
{
    testbed::DrvLogGuard guard;
    writeFile(testbed::kDrvLogDir / "a.txt", "one\r\ntwo\nthree");
    EXPECT_EQ(testbed::readLines(testbed::kDrvLogDir / "a.txt"),
              (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_TRUE(testbed::readLines(testbed::kDrvLogDir / "missing.txt").empty());
    EXPECT_EQ(testbed::readFileBytes(testbed::kDrvLogDir / "a.txt").size(), 14u);
}

class FixtureTest : public testbed::ScannerTest {};

TEST_F(FixtureTest, StartsOneStandardScanner)
{
    ASSERT_TRUE(bus().running());
    EXPECT_EQ(bus().deviceCount(), 1u);
    EXPECT_EQ(bus().devicePath(), "/dev/bus/usb/001/002");
    EXPECT_EQ(scanner().inquiry(), sim::InquiryProfile::standard().bytes());
    EXPECT_TRUE(transcript().empty());
    EXPECT_TRUE(fs::exists(bus().rootDir()));
}

} // namespace
