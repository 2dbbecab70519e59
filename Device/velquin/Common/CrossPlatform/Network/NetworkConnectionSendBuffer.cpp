#include "velquin/Common/CrossPlatform/Network/NetworkConnectionSendBuffer.h"

#include <cstring>
#include <new>

#include "Platform/ByteOrder.h"

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
    return Base::ResizeBytes(n + kHeaderSize) - kHeaderSize;
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
