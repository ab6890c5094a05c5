// USB access through libusb-1.0 (see the header for the rules of this class).
#include "transport/usbio_linux_libusb_10.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "support/debug.h"
#include "support/trace.h"

NxLibUsb pNxLibUsb;

namespace {

// Texts of GetUsbSpeed.
const char szUSBLow[] = "USB 1.1";
const char szUSBFull[] = "USB 1.1";
const char szUSBHigh[] = "USB 2.0";
const char szUSBSuper[] = "USB 3.0";
const char szUSB[] = "USB";

#define USBLOG(...) LogOutput(kLogDetail, DebugFunctionFile, __VA_ARGS__)

unsigned char EndpointByte(uint32_t address) { return static_cast<unsigned char>(address & 0xFFu); }

// "Linux return errno: %d(%s)", or the "unknown" form for a failure of no known kind.
void LogErrno(bool unknown = false)
{
    const int code = errno;
    char text[128] = {};
    // GNU strerror_r: thread-safe, may return a static text instead of filling text.
    const char *message = strerror_r(code, text, sizeof text);
    if (unknown)
        USBLOG("Linux return unknown errno = %d(%s)", code, message);
    else
        USBLOG("Linux return errno: %d(%s)", code, message);
}

// "Linux return errno" after errno has been set to EINVAL.
void LogInvalidArgument()
{
    errno = EINVAL;
    LogErrno();
}

void LogLibusbCode(int code) { USBLOG("Libusb return error code: %d", code); }

// Called inside a catch block: logs the failure by the type of what was thrown.
//   int       a libusb error code
//   bool      a refused argument or a missing pipe (errno tells more)
//   bad_alloc the allocation failed (errno tells more)
void LogCaughtFailure()
{
    try {
        throw;
    } catch (int code) {
        LogLibusbCode(code);
    } catch (bool) {
        LogErrno();
    } catch (const std::bad_alloc &) {
        LogErrno();
    } catch (...) {
        LogErrno(true);
    }
}

// A record that transfers can run on: it exists and has been opened.
bool IsOpenRecord(const LibUsbHandleStructure *handle)
{
    return handle != nullptr && handle->hUsbHandle != nullptr;
}

} // namespace

int DiscoverPipes(LibUsbHandleStructure &record, const libusb_config_descriptor &config)
{
    // Interface 0, alternate setting 0; no other is looked at. A
    // configuration without it lists no pipes.
    if (config.bNumInterfaces == 0 || config.interface == nullptr || config.interface[0].num_altsetting < 1 ||
        config.interface[0].altsetting == nullptr)
        return config.bConfigurationValue;
    const libusb_interface_descriptor &setting = config.interface[0].altsetting[0];
    record.nInterface = setting.bInterfaceNumber;
    for (int index = 0; index < setting.bNumEndpoints && setting.endpoint != nullptr; ++index) {
        const libusb_endpoint_descriptor &endpoint = setting.endpoint[index];
        const uint32_t address = endpoint.bEndpointAddress;
        const bool in = (address & LIBUSB_ENDPOINT_IN) != 0;
        const char *label = "Interrupt";
        // The whole attribute byte is compared: extra bits match no kind.
        // A later endpoint of a kind overwrites an earlier one.
        switch (endpoint.bmAttributes) {
        case LIBUSB_TRANSFER_TYPE_CONTROL:
            record.nControlPipe = address;
            label = "Control";
            break;
        case LIBUSB_TRANSFER_TYPE_BULK:
            (in ? record.nBulkInPipe : record.nBulkOutPipe) = address;
            label = "Bulk";
            break;
        case LIBUSB_TRANSFER_TYPE_INTERRUPT:
            if (in) record.nInterruptInPipe = address;
            break;
        default: break;
        }
        USBLOG("End point %d Direction: %s Type: %s", index, in ? "In" : "Out", label);
    }
    return config.bConfigurationValue;
}

bool NxLibUsb::Open()
{
    TraceScope trace(kLogDetail, "NxLibUsb::Open()", 1, " pContext = 0x%X, hDevice = 0x%X",
                     PointerForLog(pContext), PointerForLog(hDevice));
    // A second Open keeps the context it opened before (and the scanner open
    // in it): a context made anew would leave the earlier one behind.
    nLastError = pContext != nullptr ? LIBUSB_SUCCESS : libusb_init(&pContext);
    const bool result = nLastError >= 0;
    if (result) {
        blOpened = true;
    } else {
        USBLOG("libusb_init failure to initialize");
        LogLibusbCode(nLastError);
    }
    trace.ExitText(" pContext = 0x%X, hDevice = 0x%X", PointerForLog(pContext), PointerForLog(hDevice));
    return trace.Return(result);
}

