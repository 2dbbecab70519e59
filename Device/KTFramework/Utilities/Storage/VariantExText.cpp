// VariantEx's text forms: the one-line form of every kind, the indented
// listing of an Array, and the XML-escaped form. Numbers are written in the
// "C" locale, so the text reads the same on every host.
#include "KTFramework/Utilities/Storage/VariantEx.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "KTFramework/Utilities/Storage/VariantExDetail.h"

namespace KT
{

namespace
{

using String = VariantEx::String;
using Detail::GetVariantPayload;
using Detail::kVariantFalseText;
using Detail::kVariantTrueText;
using Detail::ReadVariantSlot;

constexpr const char kEmptyText[] = "<empty>";
constexpr const char kEmptyArrayText[] = "<empty array>";
constexpr const char kArrayHeaderFormat[] = "array(%u):";
constexpr const char kIndentUnit[] = "  ";

} // namespace

VariantEx::String VariantEx::ToString() const
{
    return GetString(-1);
}

VariantEx::String VariantEx::GetString(int indent) const
{
    switch (GetType())
    {
    case TYPE_EMPTY:
        return String(kEmptyText);
    case TYPE_BOOL:
        return String(ReadVariantSlot<std::uint8_t>(*this) != 0 ? kVariantTrueText : kVariantFalseText);
    case TYPE_INT8:
    {
        const int value = ReadVariantSlot<std::int8_t>(*this);
        return String::Format("%d (0x%02X)", value, static_cast<unsigned int>(value));
    }
    case TYPE_UINT8:
    {
        const unsigned int value = ReadVariantSlot<std::uint8_t>(*this);
        return String::Format("%u (0x%02X)", value, value);
    }
    case TYPE_INT16:
    {
        const int value = ReadVariantSlot<std::int16_t>(*this);
        return String::Format("%d (0x%04X)", value, static_cast<unsigned int>(value));
    }
    case TYPE_UINT16:
    {
        const unsigned int value = ReadVariantSlot<std::uint16_t>(*this);
        return String::Format("%u (0x%04X)", value, value);
    }
    case TYPE_INT32:
    {
        const int value = ReadVariantSlot<std::int32_t>(*this);
        return String::Format("%d (0x%08X)", value, static_cast<unsigned int>(value));
    }
    case TYPE_UINT32:
    {
        const unsigned int value = ReadVariantSlot<std::uint32_t>(*this);
        return String::Format("%u (0x%08X)", value, value);
    }
    case TYPE_FLOAT:
        // Format writes in the C locale: "1.500000" on every host.
        return String::Format("%f", static_cast<double>(ReadVariantSlot<float>(*this)));
    case TYPE_DOUBLE:
        return String::Format("%lf", ReadVariantSlot<double>(*this));
    case TYPE_INT64:
    {
        const long long value = ReadVariantSlot<std::int64_t>(*this);
        return String::Format("%lld (0x%llX)", value, static_cast<unsigned long long>(value));
    }
    case TYPE_UINT64:
        return String::Format("%llX", static_cast<unsigned long long>(ReadVariantSlot<std::uint64_t>(*this)));
    case TYPE_POINTER:
    case TYPE_CONST_POINTER:
    case TYPE_BUFFER:
    {
        std::size_t size = 0;
        const unsigned char* data = GetVariantPayload(*this, size);
        return String::Format("%llX",
                              static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(data)));
    }
    case TYPE_STRING:
    {
        const Text text = GetText();
        std::size_t size = 0;
        const unsigned char* data = GetVariantPayload(*this, size);
        // Shared only when the buffer is exactly the text and its NUL: the
        // string trims the buffer it adopts, which must not cut this payload.
        if (!!mBuffer && mBuffer->IsShareable() && text.Terminated && text.Length + 1 == size &&
            mBuffer->GetRawPtr() == data && mBuffer->GetSizeBytes() == size)
        {
            return String(mBuffer);
        }
        String copy;
        copy.Assign(text.Chars, text.Length);
        return copy;
    }
    case TYPE_ARRAY:
        return GetArrayString(indent < 0 ? 0u : static_cast<unsigned int>(indent));
    default:
        return String::GetEmpty();
    }
}

VariantEx::String VariantEx::GetArrayString(unsigned int indent) const
{
    if (GetType() != TYPE_ARRAY)
    {
        return GetString(-1);
    }
    return ListArray(indent, 1);
}

// Each level unpacks a copy of what lies below it and indents further, so
// the walk stops at MAX_NESTING_DEPTH: time and text then grow with the
// record's size, not with the square of its depth, and the stack stays bounded.
VariantEx::String VariantEx::ListArray(unsigned int indent, unsigned int level) const
{
    // Called for Arrays only, which always unpack.
    Array<VariantEx> elements;
    static_cast<void>(VariantArrayToArrayOfVariants(*this, elements));
    const std::size_t count = static_cast<std::size_t>(elements.GetCount());
    if (count == 0)
    {
        return String(kEmptyArrayText);
    }

    const String unit(kIndentUnit);
    String padding;
    for (std::uint64_t i = 0; i <= indent; ++i)
    {
        padding += unit;
    }
    const String lineBreak("\n");
    const String open("[");
    const String close("] ");
    const String tooDeep(kTooDeepText);

    String result = String::Format(kArrayHeaderFormat, static_cast<unsigned int>(count));
    for (std::size_t i = 0; i < count; ++i)
    {
        result += lineBreak;
        result += padding;
        result += open;
        result += String::FormatNumber(static_cast<unsigned int>(i), 0);
        result += close;
        const VariantEx& element = elements.GetAt(i);
        if (element.GetType() != TYPE_ARRAY)
        {
            result += element.GetArrayString(indent + 1);
        }
        else if (level < MAX_NESTING_DEPTH)
        {
            result += element.ListArray(indent + 1, level + 1);
        }
        else
        {
            result += tooDeep;
        }
    }
    return result;
}

VariantEx::String VariantEx::GetXMLString() const
{
    const String text = GetString(-1);
    const char* chars = text.CStr();
    const std::size_t length = text.GetLength();
    std::string escaped;
    escaped.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
    {
        switch (chars[i])
        {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        default:
            escaped += chars[i];
            break;
        }
    }
    String result;
    result.Assign(escaped.c_str(), escaped.size());
    return result;
}

} // namespace KT
