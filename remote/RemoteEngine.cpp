#include "remote/RemoteEngine.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include <orvo/platform/bstr.h>
#include <orvo/platform/com_error.h>

#include "protocol/EngineWire.h"

namespace orvo::remote {
namespace {

using capnp::DynamicStruct;

// Refuses an answer's array, before it is made, that holds more than this
// client takes: a server, broken or hostile, could otherwise claim an array
// of any size and have the client allocate it.
void CheckAnswer(const AnswerLimit& limit, VARTYPE elementType, capnp::List<wire::Bound>::Reader bounds)
{
    const std::uint64_t bytes = wire::ArrayBytes(elementType, bounds);
    if (bytes > limit.maxBytes) {
        wire::Refuse("the server's answer of " + std::to_string(bytes) + " bytes is more than the " +
                     std::to_string(limit.maxBytes) + " this client takes (ORVO_REMOTE_MAX_ANSWER_MB)");
    }
    if (bounds[0].getElements() > limit.maxRows) {
        wire::Refuse("the server answered " + std::to_string(bounds[0].getElements()) + " rows where at most " +
                     std::to_string(limit.maxRows) + " were asked for");
    }
}

// Receives an answer's array that was too large for the answer itself.
class SinkService final : public wire::ArraySink::Server {
public:
    explicit SinkService(const AnswerLimit& limit) : m_limit(limit) {}

