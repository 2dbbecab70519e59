// Owned property-list trees on top of libplist, with the few typed look-ups the
// uninstaller needs. A tree that cannot be parsed is simply absent: libplist
// reports failure only by handing back no tree.
#pragma once

#include <plist/plist.h>

#include <optional>
#include <span>
#include <string>

namespace Uninstaller::Platform
{

class PropertyList
{
public:
    PropertyList() noexcept = default;
    explicit PropertyList(plist_t node) noexcept : mNode(node) {}
    ~PropertyList();

    PropertyList(PropertyList&& other) noexcept : mNode(other.mNode) { other.mNode = nullptr; }
    PropertyList& operator=(PropertyList&& other) noexcept;
    PropertyList(const PropertyList&) = delete;
    PropertyList& operator=(const PropertyList&) = delete;

    // Parses XML text; trailing NUL bytes (a C string kept whole in a section)
    // are not part of it. Empty when the text is not a property list, a NUL
    // before the trailing ones included.
    static PropertyList FromXML(std::span<const unsigned char> text);
    static PropertyList NewDictionary();

    plist_t Get() const noexcept { return mNode; }
    explicit operator bool() const noexcept { return mNode != nullptr; }

    // The tree as XML text; nothing when libplist cannot write it.
    std::optional<std::string> ToXML() const;

private:
    plist_t mNode = nullptr;
};

// Typed look-ups that give nothing for a missing key or a value of another kind.
plist_t DictionaryItem(plist_t dictionary, const char* key);
std::optional<std::string> DictionaryString(plist_t dictionary, const char* key);
std::optional<bool> DictionaryBool(plist_t dictionary, const char* key);
bool IsDictionary(plist_t node);

} // namespace Uninstaller::Platform
