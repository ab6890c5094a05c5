// Virtual scanner: usbfs emulation under umockdev.
//
// The handler runs in umockdev's worker thread. libusb submits URBs and then
// polls the device fd (always writable under umockdev) and reaps with
// REAPURBNDELAY; a URB the device cannot answer yet stays queued and the reap
// answers EAGAIN, exactly like the kernel. A throttled transfer the device has
// answered but the wire has not finished yet completes its reap when it is
// done (so the host does not ask again and again). Every URB completion goes
// through the device model.
#include "sim/usb_glue.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kEpBulkIn = 0x81;
constexpr std::uint8_t kEpBulkOut = 0x02;
constexpr std::uint8_t kEpInterruptIn = 0x83;

// How far the throttled wire may run behind the host's requests: about what a
// scanner buffers (2 MB at 40 MB/s). After a pause of kWireIdle the wire was
// idle: it starts afresh, with nothing sent ahead.
constexpr std::chrono::milliseconds kWireLag{50};
constexpr std::chrono::milliseconds kWireIdle{1000};
// The longest a reap waits for a transfer still on the wire before it answers
// "try again" (so that libusb sees its own time-outs).
constexpr std::chrono::milliseconds kLongestReapWait{10};

std::atomic<bool> gBusRunning{false};

// The folder of the test bed this process made and has not removed yet, for
// removal from a signal handler or at exit (plain storage: nothing there may lock).
char gTestbedDir[4096];
std::atomic<bool> gTestbedDirSet{false};

// Async-signal-safe removal of a folder tree (system calls only, no heap, no
// locks; symbolic links are removed, never followed).
void removeEntry(int dirFd, const char *name, int depth);

void clearFolder(int fd, int depth)
{
    struct Entry {
        std::uint64_t ino;
        std::int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
    };
    alignas(8) char buffer[2048];
    for (bool removed = true; removed;) {
        removed = false;
        lseek(fd, 0, SEEK_SET);
        long n = 0;
        while ((n = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < n;) {
                const Entry *e = reinterpret_cast<const Entry *>(buffer + at);
                at += e->reclen;
                if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0) continue;
                removeEntry(fd, e->name, depth);
                removed = true;
            }
        }
        if (n < 0) return;
    }
}

void removeEntry(int dirFd, const char *name, int depth)
{
    if (unlinkat(dirFd, name, 0) == 0 || errno != EISDIR) return;
    if (depth > 0) {
        const int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            clearFolder(fd, depth - 1);
            close(fd);
        }
    }
    unlinkat(dirFd, name, AT_REMOVEDIR);
}

void removeTestbedFilesAtExit() { removeTestbedFiles(); }

void rememberTestbedDir(UMockdevTestbed *testbed)
{
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(&removeTestbedFilesAtExit); });
    gchar *dir = umockdev_testbed_get_root_dir(testbed);
    if (dir != nullptr && std::strlen(dir) < sizeof gTestbedDir) {
        std::strcpy(gTestbedDir, dir);
        gTestbedDirSet = true;
    }
    g_free(dir);
}

void appendLe16(std::vector<std::uint8_t> &v, unsigned value)
{
    v.push_back(static_cast<std::uint8_t>(value));
    v.push_back(static_cast<std::uint8_t>(value >> 8));
}

// Configuration descriptor with interface 0 and the endpoints given.
std::vector<std::uint8_t> configDescriptor(std::uint8_t value, bool bulkIn, bool bulkOut, bool interruptIn)
{
    std::vector<std::uint8_t> d{9, 0x02, 0, 0, 1, value, 0, 0xC0, 1};
    const std::uint8_t endpoints = static_cast<std::uint8_t>(bulkIn + bulkOut + interruptIn);
    const std::uint8_t iface[] = {9, 0x04, 0, 0, endpoints, 0xFF, 0xFF, 0xFF, 0};
    d.insert(d.end(), std::begin(iface), std::end(iface));
    auto endpoint = [&d](std::uint8_t address, std::uint8_t type, unsigned maxPacket, std::uint8_t interval) {
        d.insert(d.end(), {7, 0x05, address, type});
        appendLe16(d, maxPacket);
        d.push_back(interval);
    };
    if (bulkIn) endpoint(kEpBulkIn, 0x02, 512, 0);
    if (bulkOut) endpoint(kEpBulkOut, 0x02, 512, 0);
    if (interruptIn) endpoint(kEpInterruptIn, 0x03, 8, 10);
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

// Device descriptor followed by every configuration descriptor, as the
// kernel's sysfs "descriptors" attribute holds them.
std::vector<std::uint8_t> descriptorBlob(const DeviceOptions &o)
{
    const bool second = o.activeConfiguration == 2;
    std::vector<std::uint8_t> d{18, 0x01, 0x00, 0x02, 0, 0, 0, 64};
    appendLe16(d, o.vendorId);
    appendLe16(d, o.productId);
    appendLe16(d, 0x0100); // bcdDevice
    d.insert(d.end(), {1, 2, 3, static_cast<std::uint8_t>(second ? 2 : 1)});
    auto c1 = configDescriptor(1, o.bulkIn, o.bulkOut, o.interruptIn);
    d.insert(d.end(), c1.begin(), c1.end());
    if (second) {
        auto c2 = configDescriptor(2, false, false, false);
        d.insert(d.end(), c2.begin(), c2.end());
    }
    return d;
}

std::string hex(const std::vector<std::uint8_t> &bytes)
{
    std::string s;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s;
}

std::vector<std::uint8_t> stringDescriptor(const std::string &text)
{
    std::vector<std::uint8_t> d{0, 0x03};
    for (char c : text.substr(0, 126)) appendLe16(d, static_cast<unsigned char>(c));
    d[0] = static_cast<std::uint8_t>(d.size());
    return d;
}

int urbStatusFor(TransferStatus s)
{
    switch (s) {
    case TransferStatus::Done:
    case TransferStatus::Pending: return 0;
    case TransferStatus::Stall: return -EPIPE;
    case TransferStatus::NoDevice: return -ENODEV;
    case TransferStatus::IoError: return -EPROTO;
    }
    return -EPROTO;
}

} // namespace

