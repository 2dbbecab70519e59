// MdnsEventLoop: the event loop of one mDNS engine and the engine lock that
// guards everything of that engine. One thread runs the loop pass by pass
// (RunOnce) and holds the lock throughout, except while a pass waits for the
// engine's sockets and timers; so the engine's callbacks run with the lock
// held. Any other thread calls into the engine only with the lock held and
// then wakes the loop (Wake), so that the change is acted on at once. Owned by
// the engine object built on it, which frees its engine objects first.
//
// The loop is the library's own poll interface under the engine, not the
// engine's stock one: it opens no descriptor but its wake counter, and marks
// every descriptor the engine (or the daemon's client) gives it to watch
// close-on-exec, so that none of them reaches a process the host starts.
#pragma once

#include <memory>

#include "Platform/NativeMutex.h"
#include "Platform/ThreadAnnotations.h"

struct AvahiPoll;

namespace KT::Platform
{

class MdnsWatches;

class CAPABILITY("mutex") MdnsEventLoop
{
public:
    // The longest a pass waits, so a loop checks its stop flag this often
    // even when no wake-up reaches it.
    static constexpr int kPassMs = 100;

    // Null when the system refuses the loop's descriptor.
    static std::unique_ptr<MdnsEventLoop> Create();
    ~MdnsEventLoop();
    MdnsEventLoop(const MdnsEventLoop&) = delete;
    MdnsEventLoop& operator=(const MdnsEventLoop&) = delete;

    void Lock() ACQUIRE() { mLock.Lock(); }
    void Unlock() RELEASE() { mLock.Unlock(); }
    // For callbacks of the engine, which the loop runs with the lock held.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

    // One pass: waits at most kPassMs (less when a timer of the engine is due
    // sooner, none when Wake was called since the last pass) with the lock
    // given back, then runs at most one due timer or socket event.
    void RunOnce() REQUIRES(this);
    // Ends the current or next wait of RunOnce. Any thread, lock held or not.
    void Wake();

    // The poll interface engines are created on; used with the lock held.
    const AvahiPoll* GetPollApi() const;

private:
    MdnsEventLoop(std::unique_ptr<MdnsWatches> watches, int wakeDescriptor);

    void WaitOnWakeDescriptorAlone();
    void DrainWakeDescriptor();

    NativeMutex mLock{NativeMutex::Kind::Plain};
    // The engine's watches and timers; used with the lock held.
    std::unique_ptr<MdnsWatches> mWatches;
    // An event counter written by Wake and read by the waits; no lock needed.
    int mWakeDescriptor;
};

} // namespace KT::Platform
