// The operating system's mutex beneath the framework's locks and condition
// waits, plain or recursive as chosen at construction. Its owner holds it by
// value; MonotonicCondition's waits give it back and take it again. The
// system's type stays inside this layer: users see only its storage.
#pragma once

#include <cstddef>

#include "Platform/ThreadAnnotations.h"

namespace KT::Platform
{

class CAPABILITY("mutex") NativeMutex
{
public:
    enum class Kind
    {
        Plain,    // must not be taken twice by one thread
        Recursive // each Lock, nested ones included, needs its Unlock
    };

    explicit NativeMutex(Kind kind) noexcept;
    ~NativeMutex();
    NativeMutex(const NativeMutex&) = delete;
    NativeMutex& operator=(const NativeMutex&) = delete;

    void Lock() noexcept ACQUIRE();
    void Unlock() noexcept RELEASE();

private:
    friend class MonotonicCondition;

    // The system's mutex object in mStorage.
    void* GetNative() noexcept { return mStorage; }

#if defined(__x86_64__)
    static constexpr std::size_t kStorageBytes = 40;
#elif defined(__aarch64__)
    static constexpr std::size_t kStorageBytes = 48;
#else
#error "NativeMutex: give the size of the system mutex on this architecture"
#endif
    // Exactly the system's mutex, so the locks built on it keep their size.
    alignas(8) unsigned char mStorage[kStorageBytes];
};

} // namespace KT::Platform