// ---------------------------------------------------------------------------

struct VirtualScannerBus::State {
    UMockdevTestbed *testbed = nullptr;
    bool stopped = false;
    std::vector<std::unique_ptr<Device>> devices;
};

struct VirtualScannerBus::Device {
    struct Urb {
        UMockdevIoctlClient *client = nullptr;
        UMockdevIoctlData *urb = nullptr;    // owned reference
        UMockdevIoctlData *buffer = nullptr; // owned reference, null for empty buffers
        Clock::time_point submittedAt{};     // when the host handed the URB over
        Clock::time_point readyAt{};         // when its transfer is done on the wire

        usbdevfs_urb *get() const { return reinterpret_cast<usbdevfs_urb *>(urb->data); }
        std::span<std::uint8_t> data() const
        {
            if (!buffer) return {};
            return {buffer->data, static_cast<std::size_t>(std::max(buffer->data_len, 0))};
        }
    };

    State *bus = nullptr;
    std::size_t index = 0;
    DeviceOptions options;
    std::unique_ptr<DeviceModel> model;
    unsigned devnum = 0;
    std::string sysPath;
    std::string node;
    std::vector<std::uint8_t> descriptors;
    UMockdevIoctlBase *handler = nullptr;

    mutable std::mutex mutex;
    std::deque<Urb> inflight;                      // waiting for the device
    std::deque<Urb> done;                          // reapable, in completion order
    std::map<UMockdevIoctlClient *, bool> clients; // open handles; true = holds interface 0
    std::uint8_t configuration = 1;
    bool refuseClaim = false;
    bool gone = false;
    bool removed = false;
    Clock::time_point nextFree{}; // when the throttled wire has sent what it was given
    std::uint64_t pacedRate = 0;  // the throttle nextFree was reckoned at
    UrbStats stats;

    static void release(Urb &u)
    {
        if (u.buffer) g_object_unref(u.buffer);
        if (u.urb) g_object_unref(u.urb);
        u.buffer = nullptr;
        u.urb = nullptr;
    }

