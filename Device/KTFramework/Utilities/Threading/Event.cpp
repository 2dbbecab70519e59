#include "KTFramework/Utilities/Threading/Event.h"

#include "KTFramework/Defs/Exceptions/ExceptionSites.h"

namespace KT
{

namespace
{
// A bit beyond the data's 64 would be shifted out of range.
void CheckEventBit(unsigned int bit)
{
    if (bit >= Wait::MAX_WAIT_OBJECTS)
    {
        ThrowException<std::out_of_range>(ExceptionSites::kEventBit);
    }
}
} // namespace

Event::Event(bool autoReset) : mState(std::make_unique<EventState>())
{
    mState->Handle = mState.get();
    mState->Data = LEventData::Create();
    mState->Mask = 1;
    mState->WaitType = autoReset ? LEventData::WAIT_ALL_RESET : LEventData::WAIT_ALL;
}

Event::Event(const RCPtr<LEventData>& data, unsigned int bit)
{
    CheckEventBit(bit);
    mState = std::make_unique<EventState>();
    mState->Handle = mState.get();
    mState->Data = data;
    mState->Mask = std::uint64_t{1} << bit;
    mState->WaitType = LEventData::WAIT_ALL_RESET;
}

// A thread still inside Wait is handed the signal again and again until it has
// left, so that neither the state nor the data goes away under it. Each pass
// takes the data's mutex and wakes the sleepers, so the loop is short.
Event::~Event()
{
    while (mState->Waiters.load(std::memory_order_acquire) != 0)
    {
        mState->Data->Release(mState->Mask);
    }
}

unsigned int Event::Wait(unsigned int milliseconds)
{
    mState->Waiters.fetch_add(1, std::memory_order_acq_rel);
    const unsigned int result = mState->Data->Wait(mState->Mask, mState->WaitType, milliseconds);
    // Nothing of the state may be touched after this: the destructor may be
    // waiting for exactly this decrement.
    mState->Waiters.fetch_sub(1, std::memory_order_acq_rel);
    return result;
}

bool Event::Release()
{
    return mState->Data->Release(mState->Mask);
}

bool Event::Reset()
{
    return mState->Data->Reset(mState->Mask);
}

unsigned int Event::GetWaitingCount() const noexcept
{
    return mState->Waiters.load(std::memory_order_acquire);
}

Event::operator void*() const noexcept
{
    return mState->Handle;
}

RCPtr<LEvent> LEvent::Create(bool autoReset)
{
    return RCPtr<LEvent>(new LEvent(autoReset));
}

LEvent::LEvent(bool autoReset) : mEvent(std::make_unique<Event>(true))
{
    if (!autoReset)
    {
        mEvent->mState->WaitType = LEventData::WAIT_ALL;
    }
}

LEvent::LEvent(const RCPtr<LEventData>& data, unsigned int bit)
{
    CheckEventBit(bit);
    mEvent = std::make_unique<Event>(data, bit);
}

LEvent::~LEvent() = default;

bool LEvent::Reset()
{
    return mEvent->Reset();
}

bool LEvent::Release()
{
    return mEvent->Release();
}

unsigned int LEvent::Wait(unsigned int milliseconds)
{
    return mEvent->Wait(milliseconds);
}

unsigned int LEvent::GetWaitingCount() const noexcept
{
    return mEvent->GetWaitingCount();
}

void* LEvent::GetHandle() const noexcept
{
    return static_cast<void*>(*mEvent);
}

void LEvent::SetSignaledBitMask(std::uint64_t mask) noexcept
{
    mEvent->mState->Mask = mask;
}

// The old data stays alive and locked while the event leaves it, so that
// nobody changing the events on it sees the event half moved.
void LEvent::Unshare()
{
    Event::EventState& state = *mEvent->mState;
    RCPtr<LEventData> freshData = LEventData::Create();
    RCPtr<LEventData> oldData = state.Data;
    oldData->Lock();
    state.Mask = 0;
    state.Data = freshData;
    state.Mask = 1;
    oldData->Unlock();
}

TrafficLight::TrafficLight() : Event(false) {}

TrafficLight::~TrafficLight() = default;

// The look consumes nothing: the event is manual-reset.
bool TrafficLight::IsGreenLight() const
{
    return const_cast<TrafficLight*>(this)->Wait(0) != Wait::TIMED_OUT;
}

} // namespace KT
