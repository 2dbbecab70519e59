#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"

#include <cstring>
#include <new>

#include "Platform/ByteOrder.h"

std::atomic<std::uint64_t> LNetworkConnectionSendBuffer::smGrowths{0};

LNetworkConnectionSendBuffer::LNetworkConnectionSendBuffer(std::size_t payloadSize, bool zeroFill)
    : Base(kHeaderSize + payloadSize, 0, zeroFill)
{
}

KT::RCPtr<LNetworkConnectionSendBuffer> LNetworkConnectionSendBuffer::Create(std::size_t payloadSize)
{
    if (payloadSize > SIZE_MAX - kHeaderSize)
    {
        throw std::bad_alloc();
    }
    return KT::RCPtr<LNetworkConnectionSendBuffer>(new LNetworkConnectionSendBuffer(payloadSize, true));
}

KT::RCPtr<LNetworkConnectionSendBuffer> LNetworkConnectionSendBuffer::CreateUnfilled(std::size_t payloadSize)
{
    if (payloadSize > SIZE_MAX - kHeaderSize)
    {
        throw std::bad_alloc();
    }
    return KT::RCPtr<LNetworkConnectionSendBuffer>(new LNetworkConnectionSendBuffer(payloadSize, false));
}

KT::RCPtr<LNetworkConnectionSendBuffer>
LNetworkConnectionSendBuffer::Create(const KT::ConstRCPtr<KT::LIBuffer>& source)
{
    if (!source)
    {
        return Create(0);
    }
    KT::IBuffer& bytes = const_cast<KT::LIBuffer&>(*source);
    const std::size_t size = bytes.GetSizeBytes();
    KT::RCPtr<LNetworkConnectionSendBuffer> copy = Create(size);
    if (size > 0)
    {
        std::memcpy(copy->GetRawPtr(), bytes.GetRawPtr(), size);
    }
    return copy;
}

std::size_t LNetworkConnectionSendBuffer::SetSizeBytes(std::size_t n)
{
    if (n > SIZE_MAX - kHeaderSize)
    {
        throw std::bad_alloc();
    }
    return Base::SetSizeBytes(n + kHeaderSize) - kHeaderSize;
}

std::size_t LNetworkConnectionSendBuffer::ResizeBytes(std::size_t n)
{
    if (n > SIZE_MAX - kHeaderSize)
    {
        throw std::bad_alloc();
    }
    const std::size_t allocated = Base::GetAllocatedSize();
    const std::size_t size = Base::ResizeBytes(n + kHeaderSize) - kHeaderSize;
    if (Base::GetAllocatedSize() > allocated && allocated > 0)
    {
        smGrowths.fetch_add(1, std::memory_order_relaxed);
    }
    return size;
}

void LNetworkConnectionSendBuffer::Reserve(std::size_t payloadSize)
{
    if (payloadSize <= GetAllocatedSize())
    {
        return;
    }
    // A shrink keeps the block: the slack of a send buffer is unbounded.
    const std::size_t size = GetSizeBytes();
    ResizeBytes(payloadSize);
    ResizeBytes(size);
}

std::int32_t LNetworkConnectionSendBuffer::GetSequenceID() const noexcept
{
    return static_cast<std::int32_t>(KT::ReadLE32(GetData() + NetworkWireFormat::kOffsetSequenceID));
}

std::uint32_t LNetworkConnectionSendBuffer::GetPreviousSequenceMsgCount() const noexcept
{
    return KT::ReadLE32(GetData() + NetworkWireFormat::kOffsetPreviousSequenceMsgCount);
}

std::uint32_t LNetworkConnectionSendBuffer::GetMultipartMsgCount() const noexcept
{
    return KT::ReadLE32(GetData() + NetworkWireFormat::kOffsetMultipartMsgCount);
}