    ~Device()
    {
        for (Urb &u : inflight) release(u);
        for (Urb &u : done) release(u);
        for (auto &c : clients) g_object_unref(c.first);
        if (handler) g_object_unref(handler);
    }

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        return static_cast<Device *>(self)->handleIoctl(client);
    }
    static void onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        auto *d = static_cast<Device *>(self);
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->clients.emplace(client, false).second) g_object_ref(client);
    }
    static void onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        auto *d = static_cast<Device *>(self);
        std::lock_guard<std::mutex> lock(d->mutex);
        d->clientGone(client);
    }

    // umockdev does not reliably signal a closed fd, but the client's
    // "connected" property drops: look for closed handles before each request.
    void pruneClients()
    {
        for (auto it = clients.begin(); it != clients.end();) {
            UMockdevIoctlClient *client = it->first;
            ++it;
            if (!umockdev_ioctl_client_get_connected(client)) clientGone(client);
        }
    }

    // A closed fd releases its claim and its URBs, as the kernel does.
    void clientGone(UMockdevIoctlClient *client)
    {
        auto found = clients.find(client);
        if (found == clients.end()) return;
        clients.erase(found);
        for (auto *queue : {&inflight, &done}) {
            for (auto it = queue->begin(); it != queue->end();) {
                if (it->client == client) {
                    release(*it);
                    it = queue->erase(it);
                } else {
                    ++it;
                }
            }
        }
        g_object_unref(client);
    }

    bool hasEndpoint(std::uint8_t endpoint, unsigned char type) const
    {
        if (configuration != 1) return false;
        switch (endpoint) {
        case kEpBulkIn: return options.bulkIn && type == USBDEVFS_URB_TYPE_BULK;
        case kEpBulkOut: return options.bulkOut && type == USBDEVFS_URB_TYPE_BULK;
        case kEpInterruptIn: return options.interruptIn && type == USBDEVFS_URB_TYPE_INTERRUPT;
        default: return false;
        }
    }

    // Moves a finished URB to the reap queue, applying the data rate limit.
    //
    // The throttle paces the wire to a deadline: each transfer is due when the
    // wire has sent it after the ones before. Like a device that goes on
    // sending while the host is busy, the wire may lag up to kWireLag behind
    // the host's request, so the emulation's own work and the host's short
    // pauses overlap the wire time instead of adding to it.
    void finish(Urb u, int status, std::size_t actual, bool counted)
    {
        usbdevfs_urb *urb = u.get();
        urb->status = status;
        urb->actual_length = static_cast<int>(actual);
        u.readyAt = Clock::now();
        const std::uint64_t rate = model->throttle();
        if (rate != pacedRate) { // a new rate starts from an idle wire, without credit
            pacedRate = rate;
            nextFree = u.readyAt;
        }
        if (counted && rate > 0 && actual > 0) {
            const auto cost = std::chrono::nanoseconds(actual * 1000000000ull / rate);
            const Clock::time_point asked = u.submittedAt != Clock::time_point{} ? u.submittedAt : u.readyAt;
            nextFree = (asked - nextFree > kWireIdle ? asked : std::max(nextFree, asked - kWireLag)) + cost;
            u.readyAt = nextFree;
        }
        done.push_back(u);
    }

    // The device is gone: everything in flight ends with ENODEV.
    void markGone()
    {
        if (gone) return;
        gone = true;
        while (!inflight.empty()) {
            Urb u = inflight.front();
            inflight.pop_front();
            finish(u, -ENODEV, 0, false);
        }
    }

    // Serves queued IN URBs from the model, in submission order per endpoint.
    void pump()
    {
        if (!gone && model->unplugged()) markGone();
        if (gone) return;
        bool bulkBlocked = false;
        bool interruptBlocked = false;
        for (auto it = inflight.begin(); it != inflight.end();) {
            usbdevfs_urb *urb = it->get();
            const bool bulk = urb->endpoint == kEpBulkIn;
            if ((bulk && bulkBlocked) || (!bulk && interruptBlocked)) {
                ++it;
                continue;
            }
            TransferResult r = bulk ? model->bulkIn(it->data()) : model->interruptIn(it->data());
            if (r.status == TransferStatus::Pending) {
                (bulk ? bulkBlocked : interruptBlocked) = true;
                ++it;
                continue;
            }
            Urb u = *it;
            it = inflight.erase(it);
            if (r.status == TransferStatus::Done) stats.bytesIn += r.length;
            finish(u, urbStatusFor(r.status), r.length, bulk);
            if (r.status == TransferStatus::NoDevice) {
                markGone();
                return;
            }
        }
    }

    static void complete(UMockdevIoctlClient *client, long result, int error)
    {
        umockdev_ioctl_client_complete(client, result, error);
    }

    // Resolves the ioctl argument as a pointer to `len` bytes.
    static UMockdevIoctlData *resolveArg(UMockdevIoctlClient *client, std::size_t len)
    {
        GError *error = nullptr;
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, len, &error);
        if (error) g_error_free(error);
        return data;
    }

    static unsigned argValue(UMockdevIoctlClient *client)
    {
        UMockdevIoctlData *data = resolveArg(client, sizeof(unsigned));
        if (!data) return ~0u;
        unsigned value;
        std::memcpy(&value, data->data, sizeof value);
        g_object_unref(data);
        return value;
    }

    // Standard requests on endpoint 0. Returns the number of data bytes, or -1
    // for a stall.
    int control(const std::uint8_t *setup, std::uint8_t *data, std::size_t room)
    {
        const std::uint8_t requestType = setup[0];
        const std::uint8_t request = setup[1];
        const unsigned value = setup[2] | (setup[3] << 8);
        const std::size_t length = std::min<std::size_t>(setup[6] | (setup[7] << 8), room);
        std::vector<std::uint8_t> reply;
        if (requestType == 0x80 && request == USB_REQ_GET_DESCRIPTOR) {
            const unsigned type = value >> 8;
            const unsigned which = value & 0xFF;
            if (type == USB_DT_DEVICE) {
                reply.assign(descriptors.begin(), descriptors.begin() + 18);
            } else if (type == USB_DT_CONFIG) {
                std::size_t pos = 18;
                for (unsigned i = 0; pos + 4 <= descriptors.size(); ++i) {
                    const std::size_t total = descriptors[pos + 2] | (descriptors[pos + 3] << 8);
                    if (total < 9) break;
                    if (i == which) {
                        reply.assign(descriptors.begin() + static_cast<std::ptrdiff_t>(pos),
                                     descriptors.begin() + static_cast<std::ptrdiff_t>(
                                                               std::min(pos + total, descriptors.size())));
                        break;
                    }
                    pos += total;
                }
                if (reply.empty()) return -1;
            } else if (type == USB_DT_STRING) {
                switch (which) {
                case 0: reply = {4, 0x03, 0x09, 0x04}; break;
                case 1: reply = stringDescriptor(options.manufacturer); break;
                case 2: reply = stringDescriptor(options.product); break;
                case 3: reply = stringDescriptor(options.serial); break;
                default: return -1;
                }
            } else {
                return -1;
            }
        } else if (requestType == 0x80 && request == USB_REQ_GET_CONFIGURATION) {
            reply = {configuration};
        } else if ((requestType & 0x80) && request == USB_REQ_GET_STATUS) {
            reply = {0, 0};
        } else {
            return -1;
        }
        const std::size_t n = std::min(length, reply.size());
        std::memcpy(data, reply.data(), n);
        return static_cast<int>(n);
    }

    // Takes the device off the bus: sysfs entry and node removed, "remove"
    // uevent sent (libusb's hotplug monitor drops it from its list).
    void removeFromBus()
    {
        umockdev_testbed_uevent(bus->testbed, sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(bus->testbed, sysPath.c_str());
    }

    gboolean handleIoctl(UMockdevIoctlClient *client)
    {
        // The worker's timed completions land on time (1 ns timer slack instead
        // of 50 us: measured 1.011 instead of 1.037 of the wire time for a page).
        static thread_local const bool fineSlack = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
        (void)fineSlack;
        bool removeNow = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            dispatch(client, lock);
            if (gone && !removed) {
                removed = true;
                removeNow = true;
            }
        }
        if (removeNow) removeFromBus();
        return TRUE;
    }

    bool otherClientHolds(UMockdevIoctlClient *client) const
    {
        return std::any_of(clients.begin(), clients.end(),
                           [client](auto &c) { return c.second && c.first != client; });
    }

    // A handle closed just before this request may not have been noticed yet
    // (umockdev sees the closed socket asynchronously, the kernel at once): let
    // the worker's main context run pending events for a moment before
    // declaring the interface busy.
    bool claimConflict(UMockdevIoctlClient *client, std::unique_lock<std::mutex> &lock)
    {
        GMainContext *context = g_main_context_get_thread_default();
        for (int i = 0; i < 20 && otherClientHolds(client); ++i) {
            lock.unlock();
            if (g_main_context_is_owner(context)) {
                while (g_main_context_iteration(context, FALSE)) {
                }
            }
            g_usleep(1000);
            lock.lock();
            pruneClients();
        }
        return otherClientHolds(client);
    }

    gboolean dispatch(UMockdevIoctlClient *client, std::unique_lock<std::mutex> &lock)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        pruneClients();
        if (!gone && model->unplugged()) markGone();
        if (gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
            request != USBDEVFS_DISCARDURB) {
            complete(client, -1, ENODEV);
            return TRUE;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = resolveArg(client, sizeof(std::uint32_t));
            if (!caps) break;
            const std::uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps->data, &value, sizeof value);
            complete(client, 0, 0);
            g_object_unref(caps);
            return TRUE;
        }
        case USBDEVFS_SETCONFIGURATION: {
            const int value = static_cast<int>(argValue(client));
            const std::uint8_t wanted = value < 0 ? 0 : static_cast<std::uint8_t>(value);
            const bool known =
                wanted == 0 || wanted == 1 || (wanted == 2 && options.activeConfiguration == 2);
            if (!known) {
                complete(client, -1, EINVAL);
            } else if (std::any_of(clients.begin(), clients.end(), [](auto &c) { return c.second; })) {
                complete(client, -1, EBUSY);
            } else {
                configuration = wanted;
                // An unconfigured device has an empty attribute.
                umockdev_testbed_set_attribute(bus->testbed, sysPath.c_str(), "bConfigurationValue",
                                               wanted ? (std::to_string(wanted) + "\n").c_str() : "");
                complete(client, 0, 0);
            }
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            const unsigned iface = argValue(client);
            if (iface != 0 || configuration == 0) {
                complete(client, -1, ENOENT);
            } else if (refuseClaim || claimConflict(client, lock)) {
                complete(client, -1, EBUSY);
            } else {
                if (clients.emplace(client, true).second) {
                    g_object_ref(client);
                } else {
                    clients[client] = true;
                }
                complete(client, 0, 0);
            }
            return TRUE;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            const unsigned iface = argValue(client);
            auto it = clients.find(client);
            if (iface != 0 || it == clients.end() || !it->second) {
                complete(client, -1, EINVAL);
            } else {
                it->second = false;
                complete(client, 0, 0);
            }
            return TRUE;
        }
        case USBDEVFS_SUBMITURB: return submit(client);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: return reap(client);
        case USBDEVFS_DISCARDURB: return discard(client);
        case USBDEVFS_CONNECTINFO: {
            UMockdevIoctlData *info = resolveArg(client, sizeof(usbdevfs_connectinfo));
            if (!info) break;
            usbdevfs_connectinfo ci{};
            ci.devnum = devnum;
            ci.slow = options.speedMbps < 12;
            std::memcpy(info->data, &ci, sizeof ci);
            complete(client, 0, 0);
            g_object_unref(info);
            return TRUE;
        }
        case USBDEVFS_GET_SPEED:
            complete(client,
                     options.speedMbps >= 5000  ? USB_SPEED_SUPER
                     : options.speedMbps >= 480 ? USB_SPEED_HIGH
                     : options.speedMbps >= 12  ? USB_SPEED_FULL
                                                : USB_SPEED_LOW,
                     0);
            return TRUE;
        case USBDEVFS_GETDRIVER:
            complete(client, -1, ENODATA); // no kernel driver is bound
            return TRUE;
        case USBDEVFS_IOCTL: complete(client, -1, ENODATA); return TRUE;
        case USBDEVFS_RESET:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: complete(client, 0, 0); return TRUE;
        case USBDEVFS_CONTROL: return syncControl(client);
        default: break;
        }
        complete(client, -1, ENOTTY);
        return TRUE;
    }

    gboolean syncControl(UMockdevIoctlClient *client)
    {
        UMockdevIoctlData *arg = resolveArg(client, sizeof(usbdevfs_ctrltransfer));
        if (!arg) {
            complete(client, -1, EFAULT);
            return TRUE;
        }
        usbdevfs_ctrltransfer ct;
        std::memcpy(&ct, arg->data, sizeof ct);
        const std::uint8_t setup[8] = {ct.bRequestType,
                                       ct.bRequest,
                                       static_cast<std::uint8_t>(ct.wValue),
                                       static_cast<std::uint8_t>(ct.wValue >> 8),
                                       static_cast<std::uint8_t>(ct.wIndex),
                                       static_cast<std::uint8_t>(ct.wIndex >> 8),
                                       static_cast<std::uint8_t>(ct.wLength),
                                       static_cast<std::uint8_t>(ct.wLength >> 8)};
        int n = -1;
        if (ct.wLength == 0) {
            std::uint8_t none = 0;
            n = control(setup, &none, 0);
        } else {
            GError *error = nullptr;
            UMockdevIoctlData *data =
                umockdev_ioctl_data_resolve(arg, offsetof(usbdevfs_ctrltransfer, data), ct.wLength, &error);
            if (error) g_error_free(error);
            if (data) {
                n = control(setup, data->data, ct.wLength);
                g_object_unref(data);
            }
        }
        if (n < 0) {
            complete(client, -1, EPIPE);
        } else {
            complete(client, n, 0);
        }
        g_object_unref(arg);
        return TRUE;
    }

    gboolean submit(UMockdevIoctlClient *client)
    {
        Urb u;
        u.client = client;
        u.submittedAt = Clock::now();
        u.urb = resolveArg(client, sizeof(usbdevfs_urb));
        if (!u.urb) {
            complete(client, -1, EFAULT);
            return TRUE;
        }
        usbdevfs_urb *urb = u.get();
        if (urb->buffer_length < 0) {
            release(u);
            complete(client, -1, EINVAL);
            return TRUE;
        }
        if (urb->buffer_length > 0) {
            GError *error = nullptr;
            u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer),
                                                   static_cast<gsize>(urb->buffer_length), &error);
            if (error) g_error_free(error);
            if (!u.buffer) {
                release(u);
                complete(client, -1, EFAULT);
                return TRUE;
            }
        }
        ++stats.submitted;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            auto data = u.data();
            if (data.size() < 8) {
                release(u);
                complete(client, -1, EINVAL);
                return TRUE;
            }
            const int n = control(data.data(), data.data() + 8, data.size() - 8);
            finish(u, n < 0 ? -EPIPE : 0, n < 0 ? 0 : static_cast<std::size_t>(n), false);
            complete(client, 0, 0);
            return TRUE;
        }
        if (!hasEndpoint(urb->endpoint, urb->type)) {
            release(u);
            complete(client, -1, ENOENT);
            return TRUE;
        }
        if (otherClientHolds(client)) {
            release(u);
            complete(client, -1, EBUSY);
            return TRUE;
        }
        if (urb->endpoint == kEpBulkOut) {
            TransferResult r = model->bulkOut(u.data());
            if (r.status == TransferStatus::Done) stats.bytesOut += r.length;
            finish(u, urbStatusFor(r.status), r.status == TransferStatus::Done ? r.length : 0, true);
        } else {
            inflight.push_back(u);
        }
        pump();
        complete(client, 0, 0);
        return TRUE;
    }

    // Hands the client its first finished URB when that is done on the wire.
    // Returns false, with the time it will be done in *due (if any), when
    // there is none to hand over yet.
    bool reapReady(UMockdevIoctlClient *client, std::optional<Clock::time_point> *due)
    {
        pump();
        const auto now = Clock::now();
        for (auto it = done.begin(); it != done.end(); ++it) {
            if (it->client != client) continue;
            if (it->readyAt > now) { // the head of this handle's queue is still on the wire
                *due = it->readyAt;
                return false;
            }
            Urb u = *it;
            done.erase(it);
            UMockdevIoctlData *slot = resolveArg(client, sizeof(void *));
            if (!slot) {
                release(u);
                complete(client, -1, EFAULT);
                return true;
            }
            umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
            ++stats.reaped;
            complete(client, 0, 0);
            g_object_unref(slot);
            release(u);
            return true;
        }
        return false;
    }

    // Nothing to reap: "no device" once it is gone, else "try again".
    void tryAgain(UMockdevIoctlClient *client)
    {
        if (!gone) ++stats.retries;
        complete(client, -1, gone ? ENODEV : EAGAIN);
    }

    // A reap of a transfer still on the wire completes when the transfer is
    // done (within kLongestReapWait), instead of answering "try again" to a
    // host that asks again at once.
    gboolean reap(UMockdevIoctlClient *client)
    {
        std::optional<Clock::time_point> due;
        if (reapReady(client, &due)) return TRUE;
        if (due && !gone) {
            reapLater(client, std::min(*due, Clock::now() + kLongestReapWait));
        } else {
            tryAgain(client);
        }
        return TRUE;
    }

    struct PendingReap {
        Device *device;
        UMockdevIoctlClient *client; // owned reference
    };

    // Completes the reap from the worker's own main context at `when`.
    void reapLater(UMockdevIoctlClient *client, Clock::time_point when)
    {
        GMainContext *worker = g_main_context_get_thread_default();
        if (worker == nullptr) { // no context of the test bed's to wait in: the host asks again
            tryAgain(client);
            return;
        }
        static GSourceFuncs funcs = {
            nullptr, nullptr, [](GSource *, GSourceFunc callback, gpointer data) { return callback(data); },
            nullptr, nullptr, nullptr};
        GSource *source = g_source_new(&funcs, sizeof(GSource));
        const auto micros = std::chrono::ceil<std::chrono::microseconds>(when.time_since_epoch()).count();
        g_source_set_ready_time(source, static_cast<gint64>(micros));
        g_source_set_callback(source, &Device::onReapDue,
                              new PendingReap{this, static_cast<UMockdevIoctlClient *>(g_object_ref(client))},
                              [](gpointer data) {
                                  auto *pending = static_cast<PendingReap *>(data);
                                  g_object_unref(pending->client);
                                  delete pending;
                              });
        g_source_attach(source, worker);
        g_source_unref(source);
    }

    static gboolean onReapDue(gpointer data)
    {
        auto *pending = static_cast<PendingReap *>(data);
        Device *d = pending->device;
        UMockdevIoctlClient *client = pending->client;
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!umockdev_ioctl_client_get_connected(client)) return G_SOURCE_REMOVE; // closed meanwhile
        std::optional<Clock::time_point> due;
        if (!d->reapReady(client, &due)) d->tryAgain(client);
        return G_SOURCE_REMOVE;
    }

    gboolean discard(UMockdevIoctlClient *client)
    {
        const gulong address = *reinterpret_cast<gulong *>(umockdev_ioctl_client_get_arg(client)->data);
        for (auto it = inflight.begin(); it != inflight.end(); ++it) {
            if (it->client == client && it->urb->client_addr == address) {
                Urb u = *it;
                inflight.erase(it);
                ++stats.discarded;
                finish(u, -ENOENT, 0, false);
                complete(client, 0, 0);
                return TRUE;
            }
        }
        complete(client, -1, EINVAL); // already completed: the caller reaps it
        return TRUE;
    }
};

