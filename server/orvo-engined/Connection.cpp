#include "server/orvo-engined/Connection.h"

#include <cstdio>
#include <functional>
#include <tuple>
#include <type_traits>
#include <vector>

#include <orvo/platform/bstr.h>

#include "platform/files.h"
#include "platform/registry.h"
#include "protocol/Installation.h"

namespace orvo::engined {
namespace {

using capnp::DynamicStruct;
using capnp::StructSchema;

// One call's messages and where the slot's arguments have got to in them.
struct CallFields {
    DynamicStruct::Reader params;
    DynamicStruct::Builder results;
    wire::FieldCursor cursor;
    SafeArrayPtr uploaded;

    StructSchema::Field Param() { return cursor.NextParam(); }
    StructSchema::Field Result() { return cursor.NextResult(); }
};

// A number (LONG, DOUBLE) passes as it came; the other kinds below.
template <class T>
struct Argument {
    static_assert(std::is_arithmetic_v<T>);
    T value;
    explicit Argument(CallFields& call) : value(call.params.get(call.Param()).as<T>()) {}
    T Pass() { return value; }
    void Answer(CallFields&, Variant&) {}
};

template <>
struct Argument<BSTR> {
    BStr value;
    explicit Argument(CallFields& call) : value(wire::TakeBstr(call.params, call.Param())) {}
    BSTR Pass() { return value.get(); }
    void Answer(CallFields&, Variant&) {}
};

template <>
struct Argument<BSTR*> {
    BStr value;
    explicit Argument(CallFields&) {}
    BSTR* Pass() { return value.out(); }
    void Answer(CallFields& call, Variant&) { wire::PutBstr(call.results, call.Result(), value.get()); }
};

template <>
struct Argument<DOUBLE*> {
    DOUBLE value = 0;
    explicit Argument(CallFields&) {}
    DOUBLE* Pass() { return &value; }
    void Answer(CallFields& call, Variant&) { call.results.set(call.Result(), value); }
};

template <>
struct Argument<VARIANT*> {
    Variant value;
    bool in;
    explicit Argument(CallFields& call) : in(call.cursor.VariantGoesIn())
    {
        if (in) {
            wire::TakeVariant(call.params.get(call.Param()).as<wire::Variant>(), value.get(), std::move(call.uploaded));
        }
    }
    VARIANT* Pass() { return value.get(); }
    // An array too large for the answer is kept for the sink.
    void Answer(CallFields& call, Variant& streamed)
    {
        if (!in && wire::PutVariant(*value, call.results.init(call.Result()).as<wire::Variant>()) != nullptr) {
            streamed = std::move(value);
        }
    }
};

// The ids the schema gives its annotations `tank` and `tankFolder`.
constexpr std::uint64_t kTankAnnotationId = 0xe3a1c6b0f5d29a47;
constexpr std::uint64_t kTankFolderAnnotationId = 0xf1b7d2c49e06a853;

bool Annotated(StructSchema::Field field, std::uint64_t id)
{
    for (auto annotation : field.getProto().getAnnotations()) {
        if (annotation.getId() == id) {
            return true;
        }
    }
    return false;
}

// Where the engine finds a tank by this name: the registered tank list's
// folder followed by the name, else the name as a path.
std::string TankLocation(const std::string& name)
{
    UniqueHKey list;
    char folder[MAX_PATH] = {};
    DWORD size = sizeof folder - 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTankListKey, 0, KEY_READ, list.put()) == ERROR_SUCCESS &&
        RegQueryValueExA(list.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size) ==
            ERROR_SUCCESS) {
        return folder + name;
    }
    return name;
}

