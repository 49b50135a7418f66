#include "protocol/EngineWire.h"

#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <kj/exception.h>
#include <orvo/platform/bstr.h>
#include <orvo/platform/errors.h>

#include "platform/arrays.h"

namespace orvo::wire {
namespace {

constexpr std::size_t kMaxDimensions = 8;
// The id the schema gives its annotation `failure`.
constexpr std::uint64_t kFailureAnnotationId = 0xd0e5a6f4c2b19e31;

// A message's bytes hold less than 2^32 bytes, so every size fits.
BSTR CopyBstr(capnp::Data::Reader bytes)
{
    BSTR text = SysAllocStringByteLen(reinterpret_cast<const char*>(bytes.begin()), static_cast<UINT>(bytes.size()));
    if (text == nullptr) {
        throw std::bad_alloc();
    }
    return text;
}

std::uint64_t ElementBytes(VARTYPE elementType)
{
    switch (elementType) {
    case VT_I1:
        return 1;
    case VT_I2:
        return 2;
    case VT_I4:
    case VT_R4:
        return 4;
    case VT_R8:
        return 8;
    case VT_BSTR:
        return sizeof(BSTR);
    default:
        Refuse("array element type " + std::to_string(elementType) + " is not carried");
    }
}

std::uint64_t ElementCount(SAFEARRAY* array)
{
    std::uint64_t count = 1;
    for (USHORT i = 0; i < array->cDims; ++i) {
        count *= array->rgsabound[i].cElements;  // SafeArrayCreate kept the product in range
    }
    return count;
}

}  // namespace

void Refuse(const std::string& why)
{
    kj::throwFatalException(kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__, kj::heapString(why)));
}

capnp::InterfaceSchema EngineSchema() { return capnp::Schema::from<TankEngine>(); }

std::string OperationName(capnp::InterfaceSchema::Method method)
{
    std::string name = method.getProto().getName().cStr();
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    return name;
}

LONG FailureOf(capnp::InterfaceSchema::Method method)
{
    for (auto annotation : method.getProto().getAnnotations()) {
        if (annotation.getId() == kFailureAnnotationId) {
            return annotation.getValue().getInt32();
        }
    }
    return 0;
}

bool IsLoopbackAddress(const std::string& address)
{
    return address.rfind("127.", 0) == 0 || address.rfind("[::1]", 0) == 0;
}

capnp::StructSchema::Field FieldCursor::NextParam()
{
    auto fields = m_params.getFields();
    KJ_REQUIRE(m_nextParam < fields.size(), "the schema has fewer parameters than the interface slot");
    return fields[m_nextParam++];
}

capnp::StructSchema::Field FieldCursor::NextResult()
{
    auto fields = m_results.getFields();
    KJ_REQUIRE(m_nextResult < fields.size(), "the schema has fewer results than the interface slot");
    return fields[m_nextResult++];
}

bool FieldCursor::VariantGoesIn() const
{
    auto fields = m_params.getFields();
    if (m_nextParam == fields.size()) {
        return false;
    }
    const capnp::Type type = fields[m_nextParam].getType();
    return type.isStruct() && type.asStruct() == capnp::Schema::from<Variant>();
}

void PutBstr(capnp::DynamicStruct::Builder message, capnp::StructSchema::Field field, BSTR text)
{
    if (text != nullptr) {
        message.set(field, capnp::Data::Reader(reinterpret_cast<const kj::byte*>(text), SysStringByteLen(text)));
    }
}

BStr TakeBstr(capnp::DynamicStruct::Reader message, capnp::StructSchema::Field field)
{
    BStr text;
    if (message.has(field)) {
        const capnp::Data::Reader bytes = message.get(field).as<capnp::Data>();
        *text.out() = CopyBstr(bytes);
    }
    return text;
}

std::uint64_t DataBytes(SAFEARRAY* array)
{
    return array == nullptr ? 0 : ElementCount(array) * array->cbElements;
}

