// The SANE backend's internals: configuration, debug output, the status
// mapping and the option set. The SANE entry points are in backend.cpp.
#ifndef DOCSCAN_SANE_BACKEND_H
#define DOCSCAN_SANE_BACKEND_H

#include <sane/sane.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "api/scanner.h"
#include "tools/scanrequest.h"

namespace docscan_sane {

// ------------------------------------------------------------ debug output

// SANE_DEBUG_DOCSCAN=N: messages of level N and below go to stderr.
void InitDebug();
void Dbg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// ------------------------------------------------------------ configuration

struct Config {
    bool virtualScanner = false; // a `virtual` line, or DOCSCAN_VIRTUAL=1
    std::string paper;           // `virtual-paper FILE.png`
    std::vector<int> presses;    // `virtual-press 1,3`
};

// Reads docscan.conf from $SANE_CONFIG_DIR (its folders, separated by ':'),
// then /etc/sane.d. A missing file is an empty configuration.
Config LoadConfig();
// Parses the text of a docscan.conf; lines it does not understand are
// reported at debug level 1 and skipped.
Config ParseConfig(const std::string &text);

// ------------------------------------------------------------ status codes

// The SANE status for a driver status code.
SANE_Status MapStatus(uint64_t code);

// ------------------------------------------------------------ options

enum OptionIndex {
    kOptCount,
    kOptModeGroup,
    kOptMode,
    kOptResolution,
    kOptPreview,
    kOptGeometryGroup,
    kOptTlX,
    kOptTlY,
    kOptBrX,
    kOptBrY,
    kOptEnhancementGroup,
    kOptHalftonePattern,
    kOptDropout,
    kOptCustomGamma,
    kOptGammaTable,
    kOptSensorsGroup,
    kOptButton1,
    kOptButton2,
    kOptButton3,
    kOptionCount
};

inline constexpr int kButtons = 3;
inline constexpr int kGammaSize = 256;
// The resolution a preview scans at, unless the chosen one is lower.
inline constexpr int kPreviewResolution = 75;

// The option descriptors and values of one open device.
class Options {
public:
    // Ranges from the scanner's capability record.
    explicit Options(const SCANNERABILITYEX &ability);

    const SANE_Option_Descriptor *Descriptor(SANE_Int option) const;
    // GET_VALUE and SET_VALUE for every option but the sensors (the caller
    // answers those). Set adds SANE_INFO_INEXACT to `info` when it clamped
    // the value (and writes the value taken back into `value`).
    SANE_Status Get(SANE_Int option, void *value) const;
    SANE_Status Set(SANE_Int option, void *value, SANE_Int *info);

    // The scan the current values ask for.
    docscan_cli::ScanRequest Request() const;
    bool customGamma() const { return customGamma_ != 0; }
    const std::array<SANE_Word, kGammaSize> &gammaTable() const { return gamma_; }

private:
    void UpdateActivity();

    const SCANNERABILITYEX ability_;
    std::array<SANE_Option_Descriptor, kOptionCount> desc_{};
    SANE_Range resolutionRange_{}, xRange_{}, yRange_{}, patternRange_{}, gammaRange_{};
    SANE_Fixed fullWidth_ = 0;
    std::string mode_;
    std::string dropout_;
    SANE_Word resolution_ = 300;
    SANE_Bool preview_ = SANE_FALSE;
    SANE_Fixed tlX_ = 0, tlY_ = 0, brX_ = 0, brY_ = 0;
    SANE_Word pattern_ = 1;
    SANE_Bool customGamma_ = SANE_FALSE;
    std::array<SANE_Word, kGammaSize> gamma_{};
};

} // namespace docscan_sane

#endif
