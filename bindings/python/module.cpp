// The Python module orvo: tanks, blocks and stores as Python objects, their
// data as numpy arrays. Arrays the library answers become the numpy buffer
// as they are; what the module gathers itself is handed over without a
// further copy. The interpreter lock is released around every call into the
// library.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/python/tank.h"

namespace py = pybind11;
using namespace py::literals;

namespace orvo::python {

namespace {

struct BlockRef {
    std::shared_ptr<Tank> tank;
    std::string name;
};

struct RecordingRef {
    std::shared_ptr<Tank> tank;
    std::string block;
};

struct StreamResult {
    py::array data;
    double start;
    double rate;
    std::vector<int> channels;
    bool recording;
};

struct TrialsResult {
    py::array data;
    py::array onsets;
    double start;
    double rate;
};

// Runs f with the interpreter lock released.
template <typename F>
auto Unlocked(F&& f)
{
    py::gil_scoped_release released;
    return f();
}

// A block's information, read afresh: it changes while the block is recorded.
BlockInfo InfoOf(const BlockRef& block)
{
    return Unlocked([&] { return block.tank->Info(block.name); });
}

// A vector's elements as an array that owns them.
template <typename T>
py::array Owning(std::vector<T>&& values, const py::dtype& dtype, std::vector<py::ssize_t> shape,
                 std::vector<py::ssize_t> strides)
{
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    const T* data = owned->data();
    const py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    owned.release();
    return py::array(dtype, std::move(shape), std::move(strides), data, owner);
}

py::array FloatMatrix(FloatRows&& rows)
{
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(rows.rows), static_cast<py::ssize_t>(rows.columns)};
    const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(rows.columns * sizeof(float)),
                                           static_cast<py::ssize_t>(sizeof(float))};
    if (!rows.array) {
        return Owning(std::move(rows.values), py::dtype::of<float>(), shape, strides);
    }
    // The library's array stays locked while numpy holds its data.
    SAFEARRAY* array = rows.array.release();
    void* data = nullptr;
    if (SafeArrayAccessData(array, &data) != S_OK) {
        SafeArrayDestroy(array);
        throw Error("cannot reach the waveforms the library answered");
    }
    const py::capsule owner(array, [](void* p) {
        auto* owned = static_cast<SAFEARRAY*>(p);
        SafeArrayUnaccessData(owned);
        SafeArrayDestroy(owned);
    });
    return py::array(py::dtype::of<float>(), shape, strides, data, owner);
}

py::array EventArray(EventRead&& read)
{
    const py::dtype last = read.snippet ? py::dtype("(" + std::to_string(read.points) + ",)<f4") : py::dtype("<f8");
    const py::ssize_t itemsize = static_cast<py::ssize_t>(kEventHead) + last.itemsize();
    const py::dtype dtype(py::list(py::make_tuple("time", "channel", "sort_code", read.snippet ? "waveform" : "value")),
                          py::list(py::make_tuple(py::dtype("<f8"), py::dtype("<i4"), py::dtype("<i4"), last)),
                          py::list(py::make_tuple(0, 8, 12, kEventHead)), itemsize);
    return Owning(std::move(read.records), dtype, {static_cast<py::ssize_t>(read.count)}, {itemsize});
}

// numpy.asarray of a result: its data, in the dtype asked for.
template <typename Result>
py::object AsArray(const Result& result, const py::object& dtype, const py::object& copy)
{
    const bool copied = !copy.is_none() && copy.cast<bool>();
    return dtype.is_none() && !copied ? py::object(result.data)
                                      : result.data.attr("astype")(dtype.is_none() ? result.data.dtype() : dtype);
}

// An array argument as contiguous elements of T; numbers of another type
// are converted, anything else is a TypeError.
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Numbers(const py::handle& value, const char* what,
                                                                  const char* kinds)
{
    const py::array array = py::array::ensure(value);
    if (!array || std::string(kinds).find(array.dtype().kind()) == std::string::npos) {
        throw py::type_error(std::string(what) + " must be an array of " +
                             (std::string(kinds) == "iu" ? "integers" : "numbers"));
    }
    return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
}

template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Vector(const py::handle& value, const char* what,
                                                                 py::ssize_t size, const char* kinds = "iuf")
{
    auto array = Numbers<T>(value, what, kinds);
    if (array.ndim() != 1 || (size >= 0 && array.shape(0) != size)) {
        throw py::value_error(std::string(what) + " must be one-dimensional" +
                              (size >= 0 ? ", of " + std::to_string(size) + " elements" : std::string()));
    }
    return array;
}

