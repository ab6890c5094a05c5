// The backend's options: SANE's well-known names, ranges from the scanner's
// capability record, and the SANE_INFO_* answers of a change.
#include <sane/saneopts.h>

#include <algorithm>
#include <cstring>

#include "sane/backend.h"

namespace docscan_sane {
namespace {

using docscan_cli::kAreaUnitsPerInch;
using docscan_cli::kMmPerInch;

constexpr SANE_String_Const kModes[] = {SANE_VALUE_SCAN_MODE_COLOR, SANE_VALUE_SCAN_MODE_GRAY,
                                        SANE_VALUE_SCAN_MODE_LINEART, SANE_VALUE_SCAN_MODE_HALFTONE, nullptr};
constexpr SANE_String_Const kDropouts[] = {"None", "Red", "Green", "Blue", nullptr};
constexpr size_t kStringSize = 16; // longest list entry and its terminator, with room

SANE_Fixed AreaUnitsToMm(uint32_t units) { return SANE_FIX(units * kMmPerInch / kAreaUnitsPerInch); }

// A value out of range is clamped, and the change said with SANE_INFO_INEXACT.
SANE_Word Clamp(SANE_Word value, const SANE_Range &range, SANE_Int *info)
{
    const SANE_Word clamped = std::clamp(value, range.min, range.max);
    if (clamped != value && info != nullptr) *info |= SANE_INFO_INEXACT;
    return clamped;
}

bool InList(const SANE_String_Const *list, const char *value)
{
    for (; *list != nullptr; ++list) {
        if (std::strcmp(*list, value) == 0) return true;
    }
    return false;
}

void SetActive(SANE_Option_Descriptor &d, bool active)
{
    if (active)
        d.cap &= ~SANE_CAP_INACTIVE;
    else
        d.cap |= SANE_CAP_INACTIVE;
}

} // namespace

Options::Options(const SCANNERABILITYEX &ability)
    : ability_(ability), mode_(SANE_VALUE_SCAN_MODE_COLOR), dropout_("None")
{
    // The longest area: the record's dimension 3 (1/300 inch) when it is
    // usable, else the longest area the parameter record can describe.
    uint32_t length = ability.Dimension3;
    if (length == 0 || length > docscan_cli::kMaxAreaLength) length = docscan_cli::kMaxAreaLength;
    fullWidth_ = AreaUnitsToMm(ability.MaxScanWidth);
    resolutionRange_ = {docscan_cli::kMinResolution, docscan_cli::kMaxResolution, 1};
    xRange_ = {0, fullWidth_, 0};
    yRange_ = {0, AreaUnitsToMm(length), 0};
    patternRange_ = {1, docscan_cli::kHalftonePatterns, 1};
    gammaRange_ = {0, 255, 1};
    brX_ = fullWidth_;
    brY_ = std::min(SANE_FIX(docscan_cli::kA4LengthMm), yRange_.max);
    for (int i = 0; i < kGammaSize; ++i) gamma_[static_cast<size_t>(i)] = i;

    auto set = [this](OptionIndex index, SANE_String_Const name, SANE_String_Const title,
                      SANE_String_Const text, SANE_Value_Type type, SANE_Unit unit, SANE_Int size,
                      SANE_Int cap) -> SANE_Option_Descriptor & {
        SANE_Option_Descriptor &d = desc_[index];
        d.name = name;
        d.title = title;
        d.desc = text;
        d.type = type;
        d.unit = unit;
        d.size = size;
        d.cap = cap;
        d.constraint_type = SANE_CONSTRAINT_NONE;
        return d;
    };
    constexpr SANE_Int kSoft = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    constexpr SANE_Int kWord = sizeof(SANE_Word);

    set(kOptCount, SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS, SANE_TYPE_INT,
        SANE_UNIT_NONE, kWord, SANE_CAP_SOFT_DETECT);
    set(kOptModeGroup, "", SANE_TITLE_SCAN_MODE, "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0, 0);
    SANE_Option_Descriptor &mode =
        set(kOptMode, SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, SANE_TYPE_STRING,
            SANE_UNIT_NONE, kStringSize, kSoft);
    mode.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    mode.constraint.string_list = kModes;
    SANE_Option_Descriptor &res = set(kOptResolution, SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION,
                                      SANE_DESC_SCAN_RESOLUTION, SANE_TYPE_INT, SANE_UNIT_DPI, kWord, kSoft);
    res.constraint_type = SANE_CONSTRAINT_RANGE;
    res.constraint.range = &resolutionRange_;
    set(kOptPreview, SANE_NAME_PREVIEW, SANE_TITLE_PREVIEW, SANE_DESC_PREVIEW, SANE_TYPE_BOOL, SANE_UNIT_NONE,
        kWord, kSoft);

    set(kOptGeometryGroup, "", SANE_I18N("Geometry"), "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0, 0);
    const struct {
        OptionIndex index;
        SANE_String_Const name, title, desc;
        const SANE_Range *range;
    } area[] = {
        {kOptTlX, SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, &xRange_},
        {kOptTlY, SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, &yRange_},
        {kOptBrX, SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, &xRange_},
        {kOptBrY, SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, &yRange_},
    };
    for (const auto &a : area) {
        SANE_Option_Descriptor &d =
            set(a.index, a.name, a.title, a.desc, SANE_TYPE_FIXED, SANE_UNIT_MM, kWord, kSoft);
        d.constraint_type = SANE_CONSTRAINT_RANGE;
        d.constraint.range = a.range;
    }

    set(kOptEnhancementGroup, "", SANE_I18N("Enhancement"), "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0, 0);
    SANE_Option_Descriptor &pattern =
        set(kOptHalftonePattern, SANE_NAME_HALFTONE_PATTERN, SANE_TITLE_HALFTONE_PATTERN,
            SANE_DESC_HALFTONE_PATTERN, SANE_TYPE_INT, SANE_UNIT_NONE, kWord, kSoft);
    pattern.constraint_type = SANE_CONSTRAINT_RANGE;
    pattern.constraint.range = &patternRange_;
    SANE_Option_Descriptor &dropout =
        set(kOptDropout, "dropout", SANE_I18N("Colour drop-out"),
            SANE_I18N("Scan gray and black-and-white from one colour channel, so that marks in that colour "
                      "disappear."),
            SANE_TYPE_STRING, SANE_UNIT_NONE, kStringSize, kSoft);
    dropout.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    dropout.constraint.string_list = kDropouts;
    set(kOptCustomGamma, SANE_NAME_CUSTOM_GAMMA, SANE_TITLE_CUSTOM_GAMMA, SANE_DESC_CUSTOM_GAMMA,
        SANE_TYPE_BOOL, SANE_UNIT_NONE, kWord, kSoft);
    SANE_Option_Descriptor &gamma =
        set(kOptGammaTable, SANE_NAME_GAMMA_VECTOR, SANE_TITLE_GAMMA_VECTOR, SANE_DESC_GAMMA_VECTOR,
            SANE_TYPE_INT, SANE_UNIT_NONE, kWord * kGammaSize, kSoft);
    gamma.constraint_type = SANE_CONSTRAINT_RANGE;
    gamma.constraint.range = &gammaRange_;

    set(kOptSensorsGroup, "", SANE_I18N("Sensors"), "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0, 0);
    static constexpr SANE_String_Const kButtonNames[kButtons] = {"button-1", "button-2", "button-3"};
    static constexpr SANE_String_Const kButtonTitles[kButtons] = {
        SANE_I18N("Button 1"), SANE_I18N("Button 2"), SANE_I18N("Button 3")};
    for (int i = 0; i < kButtons; ++i) {
        set(static_cast<OptionIndex>(kOptButton1 + i), kButtonNames[i], kButtonTitles[i],
            SANE_I18N("True once for each press of this front-panel button."), SANE_TYPE_BOOL, SANE_UNIT_NONE,
            kWord, SANE_CAP_HARD_SELECT | SANE_CAP_SOFT_DETECT);
    }
    UpdateActivity();
}

void Options::UpdateActivity()
{
    const bool color = mode_ == SANE_VALUE_SCAN_MODE_COLOR;
    SetActive(desc_[kOptHalftonePattern], mode_ == SANE_VALUE_SCAN_MODE_HALFTONE);
    SetActive(desc_[kOptDropout], !color);
    SetActive(desc_[kOptGammaTable], customGamma_ != 0);
}

const SANE_Option_Descriptor *Options::Descriptor(SANE_Int option) const
{
    if (option < 0 || option >= kOptionCount) return nullptr;
    return &desc_[static_cast<size_t>(option)];
}

SANE_Status Options::Get(SANE_Int option, void *value) const
{
    auto word = [value](SANE_Word w) {
        *static_cast<SANE_Word *>(value) = w;
        return SANE_STATUS_GOOD;
    };
    auto text = [value](const std::string &s) {
        std::snprintf(static_cast<char *>(value), kStringSize, "%s", s.c_str());
        return SANE_STATUS_GOOD;
    };
    switch (option) {
    case kOptCount: return word(kOptionCount);
    case kOptMode: return text(mode_);
    case kOptResolution: return word(resolution_);
    case kOptPreview: return word(preview_);
    case kOptTlX: return word(tlX_);
    case kOptTlY: return word(tlY_);
    case kOptBrX: return word(brX_);
    case kOptBrY: return word(brY_);
    case kOptHalftonePattern: return word(pattern_);
    case kOptDropout: return text(dropout_);
    case kOptCustomGamma: return word(customGamma_);
    case kOptGammaTable: std::memcpy(value, gamma_.data(), sizeof gamma_); return SANE_STATUS_GOOD;
    default: return SANE_STATUS_INVAL;
    }
}

SANE_Status Options::Set(SANE_Int option, void *value, SANE_Int *info)
{
    const SANE_Option_Descriptor *d = Descriptor(option);
    if (d == nullptr || value == nullptr || !SANE_OPTION_IS_SETTABLE(d->cap)) return SANE_STATUS_INVAL;
    if (!SANE_OPTION_IS_ACTIVE(d->cap)) return SANE_STATUS_INVAL;
    auto *words = static_cast<SANE_Word *>(value);
    auto setWord = [&](SANE_Word &target) {
        if (d->constraint_type == SANE_CONSTRAINT_RANGE)
            words[0] = Clamp(words[0], *d->constraint.range, info);
        target = words[0];
    };
    switch (option) {
    case kOptMode:
    case kOptDropout: {
        const char *s = static_cast<const char *>(value);
        if (!InList(d->constraint.string_list, s)) return SANE_STATUS_INVAL;
        (option == kOptMode ? mode_ : dropout_) = s;
        break;
    }
    case kOptPreview:
    case kOptCustomGamma:
        if (words[0] != SANE_FALSE && words[0] != SANE_TRUE) return SANE_STATUS_INVAL;
        setWord(option == kOptPreview ? preview_ : customGamma_);
        break;
    case kOptResolution: setWord(resolution_); break;
    case kOptTlX: setWord(tlX_); break;
    case kOptTlY: setWord(tlY_); break;
    case kOptBrX: setWord(brX_); break;
    case kOptBrY: setWord(brY_); break;
    case kOptHalftonePattern: setWord(pattern_); break;
    case kOptGammaTable:
        for (size_t i = 0; i < gamma_.size(); ++i) gamma_[i] = words[i] = Clamp(words[i], gammaRange_, info);
        break;
    default: return SANE_STATUS_INVAL;
    }
    UpdateActivity();
    return SANE_STATUS_GOOD;
}

docscan_cli::ScanRequest Options::Request() const
{
    docscan_cli::ScanRequest r;
    if (mode_ == SANE_VALUE_SCAN_MODE_GRAY)
        r.mode = docscan_cli::ScanModeChoice::Gray;
    else if (mode_ == SANE_VALUE_SCAN_MODE_LINEART)
        r.mode = docscan_cli::ScanModeChoice::Lineart;
    else if (mode_ == SANE_VALUE_SCAN_MODE_HALFTONE)
        r.mode = docscan_cli::ScanModeChoice::Halftone;
    else
        r.mode = docscan_cli::ScanModeChoice::Color;
    r.resolution = preview_ != 0 ? std::min<int>(resolution_, kPreviewResolution) : resolution_;
    // Corners given the wrong way round still describe an area.
    const SANE_Fixed left = std::min(tlX_, brX_), right = std::max(tlX_, brX_);
    const SANE_Fixed top = std::min(tlY_, brY_), bottom = std::max(tlY_, brY_);
    r.left = SANE_UNFIX(left);
    r.top = SANE_UNFIX(top);
    // Up to the right edge of the glass: the whole width, as docscan's default.
    if (right < fullWidth_) r.width = SANE_UNFIX(right) - SANE_UNFIX(left);
    r.height = SANE_UNFIX(bottom) - SANE_UNFIX(top);
    r.halftonePattern = pattern_;
    r.dropout = static_cast<uint8_t>(dropout_ == "Red"     ? 1
                                     : dropout_ == "Green" ? 2
                                     : dropout_ == "Blue"  ? 3
                                                           : 0);
    return r;
}

} // namespace docscan_sane
