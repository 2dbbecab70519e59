// Device messages and variant records as bytes, written by the tests from the
// byte layout alone, independent of the library's codec: a record is its
// total length, version 1 and kind (little-endian 32-bit words) and its
// payload; an Array's payload is its element records; a device message is its
// total length, kind and message ID, then one record.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace DeviceMessageBytes
{

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kEmpty = 0;
constexpr std::uint32_t kBool = 1;
constexpr std::uint32_t kInt32 = 6;
constexpr std::uint32_t kInt64 = 10;
constexpr std::uint32_t kBuffer = 14;
constexpr std::uint32_t kString = 15;
constexpr std::uint32_t kArray = 16;

// Message kinds and the IDs the tests use.
constexpr std::uint32_t kParamValues = 0;
constexpr std::uint32_t kRequest = 1;
constexpr std::uint32_t kGet = 2;
constexpr std::uint32_t kValuesID = 0xFFFFFFFAu; // -6

inline void PutLE(Bytes& out, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
    {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

inline std::uint32_t GetLE32(const Bytes& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
    {
        value = (value << 8) | bytes.at(at + static_cast<std::size_t>(i));
    }
    return value;
}

inline Bytes Record(std::uint32_t kind, const Bytes& payload)
{
    Bytes out;
    PutLE(out, 12 + payload.size(), 4);
    PutLE(out, 1, 4);
    PutLE(out, kind, 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline Bytes Empty()
{
    return Record(kEmpty, {});
}

inline Bytes Int32(std::int32_t value)
{
    Bytes payload;
    PutLE(payload, static_cast<std::uint32_t>(value), 4);
    return Record(kInt32, payload);
}

inline Bytes Int64(std::int64_t value)
{
    Bytes payload;
    PutLE(payload, static_cast<std::uint64_t>(value), 8);
    return Record(kInt64, payload);
}

inline Bytes Bool(bool value)
{
    return Record(kBool, {static_cast<std::uint8_t>(value ? 1 : 0)});
}

// Text with its NUL, as a String record holds it.
inline Bytes String(const std::string& text)
{
    Bytes payload(text.begin(), text.end());
    payload.push_back(0);
    return Record(kString, payload);
}

inline Bytes Buffer(const Bytes& bytes)
{
    return Record(kBuffer, bytes);
}

inline Bytes Array(std::initializer_list<Bytes> elements)
{
    Bytes payload;
    for (const Bytes& element : elements)
    {
        payload.insert(payload.end(), element.begin(), element.end());
    }
    return Record(kArray, payload);
}

inline Bytes Array(const std::vector<Bytes>& elements)
{
    Bytes payload;
    for (const Bytes& element : elements)
    {
        payload.insert(payload.end(), element.begin(), element.end());
    }
    return Record(kArray, payload);
}

// One entry of a parameter list: [value, parameter ID, descriptor].
inline Bytes Entry(const Bytes& value, std::int32_t paramID, const Bytes& descriptor = Empty())
{
    return Array({value, Int32(paramID), descriptor});
}

inline Bytes Message(std::uint32_t kind, std::uint32_t messageID, const Bytes& record)
{
    Bytes out;
    PutLE(out, 12 + record.size(), 4);
    PutLE(out, kind, 4);
    PutLE(out, messageID, 4);
    out.insert(out.end(), record.begin(), record.end());
    return out;
}

// A parameter-values message (a reply or a notification) of the entries.
inline Bytes Values(std::initializer_list<Bytes> entries)
{
    return Message(kParamValues, kValuesID, Array(entries));
}

// The device ID record: 12 Int32.
inline Bytes DeviceIDRecord(const std::vector<std::int32_t>& words)
{
    std::vector<Bytes> elements;
    for (std::int32_t word : words)
    {
        elements.push_back(Int32(word));
    }
    return Array(elements);
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
    {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// What a network device receives on channel 1 when a host connects (gets of
// the access token, -3, and the access state, -4), then gets parameter 7 and
// sets it to the Int32 5: golden bytes, written out by hand.
inline const Bytes kGetAccessToken = {0x18, 0, 0, 0, 2, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF,
                                      0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
inline const Bytes kGetAccessState = {0x18, 0, 0, 0, 2, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF,
                                      0x0C, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0};
inline const Bytes kGetParam7 = {0x18, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0,
                                 0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
inline const Bytes kSetParam7To5 = {0x50, 0, 0, 0, 0,    0, 0, 0, 0xFA, 0xFF, 0xFF, 0xFF, 0x44, 0, 0, 0,
                                    1,    0, 0, 0, 0x10, 0, 0, 0, 0x38, 0,    0,    0,    1,    0, 0, 0,
                                    0x10, 0, 0, 0, 0x10, 0, 0, 0, 1,    0,    0,    0,    6,    0, 0, 0,
                                    5,    0, 0, 0, 0x10, 0, 0, 0, 1,    0,    0,    0,    6,    0, 0, 0,
                                    7,    0, 0, 0, 0x0C, 0, 0, 0, 1,    0,    0,    0,    0,    0, 0, 0};

} // namespace DeviceMessageBytes
