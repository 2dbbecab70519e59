// The byte record of a Variant: its header and payload written and read byte
// by byte, and the Array kind, whose payload is its element records back to
// back. The value itself lives in Variant.cpp.
#include "KTFramework/Utilities/Storage/Variant.h"

#include <cstring>
#include <limits>

#include "KTFramework/Defs/Result.h"
#include "Platform/ByteOrder.h"

namespace KT
{

namespace
{

// Record length of a value when Serialize can write it, else 0. The result of
// Serialize is an int, so a record must fit in 31 bits to be reported.
size_t WritableRecordLength(const Variant& value, const void*& payload, size_t& payloadSize)
{
    payloadSize = 0;
    payload = value.GetConstPointer(payloadSize);
    const uint32_t type = value.GetType();
    if ((type == Variant::TYPE_POINTER || type == Variant::TYPE_CONST_POINTER) && payloadSize == 0)
    {
        return 0;
    }
    if (payloadSize > 0 && payload == nullptr)
    {
        return 0;
    }
    if (payloadSize > static_cast<size_t>(std::numeric_limits<int32_t>::max()) - Variant::RECORD_HEADER_SIZE)
    {
        return 0;
    }
    return Variant::RECORD_HEADER_SIZE + payloadSize;
}

void WriteEmptyRecord(unsigned char* destination) noexcept
{
    WriteLE32(destination, Variant::RECORD_HEADER_SIZE);
    WriteLE32(destination + 4, Variant::RECORD_VERSION);
    WriteLE32(destination + 8, Variant::TYPE_EMPTY);
}

// Kind codes of version-0 records; codes from 11 up have no meaning.
constexpr uint32_t LEGACY_REJECTED = 17;
constexpr uint32_t LEGACY_TYPES[12] = {
    Variant::TYPE_EMPTY,  Variant::TYPE_BOOL,   Variant::TYPE_INT32,   Variant::TYPE_INT64,
    Variant::TYPE_FLOAT,  Variant::TYPE_DOUBLE, Variant::TYPE_POINTER, Variant::TYPE_CONST_POINTER,
    Variant::TYPE_BUFFER, Variant::TYPE_STRING, Variant::TYPE_ARRAY,   LEGACY_REJECTED,
};

constexpr uint32_t TYPE_COUNT = 17;

} // namespace

uint32_t Variant::GetSerializedSize(const Variant& value)
{
    size_t payloadSize = 0;
    value.GetConstPointer(payloadSize);
    if (payloadSize > std::numeric_limits<uint32_t>::max() - RECORD_HEADER_SIZE)
    {
        // No 32-bit length describes this record.
        return 0;
    }
    return static_cast<uint32_t>(RECORD_HEADER_SIZE + payloadSize);
}

int Variant::Serialize(const Variant& value, unsigned char* destination, size_t capacity)
{
    const void* payload = nullptr;
    size_t payloadSize = 0;
    const size_t total = WritableRecordLength(value, payload, payloadSize);
    if (total == 0 || destination == nullptr || capacity < total)
    {
        return RESULT_FAILED;
    }
    WriteLE32(destination, static_cast<uint32_t>(total));
    WriteLE32(destination + 4, RECORD_VERSION);
    WriteLE32(destination + 8, value.GetType());
    if (payloadSize > 0)
    {
        std::memmove(destination + RECORD_HEADER_SIZE, payload, payloadSize);
    }
    return static_cast<int>(total);
}

int Variant::Deserialize(Variant& value, const unsigned char* source, size_t length)
{
    if (source == nullptr || length < RECORD_HEADER_SIZE)
    {
        return RESULT_FAILED;
    }
    const uint32_t total = ReadLE32(source);
    if (total > length || total < RECORD_HEADER_SIZE)
    {
        return RESULT_FAILED;
    }
    const uint32_t version = ReadLE32(source + 4);
    uint32_t type = ReadLE32(source + 8);
    if (version == 0)
    {
        if (type >= sizeof(LEGACY_TYPES) / sizeof(LEGACY_TYPES[0]))
        {
            return RESULT_FAILED;
        }
        type = LEGACY_TYPES[type];
    }
    else if (version != RECORD_VERSION)
    {
        return RESULT_FAILED;
    }
    if (type >= TYPE_COUNT)
    {
        return RESULT_FAILED;
    }
    const size_t payloadSize = total - RECORD_HEADER_SIZE;
    const unsigned char* payload = source + RECORD_HEADER_SIZE;
    if (payloadSize == 0)
    {
        if (type == TYPE_EMPTY)
        {
            value.Clear();
            return 0;
        }
        if (type == TYPE_ARRAY)
        {
            value.Clear();
            value.mType = TYPE_ARRAY;
            return 0;
        }
        return RESULT_FAILED;
    }
    if (type == TYPE_EMPTY)
    {
        return RESULT_FAILED;
    }
    if (value.OwnsBytes(source, total))
    {
        // The record lies in the target's own bytes, which the setter frees.
        Variant copy;
        copy.SetBuffer(source, total);
        if (copy.GetType() != TYPE_BUFFER)
        {
            return RESULT_FAILED;
        }
        return Deserialize(value, static_cast<const unsigned char*>(copy.GetData()), total);
    }
    Type stored;
    if (type == TYPE_STRING)
    {
        // Text from a peer ends at its first NUL or at the end of its payload.
        const void* nul = std::memchr(payload, 0, payloadSize);
        const size_t textLength = nul != nullptr
                                      ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - payload)
                                      : payloadSize;
        stored = value.SetText(reinterpret_cast<const char*>(payload), textLength);
    }
    else
    {
        stored = value.Set(static_cast<Type>(type), payload, payloadSize);
    }
    return stored == type ? 0 : RESULT_FAILED;
}

