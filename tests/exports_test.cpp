// The shared library exports exactly the listed names: every plain name, its "_Name" alias at the same
// address, its "VBName" forwarder at another, and nothing else (no C++ or runtime symbols leak).
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Symbol {
    uint64_t value;
    unsigned char type;
};

std::vector<char> file_bytes(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

#ifdef _WIN32

constexpr unsigned char kFunction = 2;

// The exported names of a PE32+ DLL's export table: value is the entry's address (RVA), type kFunction
// when that address lies in a code section.
std::map<std::string, Symbol> dynamic_symbols(const std::string& file)
{
    const std::vector<char> image = file_bytes(file);
    std::map<std::string, Symbol> symbols;
    auto at = [&](size_t offset, size_t size) { return offset <= image.size() && size <= image.size() - offset; };
    IMAGE_DOS_HEADER dos;
    if (!at(0, sizeof dos)) return symbols;
    std::memcpy(&dos, image.data(), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    if (!at(dos.e_lfanew, sizeof nt)) return symbols;
    std::memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    const size_t first_section = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                 nt.FileHeader.SizeOfOptionalHeader;
    if (!at(first_section, sections.size() * sizeof(IMAGE_SECTION_HEADER))) return symbols;
    std::memcpy(sections.data(), image.data() + first_section, sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto section_of = [&](uint32_t rva) -> const IMAGE_SECTION_HEADER* {
        for (const auto& sh : sections)
            if (rva >= sh.VirtualAddress && rva < sh.VirtualAddress + std::max(sh.Misc.VirtualSize, sh.SizeOfRawData))
                return &sh;
        return nullptr;
    };
    auto offset_of = [&](uint32_t rva) -> size_t {
        const IMAGE_SECTION_HEADER* sh = section_of(rva);
        return sh != nullptr ? rva - sh->VirtualAddress + sh->PointerToRawData : image.size();
    };
    auto u32 = [&](size_t offset) {
        uint32_t v = 0;
        if (at(offset, 4)) std::memcpy(&v, image.data() + offset, 4);
        return v;
    };
    const IMAGE_DATA_DIRECTORY& dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY exports;
    if (dir.VirtualAddress == 0 || !at(offset_of(dir.VirtualAddress), sizeof exports)) return symbols;
    std::memcpy(&exports, image.data() + offset_of(dir.VirtualAddress), sizeof exports);
    for (uint32_t i = 0; i < exports.NumberOfNames; ++i) {
        const size_t name_offset = offset_of(u32(offset_of(exports.AddressOfNames) + 4 * i));
        if (!at(name_offset, 1)) continue;
        uint16_t ordinal = 0;
        const size_t ordinal_offset = offset_of(exports.AddressOfNameOrdinals) + 2 * i;
        if (at(ordinal_offset, 2)) std::memcpy(&ordinal, image.data() + ordinal_offset, 2);
        const uint32_t rva = u32(offset_of(exports.AddressOfFunctions) + 4 * ordinal);
        const IMAGE_SECTION_HEADER* sh = section_of(rva);
        const bool code = sh != nullptr && (sh->Characteristics & IMAGE_SCN_CNT_CODE) != 0;
        symbols[std::string(image.data() + name_offset)] = {rva, static_cast<unsigned char>(code ? kFunction : 0)};
    }
    return symbols;
}

void* open_library(const char* file) { return reinterpret_cast<void*>(LoadLibraryA(file)); }
void* find_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
std::string load_error() { return "LoadLibrary failed: " + std::to_string(GetLastError()); }

#else

constexpr unsigned char kFunction = STT_FUNC;

// The defined global symbols of an ELF64 shared object's dynamic symbol table.
std::map<std::string, Symbol> dynamic_symbols(const std::string& file)
{
    const std::vector<char> image = file_bytes(file);
    std::map<std::string, Symbol> symbols;
    if (image.size() < sizeof(Elf64_Ehdr)) return symbols;
    Elf64_Ehdr eh;
    std::memcpy(&eh, image.data(), sizeof eh);
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    std::memcpy(sections.data(), image.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& sh : sections) {
        if (sh.sh_type != SHT_DYNSYM) continue;
        const char* strings = image.data() + sections[sh.sh_link].sh_offset;
        for (size_t i = 0; i < sh.sh_size / sizeof(Elf64_Sym); ++i) {
            Elf64_Sym sym;
            std::memcpy(&sym, image.data() + sh.sh_offset + i * sizeof sym, sizeof sym);
            const unsigned char bind = ELF64_ST_BIND(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
            symbols[strings + sym.st_name] = {sym.st_value, static_cast<unsigned char>(ELF64_ST_TYPE(sym.st_info))};
        }
    }
    return symbols;
}

void* open_library(const char* file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
std::string load_error() { return dlerror(); }

#endif

// The names the build generated from the export list: "Name" or "Alias=Target".
std::map<std::string, std::string> listed_names()
{
    std::map<std::string, std::string> names;
    std::ifstream in(KORVAL_EXPORT_NAMES_FILE);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) names[line] = "";
        else names[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return names;
}

TEST(Exports, LibraryExportsExactlyTheListedNames)
{
    const auto symbols = dynamic_symbols(KORVAL_LIBRARY_FILE);
    const auto listed = listed_names();
    ASSERT_FALSE(listed.empty());
    std::set<std::string> exported;
    for (const auto& [name, sym] : symbols) exported.insert(name);
    std::set<std::string> expected;
    for (const auto& [name, target] : listed) expected.insert(name);
    EXPECT_EQ(exported, expected);
    for (const auto& [name, sym] : symbols) EXPECT_EQ(sym.type, kFunction) << name;
}

TEST(Exports, AliasesShareTheirTwinsAddressAndForwardersDoNot)
{
    const auto symbols = dynamic_symbols(KORVAL_LIBRARY_FILE);
    for (const auto& [name, target] : listed_names()) {
        if (target.empty()) continue;
        ASSERT_TRUE(symbols.count(name) && symbols.count(target)) << name;
        EXPECT_EQ(symbols.at(name).value, symbols.at(target).value) << name << " is not " << target;
    }
    for (const auto& [name, sym] : symbols) {
        if (name.rfind("VB", 0) != 0) continue;
        const std::string plain = name.substr(2);
        ASSERT_TRUE(symbols.count(plain)) << name;
        EXPECT_NE(sym.value, symbols.at(plain).value) << name << " must be an entry point of its own";
    }
}

// The seven functions built so far in their three forms, and the three host-seam exports.
TEST(Exports, BuiltFunctionsHaveTheirForms)
{
    const auto symbols = dynamic_symbols(KORVAL_LIBRARY_FILE);
    for (const char* plain : {"ResolveDeviceIndex", "SelectDeviceViaUI", "GetDevices", "ClearDevices",
                              "KORVAL_CloseDevice", "GenericVendorRead", "GenericVendorWrite"}) {
        for (const std::string& name : {std::string(plain), "_" + std::string(plain), "VB" + std::string(plain)})
            EXPECT_TRUE(symbols.count(name)) << name;
    }
    for (const char* seam : {"KORVAL_InstallHost", "KORVAL_GetLastError", "KORVAL_SetLastError"}) {
        EXPECT_TRUE(symbols.count(seam)) << seam;
        EXPECT_FALSE(symbols.count("_" + std::string(seam))) << seam;
        EXPECT_FALSE(symbols.count("VB" + std::string(seam))) << seam;
    }
}

// The names applications link against, from the documented list: every plain name with its forms.
struct DocumentedName {
    std::string name;
    std::string twin;  // for an alias: the name whose entry point it shares; empty for an entry point
};
std::vector<DocumentedName> documented_names()
{
    std::vector<DocumentedName> names;
    std::ifstream in(KORVAL_DOCUMENTED_NAMES_FILE);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.find(' ');
        const std::string name = line.substr(0, space);
        const std::string forms = line.substr(space + 1);
        if (forms == "plain") {
            names.push_back({name, ""});
        } else if (forms == "underscore") {
            names.push_back({name, ""});
            names.push_back({"_" + name, name});
        } else if (forms == "all") {
            names.push_back({name, ""});
            names.push_back({"_" + name, name});
            names.push_back({"VB" + name, ""});
        } else if (forms.rfind("all=", 0) == 0) {
            const std::string twin = forms.substr(4);
            names.push_back({name, twin});
            names.push_back({"_" + name, twin});
            names.push_back({"VB" + name, "VB" + twin});
        } else {
            ADD_FAILURE() << "unknown forms in the list: " << line;
        }
    }
    return names;
}

// The exports of the host seam, the simulated boards and the measurements, besides the 371 names of the
// board functions.
bool library_extra(const std::string& name)
{
    return name == "KORVAL_InstallHost" || name == "KORVAL_GetLastError" || name == "KORVAL_SetLastError" ||
           name == "KORVAL_GetCapabilities" || name == "KORVAL_GetUnusableBoard" ||
           name == "KORVAL_GetProductCapabilities" || name == "KORVAL_ListProducts" || name == "KORVAL_GetVersion" ||
           name == "KORVAL_GetRemoteServer" || name == "KORVAL_SystemHost" || name == "KORVAL_AddRemote" ||
           name == "KORVAL_RegisterBoardNotification" || name == "KORVAL_UnregisterBoardNotification" ||
           name.rfind("KORVAL_Measure", 0) == 0 || name.rfind("KorvalSim_", 0) == 0;
}

// All 371 documented names are exported, each alias at its twin's address; besides them, only the
// library's own extras.
TEST(Exports, EveryDocumentedNameIsExported)
{
    const auto symbols = dynamic_symbols(KORVAL_LIBRARY_FILE);
    const auto documented = documented_names();
    ASSERT_EQ(documented.size(), 371u);
    std::string missing;
    std::set<std::string> names;
    for (const DocumentedName& d : documented) {
        names.insert(d.name);
        if (!symbols.count(d.name)) {
            missing += " " + d.name;
            continue;
        }
        if (!d.twin.empty() && symbols.count(d.twin)) {
            EXPECT_EQ(symbols.at(d.name).value, symbols.at(d.twin).value) << d.name << " is not at " << d.twin;
        }
        if (d.twin.empty() && d.name.rfind("VB", 0) == 0 && symbols.count(d.name.substr(2))) {
            EXPECT_NE(symbols.at(d.name).value, symbols.at(d.name.substr(2)).value) << d.name;
        }
    }
    EXPECT_TRUE(missing.empty()) << "not exported:" << missing;
    for (const auto& [name, sym] : symbols)
        EXPECT_TRUE(names.count(name) || library_extra(name)) << name << " is exported but not documented";
}

// Loaded as a program loads it: the forms answer alike through the dynamic linker.
TEST(Exports, FormsAnswerAliasThroughTheDynamicLinker)
{
    void* library = open_library(KORVAL_LIBRARY_FILE);
    ASSERT_NE(library, nullptr) << load_error();
    using Select = uint32_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
    using Resolve = uint32_t (*)(uint32_t);
    using LastError = uint32_t (*)();
    for (const char* name : {"SelectDeviceViaUI", "_SelectDeviceViaUI", "VBSelectDeviceViaUI"}) {
        auto select = reinterpret_cast<Select>(find_symbol(library, name));
        ASSERT_NE(select, nullptr) << name;
        EXPECT_EQ(select(1, 2, 3, 4, 5, 6, 7), 50u) << name;
    }
    auto last_error = reinterpret_cast<LastError>(find_symbol(library, "KORVAL_GetLastError"));
    for (const char* name : {"ResolveDeviceIndex", "_ResolveDeviceIndex", "VBResolveDeviceIndex"}) {
        auto resolve = reinterpret_cast<Resolve>(find_symbol(library, name));
        ASSERT_NE(resolve, nullptr) << name;
        EXPECT_EQ(resolve(31), 31u) << name;
        EXPECT_EQ(last_error(), 0u);
        EXPECT_EQ(resolve(32), 0xFFFFFFFFu) << name;
        EXPECT_EQ(last_error(), 1413u);
    }
}

}  // namespace
