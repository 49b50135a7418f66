#include "bindings/python/tank.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

#include <pybind11/pybind11.h>

#include <orvo/platform/variant.h>
#include "protocol/FilterGrammar.h"
#include "protocol/StoreCode.h"

namespace orvo::python {

namespace {

// Settings of OrvoCI::SetGlobal.
constexpr LONG kChannelSetting = 2;
constexpr LONG kT1Setting = 4;
constexpr LONG kT2Setting = 5;
constexpr LONG kMemLimitSetting = 13;
constexpr double kDefaultMemLimit = 33554432.0;

// Items of OrvoCI::ParseEvHeaderInfo.
constexpr LONG kTypeItem = 2;
constexpr LONG kChannelItem = 4;
constexpr LONG kSortCodeItem = 5;
constexpr LONG kTimeItem = 6;
constexpr LONG kValueItem = 7;

// Event reads come in batches, each after the first continuing the one before.
constexpr LONG kReadBatch = 1000;
constexpr LONG kContinueRead = 1;
constexpr LONG kHeadersOnly = 1024;

constexpr LONG kMaxListed = 1000000;     // blocks and stores, against a misbehaving engine
constexpr LONG kMaxSnippetPoints = 65000;  // the widest snippet the library builds
constexpr LONG kFloatFormat = 0;
constexpr LONG kShortFormat = 2;
constexpr std::size_t kStreamPoints = 256;  // samples per stream record
constexpr std::size_t kRecordsPerSave = 4096;
constexpr char kRecordingState[] = "recording";
constexpr char kUserNotesEnd[] = "[USERNOTEDELIMITER]";

using pybind11::value_error;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g s", value);
    return text;
}

const char* KindOf(LONG type)
{
    switch (type) {
    case kStreamType: return "stream";
    case kSnipType: return "snippet";
    case kScalarType: return "scalar";
    case kStrobeOnType: return "epoc";
    default: return "strobe";
    }
}

// A time from the caller: finite and not before the block's start.
void CheckTime(double time, const char* what)
{
    if (!std::isfinite(time) || time < 0.0) {
        throw value_error(std::string(what) + " must be finite seconds from the block's start, 0 or more");
    }
}

// Times of events to record: each checked, in the order they happened.
void CheckTimes(const double* times, std::size_t count, const char* what)
{
    for (std::size_t i = 0; i < count; ++i) {
        CheckTime(times[i], what);
        if (i > 0 && times[i] < times[i - 1]) {
            throw value_error(std::string(what) + " must not decrease (at index " + std::to_string(i) + ")");
        }
    }
}

void CheckRate(double rate, bool required)
{
    const auto narrowed = static_cast<float>(rate);
    if (!std::isfinite(rate) || rate < 0.0 || (required && rate == 0.0) || !std::isfinite(narrowed)) {
        throw value_error(required ? "rate must be finite Hz above 0" : "rate must be finite Hz, 0 or more");
    }
}

// The first sample index at or after a time given in samples; a time a
// rounding error away from a sample is that sample.
double GridIndex(double samples)
{
    const double nearest = std::round(samples);
    return std::abs(samples - nearest) < 1e-6 ? nearest : std::ceil(samples);
}

LONG FloatBits(float value)
{
    LONG bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// A filter text's descriptions, each checked with the library's grammar so
// that a typing slip is reported as such; the store of the first.
std::pair<LONG, LONG> CheckFilter(const std::string& text)
{
    CString unreadable;
    const std::vector<LONG> codes = orvo::FilterStoreCodes(CString(text.c_str()), &unreadable);
    if (!unreadable.IsEmpty()) {
        throw value_error("cannot read the filter " + Quoted(std::string(unreadable)) +
                          "; write it as STORE OPERATOR VALUE, such as \"Freq = 1000:2000\"");
    }
    if (codes.empty()) {
        throw value_error("the filter " + Quoted(text) + " holds no description");
    }
    return {static_cast<LONG>(codes.size()), codes.front()};
}

// The type and points of a store's events, as its first event has them;
// type 0 when the selected block has no such store.
std::pair<LONG, LONG> TypeAndPoints(OrvoCI& client, LONG code)
{
    LONG type = 0;
    LONG points = 0;
    double time = 0.0;
    LONG format = 0;
    float rate = 0.0f;
    if (client.GetCodeSpecs(code, &type, &points, &time, &format, &rate) == 0) {
        return {0, 0};
    }
    return {type, points};
}

// Drops the read settings and filters a read set, however it ends.
class ReadSettings {
public:
    explicit ReadSettings(OrvoCI& client) : m_client(client) { Reset(); }
    ~ReadSettings() { Reset(); }
    ReadSettings(const ReadSettings&) = delete;
    ReadSettings& operator=(const ReadSettings&) = delete;

private:
    void Reset()
    {
        m_client.ResetGlobals();
        m_client.ResetFilters();
    }
    OrvoCI& m_client;
};

}  // namespace

LONG StoreCodeOf(const std::string& name)
{
    if (name.empty() || name.size() > 4) {
        throw value_error("a store name has one to four characters, not " + Quoted(name));
    }
    for (const char ch : name) {
        if (static_cast<unsigned char>(ch) <= ' ' || static_cast<unsigned char>(ch) > '~') {
            throw value_error("a store name has printable characters only, not " + Quoted(name));
        }
    }
    return PackStoreCode(name.c_str());
}

Tank::Tank(const std::string& name, bool writable, const std::string& server) : m_name(name), m_writable(writable)
{
    std::lock_guard lock(m_mutex);
    if (m_client.ConnectServer(server.c_str(), "python") < 1) {
        Fail("cannot reach the tank engine" + (server.empty() ? std::string() : " " + Quoted(server)));
    }
    // A tank to record into is made when its folder is not one yet.
    if (writable && m_client.CheckTank(name.c_str()) == 0 && m_client.InitializeTank(name.c_str()) == 0) {
        Fail("cannot make the tank " + Quoted(name));
    }
    if (m_client.OpenTank(name.c_str(), writable ? 'W' : 'R') == 0) {
        Fail("cannot open the tank " + Quoted(name));
    }
    m_open = true;
}

void Tank::Close()
{
    std::lock_guard lock(m_mutex);
    if (m_recording) {
        m_client.StopRecord();
    }
    if (m_open) {
        m_client.CloseTank();
        m_client.ReleaseServer();
        m_open = false;
        m_recording = false;
    }
}

void Tank::Fail(const std::string& what)
{
    std::string reason(m_client.GetError());
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    throw Error(what + ": " + reason);
}

void Tank::Select(const std::string& block)
{
    if (!m_open) {
        throw Error("the tank " + Quoted(m_name) + " is closed");
    }
    if (m_client.SelectBlock(block.c_str()) == 0) {
        Fail("cannot select the block " + Quoted(block));
    }
}

std::vector<std::string> Tank::BlockNames()
{
    std::lock_guard lock(m_mutex);
    if (!m_open) {
        throw Error("the tank " + Quoted(m_name) + " is closed");
    }
    std::vector<std::string> names;
    CString name;
    for (LONG index = 0; index < kMaxListed && m_client.QueryBlockName(index, &name) != 0; ++index) {
        names.emplace_back(name);
    }
    return names;
}

BlockInfo Tank::Info(const std::string& block)
{
    std::lock_guard lock(m_mutex);
    Select(block);
    BlockInfo info;
    CString state;
    CString notes;
    if (m_client.GetBlockInfo(nullptr, nullptr, &state, &info.start, &info.stop, &notes) == 0) {
        Fail("cannot read the information of block " + Quoted(block));
    }
    // The notes carry the user's text, then the store supplements.
    const std::string all(notes);
    info.notes = all.substr(0, all.find(kUserNotesEnd));
    info.recording = std::string(state).starts_with(kRecordingState);
    return info;
}

StoreInfo Tank::Scan(LONG code)
{
    StoreInfo info;
    info.name = std::string(OrvoCI::CodeToString(code));
    LONG type = 0;
    LONG format = 0;
    float rate = 0.0f;
    if (m_client.GetCodeSpecs(code, &type, &info.points, &info.firstTime, &format, &rate) == 0) {
        throw value_error("the block has no store " + Quoted(info.name));
    }
    info.kind = KindOf(type);
    info.format = std::string(OrvoCI::DFormToString(format));
    info.rate = rate;
    const bool strobes = (type & 0xFF00) == 0x0100;  // their channel word names a store

    // Per channel, the end of its last record.
    std::map<int, double> ends;
    double lastTime = info.firstTime;
    LONG* rows = nullptr;
    LONG count = m_client.GetEvents(&rows, kReadBatch, code, 0, 0, 0.0, 0.0, kHeadersOnly);
    while (count > 0) {
        for (LONG i = 0; i < count; ++i) {
            LONG* record = m_client.GetEvPtr(i, nullptr);
            if (record == nullptr) {
                throw Error("the engine answered " + std::to_string(count) + " events but handed over fewer");
            }
            lastTime = m_client.ParseEvHeaderInfo(record, kTimeItem);
            if (strobes) {
                info.count += m_client.ParseEvHeaderInfo(record, kTypeItem) == kStrobeOffType ? 0 : 1;
                continue;
            }
            ++info.count;
            const double seconds = type == kStreamType && rate > 0.0f ? OrvoCI::GetNpts(record) / info.rate : 0.0;
            ends[static_cast<int>(m_client.ParseEvHeaderInfo(record, kChannelItem))] = lastTime + seconds;
        }
        count = m_client.GetEvents(&rows, kReadBatch, code, 0, 0, 0.0, 0.0, kHeadersOnly | kContinueRead);
    }
    if (count < 0) {
        Fail("reading store " + Quoted(info.name) + " failed");
    }
    info.recordedEnd = ends.empty() ? lastTime : std::numeric_limits<double>::infinity();
    for (const auto& [channel, end] : ends) {
        info.channels.push_back(channel);
        info.recordedEnd = std::min(info.recordedEnd, end);
    }
    return info;
}

std::vector<StoreInfo> Tank::Stores(const std::string& block)
{
    std::lock_guard lock(m_mutex);
    Select(block);
    LONG* codes = nullptr;
    const LONG count = m_client.GetEventCodes(&codes, 0);
    if (count < 0) {
        Fail("cannot list the stores of block " + Quoted(block));
    }
    // The codes live only until the next read.
    const std::vector<LONG> list(codes, codes + (codes == nullptr ? 0 : std::min(count, kMaxListed)));
    std::vector<StoreInfo> stores;
    for (const LONG code : list) {
        stores.push_back(Scan(code));
    }
    return stores;
}

FloatRows Tank::TakeRows(Variant& answer, std::size_t rows, const std::string& what)
{
    SAFEARRAY* array = answer->parray;
    LONG lastPoint = -1;
    LONG lastRow = -1;
    if (answer->vt != (VT_ARRAY | VT_R4) || array == nullptr || SafeArrayGetDim(array) != 2 ||
        SafeArrayGetUBound(array, 1, &lastPoint) != S_OK || SafeArrayGetUBound(array, 2, &lastRow) != S_OK ||
        lastPoint < 0 || static_cast<std::size_t>(lastRow) + 1 != rows) {
        throw Error(what + ": the library answered waveforms of an unexpected shape");
    }
    FloatRows taken;
    taken.rows = rows;
    taken.columns = static_cast<std::size_t>(lastPoint) + 1;
    taken.array.reset(answer.release().parray);
    return taken;
}

StreamRead Tank::Stream(const std::string& block, const std::string& store, const std::vector<int>& channels,
                        double t1, std::optional<double> t2)
{
    CheckTime(t1, "t1");
    if (t2) {
        CheckTime(*t2, "t2");
        if (*t2 <= t1) {
            throw value_error("t2 must lie after t1");
        }
    }
    const LONG code = StoreCodeOf(store);
    std::lock_guard lock(m_mutex);
    Select(block);
    const StoreInfo info = Scan(code);
    if (info.kind != "stream") {
        throw value_error("store " + Quoted(store) + " is a " + info.kind + " store, not a stream");
    }
    if (!(info.rate > 0.0)) {
        throw Error("stream " + Quoted(store) + " has no sampling rate");
    }
    StreamRead read;
    read.rate = info.rate;
    // Channel 0 stands for every channel in the read settings, so a store's
    // channel 0 cannot be asked for on its own.
    std::vector<int> available;
    std::copy_if(info.channels.begin(), info.channels.end(), std::back_inserter(available),
                 [](int channel) { return channel != 0; });
    for (const int channel : channels) {
        if (!std::binary_search(available.begin(), available.end(), channel)) {
            throw value_error("store " + Quoted(store) + " has no channel " + std::to_string(channel));
        }
    }
    read.channels = channels.empty() ? available : channels;
    if (read.channels.empty()) {
        throw Error("store " + Quoted(store) + " has no channel above 0 to read");
    }

    // Every channel is read up to where all of them were recorded when the
    // store was looked over: a block still growing is read as it was then.
    // Without t1 the read starts at the store's first sample, not at the
    // block's start. The window goes to the library a fraction of a sample
    // inside the grid points it spans, so that the library's grid, which
    // holds both its ends, has exactly the samples of [t1, t2).
    const double end = t2 ? std::min(*t2, info.recordedEnd) : info.recordedEnd;
    const double first = GridIndex(std::max(t1, info.firstTime) * read.rate);
    read.start = first / read.rate;
    const double samples = GridIndex(end * read.rate) - first;
    if (!(samples >= 1.0)) {
        throw value_error("the window from " + Seconds(t1) + " holds no sample of the store, which ends at " +
                          Seconds(info.recordedEnd));
    }
    CString state;
    read.recording = m_client.GetBlockInfo(nullptr, nullptr, &state, nullptr, nullptr, nullptr) != 0 &&
                     std::string(state).starts_with(kRecordingState);

    // The channels 1 to N of a store that has just those come in one read,
    // whose array is handed over as it is; any other choice is read channel
    // by channel. The read's memory limit is a 32-bit count of bytes, with
    // room for the library's per-range cache beside its result.
    const double recordBytes = (samples + 2.0) * sizeof(float) + 64.0;
    const double longMax = std::numeric_limits<LONG>::max();
    if (2.0 * recordBytes > longMax) {
        throw value_error("a window of " + Seconds(samples / read.rate) +
                          " is too long for one read; read it in parts");
    }
    const bool allFromOne = channels.empty() && available.front() == 1 &&
                            available.back() == static_cast<int>(available.size());
    const bool together = read.channels.size() == 1 ||
                          (allFromOne && 2.0 * recordBytes * static_cast<double>(read.channels.size()) <= longMax);
    const double rows = together ? static_cast<double>(read.channels.size()) : 1.0;
    ReadSettings settings(m_client);
    m_client.SetGlobal(kT1Setting, (first - 0.25) / read.rate);
    m_client.SetGlobal(kT2Setting, (first + samples - 0.5) / read.rate);
    m_client.SetGlobal(kMemLimitSetting, std::floor(std::max(kDefaultMemLimit, 2.0 * recordBytes * rows)));

    const auto count = static_cast<std::size_t>(samples);
    const auto readRows = [&](int channel, std::size_t rowCount) {
        const std::string what = "reading " + (channel == 0 ? std::string("store ") : "channel " +
                                 std::to_string(channel) + " of store ") + Quoted(store);
        m_client.SetGlobal(kChannelSetting, channel);
        Variant answer;
        const LONG result = m_client.GetWaves(code, answer.out());
        if (result < 0) {
            Fail(what + " failed");
        }
        if (result == 0) {
            const std::string reason(m_client.GetError());
            throw Error(what + ": " + (reason.find("Local Error") != std::string::npos
                                           ? reason : std::string("no data in the window")));
        }
        FloatRows rows = TakeRows(answer, rowCount, what);
        if (rows.columns != count) {
            throw Error(what + ": the library answered " + std::to_string(rows.columns) + " samples, not " +
                        std::to_string(count));
        }
        return rows;
    };
    if (together) {
        read.data = readRows(read.channels.size() > 1 ? 0 : read.channels.front(), read.channels.size());
        return read;
    }
    read.data.rows = read.channels.size();
    read.data.columns = count;
    read.data.values.resize(read.data.rows * count);
    for (std::size_t i = 0; i < read.channels.size(); ++i) {
        const FloatRows row = readRows(read.channels[i], 1);
        const SafeArrayData data(row.array.get());
        if (data.get() == nullptr) {
            throw Error("cannot reach the waveforms the library answered");
        }
        std::copy_n(static_cast<const float*>(data.get()), count, read.data.values.begin() + i * count);
    }
    return read;
}

std::vector<Epoc> Tank::Epocs(const std::string& block, const std::string& store)
{
    const LONG code = StoreCodeOf(store);
    std::lock_guard lock(m_mutex);
    Select(block);
    if (TypeAndPoints(m_client, code).first != kStrobeOnType) {
        throw value_error("block " + Quoted(block) + " has no epoc store " + Quoted(store));
    }
    double* table = nullptr;
    const LONG count = m_client.GetEpocs(&table, code, 0.0, 0.0, 0);
    if (count < 0 || (count > 0 && table == nullptr)) {
        Fail("reading the epocs of " + Quoted(store) + " failed");
    }
    // Rows of four doubles: value, onset, offset (0 when missing), number.
    constexpr std::size_t kWidth = 4;
    std::vector<Epoc> epocs(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < epocs.size(); ++i) {
        const double* row = table + i * kWidth;
        epocs[i] = {row[0], row[1], row[2] == 0.0 ? std::numeric_limits<double>::quiet_NaN() : row[2]};
    }
    return epocs;
}

EventRead Tank::Events(const std::string& block, const std::string& store)
{
    const LONG code = StoreCodeOf(store);
    std::lock_guard lock(m_mutex);
    Select(block);
    const auto [type, points] = TypeAndPoints(m_client, code);
    if (type != kScalarType && type != kSnipType) {
        throw value_error("block " + Quoted(block) + " has no scalar or snippet store " + Quoted(store));
    }
    EventRead read;
    read.snippet = type == kSnipType;
    if (read.snippet && (points < 1 || points > kMaxSnippetPoints)) {
        throw Error("snippet store " + Quoted(store) + " says its events hold " + std::to_string(points) + " points");
    }
    read.points = read.snippet ? static_cast<std::size_t>(points) : 1;
    const std::size_t width = kEventHead + (read.snippet ? read.points * sizeof(float) : sizeof(double));
    std::vector<float> waveform(read.points);
    LONG* rows = nullptr;
    LONG count = m_client.GetEvents(&rows, kReadBatch, code, 0, 0, 0.0, 0.0, 0);
    while (count > 0) {
        read.records.resize(read.records.size() + static_cast<std::size_t>(count) * width);
        for (LONG i = 0; i < count; ++i) {
            LONG npts = points;
            if (m_client.GetEvPtr(i, nullptr) == nullptr ||
                (read.snippet && (m_client.ParseEv(i, nullptr, nullptr, nullptr, waveform.data(), &npts) < 1 ||
                                  npts != points))) {
                throw Error("an event of " + Quoted(store) + " cannot be read as its store's events are");
            }
            unsigned char* record = read.records.data() + read.count++ * width;
            const double eventTime = m_client.ParseEvHeaderInfo(i, kTimeItem);
            const auto channel = static_cast<std::int32_t>(m_client.ParseEvHeaderInfo(i, kChannelItem));
            const auto sortCode = static_cast<std::int32_t>(m_client.ParseEvHeaderInfo(i, kSortCodeItem));
            std::memcpy(record, &eventTime, sizeof eventTime);
            std::memcpy(record + 8, &channel, sizeof channel);
            std::memcpy(record + 12, &sortCode, sizeof sortCode);
            if (read.snippet) {
                std::memcpy(record + kEventHead, waveform.data(), read.points * sizeof(float));
            } else {
                const double value = m_client.ParseEvHeaderInfo(i, kValueItem);
                std::memcpy(record + kEventHead, &value, sizeof value);
            }
        }
        count = m_client.GetEvents(&rows, kReadBatch, code, 0, 0, 0.0, 0.0, kContinueRead);
    }
    if (count < 0) {
        Fail("reading the events of " + Quoted(store) + " failed");
    }
    return read;
}

TrialRead Tank::Trials(const std::string& block, const std::string& store, const std::string& filter, int channel,
                       std::optional<std::pair<double, double>> window)
{
    const LONG code = StoreCodeOf(store);
    const auto [descriptions, epocCode] = CheckFilter(filter);
    if (channel < 1 || channel > 0xFFFF) {
        throw value_error("channel must be 1 to 65535");
    }
    if (window && (!std::isfinite(window->first) || !std::isfinite(window->second) ||
                   window->second <= window->first)) {
        throw value_error("window is (start, end) in seconds from each onset, end after start");
    }
    std::lock_guard lock(m_mutex);
    Select(block);
    const StoreInfo info = Scan(code);
    if (info.kind != "stream" || !(info.rate > 0.0)) {
        throw value_error("store " + Quoted(store) + " is a " + info.kind + " store, not a stream");
    }
    if (!std::binary_search(info.channels.begin(), info.channels.end(), channel)) {
        throw value_error("store " + Quoted(store) + " has no channel " + std::to_string(channel));
    }
    ReadSettings settings(m_client);
    if (m_client.SetFilterWithDescEx(filter.c_str(), 1) != descriptions) {
        Fail("the engine refused the filter " + Quoted(filter));
    }
    if (window && m_client.SetEpocTimeFilter(epocCode, window->first, window->second, 0) == 0) {
        Fail("the engine refused the trial window");
    }
    m_client.SetGlobal(kMemLimitSetting, std::numeric_limits<LONG>::max());
    Variant answer;
    const LONG count = m_client.GetWavesOnTimeRange(code, channel, answer.out());
    if (count < 0) {
        Fail("reading the trials of " + Quoted(store) + " failed");
    }
    if (count == 0) {
        throw Error("no trial of " + Quoted(store) + " passes the filter " + Quoted(filter));
    }
    const std::vector<TimeRange>& ranges = m_client.ValidRanges();
    TrialRead read;
    read.data = TakeRows(answer, ranges.size(), "reading the trials of " + Quoted(store));
    read.rate = info.rate;
    read.start = window ? window->first : 0.0;
    // A window that the block's start or end cut short would not start at
    // its onset: its trial is left out, the rows after it moving up in the
    // library's array. Windows that ran into each other became one range,
    // which no row can stand for.
    const double length = window ? window->second - window->first : 0.0;
    const double tolerance = 0.5 / read.rate;
    const SafeArrayData rows(read.data.array.get());
    auto* values = static_cast<float*>(rows.get());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const double span = ranges[i].end - ranges[i].start;
        if (window && span > length + tolerance) {
            throw value_error("trial windows overlap from " + Seconds(ranges[i].start) + " to " +
                              Seconds(ranges[i].end) + "; narrow the window");
        }
        if (window && span < length - tolerance) {
            continue;
        }
        const std::size_t kept = read.onsets.size();
        if (kept != i) {
            std::copy_n(values + i * read.data.columns, read.data.columns, values + kept * read.data.columns);
        }
        read.onsets.push_back(ranges[i].start - read.start);
    }
    read.data.rows = read.onsets.size();
    if (read.data.rows == 0) {
        throw Error("no trial of " + Quoted(store) + " passing " + Quoted(filter) +
                    " has its whole window in the block");
    }
    return read;
}