// Why the call may not reach the engine of a server that keeps its tanks in
// root: "" when every tank and tank folder it names lies there. Relative
// paths are taken from root, the server's working folder.
std::string OutsideTanksRoot(const std::filesystem::path& root, const CallFields& call)
{
    for (StructSchema::Field field : call.params.getSchema().getFields()) {
        const bool tank = Annotated(field, kTankAnnotationId);
        if (!tank && !Annotated(field, kTankFolderAnnotationId)) {
            continue;
        }
        const std::string name = BstrToAnsi(wire::TakeBstr(call.params, field).get());
        // Links are followed, so that one inside root cannot lead out of it.
        std::error_code error;
        const std::filesystem::path where =
            std::filesystem::weakly_canonical(root / (tank ? TankLocation(name) : name), error);
        if (error) {
            return "\"" + name + "\" cannot be followed to where it leads: " + error.message();
        }
        const auto [inRoot, inWhere] = std::mismatch(root.begin(), root.end(), where.begin(), where.end());
        if (inRoot != root.end() || (tank && inWhere == where.end())) {
            return "\"" + name + "\" lies outside the tanks this server serves";
        }
    }
    return "";
}

// The engine's answer of one call, or why the call did not reach it.
struct Outcome {
    // An array too large for the answer, to be streamed.
    Variant streamed;
    std::string refusal;
};

// Runs on the worker. Answers the array to stream, if any.
using Invoke = std::function<Variant(ITankEngine&, CallFields&)>;

template <class... Args>
Invoke Invoker(LONG (ITankEngine::*slot)(Args...))
{
    return [slot](ITankEngine& engine, CallFields& call) {
        // Braces take the arguments from the message in order.
        std::tuple<Argument<Args>...> arguments{Argument<Args>(call)...};
        const LONG result = std::apply([&](auto&... argument) { return (engine.*slot)(argument.Pass()...); },
                                       arguments);
        call.results.set("result", result);
        Variant streamed;
        std::apply([&](auto&... argument) { (argument.Answer(call, streamed), ...); }, arguments);
        return streamed;
    };
}

const std::vector<Invoke>& Slots()
{
    static const std::vector<Invoke> slots = [] {
        const capnp::InterfaceSchema schema = wire::EngineSchema();
        std::vector<Invoke> table(schema.getMethods().size());
        auto bind = [&](kj::StringPtr name, auto slot) { table[schema.getMethodByName(name).getIndex()] = Invoker(slot); };
        bind("addClient", &ITankEngine::AddClient);
        bind("addTank", &ITankEngine::AddTank);
        bind("closeTank", &ITankEngine::CloseTank);
        bind("deleteClient", &ITankEngine::DeleteClient);
        bind("removeTank", &ITankEngine::RemoveTank);
        bind("getBlockInfo", &ITankEngine::GetBlockInfo);
        bind("getError", &ITankEngine::GetError);
        bind("readEvents", &ITankEngine::ReadEvents);
        bind("getStatus", &ITankEngine::GetStatus);
        bind("initializeTank", &ITankEngine::InitializeTank);
        bind("openTank", &ITankEngine::OpenTank);
        bind("saveEvents", &ITankEngine::SaveEvents);
        bind("selectBlock", &ITankEngine::SelectBlock);
        bind("startRecord", &ITankEngine::StartRecord);
        bind("stopRecord", &ITankEngine::StopRecord);
        bind("setOSTime", &ITankEngine::SetOSTime);
        bind("queryBlockName", &ITankEngine::QueryBlockName);
        bind("getEventCodes", &ITankEngine::GetEventCodes);
        bind("resetTank", &ITankEngine::ResetTank);
        bind("checkTank", &ITankEngine::CheckTank);
        bind("getEnumTank", &ITankEngine::GetEnumTank);
        bind("getDebug", &ITankEngine::GetDebug);
        bind("enabTankDebug", &ITankEngine::EnabTankDebug);
        bind("getTankItem", &ITankEngine::GetTankItem);
        bind("getHotBlock", &ITankEngine::GetHotBlock);
        bind("getEpocCodes", &ITankEngine::GetEpocCodes);
        bind("getEpocs", &ITankEngine::GetEpocs);
        bind("resetFilters", &ITankEngine::ResetFilters);
        bind("createEpocIndexing", &ITankEngine::CreateEpocIndexing);
        bind("clearEpocIndexing", &ITankEngine::ClearEpocIndexing);
        bind("indexEvent", &ITankEngine::IndexEvent);
        bind("setBlockInfo", &ITankEngine::SetBlockInfo);
        bind("qryEpocAtIdx", &ITankEngine::QryEpocAtIdx);
        bind("getFilterTolerance", &ITankEngine::GetFilterTolerance);
        bind("setFilterTolerance", &ITankEngine::SetFilterTolerance);
        bind("setFilterEx", &ITankEngine::SetFilterEx);
        bind("getCacheDelay", &ITankEngine::GetCacheDelay);
        bind("setCacheDelay", &ITankEngine::SetCacheDelay);
        bind("setFilterWithDescEx", &ITankEngine::SetFilterWithDescEx);
        bind("setFilterWithDimension", &ITankEngine::SetFilterWithDimension);
        bind("setEpocTimeFilter", &ITankEngine::SetEpocTimeFilter);
        bind("setTimeRefEpoc", &ITankEngine::SetTimeRefEpoc);
        bind("getEpocsEx", &ITankEngine::GetEpocsEx);
        bind("getValidTimeRanges", &ITankEngine::GetValidTimeRanges);
        bind("qryEpocAtEx", &ITankEngine::QryEpocAtEx);
        bind("startRecordEx", &ITankEngine::StartRecordEx);
        bind("setUseSortName", &ITankEngine::SetUseSortName);
        bind("saveSortCode", &ITankEngine::SaveSortCode);
        bind("getSortNameList", &ITankEngine::GetSortNameList);
        bind("getSortCondition", &ITankEngine::GetSortCondition);
        bind("deleteSortCode", &ITankEngine::DeleteSortCode);
        bind("getSortChanMap", &ITankEngine::GetSortChanMap);
        bind("setRecordOption", &ITankEngine::SetRecordOption);
        return table;
    }();
    return slots;
}

