// Blocks: recording them, naming and selecting them, their information.
#include "tankengine/server/TankEngine.h"

#include "tankengine/server/Records.h"
#include "tankengine/server/Text.h"
#include "tankengine/storage/block_files.h"
#include "tankengine/storage/tank_folder.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

constexpr std::string_view kUserNoteDelimiter = "[USERNOTEDELIMITER]";

// SetBlockInfo's number: what becomes of the user's note text.
constexpr LONG kReplaceUserNote = 0;
constexpr LONG kAppendUserNote = 1;

double SecondsSince1970()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

tank::Status NeedTank(const Client& client, TankMode mode)
{
    if (!client.tank) {
        return tank::Fail(kInvalidArgument, "the client has no tank open");
    }
    if (mode == TankMode::Write && client.tank->mode != TankMode::Write) {
        return tank::Fail(kInvalidArgument,
                          "tank " + client.tank->name + " is open for reading only; open it with mode 'W'");
    }
    return {};
}

// A stop time whose difference from the start is at least length: seconds
// since 1970 carry fewer fraction bits than the length itself.
double StopTime(double start, double length)
{
    double stop = start + length;
    while (stop - start < length) {
        stop = std::nextafter(stop, std::numeric_limits<double>::infinity());
    }
    return stop;
}

bool RecordingHere(const Client& client, const std::filesystem::path& blockDir)
{
    return client.recording && client.recording->writer.Dir() == blockDir;
}

}  // namespace

tank::Result<SelectedBlock*> TankEngine::Selected(Client& client)
{
    if (!client.block) {
        return tank::Fail(kInvalidArgument, client.tank ? "no block selected" : "the client has no tank open");
    }
    return &*client.block;
}

tank::Result<double> TankEngine::LatestEventEnd(const tank::BlockReader& reader)
{
    double end = 0;
    for (const tank::StoreSummary& store : reader.Stores()) {
        const std::optional<std::uint64_t> latest = reader.LatestRecord(store.code);
        if (!latest) {
            continue;
        }
        tank::Result<SQHead> last = reader.Header(*latest);
        if (!last) {
            return last.failure();
        }
        end = std::max(end, last->timeStamp + RecordDuration(*last));
    }
    return end;
}

tank::Result<double> TankEngine::SelectedLength(Client& client)
{
    tank::Result<SelectedBlock*> block = Selected(client);
    if (!block) {
        return block.failure();
    }
    if ((*block)->stoppedLength) {
        return *(*block)->stoppedLength;
    }
    if (tank::Status refreshed = Refresh(**block); !refreshed) {
        return refreshed.failure();
    }
    tank::Result<tank::BlockInfo> info = tank::ReadBlockInfo((*block)->reader.Dir());
    if (!info) {
        return info.failure();
    }
    if (info->stopTime) {
        (*block)->stoppedLength = *info->stopTime - info->startTime;
        return *(*block)->stoppedLength;
    }
    return LatestEventEnd((*block)->reader);
}

tank::Result<bool> TankEngine::Resume(Client& client, const std::filesystem::path& blockDir)
{
    // Only a block whose writer died mid-recording is taken up again: one
    // that was stopped, is being recorded, or is no block keeps its records.
    tank::Result<tank::BlockInfo> info = tank::ReadBlockInfo(blockDir);
    if (!info || info->stopTime) {
        return false;
    }
    tank::Result<bool> hot = tank::IsBeingRecorded(blockDir);
    if (!hot || *hot) {
        return false;
    }
    tank::Result<tank::BlockWriter> writer = tank::BlockWriter::OpenForAppend(blockDir);
    if (!writer) {
        return writer.failure();
    }
    tank::Result<tank::BlockReader> reader = tank::BlockReader::Open(blockDir);
    if (!reader) {
        return reader.failure();
    }
    tank::Result<double> end = LatestEventEnd(*reader);
    if (!end) {
        return end.failure();
    }
    // The recording goes on from the end of what the block holds.
    const auto started = std::chrono::steady_clock::now() -
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(*end));
    client.nextStartTime.reset();
    client.position.reset();
    writer->SetSyncInterval(client.syncInterval);
    client.block.emplace(SelectedBlock{writer->Name(), std::move(*reader)});
    client.recording.emplace(Recording{std::move(*writer), info->startTime, started, *end});
    return true;
}

