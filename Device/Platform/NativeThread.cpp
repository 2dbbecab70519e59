#include "Platform/NativeThread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace KT::Platform
{

namespace
{
std::atomic<ThreadStartGate> sStartGate{nullptr};

constexpr long kNanosecondsPerSecond = 1000000000L;

timespec DeadlineAfter(clockid_t clock, std::uint32_t timeoutMs) noexcept
{
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= kNanosecondsPerSecond)
    {
        deadline.tv_nsec -= kNanosecondsPerSecond;
        deadline.tv_sec += 1;
    }
    return deadline;
}
} // namespace

void SetThreadStartGate(ThreadStartGate gate) noexcept
{
    sStartGate.store(gate);
}

// Written by the trampoline, read by the owner; kept alive by whichever of the
// two lets go last.
struct NativeThread::Shared
{
    std::atomic<bool> returned{false};
};

struct NativeThread::Handle
{
    pthread_t thread{};
};

namespace
{
// What the trampoline needs, handed over on the heap and owned by the thread.
struct StartRecord
{
    ThreadRoutine routine;
    void* argument;
    std::shared_ptr<void> keepAlive;
    std::atomic<bool>* returned;
};

void* Trampoline(void* raw)
{
    StartRecord* start = static_cast<StartRecord*>(raw);
    ThreadRoutine routine = start->routine;
    void* argument = start->argument;
    std::shared_ptr<void> keepAlive = std::move(start->keepAlive);
    std::atomic<bool>* returned = start->returned;
    delete start;

    void* result = routine(argument);
    returned->store(true, std::memory_order_release);
    return result;
}
} // namespace

NativeThread::NativeThread(std::unique_ptr<Handle> handle, std::shared_ptr<Shared> shared)
    : mHandle(std::move(handle)), mShared(std::move(shared))
{
}

std::unique_ptr<NativeThread> NativeThread::Start(ThreadRoutine routine, void* argument)
{
    ThreadStartGate gate = sStartGate.load();
    if (gate != nullptr && !gate())
    {
        return nullptr;
    }
    auto shared = std::make_shared<Shared>();
    auto handle = std::make_unique<Handle>();
    auto* start = new StartRecord{routine, argument, shared, &shared->returned};
    if (pthread_create(&handle->thread, nullptr, &Trampoline, start) != 0)
    {
        delete start;
        return nullptr;
    }
    return std::unique_ptr<NativeThread>(new NativeThread(std::move(handle), std::move(shared)));
}

NativeThread::~NativeThread()
{
    if (!mReleased)
    {
        pthread_detach(mHandle->thread);
    }
}

bool NativeThread::HasReturned() const noexcept
{
    return mShared->returned.load(std::memory_order_acquire);
}

bool NativeThread::IsCallingThread() const noexcept
{
    return pthread_equal(pthread_self(), mHandle->thread) != 0;
}

bool NativeThread::JoinWithin(std::uint32_t timeoutMs, void** result)
{
    if (mReleased)
    {
        return false;
    }
#if defined(VELQUIN_TSAN)
    // ThreadSanitizer follows a join only through the calls it intercepts, and
    // pthread_clockjoin_np is not among them; its realtime sibling is.
    timespec deadline = DeadlineAfter(CLOCK_REALTIME, timeoutMs);
    const int status = pthread_timedjoin_np(mHandle->thread, result, &deadline);
#else
    timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    const int status = pthread_clockjoin_np(mHandle->thread, result, CLOCK_MONOTONIC, &deadline);
#endif
    if (status != 0)
    {
        return false;
    }
    mReleased = true;
    return true;
}

bool NativeThread::Join(void** result)
{
    if (mReleased)
    {
        return false;
    }
    if (pthread_join(mHandle->thread, result) != 0)
    {
        return false;
    }
    mReleased = true;
    return true;
}

void NativeThread::Detach()
{
    if (!mReleased)
    {
        pthread_detach(mHandle->thread);
        mReleased = true;
    }
}

} // namespace KT::Platform