// ---------------------------------------------------------------------------

VirtualScannerBus::VirtualScannerBus(BusOptions options)
    : options_(std::move(options)), state_(std::make_shared<State>())
{
    for (std::size_t i = 0; i < options_.devices.size(); ++i) {
        auto d = std::make_unique<Device>();
        d->bus = state_.get();
        d->index = i;
        d->options = options_.devices[i];
        d->model = std::make_unique<DeviceModel>(d->options.profile);
        d->devnum = static_cast<unsigned>(i + 2);
        char path[64];
        // libusb lists devices in reverse order of discovery (sysfs name order):
        // device 0 gets the highest port so that it comes first in libusb's list.
        std::snprintf(path, sizeof path, "/sys/devices/usb1/1-%zu", options_.devices.size() - i);
        d->sysPath = path;
        std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03u", d->devnum);
        d->node = path;
        d->descriptors = descriptorBlob(d->options);
        d->configuration = d->options.activeConfiguration;
        d->refuseClaim = d->options.refuseClaim;
        state_->devices.push_back(std::move(d));
    }
}

VirtualScannerBus::~VirtualScannerBus() { stop(); }

bool VirtualScannerBus::start(std::string *error)
{
    auto fail = [error](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    if (state_->stopped) return fail("a stopped bus cannot be started again");
    if (state_->testbed) return true;
    if (!preloadPresent()) {
        return fail("the umockdev preload (libumockdev-preload.so.0) is not loaded in this process");
    }
    bool expected = false;
    if (!gBusRunning.compare_exchange_strong(expected, true)) return fail("another virtual bus is running");
    state_->testbed = umockdev_testbed_new();
    rememberTestbedDir(state_->testbed);
    for (auto &d : state_->devices) {
        const DeviceOptions &o = d->options;
        char text[1024];
        std::snprintf(text, sizeof text,
                      "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
                      "E: BUSNUM=001\nE: DEVNUM=%03u\nE: PRODUCT=%x/%x/100\nH: descriptors=%s\n",
                      d->sysPath.c_str() + 4, d->node.c_str() + 5, d->node.c_str(), d->devnum, o.vendorId,
                      o.productId, hex(d->descriptors).c_str());
        GError *gerror = nullptr;
        if (!umockdev_testbed_add_from_string(state_->testbed, text, &gerror)) {
            std::string why = gerror ? gerror->message : "unknown";
            if (gerror) g_error_free(gerror);
            stop();
            return fail("umockdev could not add the device: " + why);
        }
        auto attr = [&](const char *name, const std::string &value) {
            const std::string line = value.empty() ? value : value + "\n";
            umockdev_testbed_set_attribute(state_->testbed, d->sysPath.c_str(), name, line.c_str());
        };
        char idv[8];
        std::snprintf(idv, sizeof idv, "%04x", o.vendorId);
        attr("idVendor", idv);
        std::snprintf(idv, sizeof idv, "%04x", o.productId);
        attr("idProduct", idv);
        attr("busnum", "1");
        attr("devnum", std::to_string(d->devnum));
        attr("speed", std::to_string(o.speedMbps));
        attr("bConfigurationValue", o.activeConfiguration ? std::to_string(o.activeConfiguration) : "");
        attr("bNumConfigurations", o.activeConfiguration == 2 ? "2" : "1");
        attr("manufacturer", o.manufacturer);
        attr("product", o.product);
        attr("serial", o.serial);

        d->handler = umockdev_ioctl_base_new();
        g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(Device::onIoctl), d.get());
        g_signal_connect(d->handler, "client-connected", G_CALLBACK(Device::onConnected), d.get());
        g_signal_connect(d->handler, "client-vanished", G_CALLBACK(Device::onVanished), d.get());
        if (!umockdev_testbed_attach_ioctl(state_->testbed, d->node.c_str(), d->handler, &gerror)) {
            std::string why = gerror ? gerror->message : "unknown";
            if (gerror) g_error_free(gerror);
            stop();
            return fail("umockdev could not attach the ioctl handler: " + why);
        }
    }
    return true;
}

