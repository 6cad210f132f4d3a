#include "support/exported_calls.h"

#include <cctype>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "core/export_list.h"
#include "korval/korval.h"

namespace korval::test {

namespace {

template <class T>
constexpr bool is_function_pointer = std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>;

// A callback of any type that does nothing, for the valid value of a callback parameter.
template <class... A>
void ignore_call(A...)
{
}
template <class... A>
void* no_op_callback(void (*)(A...))
{
    return reinterpret_cast<void*>(&ignore_call<A...>);
}

template <class T>
T convert(const Arg& a)
{
    if constexpr (is_function_pointer<T>)
        return reinterpret_cast<T>(a.pointer);
    else if constexpr (std::is_pointer_v<T>)
        return static_cast<T>(a.pointer);
    else if constexpr (std::is_floating_point_v<T>)
        return static_cast<T>(a.real);
    else
        return static_cast<T>(a.integer);
}

template <class... A, size_t... I>
uint32_t call_with(uint32_t (*fn)(A...), const std::vector<Arg>& args, std::index_sequence<I...>)
{
    return fn(convert<A>(args[I])...);
}

std::string trim(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

// "(uint32_t DeviceIndex, const void* pData)" as (type, name) pairs; "(void)" has none.
std::vector<std::pair<std::string, std::string>> split_params(std::string_view text)
{
    std::vector<std::pair<std::string, std::string>> out;
    if (text.size() >= 2 && text.front() == '(' && text.back() == ')') text = text.substr(1, text.size() - 2);
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        const std::string piece = trim(text.substr(start, comma - start));
        start = comma + 1;
        if (piece.empty() || piece == "void") continue;
        size_t n = piece.size();
        while (n > 0 && (std::isalnum(static_cast<unsigned char>(piece[n - 1])) || piece[n - 1] == '_')) --n;
        out.emplace_back(trim(piece.substr(0, n)), piece.substr(n));
    }
    return out;
}

bool names_count(const std::string& name)
{
    return name.find("Size") != std::string::npos || name.find("Count") != std::string::npos ||
           name.find("Length") != std::string::npos;
}

template <class T>
Param describe(std::pair<std::string, std::string> written_as)
{
    Param p;
    p.type = std::move(written_as.first);
    p.name = std::move(written_as.second);
    if constexpr (is_function_pointer<T>) {
        p.kind = ParamKind::callback;
        p.callback = no_op_callback(T{});
    } else if constexpr (std::is_pointer_v<T>) {
        using Pointee = std::remove_pointer_t<T>;
        p.kind = ParamKind::pointer;
        p.written = !std::is_const_v<Pointee>;
        p.to_real = std::is_floating_point_v<Pointee>;
        // An opaque type (a handle) is sized like void.
        if constexpr (!std::is_void_v<Pointee> && requires { sizeof(Pointee); }) {
            p.pointee = sizeof(Pointee);
            p.count = sizeof(Pointee) == 4 && std::is_integral_v<Pointee> && names_count(p.name);
        }
    } else if constexpr (std::is_floating_point_v<T>) {
        p.kind = ParamKind::real;
    } else {
        p.kind = p.name == "DeviceIndex" ? ParamKind::device_index : ParamKind::integer;
        p.bits = sizeof(T) * 8;
        p.count = names_count(p.name);
    }
    return p;
}

template <class... A>
ExportedFunction make(const char* name, const char* params, uint32_t fault, uint32_t (*fn)(A...))
{
    ExportedFunction f;
    f.name = name;
    f.returns = fault == KORVAL_FAULT_SLOT   ? Returns::slot
                : fault == KORVAL_FAULT_MASK ? Returns::mask
                                             : Returns::result;
    auto written = split_params(params);
    if (written.size() == sizeof...(A)) {
        size_t i = 0;
        (f.params.push_back(describe<A>(std::move(written[i++]))), ...);
    }
    f.call = [fn](const std::vector<Arg>& args) {
        return call_with(fn, args, std::index_sequence_for<A...>{});
    };
    return f;
}

#define KORVAL_TEST_ROW(forms, fault, Name, params, args) rows.push_back(make(#Name, #params, fault, &::Name));
#define KORVAL_TEST_SECOND(forms, Name2, Name, params)
#define KORVAL_TEST_EXTRA(Name)

std::vector<ExportedFunction> build()
{
    std::vector<ExportedFunction> rows;
    KORVAL_EXPORT_LIST(KORVAL_TEST_ROW, KORVAL_TEST_SECOND, KORVAL_TEST_EXTRA)
    return rows;
}

}  // namespace

int ExportedFunction::param_index(std::string_view param_name) const
{
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i].name == param_name) return static_cast<int>(i);
    return -1;
}

const std::vector<ExportedFunction>& exported_functions()
{
    static const std::vector<ExportedFunction> table = build();
    return table;
}

const ExportedFunction* find_exported(std::string_view name)
{
    for (const auto& f : exported_functions())
        if (f.name == name) return &f;
    return nullptr;
}

void end_background_operations()
{
    // Slots 0 and 1: a case may have started its operation on either board of a two-board set.
    for (uint64_t slot : {0u, 1u}) {
        for (const char* name : {"ADC_BulkAbort", "ADC_BulkContinuousEnd", "DACOutputClose", "DIO_StreamClose",
                                 "CTR_EndWaitGates", "CTR_StopMeasuringPulseWidth"}) {
            const ExportedFunction* end = find_exported(name);
            if (end == nullptr) continue;
            std::vector<Arg> args(end->params.size());
            args[0].integer = slot;  // every end function takes the device index first
            end->call(args);
        }
    }
    // A board notification registered by the case: registrations are numbered from 1 in a new process.
    if (const ExportedFunction* end = find_exported("KORVAL_UnregisterBoardNotification")) {
        for (uint64_t registration = 1; registration <= 4; ++registration) {
            std::vector<Arg> args(end->params.size());
            args[0].integer = registration;
            end->call(args);
        }
    }
}

bool starts_background(std::string_view name)
{
    for (const char* starter : {"ADC_BulkAcquire", "ADC_BulkContinuousStart", "CTR_StartMeasuringPulseWidth",
                                "DACOutputOpen", "DACOutputFrame", "DACOutputFrameRaw", "DIO_StreamOpen"})
        if (name == starter) return true;
    return false;
}

const char* ender_of_wait(std::string_view name)
{
    if (name == "CTR_WaitForGate") return "CTR_EndWaitGates";
    return nullptr;
}

bool known_result(uint32_t code) { return KORVAL_ResultName(code) != nullptr; }

}  // namespace korval::test
