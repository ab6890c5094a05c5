// Support layer: byte order, thread wrappers, debug configuration, log writer
// and dumps. DRVLOG_RESOURCE_LOCK: the log tests run in an emptied /tmp/DrvLog.
#include "api/scanner.h"
#include "support/NxByteOrder.h"
#include "support/NxThreadType.h"
#include "support/debug.h"
#include "testbed/testbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kLogDir = testbed::kDrvLogDir;

std::string ReadFile(const fs::path &path)
{
    const auto bytes = testbed::readFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

void WriteFile(const fs::path &path, const std::string &text) { std::ofstream(path) << text; }

void WriteConf(const std::string &text) { WriteFile(kLogDir / "Debug.conf", text); }

bool Configure(const std::string &text)
{
    WriteConf(text);
    return DebugInitialize();
}

// Each test starts from the state at load: level 0, empty log directory.
class SupportLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        gDebugLevel = 0;
        DebugFilePath[0] = '\0';
    }
    testbed::DrvLogGuard guard_;
};

DebugConfig ParseText(const std::string &text)
{
    DebugConfig config;
    std::strcpy(config.savePath, "/tmp/DrvLog/");
    FILE *stream = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    EXPECT_NE(stream, nullptr);
    ParseDebugConfigStream(stream, config);
    std::fclose(stream);
    return config;
}

TEST(SupportByteOrder, ValuesAreReversedInPlaceAtAnyAddress)
{
    EXPECT_EQ(DeviceToHostWORD(0x1234), 0x3412);
    EXPECT_EQ(DeviceToHostDWORD(0x12345678u), 0x78563412u);
    // Odd offsets: the pointer forms must not demand alignment. Each swaps
    // in place and returns the value read big-endian; twice restores it.
    alignas(8) uint8_t bytes[10] = {0xAA, 1, 2, 3, 4, 5, 6, 7, 8, 0xBB};
    const std::vector<uint8_t> original(bytes, bytes + 10);
    auto swappedOnce = [&](size_t n, uint64_t value, uint64_t want) {
        std::vector<uint8_t> swapped = original;
        std::reverse(swapped.begin() + 1, swapped.begin() + 1 + static_cast<long>(n));
        EXPECT_EQ(value, want) << n;
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 10), swapped) << n;
    };
    auto *word = reinterpret_cast<unsigned short *>(bytes + 1);
    auto *dword = reinterpret_cast<unsigned int *>(bytes + 1);
    swappedOnce(2, DeviceToHostWORDPtr(word), 0x0102);
    DeviceToHostWORDPtr(word);
    swappedOnce(4, DeviceToHostDWORDPtr(dword), 0x01020304u);
    DeviceToHostDWORDPtr(dword);
    swappedOnce(8, DeviceToHostQWORDPtr(bytes + 1), 0x0102030405060708ull);
    DeviceToHostQWORDPtr(bytes + 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 10), original);
    EXPECT_EQ(DeviceToHostWORDPtr(nullptr), 0);
    EXPECT_EQ(DeviceToHostDWORDPtr(nullptr), 0u);
    EXPECT_EQ(DeviceToHostQWORDPtr(nullptr), 0u);
}

TEST(SupportByteOrder, BigEndianFieldHelpers)
{
    uint8_t field[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    PutBE24(field + 2, 0xFFABCDEF); // the high byte does not fit and is dropped
    PutBE16(field, 0x1234);
    EXPECT_EQ(std::vector<uint8_t>(field, field + 6),
              (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD, 0xEF, 0xEE}));
    EXPECT_EQ(GetBE16(field), 0x1234);
    EXPECT_EQ(GetBE24(field + 2), 0xABCDEFu);
    PutBE32(field + 1, 0x89ABCDEF);
    EXPECT_EQ(std::vector<uint8_t>(field, field + 6),
              (std::vector<uint8_t>{0x12, 0x89, 0xAB, 0xCD, 0xEF, 0xEE}));
    EXPECT_EQ(GetBE32(field + 1), 0x89ABCDEFu);
}

void *CountAndReturn(void *argument)
{
    static_cast<std::atomic<int> *>(argument)->fetch_add(1);
    return argument;
}

void *CountAndExit(void *argument)
{
    CountAndReturn(argument);
    ExitNxThread();
}

