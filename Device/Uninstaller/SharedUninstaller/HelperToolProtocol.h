// What the uninstaller application and its helper agree on: the helper's
// names, its one command, the errors it replies with, and the frames on the
// local socket between them.
//
// A frame is a u32 little-endian payload length and the payload, a run of
// tagged fields: a tag byte, a u32 little-endian value length and the value.
// Each tag appears at most once; an unknown tag, a repeated one or a field
// that runs past the payload makes the frame malformed.
//   Request (payload at most 64 KiB):
//     0x01 command (text, required)  0x02 script path (text)  0x03 authorization (bytes)
//   Reply (payload at most 2 MiB), either an error:
//     0x10 error domain (text)  0x11 error code (i32)
//   or the script's result:
//     0x12 output (text, may be absent)  0x13 status (i32)  0x14 ended by (u8: 0 exited, 1 signal)
// Texts hold no NUL except the output, which may hold anything the script printed.
#pragma once

#include "Platform/Uninstaller/UnixSocket.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Uninstaller
{

// The helper's label, service name and identifier are this one name.
inline constexpr char kHelperLabel[] = "uninstallhelper";
inline constexpr char kApplicationIdentifier[] = "com.korvanelabs.lumetraworks.wirebridge.uninstaller";
inline constexpr char kRunUninstallScriptCommand[] = "runUninstallScript:authorization:withReply:";
// The helper's socket below the install root.
inline constexpr char kHelperSocketPath[] = "/run/uninstallhelper.sock";
// Where the helper's executable carries its two property lists.
inline constexpr char kInfoPlistSection[] = ".uninstallhelper.info_plist";
inline constexpr char kLaunchdPlistSection[] = ".uninstallhelper.launchd_plist";

inline constexpr char kOSStatusErrorDomain[] = "NSOSStatusErrorDomain";
inline constexpr char kPOSIXErrorDomain[] = "NSPOSIXErrorDomain";

inline constexpr std::size_t kFrameLengthBytes = 4;
inline constexpr std::size_t kMaxRequestPayload = 64 * 1024;
inline constexpr std::size_t kMaxReplyPayload = 2 * 1024 * 1024;

struct HelperRequest
{
    std::string command;
    std::optional<std::string> path;
    std::optional<std::vector<unsigned char>> authorization;

    bool operator==(const HelperRequest&) const = default;
};

struct HelperError
{
    std::string domain;
    std::int32_t code = 0;

    bool operator==(const HelperError&) const = default;
};

enum class ScriptEnd : std::uint8_t
{
    Exited = 0,
    Signalled = 1,
};

// An error, or the script's output with how it ended. A script that failed
// still gives a reply without error: the application judges its status.
struct HelperReply
{
    std::optional<HelperError> error;
    std::optional<std::string> output;
    std::int32_t status = 0; // exit status, or the signal's number
    ScriptEnd end = ScriptEnd::Exited;

    bool operator==(const HelperReply&) const = default;
};

// Whole frames (length included); nothing when the payload would exceed its limit.
std::optional<std::vector<unsigned char>> EncodeRequestFrame(const HelperRequest& request);
std::optional<std::vector<unsigned char>> EncodeReplyFrame(const HelperReply& reply);

// Payloads (after the length); nothing when malformed.
std::optional<HelperRequest> DecodeRequestPayload(std::span<const unsigned char> payload);
std::optional<HelperReply> DecodeReplyPayload(std::span<const unsigned char> payload);

// A whole frame whose length matches its payload exactly; nothing otherwise.
std::optional<HelperRequest> DecodeRequestFrame(std::span<const unsigned char> frame);
std::optional<HelperReply> DecodeReplyFrame(std::span<const unsigned char> frame);

// Reads one frame's payload from socket: EMSGSIZE when the announced length
// exceeds maxPayload (nothing more is read), or the errors of ReceiveExactly.
[[nodiscard]] int ReceiveFramePayload(int socket, std::size_t maxPayload, Platform::Deadline deadline,
                                      int cancel, std::vector<unsigned char>& payload);

} // namespace Uninstaller
