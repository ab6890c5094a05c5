// The read loop: it only moves bytes from the driver to the writer (whose
// queue hands them to the encoder threads).
#include "tools/scanpage.h"

#include <algorithm>
#include <vector>

#include "tools/progress.h"

namespace docscan_cli {
namespace {

// Image bytes asked of ReadScan at a time: a few lines, at most about 64 KiB.
constexpr size_t kPieceBytes = 64 * 1024;
constexpr uint32_t kMaxPieceLines = 16;

} // namespace

PageOutcome ScanPage(Driver &driver, const tagScanParameter &parameter, const ImageInfo &image,
                     size_t bytesPerLine, ImageWriter *writer, const std::function<bool()> &cancel,
                     Progress *progress)
{
    PageOutcome out;
    tagScanParameter copy = parameter;
    if (!driver.SetScanParameter(&copy)) {
        out.failed = "SetScanParameter";
        out.status = driver.Status();
        return out;
    }
    if (!driver.StartScan()) {
        out.failed = "StartScan";
        out.status = driver.Status();
        return out;
    }
    const uint32_t total = image.height;
    const uint32_t pieceLines =
        static_cast<uint32_t>(std::clamp<size_t>(kPieceBytes / bytesPerLine, 1, kMaxPieceLines));
    std::vector<uint8_t> piece(bytesPerLine * pieceLines);
    if (progress != nullptr) progress->Update(0);
    while (out.lines < total) {
        if (cancel && cancel()) {
            driver.DoCancel();
            out.cancelled = true;
            break;
        }
        const uint32_t lines = std::min(pieceLines, total - out.lines);
        if (!driver.ReadScan(0, piece.data(), static_cast<uint32_t>(bytesPerLine * lines))) {
            out.failed = "ReadScan";
            out.status = driver.Status();
            break;
        }
        if (writer != nullptr && !writer->WriteRows(piece.data(), lines, &out.writeError)) {
            driver.DoCancel(); // nothing more to do with the data: stop the scanner
            break;
        }
        out.lines += lines;
        if (progress != nullptr) progress->Update(out.lines);
    }
    if (progress != nullptr) progress->Finish();
    const bool stopped = driver.StopScan();
    if (out.cancelled || out.failed != nullptr) {
        if (out.cancelled) out.status = driver.Status();
        return out;
    }
    if (!stopped && out.writeError.empty()) {
        out.failed = "StopScan";
        out.status = driver.Status();
    }
    return out;
}

} // namespace docscan_cli
