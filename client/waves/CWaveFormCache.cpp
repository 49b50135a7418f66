#include <orvo/CWaveFormCache.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include <orvo/platform/errors.h>
#include <orvo/platform/safearray.h>
#include "platform/arrays.h"
#include "platform/large_blocks.h"

namespace {

constexpr std::uint64_t kHeaderBytes = sizeof(SQHead);
constexpr LONG kLongMax = std::numeric_limits<LONG>::max();

// Index of the grid point nearest t, as an integral double. Grids built
// elsewhere from the same times must agree point for point, so these exact
// double operations must not give way to a rounding function: the two differ
// where fmod's remainder and the product disagree about which side of the
// half period t lies.
double NearestIndex(double t, double rate)
{
    const double period = 1.0 / rate;
    const double r = std::fmod(t, period);
    return period * 0.5 > r ? std::floor(rate * t) : std::ceil(rate * t);
}

bool FitsInt(double value)
{
    return value >= static_cast<double>(std::numeric_limits<int>::min()) &&
           value <= static_cast<double>(std::numeric_limits<int>::max());
}

// Far enough out that no count or grid length can reach back from it, and
// still exact in a double, so clamping changes no outcome.
std::int64_t ClampedIndex(double index)
{
    constexpr double kFar = 9007199254740992.0;  // 2^53
    if (!(index > -kFar)) {
        return -static_cast<std::int64_t>(kFar);
    }
    return static_cast<std::int64_t>(std::min(index, kFar));
}

float* Samples(SQHead* record) { return reinterpret_cast<float*>(record + 1); }

const unsigned char* Source(const SQHead* record, bool withHeader)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(record);
    return withHeader ? bytes : bytes + kHeaderBytes;
}

void CopyRow(const SAFEARRAY* psa, std::size_t row, std::size_t rowBytes, const SQHead* record,
             bool withHeader)
{
    if (rowBytes != 0) {
        std::memcpy(static_cast<unsigned char*>(psa->pvData) + row * rowBytes,
                    Source(record, withHeader), rowBytes);
    }
}

}  // namespace

CWaveFormCache::CWaveFormCache(int maxMemLimit)
    : m_maxMemLimit(maxMemLimit), m_npts(0), m_sampleRate(0.0), m_startTime(0.0), m_endTime(0.0)
{
}

CWaveFormCache::~CWaveFormCache() { ClearCache(); }

CWaveFormCache::CWaveFormCache(const CWaveFormCache& other)
    : m_maxMemLimit(other.m_maxMemLimit),
      m_npts(other.m_npts),
      m_sampleRate(other.m_sampleRate),
      m_startTime(other.m_startTime),
      m_endTime(other.m_endTime)
{
    // Every record of a cache has this length, and it was within the limit
    // when the record was made, so it fits a size_t.
    const auto bytes = static_cast<std::size_t>(RecordBytes());
    try {
        for (const auto& [key, record] : other.m_records) {
            // The slot comes first, so a throwing insert leaks no block.
            auto slot = m_records.emplace_hint(m_records.end(), key, nullptr);
            void* copy = orvo::TakeBlock(bytes, false);
            if (copy == nullptr) {
                throw std::bad_alloc();
            }
            std::memcpy(copy, record, bytes);
            slot->second = static_cast<SQHead*>(copy);
        }
    } catch (...) {
        ClearCache();
        throw;
    }
}

CWaveFormCache& CWaveFormCache::operator=(const CWaveFormCache& other)
{
    if (this != &other) {
        CWaveFormCache copy(other);
        Swap(copy);
    }
    return *this;
}

CWaveFormCache::CWaveFormCache(CWaveFormCache&& other) noexcept : CWaveFormCache(other.m_maxMemLimit)
{
    Swap(other);
}

CWaveFormCache& CWaveFormCache::operator=(CWaveFormCache&& other) noexcept
{
    if (this != &other) {
        CWaveFormCache taken(std::move(other));
        Swap(taken);
    }
    return *this;
}

