#include "KTFramework/Utilities/Storage/Variant.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "Platform/ByteOrder.h"

namespace KT
{

namespace
{

// Width of the inline kinds; 0 for every other code.
size_t ScalarWidth(uint32_t type) noexcept
{
    switch (type)
    {
    case Variant::TYPE_BOOL:
    case Variant::TYPE_INT8:
    case Variant::TYPE_UINT8:
        return 1;
    case Variant::TYPE_INT16:
    case Variant::TYPE_UINT16:
        return 2;
    case Variant::TYPE_INT32:
    case Variant::TYPE_UINT32:
    case Variant::TYPE_FLOAT:
        return 4;
    case Variant::TYPE_DOUBLE:
    case Variant::TYPE_INT64:
    case Variant::TYPE_UINT64:
        return 8;
    default:
        return 0;
    }
}

bool IsScalar(uint32_t type) noexcept
{
    return type >= Variant::TYPE_BOOL && type <= Variant::TYPE_UINT64;
}

bool IsOwned(uint32_t type) noexcept
{
    return type >= Variant::TYPE_BUFFER;
}

bool IsFloating(uint32_t type) noexcept
{
    return type == Variant::TYPE_FLOAT || type == Variant::TYPE_DOUBLE;
}

// Integer getters round half away from zero: below 0 subtract 0.5, anything
// else (NaN too) add 0.5, then truncate. The sum is taken in the precision of
// Real. The truncations below saturate and give 0 for NaN, where a plain cast
// would be undefined.
template <class Real>
Real RoundedSum(Real value) noexcept
{
    return value < Real(0) ? value - Real(0.5) : value + Real(0.5);
}

// Toward zero into a signed Int; what lies beyond its range gives its
// smallest or largest value.
template <class Int>
Int TruncateToSigned(double value) noexcept
{
    // The bound is -min (2^31 or 2^63): a power of two, exact as a double,
    // where 2^63 - 1 would round up.
    constexpr double limit = -static_cast<double>(std::numeric_limits<Int>::min());
    if (std::isnan(value))
    {
        return 0;
    }
    if (value >= limit)
    {
        return std::numeric_limits<Int>::max();
    }
    if (value < -limit)
    {
        return std::numeric_limits<Int>::min();
    }
    return static_cast<Int>(value);
}

// Negative sums keep their two's-complement form (-2.5 gives the 64-bit
// pattern of -3), as the signed getters do; only what lies beyond the 64-bit
// range saturates.
uint64_t TruncateToUInt64(double value) noexcept
{
    if (std::isnan(value))
    {
        return 0;
    }
    if (value < 0.0)
    {
        return static_cast<uint64_t>(TruncateToSigned<int64_t>(value));
    }
    if (value >= 18446744073709551616.0)
    {
        return std::numeric_limits<uint64_t>::max();
    }
    return static_cast<uint64_t>(value);
}

float FloatValue(const unsigned char* slot) noexcept
{
    float value;
    std::memcpy(&value, slot, sizeof(value));
    return value;
}

// Float and Double read from the slot, widened to double.
double FloatingValue(const unsigned char* slot, uint32_t type) noexcept
{
    if (type == Variant::TYPE_FLOAT)
    {
        return FloatValue(slot);
    }
    double value;
    std::memcpy(&value, slot, sizeof(value));
    return value;
}

// A Float or Double rounded in double precision, for the getters whose table
// entry says "rounded to 32 bits" or "rounded to 64 bits".
int32_t RoundedToInt32(const unsigned char* slot, uint32_t type) noexcept
{
    return TruncateToSigned<int32_t>(RoundedSum(FloatingValue(slot, type)));
}

int64_t RoundedToInt64(const unsigned char* slot, uint32_t type) noexcept
{
    return TruncateToSigned<int64_t>(RoundedSum(FloatingValue(slot, type)));
}

} // namespace

void Variant::CheckLayout()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(Variant, mValue) == 8, "value slot follows the dispatch pointer");
    static_assert(offsetof(Variant, mSize) == 16, "size follows the value slot");
    static_assert(offsetof(Variant, mType) == 24, "kind follows the size");
