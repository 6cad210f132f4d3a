// The measurement functions: the registry of live measurements and the checks of the caller's
// pointers, around the engine (engine.h).
//
// A measurement's handle is the address of its place in a fixed table, never the engine object's: a
// handle that is not a place of the table, or a place that holds no measurement (it was destroyed), is
// found out without being followed. Places are handed out in turn, so a destroyed measurement's handle
// names no other measurement until the table has gone round once. Each place has a lock of its own.
#include "measure/measure.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "base/caller_memory.h"
#include "measure/engine.h"

namespace korval {

namespace {

constexpr size_t kPlaces = 4096;

struct alignas(64) Place {
    std::mutex lock;
    std::shared_ptr<measure::Measurement> measurement;
};

Place g_places[kPlaces];
std::atomic<size_t> g_next_place{0};

// The measurement a handle names: 87 for NULL, 6 for anything else that is not a live measurement.
uint32_t find(KorvalMeasurement* handle, std::shared_ptr<measure::Measurement>& out)
{
    if (handle == nullptr) return ERROR_INVALID_PARAMETER;
    const auto at = reinterpret_cast<uintptr_t>(handle);
    const auto begin = reinterpret_cast<uintptr_t>(&g_places[0]);
    if (at < begin || at >= begin + sizeof g_places || (at - begin) % sizeof(Place) != 0) return ERROR_INVALID_HANDLE;
    Place& p = g_places[(at - begin) / sizeof(Place)];
    std::lock_guard lock(p.lock);
    if (!p.measurement) return ERROR_INVALID_HANDLE;
    out = p.measurement;
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t KORVAL_MeasureCreate(uint32_t DeviceIndex, KorvalMeasurement** ppMeasurement)
{
    KorvalCapabilities caps{};
    caps.Size = sizeof caps;
    if (const uint32_t r = ::KORVAL_GetCapabilities(DeviceIndex, &caps)) return r;
    // The scans are paced by the board's counters.
    if (!caps.ADCBulk || caps.Counters == 0) return ERROR_BAD_TOKEN_TYPE;
    if (ppMeasurement == nullptr) return ERROR_INVALID_PARAMETER;
    if (!caller_range_usable(ppMeasurement, sizeof *ppMeasurement, true)) return ERROR_NOACCESS;
    const uint32_t slot = ::ResolveDeviceIndex(DeviceIndex);
    if (slot >= KORVAL_SLOT_COUNT) return ERROR_INVALID_INDEX;
    auto m = std::make_shared<measure::Measurement>(slot, caps);
    for (size_t tries = 0; tries < kPlaces; ++tries) {
        const size_t i = g_next_place.fetch_add(1) % kPlaces;
        Place& p = g_places[i];
        std::unique_lock lock(p.lock);
        if (p.measurement) continue;
        auto* handle = reinterpret_cast<KorvalMeasurement*>(&p);
        if (!store_to_caller(ppMeasurement, handle)) return ERROR_NOACCESS;
        p.measurement = std::move(m);
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_ENOUGH_MEMORY;
}

uint32_t KORVAL_MeasureStart(KorvalMeasurement* pMeasurement, KorvalMeasureSettings* pSettings,
                             KorvalMeasureCallback pCallback, void* pContext)
{
    std::shared_ptr<measure::Measurement> m;
    if (const uint32_t r = find(pMeasurement, m)) return r;
    if (pSettings == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 0;
    if (!load_from_caller(&pSettings->Size, size)) return ERROR_NOACCESS;
    if (size < sizeof(KorvalMeasureSettings)) return ERROR_INVALID_PARAMETER;
    KorvalMeasureSettings settings{};
    if (!copy_from_caller(&settings, pSettings, sizeof settings)) return ERROR_NOACCESS;
    // The rate is written back: that must be possible before anything is sent.
    if (!caller_range_usable(&pSettings->Rate, sizeof pSettings->Rate, true)) return ERROR_NOACCESS;
    measure::Plan plan;
    if (const uint32_t r = m->check(settings, plan)) return r;
    double rate = 0.0;
    if (const uint32_t r = m->start(plan, pCallback, pContext, rate)) return r;
    return store_to_caller(&pSettings->Rate, rate) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

uint32_t KORVAL_MeasureRead(KorvalMeasurement* pMeasurement, KorvalMeasureBlock* pBlock, double* pVolts,
                            uint16_t* pCounts, uint32_t CapacityScans, uint32_t TimeoutMS)
{
    std::shared_ptr<measure::Measurement> m;
    if (const uint32_t r = find(pMeasurement, m)) return r;
    if (pBlock == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 0;
    if (!load_from_caller(&pBlock->Size, size)) return ERROR_NOACCESS;
    if (size < sizeof(KorvalMeasureBlock)) return ERROR_INVALID_PARAMETER;
    return m->read(pBlock, size, pVolts, pCounts, CapacityScans, TimeoutMS);
}

uint32_t KORVAL_MeasureGetStatus(KorvalMeasurement* pMeasurement, KorvalMeasureStatus* pStatus)
{
    std::shared_ptr<measure::Measurement> m;
    if (const uint32_t r = find(pMeasurement, m)) return r;
    if (pStatus == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t size = 0;
    if (!load_from_caller(&pStatus->Size, size)) return ERROR_NOACCESS;
    if (size < sizeof(KorvalMeasureStatus)) return ERROR_INVALID_PARAMETER;
    KorvalMeasureStatus s{};
    m->status(s);
    return store_to_caller(pStatus, s) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

uint32_t KORVAL_MeasureStop(KorvalMeasurement* pMeasurement)
{
    std::shared_ptr<measure::Measurement> m;
    if (const uint32_t r = find(pMeasurement, m)) return r;
    return m->stop();
}

uint32_t KORVAL_MeasureDestroy(KorvalMeasurement* pMeasurement)
{
    std::shared_ptr<measure::Measurement> m;
    if (const uint32_t r = find(pMeasurement, m)) return r;
    if (m->in_own_callback()) return ERROR_NOT_SUPPORTED;
    {
        Place& p = *reinterpret_cast<Place*>(pMeasurement);
        std::lock_guard lock(p.lock);
        if (p.measurement != m) return ERROR_INVALID_HANDLE;  // destroyed meanwhile by another thread
        p.measurement.reset();
    }
    (void)m->stop();  // ends it and joins its threads; the last reference frees it
    return ERROR_SUCCESS;
}

}  // namespace korval
