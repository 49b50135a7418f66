// What the engine's tests and benchmarks share: 16-channel stream records
// whose every sample tells where it belongs, and reading records back.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>
#include "protocol/StoreCode.h"

namespace orvo::test {

constexpr LONG kChannels = 16;
constexpr LONG kRecordSamples = 256;
constexpr double kRate = 24414.0625;  // exact as a float too, so the grid and the records agree
constexpr LONG kFloatFormat = 0;
constexpr LONG kShortFormat = 2;

// GetEvents options: go on after the last row read; headers only; keep each
// row's record number.
constexpr LONG kContinue = 1;
constexpr LONG kHeadersOnly = 1024;
constexpr LONG kRecordIndex = 2048;

// Sample k of a channel. Neighbouring samples and channels differ, so a
// sample read from the wrong place shows.
inline std::int16_t StreamSample(std::int64_t k, LONG channel)
{
    return static_cast<std::int16_t>((k * 7919 + channel * 104729) % 65536 - 32768);
}

// Halving keeps every value exact in a float.
inline float FloatSample(std::int64_t k, LONG channel) { return StreamSample(k, channel) * 0.5f; }

inline double RecordTime(std::int64_t record) { return static_cast<double>(record * kRecordSamples) / kRate; }

// Data word j of stream record `record` of a channel. Short words hold two
// samples, the earlier in the low half.
inline LONG StreamWord(LONG format, std::int64_t record, LONG channel, LONG j)
{
    const std::int64_t first = record * kRecordSamples;
    if (format != kShortFormat) {
        return std::bit_cast<LONG>(FloatSample(first + j, channel));
    }
    const auto low = static_cast<std::uint16_t>(StreamSample(first + 2 * j, channel));
    const auto high = static_cast<std::uint16_t>(StreamSample(first + 2 * j + 1, channel));
    return static_cast<LONG>(low | std::uint32_t{high} << 16);
}

inline LONG StreamWords(LONG format) { return format == kShortFormat ? kRecordSamples / 2 : kRecordSamples; }

// A whole record: header words, then data words.
using Record = std::vector<std::int32_t>;
using Records = std::vector<Record>;

inline Record MakeRecord(SQHead head, const std::vector<std::int32_t>& data = {})
{
    head.size = kHeaderWords + static_cast<std::int32_t>(data.size());
    Record record(kHeaderWords);
    WriteHeader(record.data(), head);
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

// The records SaveStreamRecord saves, one per channel.
inline Records StreamRecords(const char* code, LONG format, std::int64_t record)
{
    Records out;
    for (LONG c = 1; c <= kChannels; ++c) {
        const SQHead head{0, 0x8101, PackStoreCode(code), static_cast<std::uint16_t>(c), 0, RecordTime(record), 0,
                          static_cast<std::uint8_t>(format), 0, 0, 0, static_cast<float>(kRate)};
        std::vector<std::int32_t> data;
        for (LONG j = 0; j < StreamWords(format); ++j) {
            data.push_back(StreamWord(format, record, c, j));
        }
        out.push_back(MakeRecord(head, data));
    }
    return out;
}

// The records of the first `batches` SaveStreamRecord batches, in the order saved.
inline Records StreamBatches(const char* code, LONG format, std::int64_t batches)
{
    Records out;
    for (std::int64_t b = 0; b < batches; ++b) {
        const Records batch = StreamRecords(code, format, b);
        out.insert(out.end(), batch.begin(), batch.end());
    }
    return out;
}

// Records as SaveEvents sends them: rows of the first record's width, each
// record zero-padded to it.
inline std::vector<LONG> Rows(const Records& records)
{
    const std::size_t width = records.empty() ? 0 : records[0].size();
    std::vector<LONG> rows(width * records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::copy_n(records[i].begin(), std::min(width, records[i].size()),
                    rows.begin() + static_cast<std::ptrdiff_t>(i * width));
    }
    return rows;
}

// Builds record `record` of every channel, words interleaved, as applications
// do, and saves them in one batch; the answer, or -1 when the build failed.
inline LONG SaveStreamRecord(OrvoCI& client, const char* code, LONG format, std::int64_t record)
{
    std::vector<LONG> words;
    for (LONG j = 0; j < StreamWords(format); ++j) {
        for (LONG c = 1; c <= kChannels; ++c) {
            words.push_back(StreamWord(format, record, c, j));
        }
    }
    client.SetBuildHead(code, format, static_cast<float>(kRate), StreamWords(format));
    if (client.BuildStreamEvMC(0, 1, kChannels, RecordTime(record), words.data(), 0) < 0) {
        return -1;
    }
    return client.SaveEvents(nullptr, kChannels);
}

inline SQHead HeadOf(const Record& record) { return ReadHeader(record.data()); }

// Records by time, equal times in arrival order: the engine's read order.
inline Records TimeOrdered(Records records)
{
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return HeadOf(a).timeStamp < HeadOf(b).timeStamp; });
    return records;
}

