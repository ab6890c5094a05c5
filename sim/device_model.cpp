// Virtual scanner: the device model.
#include "sim/device_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace sim {

namespace {

std::uint16_t be16(const std::uint8_t *p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t be24(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

std::uint32_t be32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void putBe16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void putBe32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void putText(std::uint8_t *p, std::size_t width, const std::string &text, char pad)
{
    for (std::size_t i = 0; i < width; ++i) {
        p[i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : pad);
    }
}

// Length of the data phase a command block announces.
std::size_t dataInLength(std::span<const std::uint8_t> cdb)
{
    switch (cdb[0]) {
    case opcode::kInquiry:
    case opcode::kRequestSense: return cdb[4];
    case opcode::kRead: return be24(cdb.data() + 6);
    default: return 0;
    }
}

std::size_t dataOutLength(std::span<const std::uint8_t> cdb)
{
    switch (cdb[0]) {
    case opcode::kSend:
    case opcode::kSetWindow: return be24(cdb.data() + 6);
    default: return 0;
    }
}

bool hasDataType(std::uint8_t op) { return op == opcode::kRead || op == opcode::kSend; }

// Whole pixels a line of the geometry's bytes holds in its sample format.
std::uint32_t pixelsPerLine(const ScanGeometry &g)
{
    const std::uint32_t bitsPerPixel = g.channels * g.bitsPerSample;
    return static_cast<std::uint32_t>(std::uint64_t{g.bytesPerLine} * 8u / bitsPerPixel);
}

} // namespace

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

std::size_t calibrationDataSize(unsigned dpi)
{
    switch (dpi) {
    case 300: return 495360;
    case 600: return 990720;
    default: return 0;
    }
}

Sense makeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t flags)
{
    Sense s{};
    s[0] = 0x70;
    s[2] = static_cast<std::uint8_t>((flags & 0xF0) | (key & 0x0F));
    s[7] = kSenseSize - 8;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

Sense noSense() { return makeSense(sense::kKeyNoSense, 0, 0); }

InquiryProfile InquiryProfile::standard() { return InquiryProfile{}; }

InquiryProfile InquiryProfile::withButtons()
{
    InquiryProfile p;
    p.buttons = true;
    p.buttonCount = 3;
    return p;
}

InquiryProfile InquiryProfile::withOverscan()
{
    InquiryProfile p;
    p.flags128 = static_cast<std::uint8_t>(p.flags128 | 0x10);
    p.overscan = {24, 24, 24, 24};
    return p;
}

std::vector<std::uint8_t> InquiryProfile::bytes() const
{
    std::vector<std::uint8_t> b(kInquirySize, 0);
    b[0] = 0x06; // peripheral device type: scanner
    b[2] = 0x02; // version
    b[3] = 0x02; // response data format
    b[4] = additionalLength;
    putText(&b[8], 8, vendor, ' ');
    putText(&b[16], 16, product, ' ');
    putText(&b[32], 4, revision, ' ');
    b[36] = typeCode;
    b[38] = baseResolution;
    b[39] = resolutionFlags;
    for (std::size_t i = 0; i < 4; ++i) putBe16(&b[40 + 2 * i], resolutions[i]);
    putBe16(&b[48], maxReadLength);
    b[50] =
        static_cast<std::uint8_t>(flags50Extra | (buttons ? 0x40 : 0) | (xyResolutionMayDiffer ? 0x01 : 0));
    b[51] = flags51;
    b[52] = flags52;
    b[54] = boundaryColor;
    b[55] = boundaryGray;
    b[56] = boundaryGray4;
    b[57] = boundaryLineArt;
    b[58] = boundaryHalftone;
    b[59] = boundaryHalftoneOwn;
    b[60] = scanEnable;
    b[61] = depths;
    b[62] = methods;
    b[63] = byte63;
    b[64] = halftoneOwnPattern;
    putBe16(&b[75], dim1);
    putBe16(&b[77], dim2);
    putBe16(&b[79], dim3);
    putBe16(&b[81], maxWidth300);
    putBe16(&b[83], dim4);
    putBe16(&b[85], dim5);
    putBe16(&b[87], dim6);
    putBe16(&b[89], dim7);
    b[92] = buttonCount;
    b[93] = flags93;
    b[94] = flags94;
    b[95] = flags95;
    b[128] = flags128;
    b[129] = flags129;
    for (std::size_t i = 0; i < 4; ++i) putBe16(&b[134 + 2 * i], overscan[i]);
    b[149] = flags149;
    return b;
}

std::array<std::uint8_t, kNvmSize> defaultNvm()
{
    std::array<std::uint8_t, kNvmSize> n{};
    putBe32(&n[0], 1234); // counters
    putBe32(&n[4], 567);
    for (std::size_t i = 0; i < 6; ++i) putBe16(&n[16 + 2 * i], static_cast<std::uint16_t>(100 * (i + 1)));
    putBe16(&n[28], 1);    // month
    putBe16(&n[30], 15);   // day
    putBe16(&n[32], 2024); // year
    n[44] = 0x01;
    putText(&n[46], 24, "VSCAN-VIRTUAL-0001", '\0');
    putBe16(&n[70], 15);
    putBe16(&n[122], 240);
    return n;
}

std::optional<ScanGeometry> geometryForWindow(std::span<const std::uint8_t> d, unsigned maxPixels300)
{
    if (d.size() < kWindowDescriptorSize) return std::nullopt;
    ScanGeometry g;
    g.dpi = be16(&d[2]);
    if ((g.dpi != 300 && g.dpi != 600) || be16(&d[4]) != g.dpi) return std::nullopt;
    g.originX = be32(&d[6]);
    g.originY = be32(&d[10]);
    const std::uint8_t composition = d[25];
    const std::uint8_t bits = d[26];
    g.channels = composition >= 3 ? 3 : 1;
    // The device delivers 1, 8 and 16-bit samples; other depths come as 8 bits.
    g.bitsPerSample = (bits == 1 || bits == 16) ? bits : 8;
    if (g.channels == 3 && g.bitsPerSample == 1) g.bitsPerSample = 8;
    g.bytesPerLine = be16(&d[45]) | (std::uint32_t{d[59]} << 16);
    g.lines = be16(&d[47]);
    const std::uint64_t widest = std::uint64_t{maxPixels300} * g.dpi / 300u;
    g.pixels = pixelsPerLine(g);
    if (g.channels == 1 && g.bitsPerSample >= 8 && g.pixels > widest) {
        // The host's second colour code goes out with a one-channel composition
        // but a colour line. A line longer than the device's as one channel that
        // holds whole RGB pixels within it is scanned as colour.
        const std::uint32_t rgbPixelBytes = 3u * g.bitsPerSample / 8u;
        if (g.bytesPerLine % rgbPixelBytes == 0 && g.bytesPerLine / rgbPixelBytes <= widest) {
            g.channels = 3;
            g.pixels = pixelsPerLine(g);
        }
    }
    if (bits == 0 || g.bytesPerLine == 0 || g.lines == 0 || g.pixels == 0 || g.pixels > widest) {
        return std::nullopt;
    }
    return g;
}

const char *toString(TransferStatus status)
{
    switch (status) {
    case TransferStatus::Done: return "done";
    case TransferStatus::Pending: return "pending";
    case TransferStatus::Stall: return "stall";
    case TransferStatus::NoDevice: return "no device";
    case TransferStatus::IoError: return "I/O error";
    }
    return "?";
}

const char *toString(Phase phase)
{
    switch (phase) {
    case Phase::Command: return "command";
    case Phase::DataOut: return "data out";
    case Phase::DataIn: return "data in";
    case Phase::Status: return "status";
    }
    return "?";
}

std::uint16_t Transaction::qualifier() const { return command.size() >= 6 ? be16(&command[4]) : 0; }

std::uint32_t Transaction::transferLength() const { return command.size() >= 9 ? be24(&command[6]) : 0; }

std::string describe(const Transaction &t)
{
    std::string s;
    char buf[64];
    for (std::uint8_t b : t.command) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        s += buf;
    }
    std::snprintf(buf, sizeof buf, "| out %zu in %zu | status %02X", t.dataOut.size(), t.dataInLength,
                  t.status);
    s += buf;
    if (t.failure != TransferStatus::Done) {
        s += std::string(" | ") + toString(t.failure) + " in " + toString(t.failedPhase) + " phase";
    }
    return s;
}

// ---------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------

struct DeviceModel::Impl {
    // What the device answers to one command.
    struct Reply {
        std::vector<std::uint8_t> data;
        std::uint8_t status = kStatusGood;
        Sense sense{};
        std::optional<std::size_t> unplugAfter; // data bytes delivered before the device vanishes
        std::optional<std::size_t> stallAfter;  // data bytes delivered before the device stops sending
    };

