// The variant record as a peer sends it: Variant::Deserialize and the
// VariantEx reader, the walks over an Array's element records
// (GetArrayLength, GetArrayElement, the element list), the text forms and
// getters that read what was decoded, and the order over two records.
//
// Properties: a record that decodes is written back as a record that decodes
// to the same bytes, which are the input's own when the input was already in
// the written form; both readers decode alike; the walks agree with each other
// and the element list packs and unpacks to itself; decoding a value's own
// payload into it gives what decoding a copy gives; the order is irreflexive
// and asymmetric.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/Utilities/Storage/Variant.h"
#include "KTFramework/Utilities/Storage/VariantEx.h"
#include "Platform/ByteOrder.h"
#include "fuzz/FuzzCheck.h"

using KT::Variant;
using KT::VariantEx;
using Bytes = std::vector<unsigned char>;

namespace
{

constexpr int kUntouched = 0x5EED;

Bytes Written(const Variant& value)
{
    Bytes out(Variant::GetSerializedSize(value));
    FUZZ_CHECK(out.size() >= Variant::RECORD_HEADER_SIZE);
    FUZZ_CHECK(Variant::Serialize(value, out.data(), out.size()) == static_cast<int>(out.size()));
    return out;
}

// Whether the writer gives back exactly this record: version 1, and a String's
// payload is its text and one NUL.
bool IsWrittenForm(const unsigned char* record)
{
    if (KT::ReadLE32(record + 4) != Variant::RECORD_VERSION)
    {
        return false;
    }
    if (KT::ReadLE32(record + 8) != Variant::TYPE_STRING)
    {
        return true;
    }
    const std::size_t size = KT::ReadLE32(record) - Variant::RECORD_HEADER_SIZE;
    const unsigned char* payload = record + Variant::RECORD_HEADER_SIZE;
    return size > 0 && std::memchr(payload, 0, size) == payload + size - 1;
}

// What a failed read leaves in its target when the header was readable: Empty,
// or the Buffer that a Pointer or ConstPointer record's payload makes.
bool IsLeftByFailedRead(const Variant& value)
{
    return value.IsEmpty() || value.GetType() == Variant::TYPE_BUFFER;
}

// A decoded value and, for an Array, its elements down to the nesting limit.
void CheckDecoded(const Variant& value, unsigned int level)
{
    const Bytes record = Written(value);
    Variant again;
    FUZZ_CHECK(Variant::Deserialize(again, record.data(), record.size()) == 0);
    FUZZ_CHECK(Written(again) == record);
    FUZZ_CHECK(!(value < again) && !(again < value));

    if (value.GetType() != Variant::TYPE_ARRAY || level >= Variant::MAX_NESTING_DEPTH)
    {
        return;
    }
    const std::size_t count = value.GetArrayLength();
    Variant element;
    for (std::size_t i = 0; i < count; ++i)
    {
        if (value.GetArrayElement(i, element) == 0)
        {
            CheckDecoded(element, level + 1);
        }
        else
        {
            FUZZ_CHECK(IsLeftByFailedRead(element));
        }
    }
    FUZZ_CHECK(value.GetArrayElement(count, element) != 0 && element.IsEmpty());
}

// The element list of an Array: one element per record the walk finds, each
// what GetArrayElement gives (Empty where it fails); packed into an Array and
// unpacked again, the same list.
void CheckElementList(const VariantEx& value)
{
    KT::Array<VariantEx> items;
    FUZZ_CHECK(VariantEx::VariantArrayToArrayOfVariants(value, items) == 0);
    const std::size_t count = value.GetArrayLength();
    FUZZ_CHECK(static_cast<std::size_t>(items.GetCount()) == count);
    Variant element;
    for (std::size_t i = 0; i < count; ++i)
    {
        // A failed element is left in the list as the read left it.
        (void)value.GetArrayElement(i, element);
        FUZZ_CHECK(Written(element) == Written(items.GetAt(i)));
    }

    VariantEx packed;
    FUZZ_CHECK(packed.SetArray(items) == Variant::TYPE_ARRAY);
    KT::Array<VariantEx> again;
    FUZZ_CHECK(VariantEx::VariantArrayToArrayOfVariants(packed, again) == 0);
    FUZZ_CHECK(again.GetCount() == items.GetCount());
    for (std::size_t i = 0; i < count; ++i)
    {
        FUZZ_CHECK(Written(again.GetAt(i)) == Written(items.GetAt(i)));
    }
}

// The readers of what was decoded: none may fail on any value.
void ReadEverything(const VariantEx& value)
{
    (void)value.GetBool();
    (void)value.GetInt8();
    (void)value.GetInt16();
    (void)value.GetInt32();
    (void)value.GetInt64();
    (void)value.GetUInt8();
    (void)value.GetUInt16();
    (void)value.GetUInt32();
    (void)value.GetUInt64();
    (void)value.GetFloat();
    (void)value.GetDouble();
    (void)value.IsNegative();
    (void)value.ToString();
    (void)value.GetArrayString(1);
    (void)value.GetXMLString();
    FUZZ_CHECK(value.Compare(value) == 0);
}

// A value that holds owned bytes, given them again as a record: the reader
// must not free what it is reading.
void CheckOwnBytes(const Variant& value)
{
    std::size_t size = 0;
    const void* payload = value.GetConstPointer(size);
    if (value.GetType() < Variant::TYPE_BUFFER || payload == nullptr || size == 0)
    {
        return;
    }
    const Bytes copy(static_cast<const unsigned char*>(payload),
                     static_cast<const unsigned char*>(payload) + size);
    Variant expected;
    const int expectedResult = Variant::Deserialize(expected, copy.data(), copy.size());

    Variant own(value);
    std::size_t ownSize = 0;
    const void* ownPayload = own.GetConstPointer(ownSize);
    const int result = Variant::Deserialize(own, static_cast<const unsigned char*>(ownPayload), ownSize);
    FUZZ_CHECK(result == expectedResult);
    if (result == 0)
    {
        FUZZ_CHECK(Written(own) == Written(expected));
    }
}

void CheckOrder(const VariantEx& a, const VariantEx& b)
{
    const Variant& baseA = a;
    const Variant& baseB = b;
    FUZZ_CHECK(!(baseA < baseA));
    FUZZ_CHECK(!(baseA < baseB && baseB < baseA));
    FUZZ_CHECK(!(a < a));
    FUZZ_CHECK(!(a < b && b < a));
    FUZZ_CHECK(a.Compare(b) == -b.Compare(a));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A failed read leaves its target untouched, or as the payload's setter
    // left it.
    Variant value(kUntouched);
    const int result = Variant::Deserialize(value, data, size);
    VariantEx ex;
    FUZZ_CHECK(ex.Deserialize(data, size) == result);
    if (result != 0)
    {
        FUZZ_CHECK(result == KT::RESULT_FAILED);
        FUZZ_CHECK((value.GetType() == Variant::TYPE_INT32 && value.GetInt32() == kUntouched) ||
                   IsLeftByFailedRead(value));
        return 0;
    }

    const std::size_t total = KT::ReadLE32(data);
    const Bytes record = Written(value);
    FUZZ_CHECK(Written(ex) == record);
    if (IsWrittenForm(data))
    {
        FUZZ_CHECK(record == Bytes(data, data + total));
    }
    CheckDecoded(value, 1);
    CheckOwnBytes(value);

    KT::RCPtr<KT::LIBuffer> buffer;
    FUZZ_CHECK(ex.Serialize(buffer, 0) == static_cast<int>(record.size()));
    FUZZ_CHECK(buffer->GetSizeBytes() == record.size());
    FUZZ_CHECK(std::memcmp(buffer->GetRawPtr(), record.data(), record.size()) == 0);

    if (ex.GetType() == Variant::TYPE_ARRAY)
    {
        CheckElementList(ex);
    }
    ReadEverything(ex);

    // The record that follows, if any, for the order.
    VariantEx second;
    if (total < size && second.Deserialize(data + total, size - total) == 0)
    {
        CheckOrder(ex, second);
    }
    return 0;
}
