// Device capabilities: the inquiry data and the records built from it.
#include "api/scanner.h"

NX_InquiryData InquiryData;
NX_InquiryData MyInquiryData;
uint32_t MaxSizeRead = 0;
uint32_t scannermaxwidth = 0;
int32_t OverScanFlag = 0;
uint32_t gModelType = 0;
