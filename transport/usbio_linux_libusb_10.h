// USB access through libusb-1.0: the only place in the driver that calls libusb.
//
// One process-wide object, pNxLibUsb, owns the libusb context and the record
// of the opened scanner. The discovery, command and button routines of
// transport/usbio_linux_10 call its members; nothing else in the driver does.
// Every member writes its entry and exit lines, and its messages, at level 4
// to the function log. No member lets an exception out and none touches
// gErrCode: results are truth values (or null), the libusb code of the last
// recorded call is kept in nLastError for the log.
#ifndef DOCSCAN_TRANSPORT_USBIO_LINUX_LIBUSB_10_H
#define DOCSCAN_TRANSPORT_USBIO_LINUX_LIBUSB_10_H

#include <libusb.h>

#include <sys/types.h>

#include <cstdint>

#include "support/export.h"

// One opened scanner. Allocated zeroed by CreateDeviceHandle, freed by
// CloseDeviceHandle. Endpoint addresses keep the direction bit 0x80; only
// their low byte is handed to libusb; 0 means "not found".
struct LibUsbHandleStructure {
    libusb_device *pDevice;           // from the device list; the record holds one reference
    libusb_device_handle *hUsbHandle; // libusb_open result, null until then
    bool blClaimed;                   // interface claimed: released on close
    uint32_t nInterface;              // bInterfaceNumber of interface 0, setting 0
    uint32_t nControlPipe;            // control endpoint, if listed (only logged)
    uint32_t nBulkInPipe;             // status and data from the device
    uint32_t nBulkOutPipe;            // command blocks and data to the device
    uint32_t nInterruptInPipe;        // button packets
};

// Sizes the caller's buffers of GetDeviceString must have.
inline constexpr int kVendorNameSize = 64;
inline constexpr int kModelNameSize = 64;
inline constexpr int kSerialNumberSize = 128;

// Time-outs in milliseconds. Bulk transfers wait without limit (0).
inline constexpr unsigned int kBulkTimeout = 0;
inline constexpr unsigned int kInterruptReadTimeout = 70;
inline constexpr unsigned int kInterruptWriteTimeout = 1;

// A pointer as the log shows it ("0x%X": its low 32 bits).
inline unsigned int PointerForLog(const void *pointer)
{
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pointer));
}

class NxLibUsb {
public:
    bool blOpened;                  // between a successful Open and Close
    libusb_context *pContext;       // null when closed
    LibUsbHandleStructure *hDevice; // the opened scanner, null when none
    int32_t nLastError;             // libusb code of the last recorded call

    bool Open();
    void Close();
    LibUsbHandleStructure *CreateDeviceHandle(libusb_device *device);
    bool InitializeInterface(LibUsbHandleStructure *handle);
    void CloseDeviceHandle(LibUsbHandleStructure *handle);
    bool WriteFile(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length);
    bool ReadFile(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length);
    bool InterruptRead(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length);
    bool InterruptWrite(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length);
    bool CheckDevice(LibUsbHandleStructure *handle);
    const char *GetUsbSpeed(LibUsbHandleStructure *handle);
    bool GetDeviceString(LibUsbHandleStructure *handle, char *vendor, char *model, char *serial);
};

// Records the pipes of interface 0, alternate setting 0 of config in record
// (nInterface and the four endpoint addresses) and logs one line per
// endpoint. Returns the configuration's bConfigurationValue. Used by
// InitializeInterface; kept apart so that the rules can be checked on
// descriptors made by hand.
int DiscoverPipes(LibUsbHandleStructure &record, const libusb_config_descriptor &config);

// Bus enumeration for FindScanner, kept here with every other libusb call.
// ListUsbDevices: the devices of the context (a negative count on failure;
// the list is then null). GetUsbDeviceIds: false when the device descriptor
// cannot be read. FreeUsbDeviceList drops the list's device references; a
// record made by CreateDeviceHandle keeps its own.
ssize_t ListUsbDevices(libusb_context *context, libusb_device ***list);
bool GetUsbDeviceIds(libusb_device *device, uint16_t *vendorId, uint16_t *productId);
void FreeUsbDeviceList(libusb_device **list);

// Closes a device record and a context that the driver has already let go
// of (either may be null), leaving pNxLibUsb alone.
void CloseHandedOver(libusb_context *context, LibUsbHandleStructure *record);

// The one object (not a pointer, whatever the prefix says). Zero at load:
// not opened, no context, no device, error 0. Nothing closes it at unload.
extern "C" DOCSCAN_EXPORT NxLibUsb pNxLibUsb;

#endif // DOCSCAN_TRANSPORT_USBIO_LINUX_LIBUSB_10_H
