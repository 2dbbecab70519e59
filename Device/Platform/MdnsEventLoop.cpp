#include "Platform/MdnsEventLoop.h"

#include <avahi-common/simple-watch.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace KT::Platform
{

std::unique_ptr<MdnsEventLoop> MdnsEventLoop::Create()
{
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
    {
        return nullptr;
    }
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (poll == nullptr)
    {
        close(wake);
        return nullptr;
    }
    std::unique_ptr<MdnsEventLoop> loop(new MdnsEventLoop(poll, wake));
    avahi_simple_poll_set_func(poll, &MdnsEventLoop::Poll, loop.get());
    return loop;
}

MdnsEventLoop::MdnsEventLoop(AvahiSimplePoll* poll, int wakeDescriptor)
    : mPoll(poll), mWakeDescriptor(wakeDescriptor)
{
}

MdnsEventLoop::~MdnsEventLoop()
{
    avahi_simple_poll_free(mPoll);
    close(mWakeDescriptor);
}

const AvahiPoll* MdnsEventLoop::GetPollApi() const
{
    return avahi_simple_poll_get(mPoll);
}

void MdnsEventLoop::Wake()
{
    const std::uint64_t one = 1;
    // A full counter already wakes the loop; nothing else can fail here.
    static_cast<void>(write(mWakeDescriptor, &one, sizeof(one)));
}

// The engine's wait, run by the poll inside RunOnce with the lock held: the
// lock is given back for the wait alone, so other threads can reach the engine
// meanwhile, and the wake counter waits beside the engine's descriptors.
int MdnsEventLoop::Poll(pollfd* descriptors, unsigned int count, int timeoutMs,
                        void* argument) NO_THREAD_SAFETY_ANALYSIS
{
    auto* loop = static_cast<MdnsEventLoop*>(argument);
    std::vector<pollfd> all(descriptors, descriptors + count);
    all.push_back(pollfd{loop->mWakeDescriptor, POLLIN, 0});
    loop->mLock.Unlock();
    const int result = ::poll(all.data(), static_cast<nfds_t>(all.size()), timeoutMs);
    const int error = errno;
    loop->mLock.Lock();
    if (result > 0)
    {
        for (unsigned int i = 0; i < count; ++i)
        {
            descriptors[i].revents = all[i].revents;
        }
        if (all.back().revents != 0)
        {
            std::uint64_t drained = 0;
            static_cast<void>(read(loop->mWakeDescriptor, &drained, sizeof(drained)));
        }
    }
    errno = error;
    return result;
}

void MdnsEventLoop::WaitOnWakeDescriptorAlone() NO_THREAD_SAFETY_ANALYSIS
{
    // After a failure of the engine's poll the pass still waits its time, so
    // the loop neither spins nor misses a stop.
    pollfd wake{mWakeDescriptor, POLLIN, 0};
    mLock.Unlock();
    if (::poll(&wake, 1, kPassMs) > 0)
    {
        std::uint64_t drained = 0;
        static_cast<void>(read(mWakeDescriptor, &drained, sizeof(drained)));
    }
    mLock.Lock();
}

void MdnsEventLoop::RunOnce()
{
    if (avahi_simple_poll_prepare(mPoll, kPassMs) != 0)
    {
        WaitOnWakeDescriptorAlone();
        return;
    }
    if (avahi_simple_poll_run(mPoll) != 0)
    {
        WaitOnWakeDescriptorAlone();
        return;
    }
    static_cast<void>(avahi_simple_poll_dispatch(mPoll));
}

} // namespace KT::Platform
