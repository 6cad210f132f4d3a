/**
 * @file measure.h
 * @brief Measurements: a channel span at a rate on the board's scan clock, in volts and counts, in
 *        blocks, with an optional software trigger. Included by korval.h.
 *
 * One call states the whole measurement (KORVAL_MeasureStart()); blocks are then pulled with a bounded
 * wait (KORVAL_MeasureRead()) or pushed to a callback on a thread of the library. Underneath, the
 * measurement uses the board's exported functions in a fixed order: the configuration block (ranges,
 * scan limits, oversample, the counter start source), the scan clock (CTR_StartOutputFreq() on counter
 * block 0) and continuous acquisition (ADC_BulkContinuousStart()); each keeps its own wire traffic.
 *
 * These functions are extras beside the board functions: they are exported under their plain names only.
 */
#ifndef KORVAL_MEASURE_H
#define KORVAL_MEASURE_H

#include <stdint.h>

#include "korval.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @defgroup measure Measurements
 * @brief A measurement at a rate, in blocks of volts and counts, with a software trigger.
 * @{
 */

/** A measurement: made by KORVAL_MeasureCreate(), freed by KORVAL_MeasureDestroy(). Opaque. A handle
 *  that names no live measurement gives 6 (ERROR_INVALID_HANDLE); the handle of a destroyed one names
 *  no other measurement until thousands more have been made. */
typedef struct KorvalMeasurement KorvalMeasurement;

/** KorvalTrigger::Slope: no trigger, the measurement starts with the first scan (the default). */
#define KORVAL_TRIGGER_NONE 0u
/** KorvalTrigger::Slope: the trigger channel rises through the level. */
#define KORVAL_TRIGGER_RISING 1u
/** KorvalTrigger::Slope: the trigger channel falls through the level. */
#define KORVAL_TRIGGER_FALLING 2u

/**
 * A software trigger on one channel of the span, checked on every scan the board sends.
 *
 * Rising: the trigger is the first scan at or above Level after the channel has been at or below
 * Level - Hysteresis (falling: at or below Level after at or above Level + Hysteresis), so noise smaller
 * than the hysteresis does not trigger. A record is KorvalMeasureSettings::Scans scans: PreTriggerScans
 * from just before the trigger scan, the trigger scan, and the rest after it. Records after the first
 * each start at a new trigger found after the previous record's end. A trigger counts once PreTriggerScans
 * scans have been looked at (since the start, or since the previous record's end), so that every record
 * has its pre-trigger scans; a crossing before that is passed over, and the next crossing triggers.
 */
typedef struct KorvalTrigger {
    uint32_t Slope;           /**< ::KORVAL_TRIGGER_NONE, ::KORVAL_TRIGGER_RISING or ::KORVAL_TRIGGER_FALLING */
    uint32_t Channel;         /**< the channel whose level triggers, within the span */
    double Level;             /**< volts */
    double Hysteresis;        /**< volts, 0 or more */
    uint32_t PreTriggerScans; /**< scans kept from before the trigger, fewer than the record's scans */
    uint32_t Records;         /**< records, each at a new trigger: 1 or more; 0 for records until stopped */
} KorvalTrigger;

/** The most channels a measurement takes; KorvalMeasureSettings::Ranges has one byte for each. */
#define KORVAL_MEASURE_MAX_CHANNELS 256u

/**
 * What to measure. Zero it, set Size to sizeof(KorvalMeasureSettings), then the span, the ranges and the
 * rate; every other field has a useful default at 0 (no oversample, 50 ms blocks, until stopped, no
 * trigger).
 */
typedef struct KorvalMeasureSettings {
    uint32_t Size;         /**< sizeof(KorvalMeasureSettings) as the caller was built with */
    uint32_t FirstChannel; /**< the span's first channel */
    uint32_t LastChannel;  /**< the span's last channel, at or above FirstChannel */
    uint32_t RangeCount;   /**< 1: Ranges[0] for every channel; or one range per channel of the span */
    uint8_t Ranges[KORVAL_MEASURE_MAX_CHANNELS]; /**< range codes (see KORVAL_ADC_CountsToVolts()), from
                                                      the span's first channel on; channels that share a
                                                      range slot must share a range */
    uint32_t Oversample;   /**< extra conversions per channel, 0 to 255: a channel's value is the mean
                                of its conversions after the first */
    uint32_t BlockScans;   /**< scans per block; 0: BlockSeconds decides */
    double Rate;           /**< in: scans per second asked; out (KORVAL_MeasureStart()): the rate the
                                board's counters make */
    uint64_t Scans;        /**< scans in all (with a trigger: per record); 0 until stopped */
    double BlockSeconds;   /**< seconds per block when BlockScans is 0; 0 for 50 ms */
    KorvalTrigger Trigger; /**< Slope ::KORVAL_TRIGGER_NONE for an immediate start */
} KorvalMeasureSettings;

/** KorvalMeasureBlock::Flags: the library's ring grew for this block (the reader had fallen behind;
 *  nothing was lost). */
#define KORVAL_BLOCK_GROWN 0x1u
/** KorvalMeasureBlock::Flags: the measurement's last block; no block follows it. */
#define KORVAL_BLOCK_LAST 0x2u
/** KorvalMeasureBlock::Flags: the board is gone (1617); every scan before it was delivered. */
#define KORVAL_BLOCK_GONE 0x4u
/** KorvalMeasureBlock::Flags: the block holds the trigger scan (KorvalMeasureBlock::TriggerScan). */
#define KORVAL_BLOCK_TRIGGER 0x8u
/** KorvalMeasureBlock::Flags: the block starts a record (with a trigger, its pre-trigger scans first). */
#define KORVAL_BLOCK_RECORD_START 0x10u

/** Scans of a measurement. Volts and Counts hold ScanCount x ChannelCount values, scan by scan. */
typedef struct KorvalMeasureBlock {
    uint32_t Size;          /**< in: sizeof(KorvalMeasureBlock) as the caller was built with */
    uint32_t Flags;         /**< ::KORVAL_BLOCK_GROWN, ::KORVAL_BLOCK_LAST, ::KORVAL_BLOCK_GONE, ... */
    uint64_t FirstScan;     /**< index of the block's first scan since the measurement started */
    uint32_t ScanCount;     /**< scans in the block (0 only in a last block that carries no scans) */
    uint32_t ChannelCount;  /**< channels per scan */
    double ScanPeriod;      /**< seconds from one scan to the next: 1 / the rate obtained */
    int64_t HostTimeNs;     /**< the host's UTC time, in nanoseconds since 1970, when the block arrived */
    int64_t TriggerScan;    /**< the trigger scan's index since the start (as FirstScan counts), with
                                ::KORVAL_BLOCK_TRIGGER; else -1 */
    uint32_t Record;        /**< the record the block belongs to, from 0 */
    uint32_t Result;        /**< 0, or the code that ended the measurement (in its last block) */
    const double *Volts;    /**< ScanCount x ChannelCount volts */
    const uint16_t *Counts; /**< ScanCount x ChannelCount counts (a mean rounded, with oversample) */
} KorvalMeasureBlock;

/**
 * @brief Receives each block of a measurement started with a callback, on a thread of the library.
 *
 * The block and its values are valid during the call only. The callback must not stop or destroy its
 * own measurement (KORVAL_MeasureStop() returns 50 there); it may call every other function.
 * @param[in] pBlock The block.
 * @param[in] pContext The value given to KORVAL_MeasureStart().
 */
typedef void(KORVAL_CALLBACK *KorvalMeasureCallback)(const KorvalMeasureBlock *pBlock, void *pContext);

/** KorvalMeasureStatus::State: made, never started. */
#define KORVAL_MEASURE_IDLE 0u
/** KorvalMeasureStatus::State: running (waiting for a trigger, or delivering). */
#define KORVAL_MEASURE_RUNNING 1u
/** KorvalMeasureStatus::State: ended (every block delivered, or stopped); Result says how. */
#define KORVAL_MEASURE_ENDED 2u

/** How a measurement stands. */
typedef struct KorvalMeasureStatus {
    uint32_t Size;           /**< in: sizeof(KorvalMeasureStatus) as the caller was built with */
    uint32_t State;          /**< ::KORVAL_MEASURE_IDLE, ::KORVAL_MEASURE_RUNNING, ::KORVAL_MEASURE_ENDED */
    uint64_t ScansDelivered; /**< scans handed to the reader or the callback */
    uint64_t ScansAcquired;  /**< scans received from the board (with a trigger, also those not kept) */
    uint32_t RingGrowths;    /**< times the library's ring grew because the reader fell behind */
    uint32_t Result;         /**< 0 while running and after a clean end; else the code that ended it */
    double Rate;             /**< the rate obtained, scans per second */
    uint32_t Records;        /**< records completed */
    uint32_t Reserved;       /**< 0 */
} KorvalMeasureStatus;

/**
 * @brief Makes a measurement object for a board. Sends nothing.
 * @devindex
 * @param[out] ppMeasurement Receives the measurement.
 * @retval ERROR_SUCCESS (0) made.
 * @retval ERROR_INVALID_PARAMETER (87) ppMeasurement is NULL.
 * @retval ERROR_NOACCESS (998) *ppMeasurement cannot be written.
 * @retval ERROR_BAD_TOKEN_TYPE (1349) the board has no bulk analog input.
 * @boardcodes
 */
KORVAL_API uint32_t KORVAL_MeasureCreate(uint32_t DeviceIndex, KorvalMeasurement **ppMeasurement);

/**
 * @brief Checks the settings and starts the measurement; writes the rate obtained to pSettings->Rate.
 *
 * Nothing is sent to the board when the settings are refused. With pCallback NULL, blocks are
 * pulled with KORVAL_MeasureRead(). A measurement that has ended may be started again.
 * @param[in] pMeasurement The measurement.
 * @param[in,out] pSettings What to measure; Rate is written back.
 * @param[in] pCallback Receives every block, or NULL to pull them.
 * @param[in] pContext Passed to the callback.
 * @retval ERROR_SUCCESS (0) started.
 * @retval ERROR_INVALID_PARAMETER (87) a NULL pointer, Size too small, an empty or reversed span, a
 *         channel the board lacks, a range code or range count that does not fit, an oversample above
 *         255, a rate the counters cannot make, a trigger channel outside the span, a trigger level
 *         that is not finite, a negative hysteresis, or pre-trigger scans not fewer than the record's.
 * @retval ERROR_INVALID_HANDLE (6) pMeasurement is not a live measurement.
 * @retval ERROR_TOO_MANY_OPEN_FILES (4) this measurement, or another acquisition, runs on the board (or
 *         the call comes from this measurement's own callback).
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 * @boardcodes
 */
KORVAL_API uint32_t KORVAL_MeasureStart(KorvalMeasurement *pMeasurement, KorvalMeasureSettings *pSettings,
                                        KorvalMeasureCallback pCallback, void *pContext);

/**
 * @brief The next block, waiting at most TimeoutMS for it.
 *
 * With pVolts and pCounts NULL, the values stay in the measurement's memory until the next read, a
 * stop or a destroy. A buffer given (room for CapacityScans scans) receives its values converted there
 * straight from the board's scans, on the calling thread; the block's Volts or Counts then points there.
 * @param[in] pMeasurement The measurement.
 * @param[in,out] pBlock In: Size. Out: the block.
 * @param[out] pVolts NULL, or room for CapacityScans x channels doubles.
 * @param[out] pCounts NULL, or room for CapacityScans x channels counts.
 * @param[in] CapacityScans The room at pVolts and pCounts, in scans.
 * @param[in] TimeoutMS How long to wait for a block, in milliseconds; 0 does not wait.
 * @retval ERROR_SUCCESS (0) a block.
 * @retval ERROR_TIMEOUT (1460) no block came in time.
 * @retval ERROR_HANDLE_EOF (38) the last block has been read, or the measurement never started.
 * @retval ERROR_INSUFFICIENT_BUFFER (122) the block has more scans than the room; pBlock->ScanCount
 *         says how many, and the block stays to be read.
 * @retval ERROR_NOT_SUPPORTED (50) the measurement delivers to a callback.
 * @retval ERROR_INVALID_PARAMETER (87) pMeasurement or pBlock NULL, or pBlock->Size too small.
 * @retval ERROR_INVALID_HANDLE (6) pMeasurement is not a live measurement.
 * @retval ERROR_NOACCESS (998) caller memory that cannot be read or written.
 */
KORVAL_API uint32_t KORVAL_MeasureRead(KorvalMeasurement *pMeasurement, KorvalMeasureBlock *pBlock, double *pVolts,
                                       uint16_t *pCounts, uint32_t CapacityScans, uint32_t TimeoutMS);

/**
 * @brief How the measurement stands: scans delivered, ring growths, the rate obtained, the result.
 * @param[in] pMeasurement The measurement.
 * @param[in,out] pStatus In: Size. Out: the status.
 * @retval ERROR_SUCCESS (0) filled.
 * @retval ERROR_INVALID_PARAMETER (87) pMeasurement or pStatus NULL, or pStatus->Size too small.
 * @retval ERROR_INVALID_HANDLE (6) pMeasurement is not a live measurement.
 * @retval ERROR_NOACCESS (998) *pStatus cannot be read or written.
 */
KORVAL_API uint32_t KORVAL_MeasureGetStatus(KorvalMeasurement *pMeasurement, KorvalMeasureStatus *pStatus);

/**
 * @brief Stops a running measurement: ends the acquisition and the scan clock, joins the library's
 *        threads. Always returns, also after an unplug. Blocks not yet read are dropped.
 * @param[in] pMeasurement The measurement.
 * @retval ERROR_SUCCESS (0) stopped; also the first stop after a measurement that ended by itself (its
 *         last block delivered, or its board gone), which joins the threads it still had.
 * @retval ERROR_HANDLE_EOF (38) it is not running: never started, or stopped already.
 * @retval ERROR_NOT_SUPPORTED (50) called from the measurement's own callback.
 * @retval ERROR_INVALID_PARAMETER (87) pMeasurement is NULL.
 * @retval ERROR_INVALID_HANDLE (6) pMeasurement is not a live measurement.
 */
KORVAL_API uint32_t KORVAL_MeasureStop(KorvalMeasurement *pMeasurement);

/**
 * @brief Stops the measurement if it runs and frees it.
 * @param[in] pMeasurement The measurement.
 * @retval ERROR_SUCCESS (0) freed.
 * @retval ERROR_NOT_SUPPORTED (50) called from the measurement's own callback.
 * @retval ERROR_INVALID_PARAMETER (87) pMeasurement is NULL.
 * @retval ERROR_INVALID_HANDLE (6) pMeasurement is not a live measurement.
 */
KORVAL_API uint32_t KORVAL_MeasureDestroy(KorvalMeasurement *pMeasurement);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KORVAL_MEASURE_H */