const capnp::InterfaceSchema::Method& NewUploadMethod()
{
    static const capnp::InterfaceSchema::Method method = wire::EngineSchema().getMethodByName("newUpload");
    return method;
}

// Counts its bytes among the connection's uploads while it lives.
class UploadService final : public wire::ArrayUpload::Server {
public:
    UploadService(SafeArrayPtr array, std::uint64_t& uploadBytes)
        : m_bytes(wire::DataBytes(array.get())), m_uploadBytes(uploadBytes), m_assembly(std::move(array))
    {
        m_uploadBytes += m_bytes;
    }
    ~UploadService() { m_uploadBytes -= m_bytes; }

    kj::Promise<void> write(WriteContext context) override
    {
        m_assembly.Append(context.getParams().getChunk());
        return kj::READY_NOW;
    }

    SafeArrayPtr Take() { return m_assembly.Take(); }

private:
    const std::uint64_t m_bytes;
    std::uint64_t& m_uploadBytes;
    wire::ArrayAssembly m_assembly;
};

// The uploaded array an argument names, taken from this connection's uploads.
kj::Promise<SafeArrayPtr> TakeUpload(capnp::CapabilityServerSet<wire::ArrayUpload>& uploads, DynamicStruct::Reader params)
{
    for (StructSchema::Field field : params.getSchema().getFields()) {
        auto type = field.getType();
        if (!type.isStruct() || type.asStruct() != capnp::Schema::from<wire::Variant>()) {
            continue;
        }
        auto value = params.get(field).as<wire::Variant>();
        if (value.isArray() && value.getArray().isUploaded()) {
            auto upload = value.getArray().getUploaded();
            return uploads.getLocalServer(upload).then([](kj::Maybe<wire::ArrayUpload::Server&> server) {
                KJ_IF_MAYBE (found, server) {
                    return static_cast<UploadService&>(*found).Take();
                }
                KJ_FAIL_REQUIRE("an upload not made on this connection");
            });
        }
    }
    return SafeArrayPtr();
}

}  // namespace