#pragma GCC diagnostic pop
}

Variant::Variant() noexcept : mValue{}, mSize(0), mType(TYPE_EMPTY) {}

Variant::Variant(int value) noexcept : mValue{}, mSize(0), mType(TYPE_EMPTY)
{
    Set(value);
}

Variant::Variant(const Variant& other) : mValue{}, mSize(0), mType(TYPE_EMPTY)
{
    Set(other);
}

Variant& Variant::operator=(const Variant& other)
{
    Set(other);
    return *this;
}

Variant& Variant::operator=(int value)
{
    Set(value);
    return *this;
}

Variant::~Variant()
{
    Clear();
}

void* Variant::GetData() const noexcept
{
    void* data;
    std::memcpy(&data, mValue, sizeof(data));
    return data;
}

void Variant::SetData(void* data) noexcept
{
    std::memset(mValue, 0, sizeof(mValue));
    std::memcpy(mValue, &data, sizeof(data));
}

uint64_t Variant::GetSlotBits() const noexcept
{
    return ReadLE(mValue, 8);
}

// Little-endian value of the first bytes of the data, never past its size.
uint64_t Variant::ReadData(size_t width) const noexcept
{
    const unsigned char* data = static_cast<const unsigned char*>(GetData());
    if (data == nullptr)
    {
        return 0;
    }
    return ReadLE(data, mSize < width ? static_cast<size_t>(mSize) : width);
}

uint64_t Variant::GetTextLength() const noexcept
{
    return mSize > 0 ? mSize - 1 : 0;
}

// The integer kinds as a 64-bit value, signed kinds sign-extended.
int64_t Variant::GetExtendedInteger() const noexcept
{
    const uint64_t bits = GetSlotBits();
    switch (mType)
    {
    case TYPE_INT8:
        return static_cast<int8_t>(bits);
    case TYPE_INT16:
        return static_cast<int16_t>(bits);
    case TYPE_INT32:
        return static_cast<int32_t>(bits);
    default:
        return static_cast<int64_t>(bits);
    }
}

bool Variant::OwnsBytes(const void* data, size_t size) const noexcept
{
    if (!IsOwned(mType) || mSize == 0 || data == nullptr)
    {
        return false;
    }
    const unsigned char* begin = static_cast<const unsigned char*>(GetData());
    const unsigned char* first = static_cast<const unsigned char*>(data);
    // Compared as addresses: the source may lie in any object.
    const uintptr_t ownBegin = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t ownEnd = ownBegin + mSize;
    const uintptr_t otherBegin = reinterpret_cast<uintptr_t>(first);
    const uintptr_t otherEnd = otherBegin + (size > 0 ? size : 1);
    return otherBegin < ownEnd && ownBegin < otherEnd;
}

bool Variant::GetBool() const
{
    switch (mType)
    {
    case TYPE_BOOL:
    case TYPE_INT8:
    case TYPE_UINT8:
    case TYPE_INT16:
    case TYPE_UINT16:
    case TYPE_INT32:
    case TYPE_UINT32:
    case TYPE_INT64:
    case TYPE_UINT64:
        return GetSlotBits() != 0;
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        // Widening keeps NaN and the sign of zero: NaN is true, -0.0 false.
        return FloatingValue(mValue, mType) != 0.0;
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
        return GetData() != nullptr;
    case TYPE_BUFFER:
    case TYPE_ARRAY:
        return mSize != 0;
    case TYPE_STRING:
        return mSize >= 2;
    default:
        return false;
    }
}

int8_t Variant::GetInt8() const
{
    switch (mType)
    {
    case TYPE_BOOL:
        return GetSlotBits() != 0 ? 1 : 0;
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return static_cast<int8_t>(RoundedToInt32(mValue, mType));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return static_cast<int8_t>(ReadData(1));
    case TYPE_STRING:
        return static_cast<int8_t>(GetTextLength());
    default:
        return IsScalar(mType) ? static_cast<int8_t>(GetSlotBits()) : 0;
    }
}