std::string Tank::StartRecord(const std::string& block)
{
    std::lock_guard lock(m_mutex);
    if (!m_open || !m_writable) {
        throw Error("recording needs the tank open for writing: orvo.open_tank(name, mode=\"w\")");
    }
    if (m_recording) {
        throw Error("a recording into this tank is already open");
    }
    if (m_client.StartRecord(block.c_str()) == 0) {
        Fail("cannot start recording" + (block.empty() ? std::string() : " the block " + Quoted(block)));
    }
    m_recording = true;
    return std::string(m_client.GetHotBlock());
}

void Tank::StopRecord()
{
    std::lock_guard lock(m_mutex);
    if (m_recording) {
        m_client.StopRecord();
        m_recording = false;
    }
}

void Tank::CheckRecording()
{
    if (!m_recording) {
        throw Error("the recording has ended");
    }
}

void Tank::SaveBuilt(LONG records, const std::string& store)
{
    if (records > 0 && m_client.SaveEvents(nullptr, records) < 1) {
        Fail("the engine did not store the records of " + Quoted(store));
    }
}

template <typename Build>
void Tank::SaveRecords(const std::string& store, std::size_t count, Build build)
{
    LONG pos = 0;
    LONG pending = 0;
    for (std::size_t i = 0; i < count; ++i) {
        pos = build(pos, i);
        if (pos < 0) {
            throw Error("cannot build the records of " + Quoted(store) + ": out of memory");
        }
        if (++pending == static_cast<LONG>(kRecordsPerSave)) {
            SaveBuilt(pending, store);
            pos = 0;
            pending = 0;
        }
    }
    SaveBuilt(pending, store);
}