struct Handoff {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    bool ready = false;
};

void *Signal(void *argument)
{
    auto *handoff = static_cast<Handoff *>(argument);
    EnterNxCriticalSection(&handoff->mutex);
    handoff->ready = true;
    SignalNxCondition(&handoff->condition);
    LeaveNxCriticalSection(&handoff->mutex);
    return nullptr;
}

TEST(SupportThreads, ThreadsMutexesAndConditions)
{
    unsigned long thread = 12345;
    InitialInvalidNxThread(&thread);
    EXPECT_EQ(thread, 0u);
    EXPECT_FALSE(IsValidNxThread(&thread));
    EXPECT_FALSE(WaitNxThread(&thread)); // joining the invalid handle is refused
    unsigned long threadId = 777;
    EXPECT_FALSE(CreateNxThread(&thread, nullptr, nullptr, &threadId));
    EXPECT_EQ(threadId, 0u) << "a failed create still clears the id";
    EXPECT_FALSE(IsValidNxThread(&thread));

    std::atomic<int> ran{0};
    threadId = 777;
    ASSERT_TRUE(CreateNxThread(&thread, CountAndReturn, &ran, &threadId));
    EXPECT_EQ(threadId, 0u);
    EXPECT_TRUE(IsValidNxThread(&thread));
    EXPECT_TRUE(WaitNxThread(&thread));
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(IsValidNxThread(&thread)); // only DestroyNxThread clears the handle
    EXPECT_TRUE(DestroyNxThread(&thread));
    EXPECT_FALSE(IsValidNxThread(&thread));

    // ExitNxThread ends the thread; ids come from the system.
    ASSERT_TRUE(CreateNxThread(&thread, CountAndExit, &ran, &threadId));
    EXPECT_TRUE(WaitNxThread(&thread));
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(GetCurrentNxThreadId(), static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(GetCurrentNxProcessId(), static_cast<int>(getpid()));

    // A thread signals a condition under the critical section.
    Handoff handoff;
    ASSERT_TRUE(CreateNxCriticalSection(&handoff.mutex));
    ASSERT_TRUE(CreateNxCondition(&handoff.condition));
    ASSERT_EQ(LockNxMutex(&handoff.mutex), 0);
    ASSERT_TRUE(CreateNxThread(&thread, Signal, &handoff, &threadId));
    while (!handoff.ready) ASSERT_EQ(WaitNxCondition(&handoff.condition, &handoff.mutex), 0);
    EXPECT_EQ(UnlockNxMutex(&handoff.mutex), 0);
    EXPECT_TRUE(WaitNxThread(&thread));
    EXPECT_TRUE(DestroyNxCondition(&handoff.condition));
    EXPECT_TRUE(DestroyNxCriticalSection(&handoff.mutex));

    pthread_mutex_t mutex;
    ASSERT_TRUE(CreateNxMutex(&mutex));
    EXPECT_TRUE(DestroyNxMutex(&mutex));
    EXPECT_FALSE(CreateNxMutex(nullptr));
    EXPECT_EQ(LockNxMutex(nullptr), EINVAL);
    EXPECT_EQ(WaitNxCondition(nullptr, &mutex), EINVAL);
}

TEST(SupportConfigParser, KeysAreExactAndTheLastLineWins)
{
    DebugConfig config = ParseText("DebugLevel 2\n"
                                   "debuglevel 9\n" // other letter case: no key
                                   "DebugLevel=8\n" // equals sign: one word only
                                   "DEBUGLEVEL 9\n"
                                   "\tSavePath\t/var/tmp/scan  trailing words\n"
                                   "DELETELOG 1\n"
                                   "Unknown 5\n"
                                   "DebugLevel 3\n");
    EXPECT_EQ(config.debugLevel, 3u);
    EXPECT_STREQ(config.savePath, "/var/tmp/scan");
    EXPECT_EQ(config.deleteLog, 1);
}

// Numbers read as strtol reads them, keeping the low 32 bits; a line without
// two words is ignored (a lone word does not reuse the value of the line before).
TEST(SupportConfigParser, NumbersAndLinesWithoutTwoWords)
{
    DebugConfig config;
    const struct {
        const char *line;
        uint32_t level;
    } applied[] = {{"DebugLevel -1", 4294967295u}, {"DebugLevel 4294967298", 2u}, {"DebugLevel 7abc", 7u},
                   {"DebugLevel +4", 4u},          {"DebugLevel abc", 0u},        {"DebugLevel 2", 2u}};
    for (const auto &[line, level] : applied) {
        EXPECT_TRUE(ParseDebugConfigLine(line, config)) << line;
        EXPECT_EQ(config.debugLevel, level) << line;
    }
    for (const char *line : {"DebugLevel", "5", "", "   \t\r\n", static_cast<const char *>(nullptr)})
        EXPECT_FALSE(ParseDebugConfigLine(line, config));
    EXPECT_EQ(config.debugLevel, 2u);
    ParseDebugConfigLine("DELETELOG 0x10", config);
    EXPECT_EQ(config.deleteLog, 0);
}

TEST(SupportConfigParser, OverlongWordsAndLinesAreRefusedWholeAndNulEndsALine)
{
    DebugConfig config;
    std::strcpy(config.savePath, "/tmp/DrvLog/");
    const std::string longest = "/" + std::string(254, 'p');
    EXPECT_TRUE(ParseDebugConfigLine(("SavePath " + longest).c_str(), config));
    EXPECT_EQ(config.savePath, longest);
    EXPECT_FALSE(ParseDebugConfigLine(("SavePath " + longest + "q").c_str(), config));
    EXPECT_EQ(config.savePath, longest);
    EXPECT_FALSE(ParseDebugConfigLine(("DebugLevel " + std::string(256, '1')).c_str(), config));
    EXPECT_FALSE(ParseDebugConfigLine((std::string(300, 'K') + " 5").c_str(), config));
    EXPECT_EQ(config.debugLevel, 0u);

    // More than 1023 characters: no piece of the line is applied, not even a
    // key hidden in its tail or before a NUL; the next line is read normally.
    std::string text = "Junk" + std::string(1019, ' ') + "DebugLevel 5\nDELETELOG 3\n";
    config = ParseText(text);
    EXPECT_EQ(config.debugLevel, 0u);
    EXPECT_EQ(config.deleteLog, 3);
    text = std::string("DebugLevel 1\0", 13) + std::string(1011, ' ') + "DebugLevel 9\n";
    EXPECT_EQ(ParseText(text).debugLevel, 0u);
    // Exactly 1023 characters still make a line, with or without a newline.
    const std::string fits = "DebugLevel 5" + std::string(1011, ' ');
    EXPECT_EQ(ParseText(fits + "\n").debugLevel, 5u);
    EXPECT_EQ(ParseText(fits).debugLevel, 5u);
    // A NUL ends the text of its line; the next line is read normally.
    text = std::string("DebugLevel\0 7\nDELETELOG 1\0junk\n", 31);
    config = ParseText(text);
    EXPECT_EQ(config.debugLevel, 0u);
    EXPECT_EQ(config.deleteLog, 1);
}

TEST_F(SupportLog, MissingConfigurationKeepsTheLevelAndLevelTwoDumpsTheEnvironment)
{
    EXPECT_FALSE(DebugInitialize());
    EXPECT_EQ(gDebugLevel, 0u);
    EXPECT_STREQ(DebugFilePath, "/tmp/DrvLog/");
    EXPECT_TRUE(fs::is_empty(kLogDir));

    ASSERT_TRUE(Configure("DebugLevel 2\n"));
    const auto lines = testbed::traceLines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex(R"(Date: \d{4}/([1-9]|1[0-2])/([1-9]|[12]\d|3[01]) \d\d:\d\d:\d\d)")))
        << lines[1];

    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&DumpSystemEnvironmentToLog), &info), 0);
    struct stat status {};
    ASSERT_EQ(stat(info.dli_fname, &status), 0);
    char timeText[32];
    ctime_r(&status.st_ctime, timeText);
    char processId[32];
    std::snprintf(processId, sizeof processId, "Process ID: %x", static_cast<unsigned>(getpid()));
    // The time text ends in a newline: the closing " " of its line stands alone.
    const std::vector<std::string> want = {
        "============ Debug Start ============",
        lines[1],
        processId,
        std::string("OS name: ") + system.sysname + " ",
        std::string("communications network name: ") + system.nodename + " ",
        std::string("implementation release level: ") + system.release + " ",
        std::string("release version level: ") + system.version + " ",
        std::string("hardware type: ") + system.machine + " ",
        std::string("Driver dll (") + info.dli_fname +
            ") version = " + std::string(timeText, std::strcspn(timeText, "\n")),
        " "};
    EXPECT_EQ(lines, want);

    fs::remove(kLogDir / "Debug.conf");
    EXPECT_FALSE(DebugInitialize()); // the earlier level stays in force
    EXPECT_EQ(gDebugLevel, 2u);
}

