// The rights database: R/etc/uninstallhelper/rights.plist under an install
// root R ("/" on a real system), an XML property list mapping each right's
// name to {rule, description, table}. It is read only when the file and every
// folder above it are safe (SafeFiles.h), and replaced whole and atomically,
// root:root 0644. Writers take turns on an exclusive lock of rights.lock
// beside it, root's alone (0600) in a folder only root may change: the folder
// and the rights file are open to everyone, and a lock any user can hold
// would let that user hold every writer back. A writer waits for the lock a
// bounded time and then fails as for a file that cannot be read. A file that
// cannot be read is reported and left exactly as it is.
#pragma once

#include "Platform/PropertyList.h"
#include "Platform/Uninstaller/Authorization.h"

#include <chrono>
#include <span>
#include <string>
#include <string_view>

namespace Uninstaller::Platform
{

struct RightDefinition
{
    std::string rule;
    std::string description;
    std::string table; // the localisation table of the description
};

// How long Store waits for another writer; writers hold the lock only for
// one read and one write of the small file.
inline constexpr std::chrono::milliseconds kRightsLockWait{5000};

class RightsDatabase
{
public:
    explicit RightsDatabase(std::string root, std::chrono::milliseconds lockWait = kRightsLockWait);

    const std::string& Root() const noexcept { return mRoot; }
    // R/etc/uninstallhelper/rights.plist
    std::string FilePath() const;

    // errAuthorizationSuccess with the definition filled in, errAuthorizationDenied
    // for a right that is absent (no file counts as no rights), or
    // errAuthorizationInternal when the file is unsafe, unreadable or damaged.
    [[nodiscard]] OSStatus Lookup(std::string_view name, RightDefinition& definition) const;

    // Adds or replaces one right, keeping the others. errAuthorizationInternal
    // when the present file cannot be read (it is left untouched) or cannot be
    // replaced, or the lock did not come within the wait;
    // errAuthorizationDenied when the process may not write it.
    [[nodiscard]] OSStatus Store(std::string_view name, const RightDefinition& definition) const;

private:
    std::string mRoot;
    std::chrono::milliseconds mLockWait;
};

// What Lookup and Store do with the file's contents, apart from the file.
// ParseRights: errAuthorizationSuccess with the tree when the bytes are XML
// text of a dictionary, else errAuthorizationInternal. FindRight: Lookup's
// answer from a tree (an absent tree holds no rights). PutRight: adds or
// replaces one right in a dictionary tree; false when tree is none.
[[nodiscard]] OSStatus ParseRights(std::span<const unsigned char> bytes, KT::Platform::Plist& tree);
[[nodiscard]] OSStatus FindRight(const KT::Platform::Plist& tree, std::string_view name,
                                 RightDefinition& definition);
[[nodiscard]] bool PutRight(KT::Platform::Plist& tree, std::string_view name,
                            const RightDefinition& definition);

// Whether rightName exists, without fetching its definition: success,
// errAuthorizationDenied (absent) or errAuthorizationInternal (unreadable).
[[nodiscard]] OSStatus AuthorizationRightGet(const RightsDatabase& database, std::string_view rightName);

// Registers rightName with its rule as definition; the authorization must be
// present (errAuthorizationInvalidRef otherwise).
[[nodiscard]] OSStatus AuthorizationRightSet(const Authorization* authorization,
                                             const RightsDatabase& database, std::string_view rightName,
                                             const RightDefinition& definition);

// path (absolute) as seen below root: "/" + path is path itself.
std::string PathBelowRoot(const std::string& root, std::string_view path);

} // namespace Uninstaller::Platform
