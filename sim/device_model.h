// Virtual scanner: the device model.
//
// Plain C++ without any USB code. The model sees the scanner's side of the
// wire: byte transfers on the bulk-out, bulk-in and interrupt-in pipes. A
// transaction is a 10-byte command block on bulk-out, an optional data phase
// (bulk-in or bulk-out) and a one-byte status on bulk-in; REQUEST SENSE
// fetches the sense data after a check condition. Button events are 8-byte
// packets on the interrupt pipe.
//
// The model keeps its own command codes and record layouts (a device knows its
// own); it includes nothing of the driver.
//
// Thread safety: every public member locks the model, so a test may inject
// faults or read the transcript while the USB glue serves transfers from the
// umockdev worker thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/image_source.h"

namespace sim {

// ---------------------------------------------------------------------------
// Identity, command codes and record sizes of the scanner.
// ---------------------------------------------------------------------------
inline constexpr std::uint16_t kVendorId = 0x7F3C;
inline constexpr std::uint16_t kProductId = 0x51A4;

namespace opcode {
inline constexpr std::uint8_t kRequestSense = 0x03;
inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kReserveUnit = 0x16;
inline constexpr std::uint8_t kReleaseUnit = 0x17;
inline constexpr std::uint8_t kScan = 0x1B;
inline constexpr std::uint8_t kSetWindow = 0x24;
inline constexpr std::uint8_t kRead = 0x28;
inline constexpr std::uint8_t kSend = 0x2A;
} // namespace opcode

// Data type codes of READ (0x00..0x69) and SEND (0x81..0xA9), command byte 2.
namespace datatype {
inline constexpr std::uint8_t kImage = 0x00;
inline constexpr std::uint8_t kCalibrationStatus = 0x60;
inline constexpr std::uint8_t kCalibrationData = 0x61;      // scan modes below 3
inline constexpr std::uint8_t kCalibrationDataColor = 0x62; // other scan modes
inline constexpr std::uint8_t kNvmRead = 0x69;
inline constexpr std::uint8_t kGamma = 0x81;
inline constexpr std::uint8_t kNvmWrite = 0x85;
inline constexpr std::uint8_t kTuneFirstPair = 0x95;  // portions 0 and 3
inline constexpr std::uint8_t kTuneSecondPair = 0x96; // portions 1 and 2
inline constexpr std::uint8_t kPowerSave = 0xA2;
inline constexpr std::uint8_t kPowerOff = 0xA9;
} // namespace datatype

inline constexpr std::size_t kCommandSize = 10;
inline constexpr std::size_t kInquirySize = 165;
inline constexpr std::size_t kSenseSize = 22;
inline constexpr std::size_t kNvmSize = 128;
inline constexpr std::size_t kCalibrationStatusSize = 32;
inline constexpr std::size_t kGammaSize = 512; // 256 big-endian 16-bit entries
inline constexpr std::size_t kButtonPacketSize = 8;
inline constexpr std::size_t kWindowHeaderSize = 8;
inline constexpr std::size_t kWindowDescriptorSize = 71;
inline constexpr std::size_t kWindowListSize = kWindowHeaderSize + kWindowDescriptorSize;

inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;

// Size of the calibration raw data at a device resolution (0 for others).
std::size_t calibrationDataSize(unsigned dpi);

// ---------------------------------------------------------------------------
// Sense data: 22 bytes, fixed format.
// ---------------------------------------------------------------------------
using Sense = std::array<std::uint8_t, kSenseSize>;

// Response code 0x70, the sense key in byte 2 (with optional flag bits 7..4),
// additional sense length 14, ASC in byte 12 and ASCQ in byte 13.
Sense makeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::uint8_t flags = 0);
// What the device reports when nothing went wrong (key 0, 00/00).
Sense noSense();

// Sense the model itself raises when it refuses a command.
namespace sense {
inline constexpr std::uint8_t kKeyNoSense = 0x0;
inline constexpr std::uint8_t kKeyRecovered = 0x1;
inline constexpr std::uint8_t kKeyNotReady = 0x2;
inline constexpr std::uint8_t kKeyHardware = 0x4;
inline constexpr std::uint8_t kKeyIllegalRequest = 0x5;
inline constexpr std::uint8_t kKeyUnitAttention = 0x6;
inline constexpr std::uint8_t kKeyAborted = 0xB;
} // namespace sense

