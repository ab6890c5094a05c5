// One page from the scanner into an image writer: set the parameters, start,
// read every line, stop. Shared by `docscan scan` and the benchmarks.
#ifndef DOCSCAN_TOOLS_SCANPAGE_H
#define DOCSCAN_TOOLS_SCANPAGE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/driver.h"
#include "tools/imagefile.h"

namespace docscan_cli {

class Progress;

struct PageOutcome {
    const char *failed = nullptr; // the driver function that failed, if one did
    uint64_t status = 0;          // the driver's status after that failure
    uint32_t lines = 0;           // lines read
    bool cancelled = false;       // `cancel` asked for it; DoCancel was sent
    std::string writeError;       // the writer refused the rows (the scan was cancelled)
    bool ok() const { return failed == nullptr && !cancelled && writeError.empty(); }
};

// `writer` may be null: the data is read and thrown away. `cancel` is asked
// between reads. Every page sets its parameters before StartScan.
PageOutcome ScanPage(Driver &driver, const tagScanParameter &parameter, const ImageInfo &image,
                     size_t bytesPerLine, ImageWriter *writer, const std::function<bool()> &cancel,
                     Progress *progress);

} // namespace docscan_cli

#endif