int16_t Variant::GetInt16() const
{
    switch (mType)
    {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return static_cast<int16_t>(RoundedToInt32(mValue, mType));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return static_cast<int16_t>(ReadData(2));
    case TYPE_STRING:
        return static_cast<int16_t>(GetTextLength());
    default:
        return IsScalar(mType) ? static_cast<int16_t>(GetExtendedInteger()) : 0;
    }
}

int32_t Variant::GetInt32() const
{
    switch (mType)
    {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return RoundedToInt32(mValue, mType);
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return static_cast<int32_t>(ReadData(4));
    case TYPE_STRING:
        return static_cast<int32_t>(GetTextLength());
    default:
        return IsScalar(mType) ? static_cast<int32_t>(GetExtendedInteger()) : 0;
    }
}

int64_t Variant::GetInt64() const
{
    switch (mType)
    {
    case TYPE_FLOAT:
        // Rounded in the Float's own precision.
        return TruncateToSigned<int64_t>(RoundedSum(FloatValue(mValue)));
    case TYPE_DOUBLE:
        return RoundedToInt64(mValue, mType);
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return static_cast<int64_t>(ReadData(8));
    case TYPE_STRING:
        return static_cast<int64_t>(GetTextLength());
    default:
        return IsScalar(mType) ? GetExtendedInteger() : 0;
    }
}

uint8_t Variant::GetUInt8() const
{
    return static_cast<uint8_t>(GetInt8());
}

uint16_t Variant::GetUInt16() const
{
    switch (mType)
    {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return static_cast<uint16_t>(RoundedToInt32(mValue, mType));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return static_cast<uint16_t>(ReadData(2));
    case TYPE_STRING:
        return static_cast<uint16_t>(GetTextLength());
    case TYPE_INT8:
        // The slot, not the sign extension: -1 gives 255.
        return static_cast<uint16_t>(GetSlotBits());
    default:
        return IsScalar(mType) ? static_cast<uint16_t>(GetExtendedInteger()) : 0;
    }
}

uint32_t Variant::GetUInt32() const
{
    switch (mType)
    {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return static_cast<uint32_t>(RoundedToInt64(mValue, mType));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return static_cast<uint32_t>(ReadData(4));
    case TYPE_STRING:
        return static_cast<uint32_t>(GetTextLength());
    default:
        return IsScalar(mType) ? static_cast<uint32_t>(GetExtendedInteger()) : 0;
    }
}

uint64_t Variant::GetUInt64() const
{
    switch (mType)
    {
    case TYPE_FLOAT:
        return TruncateToUInt64(RoundedSum(FloatValue(mValue)));
    case TYPE_DOUBLE:
        return TruncateToUInt64(RoundedSum(FloatingValue(mValue, mType)));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return ReadData(8);
    case TYPE_STRING:
        return GetTextLength();
    default:
        return IsScalar(mType) ? static_cast<uint64_t>(GetExtendedInteger()) : 0;
    }
}

float Variant::GetFloat() const
{
    switch (mType)
    {
    case TYPE_BOOL:
    case TYPE_UINT8:
    case TYPE_UINT16:
    case TYPE_UINT32:
    case TYPE_UINT64:
        return static_cast<float>(GetSlotBits());
    case TYPE_INT8:
    case TYPE_INT16:
    case TYPE_INT32:
    case TYPE_INT64:
        return static_cast<float>(GetExtendedInteger());
    case TYPE_FLOAT:
        return FloatValue(mValue);
    case TYPE_DOUBLE:
        return static_cast<float>(FloatingValue(mValue, mType));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
    case TYPE_STRING:
        return static_cast<float>(GetInt32());
    default:
        return 0.0f;
    }
}

