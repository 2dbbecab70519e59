#include "KTFramework/Utilities/Threading/Thread.h"

#include "KTFramework/Utilities/Threading/Event.h"

namespace KT
{

struct Thread::Record
{
    // Published once, by the Execute call that created the thread.
    std::atomic<Platform::NativeThread*> native{nullptr};
    std::atomic<std::int64_t> exitCode{EXIT_CODE_NOT_STARTED};
    EntryFunction entry;
    void* argument;
    Platform::Atomic32 started{0};
    std::atomic<bool> dead{false};
    Mutex lock; // serialises WaitForDeath
    std::uint32_t stopTimeoutMs;
};

std::uint32_t Thread::GetStopTimeoutMs() noexcept
{
    return FrameworkTimeouts::Get(FrameworkTimeoutList::THREAD_STOP);
}

Thread::Thread(EntryFunction entry, void* argument, std::uint32_t stopTimeoutMs) : mRecord(new Record)
{
    mRecord->entry = entry;
    mRecord->argument = argument;
    mRecord->stopTimeoutMs = stopTimeoutMs;
}

Thread::~Thread()
{
    Platform::NativeThread* native = mRecord->native.load(std::memory_order_acquire);
    if (native != nullptr)
    {
        if (native->IsCallingThread())
        {
            native->Detach();
        }
        else if (!WaitForDeath(mRecord->stopTimeoutMs))
        {
            native->Detach();
        }
        delete native;
    }
}

bool Thread::Execute()
{
    if (!Platform::AtomicCompareAndSwap32(0, 1, mRecord->started))
    {
        return true;
    }
    mRecord->exitCode.store(EXIT_CODE_RUNNING);
    std::unique_ptr<Platform::NativeThread> native =
        Platform::NativeThread::Start(mRecord->entry, mRecord->argument);
    if (!native)
    {
        mRecord->exitCode.store(EXIT_CODE_CREATION_FAILED);
        mRecord->dead.store(true);
        return false;
    }
    mRecord->native.store(native.release(), std::memory_order_release);
    return true;
}

bool Thread::IsDead() const
{
    if (Platform::AtomicRead32(mRecord->started) == 0)
    {
        return false;
    }
    if (mRecord->dead.load())
    {
        return true;
    }
    Platform::NativeThread* native = mRecord->native.load(std::memory_order_acquire);
    return native != nullptr && native->HasReturned();
}

bool Thread::WaitForDeath(std::uint32_t timeoutMs)
{
    if (Platform::AtomicRead32(mRecord->started) == 0 || mRecord->dead.load())
    {
        return true;
    }
    Platform::NativeThread* native = mRecord->native.load(std::memory_order_acquire);
    if (native == nullptr)
    {
        // Another caller of Execute is still creating the thread.
        return mRecord->dead.load();
    }
    if (native->IsCallingThread())
    {
        return false;
    }
    AutolockT<Mutex> guard(mRecord->lock);
    if (mRecord->dead.load())
    {
        return true;
    }
    void* result = nullptr;
    const bool joined =
        timeoutMs == Wait::INFINITE_WAIT ? native->Join(&result) : native->JoinWithin(timeoutMs, &result);
    if (joined)
    {
        mRecord->exitCode.store(static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(result)));
        mRecord->dead.store(true);
    }
    return mRecord->dead.load();
}

bool Thread::SetPriority(int)
{
    return false;
}

bool Thread::SetAutoPriorityBoostEnable(bool)
{
    return false;
}

std::int64_t Thread::GetExitCode() const
{
    return mRecord->exitCode.load();
}

bool Thread::IsCallingThread() const
{
    Platform::NativeThread* native = mRecord->native.load(std::memory_order_acquire);
    return native != nullptr && native->IsCallingThread();
}

} // namespace KT