std::uint64_t ArrayBytes(VARTYPE elementType, capnp::List<Bound>::Reader bounds)
{
    std::uint64_t bytes = ElementBytes(elementType);
    if (bounds.size() == 0 || bounds.size() > kMaxDimensions) {
        Refuse("an array has " + std::to_string(bounds.size()) + " dimensions");
    }
    for (Bound::Reader bound : bounds) {
        // Both factors stay below 2^32, so no product here can wrap.
        bytes *= bound.getElements();
        if (bytes > kMaxArrayBytes) {
            Refuse("an array of more than " + std::to_string(kMaxArrayBytes) + " bytes");
        }
    }
    return bytes;
}

SafeArrayPtr NewArray(VARTYPE elementType, capnp::List<Bound>::Reader bounds)
{
    ArrayBytes(elementType, bounds);
    std::vector<SAFEARRAYBOUND> dimensions;
    for (Bound::Reader bound : bounds) {
        dimensions.push_back({bound.getElements(), bound.getLowerBound()});
    }
    SafeArrayPtr array(
        SafeArrayCreateUnfilled(elementType, static_cast<UINT>(dimensions.size()), dimensions.data()));
    if (!array) {
        Refuse("an array's bounds are out of range");
    }
    return array;
}

void PutBounds(SAFEARRAY* array, capnp::List<Bound>::Builder message)
{
    for (USHORT n = 0; n < array->cDims; ++n) {
        const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - 1 - n];
        message[n].setElements(bound.cElements);
        message[n].setLowerBound(bound.lLbound);
    }
}

SAFEARRAY* PutVariant(const VARIANT& value, Variant::Builder message)
{
    switch (value.vt) {
    case VT_EMPTY:
        message.setEmpty();
        return nullptr;
    case VT_I1:
        message.setI1(value.cVal);
        return nullptr;
    case VT_I2:
        message.setI2(value.iVal);
        return nullptr;
    case VT_I4:
        message.setI4(value.lVal);
        return nullptr;
    case VT_R4:
        message.setR4(value.fltVal);
        return nullptr;
    case VT_R8:
        message.setR8(value.dblVal);
        return nullptr;
    case VT_BSTR:
        message.setBstr(capnp::Data::Reader(reinterpret_cast<const kj::byte*>(value.bstrVal),
                                            SysStringByteLen(value.bstrVal)));
        return nullptr;
    default:
        break;
    }
    SAFEARRAY* array = value.parray;
    VARTYPE elementType = VT_EMPTY;
    if ((value.vt & VT_ARRAY) == 0 || array == nullptr || FAILED(SafeArrayGetVartype(array, &elementType))) {
        Refuse("a VARIANT of type " + std::to_string(value.vt) + " is not carried");
    }
    SafeArray::Builder head = message.initArray();
    head.setElementType(elementType);
    PutBounds(array, head.initBounds(array->cDims));
    SafeArrayData data(array);
    if (elementType == VT_BSTR) {
        const std::uint64_t count = ElementCount(array);
        auto strings = head.initStrings(static_cast<capnp::uint>(count));
        const BSTR* texts = static_cast<const BSTR*>(data.get());
        for (std::uint64_t i = 0; i < count; ++i) {
            if (texts[i] != nullptr) {
                strings.set(static_cast<capnp::uint>(i),
                            capnp::Data::Reader(reinterpret_cast<const kj::byte*>(texts[i]), SysStringByteLen(texts[i])));
            }
        }
        return nullptr;
    }
    const std::uint64_t bytes = DataBytes(array);
    if (bytes > kChunkBytes) {
        head.setStreamed();
        return array;
    }
    head.setData(capnp::Data::Reader(static_cast<const kj::byte*>(data.get()), bytes));
    return nullptr;
}

