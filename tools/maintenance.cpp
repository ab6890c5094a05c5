// Maintenance commands: non-volatile memory, gamma, power timers, buttons.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>

#include "tools/commands.h"
#include "tools/gamma.h"
#include "tools/report.h"
#include "tools/statuscodes.h"

namespace docscan_cli {
namespace {

// The code the driver leaves when a memory check or self test finds a mismatch.
constexpr uint64_t kMismatch = 2999;

// Prints a successful result: a report for a person, or one JSON object.
int Succeed(const GlobalOptions &options, const char *command, Report report)
{
    if (options.json) {
        Report full;
        full.Bool("ok", "OK", true).Text("command", "Command", command);
        std::string json = full.Json();
        const std::string rest = report.Json();
        if (rest.size() > 2) json = json.substr(0, json.size() - 1) + "," + rest.substr(1);
        std::printf("%s\n", json.c_str());
    } else {
        report.PrintText(stdout);
    }
    return kExitOk;
}

// A device string from a fixed field: up to the first 0, escaped.
std::string FieldText(const char *field, size_t size)
{
    size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    return PrintableText(std::string_view(field, length));
}

std::string HexBytes(const uint8_t *bytes, size_t size)
{
    std::string text;
    char one[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(one, sizeof one, "%02X", bytes[i]);
        text += one;
    }
    return text;
}

Report NvmReport(const NVMDATA &n)
{
    uint16_t keptFields[6]; // copied out of the packed record
    std::memcpy(keptFields, n.Kept, sizeof keptFields);
    std::vector<long long> kept(std::begin(keptFields), std::end(keptFields));
    char date[32];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u", n.Year, n.Month, n.Day);
    Report r;
    r.Text("identification", "Identification", FieldText(n.Identification, sizeof n.Identification))
        .Text("initialised", "Initialised on", date)
        .Number("value0", "Value0", n.Value0)
        .Number("value4", "Value4", n.Value4)
        .Number("value8", "Value8", n.Value8)
        .Number("value12", "Value12", n.Value12)
        .Numbers("kept", "Kept (16..26)", kept)
        .Number("month", "Month", n.Month)
        .Number("day", "Day", n.Day)
        .Number("year", "Year", n.Year)
        .Number("value34", "Value34", n.Value34)
        .Number("value36", "Value36", n.Value36)
        .Number("value38", "Value38", n.Value38)
        .Number("value40", "Value40", n.Value40)
        .Number("value42", "Value42", n.Value42)
        .Number("byte44", "Byte44", n.Byte44)
        .Number("byte45", "Byte45", n.Byte45)
        .Number("value70", "Value70", n.Value70)
        .Number("byte72", "Byte72", n.Byte72)
        .Number("value73", "Value73", n.Value73)
        .Number("value77", "Value77", n.Value77)
        .Number("value81", "Value81", n.Value81)
        .Text("bytes85", "Bytes85 (hex)", HexBytes(n.Bytes85, sizeof n.Bytes85))
        .Number("value122", "Value122", n.Value122)
        .Text("bytes124", "Bytes124 (hex)", HexBytes(n.Bytes124, sizeof n.Bytes124))
        .Text("raw", "Record (hex, host order)", HexBytes(reinterpret_cast<const uint8_t *>(&n), sizeof n));
    return r;
}

tagNVMInitData InitRecord(const std::string &id)
{
    tagNVMInitData init{};
    init.Length = sizeof init;
    std::memcpy(init.Identification, id.data(), std::min(id.size(), sizeof init.Identification));
    return init;
}

std::string ReadIdentification(ArgReader &args, const char *what)
{
    std::string id;
    if (!args.Positional(&id))
        throw UsageError(std::string("nvm ") + what + " needs an identification string");
    if (id.empty() || id.size() > sizeof(tagNVMInitData::Identification)) {
        throw UsageError("the identification must be 1 to 24 characters");
    }
    return id;
}

// Runs a memory check or test whose verdict the driver leaves in the status
// code while its result stays non-zero.
int RunVerdict(Session &session, const GlobalOptions &options, const char *command, const char *function,
               bool (*call)(Driver &, tagNVMInitData *), tagNVMInitData *init, const char *passText,
               const char *failText)
{
    Driver &driver = session.driver();
    const uint64_t before = driver.Status();
    if (!call(driver, init)) return session.Fail(function);
    const uint64_t after = driver.Status();
    if (!session.Close()) return session.Fail("TerminateDriver");
    if (after == kMismatch && before != kMismatch) {
        return session.FailPlain(std::string(failText) + ": status " + DescribeStatus(after), kExitFailure);
    }
    Report r;
    r.Text("result", "Result", passText);
    return Succeed(options, command, r);
}

} // namespace

// ------------------------------------------------------------------ nvm
int RunNvm(ArgReader &args, GlobalOptions options)
{
    std::string action;
    std::string id;
    while (args.More()) {
        if (ReadGlobalOption(args, &options)) continue;
        if (action.empty() && args.Positional(&action)) {
            if (action == "init" || action == "check")
                id = ReadIdentification(args, action.c_str());
            else if (action != "read" && action != "test") {
                throw UsageError("nvm needs one of: read, init ID, test, check ID (got '" + action + "')");
            }
            continue;
        }
        args.Unexpected("nvm");
    }
    if (action.empty()) throw UsageError("nvm needs one of: read, init ID, test, check ID");

    Session session(options);
    const std::string command = "nvm " + action;
    if (int rc = session.Open(command.c_str()); rc != kExitOk) return rc;
    Driver &driver = session.driver();

    if (action == "read") {
        NVMDATA record{};
        if (!driver.ReadNVMData(&record)) return session.Fail("ReadNVMData");
        if (!session.Close()) return session.Fail("TerminateDriver");
        return Succeed(options, "nvm read", NvmReport(record));
    }
    if (action == "init") {
        tagNVMInitData init = InitRecord(id);
        if (!driver.InitializeNVM(&init)) return session.Fail("InitializeNVM");
        if (!session.Close()) return session.Fail("TerminateDriver");
        Report r;
        r.Text("identification", "Initialised with identification", id);
        return Succeed(options, "nvm init", r);
    }
    if (action == "test") {
        return RunVerdict(
            session, options, "nvm test", "TestNVM", [](Driver &d, tagNVMInitData *) { return d.TestNVM(); },
            nullptr, "the non-volatile memory passed its write and read-back test",
            "the non-volatile memory failed its write and read-back test");
    }
    tagNVMInitData init = InitRecord(id);
    return RunVerdict(
        session, options, "nvm check", "CheckNVMData",
        [](Driver &d, tagNVMInitData *record) { return d.CheckNVMData(record); }, &init,
        "the identification matches", "the identification in the non-volatile memory differs");
}

// ---------------------------------------------------------------- gamma
int RunGamma(ArgReader &args, GlobalOptions options)
{
    std::string file;
    std::optional<double> value;
    int channel = 0;
    std::string text;
    while (args.More()) {
        if (ReadGlobalOption(args, &options)) continue;
        if (args.Value("--value", &text)) {
            value = ParseReal(text, 0.1, 10.0, "--value");
        } else if (args.Value("--channel", &text)) {
            channel = static_cast<int>(ParseInteger(text, 0, 3, "--channel"));
        } else if (file.empty() && args.Positional(&file)) {
            if (file.empty()) throw UsageError("gamma: empty file name");
        } else {
            args.Unexpected("gamma");
        }
    }
    if (file.empty() == !value.has_value()) throw UsageError("gamma needs either a FILE or --value G");

    GammaTable table{};
    std::string error;
    if (value) {
        table = GammaCurve(*value);
    } else {
        // A regular file only (a FIFO would hold the open), read up to a bound.
        const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) close(fd);
            throw UsageError("gamma: cannot read " + file + (fd >= 0 ? ": not a regular file" : ""));
        }
        std::vector<uint8_t> contents(1 << 20);
        const ssize_t n = read(fd, contents.data(), contents.size());
        close(fd);
        contents.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (!ParseGammaTable(contents, &table, &error)) throw UsageError(file + ": " + error);
    }

    Session session(options);
    if (int rc = session.Open("gamma"); rc != kExitOk) return rc;
    if (!session.driver().SetGammaTable(table.data(), static_cast<uint8_t>(channel))) {
        return session.Fail("SetGammaTable");
    }
    if (!session.Close()) return session.Fail("TerminateDriver");
    char curve[48];
    std::snprintf(curve, sizeof curve, "curve with gamma %g", value.value_or(0));
    Report r;
    r.Text("source", "Gamma table", value ? curve : file)
        .Number("channel", "Channel", channel)
        .Number("first", "Output for input 0", table[0])
        .Number("middle", "Output for input 128", table[128])
        .Number("last", "Output for input 255", table[255]);
    return Succeed(options, "gamma", r);
}