tank::Result<LONG> TankEngine::Record(Client& client, std::string_view name, std::string_view supplements)
{
    if (tank::Status writable = NeedTank(client, TankMode::Write); !writable) {
        return writable.failure();
    }
    if (client.recording) {
        return tank::Fail(kInvalidArgument,
                          "the client is recording block " + client.recording->writer.Name() + " already");
    }
    if (!name.empty()) {
        tank::Result<bool> resumed = Resume(client, client.tank->dir / std::string(name));
        if (!resumed) {
            return resumed.failure();
        }
        if (*resumed) {
            return 1;
        }
    }
    const double start = client.nextStartTime.value_or(SecondsSince1970());
    std::string notes = std::string(kUserNoteDelimiter) + std::string(supplements);
    tank::Result<tank::BlockWriter> writer = tank::BlockWriter::Create(client.tank->dir, name, notes, start);
    if (!writer) {
        return writer.failure();
    }
    tank::Result<tank::BlockReader> reader = tank::BlockReader::Open(writer->Dir());
    if (!reader) {
        (void)writer->Close(start);
        return reader.failure();
    }
    writer->SetSyncInterval(client.syncInterval);
    client.nextStartTime.reset();
    client.position.reset();
    client.block.emplace(SelectedBlock{writer->Name(), std::move(*reader)});
    client.recording.emplace(Recording{std::move(*writer), start, std::chrono::steady_clock::now(), 0});
    return 1;
}

tank::Status TankEngine::Stop(Client& client)
{
    Recording& recording = *client.recording;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - recording.started).count();
    tank::Status closed =
        recording.writer.Close(StopTime(recording.startTime, std::max(elapsed, recording.latestEnd)));
    // A writer that failed to close is let go all the same: its block is left
    // without a stop time, as after a crash, and reads back whole.
    client.recording.reset();
    return closed;
}

LONG TankEngine::StartRecord(LONG clientId, BSTR name)
{
    return WithClient(clientId, "StartRecord",
                      [&](Client& client) { return Record(client, FromBstr(name), {}); });
}

LONG TankEngine::StartRecordEx(LONG clientId, BSTR name, BSTR supplements)
{
    return WithClient(clientId, "StartRecordEx", [&](Client& client) {
        return Record(client, FromBstr(name), FromBstr(supplements));
    });
}

LONG TankEngine::StopRecord(LONG clientId)
{
    return WithClient(clientId, "StopRecord", [&](Client& client) -> tank::Result<LONG> {
        if (!client.recording) {
            return tank::Fail(kInvalidArgument, "the client is not recording");
        }
        if (tank::Status stopped = Stop(client); !stopped) {
            return stopped.failure();
        }
        return 1;
    });
}

LONG TankEngine::SetOSTime(LONG clientId, DOUBLE time)
{
    return WithClient(clientId, "SetOSTime", [&](Client& client) -> tank::Result<LONG> {
        if (!std::isfinite(time) || time < 0) {
            return tank::Fail(kInvalidArgument, "a start time is a finite number of seconds since 1970");
        }
        client.nextStartTime = time;
        return 1;
    });
}

LONG TankEngine::GetHotBlock(LONG clientId, BSTR* name)
{
    return WithClient(clientId, "GetHotBlock", [&](Client& client) -> tank::Result<LONG> {
        if (tank::Status open = NeedTank(client, TankMode::Read); !open) {
            return open.failure();
        }
        std::string hot;
        if (client.recording) {
            hot = client.recording->writer.Name();
        } else {
            tank::Result<std::vector<tank::BlockEntry>> blocks = tank::ListBlocks(client.tank->dir);
            if (!blocks) {
                return blocks.failure();
            }
            // Newest first: a recording goes on in the latest blocks.
            for (auto block = blocks->rbegin(); block != blocks->rend() && hot.empty(); ++block) {
                tank::Result<bool> recorded = tank::IsBeingRecorded(client.tank->dir / block->name);
                if (recorded && *recorded) {
                    hot = block->name;
                }
            }
        }
        if (hot.empty()) {
            return tank::Fail(kNotFound, "no block of tank " + client.tank->name + " is being recorded");
        }
        return DeliverAnswer(name, hot);
    });
}

LONG TankEngine::QueryBlockName(LONG clientId, LONG index, BSTR* name)
{
    return WithClient(clientId, "QueryBlockName", [&](Client& client) -> tank::Result<LONG> {
        if (tank::Status open = NeedTank(client, TankMode::Read); !open) {
            return open.failure();
        }
        tank::Result<std::vector<tank::BlockEntry>> blocks = tank::ListBlocks(client.tank->dir);
        if (!blocks) {
            return blocks.failure();
        }
        if (index < 0 || static_cast<std::size_t>(index) >= blocks->size()) {
            return tank::Fail(kNotFound, "no block at index " + std::to_string(index) + "; tank " + client.tank->name +
                                             " holds " + std::to_string(blocks->size()));
        }
        return DeliverAnswer(name, (*blocks)[static_cast<std::size_t>(index)].name);
    });
}