void WriteStream(const RecordingRef& rec, const std::string& store, const py::array& data, double rate, double t0)
{
    const char kind = data.dtype().kind();
    const bool shorts = kind == 'i' && data.dtype().itemsize() == sizeof(std::int16_t);
    if (kind != 'f' && !shorts) {
        throw py::type_error("stream data must be floats or int16, not " + std::string(py::str(data.dtype())));
    }
    if (data.ndim() != 2) {
        throw py::value_error("stream data must be two-dimensional: channels by samples");
    }
    // In the machine's byte order, row after row.
    using Shorts = py::array_t<std::int16_t, py::array::c_style | py::array::forcecast>;
    using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;
    const py::array samples = shorts ? py::array(Shorts::ensure(data)) : py::array(Floats::ensure(data));
    StreamWrite write{samples.data(), shorts, static_cast<std::size_t>(samples.shape(0)),
                      static_cast<std::size_t>(samples.shape(1)), rate, t0};
    Unlocked([&] { rec.tank->WriteStream(store, write); });
}

void WriteEpocs(const RecordingRef& rec, const std::string& store, const py::handle& values, const py::handle& onsets,
                const py::handle& offsets)
{
    const auto onset = Vector<double>(onsets, "onsets", -1);
    const auto value = Vector<double>(values, "values", onset.shape(0));
    std::vector<Epoc> epocs(static_cast<std::size_t>(onset.shape(0)));
    for (std::size_t i = 0; i < epocs.size(); ++i) {
        epocs[i] = {value.data()[i], onset.data()[i], std::numeric_limits<double>::quiet_NaN()};
    }
    if (!offsets.is_none()) {
        const auto offset = Vector<double>(offsets, "offsets", onset.shape(0));
        for (std::size_t i = 0; i < epocs.size(); ++i) {
            epocs[i].offset = offset.data()[i];
        }
    }
    Unlocked([&] { rec.tank->WriteEpocs(store, epocs); });
}

void WriteScalars(const RecordingRef& rec, const std::string& store, const py::handle& times, const py::handle& values,
                  int channel)
{
    const auto time = Vector<double>(times, "times", -1);
    const auto value = Vector<double>(values, "values", time.shape(0));
    Unlocked([&] {
        rec.tank->WriteScalars(store, time.data(), value.data(), static_cast<std::size_t>(time.shape(0)), channel);
    });
}

void WriteSnippets(const RecordingRef& rec, const std::string& store, const py::handle& times,
                   const py::handle& waveforms, const py::handle& channels, const py::handle& sortCodes, double rate)
{
    const auto time = Vector<double>(times, "times", -1);
    const auto waves = Numbers<float>(waveforms, "waveforms", "iuf");
    if (waves.ndim() != 2 || waves.shape(0) != time.shape(0)) {
        throw py::value_error("waveforms must be two-dimensional: one row of points per time");
    }
    const auto channel = Vector<std::int64_t>(channels, "channels", time.shape(0), "iu");
    const auto sortCode = Vector<std::int64_t>(sortCodes, "sort_codes", time.shape(0), "iu");
    SnippetWrite write{time.data(), waves.data(), channel.data(), sortCode.data(),
                       static_cast<std::size_t>(time.shape(0)), static_cast<std::size_t>(waves.shape(1)), rate};
    Unlocked([&] { rec.tank->WriteSnippets(store, write); });
}

}  // namespace

}  // namespace orvo::python

