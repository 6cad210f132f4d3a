// Every exported function as data, generated from the export list: its name, what it returns, its
// parameters with a kind derived from their types and names, and a way to call it with arguments chosen
// at run time. The sweeps use it, so a function added to the list is swept without new test code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korval::test {

enum class ParamKind {
    device_index,  // named DeviceIndex
    integer,       // any integer by value
    real,          // a double by value
    pointer,       // any pointer to data
    callback,      // a pointer to a function the library calls back
};

struct Param {
    std::string type;  // as the export list writes it
    std::string name;
    ParamKind kind = ParamKind::integer;
    unsigned bits = 32;        // integers: width
    size_t pointee = 1;        // pointers: bytes of the pointed type (1 for void and char)
    bool written = false;      // pointers: not to const, so the function may write through it
    bool to_real = false;      // pointers: to a double (a rate or a time)
    bool count = false;        // a size, count or length: by value, or the 32-bit variable a pointer names
    void* callback = nullptr;  // callbacks: a function of the parameter's type that does nothing
};

// One argument of any parameter type: the field the parameter's kind uses is taken.
struct Arg {
    uint64_t integer = 0;
    double real = 0;
    void* pointer = nullptr;
};

enum class Returns { result, slot, mask };

struct ExportedFunction {
    std::string name;
    Returns returns = Returns::result;
    std::vector<Param> params;
    std::function<uint32_t(const std::vector<Arg>&)> call;

    int param_index(std::string_view param_name) const;
};

const std::vector<ExportedFunction>& exported_functions();
const ExportedFunction* find_exported(std::string_view name);

// Calls every exported function that ends a background operation (acquisitions, waveform output,
// digital streams, gate waits, the pulse-width monitor) on slot 0. Those not exported yet are skipped.
void end_background_operations();

// Whether the function starts an operation that goes on in the background after it returns.
bool starts_background(std::string_view name);

// For a function that blocks until an event comes (a gate wait), the exported function that ends the
// wait from another thread; nullptr for the others.
const char* ender_of_wait(std::string_view name);

// Whether `code` is one a function returning a result code can return: a code of the library's list.
bool known_result(uint32_t code);

}  // namespace korval::test
