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
#include <utility>
#include <vector>

#include "bytes.h"
#include "cli_values.h"
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

// What the command line asked of a memory.
struct Request {
    uint64_t address = 0;
    uint64_t count = 0;
    bool has_count = false;
    std::vector<std::string> hex;  // the bytes to write
    std::string file;              // or the file that holds them
};

int read_memory(const Memory& memory, const Options& options, const Request& q)
{
    GetDevices();
    uint64_t count = q.address < memory.default_count ? memory.default_count - q.address : 0;
    if (q.has_count) count = q.count;
    std::vector<uint8_t> data(count);
    uint32_t size = static_cast<uint32_t>(count);
    if (const uint32_t r = memory.read(options.device, static_cast<uint32_t>(q.address), &size, data.data()))
        return report_error(r, std::string(memory.name) + " read");
    data.resize(size);
    if (options.json)
        print_json({{"address", q.address}, {"data", hex_text(data)}});
    else
        print_hex_dump(static_cast<uint32_t>(q.address), data);
    return 0;
}

int write_memory(const Memory& memory, const Options& options, const Request& q)
{
    GetDevices();
    std::vector<uint8_t> data;
    std::string error;
    if (q.hex.empty() && q.file.empty())
        return usage_error(std::string("korval ") + memory.name + " [-d N] write ADDRESS (HEX... | --file PATH)");
    const Args words = q.file.empty() ? Args(q.hex) : Args{"--file", q.file};
    if (!parse_bytes(words, 0, data, error)) return usage_error(error);
    if (const uint32_t r = memory.write(options.device, static_cast<uint32_t>(q.address),
                                        static_cast<uint32_t>(data.size()), data.data()))
        return report_error(r, std::string(memory.name) + " write");
    if (options.json)
        print_json({{"written", data.size()}});
    else
        std::printf("wrote %zu bytes at 0x%x\n", data.size(), static_cast<unsigned>(q.address));
    return 0;
}

int erase_flash(const Options& options, uint64_t sector)
{
    GetDevices();
    if (const uint32_t r = KORVAL_FlashEraseSector(options.device, static_cast<int32_t>(sector)))
        return report_error(r, "flash erase");
    if (!options.json)
        std::printf("erased sector %u\n", static_cast<unsigned>(sector));
    else
        print_json({{"erased", sector}});
    return 0;
}

// read [ADDRESS [COUNT]] (flash: ADDRESS required) and write ADDRESS (HEX... | --file PATH).
void define_memory(CLI::App& command, const Memory& memory, bool address_required)
{
    static Request requests[2];
    Request& q = requests[std::string(memory.name) == "eeprom" ? 0 : 1];
    CLI::App& read = *command.get_subcommand("read");
    read.add_option("address", q.address, "the first byte's address")
        ->transform(number_in(0xFFFFFFFF, "the address"))
        ->required(address_required);
    CLI::Option* count = read.add_option("count", q.count, "bytes")->transform(number_in(0x100000, "the count"));
    on_operation(read, [&q, count, memory] {
        Request now = std::exchange(q, {});
        now.has_count = count->count() > 0;
        return [now, memory](const Options& options) { return read_memory(memory, options, now); };
    });
    CLI::App& write = *command.get_subcommand("write");
    write.add_option("address", q.address, "the first byte's address")
        ->transform(number_in(0xFFFFFFFF, "the address"))
        ->required();
    CLI::Option* hex = write.add_option("bytes", q.hex, "hexadecimal bytes: de ad be ef, deadbeef, 0xde,0xad");
    write.add_option("--file", q.file, "the file that holds the bytes")->type_name("PATH")->excludes(hex);
    on_operation(write, [&q, memory] {
        return
            [now = std::exchange(q, {}), memory](const Options& options) { return write_memory(memory, options, now); };
    });
}

const Memory kEepromMemory{"eeprom", CustomEEPROMRead, CustomEEPROMWrite, 0x100};
const Memory kFlashMemory{"flash", KORVAL_FlashRead, KORVAL_FlashWrite, 256};

void define_eeprom(CLI::App& eeprom) { define_memory(eeprom, kEepromMemory, false); }

void define_flash(CLI::App& flash)
{
    define_memory(flash, kFlashMemory, true);
    static uint64_t sector = 0;
    CLI::App& erase = *flash.get_subcommand("erase");
    erase.add_option("sector", sector, "the sector")->transform(number_in(0x7FFFFFFF, "the sector"))->required();
    on_operation(erase, [] { return [s = sector](const Options& options) { return erase_flash(options, s); }; });
}

const RegisterCommand kEeprom{
    {"eeprom",
     "[-d N] read|write ...",
     "the custom EEPROM area: hex dump, write",
     define_eeprom,
     true,
     {{"read", "[ADDR [COUNT]]", "hex dump"}, {"write", "ADDR (HEX... | --file PATH)", "write bytes"}}}};
const RegisterCommand kFlash{{"flash",
                              "[-d N] read|write|erase ...",
                              "the flash: hex dump, write, erase",
                              define_flash,
                              true,
                              {{"read", "ADDR [COUNT]", "hex dump"},
                               {"write", "ADDR (HEX... | --file PATH)", "write bytes"},
                               {"erase", "SECTOR", "erase a sector"}}}};

}  // namespace

}  // namespace korval::tool