PYBIND11_MODULE(orvo, m)
{
    using namespace orvo::python;
    m.doc() = "Tanks of recordings: blocks, stores and their data as numpy arrays, and recording new blocks.";
    // Without numpy the module cannot work; this says so by name.
    py::module_::import("numpy");
    m.attr("__version__") = ORVO_VERSION;
    py::register_exception<Error>(m, "Error", PyExc_RuntimeError);
    PYBIND11_NUMPY_DTYPE(Epoc, value, onset, offset);

    py::class_<StoreInfo>(m, "Store", "A store of a block: what kind of events it holds and how many.")
        .def_readonly("name", &StoreInfo::name)
        .def_readonly("kind", &StoreInfo::kind, "\"stream\", \"snippet\", \"scalar\", \"epoc\" or \"strobe\".")
        .def_readonly("rate", &StoreInfo::rate, "Sampling rate in Hz; 0 for stores without one.")
        .def_readonly("channels", &StoreInfo::channels, "The channels that hold events, rising.")
        .def_readonly("count", &StoreInfo::count, "Events (records; epocs count once each).")
        .def_readonly("format", &StoreInfo::format, "The data format: \"Float\", \"Short\", ...")
        .def("__repr__", [](const StoreInfo& s) {
            return "<orvo.Store " + s.name + ": " + s.kind + ", " + std::to_string(s.count) + " events>";
        });

    py::class_<StreamResult>(m, "Stream", "Waveforms read from a stream store.")
        .def_readonly("data", &StreamResult::data, "float32 array, channels by samples.")
        .def_readonly("start", &StreamResult::start, "Time of the first sample, seconds from the block's start.")
        .def_readonly("rate", &StreamResult::rate, "Samples per second.")
        .def_readonly("channels", &StreamResult::channels, "The channel of each row.")
        .def_readonly("recording", &StreamResult::recording,
                      "True when the block was still being recorded: the data ends where every channel had "
                      "been recorded when the read began.")
        .def_property_readonly("times", [](const StreamResult& s) {
            const auto samples = s.data.shape(1);
            py::array_t<double> times(samples);
            auto out = times.mutable_unchecked<1>();
            for (py::ssize_t i = 0; i < samples; ++i) {
                out(i) = s.start + static_cast<double>(i) / s.rate;
            }
            return times;
        }, "Time of each sample, seconds from the block's start.")
        .def("__array__", &AsArray<StreamResult>, "dtype"_a = py::none(), "copy"_a = py::none());

    py::class_<TrialsResult>(m, "Trials", "One channel of a stream cut into trials, one row each.")
        .def_readonly("data", &TrialsResult::data, "float32 array, trials by samples; a shorter trial ends in zeros.")
        .def_readonly("onsets", &TrialsResult::onsets, "Each trial's onset, seconds from the block's start.")
        .def_readonly("start", &TrialsResult::start, "Time of column 0 from each onset, seconds.")
        .def_readonly("rate", &TrialsResult::rate, "Samples per second.")
        .def("__array__", &AsArray<TrialsResult>, "dtype"_a = py::none(), "copy"_a = py::none());

    py::class_<RecordingRef>(m, "Recording",
                             "A block being recorded; a context manager that ends the recording on leaving.")
        .def_readonly("block", &RecordingRef::block, "The name of the block being recorded.")
        .def("stream", &WriteStream, "store"_a, "data"_a, "rate"_a, "t0"_a = 0.0,
             "Records data (channels by samples; floats, stored as float32, or int16, stored as Short) as "
             "channels 1 to N of a stream store, the first sample at t0 seconds.")
        .def("epoc", &WriteEpocs, "store"_a, "values"_a, "onsets"_a, "offsets"_a = py::none(),
             "Records epocs: rising onsets, each with its value and an offset (NaN or none for none) not after "
             "the next onset.")
        .def("scalar", &WriteScalars, "store"_a, "times"_a, "values"_a, "channel"_a = 1,
             "Records scalar values at rising times.")
        .def("snippets", &WriteSnippets, "store"_a, "times"_a, "waveforms"_a, "channels"_a, "sort_codes"_a,
             "rate"_a = 0.0, "Records snippets: waveforms (one row per time) with their channels and sort codes.")
        .def("close", [](const RecordingRef& r) { Unlocked([&] { r.tank->StopRecord(); }); },
             "Ends the recording; the block is then complete.")
        .def("__enter__", [](const RecordingRef& r) { return r; })
        .def("__exit__", [](const RecordingRef& r, const py::args&) { Unlocked([&] { r.tank->StopRecord(); }); });

    py::class_<BlockRef>(m, "Block", "A block (one recording) of a tank.")
        .def_readonly("name", &BlockRef::name)
        .def_property_readonly("start", [](const BlockRef& b) { return InfoOf(b).start; },
                               "Start time, seconds since 1970.")
        .def_property_readonly("stop", [](const BlockRef& b) { return InfoOf(b).stop; },
                               "Stop time, seconds since 1970.")
        .def_property_readonly("duration", [](const BlockRef& b) {
            const BlockInfo info = InfoOf(b);
            return info.stop - info.start;
        }, "Seconds from start to stop.")
        .def_property_readonly("notes", [](const BlockRef& b) { return InfoOf(b).notes; }, "The user's notes.")
        .def_property_readonly("recording", [](const BlockRef& b) { return InfoOf(b).recording; },
                               "True while the block is still being recorded.")
        .def_property_readonly("stores", [](const BlockRef& b) {
            const std::vector<StoreInfo> stores = Unlocked([&] { return b.tank->Stores(b.name); });
            py::dict named;
            for (const StoreInfo& store : stores) {
                named[py::str(store.name)] = py::cast(store);
            }
            return named;
        }, "The stores by name.")
        .def("stream", [](const BlockRef& b, const std::string& store, std::optional<std::vector<int>> channels,
                          double t1, std::optional<double> t2) {
            const std::vector<int> wanted = channels.value_or(std::vector<int>());
            StreamRead read = Unlocked([&] { return b.tank->Stream(b.name, store, wanted, t1, t2); });
            return StreamResult{FloatMatrix(std::move(read.data)), read.start, read.rate, read.channels,
                                read.recording};
        }, "store"_a, "channels"_a = py::none(), "t1"_a = 0.0, "t2"_a = py::none(),
             "The waveforms of a stream store from t1 to t2 seconds (None: to the end), all channels or those "
             "given. A block still being recorded reads as far as every channel had been recorded.")
        .def("epocs", [](const BlockRef& b, const std::string& store) {
            std::vector<Epoc> epocs = Unlocked([&] { return b.tank->Epocs(b.name, store); });
            const auto count = static_cast<py::ssize_t>(epocs.size());
            return Owning(std::move(epocs), py::dtype::of<Epoc>(), {count}, {sizeof(Epoc)});
        }, "store"_a, "The epocs of a store: a structured array of value, onset and offset (NaN for none).")
        .def("events", [](const BlockRef& b, const std::string& store) {
            return EventArray(Unlocked([&] { return b.tank->Events(b.name, store); }));
        }, "store"_a,
             "The events of a scalar or snippet store: a structured array of time, channel, sort_code and value "
             "(scalars) or waveform (snippets, float32 points; events['waveform'] is events by points).")
        .def("trials", [](const BlockRef& b, const std::string& store, const std::string& filter, int channel,
                          std::optional<std::pair<double, double>> window) {
            TrialRead read = Unlocked([&] { return b.tank->Trials(b.name, store, filter, channel, window); });
            const auto count = static_cast<py::ssize_t>(read.onsets.size());
            return TrialsResult{FloatMatrix(std::move(read.data)),
                                Owning(std::move(read.onsets), py::dtype::of<double>(), {count}, {sizeof(double)}),
                                read.start, read.rate};
        }, "store"_a, "filter"_a, "channel"_a = 1, "window"_a = py::none(),
             "One channel of a stream cut into trials: one row per epoc passing the filter (such as "
             "\"Freq = 1000:2000\"), spanning the epoc, or window=(start, end) seconds around its onset, the "
             "samples at both ends included; a trial whose window the block's start or end cuts is left out.")
        .def("__repr__", [](const BlockRef& b) { return "<orvo.Block " + b.name + ">"; });

    py::class_<Tank, std::shared_ptr<Tank>>(m, "Tank",
                                             "An open tank; a context manager that closes it on leaving. Use it "
                                             "from one thread at a time.")
        .def_property_readonly("name", &Tank::name)
        .def_property_readonly("blocks", [](const std::shared_ptr<Tank>& t) {
            const std::vector<std::string> names = Unlocked([&] { return t->BlockNames(); });
            std::vector<BlockRef> blocks;
            for (const std::string& name : names) {
                blocks.push_back({t, name});
            }
            return blocks;
        }, "The blocks, in the engine's order.")
        .def("block", [](const std::shared_ptr<Tank>& t, const std::string& name) {
            Unlocked([&] { t->Info(name); });
            return BlockRef{t, name};
        }, "name"_a, "The block of this name.")
        .def("record", [](const std::shared_ptr<Tank>& t, std::optional<std::string> name) {
            return RecordingRef{t, Unlocked([&] { return t->StartRecord(name.value_or("")); })};
        }, "block_name"_a = py::none(),
             "Starts recording a new block (named by the engine unless given); use with 'with'.")
        .def("close", [](Tank& t) { Unlocked([&] { t.Close(); }); }, "Closes the tank and its connection.")
        .def("__enter__", [](const std::shared_ptr<Tank>& t) { return t; })
        .def("__exit__", [](Tank& t, const py::args&) { Unlocked([&] { t.Close(); }); })
        .def("__repr__", [](const Tank& t) { return "<orvo.Tank " + t.name() + ">"; });

    m.def("open_tank", [](const std::string& name, const std::string& mode, std::optional<std::string> server) {
        if (mode != "r" && mode != "w") {
            throw py::value_error("mode is \"r\" (reading) or \"w\" (recording; a folder that is no tank yet "
                                  "is made one), not \"" + mode + "\"");
        }
        return Unlocked([&] { return std::make_shared<Tank>(name, mode == "w", server.value_or("")); });
    }, "name_or_folder"_a, "mode"_a = "r", "server"_a = py::none(),
          "Opens a tank by its registered name or its folder, for reading (\"r\") or recording (\"w\"; a folder "
          "that is no tank yet is made one), on the local engine or the named server.");
}
