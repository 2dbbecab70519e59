#include <gtest/gtest.h>

#include <cstdarg>
#include <locale.h>
#include <string>

#include "Platform/CLocaleFormat.h"
#include "support/ScopedThreadLocale.h"

using namespace KT;

namespace
{

std::string FormatC(const char* format, ...)
{
    char buffer[64];
    va_list args;
    va_start(args, format);
    Platform::FormatInCLocale(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

TEST(CLocaleFormat, IgnoresTheThreadsLocaleAndRestoresIt)
{
    TestSupport::ScopedThreadLocale locale;
    if (!locale.IsActive())
    {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    char probe[16];
    snprintf(probe, sizeof(probe), "%.1f", 2.5);
    ASSERT_STREQ(probe, "2,5") << "the test locale is not in effect";

    EXPECT_EQ(FormatC("%.2f|%'d|%f", 1.25, 1234567, 2.5), "1.25|1234567|2.500000");

    snprintf(probe, sizeof(probe), "%.1f", 2.5);
    EXPECT_STREQ(probe, "2,5");
}

TEST(CLocaleFormat, CutsAtTheBufferSize)
{
    char buffer[4] = {'x', 'x', 'x', 'x'};
    auto format = [&](const char* text, ...)
    {
        va_list args;
        va_start(args, text);
        const int result = Platform::FormatInCLocale(buffer, sizeof(buffer), text, args);
        va_end(args);
        return result;
    };
    EXPECT_EQ(format("%s", "abcdef"), 6);
    EXPECT_STREQ(buffer, "abc");
}

} // namespace