    kj::Promise<void> begin(BeginContext context) override
    {
        auto params = context.getParams();
        CheckAnswer(m_limit, params.getElementType(), params.getBounds());
        m_began = true;
        m_assembly = wire::ArrayAssembly(wire::NewArray(params.getElementType(), params.getBounds()));
        return kj::READY_NOW;
    }
    kj::Promise<void> write(WriteContext context) override
    {
        m_assembly.Append(context.getParams().getChunk());
        return kj::READY_NOW;
    }
    // Null when nothing was sent.
    SafeArrayPtr Take() { return m_began ? m_assembly.Take() : SafeArrayPtr(); }

private:
    const AnswerLimit m_limit;
    bool m_began = false;
    wire::ArrayAssembly m_assembly{SafeArrayPtr()};
};

// One call's request, later its answer, and where the slot's arguments have
// got to in them.
struct CallFields {
    DynamicStruct::Builder params;
    wire::FieldCursor cursor;
    AnswerLimit limit;
    SinkService* sink = nullptr;
    // An argument too large for the request, and where it is to be named.
    SAFEARRAY* upload = nullptr;
    wire::SafeArray::Builder uploadHead = nullptr;
    DynamicStruct::Reader results = {};
};

template <class T>
struct Passed {
    T value;
    void Put(CallFields& call) { call.params.set(call.cursor.NextParam(), value); }
    void Take(CallFields&) {}
};

template <>
struct Passed<BSTR> {
    BSTR value;
    void Put(CallFields& call) { wire::PutBstr(call.params, call.cursor.NextParam(), value); }
    void Take(CallFields&) {}
};

template <>
struct Passed<BSTR*> {
    BSTR* value;
    void Put(CallFields&) {}
    void Take(CallFields& call) { *value = wire::TakeBstr(call.results, call.cursor.NextResult()).release(); }
};

template <>
struct Passed<DOUBLE*> {
    DOUBLE* value;
    void Put(CallFields&) {}
    void Take(CallFields& call) { *value = call.results.get(call.cursor.NextResult()).as<double>(); }
};

template <>
struct Passed<VARIANT*> {
    VARIANT* value;
    bool in = false;
    void Put(CallFields& call)
    {
        in = call.cursor.VariantGoesIn();
        if (!in) {
            return;
        }
        auto message = call.params.init(call.cursor.NextParam()).as<wire::Variant>();
        call.upload = wire::PutVariant(*value, message);
        if (call.upload != nullptr) {
            call.uploadHead = message.getArray();
        }
    }
    void Take(CallFields& call)
    {
        if (in) {
            return;
        }
        const auto message = call.results.get(call.cursor.NextResult()).as<wire::Variant>();
        if (message.isArray() && !message.getArray().isStreamed()) {
            CheckAnswer(call.limit, message.getArray().getElementType(), message.getArray().getBounds());
        }
        wire::TakeVariant(message, value, call.sink != nullptr ? call.sink->Take() : SafeArrayPtr());
    }
};

// Writes an argument too large for one message ahead of its call, through an
// upload the server makes for it.
kj::Promise<wire::ArrayUpload::Client> Upload(capnp::DynamicCapability::Client& engine, SAFEARRAY* array)
{
    auto request = engine.newRequest("newUpload");
    VARTYPE elementType = VT_EMPTY;
    SafeArrayGetVartype(array, &elementType);
    request.set("elementType", elementType);
    wire::PutBounds(array, request.init("bounds", array->cDims).as<capnp::List<wire::Bound>>());
    return request.send().then([array](capnp::Response<DynamicStruct> answer) {
        auto upload = answer.get("upload").as<wire::ArrayUpload>();
        return wire::WriteChunks(array,
                                 [upload](kj::ArrayPtr<const kj::byte> chunk) mutable {
                                     auto write = upload.writeRequest();
                                     write.setChunk(chunk);
                                     return write.send();
                                 })
            .then([upload]() mutable { return upload; });
    });
}

}  // namespace

template <class... Args>
LONG RemoteEngine::Call(kj::StringPtr name, Args... args)
{
    return CallWithin(AnswerLimit{m_maxAnswerBytes}, name, args...);
}

template <class... Args>
LONG RemoteEngine::CallWithin(const AnswerLimit& limit, kj::StringPtr name, Args... args)
{
    const capnp::InterfaceSchema::Method method = wire::EngineSchema().getMethodByName(name);
    try {
        return m_link->Run<LONG>([&]() -> kj::Promise<LONG> {
            auto request = m_link->Engine().newRequest(method);
            auto call = kj::heap<CallFields>(CallFields{request, wire::FieldCursor(method), limit});
            std::tuple<Passed<Args>...> arguments{Passed<Args>{args}...};
            std::apply([&](auto&... argument) { (argument.Put(*call), ...); }, arguments);
            if (method.getParamType().findFieldByName("sink") != nullptr) {
                auto sink = kj::heap<SinkService>(limit);
                call->sink = sink.get();
                request.set("sink", wire::ArraySink::Client(kj::mv(sink)));
            }
            kj::Promise<void> ready = kj::READY_NOW;
            if (call->upload != nullptr) {
                ready = Upload(m_link->Engine(), call->upload).then([&call = *call](wire::ArrayUpload::Client upload) {
                    call.uploadHead.setUploaded(kj::mv(upload));
                });
            }
            return ready
                .then([request = kj::mv(request)]() mutable -> kj::Promise<capnp::Response<DynamicStruct>> {
                    return request.send();
                })
                .then([call = kj::mv(call), arguments](capnp::Response<DynamicStruct> answer) mutable {
                    call->results = answer;
                    std::apply([&](auto&... argument) { (argument.Take(*call), ...); }, arguments);
                    return answer.get("result").as<int32_t>();
                });
        });
    } catch (const kj::Exception& failure) {
        const char* why = failure.getType() == kj::Exception::Type::DISCONNECTED
                              ? ": the connection to the engine server was lost: "
                              : ": the call to the engine server failed: ";
        KeepFailure(wire::OperationName(method) + why + failure.getDescription().cStr());
        return wire::FailureOf(method);
    }
}

void RemoteEngine::KeepFailure(std::string text)
{
    std::lock_guard lock(m_failuresMutex);
    m_failures[std::this_thread::get_id()] = std::move(text);
}

std::string RemoteEngine::TakeFailure()
{
    std::lock_guard lock(m_failuresMutex);
    auto failure = m_failures.extract(std::this_thread::get_id());
    return failure ? std::move(failure.mapped()) : std::string();
}

LONG RemoteEngine::GetError(LONG clientId, BSTR* text)
{
    std::string failure = TakeFailure();
    BStr serverText;
    const LONG result = Call("getError", clientId, serverText.out());
    // GetError itself may have failed on the way.
    for (const std::string& more : {BstrToAnsi(serverText.get()), TakeFailure()}) {
        if (!more.empty()) {
            failure += (failure.empty() ? "" : "\n") + more;
        }
    }
    if (failure.empty()) {
        return result;
    }
    *text = BStr(failure).release();
    return 1;
}

LONG RemoteEngine::AddClient(BSTR name) { return Call("addClient", name); }
LONG RemoteEngine::AddTank(BSTR name, BSTR path) { return Call("addTank", name, path); }
LONG RemoteEngine::CloseTank(LONG clientId) { return Call("closeTank", clientId); }
LONG RemoteEngine::DeleteClient(LONG clientId) { return Call("deleteClient", clientId); }
LONG RemoteEngine::RemoveTank(BSTR name) { return Call("removeTank", name); }
LONG RemoteEngine::GetBlockInfo(LONG clientId, BSTR* text1, BSTR* text2, BSTR* text3, DOUBLE* startTime,
                                DOUBLE* stopTime, BSTR* notes)
{
    return Call("getBlockInfo", clientId, text1, text2, text3, startTime, stopTime, notes);
}
LONG RemoteEngine::ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel,
                              LONG sortCode, DOUBLE startTime, DOUBLE endTime, LONG options)
{
    const AnswerLimit limit{m_maxAnswerBytes, static_cast<std::uint32_t>(std::max<LONG>(maxEvents, 0))};
    return CallWithin(limit, "readEvents", clientId, events, maxEvents, code, channel, sortCode, startTime, endTime,
                      options);
}
LONG RemoteEngine::GetStatus(LONG clientId, LONG code) { return Call("getStatus", clientId, code); }
LONG RemoteEngine::InitializeTank(BSTR name) { return Call("initializeTank", name); }
LONG RemoteEngine::OpenTank(LONG clientId, BSTR name, LONG mode) { return Call("openTank", clientId, name, mode); }
LONG RemoteEngine::SaveEvents(LONG clientId, VARIANT* records) { return Call("saveEvents", clientId, records); }
LONG RemoteEngine::SelectBlock(LONG clientId, BSTR name) { return Call("selectBlock", clientId, name); }
LONG RemoteEngine::StartRecord(LONG clientId, BSTR name) { return Call("startRecord", clientId, name); }
LONG RemoteEngine::StopRecord(LONG clientId) { return Call("stopRecord", clientId); }
LONG RemoteEngine::SetOSTime(LONG clientId, DOUBLE time) { return Call("setOSTime", clientId, time); }
LONG RemoteEngine::QueryBlockName(LONG clientId, LONG index, BSTR* name)
{
    return Call("queryBlockName", clientId, index, name);
}
LONG RemoteEngine::GetEventCodes(LONG clientId, VARIANT* codes, LONG eventType)
{
    return Call("getEventCodes", clientId, codes, eventType);
}
LONG RemoteEngine::ResetTank(BSTR name) { return Call("resetTank", name); }
LONG RemoteEngine::CheckTank(BSTR name) { return Call("checkTank", name); }
LONG RemoteEngine::GetEnumTank(LONG index, BSTR* name) { return Call("getEnumTank", index, name); }
LONG RemoteEngine::GetDebug(BSTR name, BSTR* text) { return Call("getDebug", name, text); }
LONG RemoteEngine::EnabTankDebug(BSTR name, LONG enable) { return Call("enabTankDebug", name, enable); }
LONG RemoteEngine::GetTankItem(BSTR tank, BSTR item, BSTR* text) { return Call("getTankItem", tank, item, text); }
LONG RemoteEngine::GetHotBlock(LONG clientId, BSTR* name) { return Call("getHotBlock", clientId, name); }
LONG RemoteEngine::GetEpocCodes(LONG clientId, VARIANT* codes) { return Call("getEpocCodes", clientId, codes); }
LONG RemoteEngine::GetEpocs(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime,
                            LONG option)
{
    return Call("getEpocs", clientId, epocs, code, startTime, endTime, option);
}
LONG RemoteEngine::ResetFilters(LONG clientId, LONG arg1, LONG arg2, DOUBLE arg3, DOUBLE arg4)
{
    return Call("resetFilters", clientId, arg1, arg2, arg3, arg4);
}
LONG RemoteEngine::CreateEpocIndexing(LONG clientId) { return Call("createEpocIndexing", clientId); }
LONG RemoteEngine::ClearEpocIndexing(LONG clientId) { return Call("clearEpocIndexing", clientId); }
LONG RemoteEngine::IndexEvent(LONG clientId, LONG arg1, LONG arg2, LONG arg3)
{
    return Call("indexEvent", clientId, arg1, arg2, arg3);
}
LONG RemoteEngine::SetBlockInfo(LONG clientId, BSTR text1, LONG number, BSTR text2)
{
    return Call("setBlockInfo", clientId, text1, number, text2);
}
LONG RemoteEngine::QryEpocAtIdx(LONG clientId, LONG code, LONG index, LONG item, DOUBLE* value)
{
    return Call("qryEpocAtIdx", clientId, code, index, item, value);
}
LONG RemoteEngine::GetFilterTolerance(LONG clientId, DOUBLE* tolerance)
{
    return Call("getFilterTolerance", clientId, tolerance);
}
LONG RemoteEngine::SetFilterTolerance(LONG clientId, DOUBLE tolerance)
{
    return Call("setFilterTolerance", clientId, tolerance);
}
LONG RemoteEngine::SetFilterEx(LONG clientId, LONG code, LONG op, DOUBLE value1, DOUBLE value2, LONG extra1,
                               LONG extra2)
{
    return Call("setFilterEx", clientId, code, op, value1, value2, extra1, extra2);
}
LONG RemoteEngine::GetCacheDelay(LONG clientId, DOUBLE* delay) { return Call("getCacheDelay", clientId, delay); }
LONG RemoteEngine::SetCacheDelay(LONG clientId, DOUBLE delay) { return Call("setCacheDelay", clientId, delay); }
LONG RemoteEngine::SetFilterWithDescEx(LONG clientId, BSTR description, LONG respectOffset)
{
    return Call("setFilterWithDescEx", clientId, description, respectOffset);
}
LONG RemoteEngine::SetFilterWithDimension(LONG clientId, LONG dim1, LONG dim2, BSTR description, LONG flag,
                                          LONG respectOffset)
{
    return Call("setFilterWithDimension", clientId, dim1, dim2, description, flag, respectOffset);
}
LONG RemoteEngine::SetEpocTimeFilter(LONG clientId, LONG code, DOUBLE startTime, DOUBLE endTime, LONG ignoreOffset)
{
    return Call("setEpocTimeFilter", clientId, code, startTime, endTime, ignoreOffset);
}
LONG RemoteEngine::SetTimeRefEpoc(LONG clientId, LONG code, LONG enable)
{
    return Call("setTimeRefEpoc", clientId, code, enable);
}
LONG RemoteEngine::GetEpocsEx(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime, LONG arg3,
                              LONG arg4)
{
    return Call("getEpocsEx", clientId, epocs, code, startTime, endTime, arg3, arg4);
}
LONG RemoteEngine::GetValidTimeRanges(LONG clientId, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime,
                                      LONG maxRanges)
{
    return Call("getValidTimeRanges", clientId, ranges, startTime, endTime, maxRanges);
}
LONG RemoteEngine::QryEpocAtEx(LONG clientId, VARIANT* values, LONG code, DOUBLE time, LONG respectOffset)
{
    return Call("qryEpocAtEx", clientId, values, code, time, respectOffset);
}
LONG RemoteEngine::StartRecordEx(LONG clientId, BSTR name, BSTR supplements)
{
    return Call("startRecordEx", clientId, name, supplements);
}
LONG RemoteEngine::SetUseSortName(LONG clientId, BSTR sortName, LONG option)
{
    return Call("setUseSortName", clientId, sortName, option);
}
LONG RemoteEngine::SaveSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, VARIANT* pairs, BSTR memo,
                                LONG kind)
{
    return Call("saveSortCode", clientId, code, channel, sortName, pairs, memo, kind);
}
LONG RemoteEngine::GetSortNameList(LONG clientId, LONG code, LONG arg1, LONG arg2, VARIANT* names)
{
    return Call("getSortNameList", clientId, code, arg1, arg2, names);
}
LONG RemoteEngine::GetSortCondition(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG kind,
                                    BSTR* condition)
{
    return Call("getSortCondition", clientId, code, channel, sortName, kind, condition);
}
LONG RemoteEngine::DeleteSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG option)
{
    return Call("deleteSortCode", clientId, code, channel, sortName, option);
}
LONG RemoteEngine::GetSortChanMap(LONG clientId, LONG code, BSTR sortName, LONG option, BSTR* map)
{
    return Call("getSortChanMap", clientId, code, sortName, option, map);
}
LONG RemoteEngine::SetRecordOption(LONG clientId, DOUBLE value, LONG option, BSTR data)
{
    return Call("setRecordOption", clientId, value, option, data);
}

}  // namespace orvo::remote
