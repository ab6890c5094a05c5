/*
 * The driver's status codes.
 *
 * Every exported function returns a truth value; the reason of a failure is
 * the status code it leaves behind (read with GetScannerStatusEx or
 * GetLastStatusCode). Besides the codes named here, 1 to 126 mean that the
 * scanner sent sense data in a format other than the fixed one: the code is
 * its response code. Codes named DOCSCAN_STATUS_SENSE_xxyy are the
 * scanner's own conditions, named by the sense bytes ASC/ASCQ they come from.
 *
 * Included by api/scanner.h; lives here so that the lowest layers can use
 * the same names. Usable from C and C++.
 */
#ifndef DOCSCAN_SUPPORT_STATUS_H
#define DOCSCAN_SUPPORT_STATUS_H

typedef enum DocscanStatus {
    DOCSCAN_STATUS_OK = 0,
    DOCSCAN_STATUS_CONVERT_MEMORY = 152,    /* ReadScan: no working buffer for the conversion */
    DOCSCAN_STATUS_USB_LAYER = 153,         /* the USB layer could not be started or shut down */
    DOCSCAN_STATUS_NO_IMAGE_DATA = 157,     /* ReadScan: the page has no more data */
    DOCSCAN_STATUS_USER_CANCEL = 159,       /* StopScan after DoCancel */
    DOCSCAN_STATUS_INQUIRY_FAILED = 162,    /* the scanner was found but INQUIRY failed */
    DOCSCAN_STATUS_SCAN_IN_PROGRESS = 2000, /* refused while a scan runs */
    DOCSCAN_STATUS_DEVICE_FAULT = 2001,     /* 90/00, A0/01 */
    DOCSCAN_STATUS_HARDWARE = 2004,         /* medium, hardware or unit-attention sense key */
    DOCSCAN_STATUS_INVALID_PARAMETER = 2005,
    DOCSCAN_STATUS_SCAN_MEMORY = 2006, /* StartScan: no memory for the scan buffers */
    DOCSCAN_STATUS_LAMP_FAILURE = 2007,
    DOCSCAN_STATUS_SENSE_1504 = 2008, /* positioning error */
    DOCSCAN_STATUS_NOT_READY = 2009,
    DOCSCAN_STATUS_ABORTED = 2010,
    DOCSCAN_STATUS_SENSE_8001 = 2013, /* also 80/09 */
    DOCSCAN_STATUS_SENSE_8002 = 2014,
    DOCSCAN_STATUS_SENSE_8003 = 2015,
    DOCSCAN_STATUS_NO_SCANNER = 2019,
    DOCSCAN_STATUS_SCAN_HEAD_POSITIONING = 2021,
    DOCSCAN_STATUS_SENSE_8004 = 2022,
    DOCSCAN_STATUS_TRANSACTION = 2023, /* a command transaction failed on the bus */
    DOCSCAN_STATUS_SENSE_8015 = 2027,
    DOCSCAN_STATUS_SENSE_801C = 2033,
    DOCSCAN_STATUS_SENSE_8023 = 2040,
    DOCSCAN_STATUS_GENERAL = 2999,
    DOCSCAN_STATUS_SENSE_1502 = 3001, /* positioning error detected while reading */
    DOCSCAN_STATUS_SENSE_1503 = 3002,
    DOCSCAN_STATUS_SENSE_4401 = 3003,
    DOCSCAN_STATUS_SENSE_4402 = 3004, /* also 44/03 */
    DOCSCAN_STATUS_SENSE_6001 = 3005,
    DOCSCAN_STATUS_SENSE_6002 = 3006,
    DOCSCAN_STATUS_NOT_REPORTED = 3011, /* never handed out: GetLastStatusCode reports 0 */
    DOCSCAN_STATUS_SENSE_9001 = 3012,
    DOCSCAN_STATUS_SENSE_8005 = 3101,
    DOCSCAN_STATUS_SENSE_800D = 3201,
    DOCSCAN_STATUS_SENSE_800E = 3202,
    DOCSCAN_STATUS_SENSE_800F = 3203,
    DOCSCAN_STATUS_SENSE_8010 = 3204,
    DOCSCAN_STATUS_SENSE_8011 = 3205,
    DOCSCAN_STATUS_SENSE_8012 = 3206,
    DOCSCAN_STATUS_SENSE_8013 = 3207,
    DOCSCAN_STATUS_SENSE_801D = 3211,
    DOCSCAN_STATUS_SENSE_801F = 3212,
    DOCSCAN_STATUS_SENSE_8016 = 3500,
    DOCSCAN_STATUS_SENSE_8017 = 3501,
    DOCSCAN_STATUS_SENSE_8018 = 3502,
    DOCSCAN_STATUS_SENSE_8019 = 3503,
    DOCSCAN_STATUS_SENSE_801A = 3504,
    DOCSCAN_STATUS_SENSE_800A = 64001,
    DOCSCAN_STATUS_SENSE_800B = 64002,
    DOCSCAN_STATUS_SENSE_800C = 64003
} DocscanStatus;

#endif /* DOCSCAN_SUPPORT_STATUS_H */
