// Operations that the driver accepts without device action: each writes its
// entry and exit line with 1 and succeeds, without traffic and without
// touching the status code.
#include "api/boundary.h"
#include "api/scanner.h"
#include "scan/scan.h"
#include "support/debug.h"
#include "transport/usbio_linux_10.h"

uint8_t bitUserCancel = 0;

namespace {

// Entry line, the function's side effect (if any), exit line; result 1.
template <typename SideEffect>
bool Accept(const char *name, SideEffect &&sideEffect)
{
    TraceScope trace(kLogExported, name);
    CatchAtBoundary(kErrGeneral, [&sideEffect] {
        sideEffect();
        return true;
    });
    return trace.Return(true);
}

bool Accept(const char *name) { return AcceptedCall(kLogExported, name); }

} // namespace

bool DoCancel(void)
{
    // May come from another thread while a scan runs: one byte store.
    return Accept("DoCancel", [] { __atomic_store_n(&bitUserCancel, uint8_t{1}, __ATOMIC_RELAXED); });
}

bool GetDeviceList(void **list, uint32_t *count)
{
    // An empty list; a null output pointer is skipped.
    return Accept("GetDeviceList", [list, count] {
        if (list != nullptr) *list = nullptr;
        if (count != nullptr) *count = 0;
    });
}

bool DoPaperFeed(void) { return Accept("DoPaperFeed"); }
bool GetEOPStatus(void) { return Accept("GetEOPStatus"); }
bool ResetCalibrationData(void) { return Accept("ResetCalibrationData"); }
bool DoCalibration(void) { return Accept("DoCalibration"); }
bool DoCalibrationData(void) { return Accept("DoCalibrationData"); }
bool PrepareScan(void) { return Accept("PrepareScan"); }
bool GetMicrData(void) { return Accept("GetMicrData"); }
bool SendUltraSonicConcernArea(void) { return Accept("SendUltraSonicConcernArea"); }
bool SetBatchScanParameter(void) { return Accept("SetBatchScanParameter"); }
bool Send2DConvolutionFilter(void) { return Accept("Send2DConvolutionFilter"); }
bool SetImprinterParameter(void) { return Accept("SetImprinterParameter"); }
bool DoEjectPaperAfterScan(void) { return Accept("DoEjectPaperAfterScan"); }
bool SendUltraSonicIgnoreLength(void) { return Accept("SendUltraSonicIgnoreLength"); }
bool FlatbedTransLightSwitch(void) { return Accept("FlatbedTransLightSwitch"); }
bool LampOn(void) { return Accept("LampOn"); }
bool LampOff(void) { return Accept("LampOff"); }
bool LampDim(void) { return Accept("LampDim"); }
bool GetLightStatus(void) { return Accept("GetLightStatus"); }
bool ResetIntelligentMultiFeedData(void) { return Accept("ResetIntelligentMultiFeedData"); }
bool ManageIntelligentMultiFeedData(void) { return Accept("ManageIntelligentMultiFeedData"); }
bool SaveIntelligentMultiFeedState(void) { return Accept("SaveIntelligentMultiFeedState"); }
bool DestroyDeviceList(void) { return Accept("DestroyDeviceList"); }
bool SelectDevice(void) { return Accept("SelectDevice"); }
bool GetOperatingDeviceName(void) { return Accept("GetOperatingDeviceName"); }
