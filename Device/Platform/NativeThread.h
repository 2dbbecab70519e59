// The operating-system thread beneath KT::Thread: started through a trampoline
// that records when the routine has returned, joined with a monotonic deadline,
// detached when its owner gives up on it. Priorities never reach the system.
// The record the trampoline writes is owned jointly by the thread and this
// object, so a detached thread never writes into freed memory.
#pragma once

#include <cstdint>
#include <memory>

namespace KT::Platform
{

using ThreadRoutine = void* (*)(void*);

// Test seam: when set, asked before every thread start; false makes the start
// fail as if the system had refused to create the thread.
using ThreadStartGate = bool (*)();
void SetThreadStartGate(ThreadStartGate gate) noexcept;

class NativeThread
{
public:
    // Starts routine(argument) on a new thread with default attributes; null
    // when the thread could not be created.
    static std::unique_ptr<NativeThread> Start(ThreadRoutine routine, void* argument);

    // Detaches a thread that was neither joined nor detached, so that it frees
    // its own resources when it ends.
    ~NativeThread();

    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;

    // True once the routine has returned (the thread may still be finishing).
    bool HasReturned() const noexcept;
    // True when called on this thread.
    bool IsCallingThread() const noexcept;

    // Joins, waiting at most timeoutMs on the monotonic clock. True when the
    // thread was joined; its routine's result is then stored in *result. On a
    // time-out the thread stays joinable.
    bool JoinWithin(std::uint32_t timeoutMs, void** result);
    // Joins without a deadline.
    bool Join(void** result);
    // Lets the thread run on and free itself when it ends.
    void Detach();

private:
    struct Shared;
    struct Handle;

    NativeThread(std::unique_ptr<Handle> handle, std::shared_ptr<Shared> shared);

    std::unique_ptr<Handle> mHandle;
    std::shared_ptr<Shared> mShared;
    bool mReleased = false; // joined or detached
};

} // namespace KT::Platform