void Tank::WriteStream(const std::string& store, const StreamWrite& write)
{
    StoreCodeOf(store);
    CheckRate(write.rate, true);
    CheckTime(write.t0, "t0");
    if (write.channels < 1 || write.channels > 0xFFFF || write.samples < 1) {
        throw value_error("data must hold 1 to 65535 channels (rows) of at least one sample");
    }
    if (write.shorts && write.samples % 2 != 0) {
        throw value_error("int16 samples go two to a word: a channel needs an even number of them");
    }
    std::lock_guard lock(m_mutex);
    CheckRecording();
    const std::size_t sampleBytes = write.shorts ? sizeof(std::int16_t) : sizeof(float);
    const std::size_t perWord = sizeof(LONG) / sampleBytes;
    const auto* bytes = static_cast<const unsigned char*>(write.data);
    // Record after record in time, each holding every channel, as a live
    // recording would send them; the last records of a length that does not
    // fill one are sent on their own, being of another width.
    std::size_t width = 0;
    LONG pos = 0;
    LONG pending = 0;
    for (std::size_t first = 0; first < write.samples;) {
        const std::size_t points = std::min(kStreamPoints, write.samples - first);
        if (points != width || pending >= static_cast<LONG>(kRecordsPerSave)) {
            SaveBuilt(pending, store);
            pos = 0;
            pending = 0;
            width = points;
            m_client.SetBuildHead(store.c_str(), write.shorts ? kShortFormat : kFloatFormat,
                                  static_cast<float>(write.rate), static_cast<LONG>(points / perWord));
        }
        const double time = write.t0 + static_cast<double>(first) / write.rate;
        for (std::size_t c = 0; c < write.channels; ++c) {
            const unsigned char* samples = bytes + (c * write.samples + first) * sampleBytes;
            pos = m_client.BuildStreamEv(pos, static_cast<LONG>(c + 1), time, reinterpret_cast<const LONG*>(samples),
                                         0);
            if (pos < 0) {
                throw Error("cannot build the records of " + Quoted(store) + ": out of memory");
            }
            ++pending;
        }
        first += points;
    }
    SaveBuilt(pending, store);
}