void LogLine(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void CheckServedMethods()
{
    const std::vector<Invoke>& slots = Slots();
    for (auto method : wire::EngineSchema().getMethods()) {
        KJ_REQUIRE(slots[method.getIndex()] != nullptr || method == NewUploadMethod(), "no interface slot serves a method",
                   method.getProto().getName());
    }
}

class EngineService final : public capnp::DynamicCapability::Server {
public:
    explicit EngineService(std::shared_ptr<Connection> connection)
        : capnp::DynamicCapability::Server(wire::EngineSchema()), m_connection(std::move(connection))
    {
    }

    kj::Promise<void> call(capnp::InterfaceSchema::Method method,
                           capnp::CallContext<DynamicStruct, DynamicStruct> context) override
    {
        if (method == NewUploadMethod()) {
            auto params = context.getParams();
            const auto elementType = params.get("elementType").as<uint16_t>();
            const auto bounds = params.get("bounds").as<capnp::List<wire::Bound>>();
            KJ_REQUIRE(wire::ArrayBytes(elementType, bounds) <= wire::kMaxUploadBytes - m_connection->m_uploadBytes,
                       "the uploads of this connection would hold more bytes than the server takes at once",
                       wire::kMaxUploadBytes);
            context.getResults().set("upload", m_connection->m_uploads.add(kj::heap<UploadService>(
                                                   wire::NewArray(elementType, bounds), m_connection->m_uploadBytes)));
            return kj::READY_NOW;
        }
        // Both messages are taken here: they belong to the connection, on this thread.
        auto call = kj::heap<CallFields>(CallFields{context.getParams(), context.getResults(), wire::FieldCursor(method), {}});
        if (std::string refusal = Refusal(method, call->params); !refusal.empty()) {
            m_connection->m_refusal = std::move(refusal);
            call->results.set("result", wire::FailureOf(method));
            return kj::READY_NOW;
        }
        Connection& connection = *m_connection;
        return TakeUpload(connection.m_uploads, call->params)
            .then([&connection, method, call = kj::mv(call)](SafeArrayPtr uploaded) mutable {
                call->uploaded = std::move(uploaded);
                CallFields& fields = *call;
                const Served& served = connection.m_served;
                const Invoke& invoke = Slots()[method.getIndex()];
                return connection.m_worker.Executor()
                    .executeAsync([&served, &invoke, &fields, method] {
                        Outcome outcome;
                        if (!served.tanksRoot.empty()) {
                            outcome.refusal = OutsideTanksRoot(served.tanksRoot, fields);
                        }
                        if (outcome.refusal.empty()) {
                            outcome.streamed = invoke(*served.engine.get(), fields);
                        } else {
                            outcome.refusal = wire::OperationName(method) + ": " + outcome.refusal;
                            fields.results.set("result", wire::FailureOf(method));
                        }
                        return outcome;
                    })
                    .then([&connection, method, call = kj::mv(call)](Outcome outcome) mutable {
                        if (!outcome.refusal.empty()) {
                            connection.m_refusal = std::move(outcome.refusal);
                            return kj::Promise<void>(kj::READY_NOW);
                        }
                        return Answered(connection, method, *call, std::move(outcome.streamed)).attach(kj::mv(call));
                    });
            });
    }

private:
    // Why the call may not reach the engine; "" when it may.
    std::string Refusal(capnp::InterfaceSchema::Method method, DynamicStruct::Reader params)
    {
        const kj::StringPtr name = method.getProto().getName();
        auto fields = params.getSchema().getFields();
        if (name == "addClient" && m_connection->m_clients.size() >= m_connection->m_served.maxClients) {
            return std::string("AddClient: this connection already holds ") +
                   std::to_string(m_connection->m_clients.size()) + " clients, the most it may";
        }
        if (name == "readEvents" && params.get("maxEvents").as<int32_t>() > m_connection->m_served.maxRowsPerRead) {
            return "ReadEvents: at most " + std::to_string(m_connection->m_served.maxRowsPerRead) +
                   " rows are read at once over the network";
        }
        if (fields.size() == 0 || fields[0].getProto().getName() != "clientId") {
            return "";
        }
        const LONG id = params.get(fields[0]).as<int32_t>();
        if (m_connection->m_clients.count(id) != 0) {
            return "";
        }
        return wire::OperationName(method) + ": no client " + std::to_string(id) + " on this connection";
    }

    // Keeps track of the connection's clients, adds the connection's own
    // failure to GetError's answer, and streams an answer too large for one
    // message through the call's sink.
    static kj::Promise<void> Answered(Connection& connection, capnp::InterfaceSchema::Method method,
                                      CallFields& call, Variant streamed)
    {
        const kj::StringPtr name = method.getProto().getName();
        const LONG result = call.results.get("result").as<int32_t>();
        if (name == "addClient" && result > 0) {
            connection.m_clients.insert(result);
        } else if (name == "deleteClient" && result != 0) {
            connection.m_clients.erase(call.params.get("clientId").as<int32_t>());
        } else if (name == "getError" && !connection.m_refusal.empty()) {
            const auto textField = call.results.getSchema().getFieldByName("text");
            const std::string engineText = BstrToAnsi(wire::TakeBstr(call.results.asReader(), textField).get());
            const std::string text = std::exchange(connection.m_refusal, {}) + (engineText.empty() ? "" : "\n" + engineText);
            call.results.set("result", 1);
            wire::PutBstr(call.results, textField, BStr(text).get());
        }
        if ((streamed->vt & VT_ARRAY) == 0) {
            return kj::READY_NOW;
        }
        SAFEARRAY* array = streamed->parray;
        auto sink = call.params.get("sink").as<wire::ArraySink>();
        auto begin = sink.beginRequest();
        VARTYPE elementType = VT_EMPTY;
        SafeArrayGetVartype(array, &elementType);
        begin.setElementType(elementType);
        wire::PutBounds(array, begin.initBounds(array->cDims));
        return begin.send()
            .then([sink, array](auto&&) mutable {
                return wire::WriteChunks(array, [sink](kj::ArrayPtr<const kj::byte> chunk) mutable {
                    auto write = sink.writeRequest();
                    write.setChunk(chunk);
                    return write.send();
                });
            })
            .attach(std::move(streamed), kj::mv(sink));
    }

    std::shared_ptr<Connection> m_connection;
};

class LoginService final : public wire::Login::Server {
public:
    explicit LoginService(std::shared_ptr<Connection> connection) : m_connection(std::move(connection)) {}

    kj::Promise<void> login(LoginContext context) override
    {
        auto params = context.getParams();
        std::string user = params.getUser();
        std::string domain = params.getDomain();
        std::string password = params.getPassword();
        const Served& served = m_connection->m_served;
        return served.passwordChecks
            .executeAsync([&served, user, domain, password] { return served.users.Admits(user, domain, password); })
            .then([this, context, user, domain](bool admitted) mutable -> kj::Promise<void> {
                const std::string who = domain.empty() ? user : domain + "\\" + user;
                if (!admitted) {
                    Connection& connection = *m_connection;
                    const bool last = ++connection.m_refusedLogins >= Connection::kMaxRefusedLogins;
                    LogLine(connection.Peer() + ": login of \"" + who + "\" refused" +
                            (last ? "; the connection is closed after " + std::to_string(connection.m_refusedLogins) +
                                        " refused logins"
                                  : ""));
                    return connection.m_served.timer.afterDelay(connection.m_served.refusalDelay).then([expelled = m_connection, last]() {
                        if (last) {
                            expelled->m_expel.fulfiller->fulfill();
                        }
                        kj::throwFatalException(KJ_EXCEPTION(FAILED, "access denied: unknown user or wrong password"));
                    });
                }
                LogLine(m_connection->Peer() + ": \"" + who + "\" logged in");
                capnp::Capability::Client engine = kj::heap<EngineService>(m_connection);
                context.getResults().setEngine(engine.castAs<wire::TankEngine>());
                return kj::READY_NOW;
            });
    }

private:
    std::shared_ptr<Connection> m_connection;
};

wire::Login::Client Connection::Login() { return kj::heap<LoginService>(shared_from_this()); }

kj::Promise<void> Connection::Close()
{
    std::vector<LONG> clients(m_clients.begin(), m_clients.end());
    m_clients.clear();
    ITankEngine* engine = m_served.engine.get();
    return m_worker.Executor().executeAsync([engine, clients] {
        for (LONG id : clients) {
            engine->DeleteClient(id);
        }
    });
}

}  // namespace orvo::engined
