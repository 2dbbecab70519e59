// The tagged value whose owned data (Buffer, String, Array) lives in a shared
// reference-counted byte buffer, so text and bytes pass in and out without a
// copy. Adds getters that read a String as text, text forms, records written at
// an offset into a growing buffer, and conversions between an Array value and a
// list of element values. A plain value object: whoever holds it owns it, and
// one thread uses it at a time; only its payload buffer may be shared. The
// text forms are defined in VariantExText.cpp, the rest in VariantEx.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"
#include "KTFramework/Defs/Exceptions/KTException.h"
#include "KTFramework/Defs/Result.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/Buffer.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Storage/Variant.h"

namespace KT
{

class VariantEx : public Variant, public IStringable
{
public:
    using String = StringT<char, unsigned short>;

    // Where every payload of kinds Buffer, String and Array is kept.
    using PayloadBuffer = LBufferT<1, 128, 8, char*, GetSystemAllocator>;
    // The buffer that Serialize creates for a null destination.
    using RecordBuffer = LBufferT<1, 0, 8, char*, GetSystemAllocator>;

    // Stands in the text forms for an Array nested too deep to be listed.
    static constexpr const char kTooDeepText[] = "<nesting too deep>";

    // The raising site of GetBuffer on a kind without a buffer.
    static constexpr ExceptionSite kGetBufferSite = ExceptionSites::kVariantExGetBuffer;

    VariantEx();
    // A deep copy whose payload lives in a buffer of its own.
    VariantEx(const VariantEx& other);
    VariantEx& operator=(const VariantEx& other);
    using Variant::operator=;
    ~VariantEx() override;

    using Variant::Set;
    // A String holding the string's text and its NUL.
    Type Set(const String& text);
    // A Buffer holding a copy of the bytes (later changes of the source do not
    // reach it); Empty for a null pointer.
    Type Set(const ConstRCPtr<LIBuffer>& buffer);
    // Takes over the other's value and shares its payload buffer.
    Type Set(const VariantEx& other);

    // Buffer kind only: the payload keeps its content up to the new size, new
    // bytes read 0. Other holders of the old buffer keep theirs unchanged.
    Type ResizeBuffer(std::size_t size);
    // The payload buffer of a Buffer or String; throws for every other kind.
    const RCPtr<LIBuffer>& GetBuffer() const;

    bool GetBool() const override;
    std::int8_t GetInt8() const override;
    std::int16_t GetInt16() const override;
    std::int32_t GetInt32() const override;
    std::int64_t GetInt64() const override;
    std::uint8_t GetUInt8() const override;
    std::uint16_t GetUInt16() const override;
    std::uint32_t GetUInt32() const override;
    std::uint64_t GetUInt64() const override;
    float GetFloat() const override;
    double GetDouble() const override;

    void* AllocBuffer(std::size_t size) override;
    void FreeBuffer(void* data) override;

    // The text form with indent -1.
    String ToString() const override;
    // An Array as an indented listing, one element a line; any other kind as
    // its one-line form. An Array nested past MAX_NESTING_DEPTH is listed as
    // kTooDeepText.
    virtual String GetArrayString(unsigned int indent) const;
    // The one-line form; an Array gives its listing (a negative indent as 0).
    String GetString(int indent) const;
    // The one-line form with & < > " ' replaced by their XML entities.
    String GetXMLString() const;

    template <class T>
    T Get() const;

    bool operator==(const VariantEx& other) const;
    bool operator!=(const VariantEx& other) const { return !(*this == other); }
    bool operator<(const VariantEx& other) const;
    // -1 when this orders first, 1 when other does, else 0.
    int Compare(const VariantEx& other) const;

    using Variant::Serialize;
    // Writes this value's record at offset into buffer, creating the buffer
    // when it is null and growing it when it is short (never shrinking it).
    // When buffer is this variant's own payload buffer, buffer is given a
    // copy of it to write into and the variant keeps its payload unchanged.
    // Returns the record length, or RESULT_FAILED.
    [[nodiscard]] int Serialize(RCPtr<LIBuffer>& buffer, std::size_t offset) const;
    using Variant::Deserialize;
    // Replaces the value by the record at data; 0 or RESULT_FAILED.
    [[nodiscard]] int Deserialize(const unsigned char* data, std::size_t length);

    using Variant::SetArray;
    Type SetArray(const Array<VariantEx>& items);
    static Type ArrayOfVariantsToVariantArray(const Array<VariantEx>& items, Variant& target);
    // One list element per record of an Array; an Empty source gives an empty
    // list; any other kind RESULT_INVALID_ARGUMENT.
    [[nodiscard]] static int VariantArrayToArrayOfVariants(const Variant& source, Array<VariantEx>& items);
    [[nodiscard]] static int VariantArrayToArrayOfVariants(const Variant& source, Array<Variant>& items);

    static const VariantEx Empty;

private:
    // The text of a String: its payload up to the first NUL, never past it.
    struct Text
    {
        const char* Chars;
        std::size_t Length;
        // A NUL follows the text inside the payload.
        bool Terminated;
    };
    Text GetText() const;
    // The text read as a number in the C locale, as strtol, strtoull (both in
    // base 10) and strtod read it.
    long ParseLong() const;
    unsigned long long ParseUnsignedLongLong() const;
    double ParseDouble() const;
    // The listing of an Array at the given nesting level.
    String ListArray(unsigned int indent, unsigned int level) const;
    // Writes kind, data pointer and size of the inherited fields together.
    void SetFields(Type kind, void* data, std::uint64_t size);

    RCPtr<LIBuffer> mBuffer;
};

// The base's 32 bytes, the dispatch pointer of the text interface, the buffer.
static_assert(sizeof(VariantEx) == 48, "VariantEx adds one pointer field to its two bases");

namespace Detail
{
template <class T>
inline constexpr bool kNoVariantExGetter = false;
} // namespace Detail

template <class T>
T VariantEx::Get() const
{
    if constexpr (std::is_same_v<T, bool>)
        return GetBool();
    else if constexpr (std::is_same_v<T, signed char>)
        return GetInt8();
    else if constexpr (std::is_same_v<T, unsigned char>)
        return GetUInt8();
    else if constexpr (std::is_same_v<T, short>)
        return GetInt16();
    else if constexpr (std::is_same_v<T, unsigned short>)
        return GetUInt16();
    else if constexpr (std::is_same_v<T, int>)
        return GetInt32();
    else if constexpr (std::is_same_v<T, unsigned int>)
        return GetUInt32();
    else if constexpr (std::is_same_v<T, long long>)
        return GetInt64();
    else if constexpr (std::is_same_v<T, unsigned long long>)
        return GetUInt64();
    else if constexpr (std::is_same_v<T, float>)
        return GetFloat();
    else if constexpr (std::is_same_v<T, double>)
        return GetDouble();
    else if constexpr (std::is_same_v<T, String>)
        return GetString(-1);
    else
        static_assert(Detail::kNoVariantExGetter<T>, "VariantEx::Get has no getter for this type");
}

} // namespace KT
