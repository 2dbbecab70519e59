#include "Platform/MdnsEventLoop.h"

#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

// The engine knows these two only by pointer: they are the loop's.
struct AvahiWatch
{
    int descriptor;
    AvahiWatchEvent wanted;
    // What the last wait found, for watch_get_events.
    AvahiWatchEvent happened;
    AvahiWatchCallback callback;
    void* userdata;
    // Freed by the engine: never called again, deleted by the next pass.
    bool freed;
};

struct AvahiTimeout
{
    bool enabled;
    timeval due;
    AvahiTimeoutCallback callback;
    void* userdata;
    bool freed;
};

namespace KT::Platform
{

// The poll interface's watches and timers, as the engine creates, changes and
// frees them (with the loop's lock held, also from inside their callbacks).
// Something freed is only marked and stays allocated until the next pass
// begins, so a pass never follows a pointer into freed memory.
class MdnsWatches
{
public:
    MdnsWatches()
    {
        mApi.userdata = this;
        mApi.watch_new = &WatchNew;
        mApi.watch_update = [](AvahiWatch* watch, AvahiWatchEvent wanted) { watch->wanted = wanted; };
        mApi.watch_get_events = [](AvahiWatch* watch) { return watch->happened; };
        mApi.watch_free = [](AvahiWatch* watch) { watch->freed = true; };
        mApi.timeout_new = &TimeoutNew;
        mApi.timeout_update = [](AvahiTimeout* timeout, const timeval* due) { SetDue(*timeout, due); };
        mApi.timeout_free = [](AvahiTimeout* timeout) { timeout->freed = true; };
    }
    ~MdnsWatches()
    {
        for (AvahiWatch* watch : mWatches)
        {
            delete watch;
        }
        for (AvahiTimeout* timeout : mTimeouts)
        {
            delete timeout;
        }
    }
    MdnsWatches(const MdnsWatches&) = delete;
    MdnsWatches& operator=(const MdnsWatches&) = delete;

    const AvahiPoll* GetApi() const { return &mApi; }

    // Deletes what was freed, then lists the live watches' descriptors and
    // what each waits for (their last events cleared), and wake last. The
    // list is the pass's own: the engine's calls during the wait do not
    // touch it.
    std::vector<pollfd>& Prepare(int wake)
    {
        Sweep(mWatches);
        Sweep(mTimeouts);
        mPolled.clear();
        mPolledWatches.clear();
        for (AvahiWatch* watch : mWatches)
        {
            watch->happened = static_cast<AvahiWatchEvent>(0);
            mPolled.push_back(pollfd{watch->descriptor, static_cast<short>(watch->wanted), 0});
            mPolledWatches.push_back(watch);
        }
        mPolled.push_back(pollfd{wake, POLLIN, 0});
        return mPolled;
    }

    // How long a wait may last: at most longestMs, 0 when a timer is due.
    int WaitMs(int longestMs) const
    {
        AvahiUsec wait = AvahiUsec{longestMs} * 1000;
        for (const AvahiTimeout* timeout : mTimeouts)
        {
            if (timeout->enabled && !timeout->freed)
            {
                const AvahiUsec left = -avahi_age(&timeout->due);
                wait = left < wait ? left : wait;
            }
        }
        return wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
    }

    // After the wait: runs the earliest due timer, or else the first watch
    // whose descriptor the wait found ready; one callback a pass, as the
    // engine expects.
    void DispatchOne()
    {
        for (std::size_t i = 0; i < mPolledWatches.size(); ++i)
        {
            mPolledWatches[i]->happened = static_cast<AvahiWatchEvent>(mPolled[i].revents);
        }
        AvahiTimeout* earliest = nullptr;
        for (AvahiTimeout* timeout : mTimeouts)
        {
            if (timeout->enabled && !timeout->freed &&
                (earliest == nullptr || avahi_timeval_compare(&timeout->due, &earliest->due) < 0))
            {
                earliest = timeout;
            }
        }
        if (earliest != nullptr && avahi_age(&earliest->due) >= 0)
        {
            earliest->enabled = false;
            earliest->callback(earliest, earliest->userdata);
            return;
        }
        for (AvahiWatch* watch : mPolledWatches)
        {
            if (!watch->freed && watch->happened != 0)
            {
                watch->callback(watch, watch->descriptor, watch->happened, watch->userdata);
                return;
            }
        }
    }

private:
    static MdnsWatches& Of(const AvahiPoll* api) { return *static_cast<MdnsWatches*>(api->userdata); }

    static AvahiWatch* WatchNew(const AvahiPoll* api, int descriptor, AvahiWatchEvent wanted,
                                AvahiWatchCallback callback, void* userdata)
    {
        // The engine and the daemon's client open some descriptors (the
        // interface watcher's socket among them) without close-on-exec.
        const int flags = fcntl(descriptor, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
        {
            static_cast<void>(fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC));
        }
        MdnsWatches& self = Of(api);
        auto* watch = new (std::nothrow)
            AvahiWatch{descriptor, wanted, static_cast<AvahiWatchEvent>(0), callback, userdata, false};
        if (watch == nullptr || !Keep(self.mWatches, watch))
        {
            return nullptr;
        }
        return watch;
    }

