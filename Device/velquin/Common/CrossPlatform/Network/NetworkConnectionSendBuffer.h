// LNetworkConnectionSendBuffer: the carrier of every message a connection sends
// or receives. One block holds the 52-byte message header followed by the
// payload; every size and pointer operation it exposes counts the payload only,
// so a received message is handed to callbacks as a plain KT::LIBuffer with no
// copy. Owned through RCPtr; like every buffer it takes no lock: one thread
// fills it, and it is shared read-only once handed on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KTFramework/Utilities/Storage/Buffer.h"
#include "velquin/Common/CrossPlatform/Network/NetworkWireFormat.h"

// Blocks grow by 256 bytes: a small message kept for acknowledgement holds
// about its size, and a receive block is exactly one packet.
class LNetworkConnectionSendBuffer
    : public KT::LBufferT<256, 4294967295u, 8, unsigned char*, KT::GetSystemAllocator>
{
    using Base = KT::LBufferT<256, 4294967295u, 8, unsigned char*, KT::GetSystemAllocator>;

public:
    static constexpr std::size_t kHeaderSize = NetworkWireFormat::kHeaderSize;

    // The block a buffer of payloadSize takes once its size is set to it.
    static std::size_t BlockBytes(std::size_t payloadSize)
    {
        return Base::RoundUp(kHeaderSize + payloadSize);
    }

    // A zero-filled header and payloadSize zero-filled payload bytes.
    static KT::RCPtr<LNetworkConnectionSendBuffer> Create(std::size_t payloadSize);
    // The same without filling: for a receiver, which reads into it before it
    // reads from it, and need not touch memory it will never use.
    static KT::RCPtr<LNetworkConnectionSendBuffer> CreateUnfilled(std::size_t payloadSize);
    // The source's bytes as payload; a null source gives an empty payload.
    static KT::RCPtr<LNetworkConnectionSendBuffer> Create(const KT::ConstRCPtr<KT::LIBuffer>& source);

    // The 52 header bytes at the start of the block.
    unsigned char* GetMessageHeader() noexcept { return GetData(); }
    const unsigned char* GetMessageHeader() const noexcept { return GetData(); }

    void* GetRawPtr() override { return GetData() + kHeaderSize; }
    std::size_t GetSizeBytes() const override { return Base::GetSizeBytes() - kHeaderSize; }
    std::size_t GetAllocatedSize() const override { return Base::GetAllocatedSize() - kHeaderSize; }
    // Payload sizes: the block holds the header besides.
    std::size_t SetSizeBytes(std::size_t n) override;
    std::size_t ResizeBytes(std::size_t n) override;
    // Grows the block to hold payloadSize payload bytes, keeping the size and
    // the content, so that a payload built up piece by piece grows its block
    // once. Throws std::bad_alloc, changing nothing, when it cannot.
    void Reserve(std::size_t payloadSize);

    // How often the block of any send buffer has grown while keeping its
    // content: a reassembly grows the first part's block once for the whole
    // message.
    static std::uint64_t GetGrowthCount() noexcept { return smGrowths.load(); }

    std::int32_t GetSequenceID() const noexcept;
    std::uint32_t GetPreviousSequenceMsgCount() const noexcept;
    std::uint32_t GetMultipartMsgCount() const noexcept;

    ~LNetworkConnectionSendBuffer() override = default;

private:
    LNetworkConnectionSendBuffer(std::size_t payloadSize, bool zeroFill);

    static std::atomic<std::uint64_t> smGrowths;
};
