#include "KTFramework/Utilities/Threading/EventPoolEx.h"

#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/EventData.h"
#include "KTFramework/Utilities/Threading/Mutex.h"

namespace KT
{

namespace
{
constexpr std::int64_t kNoCommand = -1;
// How often a caller waiting for a command looks whether the serving thread
// is still there; the done event normally wakes it first.
constexpr std::uint32_t kCommandPollMs = 100;

std::uint64_t Bit(std::int64_t index)
{
    return std::uint64_t{1} << index;
}
} // namespace

struct LEventPoolEx::Record
{
    RCPtrArray<LEvent, 1, 0> events{0, 0};
    Callback callback = nullptr;
    void* context = nullptr;
    std::int64_t command GUARDED_BY(commandStateLock) = kNoCommand;
    RCPtr<LEventData> data;
    std::uint64_t mask = 0; // the serving thread's alone once it runs
    RCPtr<LEvent> control;
    Mutex commandLock;
    Mutex commandStateLock;
    Event commandDone{true};
};

RCPtr<LEventPoolEx> LEventPoolEx::Create(Callback callback, void* context, std::uint32_t stopTimeoutMs)
{
    return RCPtr<LEventPoolEx>(new LEventPoolEx(callback, context, stopTimeoutMs));
}

LEventPoolEx::LEventPoolEx(Callback callback, void* context, std::uint32_t stopTimeoutMs)
    : ThreadOwnerBase(stopTimeoutMs), mRecord(new Record)
{
    mRecord->callback = callback;
    mRecord->context = context;
    mRecord->data = RCPtr<LEventData>(new LEventData());
    mRecord->control = RCPtr<LEvent>(new LEvent(mRecord->data, 0));
    static_cast<void>(mRecord->events.AppendItem(mRecord->control)); // grows or throws
    mRecord->mask = Bit(0);
    RunThread(Thread::PRIORITY_NORMAL);
}

LEventPoolEx::~LEventPoolEx()
{
    // Stopped here, while ThreadWorker and FlushThread are still this class's.
    KillThread();
    static_cast<void>(mRecord->events.Clear()); // emptying cannot fail
    mRecord->control.SetNull();
    mRecord->data.SetNull();
}

bool LEventPoolEx::IsServing() const
{
    return GetThreadState() == STATE_RUNNING && !GetThread().IsDead();
}

RCPtr<LEvent> LEventPoolEx::AddEvent()
{
    if (GetThread().IsCallingThread())
    {
        return RCPtr<LEvent>();
    }
    AutolockT<Mutex> commands(mRecord->commandLock);
    const std::int64_t count = static_cast<std::int64_t>(mRecord->events.GetCount());
    if (count >= static_cast<std::int64_t>(Wait::MAX_WAIT_OBJECTS) || !PostCommand(count))
    {
        return RCPtr<LEvent>();
    }
    return mRecord->events[static_cast<std::size_t>(count)];
}

int LEventPoolEx::RemoveEvent(const RCPtr<LEvent>& event)
{
    if (GetThread().IsCallingThread())
    {
        return RESULT_FAILED;
    }
    AutolockT<Mutex> commands(mRecord->commandLock);
    const std::size_t count = mRecord->events.GetCount();
    std::size_t index = 0;
    while (index < count && mRecord->events[index].GetRaw() != event.GetRaw())
    {
        ++index;
    }
    if (event.GetRaw() == nullptr || index == count || index == 0)
    {
        return RESULT_INVALID_ARGUMENT;
    }
    // A thread inside the event's Wait sleeps on the bit being renumbered and
    // would never be woken.
    if (event->GetWaitingCount() != 0)
    {
        return RESULT_FAILED;
    }
    return PostCommand(static_cast<std::int64_t>(index)) ? 0 : RESULT_FAILED;
}

bool LEventPoolEx::PostCommand(std::int64_t command)
{
    {
        AutolockT<Mutex> state(mRecord->commandStateLock);
        if (!IsServing())
        {
            return false;
        }
        mRecord->command = command;
        mRecord->commandDone.Reset();
    }
    mRecord->control->Release();
    for (;;)
    {
        // Woken or not, the command field tells what happened.
        static_cast<void>(mRecord->commandDone.Wait(kCommandPollMs));
        AutolockT<Mutex> state(mRecord->commandStateLock);
        if (mRecord->command == kNoCommand)
        {
            return true;
        }
        if (!IsServing())
        {
            // Withdrawn under the lock the serving thread carries commands out
            // under, so it is either done or never started.
            mRecord->command = kNoCommand;
            return false;
        }
    }
}

void* LEventPoolEx::ThreadWorker()
{
    for (;;)
    {
        const std::uint32_t signalled =
            mRecord->data->Wait(mRecord->mask, LEventData::WAIT_ANY_RESET, Wait::INFINITE_WAIT);
        if (GetThreadState() == STATE_KILL_REQUESTED)
        {
            return nullptr;
        }
        if (signalled == 0)
        {
            AutolockT<Mutex> state(mRecord->commandStateLock);
            const std::int64_t command = mRecord->command;
            if (command != kNoCommand)
            {
                if (command == static_cast<std::int64_t>(mRecord->events.GetCount()))
                {
                    AddSlot(command);
                }
                else if (command > 0 && command < static_cast<std::int64_t>(mRecord->events.GetCount()))
                {
                    RemoveSlot(command);
                }
                mRecord->command = kNoCommand;
            }
            mRecord->commandDone.Release();
        }
        else if (signalled < Wait::MAX_WAIT_OBJECTS && signalled < mRecord->events.GetCount())
        {
            mRecord->callback(mRecord->context, mRecord->events[signalled]);
        }
    }
}

void LEventPoolEx::AddSlot(std::int64_t index)
{
    // Grows or throws: there is no result to look at.
    static_cast<void>(mRecord->events.AppendItem(
        RCPtr<LEvent>(new LEvent(mRecord->data, static_cast<unsigned int>(index)))));
    mRecord->mask |= Bit(index);
}

void LEventPoolEx::RemoveSlot(std::int64_t index)
{
    const std::int64_t oldCount = static_cast<std::int64_t>(mRecord->events.GetCount());
    RCPtr<LEvent> removed;
    // The serving thread checked the index against the count.
    static_cast<void>(mRecord->events.RemoveItem(static_cast<std::size_t>(index), removed));
    // The removed event goes on as a stand-alone event; its pending signal stays
    // behind on the shared word and is dropped below.
    removed->Unshare();

    LEventData& data = *mRecord->data;
    data.Lock();
    for (std::int64_t i = index; i < oldCount - 1; ++i)
    {
        LEvent& moved = *mRecord->events[static_cast<std::size_t>(i)];
        moved.SetSignaledBitMask(0);
        moved.SetSignaledBitMask(Bit(i));
    }
    data.Reset(Bit(index));
    for (std::int64_t from = index + 1; from < oldCount; ++from)
    {
        if (data.IsSignaled(Bit(from), true))
        {
            data.Reset(Bit(from));
            data.Release(Bit(from - 1));
        }
    }
    const std::uint64_t below = Bit(index) - 1;
    mRecord->mask = (mRecord->mask & below) | ((mRecord->mask >> 1) & ~below);
    data.Unlock();
}

void LEventPoolEx::FlushThread()
{
    mRecord->control->Release();
    mRecord->commandDone.Release();
}

} // namespace KT