// ---------------------------------------------------------------------------
// Inquiry data: the scanner's description of itself (165 bytes, big-endian
// fields). InquiryProfile names the fields the host reads; bytes() lays them
// out. Use the presets and change what a test needs, or patch raw bytes with
// DeviceModel::setInquiry.
// ---------------------------------------------------------------------------
struct InquiryProfile {
    std::string vendor = "VSCAN";                     // 8 bytes, space padded
    std::string product = "VS2550 Virtual";           // 16 bytes, space padded
    std::string revision = "1.00";                    // 4 bytes
    std::uint8_t additionalLength = kInquirySize - 5; // byte 4
    std::uint8_t typeCode = 0x20;                     // byte 36, bits 6..4
    std::uint8_t baseResolution = 6;                  // byte 38, units of 100 dpi
    std::uint8_t resolutionFlags = 0x20;              // byte 39: bit 5 = the four resolutions are valid
    std::array<std::uint16_t, 4> resolutions{300, 600, 600, 600}; // bytes 40..47
    std::uint16_t maxReadLength = 0;                              // bytes 48..49; 0 = 524288
    bool buttons = false;                                         // byte 50 bit 6
    bool xyResolutionMayDiffer = false;                           // byte 50 bit 0
    std::uint8_t flags50Extra = 0;                                // other bits of byte 50
    std::uint8_t flags51 = 0;
    std::uint8_t flags52 = 0;
    std::uint8_t boundaryColor = 1;       // byte 54
    std::uint8_t boundaryGray = 1;        // byte 55
    std::uint8_t boundaryGray4 = 2;       // byte 56
    std::uint8_t boundaryLineArt = 8;     // byte 57
    std::uint8_t boundaryHalftone = 8;    // byte 58
    std::uint8_t boundaryHalftoneOwn = 8; // byte 59
    std::uint8_t scanEnable = 0x40;       // byte 60: bit 6 must be set for scanning
    std::uint8_t depths = 0xFE;           // byte 61: 1, 4, 6, 8, 10, 12, 16 bits
    std::uint8_t methods = 0xFC;          // byte 62: every scan method
    std::uint8_t byte63 = 0;
    std::uint8_t halftoneOwnPattern = 0; // byte 64
    // Dimension values 1..7 (bytes 75, 77, 79, 83, 85, 87, 89) and the largest
    // scan width in pixels at 300 dpi (bytes 81..82).
    std::uint16_t dim1 = 600;
    std::uint16_t dim2 = 2550;
    std::uint16_t dim3 = 4200;
    std::uint16_t maxWidth300 = 2550; // 8.5 inch
    std::uint16_t dim4 = 4212;
    std::uint16_t dim5 = 4200;
    std::uint16_t dim6 = 0xFFFF;
    std::uint16_t dim7 = 300;
    std::uint8_t buttonCount = 0; // byte 92
    std::uint8_t flags93 = 0;
    std::uint8_t flags94 = 0;
    std::uint8_t flags95 = 0;
    std::uint8_t flags128 = 0;                         // bit 6 R2 YCC, bit 4 overscan
    std::uint8_t flags129 = 0;                         // bit 7 R2 YCC, bit 3 D2 JPEG
    std::array<std::uint16_t, 4> overscan{0, 0, 0, 0}; // extents 1..4, bytes 134..141
    std::uint8_t flags149 = 0x04;                      // bit 2: the NVM default applies

    // A 2550-pixel (8.5 inch at 300 dpi) scanner, 300/600 dpi, every depth and
    // method, no buttons, no overscan.
    static InquiryProfile standard();
    // The standard profile with three push buttons.
    static InquiryProfile withButtons();
    // The standard profile with overscan: byte 128 bit 4 and 24 pixels of
    // overscan on each side (extents 2 and 4 widen the line).
    static InquiryProfile withOverscan();

    std::vector<std::uint8_t> bytes() const;
};

// Default non-volatile memory content (device format, big-endian fields).
std::array<std::uint8_t, kNvmSize> defaultNvm();

// ---------------------------------------------------------------------------
// The window last accepted by SET WINDOW and the scan geometry derived from it.
// ---------------------------------------------------------------------------
struct Window {
    std::array<std::uint8_t, kWindowDescriptorSize> descriptor{}; // as received
    ScanGeometry geometry;
};

// Parses a 71-byte window descriptor into the geometry of the page the device
// will deliver. Returns nothing when the device would refuse the window (a
// resolution other than 300/600, X and Y resolution different, no bytes per
// line or lines, wider than maxPixels300 × dpi / 300).
// Compositions 3 and above are colour, the others one channel; but a one-channel
// window of 8 or 16 bits whose line is too long for one channel and holds whole
// RGB pixels that fit is colour (what the host sends for its second colour
// code: composition 0 with three samples a pixel).
std::optional<ScanGeometry> geometryForWindow(std::span<const std::uint8_t> descriptor,
                                              unsigned maxPixels300);