// ------------------------------------------------- power-save, power-off
namespace {

int RunPowerTime(ArgReader &args, GlobalOptions options, const char *command, bool powerOff)
{
    std::optional<long long> setting;
    std::string text;
    while (args.More()) {
        if (ReadGlobalOption(args, &options)) continue;
        if (!setting && args.Positional(&text)) {
            setting = ParseInteger(text, 0, 65535, command);
            continue;
        }
        args.Unexpected(command);
    }
    if (!setting)
        throw UsageError(std::string(command) + " needs a time N (0..65535, in the scanner's unit)");

    Session session(options);
    if (int rc = session.Open(command); rc != kExitOk) return rc;
    const auto value = static_cast<uint32_t>(*setting);
    Driver &driver = session.driver();
    if (powerOff ? !driver.SendPowerOffTime(value) : !driver.SetPowerSaveTime(value)) {
        return session.Fail(powerOff ? "SendPowerOffTime" : "SetPowerSaveTime");
    }
    if (!session.Close()) return session.Fail("TerminateDriver");
    Report r;
    r.Number("time", powerOff ? "Power-off time set to" : "Power-save time set to", *setting);
    return Succeed(options, command, r);
}

} // namespace

int RunPowerSave(ArgReader &args, GlobalOptions options)
{
    return RunPowerTime(args, options, "power-save", false);
}

