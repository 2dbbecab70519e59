// KT::EventPool: a fixed set of auto-reset events sharing one signal word, one
// bit each, so that one thread can wait for whichever is signalled first and
// learn which one it was. The thread pool gives each worker one of them as its
// completion event. Owned by value or through a unique owner.
//
// Threads: any thread may Release; several may Wait, and each signal is
// consumed by exactly one of them. The events are made at construction and
// never change, so no lock guards the array.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "KTFramework/Utilities/Threading/Event.h"

namespace KT
{

class EventPool
{
public:
    // count events, event i on bit i; a signal word has 64 bits, so at most
    // KT::Wait::MAX_WAIT_OBJECTS events are made.
    explicit EventPool(std::uint32_t count);
    virtual ~EventPool();

    EventPool(const EventPool&) = delete;
    EventPool& operator=(const EventPool&) = delete;

    // The index of the lowest signalled event, whose signal is consumed;
    // KT::Wait::TIMED_OUT when the time passes first; KT::Wait::EMPTY_WAIT at
    // once for an empty pool.
    [[nodiscard]] std::uint32_t Wait(std::uint32_t milliseconds);
    // Signals event index; false for an index past the count.
    bool Release(std::uint32_t index);
    // The event itself, for handing to others; the null pointer past the count.
    const RCPtr<LEvent>& GetEvent(std::uint32_t index);
    std::uint64_t GetCount() const;

private:
    struct Record;
    std::unique_ptr<Record> mRecord;
};

} // namespace KT
