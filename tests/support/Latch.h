// A latch that a test, a hook or a peer opens once and other threads wait on;
// every wait is bounded, so a test that fails does not hang.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace TestSupport
{

class Latch
{
public:
    void Open()
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mOpen = true;
        }
        mChanged.notify_all();
    }
    // True once opened within the bound.
    bool Wait(std::chrono::milliseconds bound = std::chrono::milliseconds(10000))
    {
        std::unique_lock<std::mutex> guard(mLock);
        return mChanged.wait_for(guard, bound, [&] { return mOpen; });
    }
    bool IsOpen()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mOpen;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mOpen = false;
};

} // namespace TestSupport
