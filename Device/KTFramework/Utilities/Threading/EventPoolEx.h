// KT::LEventPoolEx: a growable set of up to 64 auto-reset events on one signal
// word, served by a thread of its own that calls a callback for every
// signalled event. Event 0 is the pool's control event: it hands add and remove
// commands to the serving thread. Created through Create, held by RCPtr.
//
// Threads: the serving thread runs the callback and carries out the commands;
// it alone changes the event array and the wait mask. AddEvent and RemoveEvent
// are serialised by mCommandLock and wait (blocking, never spinning) for the
// serving thread; they fail instead of waiting when the serving thread is
// stopped, and when called from the callback. The command field is guarded by
// mCommandStateLock (taken after mCommandLock). The callback must not drop the
// last reference to its own pool.
#pragma once

#include <cstdint>
#include <memory>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/Event.h"
#include "KTFramework/Utilities/Threading/ThreadOwnerBase.h"

namespace KT
{

class LEventPoolEx final : public virtual LRefCountedObject, public ThreadOwnerBase
{
public:
    using Callback = void (*)(void* context, const RCPtr<LEvent>& event);

    // The serving thread runs when Create returns. stopTimeoutMs bounds the
    // destructor's wait for it; tests pass a short one.
    static RCPtr<LEventPoolEx> Create(Callback callback, void* context,
                                      std::uint32_t stopTimeoutMs = Thread::GetStopTimeoutMs());

    ~LEventPoolEx() override;

    // Adds an event on the next free bit and returns it; null when the pool
    // already holds 64 events, its serving thread is stopped, or the caller is
    // the serving thread.
    RCPtr<LEvent> AddEvent();
    // Removes the event; the events above it move down one bit each, with their
    // pending signals. 0; RESULT_INVALID_ARGUMENT when the event is not in the
    // pool or is the control event; RESULT_FAILED when a thread waits on the event, the
    // serving thread is stopped, or the caller is the serving thread.
    [[nodiscard]] int RemoveEvent(const RCPtr<LEvent>& event);

protected:
    void* ThreadWorker() override;
    void FlushThread() override;

private:
    LEventPoolEx(Callback callback, void* context, std::uint32_t stopTimeoutMs);

    // Hands a command to the serving thread and waits until it is carried out
    // or can no longer be; true when it was carried out.
    bool PostCommand(std::int64_t command);
    bool IsServing() const;
    void AddSlot(std::int64_t index);
    void RemoveSlot(std::int64_t index);

    struct Record;
    std::unique_ptr<Record> mRecord;
};

} // namespace KT
