// A list of strings with two searches: by content and by the identity of a
// string's text. A name registry uses it to give names stable indices; the
// list owns its strings, which share their buffers as string copies do.
#pragma once

#include "KTFramework/Utilities/Storage/Array.h"
#include "KTFramework/Utilities/Storage/StringT.h"

namespace KT
{

template <class CharT, class OtherCharT>
class StringArrayT : public Array<StringT<CharT, OtherCharT>>
{
public:
    using String = StringT<CharT, OtherCharT>;

    StringArrayT() = default;
    StringArrayT(const StringArrayT& other) = default;
    StringArrayT& operator=(const StringArrayT& other) = default;
    ~StringArrayT() override = default;

    // Index of the first element at or after start that equals text (compared
    // without regard to case when caseSensitive is false); -1 when none.
    long FindString(const String& text, bool caseSensitive, unsigned long start) const;

    // Index of the last element whose text is the very pointer given (identity,
    // not content), so a caller handing back a pointer it got from the list is
    // answered without comparing text; -1 when none.
    long FindContained(const CharT* text) const;
};

template <class CharT, class OtherCharT>
long StringArrayT<CharT, OtherCharT>::FindString(const String& text, bool caseSensitive,
                                                 unsigned long start) const
{
    const unsigned long count = static_cast<unsigned long>(this->GetCount());
    for (unsigned long i = start; i < count; ++i)
    {
        const String& element = this->GetAt(i);
        if (caseSensitive ? element == text : element.Compare(text, false) == 0)
        {
            return static_cast<long>(i);
        }
    }
    return -1;
}

template <class CharT, class OtherCharT>
long StringArrayT<CharT, OtherCharT>::FindContained(const CharT* text) const
{
    for (unsigned long i = static_cast<unsigned long>(this->GetCount()); i > 0; --i)
    {
        if (this->GetAt(i - 1).CStr() == text)
        {
            return static_cast<long>(i - 1);
        }
    }
    return -1;
}

} // namespace KT