// "" when got is want, word for word; else where they part.
inline std::string FirstDifference(const Records& got, const Records& want)
{
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
        if (got[i] != want[i]) {
            const auto at = std::mismatch(got[i].begin(), got[i].end(), want[i].begin(), want[i].end());
            return "record " + std::to_string(i) + " differs at word " + std::to_string(at.first - got[i].begin());
        }
    }
    if (got.size() != want.size()) {
        return std::to_string(got.size()) + " records instead of " + std::to_string(want.size());
    }
    return "";
}

// What a read selects; 0 selects any.
struct Selection {
    const char* store = nullptr;
    LONG channel = 0;
    LONG sortCode = 0;
    LONG code() const { return store != nullptr ? PackStoreCode(store) : 0; }
    bool operator()(const Record& record) const
    {
        const SQHead head = HeadOf(record);
        return (code() == 0 || head.code == code()) && (channel == 0 || head.channel == channel) &&
               (sortCode == 0 || head.sortCode == sortCode);
    }
};

inline Records Selected(const Records& records, const Selection& selection)
{
    Records out;
    std::copy_if(records.begin(), records.end(), std::back_inserter(out), selection);
    return out;
}

// Appends the n rows of the last read, each cut to its record's own size.
inline void AppendRows(OrvoCI& client, LONG n, Records& out)
{
    LONG dataWords = 0;
    client.GetEvPtr(0, &dataWords);
    for (LONG i = 0; i < n; ++i) {
        const LONG* row = client.GetEvPtr(i, nullptr);
        const LONG words = std::clamp<LONG>(row[0], 0, dataWords + kHeaderWords);
        out.emplace_back(row, row + words);
    }
}

// The selected block's records that the selection takes, in continued
// batches; bounded, so an engine that never ends a read cannot hang.
inline Records ReadBlock(OrvoCI& client, const Selection& selection = {}, LONG batch = 100)
{
    Records out;
    for (LONG options = 0, rounds = 0; rounds < 100000; options = kContinue, ++rounds) {
        const LONG n = client.GetEvents(nullptr, batch, selection.code(), selection.channel, selection.sortCode,
                                        0.0, 0.0, options);
        if (n < 1) {
            break;
        }
        AppendRows(client, n, out);
    }
    return out;
}

// Header field `field` (5 sort code, 6 time) of the n rows of the last read.
inline std::vector<double> HeaderInfo(OrvoCI& client, LONG n, LONG field)
{
    std::vector<double> out;
    for (LONG i = 0; i < n; ++i) {
        out.push_back(client.ParseEvHeaderInfo(i, field));
    }
    return out;
}

// The rows of a waveform array, the array cleared.
inline std::vector<std::vector<float>> TakeRows(VARIANT& waves)
{
    std::vector<std::vector<float>> rows;
    if (waves.vt == (VT_ARRAY | VT_R4)) {
        LONG last = 0, lastRow = 0;
        SafeArrayGetUBound(waves.parray, 1, &last);
        SafeArrayGetUBound(waves.parray, 2, &lastRow);
        const auto* data = static_cast<const float*>(waves.parray->pvData);
        const auto width = static_cast<std::size_t>(last) + 1;
        for (std::size_t r = 0; r <= static_cast<std::size_t>(lastRow); ++r) {
            rows.emplace_back(data + r * width, data + (r + 1) * width);
        }
    }
    VariantClear(&waves);
    return rows;
}

}  // namespace orvo::test
