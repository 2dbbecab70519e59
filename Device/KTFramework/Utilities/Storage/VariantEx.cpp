#include "KTFramework/Utilities/Storage/VariantEx.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "KTFramework/Utilities/Storage/VariantExDetail.h"
#include "Platform/ByteOrder.h"
#include "Platform/CLocaleParse.h"

namespace KT
{
namespace
{

using String = VariantEx::String;
using Detail::GetVariantPayload;
using Detail::kVariantTrueText;
using Detail::ReadVariantSlot;

constexpr std::uint32_t kRecordHeaderSize = Variant::RECORD_HEADER_SIZE;
// A record's length travels in 32 bits and comes back as a positive result.
constexpr std::uint64_t kMaxRecordLength = 0x7FFFFFFF;

// A C string for the parsers: the payload itself when a NUL ends the text
// inside it, else a terminated copy.
class TerminatedText
{
public:
    TerminatedText(const char* chars, std::size_t length, bool terminated)
        : mChars(terminated ? chars : nullptr)
    {
        if (mChars == nullptr)
        {
            mCopy.assign(chars, length);
            mChars = mCopy.c_str();
        }
    }
    const char* Get() const noexcept { return mChars; }

private:
    std::string mCopy;
    const char* mChars;
};

// strcmp's order over two texts of known length that hold no NUL.
int CompareTexts(const char* a, std::size_t aLength, const char* b, std::size_t bLength) noexcept
{
    const std::size_t common = aLength < bLength ? aLength : bLength;
    const int bytes = common == 0 ? 0 : std::memcmp(a, b, common);
    if (bytes != 0)
    {
        return bytes;
    }
    return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

// "True" in any mix of capitals and small letters; C-locale case folding.
bool IsTrueText(const char* text, std::size_t length) noexcept
{
    if (length != sizeof(kVariantTrueText) - 1)
    {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i)
    {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
        {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kVariantTrueText[i])
        {
            return false;
        }
    }
    return true;
}

// Whether p lies inside the count objects from first on.
template <class T>
bool IsWithin(const void* p, const T* first, std::size_t count) noexcept
{
    if (first == nullptr || count == 0)
    {
        return false;
    }
    const std::less_equal<const void*> lessEqual;
    const std::less<const void*> less;
    return lessEqual(first, p) && less(p, first + count);
}

// The element records of an Array payload: counted while a length field fits
// before the end. A record is never shorter than its header, so a shorter
// length (0 would never advance) ends the walk as malformed.
std::size_t CountElementRecords(const unsigned char* data, std::size_t size) noexcept
{
    std::size_t count = 0;
    std::size_t offset = 0;
    while (data != nullptr && offset + 4 < size)
    {
        const std::uint32_t length = ReadLE32(data + offset);
        if (length < kRecordHeaderSize)
        {
            break;
        }
        ++count;
        offset += length;
    }
    return count;
}

template <class T>
int UnpackArray(const Variant& source, Array<T>& items)
{
    // The source may be one of the list's own elements, which clearing the
    // list destroys: unpack a copy then.
    if (IsWithin(&source, items.GetPtr(), static_cast<std::size_t>(items.GetCount())))
    {
        const Variant copy(source);
        return UnpackArray(copy, items);
    }

    static_cast<void>(items.SetCount(0)); // emptying cannot fail
    const Variant::Type kind = source.GetType();
    if (kind == Variant::TYPE_EMPTY)
    {
        return 0;
    }
    if (kind != Variant::TYPE_ARRAY)
    {
        return RESULT_INVALID_ARGUMENT;
    }

    std::size_t size = 0;
    const unsigned char* data = GetVariantPayload(source, size);
    const std::size_t count = CountElementRecords(data, size);
    if (items.SetCount(count) != static_cast<int64_t>(count))
    {
        return RESULT_FAILED;
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        // A cut-off or malformed element stays as the record reader left it:
        // Empty.
        static_cast<void>(source.GetArrayElement(i, items.GetAt(i)));
    }
    return 0;
}

// The list's elements as the pointer list that the record writer takes.
void PointToElements(const Array<VariantEx>& items, Array<const Variant*>& pointers)
{
    const std::size_t count = static_cast<std::size_t>(items.GetCount());
    static_cast<void>(pointers.SetCount(count)); // a vector's resize: grows or throws
    for (std::size_t i = 0; i < count; ++i)
    {
        pointers.GetAt(i) = &items.GetAt(i);
    }
}

} // namespace

const VariantEx VariantEx::Empty;

VariantEx::VariantEx() : Variant(), IStringable(), mBuffer() {}

// Built Empty first: the base's copy would allocate before this class's
// buffer operations are in place.
VariantEx::VariantEx(const VariantEx& other) : Variant(), IStringable(), mBuffer()
{
    Variant::Set(other);
}

VariantEx& VariantEx::operator=(const VariantEx& other)
{
    Variant::Set(other);
    return *this;
}

// The base's destructor would free the payload with its own FreeBuffer.
VariantEx::~VariantEx()
{
    Clear();
    mBuffer.SetNull();
}

VariantEx::Type VariantEx::Set(const String& text)
{
    const std::size_t length = text.GetLength();
    RCPtr<LIBuffer> copy = PayloadBuffer::Create(length + 1, 0, true);
    if (!copy)
    {
        Clear();
        return TYPE_EMPTY;
    }
    if (length > 0)
    {
        std::memcpy(copy->GetRawPtr(), text.CStr(), length);
    }
    Clear();
    mBuffer = copy;
    SetFields(TYPE_STRING, mBuffer->GetRawPtr(), mBuffer->GetSizeBytes());
    return TYPE_STRING;
}

VariantEx::Type VariantEx::Set(const ConstRCPtr<LIBuffer>& buffer)
{
    // The copy is made before anything is cleared: buffer may be this
    // variant's own.
    RCPtr<LIBuffer> copy;
    if (!!buffer)
    {
        copy = RCPtr<LIBuffer>::Downcast(buffer->CreateCopy());
    }
    Clear();
    if (!copy)
    {
        return TYPE_EMPTY;
    }
    mBuffer = copy;
    SetFields(TYPE_BUFFER, mBuffer->GetRawPtr(), mBuffer->GetSizeBytes());
    return TYPE_BUFFER;
}

VariantEx::Type VariantEx::Set(const VariantEx& other)
{
    if (&other == this)
    {
        return GetType();
    }
    const Type kind = other.GetType();
    if (kind < TYPE_BUFFER)
    {
        Clear();
        mBuffer.SetNull();
        return Variant::Set(other);
    }

    std::size_t size = 0;
    const void* data = other.GetConstPointer(size);
    if (data != nullptr && (!other.mBuffer || other.mBuffer->GetRawPtr() != data))
    {
        // A payload outside the other's buffer cannot be shared.
        return Variant::Set(other);
    }
    // An unshareable buffer arrives here as a private copy.
    RCPtr<LIBuffer> shared = other.mBuffer;
    Clear();
    mBuffer.SwapReference(shared);
    SetFields(kind, data != nullptr ? mBuffer->GetRawPtr() : nullptr, data != nullptr ? size : 0);
    return kind;
}

VariantEx::Type VariantEx::ResizeBuffer(std::size_t size)
{
    const Type kind = GetType();
    if (kind != TYPE_BUFFER)
    {
        return kind;
    }
    std::size_t oldSize = 0;
    if (!mBuffer)
    {
        mBuffer = PayloadBuffer::Create(size, 0, true);
    }
    else
    {
        // Other holders (a variant sharing the payload, a caller of
        // GetBuffer) keep the bytes and size they had.
        if (mBuffer->GetReferenceCount() > 1)
        {
            RCPtr<LIBuffer> copy = RCPtr<LIBuffer>::Downcast(mBuffer->CreateCopy());
            if (!copy)
            {
                return kind;
            }
            mBuffer.SwapReference(copy);
        }
        oldSize = mBuffer->GetSizeBytes();
        mBuffer->ResizeBytes(size);
    }
    if (!mBuffer)
    {
        SetFields(TYPE_BUFFER, nullptr, 0);
        return kind;
    }
    const std::size_t newSize = mBuffer->GetSizeBytes();
    if (newSize > oldSize)
    {
        std::memset(static_cast<char*>(mBuffer->GetRawPtr()) + oldSize, 0, newSize - oldSize);
    }
    SetFields(TYPE_BUFFER, newSize != 0 ? mBuffer->GetRawPtr() : nullptr, newSize);
    return kind;
}

const RCPtr<LIBuffer>& VariantEx::GetBuffer() const
{
    const Type kind = GetType();
    if (kind != TYPE_BUFFER && kind != TYPE_STRING)
    {
        ThrowException<std::runtime_error>(kGetBufferSite);
    }
    return mBuffer;
}

void* VariantEx::AllocBuffer(std::size_t size)
{
    RCPtr<LIBuffer> fresh = PayloadBuffer::Create(size, 0, true);
    mBuffer = fresh;
    return !mBuffer ? nullptr : mBuffer->GetRawPtr();
}

void VariantEx::FreeBuffer(void* data)
{
    if (data != nullptr)
    {
        mBuffer.SetNull();
    }
}

void VariantEx::SetFields(Type kind, void* data, std::uint64_t size)
{
    SetData(data);
    mSize = size;
    mType = kind;
}

VariantEx::Text VariantEx::GetText() const
{
    std::size_t size = 0;
    const unsigned char* data = GetVariantPayload(*this, size);
    if (GetType() != TYPE_STRING || data == nullptr || size == 0)
    {
        return Text{"", 0, true};
    }
    const char* chars = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(chars, 0, size);
    if (nul == nullptr)
    {
        return Text{chars, size, false};
    }
    return Text{chars, static_cast<std::size_t>(static_cast<const char*>(nul) - chars), true};
}

long VariantEx::ParseLong() const
{
    const Text text = GetText();
    return Platform::ParseLongInCLocale(TerminatedText(text.Chars, text.Length, text.Terminated).Get());
}

unsigned long long VariantEx::ParseUnsignedLongLong() const
{
    const Text text = GetText();
    return Platform::ParseUnsignedLongLongInCLocale(
        TerminatedText(text.Chars, text.Length, text.Terminated).Get());
}

double VariantEx::ParseDouble() const
{
    const Text text = GetText();
    return Platform::ParseDoubleInCLocale(TerminatedText(text.Chars, text.Length, text.Terminated).Get());
}

// Typed getters: every kind but String converts as the base does; a String is
// read as text in the C locale. The narrow parsers take strtol's long and cut
// it to their width, so no text overflows into undefined behaviour.

bool VariantEx::GetBool() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetBool();
    }
    const Text text = GetText();
    return IsTrueText(text.Chars, text.Length);
}

