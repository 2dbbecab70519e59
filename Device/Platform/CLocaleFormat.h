// printf-style formatting with the conventions of the "C" locale (decimal
// point ".", no digit grouping), whatever locale the host process has set. The
// framework's text must read the same on every host.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace KT::Platform
{

// vsnprintf into buffer (size bytes, NUL included, cut when longer) under the
// "C" locale on the calling thread only; the thread's own locale is restored
// before it returns. Returns what vsnprintf returns.
int FormatInCLocale(char* buffer, std::size_t size, const char* format, va_list args);

} // namespace KT::Platform