void VirtualScannerBus::stop()
{
    if (!state_->testbed || state_->stopped) return;
    // A handle closed just now may still count as open for a moment.
    bool handlesOpen = false;
    for (int i = 0; i < 50; ++i) {
        handlesOpen = false;
        for (auto &d : state_->devices) {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->pruneClients();
            handlesOpen = handlesOpen || !d->clients.empty();
        }
        if (!handlesOpen) break;
        g_usleep(1000);
    }
    state_->stopped = true;
    gBusRunning = false;
    if (handlesOpen) {
        // Without the test bed, an ioctl on a handle still open would wait
        // forever inside the preload. So the devices go away instead (everything
        // in flight and after ends with "no device") and the test bed stays until
        // the process ends.
        std::fprintf(stderr,
                     "virtual scanner: libusb handles still open at stop; the devices are unplugged\n");
        for (auto &d : state_->devices) {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->markGone();
        }
        static std::mutex retiredMutex;
        static std::vector<std::shared_ptr<State>> retired;
        std::lock_guard<std::mutex> lock(retiredMutex);
        retired.push_back(state_);
        return;
    }
    // Dropping the test bed stops its worker thread (no handler runs afterwards)
    // and removes its folder.
    g_object_unref(state_->testbed);
    state_->testbed = nullptr;
    gTestbedDirSet = false;
    for (auto &d : state_->devices) {
        std::lock_guard<std::mutex> lock(d->mutex);
        for (auto &u : d->inflight) Device::release(u);
        for (auto &u : d->done) Device::release(u);
        d->inflight.clear();
        d->done.clear();
        for (auto &c : d->clients) g_object_unref(c.first);
        d->clients.clear();
        if (d->handler) {
            g_signal_handlers_disconnect_by_data(d->handler, d.get());
            g_object_unref(d->handler);
            d->handler = nullptr;
        }
    }
    gBusRunning = false;
}