std::int8_t VariantEx::GetInt8() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetInt8();
    }
    return static_cast<std::int8_t>(ParseLong());
}

std::int16_t VariantEx::GetInt16() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetInt16();
    }
    return static_cast<std::int16_t>(ParseLong());
}

std::int32_t VariantEx::GetInt32() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetInt32();
    }
    return static_cast<std::int32_t>(ParseLong());
}

// strtoull negates a leading minus in unsigned arithmetic: "-5" reads as -5.
std::int64_t VariantEx::GetInt64() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetInt64();
    }
    return static_cast<std::int64_t>(ParseUnsignedLongLong());
}

std::uint8_t VariantEx::GetUInt8() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetUInt8();
    }
    return static_cast<std::uint8_t>(ParseLong());
}

std::uint16_t VariantEx::GetUInt16() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetUInt16();
    }
    return static_cast<std::uint16_t>(ParseLong());
}

std::uint32_t VariantEx::GetUInt32() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetUInt32();
    }
    return static_cast<std::uint32_t>(ParseUnsignedLongLong());
}

std::uint64_t VariantEx::GetUInt64() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetUInt64();
    }
    return ParseUnsignedLongLong();
}

float VariantEx::GetFloat() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetFloat();
    }
    return static_cast<float>(ParseDouble());
}

