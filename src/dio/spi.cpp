// Register access to a device on the board's SPI bus: request 0xC0 writes a byte (wValue) to a register,
// 0xC1 reads one; wIndex names the device (high byte) and its register (low byte).
#include "base/caller_memory.h"
#include "core/registry.h"
#include "dio/dio.h"
#include "korval/korval.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace korval {

namespace {

uint16_t spi_index(uint8_t address, uint8_t reg) { return static_cast<uint16_t>(address << 8 | reg); }

constexpr FeatureTest kHasSpi = [](const ProductRow& d) { return d.bDIOSPI; };

}  // namespace

uint32_t DIO_SPI_Write(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t Data)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasSpi)) return r;
    return usb::vendor_write(slot, usb::kSpiWriteRequest, Data, spi_index(SPIAddress, Register), 0, nullptr);
}

// The byte is stored only when the board sent it: a failed or empty read leaves *pData as it was.
uint32_t DIO_SPI_Read(uint32_t DeviceIndex, uint8_t SPIAddress, uint8_t Register, uint8_t* pData)
{
    uint32_t slot = 0;
    if (const Result r = open_for_feature(DeviceIndex, slot, kHasSpi)) return r;
    if (pData == nullptr) return ERROR_INVALID_PARAMETER;
    uint8_t byte = 0;
    uint32_t size = 1;
    if (const Result r = usb::vendor_read(slot, usb::kSpiReadRequest, 0, spi_index(SPIAddress, Register), size, &byte))
        return r;
    if (size == 1) return write_caller(pData, byte);
    return ERROR_SUCCESS;
}

}  // namespace korval
