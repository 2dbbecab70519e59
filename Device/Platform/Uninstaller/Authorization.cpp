#include "Platform/Uninstaller/Authorization.h"

#include "Platform/ByteOrder.h"
#include "Platform/Uninstaller/ProcessInfo.h"
#include "Platform/Uninstaller/RightsDatabase.h"

#include <algorithm>
#include <unistd.h>

namespace Uninstaller::Platform
{

using KT::ReadLE32;
using KT::ReadLE64;
using KT::WriteLE32;
using KT::WriteLE64;

namespace
{

constexpr unsigned char kMagic[4] = {'U', 'H', 'A', 'F'};
constexpr std::size_t kPidOffset = 4;
constexpr std::size_t kStartTimeOffset = 8;
constexpr std::size_t kNonceOffset = 16;
static_assert(kNonceOffset + kAuthorizationNonceLength == kAuthorizationExternalFormLength);

} // namespace

OSStatus AuthorizationCreate(AuthorizationRef& authorization)
{
    authorization.reset();
    const pid_t pid = ::getpid();
    std::uint64_t startTime = 0;
    std::array<unsigned char, kAuthorizationNonceLength> nonce{};
    if (ReadProcessStartTime(pid, startTime) != 0 || FillRandomBytes(nonce.data(), nonce.size()) != 0)
    {
        return errAuthorizationInternal;
    }
    authorization = std::make_unique<Authorization>(pid, startTime, ::geteuid(), nonce);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationMakeExternalForm(const Authorization& authorization, AuthorizationExternalForm& form)
{
    std::copy(std::begin(kMagic), std::end(kMagic), form.begin());
    WriteLE32(form.data() + kPidOffset, static_cast<std::uint32_t>(authorization.Pid()));
    WriteLE64(form.data() + kStartTimeOffset, authorization.StartTime());
    std::copy(authorization.Nonce().begin(), authorization.Nonce().end(), form.begin() + kNonceOffset);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCreateFromExternalForm(std::span<const unsigned char> bytes,
                                             const PeerCredentials& peer, AuthorizationRef& authorization)
{
    authorization.reset();
    if (bytes.size() != kAuthorizationExternalFormLength)
    {
        return errAuthorizationParameter;
    }
    if (!std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin()))
    {
        return errAuthorizationInvalidRef;
    }
    const std::uint32_t pid = ReadLE32(bytes.data() + kPidOffset);
    const std::uint64_t startTime = ReadLE64(bytes.data() + kStartTimeOffset);
    if (peer.pid <= 0 || pid != static_cast<std::uint32_t>(peer.pid))
    {
        return errAuthorizationInvalidRef;
    }
    // The peer's start time now must be the one in the form: the ID may have been reused.
    std::uint64_t peerStartTime = 0;
    if (ReadProcessStartTime(peer.pid, peerStartTime) != 0 || peerStartTime != startTime)
    {
        return errAuthorizationInvalidRef;
    }
    std::array<unsigned char, kAuthorizationNonceLength> nonce{};
    std::copy(bytes.begin() + kNonceOffset, bytes.end(), nonce.begin());
    authorization = std::make_unique<Authorization>(peer.pid, startTime, peer.uid, nonce);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyRights(const Authorization& authorization, const RightsDatabase& database,
                                 std::string_view rightName)
{
    RightDefinition definition;
    const OSStatus found = database.Lookup(rightName, definition);
    if (found != errAuthorizationSuccess)
    {
        return found;
    }
    if (definition.rule == kRuleAllow)
    {
        return errAuthorizationSuccess;
    }
    if (definition.rule == kRuleRoot && authorization.Uid() == 0)
    {
        return errAuthorizationSuccess;
    }
    return errAuthorizationDenied;
}

OSStatus AuthorizationFree(AuthorizationRef& authorization) noexcept
{
    authorization.reset();
    return errAuthorizationSuccess;
}

} // namespace Uninstaller::Platform
