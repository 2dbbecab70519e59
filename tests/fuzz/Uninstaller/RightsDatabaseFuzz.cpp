// The rights database's file as the helper reads it: ParseRights on the bytes,
// FindRight on every right the file names, and PutRight with the XML writing
// that Store does on top of it.
//
// Properties: a right the file names is found, or reported damaged, never
// absent; after a right is added and the tree is written and read again, that
// right reads back as added and every other right exactly as before.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <plist/plist.h>

#include "Platform/Uninstaller/RightsDatabase.h"
#include "fuzz/FuzzCheck.h"

using namespace Uninstaller::Platform;

namespace
{

struct Found
{
    OSStatus status;
    RightDefinition definition;

    bool operator==(const Found& other) const
    {
        return status == other.status && definition.rule == other.definition.rule &&
               definition.description == other.definition.description &&
               definition.table == other.definition.table;
    }
};

std::map<std::string, Found> FindAll(const KT::Platform::Plist& tree)
{
    std::map<std::string, Found> rights;
    const auto dictionary = static_cast<plist_t>(tree.GetRoot().GetRaw());
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dictionary, &iterator);
    FUZZ_CHECK(iterator != nullptr);
    for (;;)
    {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dictionary, iterator, &key, &value);
        if (value == nullptr)
        {
            std::free(key);
            break;
        }
        Found found{};
        found.status = FindRight(tree, key, found.definition);
        rights.emplace(key, found);
        std::free(key);
    }
    std::free(iterator);
    return rights;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    KT::Platform::Plist tree;
    if (ParseRights(std::span<const unsigned char>(data, size), tree) != errAuthorizationSuccess)
    {
        return 0;
    }
    std::map<std::string, Found> rights = FindAll(tree);
    for (const auto& [name, found] : rights)
    {
        FUZZ_CHECK(found.status == errAuthorizationSuccess || found.status == errAuthorizationInternal);
    }

    const std::string added = "com.korvanelabs.lumetraworks.wirebridge.uninstall";
    const RightDefinition definition{"authenticate-admin", "Remove the driver & its <files>", "Uninstaller"};
    FUZZ_CHECK(PutRight(tree, added, definition));
    rights[added] = Found{errAuthorizationSuccess, definition};

    std::vector<unsigned char> xml;
    FUZZ_CHECK(tree.ToXml(xml));
    KT::Platform::Plist again;
    FUZZ_CHECK(ParseRights(xml, again) == errAuthorizationSuccess);
    FUZZ_CHECK(FindAll(again) == rights);
    return 0;
}
