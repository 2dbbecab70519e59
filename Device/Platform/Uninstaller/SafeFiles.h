// The checks and writes behind everything the uninstaller trusts on disk. A
// file is safe when root owns it and neither its group nor others may write
// it; a folder is safe when it is a root-owned folder that only root may
// change, or a root-owned sticky folder (a 1777 temp folder), where others
// may add entries but not replace ours. Where a caller trusts one more user
// (the uninstaller's own, for the helper it installs), that user may own them
// too. Paths are walked one component at a time from "/" without following
// links, so what is checked is what is used.
#pragma once

#include "Platform/Uninstaller/FileDescriptor.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace Uninstaller::Platform
{

// trusted: a user trusted besides root (root again for none).
bool IsSafeFile(const struct stat& info, uid_t trusted = 0) noexcept;
bool IsSafeFolder(const struct stat& info, uid_t trusted = 0) noexcept;

// Opens the file at absolutePath (read-only, close-on-exec, never following a
// link, never blocking on a FIFO) after checking that "/" and every folder on
// the way are safe, and fills info for it. The file itself is not judged:
// callers apply their own rules to info. Errors: EINVAL (empty or relative
// path, or one that names no file), EPERM (an unsafe folder, or a link in
// place of a folder or the file), or the errno of the failed step (ENOENT,
// ENOTDIR, EACCES ...).
[[nodiscard]] int OpenThroughSafeFolders(const std::string& absolutePath, FileDescriptor& file,
                                         struct stat& info, uid_t trusted = 0);

// Opens folder relativePath below baseFolder, making each missing folder
// (root-owned, 0755) on the way; a link on the way fails with ELOOP or ENOTDIR.
[[nodiscard]] int OpenOrMakeFolders(int baseFolder, std::string_view relativePath, FileDescriptor& folder);

// Replaces name in folder with data: a new temporary file is written, given
// owner root:root and mode, synced, and renamed over name, so readers see the
// old file or the new one, never a part. A link or any file at name is
// replaced, not followed. The temporary file is removed on failure.
[[nodiscard]] int ReplaceFileAtomically(int folder, const std::string& name, const void* data,
                                        std::size_t size, mode_t mode);

} // namespace Uninstaller::Platform
