// Events: a KT::Event is one or more bits of a shared KT::LEventData together
// with a wait type and a count of the threads inside its Wait; KT::LEvent
// carries one in a reference-counted object; KT::TrafficLight is a manual-reset
// event with green-light and red-light operations.
//
// An event's signal lives in its data, whose mutex guards it. The waiter count
// is atomic. An event is destroyed by its owner only; its destructor first
// hands every thread still inside Wait a signal and waits for it to leave.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "KTFramework/ObjectBase/RefCountedObject.h"
#include "KTFramework/Utilities/Threading/EventData.h"

namespace KT
{

class Event
{
public:
    // Own data, bit 0; auto-reset events clear their bit when a wait passes,
    // manual ones keep it until Reset.
    explicit Event(bool autoReset);
    // One bit (0 to 63) of shared data, auto-reset. A bit of 64 or more throws
    // KT::Exception<std::out_of_range>. data must not be null.
    Event(const RCPtr<LEventData>& data, unsigned int bit);
    virtual ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // 0 when signalled, Wait::TIMED_OUT when the limit passed.
    [[nodiscard]] unsigned int Wait(unsigned int milliseconds);
    bool Release();
    bool Reset();
    unsigned int GetWaitingCount() const noexcept;

    // An opaque identity of the event.
    operator void*() const noexcept;

private:
    friend class LEvent;

    struct EventState
    {
        void* Handle = nullptr;
        std::atomic<std::uint32_t> Waiters{0};
        RCPtr<LEventData> Data;
        std::uint64_t Mask = 0;
        LEventData::EventWaitType WaitType = LEventData::WAIT_ALL_RESET;
    };

    std::unique_ptr<EventState> mState;
};

class LEvent : public virtual LRefCountedObject
{
public:
    static RCPtr<LEvent> Create(bool autoReset);

    explicit LEvent(bool autoReset);
    // The same event as Event(data, bit), for pools of events on one data.
    LEvent(const RCPtr<LEventData>& data, unsigned int bit);
    ~LEvent() override;

    bool Reset();
    bool Release();
    [[nodiscard]] unsigned int Wait(unsigned int milliseconds);
    unsigned int GetWaitingCount() const noexcept;
    void* GetHandle() const noexcept;

    // Neither takes the event's own synchronisation: call them while no thread
    // waits on this event.
    void SetSignaledBitMask(std::uint64_t mask) noexcept;
    // Moves the event onto bit 0 of private, unsignalled data; a signal pending
    // on its old bit is not carried over.
    void Unshare();

private:
    std::unique_ptr<Event> mEvent;
};

// Manual-reset event: green is signalled, red is not.
class TrafficLight : private Event
{
public:
    TrafficLight();
    ~TrafficLight() override;

    bool SetGreenLight() { return Release(); }
    bool SetRedLight() { return Reset(); }
    [[nodiscard]] unsigned int WaitForGreenLight(unsigned int milliseconds) { return Wait(milliseconds); }
    // Looks with a wait of time limit 0, during which it counts as a waiter.
    bool IsGreenLight() const;
    bool IsThreadWaitingForGreenLight() const noexcept { return GetWaitingCount() != 0; }
};

} // namespace KT