    // Piece of the bulk-in stream: bytes, or a transfer that fails.
    struct Segment {
        std::vector<std::uint8_t> bytes;
        std::size_t pos = 0;
        TransferStatus failure = TransferStatus::Done;
    };

    enum class RuleKind { CheckCondition, Status, Transfer };
    struct Rule {
        CommandMatch match;
        RuleKind kind;
        Sense sense{};
        std::uint8_t status = 0;
        Phase phase = Phase::Command;
        TransferStatus failure = TransferStatus::Done;
        unsigned seen = 0;
    };

    // Faults that apply to the command being served.
    struct Plan {
        std::optional<Sense> checkSense;
        std::optional<std::uint8_t> status;
        TransferStatus failure[4] = {TransferStatus::Done, TransferStatus::Done, TransferStatus::Done,
                                     TransferStatus::Done};
        TransferStatus at(Phase p) const { return failure[static_cast<int>(p)]; }
    };

    using ReadHandler = Reply (Impl::*)(std::span<const std::uint8_t> cdb);
    using SendHandler = Reply (Impl::*)(std::span<const std::uint8_t> cdb,
                                        std::span<const std::uint8_t> data);

    mutable std::mutex mutex;

    // Identity and stored state.
    std::vector<std::uint8_t> inquiry;
    std::array<std::uint8_t, kNvmSize> nvm = defaultNvm();
    std::string nvmFile;
    bool nvmWritable = true;
    std::uint16_t lastNvmQualifier = 0;
    std::array<std::vector<std::uint8_t>, 3> gamma;
    unsigned gammaSends = 0;
    std::map<std::uint8_t, std::vector<std::uint8_t>> tuning;
    std::map<std::uint8_t, std::uint16_t> tuningQualifier;
    std::optional<std::uint16_t> powerSave;
    std::optional<std::uint16_t> powerOff;
    std::map<std::uint8_t, std::vector<std::uint8_t>> passThrough;
    std::optional<Window> window;
    std::uint8_t calibrationState = 1;
    bool reserved = false;
    std::optional<std::uint8_t> releaseCode;
    Sense sense = noSense();