void NxLibUsb::Close()
{
    TraceScope trace(kLogDetail, "NxLibUsb::Close()", 1, " pContext = 0x%X, hDevice = 0x%X",
                     PointerForLog(pContext), PointerForLog(hDevice));
    if (hDevice != nullptr) {
        CloseDeviceHandle(hDevice);
        hDevice = nullptr;
    }
    if (pContext != nullptr) {
        libusb_exit(pContext);
        pContext = nullptr;
    }
    blOpened = false;
    trace.ExitText(" pContext = 0x%X, hDevice = 0x%X", PointerForLog(pContext), PointerForLog(hDevice));
    trace.Return(true);
}

LibUsbHandleStructure *NxLibUsb::CreateDeviceHandle(libusb_device *device)
{
    TraceScope trace(kLogDetail, "NxLibUsb::CreateDeviceHandle()");
    try {
        if (device == nullptr) {
            errno = EINVAL;
            throw false;
        }
        USBLOG("ListDevice = 0x%X", PointerForLog(device));
        auto *record = new LibUsbHandleStructure{};
        // The record holds its own reference, dropped by CloseDeviceHandle,
        // so that the device list can be freed with its references.
        record->pDevice = libusb_ref_device(device);
        trace.ExitText(" hRet = 0x%X", PointerForLog(record));
        trace.Return(true);
        return record;
    } catch (...) {
        LogCaughtFailure();
    }
    return nullptr;
}

bool NxLibUsb::InitializeInterface(LibUsbHandleStructure *handle)
{
    TraceScope trace(kLogDetail, "NxLibUsb::InitializeInterface()");
    if (handle == nullptr || handle->pDevice == nullptr) {
        LogInvalidArgument();
        return trace.Return(false);
    }

    libusb_config_descriptor *config = nullptr;
    bool result = false;
    try {
        nLastError = libusb_get_active_config_descriptor(handle->pDevice, &config);
        if (nLastError < 0) {
            USBLOG("libusb_get_active_config_descriptor failure to get configuration descriptor "
                   "for the active configuration 0x%X",
                   PointerForLog(config));
            throw static_cast<int>(nLastError);
        }

        const int wantedConfiguration = DiscoverPipes(*handle, *config);
        USBLOG("Configuration Value = %d", wantedConfiguration);
        USBLOG("Interface value  = %d", static_cast<int>(handle->nInterface));
        USBLOG("Control Pipe Index = 0x%02X", handle->nControlPipe);
        USBLOG("Bulk In Pipe Index = 0x%02X", handle->nBulkInPipe);
        USBLOG("Bulk Out Pipe Index = 0x%02X", handle->nBulkOutPipe);
        USBLOG("Interrupt in pipe index = 0x%02X", handle->nInterruptInPipe);

        if (handle->nBulkInPipe == 0 || handle->nBulkOutPipe == 0) {
            USBLOG("Not all pipe found");
            throw false;
        }
        if (handle->nInterruptInPipe == 0) USBLOG("Warning: Interrupt End Point is missing...");

        nLastError = libusb_open(handle->pDevice, &handle->hUsbHandle);
        if (nLastError < 0) {
            USBLOG("libusb_open failure to open usb device for handle 0x%X",
                   PointerForLog(handle->hUsbHandle));
            throw static_cast<int>(nLastError);
        }

        int configuration = -1;
        nLastError = libusb_get_configuration(handle->hUsbHandle, &configuration);
        if (nLastError < 0) USBLOG("libusb_get_configuration failure to get configuration %d", configuration);

        // Only a device in another (or no) configuration is set.
        if (configuration < 1 || configuration != wantedConfiguration) {
            nLastError = libusb_set_configuration(handle->hUsbHandle, wantedConfiguration);
            if (nLastError < 0) {
                USBLOG("usb_set_configuration failure for configuration %d", wantedConfiguration);
                throw static_cast<int>(nLastError);
            }
        }

        nLastError = libusb_claim_interface(handle->hUsbHandle, static_cast<int>(handle->nInterface));
        if (nLastError < 0) {
            USBLOG("usb_claim_interface failure for interface %d", static_cast<int>(handle->nInterface));
            throw static_cast<int>(nLastError);
        }
        handle->blClaimed = true;
        result = true;
    } catch (...) {
        LogCaughtFailure();
    }
    if (config != nullptr) libusb_free_config_descriptor(config);
    return trace.Return(result);
}

