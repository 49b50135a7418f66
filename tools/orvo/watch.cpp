// watch: follows a block while it is recorded, once a second per store.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include <orvo/protocol/SQHead.h>
#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/session.h"

namespace orvo::tool {

namespace {

// How far back from the block's length the watch first looks for records;
// further, doubling, while it finds none there, as the records' own times
// may lag behind the clock.
constexpr double kLookBack = 1.0;
// Option bits a stream record's type may carry.
constexpr std::int32_t kStreamOptions = 0x0030;

volatile std::sig_atomic_t g_interrupted = 0;

void Interrupted(int) { g_interrupted = 1; }

struct ChannelPower {
    double sumOfSquares = 0.0;
    std::uint64_t samples = 0;
};

// One store's records since the last report, and where its reads go on.
struct StoreWatch {
    double resumeFrom = 0.0;         // the time of its latest record taken
    std::uint64_t takenAtResume = 0;  // its records taken at exactly that time
    std::uint64_t records = 0;
    double lastTime = 0.0;
    bool stream = false;
    bool rmsKnown = true;  // false once a record's samples could not be taken
    std::map<int, ChannelPower> channels;
};

class BlockWatch {
public:
    BlockWatch(Session& session, double from) : m_session(session), m_from(from) {}

    // Takes in every record read since the last call. Each store is read
    // on from its own latest record: stores whose times lag behind others'
    // still have every record counted.
    void ReadNew()
    {
        OrvoCI& client = m_session.client();
        LONG* codes = nullptr;
        const LONG stores = client.GetEventCodes(&codes, 0);
        if (stores < 0) {
            throw Failure("cannot list the block's stores: " + m_session.Reason());
        }
        // Copied: the reads below reuse the library's buffer.
        const std::vector<LONG> known(codes, codes + (codes == nullptr ? 0 : stores));
        for (const LONG code : known) {
            auto [entry, added] = m_stores.try_emplace(code);
            if (added) {
                entry->second.resumeFrom = m_from;
            }
            ReadStore(code, entry->second);
        }
    }
    // Per store, what came since the last report, over the seconds it took.
    std::vector<std::string> Report(double seconds)
    {
        std::vector<std::string> lines;
        for (auto& [code, store] : m_stores) {
            char text[96];
            std::snprintf(text, sizeof text, "%-4s %9.1f records/s  last %.3f s",
                          Shown(OrvoCI::CodeToString(code).GetString()).c_str(),
                          static_cast<double>(store.records) / seconds, store.lastTime);
            std::string line = text;
            if (store.stream) {
                line += store.rmsKnown ? "  RMS" : "  RMS unknown for this data format";
                for (const auto& [channel, power] : store.channels) {
                    if (store.rmsKnown && power.samples > 0) {
                        std::snprintf(text, sizeof text, " %d:%.4g", channel,
                                      std::sqrt(power.sumOfSquares / static_cast<double>(power.samples)));
                        line += text;
                    }
                }
            }
            lines.push_back(std::move(line));
            store.records = 0;
            store.rmsKnown = true;
            store.channels.clear();
        }
        return lines;
    }

    std::uint64_t Watched() const { return m_watched; }

private:
    void ReadStore(LONG code, StoreWatch& store)
    {
        OrvoCI& client = m_session.client();
        // Records at the time the last read ended that it took already come
        // first again, in the order they came.
        const double from = store.resumeFrom;
        std::uint64_t skip = store.takenAtResume;
        LONG options = 0;
        for (LONG count = kReadBatch; count == kReadBatch; options = kContinueRead) {
            count = client.GetEvents(nullptr, kReadBatch, code, 0, 0, from, 0.0, options);
            if (count < 0) {
                throw Failure("cannot read the block's new records: " + m_session.Reason());
            }
            for (LONG i = 0; i < count; ++i) {
                LONG dataWords = 0;
                LONG* record = client.GetEvPtr(i, &dataWords);
                if (record == nullptr) {
                    continue;
                }
                const SQHead head = ReadHeader(record);
                if (head.timeStamp == from && skip > 0) {
                    --skip;
                    continue;
                }
                store.takenAtResume = head.timeStamp == store.resumeFrom ? store.takenAtResume + 1 : 1;
                store.resumeFrom = head.timeStamp;
                Take(i, head, dataWords, record, store);
            }
        }
    }