void Tank::WriteEpocs(const std::string& store, const std::vector<Epoc>& epocs)
{
    StoreCodeOf(store);
    // Onset and offset records go in time order: an epoc ends by its
    // offset before the next one starts.
    struct Marker {
        double time;
        double value;
        bool offset;
    };
    std::vector<Marker> markers;
    for (std::size_t i = 0; i < epocs.size(); ++i) {
        const Epoc& epoc = epocs[i];
        CheckTime(epoc.onset, "onsets");
        if (i > 0 && epoc.onset < epocs[i - 1].onset) {
            throw value_error("onsets must not decrease (at index " + std::to_string(i) + ")");
        }
        if (!std::isfinite(epoc.value)) {
            throw value_error("epoc values must be finite");
        }
        markers.push_back({epoc.onset, epoc.value, false});
        if (!std::isnan(epoc.offset)) {
            const double next = i + 1 < epocs.size() ? epocs[i + 1].onset : std::numeric_limits<double>::infinity();
            if (!std::isfinite(epoc.offset) || epoc.offset < epoc.onset || epoc.offset > next) {
                throw value_error("offsets lie between their onset and the next (index " + std::to_string(i) +
                                  "), or are NaN for none");
            }
            markers.push_back({epoc.offset, epoc.value, true});
        }
    }
    std::lock_guard lock(m_mutex);
    CheckRecording();
    SaveRecords(store, markers.size(), [&](LONG pos, std::size_t i) {
        const Marker& marker = markers[i];
        // An offset names its epoc store as its second code.
        return m_client.BuildStrobeEv(pos, store.c_str(), marker.time, marker.value,
                                      marker.offset ? store.c_str() : nullptr);
    });
}