void NxLibUsb::CloseDeviceHandle(LibUsbHandleStructure *handle)
{
    TraceScope trace(kLogDetail, "NxLibUsb::CloseDeviceHandle()");
    if (handle == nullptr) {
        LogInvalidArgument();
        return;
    }
    bool released = true;
    if (handle->blClaimed && handle->hUsbHandle != nullptr) {
        nLastError = libusb_release_interface(handle->hUsbHandle, static_cast<int>(handle->nInterface));
        if (nLastError < 0) {
            released = false;
            LogLibusbCode(nLastError);
        }
    }
    if (handle->hUsbHandle != nullptr) libusb_close(handle->hUsbHandle);
    if (handle->pDevice != nullptr) libusb_unref_device(handle->pDevice);
    delete handle;
    trace.Return(released);
}

bool NxLibUsb::WriteFile(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length)
{
    TraceScope trace(kLogDetail, "NxLibUsb::WriteFile()");
    // A record that was never opened, a missing buffer or a length libusb
    // cannot carry in one call is refused before any transfer.
    if (!IsOpenRecord(handle) || (buffer == nullptr && length != 0) || length > INT_MAX) {
        LogInvalidArgument();
        return trace.Return(false);
    }
    int transferred = 0;
    const int rc = libusb_bulk_transfer(handle->hUsbHandle, EndpointByte(handle->nBulkOutPipe), buffer,
                                        static_cast<int>(length), &transferred, kBulkTimeout);
    if (rc < 0) {
        nLastError = rc;
        USBLOG("libusb_bulk_transfer failure to write command or data to pipe");
        LogLibusbCode(rc);
        return trace.Return(false);
    }
    USBLOG("Write command or data return = %d", transferred);
    return trace.Return(true);
}

bool NxLibUsb::ReadFile(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length)
{
    TraceScope trace(kLogDetail, "NxLibUsb::ReadFile()");
    if (length == 0) {
        return trace.Return(true);
    }
    if (!IsOpenRecord(handle) || buffer == nullptr || length > INT_MAX) {
        LogInvalidArgument();
        return trace.Return(false);
    }
    uint32_t received = 0;
    while (received < length) {
        const uint32_t missing = length - received;
        int transferred = 0;
        const int rc =
            libusb_bulk_transfer(handle->hUsbHandle, EndpointByte(handle->nBulkInPipe), buffer + received,
                                 static_cast<int>(missing), &transferred, kBulkTimeout);
        if (rc < 0) {
            nLastError = rc;
            USBLOG("libusb_bulk_transfer failure to read data from pipe");
            LogLibusbCode(rc);
            return trace.Return(false);
        }
        USBLOG("Read data return = %d", transferred);
        if (transferred > 0)
            received +=
                static_cast<uint32_t>(transferred) < missing ? static_cast<uint32_t>(transferred) : missing;
    }
    return trace.Return(true);
}

bool NxLibUsb::InterruptRead(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length)
{
    TraceScope trace(kLogDetail, "NxLibUsb::InterruptRead()");
    if (length == 0) {
        return trace.Return(true);
    }
    if (!IsOpenRecord(handle) || buffer == nullptr || length > INT_MAX) {
        LogInvalidArgument();
        return trace.Return(false);
    }
    uint32_t received = 0;
    while (received < length) {
        const uint32_t missing = length - received;
        int transferred = 0;
        const int rc = libusb_interrupt_transfer(handle->hUsbHandle, EndpointByte(handle->nInterruptInPipe),
                                                 buffer + received, static_cast<int>(missing), &transferred,
                                                 kInterruptReadTimeout);
        USBLOG("Read interrupt return = %d", rc);
        if (rc < 0) {
            nLastError = rc;
            USBLOG("libusb_interrupt_transfer failure to read interrupt from pipe");
            LogLibusbCode(rc);
            return trace.Return(false);
        }
        if (transferred > 0)
            received +=
                static_cast<uint32_t>(transferred) < missing ? static_cast<uint32_t>(transferred) : missing;
    }
    return trace.Return(true);
}

bool NxLibUsb::InterruptWrite(LibUsbHandleStructure *handle, uint8_t *buffer, uint32_t length)
{
    TraceScope trace(kLogDetail, "NxLibUsb::InterruptWrite()");
    if (!IsOpenRecord(handle) || (buffer == nullptr && length != 0) || length > INT_MAX) {
        LogInvalidArgument();
        return trace.Return(false);
    }
    int transferred = 0;
    const int rc =
        libusb_interrupt_transfer(handle->hUsbHandle, EndpointByte(handle->nInterruptInPipe), buffer,
                                  static_cast<int>(length), &transferred, kInterruptWriteTimeout);
    USBLOG("Write interrupt return = %d", rc);
    if (rc < 0) nLastError = rc;
    return trace.Return(rc >= 0);
}

