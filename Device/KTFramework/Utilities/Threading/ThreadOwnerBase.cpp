#include "KTFramework/Utilities/Threading/ThreadOwnerBase.h"

namespace KT
{

ThreadOwnerBase::ThreadOwnerBase(std::uint32_t stopTimeoutMs)
    : mState(STATE_NOT_STARTED), mStopTimeoutMs(stopTimeoutMs),
      mThread(&ThreadOwnerBase::ThreadEntry, this, stopTimeoutMs)
{
}

ThreadOwnerBase::~ThreadOwnerBase()
{
    KillThread();
}

bool ThreadOwnerBase::RunThread(int priority)
{
    int expected = STATE_NOT_STARTED;
    if (!mState.compare_exchange_strong(expected, STATE_RUNNING))
    {
        return false;
    }
    mThread.SetPriority(priority);
    mThread.Execute();
    return true;
}

bool ThreadOwnerBase::KillThread()
{
    int state = mState.load();
    if (state == STATE_NOT_STARTED || state == STATE_DEAD)
    {
        return true;
    }
    int expected = STATE_RUNNING;
    if (mState.compare_exchange_strong(expected, STATE_KILL_REQUESTED))
    {
        FlushThread();
    }
    if (mState.load() != STATE_KILL_REQUESTED)
    {
        return true;
    }
    if (!mThread.WaitForDeath(mStopTimeoutMs))
    {
        return false;
    }
    mState.store(STATE_DEAD);
    return true;
}

void* ThreadOwnerBase::ThreadEntry(void* owner)
{
    ThreadOwnerBase* self = static_cast<ThreadOwnerBase*>(owner);
    self->InitThread();
    return self->ThreadWorker();
}

} // namespace KT