double Variant::GetDouble() const
{
    switch (mType)
    {
    case TYPE_BOOL:
    case TYPE_UINT8:
    case TYPE_UINT16:
    case TYPE_UINT32:
    case TYPE_UINT64:
        return static_cast<double>(GetSlotBits());
    case TYPE_INT8:
    case TYPE_INT16:
    case TYPE_INT32:
    case TYPE_INT64:
        return static_cast<double>(GetExtendedInteger());
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return FloatingValue(mValue, mType);
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
    case TYPE_STRING:
        return static_cast<double>(GetInt64());
    default:
        return 0.0;
    }
}

const void* Variant::GetConstPointer(size_t& size) const
{
    if (IsScalar(mType))
    {
        size = ScalarWidth(mType);
        return mValue;
    }
    if (mType >= TYPE_POINTER && mType <= TYPE_ARRAY)
    {
        size = static_cast<size_t>(mSize);
        return GetData();
    }
    size = 0;
    return nullptr;
}

void* Variant::GetPointer(size_t& size)
{
    if (mType == TYPE_CONST_POINTER || mType == TYPE_ARRAY)
    {
        size = 0;
        return nullptr;
    }
    return const_cast<void*>(GetConstPointer(size));
}

const char* Variant::GetCStr() const
{
    return mType == TYPE_STRING ? static_cast<const char*>(GetData()) : nullptr;
}

void* Variant::AllocBuffer(size_t size)
{
    return new unsigned char[size];
}

void Variant::FreeBuffer(void* data)
{
    delete[] static_cast<unsigned char*>(data);
}

bool Variant::IsNegative() const
{
    switch (mType)
    {
    case TYPE_INT8:
    case TYPE_INT16:
    case TYPE_INT32:
    case TYPE_INT64:
        return GetExtendedInteger() < 0;
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return FloatingValue(mValue, mType) < 0.0;
    default:
        return false;
    }
}

void Variant::Clear()
{
    if (IsOwned(mType))
    {
        FreeBuffer(GetData());
    }
    std::memset(mValue, 0, sizeof(mValue));
    mSize = 0;
    mType = TYPE_EMPTY;
}

Variant::Type Variant::Set(Type type, const void* data, size_t size)
{
    const size_t width = ScalarWidth(type);
    if (width > 0)
    {
        // Read before clearing: the bytes may be this variant's own.
        unsigned char bytes[8] = {};
        const bool fits = data != nullptr && size == width;
        if (fits)
        {
            std::memcpy(bytes, data, width);
        }
        Clear();
        if (!fits)
        {
            return TYPE_EMPTY;
        }
        std::memcpy(mValue, bytes, width);
        mType = type;
        return type;
    }
    switch (type)
    {
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
        return SetBuffer(data, size);
    case TYPE_ARRAY:
        if (SetBuffer(data, size) != TYPE_BUFFER)
        {
            return TYPE_EMPTY;
        }
        mType = TYPE_ARRAY;
        return TYPE_ARRAY;
    case TYPE_STRING:
        return Set(static_cast<const char*>(data));
    default:
        Clear();
        return TYPE_EMPTY;
    }
}

Variant::Type Variant::SetBuffer(const void* data, size_t size)
{
    if (data != nullptr && OwnsBytes(data, size))
    {
        Variant copy;
        copy.SetBuffer(data, size);
        return SetBuffer(copy.GetData(), size);
    }
    Clear();
    if (size == 0)
    {
        // An empty buffer holds no storage, so it can never be shared.
        mType = TYPE_BUFFER;
        return TYPE_BUFFER;
    }
    void* block = AllocBuffer(size);
    if (block == nullptr)
    {
        return TYPE_EMPTY;
    }
    if (data != nullptr)
    {
        std::memcpy(block, data, size);
    }
    SetData(block);
    mSize = size;
    mType = TYPE_BUFFER;
    return TYPE_BUFFER;
}