LONG TankEngine::SelectBlock(LONG clientId, BSTR name)
{
    return WithClient(clientId, "SelectBlock", [&](Client& client) -> tank::Result<LONG> {
        std::string blockName = FromBstr(name);
        if (tank::Status open = NeedTank(client, TankMode::Read); !open) {
            return open.failure();
        }
        // The name checks keep the block inside the tank's folder.
        if (const char* problem = tank::BlockNameProblem(blockName)) {
            return tank::Fail(kInvalidArgument, "\"" + blockName + "\" cannot name a block: " + problem);
        }
        std::filesystem::path dir = client.tank->dir / blockName;
        std::error_code error;
        if (!std::filesystem::is_directory(dir, error)) {
            return tank::Fail(kNotFound, "no block " + blockName + " in tank " + client.tank->name);
        }
        // A damaged block opens, its records before the damage readable;
        // one that cannot be opened at all says why.
        const tank::Result<tank::BlockInfo> info = tank::ReadBlockInfo(dir);
        tank::Result<tank::BlockReader> reader =
            info ? tank::BlockReader::Open(dir) : tank::Result<tank::BlockReader>(info.failure());
        if (!reader) {
            return tank::Fail(reader.kind(), "block " + blockName + " of tank " + client.tank->name +
                                                 " is unreadable: " + reader.error());
        }
        client.position.reset();
        client.block.emplace(SelectedBlock{blockName, std::move(*reader)});
        return 1;
    });
}

LONG TankEngine::GetBlockInfo(LONG clientId, BSTR* text1, BSTR* text2, BSTR* text3, DOUBLE* startTime,
                              DOUBLE* stopTime, BSTR* notes)
{
    return WithClient(clientId, "GetBlockInfo", [&](Client& client) -> tank::Result<LONG> {
        tank::Result<SelectedBlock*> block = Selected(client);
        if (!block) {
            return block.failure();
        }
        const std::filesystem::path& dir = (*block)->reader.Dir();
        tank::Result<tank::BlockInfo> info = tank::ReadBlockInfo(dir);
        tank::Result<std::string> text = tank::ReadBlockNotes(dir);
        if (!info || !text) {
            return (!info ? info.failure() : text.failure());
        }
        std::string state = "stopped";
        double stop = info->stopTime.value_or(0);
        if (!info->stopTime) {
            if (tank::Status refreshed = Refresh(**block); !refreshed) {
                return refreshed.failure();
            }
            tank::Result<double> latest = LatestEventEnd((*block)->reader);
            tank::Result<bool> recorded =
                RecordingHere(client, dir) ? tank::Result<bool>(true) : tank::IsBeingRecorded(dir);
            if (!latest || !recorded) {
                return !latest ? latest.failure() : recorded.failure();
            }
            double length = *latest;
            if (*recorded) {
                length = std::max(length, SecondsSince1970() - info->startTime);
                state = "recording";
            } else {
                state = "interrupted";
            }
            stop = StopTime(info->startTime, length);
        }
        if (startTime != nullptr) {
            *startTime = info->startTime;
        }
        if (stopTime != nullptr) {
            *stopTime = stop;
        }
        if (tank::Status whole = (*block)->reader.Whole(); !whole) {
            state += "; damaged: " + whole.error();
        }
        if (const std::optional<std::string>& problem = (*block)->reader.IndexProblem()) {
            state += "; index not used: " + *problem;
        }
        if (!Deliver(text1, (*block)->name) || !Deliver(text2, client.tank->name) || !Deliver(text3, state) ||
            !Deliver(notes, *text)) {
            return tank::Fail(kOutOfMemory, "out of memory");
        }
        return 1;
    });
}

LONG TankEngine::SetBlockInfo(LONG clientId, BSTR text1, LONG number, BSTR text2)
{
    return WithClient(clientId, "SetBlockInfo", [&](Client& client) -> tank::Result<LONG> {
        std::string blockName = FromBstr(text1);
        std::string userNote = FromBstr(text2);
        if (number != kReplaceUserNote && number != kAppendUserNote) {
            return tank::Fail(kInvalidArgument,
                              "number " + std::to_string(number) + " is not known; 0 replaces the note, 1 appends");
        }
        if (userNote.find(kUserNoteDelimiter) != std::string::npos) {
            return tank::Fail(kInvalidArgument, "a note cannot hold " + std::string(kUserNoteDelimiter));
        }
        if (tank::Status writable = NeedTank(client, TankMode::Write); !writable) {
            return writable.failure();
        }
        if (blockName.empty()) {
            tank::Result<SelectedBlock*> block = Selected(client);
            if (!block) {
                return block.failure();
            }
            blockName = (*block)->name;
        } else if (const char* problem = tank::BlockNameProblem(blockName)) {
            return tank::Fail(kInvalidArgument, "\"" + blockName + "\" cannot name a block: " + problem);
        }
        std::filesystem::path dir = client.tank->dir / blockName;
        // Another client's change between our read and our write would be lost.
        MutexLock changes(m_blockChanges);
        tank::Result<std::string> notes = tank::ReadBlockNotes(dir);
        if (!notes) {
            return notes.failure();
        }
        // The supplements after the delimiter stay as they are.
        const std::size_t delimiter = std::min(notes->find(kUserNoteDelimiter), notes->size());
        std::string kept = notes->substr(delimiter);
        std::string note = number == kAppendUserNote ? notes->substr(0, delimiter) + userNote : userNote;
        if (kept.empty()) {
            kept = kUserNoteDelimiter;
        }
        if (tank::Status replaced = tank::ReplaceBlockNotes(dir, note + kept); !replaced) {
            return replaced.failure();
        }
        return 1;
    });
}

}  // namespace orvo::engine
