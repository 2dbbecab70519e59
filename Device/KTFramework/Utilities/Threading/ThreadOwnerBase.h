// Base of an object that owns one KT::Thread and runs its virtual worker routine
// on it, with a small state machine for starting and killing.
//
// Threads: RunThread and KillThread run on the owner's threads, ThreadWorker on
// the owned thread; the state is an atomic that both read. Subclasses must call
// KillThread in their own destructor: by the time this base's destructor runs,
// the subclass's FlushThread and ThreadWorker are gone, so the base could
// neither wake the worker nor keep it from running on a destroyed object.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/Utilities/Threading/Thread.h"

namespace KT
{

class ThreadOwnerBase
{
public:
    enum ThreadState : int
    {
        STATE_NOT_STARTED = -1,
        STATE_RUNNING = 0,
        STATE_KILL_REQUESTED = 1,
        STATE_DEAD = 2,
    };

    virtual ~ThreadOwnerBase();

    ThreadOwnerBase(const ThreadOwnerBase&) = delete;
    ThreadOwnerBase& operator=(const ThreadOwnerBase&) = delete;

    // Starts the thread; only from the not-started state, false otherwise.
    bool RunThread(int priority);
    // Asks the worker to finish, wakes it and waits up to the stop time-out;
    // true once the thread has ended (or never ran).
    bool KillThread();
    int GetThreadState() const { return mState.load(); }

    static void* ThreadEntry(void* owner);

protected:
    // stopTimeoutMs bounds KillThread's wait; tests pass a short one.
    explicit ThreadOwnerBase(std::uint32_t stopTimeoutMs = Thread::GetStopTimeoutMs());

    virtual void InitThread() {}
    // Runs on the thread; returns the thread's exit value once it sees the
    // kill request.
    virtual void* ThreadWorker() = 0;
    // Wakes the worker from any wait so that it sees the state.
    virtual void FlushThread() {}

    Thread& GetThread() { return mThread; }
    const Thread& GetThread() const { return mThread; }

private:
    std::atomic<int> mState;
    std::uint32_t mStopTimeoutMs;
    Thread mThread;
};

} // namespace KT
