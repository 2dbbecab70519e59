#include "Platform/Uninstaller/RightsDatabase.h"

#include "Platform/Uninstaller/FileDescriptor.h"
#include "Platform/Uninstaller/SafeFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Uninstaller::Platform
{

using KT::Platform::Plist;
using KT::Platform::PlistNode;

namespace
{

constexpr char kFolder[] = "/etc/uninstallhelper";
constexpr char kFileName[] = "rights.plist";
constexpr char kRuleKey[] = "rule";
constexpr char kDescriptionKey[] = "description";
constexpr char kTableKey[] = "table";
constexpr char kLockName[] = "rights.lock";
constexpr mode_t kFileMode = 0644;
constexpr mode_t kLockMode = 0600;
constexpr mode_t kGroupOrOther = S_IRWXG | S_IRWXO;
// How often a writer looks again for a lock that another writer holds.
constexpr std::chrono::milliseconds kLockRetry{5};
// A rights file is a few entries; anything far larger is not one of ours.
constexpr std::size_t kMaxFileBytes = 1024 * 1024;

// Reads and parses the database. Success with an empty tree when there is no
// file; errAuthorizationInternal when it is unsafe, unreadable or not a
// dictionary.
OSStatus ReadTree(const RightsDatabase& database, Plist& tree)
{
    tree = Plist();
    FileDescriptor file;
    struct stat info
    {
    };
    const int opened = OpenThroughSafeFolders(database.FilePath(), file, info);
    if (opened == ENOENT)
    {
        return errAuthorizationSuccess;
    }
    if (opened != 0 || !S_ISREG(info.st_mode) || !IsSafeFile(info))
    {
        return errAuthorizationInternal;
    }
    std::vector<unsigned char> bytes;
    if (ReadAll(file.Get(), kMaxFileBytes, bytes) != 0)
    {
        return errAuthorizationInternal;
    }
    return ParseRights(bytes, tree);
}

OSStatus StatusForWriteError(int error)
{
    return (error == EPERM || error == EACCES) ? errAuthorizationDenied : errAuthorizationInternal;
}

// Takes the writers' lock in folder, waiting until deadline. Only a lock file
// that no other user can open keeps others from holding the lock.
OSStatus LockWriters(int folder, std::chrono::steady_clock::time_point deadline, FileDescriptor& lock)
{
    struct stat info
    {
    };
    if (::fstat(folder, &info) != 0 || info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        // Only root can give the rights file its owner: a process of another
        // user that made the folder itself may not write, as ever.
        return ::geteuid() == 0 ? errAuthorizationInternal : errAuthorizationDenied;
    }
    lock.Reset(
        ::openat(folder, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode));
    if (!lock)
    {
        return StatusForWriteError(errno);
    }
    if (::fstat(lock.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0 ||
        (info.st_mode & kGroupOrOther) != 0)
    {
        return errAuthorizationInternal;
    }
    for (;;)
    {
        if (::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0)
        {
            return errAuthorizationSuccess;
        }
        if (errno != EINTR && (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline))
        {
            return errAuthorizationInternal;
        }
        std::this_thread::sleep_for(kLockRetry);
    }
}

} // namespace

OSStatus ParseRights(std::span<const unsigned char> bytes, Plist& tree)
{
    tree = Plist::FromBytes(bytes.data(), bytes.size(), KT::Platform::PlistInput::XmlText);
    return tree.GetType() == KT::Platform::PlistType::Dictionary ? errAuthorizationSuccess
                                                                 : errAuthorizationInternal;
}

OSStatus FindRight(const Plist& tree, std::string_view name, RightDefinition& definition)
{
    const PlistNode entry = tree.GetRoot().GetDictionaryItem(std::string(name).c_str());
    if (!entry)
    {
        return errAuthorizationDenied;
    }
    std::string rule;
    if (!entry.GetDictionaryItem(kRuleKey).GetString(rule))
    {
        return errAuthorizationInternal;
    }
    // Only the rule must be there; a missing description or table is empty.
    std::string description;
    std::string table;
    (void)entry.GetDictionaryItem(kDescriptionKey).GetString(description);
    (void)entry.GetDictionaryItem(kTableKey).GetString(table);
    definition = {std::move(rule), std::move(description), std::move(table)};
    return errAuthorizationSuccess;
}

bool PutRight(Plist& tree, std::string_view name, const RightDefinition& definition)
{
    Plist entry = Plist::NewDictionary();
    return entry.SetItem(kRuleKey, Plist::NewString(definition.rule)) &&
           entry.SetItem(kDescriptionKey, Plist::NewString(definition.description)) &&
           entry.SetItem(kTableKey, Plist::NewString(definition.table)) &&
           tree.SetItem(std::string(name).c_str(), std::move(entry));
}

std::string PathBelowRoot(const std::string& root, std::string_view path)
{
    std::string joined = root;
    while (!joined.empty() && joined.back() == '/')
    {
        joined.pop_back();
    }
    joined += path;
    return joined;
}

RightsDatabase::RightsDatabase(std::string root, std::chrono::milliseconds lockWait)
    : mRoot(std::move(root)), mLockWait(lockWait)
{
}

std::string RightsDatabase::FilePath() const
{
    return PathBelowRoot(mRoot, std::string(kFolder) + "/" + kFileName);
}

OSStatus RightsDatabase::Lookup(std::string_view name, RightDefinition& definition) const
{
    Plist tree;
    if (const OSStatus read = ReadTree(*this, tree); read != errAuthorizationSuccess)
    {
        return read;
    }
    return FindRight(tree, name, definition);
}

OSStatus RightsDatabase::Store(std::string_view name, const RightDefinition& definition) const
{
    FileDescriptor root(::open(mRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root)
    {
        return StatusForWriteError(errno);
    }
    FileDescriptor folder;
    if (const int error = OpenOrMakeFolders(root.Get(), kFolder, folder); error != 0)
    {
        return StatusForWriteError(error);
    }
    // Writers take turns, so two stores cannot lose each other's right.
    FileDescriptor lock;
    if (const OSStatus locked = LockWriters(folder.Get(), std::chrono::steady_clock::now() + mLockWait, lock);
        locked != errAuthorizationSuccess)
    {
        return locked;
    }
    Plist tree;
    if (const OSStatus read = ReadTree(*this, tree); read != errAuthorizationSuccess)
    {
        return read;
    }
    if (tree.IsNull())
    {
        tree = Plist::NewDictionary();
    }
    std::vector<unsigned char> xml;
    if (!PutRight(tree, name, definition) || !tree.ToXml(xml))
    {
        return errAuthorizationInternal;
    }
    const int error = ReplaceFileAtomically(folder.Get(), kFileName, xml.data(), xml.size(), kFileMode);
    return error == 0 ? errAuthorizationSuccess : StatusForWriteError(error);
}

OSStatus AuthorizationRightGet(const RightsDatabase& database, std::string_view rightName)
{
    RightDefinition unused;
    return database.Lookup(rightName, unused);
}

OSStatus AuthorizationRightSet(const Authorization* authorization, const RightsDatabase& database,
                               std::string_view rightName, const RightDefinition& definition)
{
    if (authorization == nullptr)
    {
        return errAuthorizationInvalidRef;
    }
    return database.Store(rightName, definition);
}

} // namespace Uninstaller::Platform