Variant::Type Variant::SetText(const char* text, size_t length)
{
    if (OwnsBytes(text, length))
    {
        Variant copy;
        copy.SetText(text, length);
        return SetText(static_cast<const char*>(copy.GetData()), length);
    }
    Clear();
    void* block = AllocBuffer(length + 1);
    if (block == nullptr)
    {
        return TYPE_EMPTY;
    }
    if (length > 0)
    {
        std::memcpy(block, text, length);
    }
    static_cast<char*>(block)[length] = '\0';
    SetData(block);
    mSize = length + 1;
    mType = TYPE_STRING;
    return TYPE_STRING;
}

Variant::Type Variant::Set(const char* text)
{
    if (text == nullptr)
    {
        return SetText("", 0);
    }
    return SetText(text, std::strlen(text));
}

Variant::Type Variant::Set(int value)
{
    Clear();
    WriteLE(mValue, static_cast<uint32_t>(value), 4);
    mType = TYPE_INT32;
    return TYPE_INT32;
}

Variant::Type Variant::Set(const Variant& source)
{
    if (&source == this)
    {
        return GetType();
    }
    Clear();
    if (!IsOwned(source.mType))
    {
        std::memcpy(mValue, source.mValue, sizeof(mValue));
    }
    else if (source.mSize > 0)
    {
        void* block = AllocBuffer(static_cast<size_t>(source.mSize));
        if (block == nullptr)
        {
            return TYPE_EMPTY;
        }
        std::memcpy(block, source.GetData(), static_cast<size_t>(source.mSize));
        SetData(block);
    }
    mSize = source.mSize;
    mType = source.mType;
    return GetType();
}

bool Variant::operator==(const Variant& other) const
{
    if (mType != other.mType)
    {
        return false;
    }
    switch (mType)
    {
    case TYPE_EMPTY:
        return true;
    case TYPE_FLOAT:
        return FloatValue(mValue) == FloatValue(other.mValue);
    case TYPE_DOUBLE:
        return FloatingValue(mValue, mType) == FloatingValue(other.mValue, mType);
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
        return GetData() == other.GetData() && mSize == other.mSize;
    case TYPE_BUFFER:
    case TYPE_STRING:
    case TYPE_ARRAY:
        return mSize == other.mSize &&
               (mSize == 0 || std::memcmp(GetData(), other.GetData(), static_cast<size_t>(mSize)) == 0);
    default:
        if (IsScalar(mType))
        {
            const size_t width = ScalarWidth(mType);
            return std::memcmp(mValue, other.mValue, width) == 0;
        }
        return false;
    }
}

namespace
{

// Shorter first, then unsigned bytes; equal gives false.
bool BytesLess(const unsigned char* left, size_t leftSize, const unsigned char* right, size_t rightSize)
{
    if (leftSize != rightSize)
    {
        return leftSize < rightSize;
    }
    if (leftSize == 0 || left == nullptr || right == nullptr)
    {
        return false;
    }
    return std::memcmp(left, right, leftSize) < 0;
}

constexpr double TWO_POW_63 = 9223372036854775808.0;
constexpr double TWO_POW_64 = 18446744073709551616.0;

} // namespace

bool Variant::operator<(const Variant& other) const
{
    return IsLess(other, 1);
}

