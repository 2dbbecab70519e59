// Property lists: a small owning layer over the plist library, for the library
// and the uninstaller alike. A Plist owns one tree and frees it; a PlistNode
// looks at a node inside a tree that some Plist owns and is valid only while
// that tree is unchanged. Lists are written as XML; any format the library
// knows is read, or XML text only (PlistInput), and malformed input gives a
// null Plist. Integers are kept as 64-bit two's complement: a negative value is
// written and read back as itself ("<integer>-1</integer>"). No shared state:
// different trees may be used on different threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace KT::Platform
{

// What FromBytes reads.
enum class PlistInput
{
    AnyFormat,
    // XML text as a C string may hold it (a file, a section of an
    // executable): NULs at its end are not part of it, and a NUL before them
    // makes it malformed. The plist library reads a string with a NUL inside
    // as other bytes than it writes back, so a list that is read, changed and
    // written again would change where nobody touched it.
    XmlText
};

enum class PlistType
{
    Null,
    Boolean,
    Integer,
    Real,
    String,
    Data,
    Array,
    Dictionary,
    Other
};

class PlistNode
{
public:
    PlistNode() noexcept = default;
    explicit PlistNode(void* node) noexcept : mNode(node) {}

    explicit operator bool() const noexcept { return mNode != nullptr; }
    PlistType GetType() const noexcept;

    // Each getter is false, leaving out untouched, for a node of another type.
    [[nodiscard]] bool GetString(std::string& out) const;
    [[nodiscard]] bool GetData(std::vector<unsigned char>& out) const;
    [[nodiscard]] bool GetInteger(std::int64_t& out) const;
    [[nodiscard]] bool GetBool(bool& out) const;

    // 0 and null nodes for a node that is not an array or dictionary.
    std::size_t GetArraySize() const noexcept;
    PlistNode GetArrayItem(std::size_t index) const noexcept;
    PlistNode GetDictionaryItem(const char* key) const noexcept;
    // A dictionary's entries in its order; none for any other node.
    std::vector<std::pair<std::string, PlistNode>> GetDictionaryItems() const;

    void* GetRaw() const noexcept { return mNode; }

private:
    void* mNode = nullptr;
};

class Plist
{
public:
    Plist() noexcept = default;
    Plist(Plist&& other) noexcept : mRoot(other.mRoot) { other.mRoot = nullptr; }
    Plist& operator=(Plist&& other) noexcept;
    ~Plist();
    Plist(const Plist&) = delete;
    Plist& operator=(const Plist&) = delete;

    static Plist NewDictionary();
    static Plist NewArray();
    static Plist NewString(const std::string& text);
    static Plist NewData(const unsigned char* bytes, std::size_t size);
    static Plist NewInteger(std::int64_t value);
    static Plist NewBool(bool value);

    // Reads a list; null for malformed, empty or oversized input.
    static Plist FromBytes(const unsigned char* bytes, std::size_t size,
                           PlistInput input = PlistInput::AnyFormat);
    static Plist FromBytes(const std::vector<unsigned char>& bytes, PlistInput input = PlistInput::AnyFormat)
    {
        return FromBytes(bytes.data(), bytes.size(), input);
    }

    // A tree of its own with the same contents; null for a null list.
    Plist Copy() const;

    bool IsNull() const noexcept { return mRoot == nullptr; }
    PlistNode GetRoot() const noexcept { return PlistNode(mRoot); }
    PlistType GetType() const noexcept { return GetRoot().GetType(); }

    // Moves value into this dictionary under key (replacing an entry there) or
    // to the end of this array. False, with value left as it was, when this is
    // not of that type or value is null.
    [[nodiscard]] bool SetItem(const char* key, Plist&& value);
    [[nodiscard]] bool Append(Plist&& value);
    // Removes entry index of array, a node of this tree; false when array is
    // not an array or has no such entry.
    [[nodiscard]] bool RemoveArrayItem(PlistNode array, std::size_t index);

    // The XML form; false for a null list.
    [[nodiscard]] bool ToXml(std::vector<unsigned char>& out) const;

private:
    explicit Plist(void* root) noexcept : mRoot(root) {}

    void* mRoot = nullptr;
};

} // namespace KT::Platform
