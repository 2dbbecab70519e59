// The framework's exceptions for programming errors. A KT::Exception<T> is both
// the standard exception T and a KT::ExceptionBase; its message names the kind,
// an optional text, and the source path and line of the raising site.
#pragma once

#include <stdexcept>
#include <string>

namespace KT
{

class ExceptionBase
{
public:
    virtual ~ExceptionBase() = default;
    // The message of the standard exception that this object also is.
    virtual const char* What() const noexcept = 0;
};

template <class T>
class Exception : public T, public ExceptionBase
{
public:
    explicit Exception(const char* message) : T(message) {}
    explicit Exception(const std::string& message) : T(message) {}
    ~Exception() override = default;

    const char* What() const noexcept override { return T::what(); }
};

// The label that opens the message of each kind.
template <class T>
struct ExceptionKind;
template <>
struct ExceptionKind<std::logic_error>
{
    static constexpr const char* Label = "Logic Error";
};
template <>
struct ExceptionKind<std::out_of_range>
{
    static constexpr const char* Label = "Out of Range";
};
template <>
struct ExceptionKind<std::runtime_error>
{
    static constexpr const char* Label = "Runtime Error";
};
template <>
struct ExceptionKind<std::domain_error>
{
    static constexpr const char* Label = "Domain Error";
};

// A raising site: the source path as the build names it and the line of the
// raising statement. Peers and hosts match on these texts, so every site keeps
// its own fixed values.
struct ExceptionSite
{
    const char* Path;
    int Line;
};

// "<kind> : <text> :  : <path> : Line <n>", or "<kind> :  : <path> : Line <n>"
// when there is no text.
std::string FormatExceptionMessage(const char* kindLabel, const char* text, const ExceptionSite& site);

template <class T>
[[noreturn]] void ThrowException(const ExceptionSite& site, const char* text = nullptr)
{
    throw Exception<T>(FormatExceptionMessage(ExceptionKind<T>::Label, text, site));
}

} // namespace KT