TEST_F(SupportLog, SavePathGetsOneTrailingSlashAndOverlongPathsAreRefusedNotCut)
{
    fs::create_directory(kLogDir / "scan");
    for (const char *value : {"/tmp/DrvLog/scan", "/tmp/DrvLog/scan/"}) {
        EXPECT_TRUE(Configure(std::string("DebugLevel 2\nSavePath ") + value + "\n"));
        EXPECT_STREQ(DebugFilePath, "/tmp/DrvLog/scan/");
    }
    EXPECT_TRUE(fs::exists(kLogDir / "scan" / "vemoDll.txt"));
    EXPECT_FALSE(fs::exists(kLogDir / "vemoDll.txt"));

    // The directory is never created: messages to a missing one are dropped.
    EXPECT_TRUE(Configure("DebugLevel 7\nSavePath /tmp/DrvLog/missing\n"));
    EXPECT_EQ(LogOutput(2, DebugFunctionFile, "lost"), 1);
    unsigned char raw[] = {1};
    EXPECT_EQ(ImageOutput(DebugRawImageFile, raw, sizeof raw), 0);
    EXPECT_FALSE(fs::exists(kLogDir / "missing"));
    fs::remove_all(kLogDir / "scan");

    // A 255-character directory plus "/" plus "vemoDll.txt" exceeds 259.
    const std::string longest = "/tmp/DrvLog/" + std::string(243, 'd');
    fs::create_directory(longest);
    EXPECT_TRUE(Configure("DebugLevel 2\nSavePath " + longest + "\n"));
    EXPECT_EQ(std::string(DebugFilePath), longest + "/");
    EXPECT_EQ(LogOutput(2, DebugFunctionFile, "refused"), 1);

    // A 256-character value refuses its line: the default directory stays.
    EXPECT_TRUE(Configure("DebugLevel 2\nSavePath " + longest + "x\n"));
    EXPECT_STREQ(DebugFilePath, "/tmp/DrvLog/");
    fs::remove(kLogDir / "vemoDll.txt");

    // A file name filling its whole array without a terminator.
    char unterminated[sizeof DebugFunctionFile];
    std::memset(unterminated, 'f', sizeof unterminated);
    EXPECT_EQ(LogOutput(2, unterminated, "refused"), 1);
    gDebugLevel = 7;
    EXPECT_EQ(ImageOutput(unterminated, nullptr, 0), 0);
    EXPECT_FALSE(DeleteLogFile(unterminated));
    EXPECT_TRUE(fs::is_empty(longest));
    fs::remove(longest);
    for (const auto &entry : fs::directory_iterator(kLogDir))
        EXPECT_EQ(entry.path().filename(), "Debug.conf");
}

