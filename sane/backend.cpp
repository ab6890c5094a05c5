// The SANE entry points of libsane-docscan.so.1.
//
// The driver is reached only through libdocscan.so.1's exported functions,
// loaded with dlopen. The driver keeps one scanner per process, so one device
// can be open at a time. A scan runs in a reader thread that pulls image
// bytes from ReadScan and pushes them into a pipe; sane_read takes them from
// the pipe, whose read end is the select descriptor. sane_cancel only sets a
// flag and writes to an eventfd, both of which the reader thread and
// sane_read watch, so it may be called from a signal handler or any thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "sane/backend.h"
#include "tools/driver.h"
#include "tools/statuscodes.h"
#include "tools/virtual.h"

#define DOCSCAN_SANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace docscan_sane {
namespace {

constexpr SANE_Int kBuild = 1;
// Device names within the backend; SANE's dll meta-backend shows them with
// the backend's name in front ("docscan:virtual").
constexpr const char kVirtualName[] = "virtual";
constexpr const char kUsbName[] = "usb";
constexpr const char kBackendPrefix[] = "docscan:";
constexpr const char kDeviceType[] = "flatbed scanner";
// Bytes taken from ReadScan at a time, and the pipe capacity asked for.
constexpr uint32_t kPieceBytes = 256 * 1024;
constexpr int kPipeBytes = 1024 * 1024;

// What a finished reader thread left behind.
enum class Outcome { Running, Done, Cancelled, Failed };

struct Scanner {
    std::string name;
    bool isVirtual = false;
    SCANNERABILITYEX ability{};
    std::unique_ptr<Options> options;
    std::array<int, kButtons> pendingPresses{};