int RunPowerOff(ArgReader &args, GlobalOptions options)
{
    return RunPowerTime(args, options, "power-off", true);
}

// -------------------------------------------------------------- buttons
namespace {

constexpr double kQuickFailure = 0.02;   // seconds
constexpr useconds_t kPollPause = 50000; // microseconds

volatile sig_atomic_t gStopButtons = 0;
void OnButtonInterrupt(int) { gStopButtons = 1; }

double Seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

int RunButtons(ArgReader &args, GlobalOptions options)
{
    long long count = 0; // stop after this many presses (0: never)
    double seconds = 0;  // stop after this long (0: never)
    std::string text;
    while (args.More()) {
        if (ReadGlobalOption(args, &options)) continue;
        if (args.Value("--count", &text)) {
            count = ParseInteger(text, 1, 1000000, "--count");
        } else if (args.Value("--seconds", &text)) {
            seconds = ParseReal(text, 0.1, 1e6, "--seconds");
        } else {
            args.Unexpected("buttons");
        }
    }

    Session session(options);
    if (int rc = session.Open("buttons"); rc != kExitOk) return rc;
    Driver &driver = session.driver();
    tagButtonDescription description{};
    if (!driver.InitialButton(&description)) return session.Fail("InitialButton");
    if (description.ButtonType == 0) {
        session.Close();
        return session.FailPlain("the scanner has no push buttons", kExitFailure);
    }
    if (!options.json && !options.quiet) {
        std::fprintf(stderr, "docscan buttons: %u buttons; waiting for presses (Ctrl-C ends)\n",
                     description.ButtonCount);
    }
    std::fflush(stderr);

    gStopButtons = 0;
    struct sigaction action = {}, oldInt = {}, oldTerm = {};
    action.sa_handler = &OnButtonInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);

    const double start = Seconds();
    long long presses = 0;
    while (gStopButtons == 0 && (count == 0 || presses < count) &&
           (seconds == 0 || Seconds() - start < seconds)) {
        tagButtonStatus status{};
        const double asked = Seconds();
        if (!driver.ReadPushButton(&status)) {
            // No press within the interrupt time-out is a failed read: poll
            // again, but never spin when the read fails at once (no device).
            if (Seconds() - asked < kQuickFailure) usleep(kPollPause);
            continue;
        }
        if (status.Event != 0x81 || status.Pressed != 1) continue;
        ++presses;
        if (options.json) {
            std::printf("{\"event\":\"press\",\"button\":%u}\n", status.Button);
        } else {
            std::printf("button %u pressed\n", status.Button);
        }
        std::fflush(stdout);
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    if (!session.Close()) return session.Fail("TerminateDriver");
    return kExitOk;
}

} // namespace docscan_cli
