// KT::RetriggerableThreader: a named thread, started at construction, that
// sleeps until it is handed a worker and a parameter, runs that worker once,
// reports completion through an optional event and sleeps again. One job at a
// time; a new one is refused while busy. Owned by value (the thread pool keeps
// an array of them).
//
// Threads: Run, IsRunning, Kill and SetName run on the owner's threads, the
// loop on the threader's thread. The loop's state (trigger, job, flags) lives
// in a reference-counted core that the thread holds too, so a job that
// destroys its own threader (the last release of a pool, say) leaves the loop
// working on live memory. The job fields are guarded by the core's jobLock;
// the running and killed flags are atomics. Callers serialise Run on one
// threader (the pool calls it under its lock). mNameLock guards the name, which
// a pool sets from the threader's own thread before every job it runs there.
#pragma once

#include <cstdint>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Storage/StringT.h"
#include "KTFramework/Utilities/Threading/DeferredName.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/Mutex.h"
#include "KTFramework/Utilities/Threading/Thread.h"
#include "KTFramework/Utilities/Threading/ThreadWorker.h"

namespace KT
{

class RetriggerableThreader : public IStringable
{
public:
    // stopTimeoutMs bounds Kill's and the destructor's waits; tests pass a
    // short one.
    explicit RetriggerableThreader(const StringT<char, unsigned short>& name,
                                   std::uint32_t stopTimeoutMs = Thread::GetStopTimeoutMs());
    // Kills the loop and waits for it; on the threader's own thread it waits
    // for nothing and the loop ends by itself after the current job.
    virtual ~RetriggerableThreader();

    RetriggerableThreader(const RetriggerableThreader&) = delete;
    RetriggerableThreader& operator=(const RetriggerableThreader&) = delete;

    // Accepts a job: 0; RESULT_FAILED while a job runs, once killed, or when the
    // thread does not exist.
    [[nodiscard]] int Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                          int priority);
    // The same with a completion event, reset now and released when the job has
    // run and the threader is idle again.
    [[nodiscard]] int Run(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                          const RCPtr<LEvent>& doneEvent, int priority);
    // A job has been accepted and has not finished (a flag whose thread no
    // longer exists is cleared).
    bool IsRunning() const;
    // Stops the loop after the current job and waits up to the stop time-out.
    void Kill();
    void SetName(const StringT<char, unsigned short>& name);
    // A name formatted only when ToString asks for it.
    void SetName(const DeferredName& name);
    StringT<char, unsigned short> ToString() const override;

    static void* ThreadProc(void* core);

private:
    class LCore;

    [[nodiscard]] int Accept(const RCPtr<LThreadWorker>& worker, const RCPtr<LRefCountedObject>& parameter,
                             const RCPtr<LEvent>* doneEvent, int priority);

    RCPtr<LCore> mCore;
    Thread mThread;
    mutable FastMutex mNameLock;
    StringT<char, unsigned short> mName GUARDED_BY(mNameLock);
    DeferredName mDeferredName GUARDED_BY(mNameLock); // wins over mName when set
    std::uint32_t mStopTimeoutMs;
};

} // namespace KT
