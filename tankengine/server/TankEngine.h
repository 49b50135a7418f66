// Our tank engine: one object per process serves every client of the
// process through ITankEngine, over the tank storage of tankengine/storage.
//
// Each client has a lock of its own, held for the whole of each of its
// operations, disk work included: one client's calls run one at a time, and
// a reader of one block never waits for a recorder of another. The engine
// lock, m_mutex, guards what clients share (the client table, the errors of
// calls that named no client, the debug traces) and is only held briefly.
// Changes of files that several clients may rewrite (block notes, sort sets)
// are made one at a time under m_blockChanges. Locks are taken in that
// order: a client's, m_blockChanges, m_mutex. No exception leaves an
// operation: the call frame turns one into the operation's failure.
#pragma once

#include <orvo/protocol/ITankEngine.h>
#include "platform/thread_safety.h"
#include "tankengine/server/Filters.h"
#include "tankengine/server/SortSets.h"
#include "tankengine/storage/block_reader.h"
#include "tankengine/storage/block_writer.h"
#include "tankengine/storage/result.h"

#include <array>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace orvo::engine {

enum class TankMode { Read, Write };

struct OpenTankState {
    std::string name;             // as the client named it
    std::filesystem::path dir;
    TankMode mode;
};

struct Recording {
    tank::BlockWriter writer;
    double startTime;                                   // seconds since 1970
    std::chrono::steady_clock::time_point started;
    double latestEnd = 0;                               // end of the latest event, from the start
};

struct SelectedBlock {
    std::string name;
    tank::BlockReader reader;
    // A stopped block's length never changes; every read needs it.
    std::optional<double> stoppedLength = std::nullopt;
};

// What a read asked for, the continuation bit left out; a continued read
// must ask for the same.
struct ReadSelection {
    LONG code;
    LONG channel;
    LONG sortCode;
    double start;
    double end;
    LONG options;
    bool operator==(const ReadSelection&) const = default;
};

// Where the last read stopped: after this record in the order of the read,
// or (none examined yet) at the start of the window.
struct ReadPosition {
    ReadSelection selection;
    std::optional<tank::IndexEntry> after;
};

// A record a read answers.
struct ReadRow {
    std::uint64_t record;
    tank::Frame frame;  // where its data lie
    SQHead head;        // as answered, sort code applied
};

struct Client {
    std::string error;
    std::optional<OpenTankState> tank;
    std::optional<SelectedBlock> block;
    std::optional<Recording> recording;
    std::optional<ReadPosition> position;
    std::optional<double> nextStartTime;  // from SetOSTime
    std::chrono::milliseconds syncInterval = tank::BlockWriter::kSyncInterval;  // record option 1
    SortSetsInUse sorting;                // from SetUseSortName
    ClientFilters filters;                // filters, their settings, the epoc index
    std::vector<ReadRow> readRows;        // ReadEvents' rows, kept for the next call's
};

// A client and the lock its operations hold. Shared by the table and the
// operations running for it, so that deleting the client while one runs
// leaves that one its state; a deleted client answers nothing more.
struct ClientSlot {
    ClientSlot(LONG clientId, std::string clientName) : id(clientId), name(std::move(clientName)) {}
    const LONG id;
    const std::string name;
    Mutex mutex;
    Client client GUARDED_BY(mutex);
    bool deleted GUARDED_BY(mutex) = false;
};

// A stored sort set and the block it belongs to.
struct StoredSet {
    SelectedBlock* block;
    SortSet set;
};

class TankEngine final : public ComObject<ITankEngine> {
public:
    TankEngine() = default;