// ---------------------------------------------------------------------------
// Transcript of the wire.
// ---------------------------------------------------------------------------
enum class Phase : std::uint8_t { Command, DataOut, DataIn, Status };
enum class TransferStatus : std::uint8_t {
    Done,     // the transfer completed (possibly short)
    Pending,  // the device has nothing to send yet (the host's URB stays queued)
    Stall,    // endpoint stall
    NoDevice, // the device is gone
    IoError,  // a low-level bus error
};
const char *toString(TransferStatus status);
const char *toString(Phase phase);

struct Transaction {
    std::vector<std::uint8_t> command; // the command block as received
    std::vector<std::uint8_t> dataOut; // data phase to the device
    std::vector<std::uint8_t> dataIn;  // data phase from the device (first transcriptDataLimit bytes)
    std::size_t dataInLength = 0;      // full length of the data-in phase
    std::uint8_t status = kStatusGood; // status byte the device sent (or would have sent)
    // A transfer that was made to fail, and in which phase.
    TransferStatus failure = TransferStatus::Done;
    Phase failedPhase = Phase::Command;

    std::uint8_t opcode() const { return command.empty() ? 0 : command[0]; }
    std::uint8_t dataType() const { return command.size() > 2 ? command[2] : 0; }
    std::uint16_t qualifier() const;      // bytes 4..5
    std::uint32_t transferLength() const; // bytes 6..8
};

// The transcript keeps this many transactions unless told otherwise: a few
// whole pages' worth, a bounded amount of memory (at most 64 KiB of data each).
inline constexpr std::size_t kDefaultTranscriptCapacity = 1024;

// Formats one transaction for failure messages ("28 00 00 .. -> 4096 bytes in, status 00").
std::string describe(const Transaction &t);

// ---------------------------------------------------------------------------
// Fault injection.
// ---------------------------------------------------------------------------
// Which command a fault applies to: the nth command (1-based) with this
// opcode and, for READ and SEND, this data type; nth 0 matches every one.
struct CommandMatch {
    std::uint8_t opcode = 0;
    int dataType = -1; // -1: any data type
    unsigned nth = 1;
};

// Result of one host transfer, as the USB glue turns it into a URB result.
struct TransferResult {
    TransferStatus status = TransferStatus::Done;
    std::size_t length = 0; // bytes moved
};

// ---------------------------------------------------------------------------
// The scanner.
// ---------------------------------------------------------------------------
class DeviceModel {
public:
    explicit DeviceModel(InquiryProfile profile = InquiryProfile::standard());
    ~DeviceModel();
    DeviceModel(const DeviceModel &) = delete;
    DeviceModel &operator=(const DeviceModel &) = delete;

    // --- The wire (used by the USB glue, and by model tests directly) -------
    // One bulk-out transfer from the host: a command block, or (after a command
    // with a data-out phase) data.
    TransferResult bulkOut(std::span<const std::uint8_t> data);
    // One bulk-in transfer of at most buffer.size() bytes. A transfer never
    // crosses the end of the data phase or of a short piece (a short packet
    // ends it), so data and status always arrive in separate transfers.
    TransferResult bulkIn(std::span<std::uint8_t> buffer);
    // One interrupt-in transfer: the next queued button packet, or Pending.
    TransferResult interruptIn(std::span<std::uint8_t> buffer);

    // Convenience for model tests: one whole transaction as a host would run
    // it (command, data out or data in of exactly the command's length,
    // status). Returns the status byte, or nothing when a transfer failed or the
    // device had nothing to send.
    struct HostResult {
        std::optional<std::uint8_t> status;
        std::vector<std::uint8_t> dataIn;
        TransferStatus failure = TransferStatus::Done;
    };
    HostResult transact(std::span<const std::uint8_t> command, std::span<const std::uint8_t> dataOut = {},
                        std::size_t dataInLength = 0);

    // --- Identity and stored state ------------------------------------------
    void setInquiry(const InquiryProfile &profile);
    void setInquiry(std::vector<std::uint8_t> bytes); // raw, up to 255 bytes
    std::vector<std::uint8_t> inquiry() const;

    std::array<std::uint8_t, kNvmSize> nvm() const; // device format
    void setNvm(const std::array<std::uint8_t, kNvmSize> &bytes);
    // Keep the NVM in a file: an existing file must be a regular file of
    // exactly 128 bytes and is loaded now; a missing one is created now (its
    // folder must exist). Written after every NVM write. False, with the reason
    // in *error, when the file cannot serve.
    bool setNvmFile(const std::string &path, std::string *error = nullptr);
    std::uint16_t lastNvmQualifier() const;
    // When false the device ignores NVM writes (but accepts them): a device
    // whose self test fails.
    void setNvmWritable(bool writable);

