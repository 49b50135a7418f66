// A VARIANT as a peer sends it, over the network: whatever the message
// claims (types, dimensions, sizes, strings), it becomes a value or a
// refusal, never a read outside the message or an allocation larger than
// the limits allow.
#include <cstring>
#include <new>

#include <capnp/serialize.h>
#include <kj/exception.h>
#include <orvo/platform/variant.h>

#include "protocol/EngineWire.h"

// The bytes are one message in the stream framing, as it arrives.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kj::Array<capnp::word> words = kj::heapArray<capnp::word>(size / sizeof(capnp::word));
    std::memcpy(words.begin(), data, words.size() * sizeof(capnp::word));
    try {
        capnp::FlatArrayMessageReader message(words, capnp::ReaderOptions{orvo::wire::kMessageWords, 64});
        Variant value;
        orvo::wire::TakeVariant(message.getRoot<orvo::wire::Variant>(), value.get());
    } catch (const kj::Exception&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
