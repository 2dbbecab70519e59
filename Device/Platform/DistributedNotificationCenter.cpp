#include "Platform/DistributedNotificationCenter.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/ByteOrder.h"
#include "Platform/RuntimeDirectory.h"

namespace KT::Platform
{

namespace
{

constexpr unsigned char kMagic[4] = {'V', 'Q', 'N', 'T'};
constexpr std::size_t kFixedSize = 12; // magic and the two lengths

// Sends one datagram to the socket at path. A socket that refuses belongs to
// an observer that is gone: its file is removed.
void SendTo(const std::string& path, const std::vector<unsigned char>& datagram)
{
    sockaddr_un address{};
    socklen_t length = 0;
    if (!MakeUnixAddress(path, address, length))
    {
        return;
    }
    ScopedFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.IsValid())
    {
        return;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
    {
        if (errno == ECONNREFUSED)
        {
            ::unlink(path.c_str());
        }
        return;
    }
    const Deadline deadline = DeadlineIn(kNotificationFullWaitMs);
    for (;;)
    {
        if (::send(fd.Get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) >= 0)
        {
            return;
        }
        if (errno == EINTR)
        {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
        {
            // On a connected datagram socket this waits for room in the
            // observer's queue.
            if (PollUntil(fd.Get(), POLLOUT, deadline) != 0)
            {
                return;
            }
            continue;
        }
        if (errno == ECONNREFUSED)
        {
            ::unlink(path.c_str());
        }
        return;
    }
}

} // namespace

DistributedNotificationCenter& DistributedNotificationCenter::Get()
{
    // Never destroyed: observers may be removed while the process exits.
    static DistributedNotificationCenter* center = new DistributedNotificationCenter;
    return *center;
}

bool DistributedNotificationCenter::WriteDatagram(const std::string& name, const Plist* userInfo,
                                                  std::vector<unsigned char>& datagram)
{
    if (name.empty())
    {
        return false;
    }
    std::vector<unsigned char> info;
    if (userInfo != nullptr && !userInfo->ToXml(info))
    {
        return false;
    }
    if (kFixedSize + name.size() + info.size() > kMaxNotificationSize)
    {
        return false;
    }
    datagram.assign(kFixedSize + name.size() + info.size(), 0);
    std::memcpy(datagram.data(), kMagic, 4);
    WriteLE32(datagram.data() + 4, static_cast<std::uint32_t>(name.size()));
    std::memcpy(datagram.data() + 8, name.data(), name.size());
    WriteLE32(datagram.data() + 8 + name.size(), static_cast<std::uint32_t>(info.size()));
    if (!info.empty())
    {
        std::memcpy(datagram.data() + kFixedSize + name.size(), info.data(), info.size());
    }
    return true;
}

bool DistributedNotificationCenter::ReadDatagram(const unsigned char* datagram, std::size_t size,
                                                 std::string& name, Plist& info)
{
    if (size < kFixedSize || std::memcmp(datagram, kMagic, 4) != 0)
    {
        return false;
    }
    const std::size_t nameSize = ReadLE32(datagram + 4);
    if (nameSize > size - kFixedSize)
    {
        return false;
    }
    const std::size_t infoSize = ReadLE32(datagram + 8 + nameSize);
    if (infoSize != size - kFixedSize - nameSize)
    {
        return false;
    }
    name.assign(reinterpret_cast<const char*>(datagram + 8), nameSize);
    info = infoSize != 0 ? Plist::FromBytes(datagram + kFixedSize + nameSize, infoSize) : Plist();
    return true;
}

bool DistributedNotificationCenter::Post(const std::string& name, const Plist* userInfo)
{
    std::vector<unsigned char> datagram;
    if (!WriteDatagram(name, userInfo, datagram))
    {
        return false;
    }

    const std::string directory = GetRuntimeSubdirectory("notify");
    if (directory.empty())
    {
        return false;
    }
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr)
    {
        return false;
    }
    std::vector<std::string> targets;
    while (const dirent* entry = ::readdir(listing))
    {
        if (entry->d_name[0] != '.')
        {
            targets.push_back(directory + entry->d_name);
        }
    }
    ::closedir(listing);
    for (const std::string& target : targets)
    {
        SendTo(target, datagram);
    }
    return true;
}

ObserverRegistration DistributedNotificationCenter::AddObserver(const std::string& name,
                                                                NotificationCallback callback, void* context)
{
    if (callback == nullptr)
    {
        return 0;
    }
    std::lock_guard<std::mutex> guard(mLock);
    if (mShutDown || (!mStarted && !StartLocked()))
    {
        return 0;
    }
    const ObserverRegistration registration = mNextRegistration++;
    mObservers.push_back({registration, name, callback, context});
    return registration;
}

void DistributedNotificationCenter::RemoveObserver(ObserverRegistration registration)
{
    std::unique_lock<std::mutex> guard(mLock);
    for (auto it = mObservers.begin(); it != mObservers.end(); ++it)
    {
        if (it->Registration == registration)
        {
            mObservers.erase(it);
            break;
        }
    }
    if (std::this_thread::get_id() != mThreadId)
    {
        mDeliveryEnded.wait(guard, [&] { return mInFlight != registration; });
    }
}

bool DistributedNotificationCenter::Nudge(ObserverRegistration registration)
{
    std::lock_guard<std::mutex> guard(mLock);
    if (!mStarted || mShutDown)
    {
        return false;
    }
    bool found = false;
    for (const Observer& observer : mObservers)
    {
        found = found || observer.Registration == registration;
    }
    if (!found)
    {
        return false;
    }
    mNudged.push_back(registration);
    // A full pipe already wakes the thread.
    const unsigned char byte = 1;
    (void)!::write(mWakeWrite.Get(), &byte, 1);
    return true;
}

bool DistributedNotificationCenter::IsDeliveryThread() const
{
    std::lock_guard<std::mutex> guard(const_cast<std::mutex&>(mLock));
    return mStarted && std::this_thread::get_id() == mThreadId;
}

bool DistributedNotificationCenter::StartLocked()
{
    const std::string directory = GetRuntimeSubdirectory("notify");
    if (directory.empty())
    {
        return false;
    }
    const std::string path =
        directory + std::to_string(::getpid()) + "-" + std::to_string(MonotonicMilliseconds());
    sockaddr_un address{};
    socklen_t length = 0;
    if (!MakeUnixAddress(path, address, length))
    {
        return false;
    }
    ScopedFd socketFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int pipeFds[2];
    if (!socketFd.IsValid() || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        return false;
    }
    ScopedFd wakeRead(pipeFds[0]);
    ScopedFd wakeWrite(pipeFds[1]);
    ::unlink(path.c_str());
    if (::bind(socketFd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
    {
        return false;
    }
    mSocket = std::move(socketFd);
    mWakeRead = std::move(wakeRead);
    mWakeWrite = std::move(wakeWrite);
    mSocketPath = path;
    mThread = std::thread([this] { Run(); });
    mThreadId = mThread.get_id();
    mStarted = true;
    if (!mExitHookSet)
    {
        mExitHookSet = std::atexit([] { Get().Shutdown(); }) == 0;
    }
    return true;
}

void DistributedNotificationCenter::Shutdown()
{
    std::thread thread;
    bool onThread = false;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mShutDown)
        {
            return;
        }
        mShutDown = true;
        if (!mStarted)
        {
            return;
        }
        thread = std::move(mThread);
        onThread = std::this_thread::get_id() == mThreadId;
        path = mSocketPath;
    }
    const unsigned char byte = 1;
    (void)!::write(mWakeWrite.Get(), &byte, 1);
    ::unlink(path.c_str());
    if (onThread)
    {
        thread.detach();
    }
    else if (thread.joinable())
    {
        thread.join();
    }
}

void DistributedNotificationCenter::ResetForTesting()
{
    Shutdown();
    std::lock_guard<std::mutex> guard(mLock);
    mObservers.clear();
    mNudged.clear();
    mSocket.Reset();
    mWakeRead.Reset();
    mWakeWrite.Reset();
    mThreadId = std::thread::id();
    mStarted = false;
    mShutDown = false;
}

void DistributedNotificationCenter::Run()
{
    std::vector<unsigned char> buffer(kMaxNotificationSize + 1);
    std::vector<ObserverRegistration> nudged;
    for (;;)
    {
        const int polled = PollUntil(mSocket.Get(), POLLIN, NoDeadline(), mWakeRead.Get());
        if (polled == ECANCELED)
        {
            if (!TakeWake(nudged))
            {
                return;
            }
            for (const ObserverRegistration registration : nudged)
            {
                DeliverTo(registration, std::string(), PlistNode());
            }
            continue;
        }
        if (polled != 0)
        {
            return;
        }
        const ssize_t got = ::recv(mSocket.Get(), buffer.data(), buffer.size(), 0);
        if (got > 0 && static_cast<std::size_t>(got) <= kMaxNotificationSize)
        {
            Deliver(buffer.data(), static_cast<std::size_t>(got));
        }
    }
}

void DistributedNotificationCenter::Deliver(const unsigned char* datagram, std::size_t size)
{
    std::string name;
    Plist info;
    if (!ReadDatagram(datagram, size, name, info))
    {
        return;
    }

    std::vector<ObserverRegistration> targets;
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (const Observer& observer : mObservers)
        {
            if (observer.Name == name)
            {
                targets.push_back(observer.Registration);
            }
        }
    }
    for (ObserverRegistration registration : targets)
    {
        DeliverTo(registration, name, info.GetRoot());
    }
}

void DistributedNotificationCenter::DeliverTo(ObserverRegistration registration, const std::string& name,
                                              const PlistNode& userInfo)
{
    NotificationCallback callback = nullptr;
    void* context = nullptr;
    std::string observed;
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (const Observer& observer : mObservers)
        {
            if (observer.Registration == registration)
            {
                callback = observer.Callback;
                context = observer.Context;
                observed = name.empty() ? observer.Name : name;
                mInFlight = registration;
                break;
            }
        }
    }
    if (callback == nullptr)
    {
        return; // removed meanwhile
    }
    callback(context, observed, userInfo);
    {
        std::lock_guard<std::mutex> guard(mLock);
        mInFlight = 0;
    }
    mDeliveryEnded.notify_all();
}

bool DistributedNotificationCenter::TakeWake(std::vector<ObserverRegistration>& nudged)
{
    unsigned char bytes[64];
    while (::read(mWakeRead.Get(), bytes, sizeof bytes) > 0)
    {
    }
    std::lock_guard<std::mutex> guard(mLock);
    nudged.clear();
    nudged.swap(mNudged);
    return !mShutDown;
}

} // namespace KT::Platform
