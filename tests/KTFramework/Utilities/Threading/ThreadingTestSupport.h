// Synchronisation helpers for the threading tests, built on the standard
// library so that they do not depend on the code under test. Every wait is
// bounded: a broken implementation fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ThreadingTest
{

constexpr std::chrono::milliseconds kBound{5000};
// What counts as returning at once for a stop path whose limit is 60 s: far
// below the limit, with room for a loaded sanitizer build.
constexpr std::int64_t kPromptMs = 3000;

// A count that threads raise and tests wait on.
class Tally
{
public:
    void Add(int n = 1)
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mCount += n;
        mChanged.notify_all();
    }
    // True once the count reaches target within the bound.
    bool WaitFor(int target, std::chrono::milliseconds bound = kBound)
    {
        std::unique_lock<std::mutex> guard(mMutex);
        return mChanged.wait_for(guard, bound, [&] { return mCount >= target; });
    }
    int Get()
    {
        std::lock_guard<std::mutex> guard(mMutex);
        return mCount;
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    int mCount = 0;
};

// A gate that stays open once opened.
class Gate
{
public:
    void Open() { mTally.Add(); }
    bool WaitOpen(std::chrono::milliseconds bound = kBound) { return mTally.WaitFor(1, bound); }
    bool IsOpen() { return mTally.Get() > 0; }

private:
    Tally mTally;
};

inline std::int64_t ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

} // namespace ThreadingTest