bool VirtualScannerBus::running() const { return state_->testbed != nullptr && !state_->stopped; }

std::size_t VirtualScannerBus::deviceCount() const { return state_->devices.size(); }

DeviceModel &VirtualScannerBus::scanner(std::size_t index) { return *state_->devices.at(index)->model; }

const DeviceOptions &VirtualScannerBus::options(std::size_t index) const
{
    return state_->devices.at(index)->options;
}

unsigned VirtualScannerBus::deviceNumber(std::size_t index) const
{
    return state_->devices.at(index)->devnum;
}

std::string VirtualScannerBus::devicePath(std::size_t index) const { return state_->devices.at(index)->node; }

std::string VirtualScannerBus::rootDir() const
{
    if (!state_->testbed) return {};
    gchar *dir = umockdev_testbed_get_root_dir(state_->testbed);
    std::string s = dir ? dir : "";
    g_free(dir);
    return s;
}

void VirtualScannerBus::unplug(std::size_t index)
{
    Device &d = *state_->devices.at(index);
    d.model->unplug();
    bool remove = false;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.markGone();
        remove = !d.removed && state_->testbed;
        d.removed = true;
    }
    if (remove) d.removeFromBus();
}

bool VirtualScannerBus::unplugged(std::size_t index) const
{
    const Device &d = *state_->devices.at(index);
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.gone || d.model->unplugged();
}

