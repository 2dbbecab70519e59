// Turns the bytes a script printed into text without losing any of it: every
// ill-formed sequence becomes U+FFFD (one for each maximal ill-formed part, as
// Unicode recommends), and everything well-formed is kept as it is.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace Uninstaller
{

std::string DecodeUTF8Lossily(std::span<const unsigned char> bytes);

// The longest prefix of UTF-8 text that holds at most maxBytes and does not
// end inside a character.
std::size_t CutAtCharacterBoundary(const std::string& text, std::size_t maxBytes);

} // namespace Uninstaller