bool Variant::IsLess(const Variant& other, unsigned int level) const
{
    if (mType != other.mType)
    {
        if (mType == TYPE_EMPTY || other.mType == TYPE_EMPTY)
        {
            return mType < other.mType;
        }
        if (mType <= TYPE_DOUBLE && other.mType <= TYPE_DOUBLE)
        {
            return GetDouble() < other.GetDouble();
        }
        if (mType <= TYPE_UINT64 && other.mType <= TYPE_UINT64)
        {
            const bool leftNegative = IsNegative();
            const bool rightNegative = other.IsNegative();
            if (leftNegative && !rightNegative)
            {
                return true;
            }
            if (!leftNegative && rightNegative)
            {
                return false;
            }
            if (IsFloating(mType))
            {
                const double d = GetDouble();
                if (d < 0.0)
                {
                    return d < -TWO_POW_63 ? true : GetInt64() < other.GetInt64();
                }
                return d > TWO_POW_64 ? false : GetUInt64() < other.GetUInt64();
            }
            if (IsFloating(other.mType))
            {
                const double d = other.GetDouble();
                if (d < 0.0)
                {
                    return d < -TWO_POW_63 ? false : GetInt64() < other.GetInt64();
                }
                return d > TWO_POW_64 ? true : GetUInt64() < other.GetUInt64();
            }
            return GetDouble() < other.GetDouble();
        }
        // Mixed with a kind that has data: a scalar contributes its 8-byte slot.
        const unsigned char* left = mValue;
        size_t leftSize = sizeof(mValue);
        if (mType > TYPE_UINT64)
        {
            left = static_cast<const unsigned char*>(GetData());
            leftSize = static_cast<size_t>(mSize);
        }
        const unsigned char* right = other.mValue;
        size_t rightSize = sizeof(other.mValue);
        if (other.mType > TYPE_UINT64)
        {
            right = static_cast<const unsigned char*>(other.GetData());
            rightSize = static_cast<size_t>(other.mSize);
        }
        return BytesLess(left, leftSize, right, rightSize);
    }

    const uint64_t leftBits = GetSlotBits();
    const uint64_t rightBits = other.GetSlotBits();
    switch (mType)
    {
    case TYPE_BOOL:
    case TYPE_UINT8:
    case TYPE_UINT16:
    case TYPE_UINT32:
    case TYPE_UINT64:
        return leftBits < rightBits;
    case TYPE_INT8:
    case TYPE_INT16:
    case TYPE_INT32:
    case TYPE_INT64:
        return GetExtendedInteger() < other.GetExtendedInteger();
    case TYPE_FLOAT:
        return FloatValue(mValue) < FloatValue(other.mValue);
    case TYPE_DOUBLE:
        return FloatingValue(mValue, mType) < FloatingValue(other.mValue, mType);
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
        if (mSize < other.mSize)
        {
            return true;
        }
        return reinterpret_cast<uintptr_t>(GetData()) < reinterpret_cast<uintptr_t>(other.GetData());
    case TYPE_BUFFER:
        return BytesLess(static_cast<const unsigned char*>(GetData()), static_cast<size_t>(mSize),
                         static_cast<const unsigned char*>(other.GetData()),
                         static_cast<size_t>(other.mSize));
    case TYPE_STRING:
    {
        if (mSize != other.mSize)
        {
            return mSize < other.mSize;
        }
        const signed char* left = static_cast<const signed char*>(GetData());
        const signed char* right = static_cast<const signed char*>(other.GetData());
        for (uint64_t i = 0; i < mSize; ++i)
        {
            if (left[i] != right[i])
            {
                return left[i] < right[i];
            }
        }
        return false;
    }
    case TYPE_ARRAY:
    {
        if (level > MAX_NESTING_DEPTH)
        {
            // Too deep to walk: ordered by the bytes of the payload, which
            // orders the two Array records alike (their headers differ only in
            // the length, which follows the payload's size). Byte-equal values
            // are the ones the walk above sees as equal, so the order stays
            // strict weak.
            return BytesLess(static_cast<const unsigned char*>(GetData()), static_cast<size_t>(mSize),
                             static_cast<const unsigned char*>(other.GetData()),
                             static_cast<size_t>(other.mSize));
        }
        const size_t leftCount = GetArrayLength();
        const size_t rightCount = other.GetArrayLength();
        const size_t count = leftCount < rightCount ? leftCount : rightCount;
        Variant leftItem;
        Variant rightItem;
        for (size_t i = 0; i < count; ++i)
        {
            // An element that cannot be read is left Empty and compares so.
            static_cast<void>(GetArrayElement(i, leftItem));
            static_cast<void>(other.GetArrayElement(i, rightItem));
            if (leftItem != rightItem)
            {
                return leftItem.IsLess(rightItem, level + 1);
            }
        }
        return leftCount < rightCount;
    }
    default:
        return false;
    }
}

} // namespace KT