    // The page being scanned.
    bool scanning = false;
    std::optional<std::uint8_t> scanFlags;
    ScanGeometry page;
    std::shared_ptr<const ImageSource> source = std::make_shared<TestChart>();
    std::shared_ptr<const ImageSource> pageSource;
    std::uint64_t imageOffset = 0;
    std::vector<std::uint8_t> lineBuffer;
    std::int64_t lineInBuffer = -1;
    std::optional<std::uint64_t> unplugAtImageByte;
    std::optional<std::uint64_t> stallAtImageByte;

    // The wire.
    bool awaitingData = false;
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> dataOut;
    std::size_t expectedOut = 0;
    Plan plan;
    std::deque<Segment> inQueue;
    std::deque<std::array<std::uint8_t, kButtonPacketSize>> buttons;
    std::optional<TransferStatus> interruptFailure;
    bool unplugged = false;
    std::size_t pieceSize = 0;
    std::uint64_t throttle = 0;

    std::vector<Rule> rules;
    std::deque<Transaction> transcript; // the last transcriptCapacity transactions
    std::size_t transcriptCapacity = kDefaultTranscriptCapacity;
    std::size_t transcriptLimit = 64 * 1024;
    unsigned protocolErrors = 0;

    std::map<std::uint8_t, ReadHandler> readHandlers{
        {datatype::kImage, &Impl::readImage},
        {datatype::kCalibrationStatus, &Impl::readCalibrationStatus},
        {datatype::kCalibrationData, &Impl::readCalibrationData},
        {datatype::kCalibrationDataColor, &Impl::readCalibrationData},
        {datatype::kNvmRead, &Impl::readNvm},
    };
    std::map<std::uint8_t, SendHandler> sendHandlers{
        {datatype::kGamma, &Impl::sendGamma},          {datatype::kNvmWrite, &Impl::sendNvm},
        {datatype::kTuneFirstPair, &Impl::sendTuning}, {datatype::kTuneSecondPair, &Impl::sendTuning},
        {datatype::kPowerSave, &Impl::sendPowerTime},  {datatype::kPowerOff, &Impl::sendPowerTime},
    };

    static Reply withData(std::vector<std::uint8_t> bytes)
    {
        Reply r;
        r.data = std::move(bytes);
        return r;
    }
    static Reply refuse(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t flags = 0)
    {
        Reply r;
        r.status = kStatusCheckCondition;
        r.sense = makeSense(key, asc, ascq, flags);
        return r;
    }
    static Reply illegal(std::uint8_t asc, std::uint8_t ascq = 0)
    {
        return refuse(sense::kKeyIllegalRequest, asc, ascq);
    }

    unsigned maxPixels300() const
    {
        if (inquiry.size() < 142) return inquiry.size() >= 83 ? be16(&inquiry[81]) : 0;
        unsigned width = be16(&inquiry[81]);
        if (inquiry[128] & 0x10) width += be16(&inquiry[136]) + be16(&inquiry[140]);
        return width;
    }

    // Writes the memory to its file, a regular file only (never truncated
    // before that is known). False with the reason in *error.
    bool saveNvm(std::string *error = nullptr) const
    {
        if (nvmFile.empty()) return true;
        const int fd = open(nvmFile.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd < 0) {
            if (error) *error = std::strerror(errno);
            return false;
        }
        struct stat st {};
        const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        const bool written = regular &&
                             pwrite(fd, nvm.data(), nvm.size(), 0) == static_cast<ssize_t>(nvm.size()) &&
                             ftruncate(fd, static_cast<off_t>(nvm.size())) == 0;
        if (!written && error) *error = regular ? std::strerror(errno) : "not a regular file";
        close(fd);
        return written;
    }

    void doUnplug()
    {
        unplugged = true;
        inQueue.clear();
        awaitingData = false;
        scanning = false;
    }

