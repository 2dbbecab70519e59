// A tick source for tests: the count stands still until Delay advances it by
// the ticks asked, without sleeping, and actions can be set to run when the
// count reaches a given tick (on the thread that calls Delay). Installed for
// the scope of the object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "Platform/Ticks.h"

namespace PlatformTesting
{

class FakeTicks final : public KT::Platform::ITickSource
{
public:
    explicit FakeTicks(std::uint32_t start = 1000) : mStart(start), mNow(start)
    {
        KT::Platform::SetTickSourceForTesting(this);
    }
    ~FakeTicks() override { KT::Platform::SetTickSourceForTesting(nullptr); }

    std::uint32_t TickCount() override
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mNow;
    }

    void Delay(std::uint32_t ticks, std::uint32_t* finalTicks) override
    {
        std::function<void()> due;
        std::uint32_t now = 0;
        {
            std::lock_guard<std::mutex> guard(mLock);
            mNow += ticks;
            ++mDelayCalls;
            now = mNow;
            auto first = mActions.begin();
            if (first != mActions.end() && first->first <= mNow - mStart)
            {
                due = std::move(first->second);
                mActions.erase(first);
            }
        }
        if (due)
        {
            due();
        }
        if (finalTicks != nullptr)
        {
            *finalTicks = now;
        }
    }

    // Runs action once the count has advanced tick ticks past the start.
    void At(std::uint32_t tick, std::function<void()> action)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mActions.emplace(tick, std::move(action));
    }

    // Ticks advanced since the start.
    std::uint32_t Elapsed()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mNow - mStart;
    }

    std::uint64_t DelayCalls()
    {
        std::lock_guard<std::mutex> guard(mLock);
        return mDelayCalls;
    }

private:
    std::mutex mLock;
    const std::uint32_t mStart;
    std::uint32_t mNow;
    std::uint64_t mDelayCalls = 0;
    std::multimap<std::uint32_t, std::function<void()>> mActions;
};

} // namespace PlatformTesting
