/*
 * docscan: driver library for the USB document scanner (VID 0x7F3C, PID 0x51A4).
 *
 * Public interface of libdocscan.so.1. A front end loads the library (or
 * links it), calls InitializeDriver, InitializeScanner, the capability,
 * parameter, scan and maintenance functions, and finally TerminateDriver.
 *
 * Conventions of every exported function:
 *   - the result is a truth value (non-zero: success);
 *   - the reason of a failure is left in the status code, read back with
 *     GetScannerStatusEx or GetLastStatusCode (a success never clears it);
 *   - records crossing this boundary are byte-packed, host byte order.
 *
 * Threads. The driver has one scanner and process-wide state: run the
 * lifecycle, parameter, scan and maintenance functions from one thread at a
 * time. While a scan runs (StartScan to StopScan) these may also be called
 * from any other thread:
 *   - DoCancel (it only sets bitUserCancel);
 *   - GetScannerStatus, GetScannerStatusEx, GetLastStatusCode (the status
 *     code is read and written atomically);
 *   - GetScannerAbility, GetScannerAbilityEx, ReadPushButton and other single
 *     device queries: every command transaction (command, data, status and
 *     the sense request it may need) runs under one transport lock, so they
 *     wait for the read-ahead thread's current READ and never mix with it.
 * TerminateDriver and ResetScanner stop a running scan first, as StopScan
 * does. A scanner that stops answering does not hang the caller: ReadScan
 * gives up with DOCSCAN_STATUS_NO_IMAGE_DATA after at most 60 s, and StopScan
 * returns within about 5 s, leaving the read that still waits to end on its
 * own (unplug, reset); until it ends, commands fail at once with
 * DOCSCAN_STATUS_TRANSACTION and StartScan with DOCSCAN_STATUS_SCAN_IN_PROGRESS.
 *
 * This header holds what a front end needs: the front-end functions, the
 * boundary records and the named codes (status, scan mode, colour filter,
 * data type). The driver's other exported routines and globals are declared
 * in the headers of their own layers. Usable from C and C++.
 */
#ifndef DOCSCAN_API_SCANNER_H
#define DOCSCAN_API_SCANNER_H

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#endif

#include "support/export.h"
#include "support/status.h"