    void Take(LONG row, const SQHead& head, LONG dataWords, LONG* record, StoreWatch& store)
    {
        OrvoCI& client = m_session.client();
        ++store.records;
        ++m_watched;
        store.lastTime = std::max(store.lastTime, head.timeStamp);
        store.stream = (head.type & ~kStreamOptions) == kStreamType;
        if (!store.stream || !store.rmsKnown) {
            return;
        }
        // Rows are padded to the widest record of the read, so a record's
        // own points may be fewer.
        const LONG room = dataWords * OrvoCI::GetNPer(head.dataFormat);
        m_samples.resize(static_cast<std::size_t>(std::max<LONG>(room, 1)));
        LONG points = room;
        if (client.ParseEv(row, nullptr, nullptr, nullptr, m_samples.data(), &points) < 0) {
            store.rmsKnown = false;
            return;
        }
        ChannelPower& power = store.channels[head.channel];
        const LONG own = std::min(points, OrvoCI::GetNpts(record));
        for (LONG k = 0; k < own; ++k) {
            const double sample = m_samples[static_cast<std::size_t>(k)];
            power.sumOfSquares += sample * sample;
        }
        power.samples += static_cast<std::uint64_t>(std::max<LONG>(own, 0));
    }

    Session& m_session;
    double m_from;
    std::map<LONG, StoreWatch> m_stores;
    std::vector<float> m_samples;
    std::uint64_t m_watched = 0;
};

struct BlockState {
    bool recording = false;
    double length = 0.0;  // seconds recorded so far
    std::string state;
};

BlockState ReadState(Session& session)
{
    CString state;
    double start = 0.0, stop = 0.0;
    if (session.client().GetBlockInfo(nullptr, nullptr, &state, &start, &stop, nullptr) == 0) {
        throw Failure("cannot read the block's information: " + session.Reason());
    }
    const std::string text(state);
    return {text.rfind("recording", 0) == 0, stop - start, text};
}

// Where the block's recent records begin, found with reads of one header.
double RecentStart(Session& session, double length)
{
    for (double back = kLookBack;; back *= 2) {
        const double from = std::max(0.0, length - back);
        if (from == 0.0 || session.client().GetEvents(nullptr, 1, 0, 0, 0, from, 0.0, kHeadersOnly) != 0) {
            return from;
        }
    }
}

// Prints the reports: on a terminal the stores' lines are drawn again in
// place; into a pipe or a file each report is one line.
class Display {
public:
    Display() : m_terminal(isatty(STDOUT_FILENO) == 1) {}

    void Show(const std::vector<std::string>& lines)
    {
        if (!m_terminal) {
            std::string joined;
            for (const std::string& line : lines) {
                joined += (joined.empty() ? "" : " | ") + line;
            }
            std::printf("%s\n", joined.empty() ? "no records" : joined.c_str());
        } else {
            if (m_shown > 0) {
                std::printf("\x1b[%zuA", m_shown);
            }
            for (const std::string& line : lines) {
                std::printf("\x1b[2K%s\n", line.c_str());
            }
            if (lines.empty()) {
                std::printf("\x1b[2Kno records\n");
            }
            m_shown = std::max<std::size_t>(lines.size(), 1);
        }
        std::fflush(stdout);
    }

private:
    bool m_terminal;
    std::size_t m_shown = 0;
};

// Sleeps until `due`; false when Ctrl-C came first.
bool SleepUntil(const timespec& due)
{
    while (g_interrupted == 0) {
        const int slept = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (slept == 0) {
            return true;
        }
        if (slept != EINTR) {
            throw Failure("cannot wait for the next second");
        }
    }
    return false;
}

double Monotonic(const timespec& at) { return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) * 1e-9; }

}  // namespace

void RunWatch(const std::string& tank, const std::string& block)
{
    Session session;
    session.OpenTank(tank, false);
    std::string name = block;
    if (name.empty()) {
        name = std::string(session.client().GetHotBlock());
        if (name.empty()) {
            throw Failure("no block of tank \"" + Shown(tank) + "\" is being recorded now; name a block to watch it");
        }
    }
    session.SelectBlock(name);
    BlockState state = ReadState(session);
    if (!state.recording) {
        throw Failure("block \"" + Shown(name) + "\" is not being recorded (" + Shown(state.state) + ")");
    }

    struct sigaction action {};
    action.sa_handler = Interrupted;  // no SA_RESTART: Ctrl-C ends the wait
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);

    std::printf("Watching block %s of %s; Ctrl-C ends.\n", Shown(name).c_str(), Shown(tank).c_str());
    BlockWatch watch(session, RecentStart(session, state.length));
    // What was recorded before the watch began is read past, not reported.
    watch.ReadNew();
    (void)watch.Report(1.0);
    Display display;
    timespec due{};
    ::clock_gettime(CLOCK_MONOTONIC, &due);
    double last = Monotonic(due);
    ++due.tv_sec;
    while (SleepUntil(due)) {
        // The state first: records saved before the stop are then all read.
        state = ReadState(session);
        watch.ReadNew();
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        display.Show(watch.Report(std::max(Monotonic(now) - last, 1e-3)));
        last = Monotonic(now);
        if (!state.recording) {
            std::printf("Block %s is no longer being recorded (%s): %llu records watched.\n", Shown(name).c_str(),
                        Shown(state.state).c_str(), static_cast<unsigned long long>(watch.Watched()));
            return;
        }
        ++due.tv_sec;
    }
    std::printf("\n");
}

}  // namespace orvo::tool
