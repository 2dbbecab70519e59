// KT::Thread, the framework's one wrapper of an operating-system thread: it
// starts its entry function once, tells whether the thread has ended, and waits
// for that end with a time-out. Nothing stops a thread by force: owners ask it
// to finish and then wait with WaitForDeath.
//
// Threads: any thread may call every operation. WaitForDeath calls are
// serialised by the record's lock; the started, dead and exit-code fields are
// atomics read without it. A thread never waits for itself: WaitForDeath on the
// thread's own thread returns false at once, and the destructor run there
// detaches the thread instead of waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "KTFramework/Defs/Timeouts.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "Platform/Atomic32.h"
#include "Platform/NativeThread.h"

namespace KT
{

class Thread
{
public:
    using EntryFunction = void* (*)(void*);

    // Priorities order a thread pool's queue; they never reach the system.
    static constexpr int PRIORITY_IDLE = 0;
    static constexpr int PRIORITY_LOWEST = 1;
    static constexpr int PRIORITY_BELOW_NORMAL = 2;
    static constexpr int PRIORITY_NORMAL = 3;
    static constexpr int PRIORITY_ABOVE_NORMAL = 4;
    static constexpr int PRIORITY_HIGHEST = 5;
    static constexpr int PRIORITY_TIME_CRITICAL = 6;

    // How long owners and the destructor wait for a thread to end before they
    // give up on it: the listed length, and the one in force, which tests may
    // shorten through FrameworkTimeouts.
    static constexpr std::uint32_t STOP_TIMEOUT_MS =
        FrameworkTimeoutList::kMilliseconds[FrameworkTimeoutList::THREAD_STOP];
    static std::uint32_t GetStopTimeoutMs() noexcept;

    // Exit codes before the thread has been joined.
    static constexpr std::int64_t EXIT_CODE_NOT_STARTED = -2;
    static constexpr std::int64_t EXIT_CODE_RUNNING = 0;
    static constexpr std::int64_t EXIT_CODE_CREATION_FAILED = -1;

    // stopTimeoutMs bounds the destructor's wait.
    Thread(EntryFunction entry, void* argument, std::uint32_t stopTimeoutMs = GetStopTimeoutMs());
    // Waits up to the stop time-out for the thread to end; a thread still
    // running then (or the thread destroying its own Thread) is detached. The
    // thread's trampoline owns everything it still touches.
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread once; later calls start nothing and return true. False
    // when the thread could not be created: it then counts as started and dead.
    bool Execute();
    // False before Execute; true once the entry function has returned, or when
    // the thread could not be created.
    bool IsDead() const;
    // Waits at most timeoutMs (KT::Wait::INFINITE_WAIT: no limit) for the
    // thread to end and joins it; true when it has ended. A time-out leaves the
    // thread joinable, so a later call can still return true.
    bool WaitForDeath(std::uint32_t timeoutMs);
    bool SetPriority(int priority);
    bool SetAutoPriorityBoostEnable(bool enable);
    // -2 before Execute, 0 while running, -1 after a failed creation, the entry
    // function's result (as an integer) once joined.
    std::int64_t GetExitCode() const;
    // True when called on this thread.
    bool IsCallingThread() const;

private:
    struct Record;
    std::unique_ptr<Record> mRecord;
};

} // namespace KT
