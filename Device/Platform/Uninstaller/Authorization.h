// Authorization for the uninstaller, in place of the system's authorization
// services. A reference names the process that made it: its process ID, that
// process's start time (so a reused ID does not inherit it) and 16 random
// bytes. Its 32-byte external form travels to the helper, which accepts it
// only from that very process, checked against the connection's kernel
// credentials, and then grants a right by the rule stored for it in the
// rights database (RightsDatabase.h).
//
// External form, little-endian:
//   0  "UHAF"   4  process ID (u32)   8  start time (u64)   16  random bytes (16)
#pragma once

#include "Platform/Uninstaller/UnixSocket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <sys/types.h>

namespace Uninstaller::Platform
{

class RightsDatabase;

using OSStatus = std::int32_t;

// The status codes callers and the helper's peers see.
inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationParameter = -50; // missing or malformed data
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInternal = -60008;

inline constexpr std::size_t kAuthorizationExternalFormLength = 32;
inline constexpr std::size_t kAuthorizationNonceLength = 16;
using AuthorizationExternalForm = std::array<unsigned char, kAuthorizationExternalFormLength>;

// Rules a right may carry in the rights database.
inline constexpr char kRuleAllow[] = "allow"; // every caller
inline constexpr char kRuleDeny[] = "deny";   // no caller
inline constexpr char kRuleRoot[] = "root";   // callers running as uid 0

class Authorization
{
public:
    Authorization(pid_t pid, std::uint64_t startTime, uid_t uid,
                  const std::array<unsigned char, kAuthorizationNonceLength>& nonce) noexcept
        : mPid(pid), mStartTime(startTime), mUid(uid), mNonce(nonce)
    {
    }

    pid_t Pid() const noexcept { return mPid; }
    std::uint64_t StartTime() const noexcept { return mStartTime; }
    // The effective user of the process the reference stands for.
    uid_t Uid() const noexcept { return mUid; }
    const std::array<unsigned char, kAuthorizationNonceLength>& Nonce() const noexcept { return mNonce; }

private:
    pid_t mPid;
    std::uint64_t mStartTime;
    uid_t mUid;
    std::array<unsigned char, kAuthorizationNonceLength> mNonce;
};

using AuthorizationRef = std::unique_ptr<Authorization>;

// A reference for the calling process.
[[nodiscard]] OSStatus AuthorizationCreate(AuthorizationRef& authorization);

[[nodiscard]] OSStatus AuthorizationMakeExternalForm(const Authorization& authorization,
                                                     AuthorizationExternalForm& form);

// Rebuilds a reference sent by peer: errAuthorizationParameter unless bytes is
// 32 long, errAuthorizationInvalidRef when it is not a form, names another
// process than peer, or a start time that is not peer's.
[[nodiscard]] OSStatus AuthorizationCreateFromExternalForm(std::span<const unsigned char> bytes,
                                                           const PeerCredentials& peer,
                                                           AuthorizationRef& authorization);

// Grants rightName to the reference by its rule in database: success for
// "allow" and for "root" when the reference's user is root; denied for "deny",
// any other rule and an absent right; errAuthorizationInternal when the
// database is unsafe or cannot be read.
[[nodiscard]] OSStatus AuthorizationCopyRights(const Authorization& authorization,
                                               const RightsDatabase& database, std::string_view rightName);

// Releases a reference (references are also released by going out of scope).
OSStatus AuthorizationFree(AuthorizationRef& authorization) noexcept;

} // namespace Uninstaller::Platform