void VirtualScannerBus::setRefuseClaim(std::size_t index, bool refuse)
{
    Device &d = *state_->devices.at(index);
    std::lock_guard<std::mutex> lock(d.mutex);
    d.refuseClaim = refuse;
}

bool VirtualScannerBus::claimed(std::size_t index) const
{
    const Device &d = *state_->devices.at(index);
    std::lock_guard<std::mutex> lock(d.mutex);
    return std::any_of(d.clients.begin(), d.clients.end(), [](auto &c) { return c.second; });
}

unsigned VirtualScannerBus::openHandles(std::size_t index) const
{
    const Device &d = *state_->devices.at(index);
    std::lock_guard<std::mutex> lock(d.mutex);
    return static_cast<unsigned>(d.clients.size());
}

std::uint8_t VirtualScannerBus::activeConfiguration(std::size_t index) const
{
    const Device &d = *state_->devices.at(index);
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.configuration;
}

UrbStats VirtualScannerBus::stats(std::size_t index) const
{
    const Device &d = *state_->devices.at(index);
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.stats;
}

void removeTestbedFiles() noexcept
{
    const int savedErrno = errno;
    if (gTestbedDirSet.exchange(false)) removeEntry(AT_FDCWD, gTestbedDir, 32);
    errno = savedErrno;
}