void Tank::WriteScalars(const std::string& store, const double* times, const double* values, std::size_t count,
                        int channel)
{
    StoreCodeOf(store);
    CheckTimes(times, count, "times");
    if (channel < 0 || channel > 0xFFFF) {
        throw value_error("channel must be 0 to 65535");
    }
    std::lock_guard lock(m_mutex);
    CheckRecording();
    SaveRecords(store, count, [&](LONG pos, std::size_t i) {
        return m_client.BuildScalarEv(pos, store.c_str(), channel, times[i], values[i]);
    });
}

void Tank::WriteSnippets(const std::string& store, const SnippetWrite& write)
{
    StoreCodeOf(store);
    CheckRate(write.rate, false);
    CheckTimes(write.times, write.count, "times");
    if (write.points < 1 || write.points > static_cast<std::size_t>(kMaxSnippetPoints)) {
        throw value_error("waveforms must hold 1 to " + std::to_string(kMaxSnippetPoints) + " points each");
    }
    for (std::size_t i = 0; i < write.count; ++i) {
        if (write.channels[i] < 0 || write.channels[i] > 0xFFFF) {
            throw value_error("channels must be 0 to 65535");
        }
        if (write.sortCodes[i] < std::numeric_limits<std::int16_t>::min() ||
            write.sortCodes[i] > std::numeric_limits<std::int16_t>::max()) {
            throw value_error("sort codes must be -32768 to 32767");
        }
    }
    std::lock_guard lock(m_mutex);
    CheckRecording();
    m_client.SetBuildHead(store.c_str(), kFloatFormat, static_cast<float>(write.rate),
                          static_cast<LONG>(write.points));
    // A float time, the data words, a sort code.
    std::vector<LONG> words(write.points + 2);
    SaveRecords(store, write.count, [&](LONG pos, std::size_t i) {
        words[0] = FloatBits(static_cast<float>(write.times[i]));
        std::memcpy(&words[1], write.waveforms + i * write.points, write.points * sizeof(float));
        words[write.points + 1] = write.sortCodes[i];
        return m_client.BuildSnipEv(pos, write.channels[i], write.times[i], words.data(), 1);
    });
}

}  // namespace orvo::python