// A configuration or folder that someone else could write is not used: the
// trace stays off and says why once on stderr when a trace was asked for.
TEST_F(SupportLog, TraceIsRefusedWhereOthersCouldWriteAndSaysWhyOnce)
{
    const fs::path conf = kLogDir / "Debug.conf";
    const fs::path logs = kLogDir / "logs";
    const fs::path outside = fs::temp_directory_path() / ("docscan-conf-" + std::to_string(getpid()));
    auto mode = [](const fs::path &path, unsigned bits) { ASSERT_EQ(chmod(path.c_str(), bits), 0); };
    const struct {
        const char *name;
        std::string text;
        std::function<void()> arrange;
        const char *said; // null: nothing on stderr
    } rows[] = {
        {"configuration writable by others", "DebugLevel 2\n", [&] { mode(conf, 0666); },
         "file /tmp/DrvLog/Debug.conf is writable by group or others"},
        {"configuration of another user", "DebugLevel 2\n",
         [&] { ASSERT_EQ(lchown(conf.c_str(), 4242, 4242), 0); },
         "file /tmp/DrvLog/Debug.conf belongs to another user"},
        {"configuration asking for no trace", "DebugLevel 0\n", [&] { mode(conf, 0666); }, nullptr},
        {"configuration through a link", "",
         [&] {
             WriteFile(outside, "DebugLevel 2\n");
             fs::create_symlink(outside, conf);
             gDebugLevel = 1;
         },
         "file /tmp/DrvLog/Debug.conf is a symbolic link"},
        {"configuration folder writable by others", "DebugLevel 2\n", [&] { mode(kLogDir, 0777); },
         "folder /tmp/DrvLog/ is writable by group or others"},
        {"log folder writable by others", "DebugLevel 2\nSavePath /tmp/DrvLog/logs\n",
         [&] { mode(logs, 0777); }, "folder /tmp/DrvLog/logs/ is writable by group or others"},
        {"log folder relative", "DebugLevel 2\nSavePath logs\n", [] {},
         "folder logs/ is not an absolute path"},
        {"log folder through a link", "DebugLevel 2\nSavePath /tmp/DrvLog/link\n",
         [&] { fs::create_directory_symlink(logs, kLogDir / "link"); },
         "folder /tmp/DrvLog/link/ is not a directory"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(kLogDir);
        fs::remove(outside);
        fs::create_directories(logs);
        mode(kLogDir, 0755);
        mode(logs, 0755);
        if (!row.text.empty()) WriteConf(row.text);
        gDebugLevel = 0;
        row.arrange();
        ::testing::internal::CaptureStderr();
        DebugInitialize();
        LogOutput(2, DebugFunctionFile, "first");
        LogOutput(2, DebugFunctionFile, "second");
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(fs::exists(kLogDir / "vemoDll.txt"));
        EXPECT_FALSE(fs::exists(logs / "vemoDll.txt"));
        EXPECT_EQ(said,
                  row.said ? "docscan driver: debug trace refused: " + std::string(row.said) + "\n" : "");
        mode(kLogDir, 0755);
    }
    fs::remove(outside);
}

// Trace files are created 0600, and a link in their place is neither
// followed nor replaced.
TEST_F(SupportLog, TraceFilesAreCreated0600AndNeverWrittenThroughALink)
{
    const fs::path victim = fs::temp_directory_path() / ("docscan-victim-" + std::to_string(getpid()));
    WriteFile(victim, "precious");
    fs::create_symlink(victim, kLogDir / "vemoDll.txt");
    fs::create_symlink(victim, kLogDir / "Image0.raw");
    EXPECT_TRUE(Configure("DebugLevel 7\n"));
    unsigned char raw[] = {1, 2, 3};
    EXPECT_EQ(LogOutput(2, DebugFunctionFile, "line"), 1);
    EXPECT_EQ(ImageOutput(DebugRawImageFile, raw, sizeof raw), 0);
    EXPECT_EQ(ReadFile(victim), "precious");

    fs::remove(kLogDir / "vemoDll.txt");
    fs::remove(kLogDir / "Image0.raw");
    EXPECT_EQ(LogOutput(2, DebugFunctionFile, "line"), 1);
    EXPECT_EQ(ImageOutput(DebugRawImageFile, raw, sizeof raw), 1);
    for (const char *name : {"vemoDll.txt", "Image0.raw"})
        EXPECT_EQ(fs::status(kLogDir / name).permissions(), fs::perms::owner_read | fs::perms::owner_write)
            << name;
    fs::remove(victim);
}

TEST_F(SupportLog, DeleteLogNeedsANonZeroLevelAndGivesTheResultOfTheLastFile)
{
    const char *const logs[] = {"vemoDll.txt", "vemoParam.txt", "vemoGammaTable.txt", "vemoImageThread.txt",
                                "vemoVar.txt"};
    auto createLogs = [&] {
        for (const char *name : logs) WriteFile(kLogDir / name, "old\n");
        WriteFile(kLogDir / "Image0.raw", "raw");
    };
    createLogs();
    EXPECT_TRUE(Configure("DELETELOG 1\nDebugLevel 0\n"));
    for (const char *name : logs) EXPECT_TRUE(fs::exists(kLogDir / name)) << name;

    // The key order does not matter: the final level decides.
    EXPECT_TRUE(Configure("DELETELOG 1\nDebugLevel 2\n"));
    for (const char *name : logs)
        EXPECT_EQ(fs::exists(kLogDir / name), std::strcmp(name, "vemoDll.txt") == 0) << name;
    EXPECT_EQ(ReadFile(kLogDir / "Image0.raw"), "raw");
    EXPECT_EQ(testbed::traceLines().at(0), "============ Debug Start ============"); // "old" is gone

    // The last file missing: the result is false, the others are deleted all the same.
    createLogs();
    fs::remove(kLogDir / "vemoVar.txt");
    EXPECT_FALSE(DebugInitialize());
    EXPECT_FALSE(fs::exists(kLogDir / "vemoParam.txt"));
}

// LogOutput writes the messages up to the level, one line each; ImageOutput
// and the deletions act from level 7; level 1 writes not even the
// environment dump, level -1 everything.
TEST_F(SupportLog, WritersActFromTheirLevel)
{
    EXPECT_TRUE(Configure("DebugLevel 1\n"));
    EXPECT_FALSE(fs::exists(kLogDir / "vemoDll.txt"));

    EXPECT_TRUE(Configure("DebugLevel 3\n"));
    fs::remove(kLogDir / "vemoDll.txt");
    EXPECT_EQ(LogOutput(4, DebugFunctionFile, "In   %d : NxLibUsb::ReadFile() :", 1), 1);
    EXPECT_FALSE(fs::exists(kLogDir / "vemoDll.txt"));
    EXPECT_EQ(LogOutput(3, DebugFunctionFile, "In   %d : DoIo : Code = 0x%02X", 1, 0x28), 1);
    EXPECT_EQ(LogOutput(2, DebugFunctionFile, "ends in newline\n"), 1);
    EXPECT_EQ(LogOutput(2, DebugVarFile, "%s=%u", "dwBytesperline", 7650u), 1);
    EXPECT_EQ(ReadFile(kLogDir / "vemoDll.txt"), "In   1 : DoIo : Code = 0x28\nends in newline\n\n");
    EXPECT_EQ(ReadFile(kLogDir / "vemoVar.txt"), "dwBytesperline=7650\n");

    unsigned char first[] = {0x00, 0xFF, 0x0A, 0x0D};
    unsigned char second[] = {0x80};
    const fs::path image = kLogDir / "Image0.raw";
    EXPECT_TRUE(Configure("DebugLevel 6\n"));
    EXPECT_EQ(ImageOutput(DebugRawImageFile, first, sizeof first), 1);
    EXPECT_FALSE(fs::exists(image));
    WriteFile(image, "x");
    EXPECT_TRUE(DeleteLogFile(DebugVarFile));
    EXPECT_TRUE(DeleteImageFile(DebugRawImageFile));
    EXPECT_TRUE(fs::exists(kLogDir / "vemoVar.txt"));
    EXPECT_TRUE(fs::exists(image));

    EXPECT_TRUE(Configure("DebugLevel 7\n"));
    EXPECT_TRUE(DeleteLogFile(DebugVarFile));
    EXPECT_FALSE(DeleteLogFile(DebugVarFile));
    EXPECT_TRUE(DeleteImageFile(DebugRawImageFile));
    EXPECT_FALSE(DeleteImageFile(DebugRawImageFile));
    EXPECT_EQ(ImageOutput(DebugRawImageFile, first, 0), 1); // creates, adds nothing
    ASSERT_TRUE(fs::exists(image));
    EXPECT_EQ(fs::file_size(image), 0u);
    EXPECT_EQ(ImageOutput(DebugRawImageFile, first, sizeof first), 1);
    EXPECT_EQ(ImageOutput(DebugRawImageFile, second, sizeof second), 1);
    EXPECT_EQ(ReadFile(image), std::string("\x00\xFF\x0A\x0D\x80", 5));

    EXPECT_TRUE(Configure("DebugLevel -1\n"));
    EXPECT_EQ(gDebugLevel, 4294967295u);
    EXPECT_EQ(LogOutput(4294967295u, DebugFunctionFile, "top"), 1);
    EXPECT_EQ(ImageOutput(DebugRawImageFile, second, sizeof second), 1);
    EXPECT_EQ(testbed::traceLines().back(), "top");
    EXPECT_EQ(ReadFile(image).size(), 6u);
}

} // namespace
