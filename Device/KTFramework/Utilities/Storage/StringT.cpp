#include "KTFramework/Utilities/Storage/StringT.h"

#include <cstring>
#include <new>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Result.h"

namespace KT
{

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>::StringT() : mBuffer(GetEmpty().mBuffer)
{
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>::StringT(CharT character)
    : mBuffer(StringBuffer::Create(UnitBytes(character != 0 ? 2 : 1), 0, true))
{
    Units()[0] = character;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>::StringT(const CharT* text)
{
    Assign(text, kWholeText);
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>::StringT(const StringT& other)
{
    if (other.IsLocked())
    {
        Assign(other.CStr(), other.GetLength());
    }
    else
    {
        mBuffer = other.mBuffer;
    }
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>::StringT(const RCPtr<LIBuffer>& buffer) : mBuffer(buffer)
{
    if (!mBuffer)
    {
        mBuffer = GetEmpty().mBuffer;
        return;
    }
    const unsigned long length = StrLen(Units(), BufferUnits());
    mBuffer->ResizeBytes(UnitBytes(length + 1));
    Units()[length] = 0;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>::~StringT() = default;

template <class CharT, class OtherCharT>
void StringT<CharT, OtherCharT>::Assign(const CharT* text, unsigned long maxUnits)
{
    if (maxUnits > kWholeText)
    {
        maxUnits = kWholeText;
    }
    const bool locked = IsLocked();
    if (text == nullptr || maxUnits == 0 || text[0] == 0)
    {
        if (locked)
        {
            Units()[0] = 0;
        }
        else
        {
            mBuffer = GetEmpty().mBuffer;
        }
        return;
    }
    const unsigned long length = StrLen(text, maxUnits);
    if (locked)
    {
        // The text may come from this very buffer.
        const std::size_t units = BufferUnits();
        const std::size_t count = length < units - 1 ? length : units - 1;
        std::memmove(Units(), text, UnitBytes(count));
        Units()[count] = 0;
        return;
    }
    // The new buffer is complete before the old one is released, so the text may
    // come from it.
    RCPtr<LIBuffer> buffer = StringBuffer::Create(UnitBytes(length + 1), 0, true);
    CharT* units = buffer->template GetPtr<CharT>();
    std::memcpy(units, text, UnitBytes(length));
    units[length] = 0;
    mBuffer = buffer;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::operator=(const StringT& other)
{
    if (this == &other)
    {
        return *this;
    }
    if (!IsLocked() && !other.IsLocked())
    {
        mBuffer = other.mBuffer;
    }
    else
    {
        Assign(other.CStr(), other.GetLength());
    }
    return *this;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::operator=(const CharT* text)
{
    Assign(text, kWholeText);
    return *this;
}

template <class CharT, class OtherCharT>
unsigned long StringT<CharT, OtherCharT>::GetLength() const
{
    const std::size_t units = BufferUnits();
    if (!IsLocked())
    {
        return units != 0 ? units - 1 : 0;
    }
    // A writer may have overwritten the last NUL: the text ends at the buffer.
    return StrLen(Units(), units);
}

template <class CharT, class OtherCharT>
CharT* StringT<CharT, OtherCharT>::Lock(unsigned long size)
{
    if (IsLocked())
    {
        return nullptr;
    }
    if (size == 0)
    {
        size = GetLength() + 1;
    }
    const std::size_t bytes = UnitBytes(size);
    if (!mBuffer)
    {
        mBuffer = StringBuffer::Create(bytes, 0, true);
    }
    else if (mBuffer->IsShared())
    {
        RCPtr<LIBuffer> copy = mBuffer->CreateCopy(bytes, 0);
        if (!copy)
        {
            ThrowException<std::runtime_error>(ExceptionSites::kStringTLock);
        }
        mBuffer = copy;
    }
    // Resized before it is marked, so a failed resize leaves the string unlocked
    // and as it was. The units the resize adds are cleared: the holder may read
    // the whole buffer.
    const std::size_t oldBytes = mBuffer->GetSizeBytes();
    mBuffer->ResizeBytes(bytes);
    if (bytes > oldBytes)
    {
        std::memset(mBuffer->template GetPtr<unsigned char>() + oldBytes, 0, bytes - oldBytes);
    }
    mBuffer->SetUnshareable(true);
    CharT* units = Units();
    units[size - 1] = 0;
    return units;
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::Release()
{
    if (!IsLocked())
    {
        return RESULT_FALSE;
    }
    const unsigned long length = GetLength();
    if (length == 0)
    {
        mBuffer = GetEmpty().mBuffer;
        return 0;
    }
    // Resized while still marked, so a failed resize leaves the string locked with
    // its text.
    mBuffer->ResizeBytes(UnitBytes(length + 1));
    Units()[length] = 0;
    mBuffer->SetUnshareable(false);
    return 0;
}

template <class CharT, class OtherCharT>
unsigned long StringT<CharT, OtherCharT>::StrLen(const CharT* text, unsigned long maxUnits)
{
    if (text == nullptr)
    {
        return 0;
    }
    if constexpr (sizeof(CharT) == 1)
    {
        return ::strnlen(reinterpret_cast<const char*>(text), maxUnits);
    }
    else
    {
        unsigned long length = 0;
        while (length < maxUnits && text[length] != 0)
        {
            ++length;
        }
        return length;
    }
}

template <class CharT, class OtherCharT>
void StringT<CharT, OtherCharT>::StrCopy(CharT* destination, unsigned long size, const CharT* source,
                                         unsigned long count)
{
    if (destination == nullptr || size == 0)
    {
        return;
    }
    destination[size - 1] = 0;
    const unsigned long span = count < size - 1 ? count : size - 1;
    unsigned long i = 0;
    if (source != nullptr)
    {
        for (; i < span && source[i] != 0; ++i)
        {
            destination[i] = source[i];
        }
    }
    for (; i < span; ++i)
    {
        destination[i] = 0;
    }
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::operator+=(const StringT& other)
{
    if (other.IsEmpty())
    {
        return *this;
    }
    const unsigned long length = GetLength();
    const unsigned long otherLength = other.GetLength();
    const unsigned long total = length + otherLength + 1;
    const bool wasLocked = IsLocked();
    CharT* units;
    if (wasLocked)
    {
        // A larger locked buffer shrinks to exactly the new text and its NUL.
        mBuffer->ResizeBytes(UnitBytes(total));
        units = Units();
        units[total - 1] = 0;
    }
    else
    {
        units = Lock(total);
    }
    // Read after the lock, from the buffer the other string holds by then: a
    // string appended to itself doubles.
    StrCopy(units + length, otherLength + 1, other.CStr(), otherLength);
    if (!wasLocked)
    {
        Release();
    }
    return *this;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::operator+=(CharT character)
{
    if (character != 0)
    {
        static_cast<void>(Insert(GetLength(), &character, 1)); // at the end: always a valid position
    }
    return *this;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::operator+(const StringT& other) const
{
    StringT result(*this);
    result += other;
    return result;
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::Insert(unsigned long position, const CharT* text, unsigned long count)
{
    if (position > GetLength())
    {
        return RESULT_INVALID_ARGUMENT;
    }
    StringT part;
    if (count < kWholeText && StrLen(text, count) >= count)
    {
        part.Assign(text, count);
    }
    else
    {
        part.Assign(text, kWholeText);
    }
    return Insert(position, part);
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::Insert(unsigned long position, const StringT& other)
{
    const unsigned long length = GetLength();
    if (position > length)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    // Stored with operator=, so a locked string keeps its buffer and cuts the text
    // to it, except at the end, where += grows the buffer.
    if (position == length)
    {
        *this += StringT(other);
    }
    else if (position == 0)
    {
        *this = other + *this;
    }
    else
    {
        *this = GetSubString(0, position) + other + GetSubString(static_cast<long>(position));
    }
    return 0;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::GetSubString(long start, unsigned long count) const
{
    const unsigned long length = GetLength();
    StringT result;
    if (start < 0)
    {
        start += static_cast<long>(length);
        if (start < 0)
        {
            // The part of the window before the text is dropped.
            const unsigned long before = 0ul - static_cast<unsigned long>(start);
            if (count <= before)
            {
                return result;
            }
            count -= before;
            start = 0;
        }
    }
    const unsigned long first = static_cast<unsigned long>(start);
    if (first >= length || count == 0)
    {
        return result;
    }
    if (count > length - first)
    {
        count = length - first;
    }
    result.Assign(CStr() + first, count);
    return result;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::GetSubString(long start) const
{
    // GetLength() - start, without signed overflow for any start.
    return GetSubString(start, GetLength() - static_cast<unsigned long>(start));
}

template <class CharT, class OtherCharT>
bool StringT<CharT, OtherCharT>::IsEqual(const StringT& other) const
{
    if (mBuffer == other.mBuffer)
    {
        return true;
    }
    const unsigned long length = GetLength();
    return length == other.GetLength() && std::memcmp(CStr(), other.CStr(), UnitBytes(length)) == 0;
}

template <class CharT, class OtherCharT>
bool StringT<CharT, OtherCharT>::IsEqual(const CharT* text) const
{
    if (text == nullptr || text[0] == 0)
    {
        return IsEmpty();
    }
    if (IsEmpty())
    {
        return false;
    }
    const unsigned long length = GetLength();
    return StrLen(text, length + 1) == length && std::memcmp(CStr(), text, UnitBytes(length)) == 0;
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::Compare(const StringT& other, bool caseSensitive) const
{
    if (CStr() == other.CStr())
    {
        return 0;
    }
    return CompareUnits(CStr(), GetLength(), other.CStr(), other.GetLength(), caseSensitive);
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::Compare(const CharT* text, bool caseSensitive) const
{
    return CompareUnits(CStr(), GetLength(), text, StrLen(text, kWholeText), caseSensitive);
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::StrCompare(const CharT* text1, const CharT* text2, bool caseSensitive)
{
    return CompareUnits(text1, StrLen(text1, kWholeText), text2, StrLen(text2, kWholeText), caseSensitive);
}

template <class CharT, class OtherCharT>
int StringT<CharT, OtherCharT>::CompareUnits(const CharT* text1, std::size_t length1, const CharT* text2,
                                             std::size_t length2, bool caseSensitive) noexcept
{
    using Unit = std::make_unsigned_t<CharT>;
    const std::size_t common = length1 < length2 ? length1 : length2;
    for (std::size_t i = 0; i < common; ++i)
    {
        CharT a = text1[i];
        CharT b = text2[i];
        if (!caseSensitive)
        {
            a = ToLower(a);
            b = ToLower(b);
        }
        if (a != b)
        {
            return static_cast<int>(static_cast<Unit>(a)) - static_cast<int>(static_cast<Unit>(b));
        }
    }
    // The shorter text ends with its NUL where the longer one goes on.
    if (length1 > common)
    {
        return static_cast<int>(static_cast<Unit>(caseSensitive ? text1[common] : ToLower(text1[common])));
    }
    if (length2 > common)
    {
        return -static_cast<int>(static_cast<Unit>(caseSensitive ? text2[common] : ToLower(text2[common])));
    }
    return 0;
}

template <class CharT, class OtherCharT>
StringT<CharT, OtherCharT> StringT<CharT, OtherCharT>::ToLower() const
{
    StringT result;
    const unsigned long length = GetLength();
    result.Assign(CStr(), length);
    if (!result.IsEmpty())
    {
        // The result's buffer is new and held by nobody else.
        CharT* units = result.Units();
        for (unsigned long i = 0; i < length; ++i)
        {
            units[i] = ToLower(units[i]);
        }
    }
    return result;
}

template <class CharT, class OtherCharT>
CharT StringT<CharT, OtherCharT>::ToLower(CharT character) noexcept
{
    const auto unit = static_cast<std::make_unsigned_t<CharT>>(character);
    if (unit >= 'A' && unit <= 'Z')
    {
        return static_cast<CharT>(unit + ('a' - 'A'));
    }
    return character;
}

template <class CharT, class OtherCharT>
const StringT<CharT, OtherCharT>& StringT<CharT, OtherCharT>::GetEmpty()
{
    // Never destroyed: static destructors that run after this library's may still
    // make and drop empty strings. The buffer stays reachable from here.
    static const StringT* const sEmpty = new StringT(CharT(0));
    return *sEmpty;
}

template <class CharT, class OtherCharT>
std::size_t StringT<CharT, OtherCharT>::UnitBytes(std::size_t units)
{
    if (units > SIZE_MAX / sizeof(CharT))
    {
        throw std::bad_alloc();
    }
    return units * sizeof(CharT);
}

// Built ahead of the ordinary static objects of the library (and of whatever links
// it in statically), so their constructors may use Empty, and destroyed after
// them. Its buffer is the one GetEmpty() keeps for the life of the process.
template <>
const StringT<char, unsigned short> StringT<char, unsigned short>::Empty
    __attribute__((init_priority(1000))) (StringT<char, unsigned short>::GetEmpty());
template <>
const StringT<unsigned short, char> StringT<unsigned short, char>::Empty
    __attribute__((init_priority(1000))) (StringT<unsigned short, char>::GetEmpty());

// Members defined in other source files are instantiated there.
template class StringT<char, unsigned short>;
template class StringT<unsigned short, char>;

} // namespace KT
