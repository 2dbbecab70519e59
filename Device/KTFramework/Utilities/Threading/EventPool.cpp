#include "KTFramework/Utilities/Threading/EventPool.h"

#include "KTFramework/Utilities/Storage/RCPtrArray.h"
#include "KTFramework/Utilities/Threading/EventData.h"

namespace KT
{

struct EventPool::Record
{
    RCPtrArray<LEvent, 1, 0> events{0, 0};
    std::atomic<std::uint32_t> waiting{0};
    RCPtr<LEventData> data;
    std::uint64_t mask = 0;
};

EventPool::EventPool(std::uint32_t count) : mRecord(new Record)
{
    if (count > Wait::MAX_WAIT_OBJECTS)
    {
        count = Wait::MAX_WAIT_OBJECTS;
    }
    mRecord->data = RCPtr<LEventData>(new LEventData());
    for (std::uint32_t i = 0; i < count; ++i)
    {
        static_cast<void>(
            mRecord->events.AppendItem(RCPtr<LEvent>(new LEvent(mRecord->data, i)))); // grows or throws
        mRecord->mask |= std::uint64_t{1} << i;
    }
}

EventPool::~EventPool()
{
    static_cast<void>(mRecord->events.Clear()); // emptying cannot fail
    mRecord->data.SetNull();
}

std::uint32_t EventPool::Wait(std::uint32_t milliseconds)
{
    mRecord->waiting.fetch_add(1);
    const std::uint32_t result = mRecord->data->Wait(mRecord->mask, LEventData::WAIT_ANY_RESET, milliseconds);
    mRecord->waiting.fetch_sub(1);
    return result;
}

bool EventPool::Release(std::uint32_t index)
{
    if (index >= mRecord->events.GetCount())
    {
        return false;
    }
    return mRecord->events[index]->Release();
}

const RCPtr<LEvent>& EventPool::GetEvent(std::uint32_t index)
{
    if (index >= mRecord->events.GetCount())
    {
        return RCPtr<LEvent>::Null;
    }
    return mRecord->events[index];
}

std::uint64_t EventPool::GetCount() const
{
    return mRecord->events.GetCount();
}

} // namespace KT