    LONG AddClient(BSTR name) override;
    LONG AddTank(BSTR name, BSTR path) override;
    LONG CloseTank(LONG clientId) override;
    LONG DeleteClient(LONG clientId) override;
    LONG RemoveTank(BSTR name) override;
    LONG GetBlockInfo(LONG clientId, BSTR* text1, BSTR* text2, BSTR* text3, DOUBLE* startTime,
                      DOUBLE* stopTime, BSTR* notes) override;
    LONG GetError(LONG clientId, BSTR* text) override;
    LONG ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                    DOUBLE startTime, DOUBLE endTime, LONG options) override;
    LONG GetStatus(LONG clientId, LONG code) override;
    LONG InitializeTank(BSTR name) override;
    LONG OpenTank(LONG clientId, BSTR name, LONG mode) override;
    LONG SaveEvents(LONG clientId, VARIANT* records) override;
    LONG SelectBlock(LONG clientId, BSTR name) override;
    LONG Reserved16() override { return 0; }
    LONG StartRecord(LONG clientId, BSTR name) override;
    LONG StopRecord(LONG clientId) override;
    LONG Reserved19() override { return 0; }
    LONG SetOSTime(LONG clientId, DOUBLE time) override;
    LONG QueryBlockName(LONG clientId, LONG index, BSTR* name) override;
    LONG GetEventCodes(LONG clientId, VARIANT* codes, LONG eventType) override;
    LONG ResetTank(BSTR name) override;
    LONG CheckTank(BSTR name) override;
    LONG GetEnumTank(LONG index, BSTR* name) override;
    LONG GetDebug(BSTR name, BSTR* text) override;
    LONG EnabTankDebug(BSTR name, LONG enable) override;
    LONG GetTankItem(BSTR tank, BSTR item, BSTR* text) override;
    LONG Reserved29() override { return 0; }
    LONG GetHotBlock(LONG clientId, BSTR* name) override;
    LONG Reserved31() override { return 0; }
    LONG GetEpocCodes(LONG clientId, VARIANT* codes) override;
    LONG GetEpocs(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime,
                  LONG option) override;
    LONG ResetFilters(LONG clientId, LONG arg1, LONG arg2, DOUBLE arg3, DOUBLE arg4) override;
    LONG Reserved35() override { return 0; }
    LONG CreateEpocIndexing(LONG clientId) override;
    LONG ClearEpocIndexing(LONG clientId) override;
    LONG IndexEvent(LONG clientId, LONG arg1, LONG arg2, LONG arg3) override;
    LONG SetBlockInfo(LONG clientId, BSTR text1, LONG number, BSTR text2) override;
    LONG QryEpocAtIdx(LONG clientId, LONG code, LONG index, LONG item, DOUBLE* value) override;
    LONG GetFilterTolerance(LONG clientId, DOUBLE* tolerance) override;
    LONG SetFilterTolerance(LONG clientId, DOUBLE tolerance) override;
    LONG SetFilterEx(LONG clientId, LONG code, LONG op, DOUBLE value1, DOUBLE value2, LONG extra1,
                     LONG extra2) override;
    LONG GetCacheDelay(LONG clientId, DOUBLE* delay) override;
    LONG SetCacheDelay(LONG clientId, DOUBLE delay) override;
    LONG SetFilterWithDescEx(LONG clientId, BSTR description, LONG respectOffset) override;
    LONG SetFilterWithDimension(LONG clientId, LONG dim1, LONG dim2, BSTR description, LONG flag,
                                LONG respectOffset) override;
    LONG SetEpocTimeFilter(LONG clientId, LONG code, DOUBLE startTime, DOUBLE endTime,
                           LONG ignoreOffset) override;
    LONG SetTimeRefEpoc(LONG clientId, LONG code, LONG enable) override;
    LONG GetEpocsEx(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime, LONG arg3,
                    LONG arg4) override;
    LONG GetValidTimeRanges(LONG clientId, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime,
                            LONG maxRanges) override;
    LONG QryEpocAtEx(LONG clientId, VARIANT* values, LONG code, DOUBLE time, LONG respectOffset) override;
    LONG StartRecordEx(LONG clientId, BSTR name, BSTR supplements) override;
    LONG SetUseSortName(LONG clientId, BSTR sortName, LONG option) override;
    LONG SaveSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, VARIANT* pairs, BSTR memo,
                      LONG kind) override;
    LONG GetSortNameList(LONG clientId, LONG code, LONG arg1, LONG arg2, VARIANT* names) override;
    LONG GetSortCondition(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG kind,
                          BSTR* condition) override;
    LONG DeleteSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG option) override;
    LONG GetSortChanMap(LONG clientId, LONG code, BSTR sortName, LONG option, BSTR* map) override;
    LONG SetRecordOption(LONG clientId, DOUBLE value, LONG option, BSTR data) override;