    // ---- commands -----------------------------------------------------------

    Reply dispatch(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data)
    {
        switch (cdb[0]) {
        case opcode::kRequestSense: return requestSense();
        case opcode::kInquiry: return doInquiry(cdb);
        case opcode::kReserveUnit: reserved = true; return {};
        case opcode::kReleaseUnit:
            reserved = false;
            releaseCode = cdb[5];
            scanning = false;
            return {};
        case opcode::kScan: return doScan(cdb);
        case opcode::kSetWindow: return setWindow(data);
        case opcode::kRead: {
            auto it = readHandlers.find(cdb[2]);
            if (it != readHandlers.end()) return (this->*(it->second))(cdb);
            auto stored = passThrough.find(cdb[2]);
            if (stored != passThrough.end()) return withData(stored->second);
            return illegal(0x24); // invalid field in command block
        }
        case opcode::kSend: {
            auto it = sendHandlers.find(cdb[2]);
            if (it != sendHandlers.end()) return (this->*(it->second))(cdb, data);
            passThrough[cdb[2]].assign(data.begin(), data.end());
            return {};
        }
        default: return illegal(0x20); // invalid command operation code
        }
    }

    Reply requestSense()
    {
        Reply r = withData(std::vector<std::uint8_t>(sense.begin(), sense.end()));
        sense = noSense();
        return r;
    }

    Reply doInquiry(std::span<const std::uint8_t> cdb)
    {
        if ((cdb[1] >> 5) != 0) return illegal(0x25); // logical unit not supported
        return withData(inquiry);
    }

    Reply doScan(std::span<const std::uint8_t> cdb)
    {
        if (!window) return illegal(0x2C); // command sequence error
        scanning = true;
        scanFlags = cdb[5];
        page = window->geometry;
        pageSource = source;
        imageOffset = 0;
        lineInBuffer = -1;
        return {};
    }

    Reply setWindow(std::span<const std::uint8_t> data)
    {
        if (data.size() < kWindowListSize || be16(&data[6]) != kWindowDescriptorSize) {
            return illegal(0x1A); // parameter list length error
        }
        const auto descriptor = data.subspan(kWindowHeaderSize, kWindowDescriptorSize);
        auto geometry = geometryForWindow(descriptor, maxPixels300());
        if (!geometry) return illegal(0x26, 0x02); // parameter value invalid
        Window w;
        std::copy(descriptor.begin(), descriptor.end(), w.descriptor.begin());
        w.geometry = *geometry;
        window = w;
        scanning = false;
        return {};
    }

    Reply readImage(std::span<const std::uint8_t> cdb)
    {
        if (!scanning) return illegal(0x2C);
        const std::size_t want = be24(&cdb[6]);
        Reply r;
        r.data.assign(want, 0);
        const std::uint64_t total = page.imageBytes();
        const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(want, total - imageOffset));
        lineBuffer.resize(page.bytesPerLine);
        std::size_t done = 0;
        while (done < have) {
            const std::uint64_t line = imageOffset / page.bytesPerLine;
            const std::size_t within = static_cast<std::size_t>(imageOffset % page.bytesPerLine);
            if (static_cast<std::int64_t>(line) != lineInBuffer) {
                renderDeviceLine(*pageSource, page, static_cast<std::uint32_t>(line), lineBuffer.data());
                lineInBuffer = static_cast<std::int64_t>(line);
            }
            const std::size_t n = std::min(have - done, page.bytesPerLine - within);
            std::memcpy(r.data.data() + done, lineBuffer.data() + within, n);
            done += n;
            imageOffset += n;
        }
        if (unplugAtImageByte && imageOffset >= *unplugAtImageByte) {
            const std::uint64_t before = imageOffset - have;
            r.unplugAfter =
                static_cast<std::size_t>(*unplugAtImageByte > before ? *unplugAtImageByte - before : 0);
        }
        if (stallAtImageByte && imageOffset > *stallAtImageByte) {
            const std::uint64_t before = imageOffset - have;
            r.stallAfter =
                static_cast<std::size_t>(*stallAtImageByte > before ? *stallAtImageByte - before : 0);
        }
        if (have < want) {
            // Past the end of the page: end-of-medium, the rest zero-filled.
            Reply eom = refuse(sense::kKeyNoSense, 0x00, 0x02, 0x40);
            r.status = eom.status;
            r.sense = eom.sense;
        }
        return r;
    }

    Reply readCalibrationStatus(std::span<const std::uint8_t>)
    {
        Reply r;
        r.data.assign(kCalibrationStatusSize, 0);
        r.data[4] = calibrationState;
        return r;
    }

    Reply readCalibrationData(std::span<const std::uint8_t> cdb)
    {
        if (!window) return illegal(0x2C);
        const std::size_t size = calibrationDataSize(window->geometry.dpi);
        if (be24(&cdb[6]) != size) return illegal(0x24);
        return withData(DeviceModel::calibrationData(window->geometry.dpi));
    }

