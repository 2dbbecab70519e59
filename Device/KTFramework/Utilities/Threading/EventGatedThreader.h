// KT::LEventGatedThreader: a thread that waits on a gate event with a settable
// time-out and runs one fixed worker after every wake-up, whether the gate was
// signalled or the wait timed out. Created through Create, held by RCPtr; the
// thread runs from the moment Create returns until Kill or the destructor.
//
// Threads: Create, SetWaitTimeout and Kill run on the owner's threads, the loop
// and the worker on the threader's thread. The loop's state lives in a
// reference-counted core that the thread holds too, so a worker whose run ends
// the threader (the last release of its owner) leaves the loop on live memory.
// The worker field is guarded by the core's workerLock and the loop runs its
// own counted copy, so Kill never pulls the worker from under a run; the
// other shared fields are atomics. The loop says it is waiting before it reads
// the time-out, and SetWaitTimeout stores the time-out before it looks whether
// the loop waits (both sequentially consistent): a wait either takes the new
// time-out or is woken.
#pragma once

#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "KTFramework/Utilities/Threading/ThreadWorker.h"

namespace KT
{

class LEventGatedThreader : public virtual LRefCountedObject
{
public:
    // stopTimeoutMs bounds Kill's and the destructor's waits; tests pass a
    // short one.
    static RCPtr<LEventGatedThreader> Create(const RCPtr<LEvent>& gate, const RCPtr<LThreadWorker>& worker,
                                             const RCPtr<LRefCountedObject>& parameter, int priority,
                                             std::uint32_t stopTimeoutMs = Thread::GetStopTimeoutMs());

    ~LEventGatedThreader() override;

    // The time-out of the gate waits from now on. A wait in progress that took
    // a longer one (the first wait takes the infinite one it finds) is ended
    // by a release of the gate: the worker then runs once, as after any other
    // release, and the next wait takes the new time-out. A longer time-out
    // applies from the next wait. Waking through the gate keeps every release
    // of the gate's owner: the worker, which runs after every time-out
    // whether anything happened or not, takes the extra run as one of those.
    void SetWaitTimeout(std::uint32_t milliseconds);
    // Ends the loop after the current wait or run and waits up to the stop
    // time-out (not at all on the threader's own thread); drops the worker.
    void Kill();

    static void* ThreadProc(void* core);

private:
    class LCore;

    LEventGatedThreader(const RCPtr<LEvent>& gate, const RCPtr<LThreadWorker>& worker,
                        const RCPtr<LRefCountedObject>& parameter, int priority, std::uint32_t stopTimeoutMs);

    RCPtr<LCore> mCore;
    Thread mThread;
    std::uint32_t mStopTimeoutMs;
};

} // namespace KT
