// Interim text type until the framework string lands: only what the object base
// needs to render its ToString text.
#pragma once

#include <string>

namespace KT
{

template <class CharT, class OtherCharT>
class StringT
{
public:
    StringT() = default;
    StringT(const char* text) : mText(text != nullptr ? text : "") {}
    virtual ~StringT() = default;

    StringT& operator+=(const StringT& other)
    {
        mText += other.mText;
        return *this;
    }
    const char* CStr() const { return mText.c_str(); }

private:
    std::string mText;
};

} // namespace KT