double VariantEx::GetDouble() const
{
    if (GetType() != TYPE_STRING)
    {
        return Variant::GetDouble();
    }
    return ParseDouble();
}

bool VariantEx::operator==(const VariantEx& other) const
{
    return Variant::operator==(other);
}

bool VariantEx::operator<(const VariantEx& other) const
{
    const Type kind = GetType();
    const Type otherKind = other.GetType();
    if (kind != otherKind)
    {
        if (kind == TYPE_EMPTY || otherKind == TYPE_EMPTY)
        {
            return kind < otherKind;
        }
        // Through the dispatch table, so a String counts by its number.
        return GetDouble() < other.GetDouble();
    }

    switch (kind)
    {
    case TYPE_BOOL:
    case TYPE_UINT8:
        return ReadVariantSlot<std::uint8_t>(*this) < ReadVariantSlot<std::uint8_t>(other);
    case TYPE_INT8:
        return ReadVariantSlot<std::int8_t>(*this) < ReadVariantSlot<std::int8_t>(other);
    case TYPE_INT16:
        return ReadVariantSlot<std::int16_t>(*this) < ReadVariantSlot<std::int16_t>(other);
    case TYPE_UINT16:
        return ReadVariantSlot<std::uint16_t>(*this) < ReadVariantSlot<std::uint16_t>(other);
    case TYPE_INT32:
        return ReadVariantSlot<std::int32_t>(*this) < ReadVariantSlot<std::int32_t>(other);
    case TYPE_UINT32:
        return ReadVariantSlot<std::uint32_t>(*this) < ReadVariantSlot<std::uint32_t>(other);
    case TYPE_INT64:
        return ReadVariantSlot<std::int64_t>(*this) < ReadVariantSlot<std::int64_t>(other);
    case TYPE_UINT64:
        return ReadVariantSlot<std::uint64_t>(*this) < ReadVariantSlot<std::uint64_t>(other);
    case TYPE_FLOAT:
        return ReadVariantSlot<float>(*this) < ReadVariantSlot<float>(other);
    case TYPE_DOUBLE:
        return ReadVariantSlot<double>(*this) < ReadVariantSlot<double>(other);
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    {
        std::size_t size = 0;
        std::size_t otherSize = 0;
        const unsigned char* data = GetVariantPayload(*this, size);
        const unsigned char* otherData = GetVariantPayload(other, otherSize);
        if (size < otherSize)
        {
            return true;
        }
        return reinterpret_cast<std::uintptr_t>(data) < reinterpret_cast<std::uintptr_t>(otherData);
    }
    case TYPE_BUFFER:
    {
        std::size_t size = 0;
        std::size_t otherSize = 0;
        const unsigned char* data = GetVariantPayload(*this, size);
        const unsigned char* otherData = GetVariantPayload(other, otherSize);
        if (size != otherSize)
        {
            return size < otherSize;
        }
        return size != 0 && data != nullptr && otherData != nullptr && std::memcmp(data, otherData, size) < 0;
    }
    case TYPE_STRING:
    {
        const Text text = GetText();
        const Text otherText = other.GetText();
        if (text.Chars == otherText.Chars)
        {
            return false;
        }
        return CompareTexts(text.Chars, text.Length, otherText.Chars, otherText.Length) < 0;
    }
    case TYPE_ARRAY:
        return Variant::operator<(other);
    default:
        return false;
    }
}

