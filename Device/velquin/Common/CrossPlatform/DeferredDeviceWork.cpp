#include "velquin/Common/CrossPlatform/DeferredDeviceWork.h"

#include <deque>
#include <utility>

namespace
{

struct ThreadQueue
{
    unsigned int depth = 0;
    std::deque<DeferredDeviceWork::Work> work;
};

ThreadQueue& GetThreadQueue()
{
    static thread_local ThreadQueue queue;
    return queue;
}

} // namespace

DeferredDeviceWork::DeferredDeviceWork() noexcept
{
    ++GetThreadQueue().depth;
}

DeferredDeviceWork::~DeferredDeviceWork()
{
    ThreadQueue& queue = GetThreadQueue();
    if (--queue.depth != 0)
    {
        return;
    }
    // Work run from here runs with no scope open, so what it defers in turn
    // runs at once.
    while (!queue.work.empty())
    {
        Work work = std::move(queue.work.front());
        queue.work.pop_front();
        work();
    }
}

void DeferredDeviceWork::Run(Work work)
{
    ThreadQueue& queue = GetThreadQueue();
    if (queue.depth == 0)
    {
        work();
        return;
    }
    queue.work.push_back(std::move(work));
}
