// The virtual scanner on an emulated USB bus and the driver opened on it, up
// once for a whole benchmark run (TheBed), down when the program ends.
#ifndef DOCSCAN_BENCH_VIRTUAL_BED_H
#define DOCSCAN_BENCH_VIRTUAL_BED_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "api/scanner.h"
#include "sim/usb_glue.h"
#include "transport/usbio_linux_10.h"

namespace bench {

class VirtualBed {
public:
    VirtualBed()
    {
        std::string error;
        if (!bus_.start(&error)) {
            std::fprintf(stderr, "virtual scanner: %s\n", error.c_str());
            return;
        }
        up_ = InitializeDriver() && InitializeScanner();
        if (!up_)
            std::fprintf(stderr, "the driver could not open the virtual scanner (status %u)\n", gErrCode);
    }
    ~VirtualBed()
    {
        if (up_) TerminateDriver();
        bus_.stop();
    }
    VirtualBed(const VirtualBed &) = delete;
    VirtualBed &operator=(const VirtualBed &) = delete;

    bool up() const { return up_; }
    sim::DeviceModel &scanner() { return bus_.scanner(); }
    // Bytes moved over the bus, both ways, since it started.
    std::uint64_t wireBytes() const
    {
        const sim::UrbStats stats = bus_.stats();
        return stats.bytesIn + stats.bytesOut;
    }

private:
    sim::VirtualScannerBus bus_;
    bool up_ = false;
};

inline VirtualBed &TheBed()
{
    static VirtualBed bed;
    return bed;
}

} // namespace bench

#endif