int VariantEx::Compare(const VariantEx& other) const
{
    if (*this < other)
    {
        return -1;
    }
    return other < *this ? 1 : 0;
}

int VariantEx::Serialize(RCPtr<LIBuffer>& buffer, std::size_t offset) const
{
    std::size_t size = 0;
    const unsigned char* payload = GetVariantPayload(*this, size);
    if (size > kMaxRecordLength - kRecordHeaderSize || offset > SIZE_MAX - kMaxRecordLength)
    {
        return RESULT_FAILED;
    }
    // Writing into this variant's own buffer would overwrite its payload
    // while it is being written out, and growing the buffer may move the
    // block the variant still points at. The caller's pointer is given a copy
    // of the buffer to grow and write into; the variant keeps the original.
    if (!!buffer && buffer.GetRaw() == mBuffer.GetRaw())
    {
        RCPtr<LIBuffer> copy = RCPtr<LIBuffer>::Downcast(buffer->CreateCopy());
        if (!copy)
        {
            return RESULT_FAILED;
        }
        buffer.SwapReference(copy);
    }

    const std::uint32_t recordLength = static_cast<std::uint32_t>(size + kRecordHeaderSize);
    const std::size_t needed = offset + recordLength;
    std::size_t end = 0;
    if (!buffer)
    {
        buffer = RecordBuffer::Create(needed, 0, true);
        end = needed;
    }
    else
    {
        const std::size_t oldSize = buffer->GetSizeBytes();
        if (oldSize < needed)
        {
            buffer->ResizeBytes(needed);
            end = needed;
            // The grown bytes, the gap before offset among them, would
            // otherwise hold whatever the heap left there.
            if (buffer->GetSizeBytes() >= needed && buffer->GetRawPtr() != nullptr)
            {
                std::memset(static_cast<char*>(buffer->GetRawPtr()) + oldSize, 0, needed - oldSize);
            }
        }
        else
        {
            end = oldSize;
        }
    }

    const Type kind = GetType();
    if ((kind == TYPE_POINTER || kind == TYPE_CONST_POINTER) && size == 0)
    {
        return RESULT_FAILED;
    }
    if (!buffer || buffer->GetRawPtr() == nullptr || buffer->GetSizeBytes() < offset + 1 ||
        buffer->GetSizeBytes() < end || recordLength > end - offset)
    {
        return RESULT_FAILED;
    }
    unsigned char* record = static_cast<unsigned char*>(buffer->GetRawPtr()) + offset;
    WriteLE32(record, recordLength);
    WriteLE32(record + 4, Variant::RECORD_VERSION);
    WriteLE32(record + 8, static_cast<std::uint32_t>(kind));
    if (size != 0)
    {
        std::memcpy(record + kRecordHeaderSize, payload, size);
    }
    return static_cast<int>(recordLength);
}

// The base's reader: its payloads land in this variant's buffer through the
// dispatch table.
int VariantEx::Deserialize(const unsigned char* data, std::size_t length)
{
    return Variant::Deserialize(*this, data, length);
}

VariantEx::Type VariantEx::SetArray(const Array<VariantEx>& items)
{
    return ArrayOfVariantsToVariantArray(items, *this);
}

VariantEx::Type VariantEx::ArrayOfVariantsToVariantArray(const Array<VariantEx>& items, Variant& target)
{
    Array<const Variant*> pointers;
    PointToElements(items, pointers);
    const Variant* const* first = pointers.GetPtr();
    return target.SetArray(first, static_cast<std::size_t>(pointers.GetCount()));
}

int VariantEx::VariantArrayToArrayOfVariants(const Variant& source, Array<VariantEx>& items)
{
    return UnpackArray(source, items);
}

int VariantEx::VariantArrayToArrayOfVariants(const Variant& source, Array<Variant>& items)
{
    return UnpackArray(source, items);
}

// Text forms.

} // namespace KT
