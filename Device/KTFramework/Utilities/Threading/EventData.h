// The signal word that events share: 64 signal bits guarded by one recursive
// mutex and one condition variable. Each KT::Event owns one or more bits of it
// and holds a counted reference to it, so one thread can wait for any or all of
// several events at once.
//
// mMutex guards every change of mSignaled and every sleep on mCondition. The
// word is also atomic so that IsSignaled may read it without the lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "KTFramework/Defs/Result.h"
#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "Platform/MonotonicCondition.h"
#include "Platform/NativeMutex.h"
#include "Platform/ThreadAnnotations.h"

namespace KT
{

// Limits of the waits; their results are named in Defs/Result.h.
namespace Wait
{
// Taken literally as that many milliseconds (about 49.7 days).
inline constexpr unsigned int INFINITE_WAIT = 0xFFFFFFFFu;
inline constexpr unsigned int MAX_WAIT_OBJECTS = 64;
} // namespace Wait

class LEventData : public virtual LRefCountedObject
{
public:
    // Any value other than these behaves as WAIT_ALL, except 3, which behaves as
    // WAIT_ALL_RESET.
    enum EventWaitType : std::int32_t
    {
        WAIT_ALL = 0,       // every bit of the mask set; nothing cleared
        WAIT_ALL_RESET = 1, // every bit of the mask set; the mask's bits cleared
        WAIT_ANY_RESET = 2  // any bit of the mask set; the lowest one cleared, its index returned
    };

    LEventData() noexcept;
    ~LEventData() override;
    LEventData(const LEventData&) = delete;
    LEventData& operator=(const LEventData&) = delete;

    static RCPtr<LEventData> Create() { return RCPtr<LEventData>(new LEventData); }

    // Set or clear the mask's bits and wake every sleeper; false for an empty
    // mask, which changes nothing.
    bool Release(std::uint64_t mask) noexcept;
    bool Reset(std::uint64_t mask) noexcept;

    // any: some bit of the mask is set; otherwise every bit of it is.
    bool IsSignaled(std::uint64_t mask, bool any) const noexcept;

    // Hold the mutex across several changes of the events on this data. A
    // thread that holds it must not wait on this data.
    void Lock() noexcept ACQUIRE(mMutex);
    void Unlock() noexcept RELEASE(mMutex);

    // 0 or, for WAIT_ANY_RESET, the index of the bit consumed; Wait::TIMED_OUT
    // when the time limit passed; Wait::EMPTY_WAIT for an empty mask.
    [[nodiscard]] unsigned int Wait(std::uint64_t mask, EventWaitType type,
                                    unsigned int milliseconds) noexcept;

private:
    Platform::NativeMutex mMutex{Platform::NativeMutex::Kind::Recursive};
    Platform::MonotonicCondition mCondition;
    std::atomic<std::uint64_t> mSignaled GUARDED_BY(mMutex){0};
};

} // namespace KT