    docscan_cli::ScanPlan plan;
    bool started = false;                        // sane_start succeeded and the scan is not yet wound up
    SANE_Status finalStatus = SANE_STATUS_INVAL; // sane_read's answer once the scan is over
    bool nonBlocking = false;
    int dataFd = -1;  // pipe read end
    int writeFd = -1; // pipe write end (the reader thread closes it)
    int wakeFd = -1;  // eventfd written by sane_cancel
    std::atomic<bool> cancelRequested{false};
    std::atomic<Outcome> outcome{Outcome::Running};
    uint64_t failedStatus = 0;
    std::thread reader;
};
static_assert(std::atomic<bool>::is_always_lock_free, "sane_cancel needs a lock-free flag");

struct Backend {
    docscan_cli::Driver driver;
    bool driverLoaded = false;
    docscan_cli::VirtualScanner *bus = nullptr; // started once, on first use
    Config config;
    std::vector<SANE_Device> deviceRecords;
    std::vector<const SANE_Device *> deviceList;
    std::vector<std::string> deviceStrings; // storage of the records' texts
    Scanner *open = nullptr;
};

Backend *gBackend = nullptr;

std::string Trimmed(const char *field, size_t size)
{
    std::string text(field, strnlen(field, size));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

const char *StatusName(SANE_Status status)
{
    static constexpr const char *kNames[] = {"GOOD",       "UNSUPPORTED", "CANCELLED", "DEVICE_BUSY",
                                             "INVAL",      "EOF",         "JAMMED",    "NO_DOCS",
                                             "COVER_OPEN", "IO_ERROR",    "NO_MEM",    "ACCESS_DENIED"};
    const auto index = static_cast<size_t>(status);
    return index < std::size(kNames) ? kNames[index] : "?";
}

uint64_t DriverStatus() { return gBackend->driver.Status(); }

SANE_Status DriverFailure(const char *function)
{
    const uint64_t status = DriverStatus();
    const SANE_Status mapped = MapStatus(status);
    Dbg(1, "%s failed: status %s -> %s", function, docscan_cli::DescribeStatus(status).c_str(),
        StatusName(mapped));
    return mapped;
}

bool LoadDriver()
{
    if (gBackend->driverLoaded) return true;
    std::vector<std::string> candidates;
    if (const char *path = std::getenv("DOCSCAN_LIBRARY"); path != nullptr && *path != '\0') {
        candidates.push_back(path);
    }
    candidates.push_back("libdocscan.so.1");
    std::string error;
    if (!docscan_cli::LoadDriverFrom(&gBackend->driver, candidates, &error)) {
        Dbg(1, "%s", error.c_str());
        return false;
    }
    gBackend->driverLoaded = true;
    Dbg(3, "driver loaded from %s", gBackend->driver.path.c_str());
    return true;
}

std::string VirtualModulePath()
{
    if (const char *path = std::getenv(docscan_cli::kVirtualModuleVariable);
        path != nullptr && *path != '\0') {
        return path;
    }
    std::string file;
#ifdef DOCSCAN_MODULE_DIR
    file = std::string(DOCSCAN_MODULE_DIR) + "/" + docscan_cli::kVirtualModule;
    if (access(file.c_str(), R_OK) == 0) return file;
#endif
#ifdef DOCSCAN_BUILD_MODULE_DIR
    file = std::string(DOCSCAN_BUILD_MODULE_DIR) + "/" + docscan_cli::kVirtualModule;
#endif
    return file.empty() ? docscan_cli::kVirtualModule : file;
}

SANE_Status StartVirtualBus()
{
    if (gBackend->bus != nullptr) return SANE_STATUS_GOOD;
    if (!docscan_cli::PreloadInProcess()) {
        Dbg(1,
            "docscan:%s needs the umockdev preload in the process: run the program under umockdev-wrapper "
            "or with LD_PRELOAD=%s",
            kVirtualName, docscan_cli::kPreloadLibrary);
        return SANE_STATUS_UNSUPPORTED;
    }
    auto bus = std::make_unique<docscan_cli::VirtualScanner>();
    std::string error;
    docscan_cli::VirtualOptions options;
    options.paper = gBackend->config.paper;
    options.presses = gBackend->config.presses;
    if (!bus->Load(VirtualModulePath(), &error) || !bus->Start(options, &error)) {
        Dbg(1, "%s", error.c_str());
        return SANE_STATUS_UNSUPPORTED;
    }
    gBackend->bus = bus.release();
    return SANE_STATUS_GOOD;
}

// Looks for a real scanner; fills `ability` when one answers.
bool ProbeRealScanner(SCANNERABILITYEX *ability)
{
    if (gBackend->bus != nullptr || !LoadDriver()) return false;
    docscan_cli::Driver &d = gBackend->driver;
    if (!d.InitializeDriver()) return false;
    const bool found = d.InitializeScanner() && d.GetScannerAbilityEx(ability);
    if (!found) Dbg(3, "no real scanner: status %s", docscan_cli::DescribeStatus(DriverStatus()).c_str());
    d.TerminateDriver();
    return found;
}

void AddDevice(const std::string &name, const std::string &vendor, const std::string &model)
{
    gBackend->deviceStrings.push_back(name);
    gBackend->deviceStrings.push_back(vendor);
    gBackend->deviceStrings.push_back(model);
}

// ------------------------------------------------------------ the reader thread

// Writes all of `data` to the pipe, or stops when a cancel arrives.
bool PushToPipe(Scanner &s, const uint8_t *data, size_t size)
{
    while (size > 0) {
        if (s.cancelRequested.load(std::memory_order_acquire)) return false;
        const ssize_t n = write(s.writeFd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false; // reader gone
        pollfd fds[2] = {{s.writeFd, POLLOUT, 0}, {s.wakeFd, POLLIN, 0}};
        poll(fds, 2, -1);
    }
    return true;
}

void ReaderThread(Scanner *scanner)
{
    Scanner &s = *scanner;
    docscan_cli::Driver &d = gBackend->driver;
    Outcome outcome = Outcome::Done;
    try {
        uint64_t remaining = static_cast<uint64_t>(s.plan.bytesPerLine) * s.plan.image.height;
        std::vector<uint8_t> piece(std::min<uint64_t>(remaining, kPieceBytes));
        while (remaining > 0) {
            if (s.cancelRequested.load(std::memory_order_acquire)) {
                outcome = Outcome::Cancelled;
                break;
            }
            const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(remaining, piece.size()));
            if (!d.ReadScan(0, piece.data(), count)) {
                s.failedStatus = DriverStatus();
                outcome = Outcome::Failed;
                break;
            }
            if (!PushToPipe(s, piece.data(), count)) {
                outcome = Outcome::Cancelled;
                break;
            }
            remaining -= count;
        }
    } catch (...) {
        s.failedStatus = DOCSCAN_STATUS_CONVERT_MEMORY;
        outcome = Outcome::Failed;
    }
    if (outcome == Outcome::Cancelled) d.DoCancel();
    d.StopScan();
    s.outcome.store(outcome, std::memory_order_release);
    close(s.writeFd); // end of data: sane_read sees the end of the pipe
    s.writeFd = -1;
}

// Joins the reader thread and closes the pipe; the scan is over.
void WindUp(Scanner &s)
{
    if (s.reader.joinable()) s.reader.join();
    if (s.dataFd >= 0) close(s.dataFd);
    s.dataFd = -1;
    s.started = false;
}

SANE_Status OutcomeStatus(Scanner &s)
{
    switch (s.outcome.load(std::memory_order_acquire)) {
    case Outcome::Done: return SANE_STATUS_EOF;
    case Outcome::Cancelled: return SANE_STATUS_CANCELLED;
    case Outcome::Failed: {
        const SANE_Status mapped = MapStatus(s.failedStatus);
        Dbg(1, "ReadScan failed: status %s", docscan_cli::DescribeStatus(s.failedStatus).c_str());
        return mapped == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : mapped;
    }
    case Outcome::Running: break;
    }
    return SANE_STATUS_IO_ERROR;
}

// Stops a running scan and waits for its thread (not from a signal handler).
void StopRunningScan(Scanner &s)
{
    if (!s.started) return;
    s.cancelRequested.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (write(s.wakeFd, &one, sizeof one) < 0) {
        // The counter is full: it is readable already.
    }
    WindUp(s);
}

// ------------------------------------------------------------ entry points

SANE_Status Init(SANE_Int *version)
{
    InitDebug();
    if (version != nullptr) *version = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, kBuild);
    if (gBackend == nullptr) gBackend = new Backend;
    gBackend->config = LoadConfig();
    Dbg(2, "init: virtual scanner %s", gBackend->config.virtualScanner ? "listed" : "not listed");
    return SANE_STATUS_GOOD;
}

void CloseScanner(Scanner *s)
{
    StopRunningScan(*s);
    if (s->wakeFd >= 0) close(s->wakeFd);
    gBackend->driver.TerminateDriver();
    if (gBackend->open == s) gBackend->open = nullptr;
    delete s;
}

void Exit()
{
    if (gBackend == nullptr) return;
    if (gBackend->open != nullptr) CloseScanner(gBackend->open);
    // The driver library and the virtual scanner module stay loaded: their
    // threads and the emulated bus belong to the process.
    delete gBackend->bus;
    gBackend->bus = nullptr;
    gBackend->deviceRecords.clear();
    gBackend->deviceList.clear();
    gBackend->deviceStrings.clear();
    delete gBackend;
    gBackend = nullptr;
    Dbg(2, "exit");
}

SANE_Status GetDevices(const SANE_Device ***list, SANE_Bool localOnly)
{
    (void)localOnly;
    if (list == nullptr) return SANE_STATUS_INVAL;
    Backend &b = *gBackend;
    b.deviceStrings.clear();
    b.deviceRecords.clear();
    b.deviceList.clear();
    if (b.open != nullptr && !b.open->isVirtual) {
        AddDevice(b.open->name, Trimmed(b.open->ability.VendorName, sizeof b.open->ability.VendorName),
                  Trimmed(b.open->ability.ProductName, sizeof b.open->ability.ProductName));
    } else if (b.open == nullptr) {
        SCANNERABILITYEX ability{};
        if (ProbeRealScanner(&ability)) {
            AddDevice(kUsbName, Trimmed(ability.VendorName, sizeof ability.VendorName),
                      Trimmed(ability.ProductName, sizeof ability.ProductName));
        }
    }
    if (b.config.virtualScanner) AddDevice(kVirtualName, "docscan", "virtual scanner");
    b.deviceStrings.shrink_to_fit();
    for (size_t i = 0; i + 2 < b.deviceStrings.size(); i += 3) {
        b.deviceRecords.push_back({b.deviceStrings[i].c_str(), b.deviceStrings[i + 1].c_str(),
                                   b.deviceStrings[i + 2].c_str(), kDeviceType});
    }
    for (const SANE_Device &device : b.deviceRecords) b.deviceList.push_back(&device);
    b.deviceList.push_back(nullptr);
    *list = b.deviceList.data();
    Dbg(2, "get_devices: %zu device(s)", b.deviceRecords.size());
    return SANE_STATUS_GOOD;
}

SANE_Status Open(SANE_String_Const name, SANE_Handle *handle)
{
    if (handle == nullptr) return SANE_STATUS_INVAL;
    Backend &b = *gBackend;
    std::string wanted = name != nullptr ? name : "";
    if (wanted.rfind(kBackendPrefix, 0) == 0) wanted.erase(0, std::strlen(kBackendPrefix));
    if (wanted.empty()) {
        // The first device of the list: a real scanner before the virtual one.
        SCANNERABILITYEX ability{};
        const bool real = b.open == nullptr && ProbeRealScanner(&ability);
        wanted = b.config.virtualScanner && !real ? kVirtualName : kUsbName;
    }
    const bool isVirtual = wanted == kVirtualName;
    if (!isVirtual && wanted != kUsbName) {
        Dbg(1, "open: no device '%s'", wanted.c_str());
        return SANE_STATUS_INVAL;
    }
    if (b.open != nullptr) {
        Dbg(1, "open: %s is already open", b.open->name.c_str());
        return SANE_STATUS_DEVICE_BUSY;
    }
    if (isVirtual && !b.config.virtualScanner) {
        Dbg(1, "open: docscan:%s is not enabled (a 'virtual' line in docscan.conf, or DOCSCAN_VIRTUAL=1)",
            kVirtualName);
        return SANE_STATUS_INVAL;
    }
    if (isVirtual) {
        if (SANE_Status status = StartVirtualBus(); status != SANE_STATUS_GOOD) return status;
    }
    if (!LoadDriver()) return SANE_STATUS_IO_ERROR;
    docscan_cli::Driver &d = b.driver;
    if (!d.InitializeDriver()) return DriverFailure("InitializeDriver");
    auto s = std::make_unique<Scanner>();
    if (!d.InitializeScanner() || !d.GetScannerAbilityEx(&s->ability)) {
        const SANE_Status status = DriverFailure("InitializeScanner");
        d.TerminateDriver();
        return status;
    }
    tagButtonDescription buttons{};
    if (!d.InitialButton(&buttons)) Dbg(2, "InitialButton failed: buttons read as not pressed");
    s->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wakeFd < 0) {
        d.TerminateDriver();
        return SANE_STATUS_NO_MEM;
    }
    s->name = wanted;
    s->isVirtual = isVirtual;
    s->options = std::make_unique<Options>(s->ability);
    b.open = s.release();
    *handle = b.open;
    Dbg(2, "open: %s", wanted.c_str());
    return SANE_STATUS_GOOD;
}

