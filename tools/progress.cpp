// Scan progress on standard error.
#include "tools/progress.h"

namespace docscan_cli {

namespace {
constexpr int kBarWidth = 40;
constexpr int kLineStep = 10; // percent between lines when not on a terminal
} // namespace

Progress::Progress(uint64_t total, bool enabled, bool terminal, FILE *out)
    : total_(total), enabled_(enabled && total > 0), terminal_(terminal), out_(out)
{}

void Progress::Update(uint64_t done)
{
    if (!enabled_) return;
    if (done > total_) done = total_;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == shown_) return;
    if (terminal_) {
        const int filled = percent * kBarWidth / 100;
        char bar[kBarWidth + 1];
        for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
        bar[kBarWidth] = '\0';
        std::fprintf(out_, "\rScanning [%s] %3d%%", bar, percent);
        std::fflush(out_);
        shown_ = percent;
    } else if (shown_ < 0 || percent / kLineStep > shown_ / kLineStep) {
        std::fprintf(out_, "docscan scan: %d%%\n", percent);
        shown_ = percent;
    }
}

void Progress::Finish()
{
    if (enabled_ && terminal_ && shown_ >= 0) std::fprintf(out_, "\n");
    shown_ = -1;
    enabled_ = false;
}

} // namespace docscan_cli
