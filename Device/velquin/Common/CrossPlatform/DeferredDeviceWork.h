// DeferredDeviceWork: work that may wait for a device's delivery thread,
// put off until the calling thread holds no device or manager lock. A network
// device's host callback runs on a delivery thread with the device's receive
// mutex held and may call back into the library; so a thread that waits for
// that delivery thread (taking a disconnected device's registrations off its
// connection) must not hold anything such a callback may take.
//
// A scope is a stack object: code opens one before it takes a lock under
// which it may disconnect a device, and Run called on that thread meanwhile
// queues its work; the outermost scope, destroyed after the locks, runs the
// queue in order. Run with no scope open runs the work at once. Per thread, so
// it takes no lock.
#pragma once

#include <functional>

class DeferredDeviceWork
{
public:
    using Work = std::function<void()>;

    DeferredDeviceWork() noexcept;
    ~DeferredDeviceWork();
    DeferredDeviceWork(const DeferredDeviceWork&) = delete;
    DeferredDeviceWork& operator=(const DeferredDeviceWork&) = delete;

    // At once when no scope is open on this thread, else when the outermost
    // one ends.
    static void Run(Work work);
};
