// Distributed notifications between processes of one user, in place of the
// operating system's distributed notification centre. Every observing process
// binds one Unix datagram socket in "<runtime directory>/notify/"; Post sends
// one datagram to every socket there:
//   "VQNT", u32 name length, name, u32 user-info length, user info
// (little-endian; the user info is an XML property list, length 0 when there
// is none; at most 64 KiB in all).
//
// Threads: the process's one delivery thread, started by the first
// AddObserver, receives datagrams and calls the matching observers' callbacks
// in arrival order, then in registration order, with no lock of ours held;
// between datagrams it also calls the observers that another thread nudged
// (Nudge), which lets an observer hand out on that thread, in its own order,
// what another thread left for it. The
// centre is never destroyed; at exit its thread is stopped and its socket file
// removed, after which nothing more is delivered. mLock guards the
// registrations, the delivery in flight and the thread's state.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/PropertyList.h"
#include "Platform/UnixSocket.h"

namespace KT::Platform
{

inline constexpr std::size_t kMaxNotificationSize = 64 * 1024;
// How long Post waits for room at one observer whose queue is full.
inline constexpr std::uint32_t kNotificationFullWaitMs = 1000;

// userInfo is a null node when the notification carried none or it could not
// be read; it is valid only during the call.
using NotificationCallback = void (*)(void* context, const std::string& name, const PlistNode& userInfo);

// Names one AddObserver; 0 is no registration.
using ObserverRegistration = std::uint64_t;

class DistributedNotificationCenter
{
public:
    // The process's centre.
    static DistributedNotificationCenter& Get();

    // Calls callback(context, name, user info) for every notification named
    // name from now on. 0 when the socket or the thread could not be made, or
    // after the exit-time stop.
    [[nodiscard]] ObserverRegistration AddObserver(const std::string& name, NotificationCallback callback,
                                                   void* context);

    // Ends a registration. Once it returns, its callback is not running and will
    // not run again, except when called from the delivery thread itself (for
    // instance from inside that callback), which cannot wait for itself.
    void RemoveObserver(ObserverRegistration registration);

    // Has the delivery thread call the registration's callback once more,
    // with a null user info, soon and without waiting for a datagram. Never
    // waits. False when the registration is not in force or the thread is not
    // running.
    [[nodiscard]] bool Nudge(ObserverRegistration registration);

    // Sends the notification to every observing process (this one included).
    // False when it does not fit in one datagram or the user info cannot be
    // written; observers whose socket refuses are removed, and one whose queue
    // stays full for kNotificationFullWaitMs misses it.
    [[nodiscard]] static bool Post(const std::string& name, const Plist* userInfo);

    // The datagram of one notification as Post writes it: false when the name
    // is empty, the user info cannot be written or it all exceeds
    // kMaxNotificationSize.
    [[nodiscard]] static bool WriteDatagram(const std::string& name, const Plist* userInfo,
                                            std::vector<unsigned char>& datagram);
    // A received datagram as the delivery thread reads it: false when it is not
    // a notification; info is null when it carried none or it could not be read.
    [[nodiscard]] static bool ReadDatagram(const unsigned char* datagram, std::size_t size, std::string& name,
                                           Plist& info);

    bool IsDeliveryThread() const;

    // What exit does: stops the delivery thread (without waiting when called on
    // it) and removes the socket file. Later registrations fail.
    void Shutdown();

    // For tests that change the runtime directory within one process: stops
    // as Shutdown does and lets the next AddObserver start afresh there.
    void ResetForTesting();

    DistributedNotificationCenter(const DistributedNotificationCenter&) = delete;
    DistributedNotificationCenter& operator=(const DistributedNotificationCenter&) = delete;

private:
    struct Observer
    {
        ObserverRegistration Registration;
        std::string Name;
        NotificationCallback Callback;
        void* Context;
    };

    DistributedNotificationCenter() = default;
    ~DistributedNotificationCenter() = delete;

    bool StartLocked();
    void Run();
    void Deliver(const unsigned char* datagram, std::size_t size);
    // Calls the registration's callback unless it was removed meanwhile.
    void DeliverTo(ObserverRegistration registration, const std::string& name, const PlistNode& userInfo);
    // Empties the wake pipe and takes the nudges: false when the thread is to
    // stop.
    bool TakeWake(std::vector<ObserverRegistration>& nudged);

    std::mutex mLock;
    std::condition_variable mDeliveryEnded;
    std::vector<Observer> mObservers;           // guarded by mLock, in registration order
    ObserverRegistration mNextRegistration = 1; // guarded by mLock
    ObserverRegistration mInFlight = 0;         // guarded by mLock: the registration whose callback runs
    std::vector<ObserverRegistration> mNudged;  // guarded by mLock, in the order nudged
    bool mStarted = false;                      // guarded by mLock
    bool mShutDown = false;                     // guarded by mLock
    bool mExitHookSet = false;                  // guarded by mLock
    std::thread::id mThreadId;                  // guarded by mLock
    std::thread mThread;                        // guarded by mLock
    ScopedFd mSocket;                           // written under mLock before the thread starts
    // Wakes the delivery thread: for nudges, and to stop.
    ScopedFd mWakeRead;
    ScopedFd mWakeWrite;
    std::string mSocketPath; // guarded by mLock
};

} // namespace KT::Platform