SANE_Status GetParameters(SANE_Handle handle, SANE_Parameters *params);

Scanner *FromHandle(SANE_Handle handle)
{
    auto *s = static_cast<Scanner *>(handle);
    return gBackend != nullptr && s != nullptr && s == gBackend->open ? s : nullptr;
}

// One press of button `index` (0-based), from the presses read so far or the
// scanner's next button packet. Never during a scan: the scan owns the link.
bool TakePress(Scanner &s, int index)
{
    if (!s.started) {
        tagButtonStatus status{};
        if (gBackend->driver.ReadPushButton(&status) && status.Event == 0x81 && status.Pressed == 1 &&
            status.Button >= 1 && status.Button <= kButtons) {
            ++s.pendingPresses[status.Button - 1u];
            Dbg(3, "button %u pressed", status.Button);
        }
    }
    int &pending = s.pendingPresses[static_cast<size_t>(index)];
    if (pending == 0) return false;
    --pending;
    return true;
}

SANE_Status ControlOption(SANE_Handle handle, SANE_Int option, SANE_Action action, void *value,
                          SANE_Int *info)
{
    Scanner *s = FromHandle(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    if (info != nullptr) *info = 0;
    const SANE_Option_Descriptor *d = s->options->Descriptor(option);
    if (d == nullptr || value == nullptr || d->type == SANE_TYPE_GROUP) return SANE_STATUS_INVAL;
    switch (action) {
    case SANE_ACTION_GET_VALUE:
        if (!SANE_OPTION_IS_ACTIVE(d->cap)) return SANE_STATUS_INVAL;
        if (option >= kOptButton1 && option <= kOptButton3) {
            *static_cast<SANE_Word *>(value) = TakePress(*s, option - kOptButton1) ? SANE_TRUE : SANE_FALSE;
            return SANE_STATUS_GOOD;
        }
        return s->options->Get(option, value);
    case SANE_ACTION_SET_VALUE: {
        if (s->started) return SANE_STATUS_DEVICE_BUSY;
        // The reload bits say exactly what changed: the parameters a scan
        // would have, and which options are active.
        SANE_Parameters before{}, after{};
        std::array<SANE_Int, kOptionCount> caps{};
        for (SANE_Int i = 0; i < kOptionCount; ++i)
            caps[static_cast<size_t>(i)] = s->options->Descriptor(i)->cap;
        GetParameters(handle, &before);
        SANE_Int inexact = 0;
        const SANE_Status status = s->options->Set(option, value, &inexact);
        if (status != SANE_STATUS_GOOD) return status;
        GetParameters(handle, &after);
        SANE_Int changes = inexact;
        if (std::memcmp(&before, &after, sizeof before) != 0) changes |= SANE_INFO_RELOAD_PARAMS;
        for (SANE_Int i = 0; i < kOptionCount; ++i) {
            if (caps[static_cast<size_t>(i)] != s->options->Descriptor(i)->cap)
                changes |= SANE_INFO_RELOAD_OPTIONS;
        }
        if (info != nullptr) *info = changes;
        return SANE_STATUS_GOOD;
    }
    case SANE_ACTION_SET_AUTO: return SANE_STATUS_INVAL; // no option has an automatic value
    }
    return SANE_STATUS_INVAL;
}

void FillParameters(const docscan_cli::ScanPlan &plan, SANE_Parameters *p)
{
    const bool color = plan.image.kind == docscan_cli::PixelKind::Rgb;
    p->format = color ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
    p->last_frame = SANE_TRUE;
    p->depth = plan.image.kind == docscan_cli::PixelKind::Bilevel ? 1 : 8;
    p->pixels_per_line = static_cast<SANE_Int>(plan.image.width);
    p->lines = static_cast<SANE_Int>(plan.image.height);
    p->bytes_per_line = static_cast<SANE_Int>(plan.bytesPerLine);
}

SANE_Status GetParameters(SANE_Handle handle, SANE_Parameters *params)
{
    Scanner *s = FromHandle(handle);
    if (s == nullptr || params == nullptr) return SANE_STATUS_INVAL;
    if (s->started) {
        FillParameters(s->plan, params);
        return SANE_STATUS_GOOD;
    }
    docscan_cli::ScanPlan plan;
    std::string error;
    const docscan_cli::ScanRequest request = s->options->Request();
    if (!docscan_cli::PlanScan(request, s->ability, &plan, &error)) {
        // No scan in this area (sane_start will refuse it): a frame of the mode without pixels.
        Dbg(3, "get_parameters: %s", error.c_str());
        plan = docscan_cli::ScanPlan{};
        plan.image.kind = request.mode == docscan_cli::ScanModeChoice::Color ? docscan_cli::PixelKind::Rgb
                          : request.mode == docscan_cli::ScanModeChoice::Gray
                              ? docscan_cli::PixelKind::Gray
                              : docscan_cli::PixelKind::Bilevel;
    }
    FillParameters(plan, params);
    return SANE_STATUS_GOOD;
}

SANE_Status SendGamma(Scanner &s)
{
    // A custom table goes to every channel; turning it off restores the identity.
    std::array<uint8_t, kGammaSize> table;
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] =
            static_cast<uint8_t>(s.options->customGamma() ? s.options->gammaTable()[i] : static_cast<int>(i));
    }
    for (uint8_t channel = 1; channel <= 3; ++channel) {
        if (!gBackend->driver.SetGammaTable(table.data(), channel)) return DriverFailure("SetGammaTable");
    }
    return SANE_STATUS_GOOD;
}

