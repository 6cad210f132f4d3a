// Debounce: the board's debounce configuration (up to 1024 bytes, passed through as it is) and the
// debounced state of all ports.
#include <vector>

#include "board/board.h"
#include "dio/dio.h"
#include "dio/newer_firmware.h"
#include "pipes/pipes.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

constexpr uint32_t kDebounceConfigMax = 1024;

}  // namespace

uint32_t DIO_Deb_SetConfig(uint32_t DeviceIndex, const void* pConfig, const uint32_t* pConfigSize)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    uint32_t size = 0;
    if (const Result r = read_caller(pConfigSize, size)) return r;
    if (size > kDebounceConfigMax) return ERROR_BAD_LENGTH;
    if (size > 0 && pConfig == nullptr) return ERROR_INVALID_PARAMETER;
    return GenericVendorWrite(slot, usb::kNewerFunctionRequest, 0, usb::kDebounceConfigIndex, size, pConfig);
}

uint32_t DIO_Deb_ReadAll(uint32_t DeviceIndex, void* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_newer_firmware_board(DeviceIndex, slot)) return r;
    const uint32_t ports = board(slot).row().DIOBytes;
    if (const Result r = dio::probe_output(pData, ports)) return r;
    std::vector<uint8_t> state(ports);
    uint32_t size = ports;
    if (const Result r = usb::vendor_read(slot, usb::kDioDebounceReadRequest, 0, 0, size, state.data())) return r;
    return copy_to_caller(pData, state.data(), size) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace korval