void CWaveFormCache::Swap(CWaveFormCache& other) noexcept
{
    std::swap(m_maxMemLimit, other.m_maxMemLimit);
    std::swap(m_npts, other.m_npts);
    m_records.swap(other.m_records);
    std::swap(m_sampleRate, other.m_sampleRate);
    std::swap(m_startTime, other.m_startTime);
    std::swap(m_endTime, other.m_endTime);
}

void CWaveFormCache::ClearCache()
{
    const auto bytes = static_cast<std::size_t>(RecordBytes());
    for (auto& entry : m_records) {
        orvo::GiveBackBlock(entry.second, bytes);
    }
    m_records.clear();
    m_sampleRate = 0.0;
    m_startTime = 0.0;
    m_endTime = 0.0;
    m_npts = 0;
}

int CWaveFormCache::CacheIdx(double time) const
{
    const std::int64_t index = ClampedIndex(NearestIndex(time, m_sampleRate));
    return static_cast<int>(std::clamp<std::int64_t>(index, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

double CWaveFormCache::CeilTime_OnInterval(double time) const
{
    return std::ceil(m_sampleRate * time) / m_sampleRate;
}

double CWaveFormCache::FloorTime_OnInterval(double time) const
{
    return std::floor(m_sampleRate * time) / m_sampleRate;
}

std::uint64_t CWaveFormCache::RecordBytes() const
{
    return static_cast<std::uint64_t>(m_npts) * sizeof(float) + kHeaderBytes;
}

bool CWaveFormCache::InitCache(double startTime, double endTime, double sampleRate)
{
    ClearCache();
    // The rate must survive narrowing into the header's float.
    if (!(sampleRate > 0.0) || !(sampleRate <= FLT_MAX) || !std::isfinite(startTime) ||
        !std::isfinite(endTime) || startTime > endTime) {
        return false;
    }
    m_sampleRate = sampleRate;
    m_startTime = CeilTime_OnInterval(startTime);
    m_endTime = FloorTime_OnInterval(endTime);
    const double first = NearestIndex(m_startTime, sampleRate);
    const double last = NearestIndex(m_endTime, sampleRate);
    // Past int range the grid would need an index the narrowing cannot hold,
    // and the record length in words must fit the header's size field.
    const std::int64_t npts = FitsInt(first) && FitsInt(last)
                                  ? static_cast<std::int64_t>(last) - static_cast<std::int64_t>(first) + 1
                                  : std::numeric_limits<std::int64_t>::max();
    if (npts > kLongMax - kHeaderWords) {
        ClearCache();
        return false;
    }
    // A window inside one period can end up with its ends crossed; a record
    // then holds its header alone.
    m_npts = static_cast<LONG>(std::max<std::int64_t>(npts, 0));
    return true;
}

bool CWaveFormCache::AddEvent(LONG key, const SQHead* head, CString* err)
{
    if (m_records.find(key) != m_records.end()) {
        return true;
    }
    if (head == nullptr) {
        if (err != nullptr) {
            *err = "No event header.";
        }
        return false;
    }
    // The limit is compared by division, so no product can wrap and let a
    // long record through.
    const std::uint64_t bytes = RecordBytes();
    const std::uint64_t slots = static_cast<std::uint64_t>(m_records.size()) + 1;
    if (m_maxMemLimit < 0 || bytes > static_cast<std::uint64_t>(m_maxMemLimit) / slots) {
        if (err != nullptr) {
            if (m_maxMemLimit / 1048576 >= 1) {
                err->Format("Exceeded waveform memory limit(%iMB).", m_maxMemLimit / 1048576);
            } else if (m_maxMemLimit / 1024 >= 1) {
                err->Format("Exceeded waveform memory limit(%iKB).", m_maxMemLimit / 1024);
            } else {
                err->Format("Exceeded waveform memory limit(%iBytes).", m_maxMemLimit);
            }
        }
        return false;
    }
    auto* record = static_cast<SQHead*>(orvo::TakeBlock(static_cast<std::size_t>(bytes), true));
    if (record != nullptr) {
        std::memcpy(record, head, sizeof(SQHead));
        record->size = m_npts + kHeaderWords;
        record->type = kStreamType;
        record->timeStamp = m_startTime;
        record->dataFormat = 0;
        record->byte33 = 0;
        record->byte34 = 0;
        record->byte35 = 0;
        record->sampleFreq = static_cast<float>(m_sampleRate);
        try {
            m_records.emplace(key, record);
            return true;
        } catch (const std::bad_alloc&) {
            orvo::GiveBackBlock(record, static_cast<std::size_t>(bytes));
        }
    }
    if (err != nullptr) {
        *err = "Failed to allocate memory.";
    }
    return false;
}

bool CWaveFormCache::AddData(double time, LONG key, const float* data, LONG count, double dataRate)
{
    if (!(dataRate >= 0.0) || !std::isfinite(dataRate) || !std::isfinite(time) || count < 0 ||
        (data == nullptr && count > 0)) {
        return false;
    }
    const auto found = m_records.find(key);
    if (found == m_records.end()) {
        return false;
    }
    float* samples = Samples(found->second);

    if (!OnGrid(dataRate)) {
        for (LONG i = 0; i < count; ++i) {
            // Compared as a double so that no far-off time is ever narrowed;
            // truncation sends -0.5 to point 0, as narrowing to int would.
            const double index = std::trunc((i / dataRate + time - m_startTime) * m_sampleRate);
            if (!(index >= 0.0)) {
                continue;
            }
            if (index >= m_npts) {
                return true;
            }
            float& point = samples[static_cast<std::size_t>(index)];
            if (std::fabs(data[i]) > std::fabs(point)) {
                point = data[i];
            }
        }
        return true;
    }

    // 64-bit throughout: a time far off the grid gives an index beyond int.
    const std::int64_t first = ClampedIndex(NearestIndex(time, m_sampleRate));
    const std::int64_t gridStart = CacheIdx(m_startTime);
    const std::int64_t skip = first < gridStart ? gridStart - first : 0;
    const std::int64_t offset = first > gridStart ? first - gridStart : 0;
    const std::int64_t available = count - skip;
    const std::int64_t room = m_npts - offset;
    if (available <= 0 || room <= 0) {
        return true;
    }
    std::memcpy(samples + offset, data + skip,
                static_cast<std::size_t>(std::min(available, room)) * sizeof(float));
    return true;
}

bool CWaveFormCache::OnGrid(double dataRate) const
{
    return dataRate == 0.0 || std::fabs(dataRate - m_sampleRate) < 1e-6;
}

bool CWaveFormCache::AddRecords(const CWaveFormCache& from, CString* err)
{
    if (from.m_records.empty()) {
        return true;
    }
    const double rate = from.m_records.begin()->second->sampleFreq;
    for (const auto& entry : from.m_records) {
        const SQHead& head = *entry.second;
        if (!TimeInCache(head.timeStamp)) {
            break;
        }
        if (!AddEvent(head.channel, &head, err)) {
            return false;
        }
        AddData(head.timeStamp, head.channel, Samples(entry.second), from.m_npts, rate);
    }
    return true;
}

bool CWaveFormCache::TakesVerbatim(const CWaveFormCache& from) const
{
    return m_sampleRate == from.m_sampleRate && m_startTime == from.m_startTime && m_endTime == from.m_endTime &&
           m_npts == from.m_npts && TimeInCache(m_startTime) && OnGrid(static_cast<float>(m_sampleRate));
}

LONG CWaveFormCache::RecordCount() const
{
    // Within LONG: every record lies within an int memory limit.
    return static_cast<LONG>(m_records.size());
}

float* CWaveFormCache::GetBuff(LONG key)
{
    const auto found = m_records.find(key);
    return found == m_records.end() ? nullptr : Samples(found->second);
}

bool CWaveFormCache::TimeInCache(double time) const { return m_endTime > time; }

LONG CWaveFormCache::GetMaxMemLimit() const { return m_maxMemLimit; }

LONG CWaveFormCache::GetNpts() const { return m_npts; }

LONG* CWaveFormCache::GetEvBuff(bool withHeader, LONG& count, LONG& words) const
{
    // Both fit: the records lie within an int limit, and InitCache keeps
    // m_npts + kHeaderWords within LONG.
    count = static_cast<LONG>(m_records.size());
    words = m_npts + (withHeader ? kHeaderWords : 0);
    if (count == 0 || words == 0) {
        return nullptr;
    }
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(words) * sizeof(LONG);
    LONG* flat = nullptr;
    if (rowBytes <= std::numeric_limits<std::size_t>::max() / static_cast<std::uint64_t>(count)) {
        flat = static_cast<LONG*>(std::malloc(static_cast<std::size_t>(rowBytes) * count));
    }
    if (flat == nullptr) {
        count = 0;
        words = 0;
        return nullptr;
    }
    std::size_t row = 0;
    for (const auto& entry : m_records) {
        std::memcpy(flat + row * static_cast<std::size_t>(words), Source(entry.second, withHeader),
                    static_cast<std::size_t>(rowBytes));
        ++row;
    }
    return flat;
}

LONG CWaveFormCache::SaveToReadV(VARIANT& out, bool withHeader) const
{
    const auto count = static_cast<ULONG>(m_records.size());
    const auto words = static_cast<ULONG>(m_npts + (withHeader ? kHeaderWords : 0));
    SAFEARRAYBOUND bounds[2] = {{count, 0}, {words, 0}};
    // SafeArrayCreate refuses more than a ULONG of bytes, so the array holds
    // every row offset computed below.
    SafeArrayPtr psa(orvo::SafeArrayCreateUnfilled(VT_R4, 2, bounds));  // every row is copied below
    if (!psa) {
        return 0;
    }
    const std::size_t rowBytes = std::size_t{words} * sizeof(float);
    std::size_t row = 0;
    for (const auto& entry : m_records) {
        CopyRow(psa.get(), row++, rowBytes, entry.second, withHeader);
    }
    if (FAILED(VariantClear(&out))) {
        return 0;
    }
    out.vt = VT_ARRAY | VT_R4;
    out.parray = psa.release();
    return static_cast<LONG>(count);
}

// With fillMissing, row r (from 1) holds key r's record, or zeros without
// one, for every row up to the highest key. Placing each record at its own
// row rather than walking a table of filler rows keeps rows above 2047 in
// their place, which a table filled only up to 2047 would not. Only the
// missing rows are zeroed: the others are written whole. Keys up to 1 share
// row 1, the lowest of them supplying it, with and without fillMissing.
LONG CWaveFormCache::GetVariant(VARIANT& out, bool withHeader, bool fillMissing) const
{
    if (m_records.empty()) {
        return 0;
    }
    const LONG maxKey = std::max<LONG>(m_records.rbegin()->first, 1);
    ULONG distinct = 0;
    LONG previous = 0;  // below every row key
    for (const auto& entry : m_records) {
        const LONG rowKey = std::max<LONG>(entry.first, 1);
        distinct += rowKey != previous ? 1 : 0;
        previous = rowKey;
    }
    const ULONG rows = fillMissing ? static_cast<ULONG>(maxKey) : distinct;

    VariantInit(&out);
    const auto words = static_cast<ULONG>(m_npts + (withHeader ? kHeaderWords : 0));
    SAFEARRAYBOUND bounds[2] = {{words, 0}, {rows, 0}};
    // Refused above a ULONG of bytes with every product checked; each slot
    // below is under rows, so its offset stays inside the array.
    SAFEARRAY* psa = orvo::SafeArrayCreateUnfilled(VT_R4, 2, bounds);
    if (psa == nullptr) {
        return 0;
    }
    const std::size_t rowBytes = std::size_t{words} * sizeof(float);
    auto* const bytes = static_cast<unsigned char*>(psa->pvData);
    std::size_t next = 0;
    previous = 0;
    for (const auto& entry : m_records) {
        const LONG rowKey = std::max<LONG>(entry.first, 1);
        if (rowKey == previous) {
            continue;
        }
        const std::size_t slot = fillMissing ? static_cast<std::size_t>(rowKey - 1) : next;
        std::memset(bytes + next * rowBytes, 0, (slot - next) * rowBytes);  // the keys that have no record
        previous = rowKey;
        next = slot + 1;
        CopyRow(psa, slot, rowBytes, entry.second, withHeader);
    }
    out.vt = VT_ARRAY | VT_R4;
    out.parray = psa;
    return static_cast<LONG>(rows);
}
