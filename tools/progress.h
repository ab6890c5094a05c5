// Scan progress on standard error: a bar that redraws itself on a terminal,
// an occasional percent line otherwise.
#ifndef DOCSCAN_TOOLS_PROGRESS_H
#define DOCSCAN_TOOLS_PROGRESS_H

#include <cstdint>
#include <cstdio>

namespace docscan_cli {

class Progress {
public:
    // `enabled` false prints nothing; `terminal` chooses the bar.
    Progress(uint64_t total, bool enabled, bool terminal, FILE *out = stderr);
    void Update(uint64_t done);
    // Ends the bar's line (after success or failure alike).
    void Finish();

private:
    uint64_t total_;
    bool enabled_;
    bool terminal_;
    FILE *out_;
    int shown_ = -1; // last percent drawn
};

} // namespace docscan_cli

#endif