bool NxLibUsb::CheckDevice(LibUsbHandleStructure * /*handle: not probed*/)
{
    TraceScope trace(kLogDetail, "NxLibUsb::CheckDevice()");
    return trace.Return(true);
}

const char *NxLibUsb::GetUsbSpeed(LibUsbHandleStructure *handle)
{
    TraceScope trace(kLogDetail, "NxLibUsb::GetUsbSpeed()");
    const char *text = szUSB;
    // A missing record has no known speed.
    const int speed = (handle != nullptr && handle->pDevice != nullptr)
                          ? libusb_get_device_speed(handle->pDevice)
                          : LIBUSB_SPEED_UNKNOWN;
    switch (speed) {
    case LIBUSB_SPEED_LOW: text = szUSBLow; break;
    case LIBUSB_SPEED_FULL: text = szUSBFull; break;
    case LIBUSB_SPEED_HIGH: text = szUSBHigh; break;
    case LIBUSB_SPEED_SUPER: text = szUSBSuper; break;
    default: text = szUSB; break;
    }
    trace.Return(true);
    return text;
}

namespace {

// One string descriptor into buffer (size bytes, NUL-terminated by libusb).
int ReadString(NxLibUsb &usb, libusb_device_handle *handle, uint8_t index, char *buffer, int size,
               const char *failure)
{
    const int rc =
        libusb_get_string_descriptor_ascii(handle, index, reinterpret_cast<unsigned char *>(buffer), size);
    if (rc < 0) {
        usb.nLastError = rc;
        USBLOG("%s", failure);
        throw rc;
    }
    return rc;
}

} // namespace

bool NxLibUsb::GetDeviceString(LibUsbHandleStructure *handle, char *vendor, char *model, char *serial)
{
    TraceScope trace(kLogDetail, "NxLibUsb::GetDeviceString()");
    bool result = false;
    try {
        if (!IsOpenRecord(handle) || handle->pDevice == nullptr || vendor == nullptr || model == nullptr ||
            serial == nullptr) {
            errno = EINVAL;
            throw false;
        }
        libusb_device_descriptor descriptor{};
        nLastError = libusb_get_device_descriptor(handle->pDevice, &descriptor);
        if (nLastError < 0) {
            USBLOG("libusb_get_device_descriptor failure to get device descriptor");
            throw static_cast<int>(nLastError);
        }
        int length = ReadString(*this, handle->hUsbHandle, descriptor.iManufacturer, vendor, kVendorNameSize,
                                "libusb_get_string_descriptor_ascii failure to get vendor name");
        USBLOG("szVendorName(%d): %s", length, vendor);
        length = ReadString(*this, handle->hUsbHandle, descriptor.iProduct, model, kModelNameSize,
                            "libusb_get_string_descriptor_ascii failure to get model name");
        USBLOG("szModelName(%d): %s", length, model);
        length = ReadString(*this, handle->hUsbHandle, descriptor.iSerialNumber, serial, kSerialNumberSize,
                            "libusb_get_string_descriptor_ascii failure to get serial number");
        USBLOG("szSerialNumber(%d): %s", length, serial);
        result = true;
    } catch (...) {
        LogCaughtFailure();
    }
    return trace.Return(result);
}

ssize_t ListUsbDevices(libusb_context *context, libusb_device ***list)
{
    const ssize_t count = libusb_get_device_list(context, list);
    if (count < 0) *list = nullptr;
    return count;
}

bool GetUsbDeviceIds(libusb_device *device, uint16_t *vendorId, uint16_t *productId)
{
    libusb_device_descriptor descriptor{};
    if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) < 0) return false;
    *vendorId = descriptor.idVendor;
    *productId = descriptor.idProduct;
    return true;
}

void FreeUsbDeviceList(libusb_device **list)
{
    if (list != nullptr) libusb_free_device_list(list, 1);
}

void CloseHandedOver(libusb_context *context, LibUsbHandleStructure *record)
{
    if (record != nullptr) {
        if (record->blClaimed && record->hUsbHandle != nullptr)
            libusb_release_interface(record->hUsbHandle, static_cast<int>(record->nInterface));
        if (record->hUsbHandle != nullptr) libusb_close(record->hUsbHandle);
        if (record->pDevice != nullptr) libusb_unref_device(record->pDevice);
        delete record;
    }
    if (context != nullptr) libusb_exit(context);
}