    Reply readNvm(std::span<const std::uint8_t> cdb)
    {
        if (be24(&cdb[6]) != kNvmSize) return illegal(0x24);
        return withData(std::vector<std::uint8_t>(nvm.begin(), nvm.end()));
    }

    Reply sendGamma(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data)
    {
        const std::uint16_t channel = be16(&cdb[4]);
        if (channel > 2) return illegal(0x24);
        if (data.size() != kGammaSize) return illegal(0x1A);
        gamma[channel].assign(data.begin(), data.end());
        ++gammaSends;
        return {};
    }

    Reply sendNvm(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data)
    {
        const std::uint16_t qualifier = be16(&cdb[4]);
        if (qualifier < 17 || qualifier > 20) return illegal(0x24);
        if (data.size() != kNvmSize) return illegal(0x1A);
        lastNvmQualifier = qualifier;
        if (nvmWritable) {
            std::copy(data.begin(), data.end(), nvm.begin());
            saveNvm();
        }
        return {};
    }

    Reply sendTuning(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data)
    {
        if (data.size() != 2 && data.size() != 4) return illegal(0x1A);
        tuning[cdb[2]].assign(data.begin(), data.end());
        tuningQualifier[cdb[2]] = be16(&cdb[4]);
        return {};
    }

    Reply sendPowerTime(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> data)
    {
        if (data.size() != 2) return illegal(0x1A);
        (cdb[2] == datatype::kPowerSave ? powerSave : powerOff) = be16(data.data());
        return {};
    }

    // ---- the wire -------------------------------------------------------------

    Plan planFor(std::span<const std::uint8_t> cdb)
    {
        Plan p;
        for (Rule &rule : rules) {
            if (rule.match.opcode != cdb[0]) continue;
            if (rule.match.dataType >= 0 && (!hasDataType(cdb[0]) || rule.match.dataType != cdb[2])) continue;
            ++rule.seen;
            if (rule.match.nth != 0 && rule.seen != rule.match.nth) continue;
            switch (rule.kind) {
            case RuleKind::CheckCondition: p.checkSense = rule.sense; break;
            case RuleKind::Status: p.status = rule.status; break;
            case RuleKind::Transfer: p.failure[static_cast<int>(rule.phase)] = rule.failure; break;
            }
        }
        return p;
    }

    void record(Transaction t)
    {
        if (transcriptCapacity == 0) return;
        if (transcript.size() >= transcriptCapacity) transcript.pop_front();
        transcript.push_back(std::move(t));
    }

    Transaction startTransaction() const
    {
        Transaction t;
        t.command = command;
        t.dataOut = dataOut;
        return t;
    }

    TransferResult failTransfer(Transaction t, Phase phase, TransferStatus failure)
    {
        t.failure = failure;
        t.failedPhase = phase;
        record(std::move(t));
        awaitingData = false;
        if (failure == TransferStatus::NoDevice) doUnplug();
        return {failure, 0};
    }