    static AvahiTimeout* TimeoutNew(const AvahiPoll* api, const timeval* due, AvahiTimeoutCallback callback,
                                    void* userdata)
    {
        MdnsWatches& self = Of(api);
        auto* timeout = new (std::nothrow) AvahiTimeout{false, timeval{}, callback, userdata, false};
        if (timeout == nullptr || !Keep(self.mTimeouts, timeout))
        {
            return nullptr;
        }
        SetDue(*timeout, due);
        return timeout;
    }

    // A null time disables the timer; the engine sets it again to re-arm it.
    static void SetDue(AvahiTimeout& timeout, const timeval* due)
    {
        timeout.enabled = due != nullptr;
        if (due != nullptr)
        {
            timeout.due = *due;
        }
    }

    // Appends item to list, or deletes it when there is no room.
    template <class Item>
    static bool Keep(std::vector<Item*>& list, Item* item)
    {
        try
        {
            list.push_back(item);
        }
        catch (const std::bad_alloc&)
        {
            delete item;
            return false;
        }
        return true;
    }

    template <class Item>
    static void Sweep(std::vector<Item*>& list)
    {
        std::size_t kept = 0;
        for (Item* item : list)
        {
            if (item->freed)
            {
                delete item;
            }
            else
            {
                list[kept++] = item;
            }
        }
        list.resize(kept);
    }

    AvahiPoll mApi{};
    std::vector<AvahiWatch*> mWatches;
    std::vector<AvahiTimeout*> mTimeouts;
    // The pass's wait list, kept to be reused: the watches, then wake.
    std::vector<pollfd> mPolled;
    std::vector<AvahiWatch*> mPolledWatches;
};

std::unique_ptr<MdnsEventLoop> MdnsEventLoop::Create()
{
    std::unique_ptr<MdnsWatches> watches(new (std::nothrow) MdnsWatches());
    if (!watches)
    {
        return nullptr;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
    {
        return nullptr;
    }
    return std::unique_ptr<MdnsEventLoop>(new MdnsEventLoop(std::move(watches), wake));
}

MdnsEventLoop::MdnsEventLoop(std::unique_ptr<MdnsWatches> watches, int wakeDescriptor)
    : mWatches(std::move(watches)), mWakeDescriptor(wakeDescriptor)
{
}

MdnsEventLoop::~MdnsEventLoop()
{
    mWatches.reset();
    close(mWakeDescriptor);
}

const AvahiPoll* MdnsEventLoop::GetPollApi() const
{
    return mWatches->GetApi();
}

void MdnsEventLoop::Wake()
{
    const std::uint64_t one = 1;
    // A full counter already wakes the loop; nothing else can fail here.
    static_cast<void>(write(mWakeDescriptor, &one, sizeof(one)));
}

void MdnsEventLoop::DrainWakeDescriptor()
{
    std::uint64_t drained = 0;
    static_cast<void>(read(mWakeDescriptor, &drained, sizeof(drained)));
}

void MdnsEventLoop::WaitOnWakeDescriptorAlone() NO_THREAD_SAFETY_ANALYSIS
{
    // After a failed wait the pass still waits its time, so the loop neither
    // spins nor misses a stop.
    pollfd wake{mWakeDescriptor, POLLIN, 0};
    mLock.Unlock();
    const int result = ::poll(&wake, 1, kPassMs);
    mLock.Lock();
    if (result > 0)
    {
        DrainWakeDescriptor();
    }
}

// The lock is given back for the wait alone, so other threads can reach the
// engine meanwhile; the wake counter waits beside the engine's descriptors.
void MdnsEventLoop::RunOnce() NO_THREAD_SAFETY_ANALYSIS
{
    std::vector<pollfd>* descriptors = nullptr;
    try
    {
        descriptors = &mWatches->Prepare(mWakeDescriptor);
    }
    catch (const std::bad_alloc&)
    {
        WaitOnWakeDescriptorAlone();
        return;
    }
    const int waitMs = mWatches->WaitMs(kPassMs);
    mLock.Unlock();
    const int result = ::poll(descriptors->data(), static_cast<nfds_t>(descriptors->size()), waitMs);
    mLock.Lock();
    if (result < 0)
    {
        // A signal only ends this pass early; another failure would repeat.
        if (errno != EINTR)
        {
            WaitOnWakeDescriptorAlone();
        }
        return;
    }
    if (descriptors->back().revents != 0)
    {
        DrainWakeDescriptor();
    }
    mWatches->DispatchOne();
}

} // namespace KT::Platform
