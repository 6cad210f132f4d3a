// The exported C entry points, generated from the export list. Each plain entry is a thin shell around
// its C++ implementation that runs the load sequence on the first call into the library and keeps
// exceptions from crossing the C boundary; the "_Name" alias is the
// same entry point (on Windows the .def file makes it), the "VBName" forwarder a separate one that
// passes its arguments on unchanged.
#include <cstdint>

#include "adc/adc.h"
#include "base/caller_memory.h"
#include "core/core_api.h"
#include "core/export_list.h"
#include "core/library.h"
#include "ctr/ctr.h"
#include "dac/dac.h"
#include "dio/dio.h"
#include "korval/korval.h"
#include "measure/measure.h"
#include "memory/memory.h"
#include "pipes/pipes.h"

#if defined(_WIN32)
// The .def file exports the aliases from the DLL. A second name is also made a symbol of its own at its
// twin's address, so that programs linked with the library's objects (the test suites) find it too.
#define KORVAL_UNDERSCORE_ALIAS(Name, params)
#define KORVAL_SECOND_ALIAS(Name2, Name, params) __asm__(".globl " #Name2 "\n.set " #Name2 ", " #Name);
#else
#define KORVAL_UNDERSCORE_ALIAS(Name, params) \
    extern "C" KORVAL_API uint32_t _##Name params __attribute__((alias(#Name)));
#define KORVAL_SECOND_ALIAS(Name2, Name, params) \
    extern "C" KORVAL_API uint32_t Name2 params __attribute__((alias(#Name)));
#endif

#define KORVAL_PLAIN_ENTRY(fault, Name, params, args) \
    extern "C" KORVAL_API uint32_t Name params        \
    {                                                 \
        ::korval::ensure_loaded();                    \
        const ::korval::LibraryCall call;             \
        try {                                         \
            return ::korval::Name args;               \
        } catch (...) {                               \
            return fault;                             \
        }                                             \
    }

#define KORVAL_VB_ENTRY(Name, params, args) \
    extern "C" KORVAL_API uint32_t VB##Name params { return Name args; }

#define KORVAL_FORMS_ALL(fault, Name, params, args) \
    KORVAL_PLAIN_ENTRY(fault, Name, params, args)   \
    KORVAL_UNDERSCORE_ALIAS(Name, params)           \
    KORVAL_VB_ENTRY(Name, params, args)
#define KORVAL_FORMS_PLAIN_UNDERSCORE(fault, Name, params, args) \
    KORVAL_PLAIN_ENTRY(fault, Name, params, args)                \
    KORVAL_UNDERSCORE_ALIAS(Name, params)
#define KORVAL_FORMS_PLAIN(fault, Name, params, args) KORVAL_PLAIN_ENTRY(fault, Name, params, args)

#define KORVAL_DEFINE_ENTRY(forms, fault, Name, params, args) KORVAL_FORMS_##forms(fault, Name, params, args)

#define KORVAL_SECOND_ALL(Name2, Name, params)  \
    KORVAL_SECOND_ALIAS(Name2, Name, params)    \
    KORVAL_SECOND_ALIAS(_##Name2, Name, params) \
    KORVAL_SECOND_ALIAS(VB##Name2, VB##Name, params)
#define KORVAL_DEFINE_SECOND_NAME(forms, Name2, Name, params) KORVAL_SECOND_##forms(Name2, Name, params)

#define KORVAL_DEFINE_EXTRA(Name)

KORVAL_EXPORT_LIST(KORVAL_DEFINE_ENTRY, KORVAL_DEFINE_SECOND_NAME, KORVAL_DEFINE_EXTRA)