    void queueData(const std::vector<std::uint8_t> &data, std::size_t limit)
    {
        const std::size_t piece = pieceSize ? pieceSize : data.size();
        for (std::size_t pos = 0; pos < limit; pos += piece) {
            Segment s;
            const std::size_t n = std::min(piece, limit - pos);
            s.bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                           data.begin() + static_cast<std::ptrdiff_t>(pos + n));
            inQueue.push_back(std::move(s));
        }
    }

    void execute()
    {
        Reply reply = dispatch(command, dataOut);
        Transaction t = startTransaction();
        const std::size_t inLength = dataInLength(command);
        reply.data.resize(inLength, 0); // the host expects exactly what it asked for
        std::uint8_t status = reply.status;
        if (reply.status == kStatusCheckCondition) sense = reply.sense;
        if (plan.checkSense) {
            status = kStatusCheckCondition;
            sense = *plan.checkSense;
        }
        if (plan.status) status = *plan.status;

        if (plan.at(Phase::DataIn) != TransferStatus::Done && inLength > 0) {
            Segment fail;
            fail.failure = plan.at(Phase::DataIn);
            t.failure = fail.failure;
            t.failedPhase = Phase::DataIn;
            inQueue.push_back(std::move(fail));
        }
        if (reply.stallAfter) {
            // Nothing after these bytes: not the rest, not the status.
            queueData(reply.data, std::min(*reply.stallAfter, inLength));
            Segment silent;
            silent.failure = TransferStatus::Pending;
            inQueue.push_back(std::move(silent));
        } else if (reply.unplugAfter) {
            queueData(reply.data, std::min(*reply.unplugAfter, inLength));
            Segment gone;
            gone.failure = TransferStatus::NoDevice;
            inQueue.push_back(std::move(gone));
            if (t.failure == TransferStatus::Done) {
                t.failure = TransferStatus::NoDevice;
                t.failedPhase = Phase::DataIn;
            }
        } else {
            queueData(reply.data, inLength);
            Segment last;
            if (plan.at(Phase::Status) != TransferStatus::Done) {
                last.failure = plan.at(Phase::Status);
                if (t.failure == TransferStatus::Done) {
                    t.failure = last.failure;
                    t.failedPhase = Phase::Status;
                }
            } else {
                last.bytes.push_back(status);
            }
            inQueue.push_back(std::move(last));
        }
        t.dataInLength = inLength;
        t.dataIn.assign(reply.data.begin(), reply.data.begin() + static_cast<std::ptrdiff_t>(
                                                                     std::min(inLength, transcriptLimit)));
        t.status = status;
        record(std::move(t));
    }

    TransferResult bulkOut(std::span<const std::uint8_t> data)
    {
        if (unplugged) return {TransferStatus::NoDevice, 0};
        if (awaitingData) {
            if (plan.at(Phase::DataOut) != TransferStatus::Done) {
                dataOut.assign(data.begin(), data.end());
                return failTransfer(startTransaction(), Phase::DataOut, plan.at(Phase::DataOut));
            }
            dataOut.insert(dataOut.end(), data.begin(), data.end());
            if (dataOut.size() >= expectedOut) {
                if (dataOut.size() > expectedOut) ++protocolErrors;
                awaitingData = false;
                execute();
            }
            return {TransferStatus::Done, data.size()};
        }
        if (!inQueue.empty()) {
            // The host did not collect the previous transaction's data or status.
            ++protocolErrors;
            inQueue.clear();
        }
        command.assign(data.begin(), data.end());
        dataOut.clear();
        if (data.size() != kCommandSize) {
            ++protocolErrors;
            Transaction t = startTransaction();
            t.status = kStatusCheckCondition;
            sense = makeSense(sense::kKeyIllegalRequest, 0x20, 0);
            record(std::move(t));
            Segment s;
            s.bytes.push_back(kStatusCheckCondition);
            inQueue.push_back(std::move(s));
            return {TransferStatus::Done, data.size()};
        }
        plan = planFor(command);
        if (plan.at(Phase::Command) != TransferStatus::Done) {
            return failTransfer(startTransaction(), Phase::Command, plan.at(Phase::Command));
        }
        expectedOut = dataOutLength(command);
        if (expectedOut > 0) {
            awaitingData = true;
        } else {
            execute();
        }
        return {TransferStatus::Done, data.size()};
    }

    TransferResult bulkIn(std::span<std::uint8_t> buffer)
    {
        if (unplugged) return {TransferStatus::NoDevice, 0};
        if (inQueue.empty()) return {TransferStatus::Pending, 0};
        Segment &s = inQueue.front();
        if (s.failure == TransferStatus::Pending) return {TransferStatus::Pending, 0};
        if (s.failure != TransferStatus::Done) {
            const TransferStatus failure = s.failure;
            inQueue.pop_front();
            if (failure == TransferStatus::NoDevice) doUnplug();
            return {failure, 0};
        }
        if (buffer.empty()) return {TransferStatus::Done, 0};
        const std::size_t n = std::min(buffer.size(), s.bytes.size() - s.pos);
        std::memcpy(buffer.data(), s.bytes.data() + s.pos, n);
        s.pos += n;
        if (s.pos == s.bytes.size()) inQueue.pop_front();
        return {TransferStatus::Done, n};
    }

    TransferResult interruptIn(std::span<std::uint8_t> buffer)
    {
        if (unplugged) return {TransferStatus::NoDevice, 0};
        if (interruptFailure) {
            const TransferStatus failure = *interruptFailure;
            interruptFailure.reset();
            if (failure == TransferStatus::NoDevice) doUnplug();
            return {failure, 0};
        }
        if (buttons.empty()) return {TransferStatus::Pending, 0};
        const std::size_t n = std::min(buffer.size(), kButtonPacketSize);
        std::memcpy(buffer.data(), buttons.front().data(), n);
        buttons.pop_front();
        return {TransferStatus::Done, n};
    }
};

DeviceModel::DeviceModel(InquiryProfile profile) : impl_(std::make_unique<Impl>())
{
    impl_->inquiry = profile.bytes();
}

DeviceModel::~DeviceModel() = default;

#define LOCKED std::lock_guard<std::mutex> lock(impl_->mutex)

TransferResult DeviceModel::bulkOut(std::span<const std::uint8_t> data)
{
    LOCKED;
    return impl_->bulkOut(data);
}

TransferResult DeviceModel::bulkIn(std::span<std::uint8_t> buffer)
{
    LOCKED;
    return impl_->bulkIn(buffer);
}

TransferResult DeviceModel::interruptIn(std::span<std::uint8_t> buffer)
{
    LOCKED;
    return impl_->interruptIn(buffer);
}

