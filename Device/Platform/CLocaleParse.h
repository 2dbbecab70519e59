// Numbers read from text with the conventions of the "C" locale (decimal point
// ".", the C forms of signs and exponents), whatever locale the host process has
// set: a value read from a record must mean the same on every host.
#pragma once

namespace KT::Platform
{

// strtol, strtoull and strtod of text in base 10 under the "C" locale on the
// calling thread only; the thread's own locale is restored before they return.
// Text that starts with no number gives 0.
long ParseLongInCLocale(const char* text);
unsigned long long ParseUnsignedLongLongInCLocale(const char* text);
double ParseDoubleInCLocale(const char* text);

} // namespace KT::Platform