bool preloadPresent()
{
    // A symbol only the preload library defines.
    return dlsym(RTLD_DEFAULT, "trap_path_lock") != nullptr;
}

namespace {

// The shared AddressSanitizer runtime this process runs with, if any: it has
// to come first in LD_PRELOAD once anything else is preloaded.
std::string sanitizerRuntime()
{
    void *init = dlsym(RTLD_DEFAULT, "__asan_init");
    Dl_info info{};
    if (!init || !dladdr(init, &info) || !info.dli_fname) return {};
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0 && std::string(self, static_cast<std::size_t>(n)) == info.dli_fname)
        return {}; // linked statically
    return info.dli_fname;
}

} // namespace

bool reexecWithPreload(char **argv)
{
    static const char kMarker[] = "DOCSCAN_PRELOAD_REEXEC";
    if (preloadPresent() || std::getenv(kMarker) != nullptr || argv == nullptr) return false;
    const char *old = std::getenv("LD_PRELOAD");
    std::string value = old ? old : "";
    const std::string runtime = sanitizerRuntime();
    if (!runtime.empty() && value.find(runtime) == std::string::npos) {
        value = value.empty() ? runtime : runtime + ":" + value;
    }
    value = value.empty() ? "libumockdev-preload.so.0" : value + ":libumockdev-preload.so.0";
    setenv("LD_PRELOAD", value.c_str(), 1);
    setenv(kMarker, "1", 1);
    execv("/proc/self/exe", argv);
    return false;
}

} // namespace sim
