#include "tools/orvo/event_table.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "tools/orvo/failure.h"

namespace orvo::tool {
namespace {


[[noreturn]] void ReadFailed(Session& session, const WaveRequest& request)
{
    throw Failure("reading the events of \"" + request.store + "\" failed: " + session.Reason());
}

bool Wanted(const WaveRequest& request, int channel)
{
    return request.channels.empty() ||
           std::find(request.channels.begin(), request.channels.end(), channel) != request.channels.end();
}

// Strobe records in time order: an onset (Strobe+) opens a row with its
// value, the next offset (Strobe-) closes it. Read to the block's end, so
// that an epoc starting in the window keeps an offset that lies past it.
void ReadStrobes(Session& session, const WaveRequest& request, const StoreSummary& summary, EventTable& table)
{
    OrvoCI& client = session.client();
    LONG* rows = nullptr;
    LONG count = client.GetEvents(&rows, kReadBatch, summary.code, 0, 0, request.t1, 0.0, 0);
    while (count > 0) {
        for (LONG i = 0; i < count; ++i) {
            const double time = client.ParseEvHeaderInfo(i, kTimeItem);
            if (static_cast<LONG>(client.ParseEvHeaderInfo(i, kTypeItem)) == kStrobeOffType) {
                if (!table.offsets.empty() && std::isnan(table.offsets.back())) {
                    table.offsets.back() = time;
                }
            } else if (request.t2 <= 0.0 || time < request.t2) {
                table.times.push_back(time);
                table.values.push_back(client.ParseEvHeaderInfo(i, kValueItem));
                table.offsets.push_back(std::numeric_limits<double>::quiet_NaN());
            }
        }
        count = client.GetEvents(&rows, kReadBatch, summary.code, 0, 0, request.t1, 0.0, kContinueRead);
    }
    if (count < 0) {
        ReadFailed(session, request);
    }
}

// Scalars and snippets record by record, with their channels and sort codes.
// One channel asked for is selected by the engine, several here.
void ReadRecords(Session& session, const WaveRequest& request, const StoreSummary& summary, EventTable& table)
{
    OrvoCI& client = session.client();
    const bool snippet = table.kind == EventTable::Kind::kSnippet;
    const LONG selected = request.channels.size() == 1 ? request.channels.front() : 0;
    std::vector<float> data(table.points);
    LONG* rows = nullptr;
    LONG count = client.GetEvents(&rows, kReadBatch, summary.code, selected, 0, request.t1, request.t2, 0);
    while (count > 0) {
        for (LONG i = 0; i < count; ++i) {
            LONG npts = static_cast<LONG>(data.size());
            if (client.GetEvPtr(i, nullptr) == nullptr ||
                (snippet && (client.ParseEv(i, nullptr, nullptr, nullptr, data.data(), &npts) < 1 ||
                             npts != static_cast<LONG>(data.size())))) {
                throw Failure("an event of \"" + request.store + "\" cannot be read as its store's records are");
            }
            const auto channel = static_cast<int>(client.ParseEvHeaderInfo(i, kChannelItem));
            if (!Wanted(request, channel)) {
                continue;
            }
            table.times.push_back(client.ParseEvHeaderInfo(i, kTimeItem));
            if (snippet) {
                table.values.insert(table.values.end(), data.begin(), data.end());
            } else {
                table.values.push_back(client.ParseEvHeaderInfo(i, kValueItem));
            }
            table.channels.push_back(channel);
            table.sortCodes.push_back(static_cast<int>(client.ParseEvHeaderInfo(i, kSortCodeItem)));
        }
        count = client.GetEvents(&rows, kReadBatch, summary.code, selected, 0, request.t1, request.t2, kContinueRead);
    }
    if (count < 0) {
        ReadFailed(session, request);
    }
}

}  // namespace

EventTable ReadEventTable(Session& session, const WaveRequest& request, const StoreSummary& summary)
{
    CheckWindow(request.t1, request.t2);
    if (!request.filter.empty()) {
        throw Failure("--filter applies to stream stores; \"" + request.store + "\" is a " + summary.Kind() +
                      " store");
    }
    EventTable table;
    if (summary.type == kSnipType) {
        table.kind = EventTable::Kind::kSnippet;
        table.points = static_cast<std::size_t>(std::max<LONG>(summary.points, 1));
        ReadRecords(session, request, summary, table);
    } else if (summary.type == kScalarType) {
        table.kind = EventTable::Kind::kScalar;
        ReadRecords(session, request, summary, table);
    } else {
        table.kind = EventTable::Kind::kStrobe;
        ReadStrobes(session, request, summary, table);
    }
    if (table.size() == 0) {
        throw Failure("store \"" + request.store + "\" has no events in the window");
    }
    return table;
}

}  // namespace orvo::tool
