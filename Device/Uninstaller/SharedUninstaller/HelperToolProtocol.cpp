#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

#include "Platform/ByteOrder.h"

#include <algorithm>
#include <cerrno>
#include <map>

namespace Uninstaller
{

namespace
{

using KT::ReadLE32;
using KT::WriteLE32;

enum Tag : unsigned char
{
    kTagCommand = 0x01,
    kTagPath = 0x02,
    kTagAuthorization = 0x03,
    kTagErrorDomain = 0x10,
    kTagErrorCode = 0x11,
    kTagOutput = 0x12,
    kTagStatus = 0x13,
    kTagEnd = 0x14,
};

constexpr std::size_t kFieldHeaderBytes = 5;

class FrameWriter
{
public:
    FrameWriter() : mBytes(kFrameLengthBytes) {}

    void Field(unsigned char tag, const void* data, std::size_t size)
    {
        const std::size_t at = mBytes.size();
        mBytes.resize(at + kFieldHeaderBytes + size);
        mBytes[at] = tag;
        WriteLE32(mBytes.data() + at + 1, static_cast<std::uint32_t>(size));
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::copy(bytes, bytes + size, mBytes.begin() + static_cast<std::ptrdiff_t>(at + kFieldHeaderBytes));
    }
    void Text(unsigned char tag, const std::string& text) { Field(tag, text.data(), text.size()); }
    void Int32(unsigned char tag, std::int32_t value)
    {
        unsigned char bytes[4];
        WriteLE32(bytes, static_cast<std::uint32_t>(value));
        Field(tag, bytes, sizeof bytes);
    }

