// korval eeprom / korval flash: read the board's custom EEPROM area or flash as a hex dump, write it
// from hexadecimal bytes or a file, erase flash sectors.
//
//   korval eeprom [-d N] read [ADDRESS [COUNT]]         (the whole 256-byte area by default)
//   korval eeprom [-d N] write ADDRESS (HEX... | --file PATH)
//   korval flash [-d N] read ADDRESS [COUNT]
//   korval flash [-d N] write ADDRESS (HEX... | --file PATH)
//   korval flash [-d N] erase SECTOR
#include <cstdio>
#include <string>
#include <vector>

#include "bytes.h"
#include "command.h"
#include "device_option.h"
#include "json_out.h"
#include "korval/korval.h"

namespace korval::tool {

namespace {

struct Memory {
    const char* name;
    uint32_t (*read)(uint32_t, uint32_t, uint32_t*, void*);
    uint32_t (*write)(uint32_t, uint32_t, uint32_t, const void*);
    uint32_t default_count;  // a read without a count
};

int run_memory(const Memory& memory, const Options& options, uint32_t index, const Args& args)
{
    const std::string usage = std::string("korval ") + memory.name + " [-d N] read|write ...";
    if (args.empty()) return usage_error(usage);
    GetDevices();
    const std::string& verb = args[0];
    uint64_t address = 0;
    if (args.size() > 1 && !parse_number(args[1], address)) return usage_error("bad address '" + args[1] + "'");

    if (verb == "read") {
        uint64_t count = address < memory.default_count ? memory.default_count - address : 0;
        if (args.size() > 2 && !parse_number(args[2], count)) return usage_error("bad count '" + args[2] + "'");
        if (count > 0x100000 || address > 0xFFFFFFFF) return usage_error("count or address too large");
        std::vector<uint8_t> data(count);
        uint32_t size = static_cast<uint32_t>(count);
        if (const uint32_t r = memory.read(index, static_cast<uint32_t>(address), &size, data.data()))
            return report_error(r, std::string(memory.name) + " read");
        data.resize(size);
        if (options.json) print_json({{"address", address}, {"data", hex_text(data)}});
        else print_hex_dump(static_cast<uint32_t>(address), data);
        return 0;
    }
    if (verb == "write") {
        if (args.size() < 3) return usage_error(std::string("korval ") + memory.name + " [-d N] write ADDRESS (HEX... | --file PATH)");
        std::vector<uint8_t> data;
        std::string error;
        if (!parse_bytes(args, 2, data, error)) return usage_error(error);
        if (address > 0xFFFFFFFF) return usage_error("address too large");
        if (const uint32_t r = memory.write(index, static_cast<uint32_t>(address), static_cast<uint32_t>(data.size()), data.data()))
            return report_error(r, std::string(memory.name) + " write");
        if (options.json) print_json({{"written", data.size()}});
        else std::printf("wrote %zu bytes at 0x%x\n", data.size(), static_cast<unsigned>(address));
        return 0;
    }
    return usage_error(usage);
}

int run_eeprom(const Options& options, const Args& arguments)
{
    Args args = arguments;
    uint32_t index = 0;
    if (const int status = take_device(args, index)) return status;
    return run_memory({"eeprom", CustomEEPROMRead, CustomEEPROMWrite, 0x100}, options, index, args);
}

int run_flash(const Options& options, const Args& arguments)
{
    Args args = arguments;
    uint32_t index = 0;
    if (const int status = take_device(args, index)) return status;
    if (!args.empty() && args[0] == "erase") {
        uint64_t sector = 0;
        if (args.size() != 2 || !parse_number(args[1], sector) || sector > 0x7FFFFFFF)
            return usage_error("korval flash [-d N] erase SECTOR");
        GetDevices();
        if (const uint32_t r = KORVAL_FlashEraseSector(index, static_cast<int32_t>(sector)))
            return report_error(r, "flash erase");
        if (!options.json) std::printf("erased sector %u\n", static_cast<unsigned>(sector));
        else print_json({{"erased", sector}});
        return 0;
    }
    return run_memory({"flash", KORVAL_FlashRead, KORVAL_FlashWrite, 256}, options, index, args);
}

const RegisterCommand kEeprom{{"eeprom", "[-d N] read|write ...", "the custom EEPROM area: hex dump, write", run_eeprom, true,
                                {{"read", "[ADDR [COUNT]]", "hex dump"},
                                 {"write", "ADDR (HEX... | --file PATH)", "write bytes"}}}};
const RegisterCommand kFlash{{"flash", "[-d N] read|write|erase ...", "the flash: hex dump, write, erase", run_flash, true,
                               {{"read", "ADDR [COUNT]", "hex dump"},
                                {"write", "ADDR (HEX... | --file PATH)", "write bytes"},
                                {"erase", "SECTOR", "erase a sector"}}}};

}  // namespace

}  // namespace korval::tool
