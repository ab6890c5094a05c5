// Device settings: gamma tables, scan-length tuning, power timers, pass-through.
#include "device/settings.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "api/boundary.h"
#include "device/apiprocess.h"
#include "device/capability.h"
#include "device/scansetup.h"
#include "support/NxByteOrder.h"
#include "support/debug.h"

uint16_t wTuneScanLength[4];
uint16_t wTuneScanDirection[4];
int32_t wiaflag = 0;

namespace {

constexpr size_t kGammaDumpBytesPerLine = 16;

void LogGammaHeader()
{
    const time_t now = time(nullptr);
    struct tm local_time;
    std::memset(&local_time, 0, sizeof local_time);
    localtime_r(&now, &local_time);
    LogOutput(kLogExported, DebugGammaTableFile, "============ GammaTable ============%d:%d:%d",
              local_time.tm_hour, local_time.tm_min, local_time.tm_sec);
}

// 16 bytes per line: "%04x : " and then "%02x " for each byte.
void LogGammaDump(const uint8_t (&wire)[kGammaTableLength])
{
    for (size_t offset = 0; offset < kGammaTableLength; offset += kGammaDumpBytesPerLine) {
        char line[8 + 3 * kGammaDumpBytesPerLine + 1];
        int used = std::snprintf(line, sizeof line, "%04x : ", static_cast<unsigned>(offset));
        for (size_t i = 0; i < kGammaDumpBytesPerLine && used > 0; ++i) {
            used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), "%02x ",
                                  wire[offset + i]);
        }
        LogOutput(kLogExported, DebugGammaTableFile, "%s", line);
    }
}

bool SendTimer(uint32_t time, uint8_t dataType)
{
    uint8_t buffer[2];
    PutBE16(buffer, static_cast<uint16_t>(time));
    StartLock();
    const bool result = Send(buffer, sizeof buffer, dataType, 0);
    EndLock();
    return result;
}

// One pair of tuning values (portions i and j) with its data type.
bool SendTunePair(size_t i, size_t j, uint8_t dataType)
{
    uint8_t buffer[4];
    PutBE16(buffer, wTuneScanLength[i]);
    PutBE16(buffer + 2, wTuneScanLength[j]);
    const unsigned first = wTuneScanDirection[i] & 1u;
    if (InquiryBit<kInqFlags128>(InquiryData, kInqOverscan)) {
        const unsigned differ = (wTuneScanDirection[i] ^ wTuneScanDirection[j]) & 1u;
        return Send(buffer, 4, dataType, static_cast<uint16_t>(first | (differ << 1)));
    }
    return Send(buffer, 2, dataType, static_cast<uint16_t>(first));
}

bool SetGammaTableWork(const uint8_t *table, uint8_t channel)
{
    StartLock();
    LogGammaHeader();

    uint8_t wire[kGammaTableLength];
    for (size_t i = 0; i < kGammaLevels; ++i) PutBE16(&wire[2 * i], table[i]);

    bool result = false; // the last SEND's result, 0 when none was made
    if (OldParam.ScanMode <= 3) {
        for (uint16_t qualifier = 0; qualifier < 3; ++qualifier) {
            result = Send(wire, kGammaTableLength, kSendTypeGamma, qualifier);
        }
    }
    switch (channel) {
    case 0:
    case 1: result = Send(wire, kGammaTableLength, kSendTypeGamma, 0); break;
    case 2: result = Send(wire, kGammaTableLength, kSendTypeGamma, 1); break;
    case 3: result = Send(wire, kGammaTableLength, kSendTypeGamma, 2); break;
    default: SetErrCode(kErrGeneral); break;
    }

    LogGammaDump(wire);
    if (!result) SetErrCode(kErrGeneral); // replaces whatever the transport left
    EndLock();
    return result;
}

} // namespace

uint32_t DdsElementSize(DDS_DATA_TYPE type)
{
    static constexpr uint8_t kSizes[16] = {0, 0, 1, 2, 4, 8, 1, 2, 4, 1, 1, 2, 4, 8, 4, 8};
    if (type < 2 || type > 15) return 0;
    return kSizes[type];
}

bool SetGammaTable(uint8_t *table, uint8_t channel)
{
    return TracedCall(kLogExported, "SetGammaTable", 0, [&] {
        if (table == nullptr) {
            // A null table is refused before any device traffic.
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        return SetGammaTableWork(table, channel);
    });
}

bool TuneScanLength(uint16_t direction, uint16_t lines, uint8_t portion)
{
    TraceScope trace(kLogExported, "TuneScanLength", 0, " Portion = %d, Direction = %d, Line = %d", portion,
                     direction, lines);
    return trace.Return(CatchAtBoundary(kErrGeneral, [&] {
        if (portion < 4) { // a larger portion stores nothing and sends what is held
            wTuneScanLength[portion] = lines;
            wTuneScanDirection[portion] = direction;
        }
        SendTunePair(0, 3, kSendTypeTuneFirst); // its result is not looked at
        return SendTunePair(1, 2, kSendTypeTuneSecond);
    }));
}

bool SetPowerSaveTime(uint32_t time)
{
    return TracedCall(kLogExported, "SetPowerSaveTime", 1,
                      [&] { return SendTimer(time, kSendTypePowerSave); });
}

bool SendPowerOffTime(uint32_t time)
{
    return TracedCall(kLogExported, "SendPowerOffTime", 1,
                      [&] { return SendTimer(time, kSendTypePowerOff); });
}

bool GeneralRead(uint16_t identifier, DDS_DATA_TYPE type, uint16_t count, void *data)
{
    size_t offset = 0;
    switch (identifier) {
    case 1: offset = kInqOverscan3; break;
    case 3: offset = kInqOverscan1; break;
    case 5: offset = kInqOverscan4; break;
    case 7: offset = kInqOverscan2; break;
    default: break;
    }
    const size_t size = static_cast<size_t>(DdsElementSize(type)) * count;
    if (data == nullptr) return size == 0 && offset == 0;
    std::memset(data, 0, size);
    if (offset != 0 && GetBE16(&InquiryData.Data[offset]) != 0) {
        const uint16_t value = GetBE16(&MyInquiryData.Data[offset]);
        std::memcpy(data, &value, sizeof value);
    }
    return true;
}

bool GeneralSend(uint16_t, DDS_DATA_TYPE, uint16_t, void *) { return true; }

bool GeneralOperation(uint8_t operation, uint16_t identifier, DDS_DATA_TYPE type, uint16_t count, void *data)
{
    return TracedCall(kLogExported, "GeneralOperation", 1, [&] {
        wiaflag = 1;
        if (operation == kGeneralRead) {
            if (GeneralRead(identifier, type, count, data)) return true;
            // A null buffer that would have to receive bytes is refused.
            SetErrCode(kErrInvalidParameter);
            return false;
        }
        if (operation == kGeneralSend) return GeneralSend(identifier, type, count, data);
        return true;
    });
}

bool SetSpeedMode(void) { return AcceptedCall(kLogExported, "SetSpeedMode", 0); }
bool SwitchStrip(void) { return AcceptedCall(kLogExported, "SwitchStrip", 0); }
bool TruncateScanLength(void) { return AcceptedCall(kLogExported, "TruncateScanLength", 0); }