SANE_Status Start(SANE_Handle handle)
{
    Scanner *s = FromHandle(handle);
    if (s == nullptr) return SANE_STATUS_INVAL;
    if (s->started) {
        // A cancelled scan, or one whose data were left unread, is wound up;
        // a scan still delivering is not interrupted.
        if (!s->cancelRequested.load() && s->outcome.load() == Outcome::Running)
            return SANE_STATUS_DEVICE_BUSY;
        StopRunningScan(*s);
    }
    s->cancelRequested.store(false);
    uint64_t drained;
    while (read(s->wakeFd, &drained, sizeof drained) > 0) {
    }
    s->outcome.store(Outcome::Running);
    s->failedStatus = 0;
    s->nonBlocking = false;
    s->finalStatus = SANE_STATUS_INVAL;

    std::string error;
    if (!docscan_cli::PlanScan(s->options->Request(), s->ability, &s->plan, &error)) {
        Dbg(1, "start: %s", error.c_str());
        return SANE_STATUS_INVAL;
    }
    docscan_cli::Driver &d = gBackend->driver;
    tagScanParameter parameter = s->plan.parameter;
    if (!d.SetScanParameter(&parameter)) return DriverFailure("SetScanParameter");
    static bool gammaSent = false; // the scanner keeps a table until it is replaced
    if (s->options->customGamma() || gammaSent) {
        if (SANE_Status status = SendGamma(*s); status != SANE_STATUS_GOOD) return status;
        gammaSent = s->options->customGamma();
    }
    if (!d.StartScan()) {
        const SANE_Status status = DriverFailure("StartScan");
        d.StopScan();
        return status;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        d.StopScan();
        return SANE_STATUS_NO_MEM;
    }
    fcntl(fds[1], F_SETPIPE_SZ, kPipeBytes); // a larger pipe means fewer wake-ups; not required
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    s->dataFd = fds[0];
    s->writeFd = fds[1];
    try {
        s->reader = std::thread(ReaderThread, s);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        s->dataFd = s->writeFd = -1;
        d.StopScan();
        return SANE_STATUS_NO_MEM;
    }
    s->started = true;
    Dbg(2, "start: %u x %u pixels, %zu bytes per line", s->plan.image.width, s->plan.image.height,
        s->plan.bytesPerLine);
    return SANE_STATUS_GOOD;
}

