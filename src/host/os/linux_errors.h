// libusb's results as the Win32 codes the library expects from a host.
//
// The library reads a failed host call's code the way it reads a Windows error: 1167 (and 2, 6, 1617)
// mean the board has gone and close its slot; everything else is passed to the caller unchanged. So
// the Linux host answers in the codes WinUSB gives for the same events (the errno column is what the
// kernel reports underneath, which libusb turns into its own codes):
//
//   libusb error / transfer status        errno seen underneath     Win32 code
//   LIBUSB_ERROR_NO_DEVICE, NO_DEVICE       ENODEV, ESHUTDOWN        1167 ERROR_DEVICE_NOT_CONNECTED
//   LIBUSB_ERROR_PIPE, TRANSFER_STALL       EPIPE                    31   ERROR_GEN_FAILURE (a stall)
//   LIBUSB_ERROR_TIMEOUT, TIMED_OUT         ETIMEDOUT                121  ERROR_SEM_TIMEOUT
//   LIBUSB_ERROR_BUSY                       EBUSY                    170  ERROR_BUSY (claimed elsewhere)
//   LIBUSB_ERROR_ACCESS                     EACCES, EPERM            5    ERROR_ACCESS_DENIED
//   LIBUSB_ERROR_NOT_FOUND                  ENOENT                   2    ERROR_FILE_NOT_FOUND
//   LIBUSB_ERROR_INVALID_PARAM              EINVAL                   87   ERROR_INVALID_PARAMETER
//   LIBUSB_ERROR_INTERRUPTED, CANCELLED     EINTR, ECONNRESET        995  ERROR_OPERATION_ABORTED
//   LIBUSB_ERROR_NO_MEM                     ENOMEM                   8    ERROR_NOT_ENOUGH_MEMORY
//   LIBUSB_ERROR_NOT_SUPPORTED              ENOSYS, ENOTTY           50   ERROR_NOT_SUPPORTED
//   LIBUSB_ERROR_OVERFLOW, OVERFLOW         EOVERFLOW                234  ERROR_MORE_DATA (babble)
//   LIBUSB_ERROR_IO, TRANSFER_ERROR, OTHER  EIO, EPROTO, others      31   ERROR_GEN_FAILURE
#pragma once

#include <cstdint>

namespace korval::os {

inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorSemTimeout = 121;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;

// A libusb_error value (negative) as its Win32 code.
uint32_t win32_from_libusb(int libusb_error) noexcept;
// A libusb_transfer_status value of a transfer that did not complete, as its Win32 code.
uint32_t win32_from_transfer_status(int status) noexcept;

}  // namespace korval::os