#ifdef __cplusplus
#define DOCSCAN_STATIC_ASSERT static_assert
extern "C" {
#else
#define DOCSCAN_STATIC_ASSERT _Static_assert
#endif

/* ======================================================================
 * Named codes
 * ====================================================================== */

/* ScanMode of tagScanParameter. 5 and 12 and above are refused. */
typedef enum DocscanScanMode {
    DOCSCAN_MODE_LINEART = 0,
    DOCSCAN_MODE_HALFTONE = 1,
    DOCSCAN_MODE_GRAY = 2,
    DOCSCAN_MODE_COLOR_SECOND = 3, /* validated like 4, sent to the scanner as 3 */
    DOCSCAN_MODE_COLOR = 4,
    DOCSCAN_MODE_YCC_COLOR = 6,        /* when the scanner supports it */
    DOCSCAN_MODE_JPEG_COLOR_FIRST = 7, /* 7 to 10: compressed colour, when supported */
    DOCSCAN_MODE_JPEG_COLOR_LAST = 10,
    DOCSCAN_MODE_JPEG_GRAY = 11 /* compressed gray, when supported */
} DocscanScanMode;

/* ColorFilter of tagScanParameter: the channel gray and line art are made from. */
typedef enum DocscanColorFilter {
    DOCSCAN_FILTER_ALL = 0, /* all channels (luminance) */
    DOCSCAN_FILTER_RED = 1,
    DOCSCAN_FILTER_GREEN = 2,
    DOCSCAN_FILTER_BLUE = 3
} DocscanColorFilter;

/* Data type codes of the scanner's READ and SEND commands. */
typedef enum DocscanDataType {
    DOCSCAN_READ_IMAGE = 0x00,                /* image data of the running scan */
    DOCSCAN_READ_CALIBRATION_STATUS = 0x60,   /* 32 bytes, byte 4 = calibration state */
    DOCSCAN_READ_CALIBRATION_RAW_LOW = 0x61,  /* raw calibration data, ScanMode below 3 */
    DOCSCAN_READ_CALIBRATION_RAW_HIGH = 0x62, /* raw calibration data, other modes */
    DOCSCAN_READ_NVM = 0x69,                  /* 128-byte non-volatile memory record */
    DOCSCAN_SEND_GAMMA = 0x81,                /* 512 bytes, qualifier = channel 0..2 */
    DOCSCAN_SEND_NVM = 0x85,                  /* 128 bytes, qualifier 17..20 */
    DOCSCAN_SEND_TUNE_FIRST = 0x95,           /* 2 or 4 bytes, qualifier = direction bits */
    DOCSCAN_SEND_TUNE_SECOND = 0x96,          /* 2 or 4 bytes, qualifier = direction bits */
    DOCSCAN_SEND_POWER_SAVE = 0xA2,           /* 2 bytes, qualifier 0 */
    DOCSCAN_SEND_POWER_OFF = 0xA9             /* 2 bytes, qualifier 0 */
} DocscanDataType;

#pragma pack(push, 1)

/* ======================================================================
 * Boundary records
 * ====================================================================== */

/* Scan request as the caller describes it (69 bytes). Area in 1/300 inch.
 * SetScanParameter refuses (DOCSCAN_STATUS_INVALID_PARAMETER) only what its
 * validation rules name: a mode, depth or method the scanner lacks, XRes or
 * YRes above 600, a pixel or line count off its boundary. Other values pass,
 * e.g. LineNum 0, XRes 1, ColorFilter 9, Width 65535; StartScan refuses a
 * page it cannot deliver. */
typedef struct tagScanParameter {
    uint16_t Left;                     /* 0  */
    uint16_t Top;                      /* 2  */
    uint16_t Width;                    /* 4  any value passes; the scanner judges the window */
    uint16_t Length;                   /* 6  */
    uint16_t PixelNum;                 /* 8  pixels per line at XRes */
    uint16_t LineNum;                  /* 10 low 16 bits of the line count (0 passes) */
    uint8_t ScanMode;                  /* 12 DocscanScanMode */
    uint8_t ScanMethod;                /* 13 */
    uint8_t BitPerPixel;               /* 14 */
    uint8_t ScanSpeed;                 /* 15 */
    int8_t Contrast;                   /* 16 */
    int8_t Brightness;                 /* 17 */
    uint8_t HTPatternNo;               /* 18 */
    uint8_t Highlight;                 /* 19 */
    uint8_t Shadow;                    /* 20 */
    uint8_t ColorFilter;               /* 21 DocscanColorFilter; above 3 passes: black */
    uint8_t Invert;                    /* 22 */
    uint8_t IntelligentMultiFeedStyle; /* 23 */
    uint16_t ExtScanParam;             /* 24 */
    uint16_t RExposure;                /* 26 */
    uint16_t GExposure;                /* 28 */
    uint16_t BExposure;                /* 30 */
    uint16_t XRes;                     /* 32 0 to 600 pass, StartScan refuses 0 */
    uint16_t YRes;                     /* 34 */
    uint16_t RGain;                    /* 36 */
    uint16_t GGain;                    /* 38 */
    uint16_t BGain;                    /* 40 */
    int16_t lensPosition;              /* 42 */
    uint8_t byBackgroundLines;         /* 44 */
    uint8_t byPagesThisJob;            /* 45 */
    uint8_t CompressionArgument;       /* 46 */
    uint16_t HiWordLength;             /* 47 */
    uint16_t HiWordLineNum;            /* 49 high 16 bits of the line count */
    uint8_t UltraSonicIntension;       /* 51 */
    uint32_t ExtScanParam2;            /* 52 */
    uint8_t Reserved[6];               /* 56 */
    uint8_t EnableBatchScan;           /* 62 */
    uint16_t wPaperLength;             /* 63 */
    uint16_t ExtIndex;                 /* 65 */
    uint16_t ExtSize;                  /* 67 */
} tagScanParameter;

/* The scanner's 165-byte inquiry data, device format (big-endian fields). */
typedef struct NX_InquiryData {
    uint8_t Data[165];
} NX_InquiryData;

/* Short capability record (44 bytes). */
typedef struct tagScannerAbility {
    char ProductName[8];   /* 0  inquiry 16..22 and a 0 */
    char Revision[4];      /* 8  inquiry 32..34 and a 0 */
    uint16_t Dimension7;   /* 12 */
    uint16_t XResolution;  /* 14 resolution 3, or inquiry 38 x 100 */
    uint16_t YResolution;  /* 16 resolution 4, or inquiry 38 x 100 */
    uint8_t ScannerType;   /* 18 0x89 / 0x88 */
    uint8_t One;           /* 19 always 1 */
    uint8_t ImageFlags;    /* 20 */
    uint8_t ScanMethods;   /* 21 inquiry 62 */
    uint16_t MaxScanWidth; /* 22 inquiry 81 */
    uint16_t Dimension4;   /* 24 dimension 4 less 12 */
    uint16_t Dimension5;   /* 26 */
    uint16_t Dimension6;   /* 28 */
    uint8_t Reserved30;    /* 30 */
    uint8_t Inquiry63;     /* 31 */
    uint8_t Flag32;        /* 32 */
    uint8_t Flag33;        /* 33 */
    uint16_t Dimension2;   /* 34 */
    uint16_t Dimension3;   /* 36 */
    uint8_t Reserved38[6]; /* 38 */
} tagScannerAbility;

/* Extended capability record (142 bytes). */
typedef struct SCANNERABILITYEX {
    char VendorName[12];         /* 0   */
    char ProductName[16];        /* 12  */
    uint8_t ProductEnd[4];       /* 28  */
    char Revision[4];            /* 32  */
    uint8_t RevisionEnd[4];      /* 36  */
    char UsbVersion[12];         /* 40  "USB 2.0" */
    char UsbName[8];             /* 52  "USB" */
    uint8_t FixedBytes[8];       /* 60  1 2 3 4 5 0 0 0 */
    uint32_t Flags68;            /* 68  */
    uint32_t Flags72;            /* 72  */
    uint32_t Reserved76;         /* 76  */
    uint16_t MaxScanWidth;       /* 80  */
    uint16_t Dimension4;         /* 82  */
    uint16_t Dimension5;         /* 84  */
    uint16_t Dimension6;         /* 86  */
    uint16_t Dimension7;         /* 88  */
    uint16_t Resolution[4];      /* 90  */
    uint16_t ImageFlags;         /* 98  */
    uint16_t ScanMethods;        /* 100 */
    uint16_t Reserved102;        /* 102 */
    uint8_t Inquiry60;           /* 104 */
    uint8_t SampleDepths;        /* 105 */
    uint8_t Five;                /* 106 */
    uint8_t Reserved107;         /* 107 */
    uint8_t BoundaryLineart;     /* 108 inquiry 57 */
    uint8_t BoundaryGray;        /* 109 inquiry 55 */
    uint8_t BoundaryColor;       /* 110 inquiry 54 */
    uint8_t BoundaryHalftone;    /* 111 inquiry 58 */
    uint8_t BoundaryHalftoneOwn; /* 112 inquiry 59 */
    uint8_t BoundaryGray4;       /* 113 inquiry 56 */
    uint32_t Flags114;           /* 114 */
    uint32_t Flags118;           /* 118 */
    uint16_t Dimension2;         /* 122 */
    uint16_t Dimension3;         /* 124 */
    uint16_t Dimension1;         /* 126 */
    uint8_t ButtonCount;         /* 128 inquiry 92 */
    uint8_t Reserved129[2];      /* 129 */
    uint8_t Inquiry129;          /* 131 */
    uint8_t Reserved132;         /* 132 */
    uint32_t Value133;           /* 133 0x00000A00 */
    uint8_t Reserved137[5];      /* 137 */
} SCANNERABILITYEX;

/* Non-volatile memory record, host form (128 bytes). */
typedef struct NVMDATA {
    uint32_t Value0;         /* 0   */
    uint32_t Value4;         /* 4   */
    uint32_t Value8;         /* 8   */
    uint32_t Value12;        /* 12  */
    uint16_t Kept[6];        /* 16  kept by initialisation */
    uint16_t Month;          /* 28  */
    uint16_t Day;            /* 30  */
    uint16_t Year;           /* 32  */
    uint16_t Value34;        /* 34  */
    uint16_t Value36;        /* 36  */
    uint16_t Value38;        /* 38  */
    uint16_t Value40;        /* 40  */
    uint16_t Value42;        /* 42  */
    uint8_t Byte44;          /* 44  */
    uint8_t Byte45;          /* 45  */
    char Identification[24]; /* 46  */
    uint16_t Value70;        /* 70  */
    uint8_t Byte72;          /* 72  */
    uint32_t Value73;        /* 73  */
    uint32_t Value77;        /* 77  */
    uint32_t Value81;        /* 81  */
    uint8_t Bytes85[37];     /* 85  */
    uint16_t Value122;       /* 122 */
    uint8_t Bytes124[4];     /* 124 */
} NVMDATA;

/* Initialisation record of InitializeNVM and CheckNVMData (55 bytes). */
typedef struct tagNVMInitData {
    uint32_t Length;         /* 0  bytes of this record the caller filled (at most 55 are taken) */
    char Identification[24]; /* 4  */
    uint8_t Reserved28[19];  /* 28 */
    uint8_t Byte44;          /* 47 goes to record offset 44 */
    uint8_t Reserved48[6];   /* 48 */
    uint8_t Byte118;         /* 54 goes to record offset 118 */
} tagNVMInitData;

/* Button description, filled by InitialButton (24 bytes). */
typedef struct tagButtonDescription {
    uint32_t ButtonType;  /* 0  3 when the scanner has buttons */
    uint16_t ButtonCount; /* 4  inquiry 92 */
    uint16_t Four;        /* 6  4 */
    uint8_t Reserved[16]; /* 8  */
} tagButtonDescription;

/* Button status, filled by ReadPushButton (16 bytes). */
typedef struct tagButtonStatus {
    uint8_t Event;       /* 0 0x81 for a press */
    uint8_t Button;      /* 1 1..3 */
    uint8_t Packet[4];   /* 2 packet bytes 2..5 */
    uint8_t Pressed;     /* 6 1 for a press */
    uint8_t Reserved[9]; /* 7 */
} tagButtonStatus;

/* Records of ReadScanEx and ReadScanEx2. */
typedef struct tagReadScanExParam {
    unsigned char *pBuffer; /* 0  in  */
    uint32_t dwRequest;     /* 8  in  */
    uint32_t dwLines;       /* 12 out */
    uint32_t dwDelivered;   /* 16 out */
} tagReadScanExParam;

typedef struct tagReadScanEx2Param {
    uint8_t Reserved0[8];   /* 0  */
    unsigned char *pBuffer; /* 8  in  */
    uint8_t Reserved16[8];  /* 16 */
    uint32_t dwRequest;     /* 24 in  */
    uint32_t dwDelivered;   /* 28 out */
    uint32_t dwDelivered2;  /* 32 out */
} tagReadScanEx2Param;

#pragma pack(pop)

/* Element type of GeneralOperation: 2..15, each with its own element size. */
typedef int DDS_DATA_TYPE;

DOCSCAN_STATIC_ASSERT(sizeof(tagScanParameter) == 69, "tagScanParameter is 69 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, ExtScanParam) == 24, "ExtScanParam at 24");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, XRes) == 32, "XRes at 32");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, lensPosition) == 42, "lensPosition at 42");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, HiWordLength) == 47, "HiWordLength at 47");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, HiWordLineNum) == 49, "HiWordLineNum at 49");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, UltraSonicIntension) == 51, "UltraSonicIntension at 51");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, ExtScanParam2) == 52, "ExtScanParam2 at 52");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, EnableBatchScan) == 62, "EnableBatchScan at 62");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, wPaperLength) == 63, "wPaperLength at 63");
DOCSCAN_STATIC_ASSERT(offsetof(tagScanParameter, ExtSize) == 67, "ExtSize at 67");
DOCSCAN_STATIC_ASSERT(sizeof(NX_InquiryData) == 165, "inquiry data is 165 bytes");
DOCSCAN_STATIC_ASSERT(sizeof(tagScannerAbility) == 44, "tagScannerAbility is 44 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(tagScannerAbility, ScannerType) == 18, "ScannerType at 18");
DOCSCAN_STATIC_ASSERT(offsetof(tagScannerAbility, MaxScanWidth) == 22, "MaxScanWidth at 22");
DOCSCAN_STATIC_ASSERT(offsetof(tagScannerAbility, Dimension3) == 36, "Dimension3 at 36");
DOCSCAN_STATIC_ASSERT(sizeof(SCANNERABILITYEX) == 142, "SCANNERABILITYEX is 142 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, UsbVersion) == 40, "UsbVersion at 40");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Flags68) == 68, "Flags68 at 68");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, MaxScanWidth) == 80, "MaxScanWidth at 80");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Resolution) == 90, "Resolution at 90");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Inquiry60) == 104, "Inquiry60 at 104");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Flags114) == 114, "Flags114 at 114");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Dimension1) == 126, "Dimension1 at 126");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Inquiry129) == 131, "Inquiry129 at 131");
DOCSCAN_STATIC_ASSERT(offsetof(SCANNERABILITYEX, Value133) == 133, "Value133 at 133");
DOCSCAN_STATIC_ASSERT(sizeof(NVMDATA) == 128, "NVMDATA is 128 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(NVMDATA, Month) == 28, "Month at 28");
DOCSCAN_STATIC_ASSERT(offsetof(NVMDATA, Identification) == 46, "Identification at 46");
DOCSCAN_STATIC_ASSERT(offsetof(NVMDATA, Value73) == 73, "Value73 at 73");
DOCSCAN_STATIC_ASSERT(offsetof(NVMDATA, Value122) == 122, "Value122 at 122");
DOCSCAN_STATIC_ASSERT(sizeof(tagNVMInitData) == 55, "NVM initialisation record is 55 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(tagNVMInitData, Byte44) == 47, "Byte44 at 47");
DOCSCAN_STATIC_ASSERT(offsetof(tagNVMInitData, Byte118) == 54, "Byte118 at 54");
DOCSCAN_STATIC_ASSERT(sizeof(tagButtonDescription) == 24, "button description is 24 bytes");
DOCSCAN_STATIC_ASSERT(sizeof(tagButtonStatus) == 16, "button status is 16 bytes");
DOCSCAN_STATIC_ASSERT(sizeof(tagReadScanExParam) == 20, "tagReadScanExParam is 20 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(tagReadScanExParam, dwDelivered) == 16, "dwDelivered at 16");
DOCSCAN_STATIC_ASSERT(sizeof(tagReadScanEx2Param) == 36, "tagReadScanEx2Param is 36 bytes");
DOCSCAN_STATIC_ASSERT(offsetof(tagReadScanEx2Param, dwRequest) == 24, "dwRequest at 24");
DOCSCAN_STATIC_ASSERT(offsetof(tagReadScanEx2Param, dwDelivered2) == 32, "dwDelivered2 at 32");

/* ======================================================================
 * Driver lifecycle and device lock                       (api/lifecycle)
 * ====================================================================== */
DOCSCAN_EXPORT bool InitializeDriver(void);
DOCSCAN_EXPORT bool InitializeScanner(void);
DOCSCAN_EXPORT bool TerminateDriver(void);
DOCSCAN_EXPORT bool ResetScanner(void);
DOCSCAN_EXPORT bool StartLock(void);
DOCSCAN_EXPORT void EndLock(void);

/* ======================================================================
 * Status reporting                                          (api/status)
 * ====================================================================== */
DOCSCAN_EXPORT bool GetScannerStatus(void *unused1, void *unused2, void *unused3, uint8_t *status);
DOCSCAN_EXPORT bool GetScannerStatusEx(void *unused1, void *unused2, void *unused3, uint64_t *status);
DOCSCAN_EXPORT bool GetLastStatusCode(void *unused, uint64_t *status);
DOCSCAN_EXPORT bool IsCalibrationDataFileExist(void);
DOCSCAN_EXPORT bool StartScanJob(void);
DOCSCAN_EXPORT bool EndScanJob(void);
DOCSCAN_EXPORT bool GetADFStatus(void);

/* ======================================================================
 * Operations accepted without device action                (api/accepted)
 * ====================================================================== */
/* DoCancel may come from another thread while a scan runs; StopScan then
 * reports the cancel. */
DOCSCAN_EXPORT bool DoCancel(void);
DOCSCAN_EXPORT bool DoPaperFeed(void);
DOCSCAN_EXPORT bool GetEOPStatus(void);
DOCSCAN_EXPORT bool ResetCalibrationData(void);
DOCSCAN_EXPORT bool DoCalibration(void);
DOCSCAN_EXPORT bool DoCalibrationData(void);
DOCSCAN_EXPORT bool PrepareScan(void);
DOCSCAN_EXPORT bool GetMicrData(void);
DOCSCAN_EXPORT bool SendUltraSonicConcernArea(void);
DOCSCAN_EXPORT bool SetBatchScanParameter(void);
DOCSCAN_EXPORT bool Send2DConvolutionFilter(void);
DOCSCAN_EXPORT bool SetImprinterParameter(void);
DOCSCAN_EXPORT bool DoEjectPaperAfterScan(void);
DOCSCAN_EXPORT bool SendUltraSonicIgnoreLength(void);
DOCSCAN_EXPORT bool FlatbedTransLightSwitch(void);
DOCSCAN_EXPORT bool LampOn(void);
DOCSCAN_EXPORT bool LampOff(void);
DOCSCAN_EXPORT bool LampDim(void);
DOCSCAN_EXPORT bool GetLightStatus(void);
DOCSCAN_EXPORT bool ResetIntelligentMultiFeedData(void);
DOCSCAN_EXPORT bool ManageIntelligentMultiFeedData(void);
DOCSCAN_EXPORT bool SaveIntelligentMultiFeedState(void);
DOCSCAN_EXPORT bool GetDeviceList(void **list, uint32_t *count);
DOCSCAN_EXPORT bool DestroyDeviceList(void);
DOCSCAN_EXPORT bool SelectDevice(void);
DOCSCAN_EXPORT bool GetOperatingDeviceName(void);

/* ======================================================================
 * Device capabilities                                  (device/capability)
 * ====================================================================== */
DOCSCAN_EXPORT bool GetScannerAbility(tagScannerAbility *ability);
DOCSCAN_EXPORT bool GetScannerAbilityEx(SCANNERABILITYEX *ability);

/* ======================================================================
 * Non-volatile memory                                         (device/nvm)
 * ====================================================================== */
DOCSCAN_EXPORT bool ReadNVMData(NVMDATA *record);
DOCSCAN_EXPORT bool WriteNVMData(NVMDATA *record);
DOCSCAN_EXPORT bool InitializeNVM(tagNVMInitData *init);
DOCSCAN_EXPORT bool TestNVM(void);
DOCSCAN_EXPORT bool CheckNVMData(tagNVMInitData *init);
DOCSCAN_EXPORT bool SetNVRAMValue(uint8_t *data, uint32_t length, uint16_t item);

/* ======================================================================
 * Device settings: gamma, tuning, power, pass-through     (device/settings)
 * ====================================================================== */
DOCSCAN_EXPORT bool SetGammaTable(uint8_t *table, uint8_t channel);
DOCSCAN_EXPORT bool TuneScanLength(uint16_t direction, uint16_t lines, uint8_t portion);
DOCSCAN_EXPORT bool SetPowerSaveTime(uint32_t time);
DOCSCAN_EXPORT bool SendPowerOffTime(uint32_t time);
DOCSCAN_EXPORT bool GeneralOperation(uint8_t operation, uint16_t identifier, DDS_DATA_TYPE type,
                                     uint16_t count, void *data);
DOCSCAN_EXPORT bool SetSpeedMode(void);
DOCSCAN_EXPORT bool SwitchStrip(void);
DOCSCAN_EXPORT bool TruncateScanLength(void);

/* ======================================================================
 * Push buttons                                             (device/buttons)
 * ====================================================================== */
DOCSCAN_EXPORT bool InitialButton(tagButtonDescription *description);
DOCSCAN_EXPORT bool ReadPushButton(tagButtonStatus *status);
DOCSCAN_EXPORT bool CheckPushButton(void);
DOCSCAN_EXPORT bool ResetPushButton(void);
DOCSCAN_EXPORT bool SearchPushButton(void);
DOCSCAN_EXPORT bool SetLEDNumber(void);
DOCSCAN_EXPORT bool ReadLEDNumber(void);

/* ======================================================================
 * Scan parameters and set-up                             (device/scansetup)
 * ====================================================================== */
DOCSCAN_EXPORT bool SetScanParameter(tagScanParameter *parameter);

/* ======================================================================
 * Scan start, stop and image delivery                          (scan/)
 * ====================================================================== */
/* Reserves the scanner, starts the scan and the read-ahead thread (after
 * SetScanParameter). False with DOCSCAN_STATUS_SCAN_IN_PROGRESS while a
 * scan runs (also one whose thread failed a read, until StopScan),
 * DOCSCAN_STATUS_INVALID_PARAMETER for a request whose blocks the driver
 * cannot deliver (no pixels or lines, a device depth that is not whole bytes,
 * a caller resolution of 0 or above 600, an area beyond the scanned line),
 * DOCSCAN_STATUS_SCAN_MEMORY without memory, DOCSCAN_STATUS_GENERAL without a
 * thread, or the transport's code. Call StopScan after it in every case. */
DOCSCAN_EXPORT bool StartScan(void);
/* Stops and joins the thread, releases the scanner (false with
 * DOCSCAN_STATUS_USER_CANCEL after DoCancel), frees the scan's memory. Valid in every state. */
DOCSCAN_EXPORT bool StopScan(void);
/* Fills buffer with exactly count bytes of the requested image (lines of the
 * caller's PixelNum at its XRes, packed). False with DOCSCAN_STATUS_NO_IMAGE_DATA
 * when the page has no more data (or the scanner failed),
 * DOCSCAN_STATUS_CONVERT_MEMORY without working memory,
 * DOCSCAN_STATUS_INVALID_PARAMETER for a null buffer. The first argument is not read. */
DOCSCAN_EXPORT bool ReadScan(unsigned long reserved, uint8_t *buffer, uint32_t count);
/* ReadScan with a record; dwDelivered is dwRequest whatever the result. */
DOCSCAN_EXPORT bool ReadScanEx(tagReadScanExParam *parameter);
DOCSCAN_EXPORT bool ReadScanEx2(tagReadScanEx2Param *parameter);
/* Accepted without device action; always true. */
DOCSCAN_EXPORT bool GetBackgroundRaster(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DOCSCAN_API_SCANNER_H */