SANE_Status Read(SANE_Handle handle, SANE_Byte *data, SANE_Int maxLength, SANE_Int *length)
{
    if (length != nullptr) *length = 0;
    Scanner *s = FromHandle(handle);
    if (s == nullptr || data == nullptr || length == nullptr || maxLength <= 0) return SANE_STATUS_INVAL;
    if (!s->started) {
        if (s->cancelRequested.load(std::memory_order_acquire)) return SANE_STATUS_CANCELLED;
        return s->finalStatus;
    }
    for (;;) {
        if (s->cancelRequested.load(std::memory_order_acquire)) {
            WindUp(*s);
            s->finalStatus = SANE_STATUS_CANCELLED;
            return SANE_STATUS_CANCELLED;
        }
        if (!s->nonBlocking) {
            pollfd fds[2] = {{s->dataFd, POLLIN, 0}, {s->wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return SANE_STATUS_IO_ERROR;
            if (s->cancelRequested.load(std::memory_order_acquire)) continue;
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        }
        const ssize_t n = read(s->dataFd, data, static_cast<size_t>(maxLength));
        if (n > 0) {
            *length = static_cast<SANE_Int>(n);
            return SANE_STATUS_GOOD;
        }
        if (n == 0) {
            WindUp(*s);
            s->finalStatus = OutcomeStatus(*s);
            Dbg(2, "read: %s", StatusName(s->finalStatus));
            return s->finalStatus;
        }
        if (errno == EAGAIN) {
            if (s->nonBlocking) return SANE_STATUS_GOOD;
            continue;
        }
        if (errno != EINTR) return SANE_STATUS_IO_ERROR;
    }
}

// Async-signal-safe: an atomic store and a write(2), nothing else.
void Cancel(SANE_Handle handle)
{
    auto *s = static_cast<Scanner *>(handle);
    if (s == nullptr) return;
    s->cancelRequested.store(true, std::memory_order_release);
    const int fd = s->wakeFd;
    if (fd >= 0) {
        const uint64_t one = 1;
        const ssize_t written = write(fd, &one, sizeof one);
        (void)written;
    }
}

SANE_Status SetIoMode(SANE_Handle handle, SANE_Bool nonBlocking)
{
    Scanner *s = FromHandle(handle);
    if (s == nullptr || !s->started) return SANE_STATUS_INVAL;
    const int flags = fcntl(s->dataFd, F_GETFL);
    if (flags < 0 ||
        fcntl(s->dataFd, F_SETFL, nonBlocking != SANE_FALSE ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) < 0) {
        return SANE_STATUS_IO_ERROR;
    }
    s->nonBlocking = nonBlocking != SANE_FALSE;
    return SANE_STATUS_GOOD;
}

SANE_Status GetSelectFd(SANE_Handle handle, SANE_Int *fd)
{
    Scanner *s = FromHandle(handle);
    if (s == nullptr || fd == nullptr || !s->started) return SANE_STATUS_INVAL;
    *fd = s->dataFd;
    return SANE_STATUS_GOOD;
}

// Every entry point runs its body here: nothing thrown leaves the backend.
template <typename F>
SANE_Status Guard(const char *entry, F body)
{
    try {
        if (gBackend == nullptr) {
            Dbg(1, "%s before sane_init", entry);
            return SANE_STATUS_INVAL;
        }
        return body();
    } catch (const std::bad_alloc &) {
        Dbg(1, "%s: out of memory", entry);
        return SANE_STATUS_NO_MEM;
    } catch (const std::exception &e) {
        Dbg(1, "%s: %s", entry, e.what());
        return SANE_STATUS_IO_ERROR;
    } catch (...) {
        Dbg(1, "%s: unexpected failure", entry);
        return SANE_STATUS_IO_ERROR;
    }
}

} // namespace
} // namespace docscan_sane