DeviceModel::HostResult DeviceModel::transact(std::span<const std::uint8_t> command,
                                              std::span<const std::uint8_t> dataOut, std::size_t dataInLength)
{
    HostResult result;
    TransferResult r = bulkOut(command);
    if (r.status != TransferStatus::Done) {
        result.failure = r.status;
        return result;
    }
    if (dataInLength > 0) {
        result.dataIn.resize(dataInLength);
        std::size_t got = 0;
        while (got < dataInLength) {
            r = bulkIn(std::span<std::uint8_t>(result.dataIn).subspan(got));
            if (r.status != TransferStatus::Done) {
                result.failure = r.status;
                result.dataIn.resize(got);
                return result;
            }
            got += r.length;
        }
    } else if (!dataOut.empty()) {
        r = bulkOut(dataOut);
        if (r.status != TransferStatus::Done) {
            result.failure = r.status;
            return result;
        }
    }
    std::uint8_t status = 0;
    r = bulkIn(std::span<std::uint8_t>(&status, 1));
    if (r.status != TransferStatus::Done || r.length != 1) {
        result.failure = r.status;
        return result;
    }
    result.status = status;
    return result;
}

void DeviceModel::setInquiry(const InquiryProfile &profile)
{
    LOCKED;
    impl_->inquiry = profile.bytes();
}

void DeviceModel::setInquiry(std::vector<std::uint8_t> bytes)
{
    LOCKED;
    if (bytes.size() > 255) bytes.resize(255);
    impl_->inquiry = std::move(bytes);
}

std::vector<std::uint8_t> DeviceModel::inquiry() const
{
    LOCKED;
    return impl_->inquiry;
}

std::array<std::uint8_t, kNvmSize> DeviceModel::nvm() const
{
    LOCKED;
    return impl_->nvm;
}

void DeviceModel::setNvm(const std::array<std::uint8_t, kNvmSize> &bytes)
{
    LOCKED;
    impl_->nvm = bytes;
    impl_->saveNvm();
}

bool DeviceModel::setNvmFile(const std::string &path, std::string *error)
{
    LOCKED;
    std::string why;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        // A new file starts with the memory as it is; its folder must exist.
        impl_->nvmFile = path;
        if (impl_->saveNvm(&why)) return true;
        impl_->nvmFile.clear();
        if (error) *error = "cannot create it: " + why;
        return false;
    }
    std::vector<std::uint8_t> content;
    if (!readRegularFile(path, kNvmSize + 1, &content, &why) || content.size() != kNvmSize) {
        if (error) *error = why.empty() ? "not a 128-byte memory image" : why;
        return false;
    }
    std::memcpy(impl_->nvm.data(), content.data(), kNvmSize);
    impl_->nvmFile = path;
    return true;
}

std::uint16_t DeviceModel::lastNvmQualifier() const
{
    LOCKED;
    return impl_->lastNvmQualifier;
}

void DeviceModel::setNvmWritable(bool writable)
{
    LOCKED;
    impl_->nvmWritable = writable;
}

std::vector<std::uint8_t> DeviceModel::gamma(unsigned channel) const
{
    LOCKED;
    return channel < 3 ? impl_->gamma[channel] : std::vector<std::uint8_t>{};
}

unsigned DeviceModel::gammaSendCount() const
{
    LOCKED;
    return impl_->gammaSends;
}

std::vector<std::uint8_t> DeviceModel::tuning(std::uint8_t dataType) const
{
    LOCKED;
    auto it = impl_->tuning.find(dataType);
    return it == impl_->tuning.end() ? std::vector<std::uint8_t>{} : it->second;
}

std::uint16_t DeviceModel::tuningQualifier(std::uint8_t dataType) const
{
    LOCKED;
    auto it = impl_->tuningQualifier.find(dataType);
    return it == impl_->tuningQualifier.end() ? 0 : it->second;
}

std::optional<std::uint16_t> DeviceModel::powerSaveTime() const
{
    LOCKED;
    return impl_->powerSave;
}

std::optional<std::uint16_t> DeviceModel::powerOffTime() const
{
    LOCKED;
    return impl_->powerOff;
}

std::vector<std::uint8_t> DeviceModel::passThrough(std::uint8_t dataType) const
{
    LOCKED;
    auto it = impl_->passThrough.find(dataType);
    return it == impl_->passThrough.end() ? std::vector<std::uint8_t>{} : it->second;
}

void DeviceModel::setPassThrough(std::uint8_t dataType, std::vector<std::uint8_t> data)
{
    LOCKED;
    impl_->passThrough[dataType] = std::move(data);
}

std::optional<Window> DeviceModel::window() const
{
    LOCKED;
    return impl_->window;
}

void DeviceModel::setCalibrationState(std::uint8_t state)
{
    LOCKED;
    impl_->calibrationState = state;
}

std::uint8_t DeviceModel::calibrationState() const
{
    LOCKED;
    return impl_->calibrationState;
}

std::vector<std::uint8_t> DeviceModel::calibrationData(unsigned dpi)
{
    std::vector<std::uint8_t> data(calibrationDataSize(dpi));
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7u + (i >> 9));
    }
    return data;
}

