#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace KT::Platform
{

PlistType PlistNode::GetType() const noexcept
{
    if (mNode == nullptr)
    {
        return PlistType::Null;
    }
    switch (plist_get_node_type(mNode))
    {
    case PLIST_BOOLEAN:
        return PlistType::Boolean;
    case PLIST_UINT:
        return PlistType::Integer;
    case PLIST_REAL:
        return PlistType::Real;
    case PLIST_STRING:
        return PlistType::String;
    case PLIST_DATA:
        return PlistType::Data;
    case PLIST_ARRAY:
        return PlistType::Array;
    case PLIST_DICT:
        return PlistType::Dictionary;
    default:
        return PlistType::Other;
    }
}

bool PlistNode::GetString(std::string& out) const
{
    if (GetType() != PlistType::String)
    {
        return false;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(mNode, &length);
    out.assign(text != nullptr ? text : "", text != nullptr ? static_cast<std::size_t>(length) : 0);
    return true;
}

bool PlistNode::GetData(std::vector<unsigned char>& out) const
{
    if (GetType() != PlistType::Data)
    {
        return false;
    }
    std::uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(mNode, &length);
    if (bytes == nullptr)
    {
        out.clear();
        return true;
    }
    out.assign(reinterpret_cast<const unsigned char*>(bytes),
               reinterpret_cast<const unsigned char*>(bytes) + length);
    return true;
}

bool PlistNode::GetInteger(std::int64_t& out) const
{
    if (GetType() != PlistType::Integer)
    {
        return false;
    }
    std::uint64_t value = 0;
    plist_get_uint_val(mNode, &value);
    // The library keeps every integer unsigned; negative values were stored as
    // their two's complement.
    out = static_cast<std::int64_t>(value);
    return true;
}

bool PlistNode::GetBool(bool& out) const
{
    if (GetType() != PlistType::Boolean)
    {
        return false;
    }
    std::uint8_t value = 0;
    plist_get_bool_val(mNode, &value);
    out = value != 0;
    return true;
}

std::size_t PlistNode::GetArraySize() const noexcept
{
    return GetType() == PlistType::Array ? plist_array_get_size(mNode) : 0;
}

PlistNode PlistNode::GetArrayItem(std::size_t index) const noexcept
{
    if (index >= GetArraySize())
    {
        return PlistNode();
    }
    return PlistNode(plist_array_get_item(mNode, static_cast<std::uint32_t>(index)));
}

PlistNode PlistNode::GetDictionaryItem(const char* key) const noexcept
{
    if (GetType() != PlistType::Dictionary || key == nullptr)
    {
        return PlistNode();
    }
    return PlistNode(plist_dict_get_item(mNode, key));
}

std::vector<std::pair<std::string, PlistNode>> PlistNode::GetDictionaryItems() const
{
    std::vector<std::pair<std::string, PlistNode>> items;
    plist_dict_iter iterator = nullptr;
    if (GetType() == PlistType::Dictionary)
    {
        plist_dict_new_iter(mNode, &iterator);
    }
    if (iterator == nullptr)
    {
        return items;
    }
    for (;;)
    {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(mNode, iterator, &key, &value);
        if (value != nullptr)
        {
            items.emplace_back(key != nullptr ? key : "", PlistNode(value));
        }
        std::free(key);
        if (value == nullptr)
        {
            break;
        }
    }
    std::free(iterator);
    return items;
}

Plist& Plist::operator=(Plist&& other) noexcept
{
    if (this != &other)
    {
        if (mRoot != nullptr)
        {
            plist_free(mRoot);
        }
        mRoot = other.mRoot;
        other.mRoot = nullptr;
    }
    return *this;
}

Plist::~Plist()
{
    if (mRoot != nullptr)
    {
        plist_free(mRoot);
    }
}

Plist Plist::NewDictionary()
{
    return Plist(plist_new_dict());
}

Plist Plist::NewArray()
{
    return Plist(plist_new_array());
}

Plist Plist::NewString(const std::string& text)
{
    return Plist(plist_new_string(text.c_str()));
}

Plist Plist::NewData(const unsigned char* bytes, std::size_t size)
{
    static const char kNoBytes = 0;
    return Plist(plist_new_data(size != 0 ? reinterpret_cast<const char*>(bytes) : &kNoBytes, size));
}

Plist Plist::NewInteger(std::int64_t value)
{
    return Plist(plist_new_uint(static_cast<std::uint64_t>(value)));
}

Plist Plist::NewBool(bool value)
{
    return Plist(plist_new_bool(value ? 1 : 0));
}

Plist Plist::FromBytes(const unsigned char* bytes, std::size_t size, PlistInput input)
{
    if (bytes == nullptr)
    {
        return Plist();
    }
    if (input == PlistInput::XmlText)
    {
        while (size > 0 && bytes[size - 1] == 0)
        {
            --size;
        }
        if (std::find(bytes, bytes + size, 0) != bytes + size)
        {
            return Plist();
        }
    }
    if (size == 0 || size > std::numeric_limits<std::uint32_t>::max())
    {
        return Plist();
    }
    plist_t root = nullptr;
    const char* text = reinterpret_cast<const char*>(bytes);
    if (input == PlistInput::XmlText)
    {
        plist_from_xml(text, static_cast<std::uint32_t>(size), &root);
    }
    else
    {
        plist_from_memory(text, static_cast<std::uint32_t>(size), &root);
    }
    return Plist(root);
}

Plist Plist::Copy() const
{
    return Plist(mRoot != nullptr ? plist_copy(mRoot) : nullptr);
}

bool Plist::RemoveArrayItem(PlistNode array, std::size_t index)
{
    if (mRoot == nullptr || array.GetType() != PlistType::Array || index >= array.GetArraySize())
    {
        return false;
    }
    plist_array_remove_item(array.GetRaw(), static_cast<std::uint32_t>(index));
    return true;
}

bool Plist::SetItem(const char* key, Plist&& value)
{
    if (GetType() != PlistType::Dictionary || key == nullptr || value.IsNull())
    {
        return false;
    }
    plist_dict_set_item(mRoot, key, value.mRoot);
    value.mRoot = nullptr;
    return true;
}

bool Plist::Append(Plist&& value)
{
    if (GetType() != PlistType::Array || value.IsNull())
    {
        return false;
    }
    plist_array_append_item(mRoot, value.mRoot);
    value.mRoot = nullptr;
    return true;
}

bool Plist::ToXml(std::vector<unsigned char>& out) const
{
    if (mRoot == nullptr)
    {
        return false;
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(mRoot, &xml, &length);
    if (xml == nullptr)
    {
        return false;
    }
    out.assign(reinterpret_cast<unsigned char*>(xml), reinterpret_cast<unsigned char*>(xml) + length);
    plist_to_xml_free(xml);
    return true;
}

} // namespace KT::Platform
