#include "Platform/NativeMutex.h"

#include <pthread.h>

#include <new>

namespace KT::Platform
{

namespace
{
pthread_mutex_t* AsNative(void* storage) noexcept
{
    return std::launder(static_cast<pthread_mutex_t*>(storage));
}
} // namespace

NativeMutex::NativeMutex(Kind kind) noexcept
{
    static_assert(sizeof(pthread_mutex_t) == kStorageBytes, "the storage is exactly the system's mutex");
    static_assert(alignof(pthread_mutex_t) <= 8, "the storage is 8-byte aligned");
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes,
                              kind == Kind::Recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    pthread_mutex_init(new (mStorage) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

NativeMutex::~NativeMutex()
{
    pthread_mutex_destroy(AsNative(mStorage));
}

void NativeMutex::Lock() noexcept
{
    pthread_mutex_lock(AsNative(mStorage));
}

void NativeMutex::Unlock() noexcept
{
    pthread_mutex_unlock(AsNative(mStorage));
}

} // namespace KT::Platform
