// Authorizations for the uninstaller's tests: the external form of one made by
// this process, and this process's own credentials as a socket peer would
// report them.
#pragma once

#include <gtest/gtest.h>

#include "Platform/Uninstaller/Authorization.h"

#include <unistd.h>
#include <vector>

namespace UninstallerTest
{

// A new authorization of this process in its external form.
inline std::vector<unsigned char> OwnForm()
{
    using namespace Uninstaller::Platform;
    AuthorizationRef authorization;
    AuthorizationExternalForm form{};
    EXPECT_EQ(AuthorizationCreate(authorization), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationMakeExternalForm(*authorization, form), errAuthorizationSuccess);
    return std::vector<unsigned char>(form.begin(), form.end());
}

// This process as a peer, optionally claiming another user.
inline Uninstaller::Platform::PeerCredentials Self(uid_t uid = ::geteuid())
{
    return {::getpid(), uid, ::getegid()};
}

} // namespace UninstallerTest