private:
    static constexpr LONG kMaxClients = 999;

    // What a failed operation answers, unless it answers a count: those
    // answer kCountFailed, as 0 is "nothing" for them.
    static constexpr LONG kFailed = 0;

    // Client-bound operations run through here: for a known client, under
    // its lock; a failure becomes the client's error text and the answer
    // kFailed (CountWithClient: kCountFailed), and so does an exception.
    using ClientOperation = std::function<tank::Result<LONG>(Client&)>;
    template <class Operation>
    LONG WithClient(LONG clientId, std::string_view operation, const Operation& run) EXCLUDES(m_mutex)
    {
        // A std::function that refers to the lambda is made without
        // allocating, so nothing can throw before the frame catches.
        return RunWithClient(clientId, operation, kFailed, std::cref(run));
    }
    template <class Operation>
    LONG CountWithClient(LONG clientId, std::string_view operation, const Operation& run) EXCLUDES(m_mutex)
    {
        return RunWithClient(clientId, operation, kCountFailed, std::cref(run));
    }
    LONG RunWithClient(LONG clientId, std::string_view operation, LONG failed, const ClientOperation& run) noexcept
        EXCLUDES(m_mutex);
    // The same for operations that name no client; they take the locks they
    // need themselves. Failures are kept for the thread that made the call,
    // as only its next GetError can be about them: another client's thread
    // must not see or take them.
    using FreeOperation = std::function<tank::Result<LONG>()>;
    template <class Operation>
    LONG WithoutClient(std::string_view operation, const Operation& run) EXCLUDES(m_mutex)
    {
        return RunWithoutClient(operation, std::cref(run));
    }
    LONG RunWithoutClient(std::string_view operation, const FreeOperation& run) noexcept EXCLUDES(m_mutex);
    // The client of an id; null for an id that names none.
    std::shared_ptr<ClientSlot> Find(LONG clientId) EXCLUDES(m_mutex);
    // Every client there is now, by id.
    std::vector<std::shared_ptr<ClientSlot>> AllClients() EXCLUDES(m_mutex);
    // Keeps the failure of a call that named no client for the calling thread.
    void KeepFree(std::string text) noexcept EXCLUDES(m_mutex);
    // GetError's answer: a client's error (none for null) and the calling
    // thread's error of calls that named no client.
    LONG AnswerError(std::string* clientError, BSTR* text) EXCLUDES(m_mutex);

    // Tanks (Tanks.cpp).
    static tank::Result<std::filesystem::path> TankDir(std::string_view name);
    // The folder of a tank that exists, or why there is none.
    static tank::Result<std::filesystem::path> ExistingTankDir(std::string_view name);
    // A client's filter time settings (tolerance, cache delay): seconds, finite
    // and not negative.
    LONG GetTime(LONG clientId, const char* operation, double ClientFilters::*setting, DOUBLE* out) EXCLUDES(m_mutex);
    LONG SetTime(LONG clientId, const char* operation, double ClientFilters::*setting, DOUBLE seconds)
        EXCLUDES(m_mutex);
    static tank::Status CloseClientTank(Client& client);

    // Blocks and recording (Blocks.cpp).
    static tank::Result<LONG> Record(Client& client, std::string_view name, std::string_view supplements);
    static tank::Status Stop(Client& client);
    static tank::Result<SelectedBlock*> Selected(Client& client);
    static tank::Result<double> LatestEventEnd(const tank::BlockReader& reader);
    // Takes up recording an interrupted block again; false when blockDir is
    // no such block.
    static tank::Result<bool> Resume(Client& client, const std::filesystem::path& blockDir);
    static tank::Result<double> SelectedLength(Client& client);

    // Sort codes (SortCodes.cpp): the selected block, up to date; changing
    // its sort sets needs the tank open for writing.
    static tank::Result<SelectedBlock*> SortBlock(Client& client, bool changing);
    // The stored set of a target, in the client's block, which must be open
    // for writing when changing it.
    static tank::Result<StoredSet> FindSet(Client& client, LONG code, LONG channel, const std::string& name,
                                           bool changing);

    // Events (Events.cpp).
    static tank::Status Refresh(SelectedBlock& block);
    static tank::Result<LONG> Read(Client& client, VARIANT* events, LONG maxEvents, const ReadSelection& selection,
                                   bool continuing);

    // Epocs (Epocs.cpp) and filters (Filters.cpp).
    static tank::Result<const tank::BlockReader*> FreshReader(Client& client);
    static tank::Result<EpocTable> EpocsOf(Client& client, std::int32_t code);
    static tank::Result<LONG> EpocRows(Client& client, VARIANT* epocs, LONG code, double start, double end,
                                       LONG maxRows, LONG option);
    static tank::Result<std::vector<TimeRange>> ValidRanges(Client& client, double start, double end);
    static tank::Result<ReadWindow> WindowOf(Client& client, std::int32_t code, double start, double end);

    // Debug traces (Debug.cpp), by tank folder.
    void Trace(const std::filesystem::path& tank, LONG clientId, std::string_view operation,
               const tank::Result<LONG>& result) EXCLUDES(m_mutex);
    // The state of the clients using a tank (all clients for an empty path)
    // and the tank's trace.
    std::string Report(const std::filesystem::path& tank) EXCLUDES(m_mutex);

    ~TankEngine() override;

    Mutex m_blockChanges;
    Mutex m_mutex;
    std::array<std::shared_ptr<ClientSlot>, kMaxClients + 1> m_clients GUARDED_BY(m_mutex);  // by id; 0 unused
    // Failures of calls that named no client, by calling thread; a thread's
    // entry goes once GetError has answered it.
    std::map<std::thread::id, std::string> m_freeErrors GUARDED_BY(m_mutex);
    // Tanks whose debugging is on.
    std::map<std::filesystem::path, std::deque<std::string>> m_traces GUARDED_BY(m_mutex);
};

}  // namespace orvo::engine