    // Gamma tables as received per channel (512 bytes each; empty if none).
    std::vector<std::uint8_t> gamma(unsigned channel) const;
    unsigned gammaSendCount() const;
    // Scan-length tuning: data of the last SEND 0x95 / 0x96 and its qualifier.
    std::vector<std::uint8_t> tuning(std::uint8_t dataType) const;
    std::uint16_t tuningQualifier(std::uint8_t dataType) const;
    std::optional<std::uint16_t> powerSaveTime() const;
    std::optional<std::uint16_t> powerOffTime() const;
    // SENDs of other data types are stored as pass-through data and can be read
    // back with READ of the same type.
    std::vector<std::uint8_t> passThrough(std::uint8_t dataType) const;
    void setPassThrough(std::uint8_t dataType, std::vector<std::uint8_t> data);

    std::optional<Window> window() const;
    // Byte 4 of the calibration status block (default 1: raw data to read).
    void setCalibrationState(std::uint8_t state);
    std::uint8_t calibrationState() const;
    // The deterministic calibration raw data the device hands out at a resolution.
    static std::vector<std::uint8_t> calibrationData(unsigned dpi);

    bool reserved() const;
    std::optional<std::uint8_t> lastReleaseCode() const;
    bool scanning() const;
    std::optional<std::uint8_t> lastScanFlags() const; // SCAN byte 5
    std::uint64_t imageBytesServed() const;            // of the current page
    Sense currentSense() const;

    // --- Image source --------------------------------------------------------
    // The paper under the lid; the default is the procedural test chart.
    void setImageSource(std::shared_ptr<const ImageSource> source);
    std::shared_ptr<const ImageSource> imageSource() const;

    // --- Buttons ---------------------------------------------------------------
    void queueButtonPacket(const std::array<std::uint8_t, kButtonPacketSize> &packet);
    // A press of a device button code (3, 5 or 6): packet {code, 0, ...}.
    void pressButton(std::uint8_t code);
    void clearButtonPackets();
    std::size_t pendingButtonPackets() const;

    // --- Fault injection -----------------------------------------------------
    // The matching command ends with check condition and this sense data. Its
    // data phase still runs (data in is delivered in full, zero-filled).
    void injectCheckCondition(CommandMatch match, const Sense &sense);
    // The matching command ends with this status byte (sense stays as it is).
    void injectStatus(CommandMatch match, std::uint8_t status);
    // The first transfer of this phase of the matching command fails.
    // NoDevice also unplugs the device.
    void injectTransferFailure(CommandMatch match, Phase phase, TransferStatus failure);
    // The next interrupt transfer fails.
    void injectInterruptFailure(TransferStatus failure);
    // Data-in phases arrive in pieces of at most this many bytes (0: whole).
    void setDataInPieceSize(std::size_t bytes);
    // The device disappears once this many image bytes of a page have been
    // delivered: the transfer that would go past it gets the bytes up to it, the
    // next one fails with NoDevice.
    void unplugAfterImageBytes(std::uint64_t bytes);
    // The device stops sending once this many image bytes of a page have been
    // delivered: the transfer that would go past it gets the bytes up to it,
    // later ones wait (stay pending) until the device is unplugged.
    void stallAfterImageBytes(std::uint64_t bytes);
    // The device disappears now: every later transfer fails with NoDevice.
    void unplug();
    bool unplugged() const;
    // Removes every injected fault (not an unplug).
    void clearFaults();

    // Data rate the USB glue imposes on bulk data (bytes per second; 0: none).
    void setThrottle(std::uint64_t bytesPerSecond);
    std::uint64_t throttle() const;

    // --- Transcript ------------------------------------------------------------
    // A ring of the last transactions, oldest first.
    std::vector<Transaction> transcript() const;
    std::vector<Transaction> transactionsWithOpcode(std::uint8_t opcode) const;
    std::size_t transactionCount() const; // transactions kept
    void clearTranscript();
    // Transactions kept (default kDefaultTranscriptCapacity; 0 keeps none).
    void setTranscriptCapacity(std::size_t transactions);
    // Data-in bytes kept per transaction in the transcript (default 64 KiB).
    void setTranscriptDataLimit(std::size_t bytes);
    // Bulk-out transfers that arrived when the device expected no command
    // (for example a command block of the wrong size).
    unsigned protocolErrors() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sim
