#include "velquin/Common/CrossPlatform/Network/NetworkSendBacklog.h"

#include "KTFramework/System/TimeUtils.h"
#include "velquin/Common/CrossPlatform/Network/NetworkTimeouts.h"

bool NetworkSendBacklog::HasRoom(std::size_t bytes) const noexcept
{
    const std::size_t kept = mBytes.load();
    return kept == 0 || (bytes <= kMostBytes && kept <= kMostBytes - bytes);
}

void NetworkSendBacklog::Keep(std::size_t bytes) noexcept
{
    mBytes.fetch_add(bytes);
}

void NetworkSendBacklog::GiveBack(std::size_t bytes) noexcept
{
    mBytes.fetch_sub(bytes);
    mProgress.fetch_add(1);
    mSignal.Wake();
}

void NetworkSendBacklog::Close() noexcept
{
    mSignal.Close();
}

NetworkError NetworkSendBacklog::WaitForRoom(std::size_t bytes, const NetworkReceiveBacklog* heldBackBy)
{
    mSignal.Enter();
    std::uint64_t progress = mProgress.load();
    std::int64_t progressAt = KT::TimeUtils::GetMillisecondCounter();
    NetworkError result = NETWORK_NO_ERROR;
    for (;;)
    {
        if (mSignal.IsClosed())
        {
            result = NETWORK_SEND_FAILED;
            break;
        }
        if (HasRoom(bytes))
        {
            break;
        }
        if (heldBackBy != nullptr && heldBackBy->IsHoldingBack())
        {
            result = NETWORK_OBJECT_OUT_OF_MEMORY;
            break;
        }
        const std::int64_t now = KT::TimeUtils::GetMillisecondCounter();
        const std::uint64_t seen = mProgress.load();
        if (seen != progress)
        {
            progress = seen;
            progressAt = now;
        }
        const std::int64_t limit = NetworkTimeouts::Get(NetworkTimeoutList::SEND_ROOM);
        const std::int64_t left = limit - (now - progressAt);
        if (left <= 0)
        {
            result = NETWORK_OBJECT_OUT_OF_MEMORY;
            break;
        }
        static_cast<void>(mSignal.Wait(
            static_cast<unsigned int>(left < kWaitSliceMilliseconds ? left : kWaitSliceMilliseconds)));
    }
    // One give back may make room for several sends, and a close ends them
    // all.
    mSignal.Leave();
    return result;
}