using namespace docscan_sane;

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_init(SANE_Int *version, SANE_Auth_Callback)
{
    try {
        return Init(version);
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

DOCSCAN_SANE_EXPORT void sane_docscan_exit(void)
{
    Guard("sane_exit", [] {
        Exit();
        return SANE_STATUS_GOOD;
    });
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_get_devices(const SANE_Device ***list, SANE_Bool localOnly)
{
    return Guard("sane_get_devices", [&] { return GetDevices(list, localOnly); });
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_open(SANE_String_Const name, SANE_Handle *handle)
{
    return Guard("sane_open", [&] { return Open(name, handle); });
}

DOCSCAN_SANE_EXPORT void sane_docscan_close(SANE_Handle handle)
{
    Guard("sane_close", [&] {
        if (Scanner *s = FromHandle(handle); s != nullptr) CloseScanner(s);
        return SANE_STATUS_GOOD;
    });
}

DOCSCAN_SANE_EXPORT const SANE_Option_Descriptor *sane_docscan_get_option_descriptor(SANE_Handle handle,
                                                                                     SANE_Int option)
{
    const SANE_Option_Descriptor *result = nullptr;
    Guard("sane_get_option_descriptor", [&] {
        if (Scanner *s = FromHandle(handle); s != nullptr) result = s->options->Descriptor(option);
        return SANE_STATUS_GOOD;
    });
    return result;
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_control_option(SANE_Handle handle, SANE_Int option,
                                                            SANE_Action action, void *value, SANE_Int *info)
{
    return Guard("sane_control_option", [&] { return ControlOption(handle, option, action, value, info); });
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_get_parameters(SANE_Handle handle, SANE_Parameters *params)
{
    return Guard("sane_get_parameters", [&] { return GetParameters(handle, params); });
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_start(SANE_Handle handle)
{
    return Guard("sane_start", [&] { return Start(handle); });
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_read(SANE_Handle handle, SANE_Byte *data, SANE_Int maxLength,
                                                  SANE_Int *length)
{
    return Guard("sane_read", [&] { return Read(handle, data, maxLength, length); });
}

// No Guard here: sane_cancel may run in a signal handler, and Cancel neither
// throws nor does anything but a store and a write.
DOCSCAN_SANE_EXPORT void sane_docscan_cancel(SANE_Handle handle) { Cancel(handle); }

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_set_io_mode(SANE_Handle handle, SANE_Bool nonBlocking)
{
    return Guard("sane_set_io_mode", [&] { return SetIoMode(handle, nonBlocking); });
}

DOCSCAN_SANE_EXPORT SANE_Status sane_docscan_get_select_fd(SANE_Handle handle, SANE_Int *fd)
{
    return Guard("sane_get_select_fd", [&] { return GetSelectFd(handle, fd); });
}