void TakeVariant(Variant::Reader message, VARIANT* value, SafeArrayPtr sent)
{
    switch (message.which()) {
    case Variant::EMPTY:
        value->vt = VT_EMPTY;
        return;
    case Variant::I1:
        value->vt = VT_I1;
        value->cVal = message.getI1();
        return;
    case Variant::I2:
        value->vt = VT_I2;
        value->iVal = message.getI2();
        return;
    case Variant::I4:
        value->vt = VT_I4;
        value->lVal = message.getI4();
        return;
    case Variant::R4:
        value->vt = VT_R4;
        value->fltVal = message.getR4();
        return;
    case Variant::R8:
        value->vt = VT_R8;
        value->dblVal = message.getR8();
        return;
    case Variant::BSTR: {
        value->bstrVal = CopyBstr(message.getBstr());
        value->vt = VT_BSTR;
        return;
    }
    case Variant::ARRAY:
        break;
    default:
        Refuse("a VARIANT of a kind not carried");
    }
    const SafeArray::Reader head = message.getArray();
    SafeArrayPtr array;
    if (head.isStreamed() || head.isUploaded()) {
        array = std::move(sent);
        VARTYPE elementType = VT_EMPTY;
        if (!array || FAILED(SafeArrayGetVartype(array.get(), &elementType)) ||
            elementType != head.getElementType() || array->cDims != head.getBounds().size()) {
            Refuse("an array sent in chunks is not the one announced");
        }
    } else {
        // What the message holds must be what its bounds say before an
        // array of that size is made.
        const std::uint64_t announced = ArrayBytes(head.getElementType(), head.getBounds());
        const bool strings = head.getElementType() == VT_BSTR;
        if (strings != head.isStrings()) {
            Refuse("an array's elements do not match its type");
        }
        const std::uint64_t held = strings ? std::uint64_t{head.getStrings().size()} * sizeof(BSTR)
                                           : head.getData().size();
        if (held != announced) {
            Refuse("an array holds " + std::to_string(held) + " bytes of elements where its bounds say " +
                   std::to_string(announced));
        }
        array = NewArray(head.getElementType(), head.getBounds());
        SafeArrayData data(array.get());
        if (strings) {
            const auto texts = head.getStrings();
            BSTR* elements = static_cast<BSTR*>(data.get());
            for (capnp::uint i = 0; i < texts.size(); ++i) {
                // A null element stays null (an unset pointer reads without
                // bytes); the array owns each one made.
                if (texts[i].begin() != nullptr) {
                    elements[i] = CopyBstr(texts[i]);
                }
            }
        } else if (announced != 0) {
            std::memcpy(data.get(), head.getData().begin(), announced);
        }
    }
    value->vt = static_cast<VARTYPE>(VT_ARRAY | head.getElementType());
    value->parray = array.release();
}

kj::Promise<void> WriteChunks(SAFEARRAY* array, ChunkWriter write)
{
    struct Cursor {
        SafeArrayData data;
        std::uint64_t offset = 0;
        std::uint64_t total;
        ChunkWriter write;
        Cursor(SAFEARRAY* array, ChunkWriter writer) : data(array), total(DataBytes(array)), write(kj::mv(writer)) {}
        kj::Promise<void> Next()
        {
            if (offset == total) {
                return kj::READY_NOW;
            }
            const std::uint64_t size = std::min<std::uint64_t>(kChunkBytes, total - offset);
            const kj::byte* start = static_cast<const kj::byte*>(data.get()) + offset;
            offset += size;
            return write(kj::arrayPtr(start, size)).then([this]() { return Next(); });
        }
    };
    auto cursor = kj::heap<Cursor>(array, kj::mv(write));
    auto done = cursor->Next();
    return done.attach(kj::mv(cursor));
}

void ArrayAssembly::Append(capnp::Data::Reader chunk)
{
    if (!m_array) {
        Refuse("a chunk came for no array");
    }
    const std::uint64_t total = DataBytes(m_array.get());
    if (chunk.size() > total - m_filled) {
        Refuse("more chunks came than the array holds");
    }
    SafeArrayData data(m_array.get());
    std::memcpy(static_cast<kj::byte*>(data.get()) + m_filled, chunk.begin(), chunk.size());
    m_filled += chunk.size();
}

SafeArrayPtr ArrayAssembly::Take()
{
    if (!m_array || m_filled != DataBytes(m_array.get())) {
        Refuse("an array sent in chunks ended early");
    }
    return std::move(m_array);
}

}  // namespace orvo::wire