template <class ItemAt>
Variant::Type Variant::SetArrayFrom(ItemAt itemAt, size_t count)
{
    for (size_t i = 0; i < count; ++i)
    {
        const Variant* item = itemAt(i);
        if (item == nullptr)
        {
            continue;
        }
        size_t size = 0;
        const void* data = item->GetConstPointer(size);
        if (item == this || OwnsBytes(data, size))
        {
            // An item reads this variant's own bytes, which clearing frees:
            // build the payload aside first.
            Variant built;
            built.SetArrayFrom(itemAt, count);
            return Set(built);
        }
    }

    Clear();
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
    {
        const Variant* item = itemAt(i);
        const void* payload = nullptr;
        size_t payloadSize = 0;
        const size_t length = item != nullptr ? WritableRecordLength(*item, payload, payloadSize) : 0;
        total += length != 0 ? length : RECORD_HEADER_SIZE;
    }
    if (total > 0)
    {
        unsigned char* block = static_cast<unsigned char*>(AllocBuffer(total));
        if (block == nullptr)
        {
            return TYPE_EMPTY;
        }
        size_t offset = 0;
        for (size_t i = 0; i < count; ++i)
        {
            const Variant* item = itemAt(i);
            const int written =
                item != nullptr ? Serialize(*item, block + offset, total - offset) : RESULT_FAILED;
            if (written < 0)
            {
                // A slot that cannot hold the item holds an Empty record.
                WriteEmptyRecord(block + offset);
                offset += RECORD_HEADER_SIZE;
            }
            else
            {
                offset += static_cast<size_t>(written);
            }
        }
        SetData(block);
        mSize = total;
    }
    mType = TYPE_ARRAY;
    return TYPE_ARRAY;
}

Variant::Type Variant::SetArray(const Variant* items, size_t count)
{
    if (items == nullptr)
    {
        count = 0;
    }
    return SetArrayFrom([items](size_t i) { return &items[i]; }, count);
}

Variant::Type Variant::SetArray(const Variant* const* items, size_t count)
{
    if (items == nullptr)
    {
        count = 0;
    }
    return SetArrayFrom([items](size_t i) { return items[i]; }, count);
}

namespace
{

// Element records are walked by their lengths; a length below a header ends
// the walk, since a peer's zero length would never advance it.
bool RecordStartsAt(const unsigned char* data, uint64_t size, size_t offset) noexcept
{
    return offset + 4 < size && ReadLE32(data + offset) >= Variant::RECORD_HEADER_SIZE;
}

// Walks past at most limit records from the start of the payload; gives how
// many it passed, and in offset where the walk stopped.
size_t SkipRecords(const unsigned char* data, uint64_t size, size_t limit, size_t& offset) noexcept
{
    size_t count = 0;
    offset = 0;
    while (count < limit && RecordStartsAt(data, size, offset))
    {
        offset += ReadLE32(data + offset);
        ++count;
    }
    return count;
}

} // namespace

size_t Variant::GetArrayLength() const
{
    if (mType != TYPE_ARRAY)
    {
        return 0;
    }
    const unsigned char* data = static_cast<const unsigned char*>(GetData());
    if (data == nullptr)
    {
        return 0;
    }
    size_t offset = 0;
    return SkipRecords(data, mSize, std::numeric_limits<size_t>::max(), offset);
}

int Variant::GetArrayElement(size_t index, Variant& out) const
{
    if (&out == this)
    {
        Variant element;
        const int result = GetArrayElement(index, element);
        out.Set(element);
        return result;
    }
    out.Clear();
    if (mType != TYPE_ARRAY)
    {
        return RESULT_NO_ELEMENT;
    }
    const unsigned char* data = static_cast<const unsigned char*>(GetData());
    if (data == nullptr)
    {
        return RESULT_NO_ELEMENT;
    }
    size_t offset = 0;
    const bool found =
        SkipRecords(data, mSize, index, offset) == index && RecordStartsAt(data, mSize, offset);
    if (!found || offset + RECORD_HEADER_SIZE > mSize)
    {
        return RESULT_NO_ELEMENT;
    }
    return Deserialize(out, data + offset, static_cast<size_t>(mSize - offset)) == 0 ? RESULT_OK
                                                                                     : RESULT_NO_ELEMENT;
}

} // namespace KT
