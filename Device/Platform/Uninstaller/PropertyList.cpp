#include "Platform/Uninstaller/PropertyList.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace Uninstaller::Platform
{

PropertyList::~PropertyList()
{
    if (mNode != nullptr)
    {
        plist_free(mNode);
    }
}

PropertyList& PropertyList::operator=(PropertyList&& other) noexcept
{
    if (this != &other)
    {
        PropertyList old(mNode);
        mNode = other.mNode;
        other.mNode = nullptr;
    }
    return *this;
}

PropertyList PropertyList::FromXML(std::span<const unsigned char> text)
{
    while (!text.empty() && text.back() == 0)
    {
        text = text.first(text.size() - 1);
    }
    if (text.empty() || text.size() > std::numeric_limits<std::uint32_t>::max())
    {
        return PropertyList();
    }
    // No XML text holds a NUL, and libplist reads a string with one inside as
    // other bytes than it writes back: a tree read from it would be written
    // out changed.
    if (std::find(text.begin(), text.end(), 0) != text.end())
    {
        return PropertyList();
    }
    plist_t node = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(text.data()), static_cast<std::uint32_t>(text.size()),
                   &node);
    return PropertyList(node);
}

PropertyList PropertyList::NewDictionary()
{
    return PropertyList(plist_new_dict());
}

std::optional<std::string> PropertyList::ToXML() const
{
    if (mNode == nullptr)
    {
        return std::nullopt;
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(mNode, &xml, &length);
    if (xml == nullptr)
    {
        return std::nullopt;
    }
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

bool IsDictionary(plist_t node)
{
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

plist_t DictionaryItem(plist_t dictionary, const char* key)
{
    return IsDictionary(dictionary) ? plist_dict_get_item(dictionary, key) : nullptr;
}

std::optional<std::string> DictionaryString(plist_t dictionary, const char* key)
{
    const plist_t item = DictionaryItem(dictionary, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING)
    {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    if (text == nullptr)
    {
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<bool> DictionaryBool(plist_t dictionary, const char* key)
{
    const plist_t item = DictionaryItem(dictionary, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_BOOLEAN)
    {
        return std::nullopt;
    }
    std::uint8_t value = 0;
    plist_get_bool_val(item, &value);
    return value != 0;
}

} // namespace Uninstaller::Platform
