// The one table from libusb's and the kernel's results to Win32 codes (see linux_errors.h).
#include "host/os/linux_errors.h"

#include <libusb.h>

#include "korval/korval.h"

namespace korval::os {

uint32_t win32_from_libusb(int libusb_error) noexcept
{
    switch (libusb_error) {
    case LIBUSB_SUCCESS: return ERROR_SUCCESS;
    case LIBUSB_ERROR_NO_DEVICE: return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_PIPE: return ERROR_GEN_FAILURE;
    case LIBUSB_ERROR_TIMEOUT: return kErrorSemTimeout;
    case LIBUSB_ERROR_BUSY: return kErrorBusy;
    case LIBUSB_ERROR_ACCESS: return kErrorAccessDenied;
    case LIBUSB_ERROR_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM: return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_INTERRUPTED: return ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_NO_MEM: return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case LIBUSB_ERROR_OVERFLOW: return kErrorMoreData;
    default: return ERROR_GEN_FAILURE;  // LIBUSB_ERROR_IO, LIBUSB_ERROR_OTHER
    }
}

uint32_t win32_from_transfer_status(int status) noexcept
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return ERROR_SUCCESS;
    case LIBUSB_TRANSFER_NO_DEVICE: return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_TRANSFER_STALL: return ERROR_GEN_FAILURE;
    case LIBUSB_TRANSFER_TIMED_OUT: return kErrorSemTimeout;
    case LIBUSB_TRANSFER_CANCELLED: return ERROR_OPERATION_ABORTED;
    case LIBUSB_TRANSFER_OVERFLOW: return kErrorMoreData;
    default: return ERROR_GEN_FAILURE;  // LIBUSB_TRANSFER_ERROR
    }
}

}  // namespace korval::os