bool DeviceModel::reserved() const
{
    LOCKED;
    return impl_->reserved;
}

std::optional<std::uint8_t> DeviceModel::lastReleaseCode() const
{
    LOCKED;
    return impl_->releaseCode;
}

bool DeviceModel::scanning() const
{
    LOCKED;
    return impl_->scanning;
}

std::optional<std::uint8_t> DeviceModel::lastScanFlags() const
{
    LOCKED;
    return impl_->scanFlags;
}

std::uint64_t DeviceModel::imageBytesServed() const
{
    LOCKED;
    return impl_->imageOffset;
}

Sense DeviceModel::currentSense() const
{
    LOCKED;
    return impl_->sense;
}

void DeviceModel::setImageSource(std::shared_ptr<const ImageSource> source)
{
    LOCKED;
    impl_->source = source ? std::move(source) : std::make_shared<TestChart>();
}

std::shared_ptr<const ImageSource> DeviceModel::imageSource() const
{
    LOCKED;
    return impl_->source;
}

void DeviceModel::queueButtonPacket(const std::array<std::uint8_t, kButtonPacketSize> &packet)
{
    LOCKED;
    impl_->buttons.push_back(packet);
}

void DeviceModel::pressButton(std::uint8_t code) { queueButtonPacket({code, 0, 0, 0, 0, 0, 0, 0}); }

void DeviceModel::clearButtonPackets()
{
    LOCKED;
    impl_->buttons.clear();
}

std::size_t DeviceModel::pendingButtonPackets() const
{
    LOCKED;
    return impl_->buttons.size();
}

void DeviceModel::injectCheckCondition(CommandMatch match, const Sense &sense)
{
    LOCKED;
    Impl::Rule rule{match, Impl::RuleKind::CheckCondition};
    rule.sense = sense;
    impl_->rules.push_back(rule);
}

void DeviceModel::injectStatus(CommandMatch match, std::uint8_t status)
{
    LOCKED;
    Impl::Rule rule{match, Impl::RuleKind::Status};
    rule.status = status;
    impl_->rules.push_back(rule);
}

void DeviceModel::injectTransferFailure(CommandMatch match, Phase phase, TransferStatus failure)
{
    LOCKED;
    Impl::Rule rule{match, Impl::RuleKind::Transfer};
    rule.phase = phase;
    rule.failure = failure == TransferStatus::Pending ? TransferStatus::IoError : failure;
    impl_->rules.push_back(rule);
}

void DeviceModel::injectInterruptFailure(TransferStatus failure)
{
    LOCKED;
    impl_->interruptFailure = failure;
}

void DeviceModel::setDataInPieceSize(std::size_t bytes)
{
    LOCKED;
    impl_->pieceSize = bytes;
}

void DeviceModel::unplugAfterImageBytes(std::uint64_t bytes)
{
    LOCKED;
    impl_->unplugAtImageByte = bytes;
}

void DeviceModel::stallAfterImageBytes(std::uint64_t bytes)
{
    LOCKED;
    impl_->stallAtImageByte = bytes;
}

void DeviceModel::unplug()
{
    LOCKED;
    impl_->doUnplug();
}

bool DeviceModel::unplugged() const
{
    LOCKED;
    return impl_->unplugged;
}

void DeviceModel::clearFaults()
{
    LOCKED;
    impl_->rules.clear();
    impl_->interruptFailure.reset();
    impl_->pieceSize = 0;
    impl_->unplugAtImageByte.reset();
    impl_->stallAtImageByte.reset();
}

void DeviceModel::setThrottle(std::uint64_t bytesPerSecond)
{
    LOCKED;
    impl_->throttle = bytesPerSecond;
}

std::uint64_t DeviceModel::throttle() const
{
    LOCKED;
    return impl_->throttle;
}

std::vector<Transaction> DeviceModel::transcript() const
{
    LOCKED;
    return {impl_->transcript.begin(), impl_->transcript.end()};
}

std::vector<Transaction> DeviceModel::transactionsWithOpcode(std::uint8_t op) const
{
    LOCKED;
    std::vector<Transaction> out;
    for (const Transaction &t : impl_->transcript) {
        if (t.opcode() == op) out.push_back(t);
    }
    return out;
}

std::size_t DeviceModel::transactionCount() const
{
    LOCKED;
    return impl_->transcript.size();
}

void DeviceModel::clearTranscript()
{
    LOCKED;
    impl_->transcript.clear();
}

void DeviceModel::setTranscriptCapacity(std::size_t transactions)
{
    LOCKED;
    impl_->transcriptCapacity = transactions;
    while (impl_->transcript.size() > transactions) impl_->transcript.pop_front();
}

void DeviceModel::setTranscriptDataLimit(std::size_t bytes)
{
    LOCKED;
    impl_->transcriptLimit = bytes;
}

unsigned DeviceModel::protocolErrors() const
{
    LOCKED;
    return impl_->protocolErrors;
}

#undef LOCKED

} // namespace sim