    std::optional<std::vector<unsigned char>> Finish(std::size_t maxPayload)
    {
        const std::size_t payload = mBytes.size() - kFrameLengthBytes;
        if (payload > maxPayload)
        {
            return std::nullopt;
        }
        WriteLE32(mBytes.data(), static_cast<std::uint32_t>(payload));
        return std::move(mBytes);
    }

private:
    std::vector<unsigned char> mBytes;
};

// The fields of a payload by tag, each a view into it.
using Fields = std::map<unsigned char, std::span<const unsigned char>>;

std::optional<Fields> SplitFields(std::span<const unsigned char> payload,
                                  std::initializer_list<unsigned char> allowed)
{
    Fields fields;
    while (!payload.empty())
    {
        if (payload.size() < kFieldHeaderBytes)
        {
            return std::nullopt;
        }
        const unsigned char tag = payload[0];
        const std::uint32_t length = ReadLE32(payload.data() + 1);
        payload = payload.subspan(kFieldHeaderBytes);
        if (length > payload.size() || std::find(allowed.begin(), allowed.end(), tag) == allowed.end() ||
            !fields.emplace(tag, payload.first(length)).second)
        {
            return std::nullopt;
        }
        payload = payload.subspan(length);
    }
    return fields;
}

std::optional<std::string> TextField(const Fields& fields, unsigned char tag, bool allowNul = false)
{
    const auto found = fields.find(tag);
    if (found == fields.end())
    {
        return std::nullopt;
    }
    std::string text(found->second.begin(), found->second.end());
    if (!allowNul && text.find('\0') != std::string::npos)
    {
        return std::nullopt;
    }
    return text;
}

std::optional<std::int32_t> Int32Field(const Fields& fields, unsigned char tag)
{
    const auto found = fields.find(tag);
    if (found == fields.end() || found->second.size() != 4)
    {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(ReadLE32(found->second.data()));
}

std::optional<std::span<const unsigned char>> PayloadOfFrame(std::span<const unsigned char> frame,
                                                             std::size_t maxPayload)
{
    if (frame.size() < kFrameLengthBytes)
    {
        return std::nullopt;
    }
    const std::uint32_t length = ReadLE32(frame.data());
    if (length > maxPayload || length != frame.size() - kFrameLengthBytes)
    {
        return std::nullopt;
    }
    return frame.subspan(kFrameLengthBytes);
}

} // namespace

std::optional<std::vector<unsigned char>> EncodeRequestFrame(const HelperRequest& request)
{
    FrameWriter writer;
    writer.Text(kTagCommand, request.command);
    if (request.path)
    {
        writer.Text(kTagPath, *request.path);
    }
    if (request.authorization)
    {
        writer.Field(kTagAuthorization, request.authorization->data(), request.authorization->size());
    }
    return writer.Finish(kMaxRequestPayload);
}

std::optional<std::vector<unsigned char>> EncodeReplyFrame(const HelperReply& reply)
{
    FrameWriter writer;
    if (reply.error)
    {
        writer.Text(kTagErrorDomain, reply.error->domain);
        writer.Int32(kTagErrorCode, reply.error->code);
    }
    else
    {
        if (reply.output)
        {
            writer.Text(kTagOutput, *reply.output);
        }
        writer.Int32(kTagStatus, reply.status);
        const unsigned char end = static_cast<unsigned char>(reply.end);
        writer.Field(kTagEnd, &end, 1);
    }
    return writer.Finish(kMaxReplyPayload);
}

std::optional<HelperRequest> DecodeRequestPayload(std::span<const unsigned char> payload)
{
    if (payload.size() > kMaxRequestPayload)
    {
        return std::nullopt;
    }
    const auto fields = SplitFields(payload, {kTagCommand, kTagPath, kTagAuthorization});
    if (!fields)
    {
        return std::nullopt;
    }
    HelperRequest request;
    const auto command = TextField(*fields, kTagCommand);
    if (!command)
    {
        return std::nullopt;
    }
    request.command = *command;
    if (fields->contains(kTagPath))
    {
        request.path = TextField(*fields, kTagPath);
        if (!request.path)
        {
            return std::nullopt;
        }
    }
    if (const auto found = fields->find(kTagAuthorization); found != fields->end())
    {
        request.authorization.emplace(found->second.begin(), found->second.end());
    }
    return request;
}

std::optional<HelperReply> DecodeReplyPayload(std::span<const unsigned char> payload)
{
    if (payload.size() > kMaxReplyPayload)
    {
        return std::nullopt;
    }
    const auto fields =
        SplitFields(payload, {kTagErrorDomain, kTagErrorCode, kTagOutput, kTagStatus, kTagEnd});
    if (!fields)
    {
        return std::nullopt;
    }
    HelperReply reply;
    if (fields->contains(kTagErrorDomain) || fields->contains(kTagErrorCode))
    {
        const auto domain = TextField(*fields, kTagErrorDomain);
        const auto code = Int32Field(*fields, kTagErrorCode);
        if (!domain || !code || fields->size() != 2)
        {
            return std::nullopt;
        }
        reply.error = HelperError{*domain, *code};
        return reply;
    }
    const auto status = Int32Field(*fields, kTagStatus);
    const auto end = fields->find(kTagEnd);
    if (!status || end == fields->end() || end->second.size() != 1 || end->second[0] > 1)
    {
        return std::nullopt;
    }
    reply.status = *status;
    reply.end = static_cast<ScriptEnd>(end->second[0]);
    if (fields->contains(kTagOutput))
    {
        reply.output = TextField(*fields, kTagOutput, true);
    }
    return reply;
}

std::optional<HelperRequest> DecodeRequestFrame(std::span<const unsigned char> frame)
{
    const auto payload = PayloadOfFrame(frame, kMaxRequestPayload);
    return payload ? DecodeRequestPayload(*payload) : std::nullopt;
}

std::optional<HelperReply> DecodeReplyFrame(std::span<const unsigned char> frame)
{
    const auto payload = PayloadOfFrame(frame, kMaxReplyPayload);
    return payload ? DecodeReplyPayload(*payload) : std::nullopt;
}

int ReceiveFramePayload(int socket, std::size_t maxPayload, Platform::Deadline deadline, int cancel,
                        std::vector<unsigned char>& payload)
{
    payload.clear();
    unsigned char header[kFrameLengthBytes];
    if (const int error = Platform::ReceiveExactly(socket, header, sizeof header, deadline, cancel);
        error != 0)
    {
        return error;
    }
    const std::uint32_t length = ReadLE32(header);
    if (length > maxPayload)
    {
        return EMSGSIZE;
    }
    payload.resize(length);
    return Platform::ReceiveExactly(socket, payload.data(), payload.size(), deadline, cancel);
}

} // namespace Uninstaller
