// One connection to a tank engine with one tank open, and every read and
// write the Python module offers, in plain C++: nothing here calls into
// Python, so the module calls all of it with the interpreter lock released.
//
// Failures of the library throw Error with the library's text; arguments
// that cannot be throw pybind11::value_error (a plain C++ exception until
// the module hands it to Python) before anything is read or written.
//
// Threads: the client object under a Tank serves one call at a time, so every
// public method takes the Tank's lock; a Tank may be shared, its calls then
// wait for each other.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>

namespace orvo::python {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BlockInfo {
    double start = 0.0;  // seconds since 1970
    double stop = 0.0;
    std::string notes;
    bool recording = false;
};

struct StoreInfo {
    std::string name;
    std::string kind;    // stream, snippet, scalar, epoc, strobe
    std::string format;  // the library's name of the data format
    double rate = 0.0;   // Hz; 0 for stores without one
    LONG points = 0;     // values per event
    std::vector<int> channels;  // rising
    std::uint64_t count = 0;    // events; epocs count their onsets only
    double firstTime = 0.0;     // of the first event, seconds from the block's start
    // Up to where every channel was recorded when the store was looked
    // over, seconds from the block's start.
    double recordedEnd = 0.0;
};

// A float matrix of rows by columns, row after row: the library's SAFEARRAY
// as it answered it, or a vector.
struct FloatRows {
    SafeArrayPtr array;
    std::vector<float> values;
    std::size_t rows = 0;
    std::size_t columns = 0;
};

struct StreamRead {
    FloatRows data;
    std::vector<int> channels;
    double start = 0.0;  // time of column 0, seconds from the block's start
    double rate = 0.0;
    bool recording = false;
};

struct Epoc {
    double value;
    double onset;
    double offset;  // NaN when the epoc has none
};

// Scalars and snippets: per event a time, a channel, a sort code and either
// one double (scalars) or points floats (snippets), laid out as the records
// of the module's structured arrays.
struct EventRead {
    bool snippet = false;
    std::size_t points = 1;
    std::size_t count = 0;
    std::vector<unsigned char> records;
};
inline constexpr std::size_t kEventHead = 16;  // time f8, channel i4, sort code i4

struct TrialRead {
    FloatRows data;
    std::vector<double> onsets;
    double start = 0.0;  // time of column 0 from each onset
    double rate = 0.0;
};

// Arrays handed in for writing, already checked and in the layout the
// library wants; pointers stay owned by the caller.
struct StreamWrite {
    const void* data = nullptr;  // channels rows of samples
    bool shorts = false;         // int16 samples, else float32
    std::size_t channels = 0;
    std::size_t samples = 0;
    double rate = 0.0;
    double t0 = 0.0;
};

struct SnippetWrite {
    const double* times = nullptr;
    const float* waveforms = nullptr;  // count rows of points
    const std::int64_t* channels = nullptr;
    const std::int64_t* sortCodes = nullptr;
    std::size_t count = 0;
    std::size_t points = 0;
    double rate = 0.0;
};

class Tank {
public:
    Tank(const std::string& name, bool writable, const std::string& server);
    Tank(const Tank&) = delete;
    Tank& operator=(const Tank&) = delete;

    const std::string& name() const { return m_name; }
    bool writable() const { return m_writable; }
    // Closes the tank and the connection; later calls fail. Repeating is harmless.
    void Close();

    std::vector<std::string> BlockNames();
    BlockInfo Info(const std::string& block);
    std::vector<StoreInfo> Stores(const std::string& block);

    // channels empty: every channel of the store; t2 none: to its end.
    StreamRead Stream(const std::string& block, const std::string& store, const std::vector<int>& channels,
                      double t1, std::optional<double> t2);
    std::vector<Epoc> Epocs(const std::string& block, const std::string& store);
    EventRead Events(const std::string& block, const std::string& store);
    // window: seconds around each onset; none: each epoc's own extent.
    TrialRead Trials(const std::string& block, const std::string& store, const std::string& filter, int channel,
                     std::optional<std::pair<double, double>> window);

    // The new block's name.
    std::string StartRecord(const std::string& block);
    void StopRecord();
    void WriteStream(const std::string& store, const StreamWrite& write);
    void WriteEpocs(const std::string& store, const std::vector<Epoc>& epocs);
    void WriteScalars(const std::string& store, const double* times, const double* values, std::size_t count,
                      int channel);
    void WriteSnippets(const std::string& store, const SnippetWrite& write);

private:
    // Throws Error: what failed, then the library's reason.
    [[noreturn]] void Fail(const std::string& what);
    void Select(const std::string& block);
    StoreInfo Scan(LONG code);
    void SaveBuilt(LONG records, const std::string& store);
    // Collects count 10-word records made by build(pos, i) and saves them in batches.
    template <typename Build>
    void SaveRecords(const std::string& store, std::size_t count, Build build);
    void CheckRecording();
    FloatRows TakeRows(Variant& answer, std::size_t rows, const std::string& what);
    void ReadRow(LONG code, int channel, std::size_t samples, std::vector<float>& into, const std::string& what);

    std::mutex m_mutex;
    OrvoCI m_client;
    std::string m_name;
    bool m_writable = false;
    bool m_open = false;
    bool m_recording = false;
};

// The store code of a name of one to four printable characters; throws
// pybind11::value_error for any other name.
LONG StoreCodeOf(const std::string& name);

}  // namespace orvo::python
