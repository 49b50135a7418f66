// The engine interface's values between machines (protocol/TankEngine.capnp):
// BSTRs, VARIANTs and SAFEARRAYs to and from their messages, the limits both
// sides hold a peer to, and what a method answers when it fails on the way.
// Everything read from a message is untrusted: sizes are checked with
// arithmetic that cannot wrap before anything is allocated, and a value that
// breaks a limit throws a kj::Exception that says which.
#pragma once

#include <cstdint>
#include <string>

#include <capnp/dynamic.h>
#include <kj/async.h>
#include <kj/function.h>
#include <orvo/platform/com_error.h>
#include <orvo/platform/safearray.h>
#include <orvo/platform/variant.h>

#include "protocol/TankEngine.capnp.h"

namespace orvo::wire {

// The port a server listens on and a client reaches when an address names none.
inline constexpr unsigned kDefaultPort = 7406;

// The most bytes of array data one message carries; larger arrays travel in
// chunks of this size through an upload or a sink.
inline constexpr std::size_t kChunkBytes = std::size_t{8} << 20;
// The most words a side reads of one message: a chunk and the call around it.
inline constexpr std::uint64_t kMessageWords = (kChunkBytes + (std::size_t{1} << 20)) / sizeof(capnp::word);

// Throws the kj::Exception of a value that breaks a limit, saying why.
[[noreturn]] void Refuse(const std::string& why);

capnp::InterfaceSchema EngineSchema();
// The engine interface's name of the method ("ReadEvents"), with which its
// failure texts begin.
std::string OperationName(capnp::InterfaceSchema::Method method);
// What the method answers when it fails before or after reaching the engine.
LONG FailureOf(capnp::InterfaceSchema::Method method);

// Whether an address ("127.0.0.1:7406", "[::1]:7406") is of this machine's
// loopback, the only place credentials may travel unencrypted.
bool IsLoopbackAddress(const std::string& address);

// Walks one call's fields in the order an interface slot's arguments come:
// the parameters for what goes in, the results after `result` for what
// comes out.
class FieldCursor {
public:
    explicit FieldCursor(capnp::InterfaceSchema::Method method)
        : m_params(method.getParamType()), m_results(method.getResultType())
    {
    }
    capnp::StructSchema::Field NextParam();
    capnp::StructSchema::Field NextResult();
    // A VARIANT* goes in when the next parameter is a Variant; else it comes out.
    bool VariantGoesIn() const;

private:
    capnp::StructSchema m_params;
    capnp::StructSchema m_results;
    unsigned m_nextParam = 0;
    unsigned m_nextResult = 1;
};

// A null BSTR leaves the field unset, and an unset field is a null BSTR.
void PutBstr(capnp::DynamicStruct::Builder message, capnp::StructSchema::Field field, BSTR text);
BStr TakeBstr(capnp::DynamicStruct::Reader message, capnp::StructSchema::Field field);

// The bytes of an array's data.
std::uint64_t DataBytes(SAFEARRAY* array);
// The most bytes of data one array may hold, as much as a SAFEARRAY holds:
// a legal answer, such as a read of 2^20 rows of long stream records, may
// be larger than any fixed limit below it. Each side holds its peer to a
// limit of its own before it makes room: a server to kMaxUploadBytes, a
// client to what its user lets it take.
inline constexpr std::uint64_t kMaxArrayBytes = 0xFFFFFFFFu;
// The most bytes the uploads of one connection hold on a server at once.
inline constexpr std::uint64_t kMaxUploadBytes = std::uint64_t{1} << 30;

// The data bytes of an array of the type and dimensions a peer announced,
// after checking them: a type the interface carries, 1 to 8 dimensions, and
// at most kMaxArrayBytes.
std::uint64_t ArrayBytes(VARTYPE elementType, capnp::List<Bound>::Reader bounds);
// An array of the type and dimensions a peer announced, checked as
// ArrayBytes checks them, with bounds SafeArrayCreate accepts. Its numbers
// are not zeroed: they are all written from what the peer sends before the
// array is handed on (ArrayAssembly::Take checks it).
SafeArrayPtr NewArray(VARTYPE elementType, capnp::List<Bound>::Reader bounds);

// Writes value into message. A numeric array with more data than one chunk
// is only announced (its head, `streamed`), and returned for the caller to
// send in chunks; otherwise the result is null.
SAFEARRAY* PutVariant(const VARIANT& value, Variant::Builder message);
// Writes bounds of array into message.
void PutBounds(SAFEARRAY* array, capnp::List<Bound>::Builder message);
// Makes value (empty beforehand) from message. An array sent ahead in chunks
// is taken from sent, which must match the announced head.
void TakeVariant(Variant::Reader message, VARIANT* value, SafeArrayPtr sent = SafeArrayPtr());

// The array data in chunks of at most kChunkBytes, passed to write in order;
// each chunk is written once the previous one was accepted.
using ChunkWriter = kj::Function<kj::Promise<void>(kj::ArrayPtr<const kj::byte> chunk)>;
kj::Promise<void> WriteChunks(SAFEARRAY* array, ChunkWriter write);

// Fills an array announced by a peer with the chunks that follow, refusing
// more data than it holds and an array taken before it was filled.
class ArrayAssembly {
public:
    explicit ArrayAssembly(SafeArrayPtr array) : m_array(std::move(array)) {}
    void Append(capnp::Data::Reader chunk);
    SafeArrayPtr Take();

private:
    SafeArrayPtr m_array;
    std::uint64_t m_filled = 0;
};

}  // namespace orvo::wire
