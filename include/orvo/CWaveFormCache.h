// Continuous waveforms laid onto one sample grid (a start, an end and a rate),
// with one channel record per key: an SQHead header followed by one float per
// grid point. Pieces of signal arrive with their own time stamps and rates;
// the records leave as float SAFEARRAYs in either of two shapes, or as a flat
// array. A memory limit given at construction bounds the records together.
//
// GetEvBuff hands out blocks from malloc for the caller to free. The records
// themselves come from the platform's store of large blocks, so that a cache
// made again for the next read gets pages that are already there.
//
// Copies duplicate every record, so no two caches ever own one block.
//
// Threads: const calls may share a cache between threads; any other call
// needs it to itself.
#pragma once

#include <cstdint>
#include <map>

#include <orvo/Export.h>
#include <orvo/platform/cstring.h>
#include <orvo/platform/types.h>
#include <orvo/platform/variant.h>
#include <orvo/protocol/SQHead.h>

class ORVO_API CWaveFormCache {
public:
    // A limit of 0 or below refuses every record.
    explicit CWaveFormCache(int maxMemLimit);
    ~CWaveFormCache();

    // Throws std::bad_alloc, leaving the target as it was, when memory runs
    // out: a copy cannot report failure any other way.
    CWaveFormCache(const CWaveFormCache& other);
    CWaveFormCache& operator=(const CWaveFormCache& other);
    CWaveFormCache(CWaveFormCache&& other) noexcept;
    CWaveFormCache& operator=(CWaveFormCache&& other) noexcept;

    // Frees every record, then sets up the grid. False, leaving the cache
    // cleared, for a rate that is not finite, not above 0 or beyond the
    // header's float; for a time that is not finite; for a start after the
    // end; and for a grid whose points or record length do not fit 32 bits.
    bool InitCache(double startTime, double endTime, double sampleRate);

    // True when the key has a record: an existing one (left unchanged) or a
    // new zero-filled one whose header is made from head. err, when given,
    // receives the reason for a refusal and is untouched otherwise.
    bool AddEvent(LONG key, const SQHead* head, CString* err);

    // Lays count floats, the first at time, onto the key's record. False for
    // a missing key, a negative or non-finite rate, a non-finite time, a
    // negative count or null data with a positive count. Values that fall off
    // the grid are dropped and still count as success.
    bool AddData(double time, LONG key, const float* data, LONG count, double dataRate);

    // Lays the records of `from` onto this grid in key order, as a reader of
    // from.SaveToReadV's rows would: each record new here is made from its
    // header, each from its own start at the rate of the first. Stops at the
    // first record that starts past this grid. False, with err set as by
    // AddEvent, when a record is refused.
    bool AddRecords(const CWaveFormCache& from, CString* err);
    // Whether AddRecords of `from` would copy its records as they are: the
    // same grid, with room for them, at a rate the header's float holds.
    // Reads into `from` may then go straight into this cache instead.
    bool TakesVerbatim(const CWaveFormCache& from) const;
    LONG RecordCount() const;

    // The key's first float, or null without a record.
    float* GetBuff(LONG key);
    bool TimeInCache(double time) const;
    LONG GetMaxMemLimit() const;
    LONG GetNpts() const;

    // A new flat array of count × words 32-bit words, records in ascending
    // key order, for the caller to free. Null without records or words, and
    // null with count and words set to 0 when the allocation fails.
    LONG* GetEvBuff(bool withHeader, LONG& count, LONG& words) const;

    // Bounds passed as (records, words): the read-buffer form. Returns the
    // number of records; 0 with out untouched when the array cannot be made
    // or out cannot be cleared.
    LONG SaveToReadV(VARIANT& out, bool withHeader) const;

    // Bounds passed as (words, rows), one row per key. Returns the number of
    // rows, or 0: out is untouched for an empty cache and left VT_EMPTY
    // (without releasing what it held) when the array cannot be made.
    LONG GetVariant(VARIANT& out, bool withHeader, bool fillMissing) const;

private:
    void ClearCache();
    int CacheIdx(double time) const;
    double CeilTime_OnInterval(double time) const;
    double FloorTime_OnInterval(double time) const;
    std::uint64_t RecordBytes() const;
    // Whether samples at dataRate are copied onto the grid rather than binned.
    bool OnGrid(double dataRate) const;
    void Swap(CWaveFormCache& other) noexcept;

    int m_maxMemLimit;
    LONG m_npts;
    std::map<LONG, SQHead*> m_records;
    double m_sampleRate;
    double m_startTime;
    double m_endTime;
};
