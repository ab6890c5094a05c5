// Output files renamed into place, and the signal handling around a scan.
#include "tools/outputfile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace docscan_cli {
namespace {

// Temporary files a signal handler must remove. A slot is claimed by writing
// its path and then setting `used`; the handler reads only slots in use.
constexpr int kSlots = 4;
struct TempSlot {
    char path[PATH_MAX];
    volatile sig_atomic_t used;
};
TempSlot gTempSlots[kSlots];
volatile sig_atomic_t gCaught = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal)
{
    if (gCaught == 0) {
        gCaught = signal;
        return;
    }
    for (TempSlot &slot : gTempSlots) {
        if (slot.used != 0) unlink(slot.path);
    }
    _exit(128 + gCaught);
}

int ClaimSlot(const std::string &path)
{
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (gTempSlots[i].used == 0) {
            std::memcpy(gTempSlots[i].path, path.c_str(), path.size() + 1);
            gTempSlots[i].used = 1;
            return i;
        }
    }
    return -1;
}

std::string ErrnoText(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

} // namespace

std::string OutputFile::folder() const
{
    const size_t slash = path_.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path_.substr(0, slash);
}

bool OutputFile::Open(const std::string &path, std::string *error)
{
    Discard();
    path_ = path;
    seekable_ = false;
    if (path == "-") {
        file_ = stdout;
        return true;
    }
    struct stat st = {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = "cannot write " + path + ": it is a folder";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            // A device or a pipe: written straight, never truncated or removed.
            const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            if (fd < 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
                *error = ErrnoText("cannot open", path);
                if (fd >= 0) close(fd);
                return false;
            }
            return true;
        }
    }
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText("cannot create", path);
        return false;
    }
    // mkstemp makes the file 0600; the finished file gets the usual 0666 less the umask.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        *error = ErrnoText("cannot create", path);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    temp_ = temp;
    slot_ = ClaimSlot(temp_);
    seekable_ = true;
    return true;
}

bool OutputFile::Commit(std::string *error)
{
    if (file_ == nullptr) {
        *error = "cannot write " + path_ + ": not open";
        return false;
    }
    bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    int saved = errno;
    if (file_ != stdout) {
        if (std::fclose(file_) != 0 && ok) {
            ok = false;
            saved = errno;
        }
    }
    file_ = nullptr;
    if (ok && !temp_.empty() && std::rename(temp_.c_str(), path_.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        errno = saved;
        *error = ErrnoText("cannot write", path_);
        Discard();
        return false;
    }
    if (slot_ >= 0) gTempSlots[slot_].used = 0;
    slot_ = -1;
    temp_.clear();
    return true;
}

void OutputFile::Discard()
{
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    if (file_ == stdout) std::fflush(stdout);
    file_ = nullptr;
    if (!temp_.empty()) unlink(temp_.c_str());
    if (slot_ >= 0) gTempSlots[slot_].used = 0;
    slot_ = -1;
    temp_.clear();
}

SignalGuard::SignalGuard()
{
    gCaught = 0;
    struct sigaction action = {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

SignalGuard::~SignalGuard()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

int SignalGuard::Caught() { return gCaught; }

} // namespace docscan_cli
