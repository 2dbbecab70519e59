#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

#include <sys/socket.h>
#include <unistd.h>

using namespace Uninstaller;

namespace
{

using Bytes = std::vector<unsigned char>;

Bytes Of(std::initializer_list<int> values)
{
    Bytes bytes;
    for (const int value : values)
    {
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return bytes;
}

Bytes Of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes joined;
    for (const Bytes& part : parts)
    {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// Golden frames, written out by hand.
const Bytes kRequestFrame = Join({Of({0x16, 0, 0, 0}), Of({0x01, 3, 0, 0, 0}), Of("cmd"),
                                  Of({0x02, 2, 0, 0, 0}), Of("/p"), Of({0x03, 2, 0, 0, 0, 0xAA, 0xBB})});
const Bytes kErrorReplyFrame =
    Join({Of({0x23, 0, 0, 0}), Of({0x10, 0x15, 0, 0, 0}), Of("NSOSStatusErrorDomain"),
          Of({0x11, 4, 0, 0, 0, 0x9B, 0x15, 0xFF, 0xFF})});
const Bytes kOutputReplyFrame = Join({Of({0x17, 0, 0, 0}), Of({0x12, 3, 0, 0, 0}), Of("hi\n"),
                                      Of({0x13, 4, 0, 0, 0, 3, 0, 0, 0}), Of({0x14, 1, 0, 0, 0, 0})});
const Bytes kSignalReplyFrame =
    Join({Of({0x0F, 0, 0, 0}), Of({0x13, 4, 0, 0, 0, 9, 0, 0, 0}), Of({0x14, 1, 0, 0, 0, 1})});

const HelperRequest kRequest{"cmd", "/p", Bytes{0xAA, 0xBB}};
const HelperReply kErrorReply{HelperError{"NSOSStatusErrorDomain", -60005}, std::nullopt, 0,
                              ScriptEnd::Exited};

} // namespace

TEST(HelperToolProtocol, FramesMatchTheirGoldenBytes)
{
    EXPECT_EQ(EncodeRequestFrame(kRequest), kRequestFrame);
    EXPECT_EQ(DecodeRequestFrame(kRequestFrame), kRequest);

    EXPECT_EQ(EncodeReplyFrame(kErrorReply), kErrorReplyFrame);
    EXPECT_EQ(DecodeReplyFrame(kErrorReplyFrame), kErrorReply);

    const HelperReply output{std::nullopt, "hi\n", 3, ScriptEnd::Exited};
    EXPECT_EQ(EncodeReplyFrame(output), kOutputReplyFrame);
    EXPECT_EQ(DecodeReplyFrame(kOutputReplyFrame), output);

    const HelperReply signalled{std::nullopt, std::nullopt, 9, ScriptEnd::Signalled};
    EXPECT_EQ(EncodeReplyFrame(signalled), kSignalReplyFrame);
    EXPECT_EQ(DecodeReplyFrame(kSignalReplyFrame), signalled);

    const HelperRequest bare{"cmd", std::nullopt, std::nullopt};
    EXPECT_EQ(EncodeRequestFrame(bare), Join({Of({8, 0, 0, 0, 0x01, 3, 0, 0, 0}), Of("cmd")}));
    EXPECT_EQ(DecodeRequestFrame(*EncodeRequestFrame(bare)), bare);
}

TEST(HelperToolProtocol, EveryCutPrefixIsRefused)
{
    for (const Bytes* frame : {&kRequestFrame, &kErrorReplyFrame, &kOutputReplyFrame, &kSignalReplyFrame})
    {
        for (std::size_t cut = 0; cut < frame->size(); ++cut)
        {
            const std::span<const unsigned char> prefix(frame->data(), cut);
            EXPECT_FALSE(DecodeRequestFrame(prefix)) << "cut at " << cut;
            EXPECT_FALSE(DecodeReplyFrame(prefix)) << "cut at " << cut;
        }
        Bytes longer = *frame;
        longer.push_back(0);
        EXPECT_FALSE(DecodeRequestFrame(longer));
        EXPECT_FALSE(DecodeReplyFrame(longer));
    }
}

TEST(HelperToolProtocol, MalformedPayloadsAreRefused)
{
    struct Row
    {
        const char* name;
        Bytes payload;
    };
    const Row requests[] = {
        {"no command", Join({Of({0x02, 2, 0, 0, 0}), Of("/p")})},
        {"command twice", Join({Of({0x01, 1, 0, 0, 0}), Of("a"), Of({0x01, 1, 0, 0, 0}), Of("b")})},
        {"unknown tag", Join({Of({0x01, 1, 0, 0, 0}), Of("a"), Of({0x07, 0, 0, 0, 0})})},
        {"reply tag in a request",
         Join({Of({0x01, 1, 0, 0, 0}), Of("a"), Of({0x13, 4, 0, 0, 0, 0, 0, 0, 0})})},
        {"field past the end", Join({Of({0x01, 9, 0, 0, 0}), Of("a")})},
        {"huge field length", Join({Of({0x01, 0xFF, 0xFF, 0xFF, 0xFF}), Of("a")})},
        {"NUL in the path", Join({Of({0x01, 1, 0, 0, 0}), Of("a"), Of({0x02, 3, 0, 0, 0, '/', 0, 'x'})})},
        {"NUL in the command", Join({Of({0x01, 2, 0, 0, 0}), Of({'a', 0})})},
        {"half a field header", Join({Of({0x01, 1, 0, 0, 0}), Of("a"), Of({0x02, 0})})},
    };
    for (const Row& row : requests)
    {
        EXPECT_FALSE(DecodeRequestPayload(row.payload)) << row.name;
    }
    const Row replies[] = {
        {"empty", {}},
        {"domain without code", Join({Of({0x10, 1, 0, 0, 0}), Of("D")})},
        {"error and status", Join({Of({0x10, 1, 0, 0, 0}), Of("D"), Of({0x11, 4, 0, 0, 0, 1, 0, 0, 0}),
                                   Of({0x13, 4, 0, 0, 0, 0, 0, 0, 0})})},
        {"three-byte code", Join({Of({0x10, 1, 0, 0, 0}), Of("D"), Of({0x11, 3, 0, 0, 0, 1, 0, 0})})},
        {"status without end", Of({0x13, 4, 0, 0, 0, 0, 0, 0, 0})},
        {"end byte 2", Join({Of({0x13, 4, 0, 0, 0, 0, 0, 0, 0}), Of({0x14, 1, 0, 0, 0, 2})})},
        {"two-byte end", Join({Of({0x13, 4, 0, 0, 0, 0, 0, 0, 0}), Of({0x14, 2, 0, 0, 0, 0, 0})})},
        {"request tag in a reply", Join({Of({0x13, 4, 0, 0, 0, 0, 0, 0, 0}), Of({0x14, 1, 0, 0, 0, 0}),
                                         Of({0x01, 1, 0, 0, 0}), Of("a")})},
    };
    for (const Row& row : replies)
    {
        EXPECT_FALSE(DecodeReplyPayload(row.payload)) << row.name;
    }
    // Output may carry any byte the script printed, NUL included.
    const HelperReply withNul{std::nullopt, std::string("a\0b", 3), 0, ScriptEnd::Exited};
    EXPECT_EQ(DecodeReplyFrame(*EncodeReplyFrame(withNul)), withNul);
}

TEST(HelperToolProtocol, SizeLimitsHoldOnBothSides)
{
    HelperRequest large{"cmd", std::string(kMaxRequestPayload, 'p'), std::nullopt};
    EXPECT_FALSE(EncodeRequestFrame(large)) << "a request beyond 64 KiB is never sent";
    large.path->resize(kMaxRequestPayload - 8 - 5);
    const auto largest = EncodeRequestFrame(large);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->size(), kFrameLengthBytes + kMaxRequestPayload);
    EXPECT_EQ(DecodeRequestFrame(*largest), large);

    const HelperReply huge{std::nullopt, std::string(kMaxReplyPayload, 'o'), 0, ScriptEnd::Exited};
    EXPECT_FALSE(EncodeReplyFrame(huge));

    // Read from a socket: an announced length over the limit is refused before
    // anything more is read, and a cut frame is a closed connection.
    struct Row
    {
        const char* name;
        Bytes sent;
        int expected;
    };
    const Row rows[] = {
        {"over the limit", Of({0x01, 0x00, 0x01, 0x00}), EMSGSIZE},
        {"cut payload", Bytes(kRequestFrame.begin(), kRequestFrame.end() - 1), ECONNRESET},
        {"cut length", Of({0x16, 0}), ECONNRESET},
        {"whole", kRequestFrame, 0},
    };
    for (const Row& row : rows)
    {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        ASSERT_EQ(::write(pair[0], row.sent.data(), row.sent.size()), static_cast<ssize_t>(row.sent.size()));
        ::close(pair[0]);
        Bytes payload;
        EXPECT_EQ(ReceiveFramePayload(pair[1], kMaxRequestPayload, Platform::NoDeadline(), -1, payload),
                  row.expected)
            << row.name;
        ::close(pair[1]);
    }
}
