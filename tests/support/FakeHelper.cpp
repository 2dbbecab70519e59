#include "support/FakeHelper.h"

#include <plist/plist.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "Platform/DistributedNotificationCenter.h"
#include "Platform/PropertyList.h"

namespace HelperTesting
{

namespace
{

void PutLE32(Bytes& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

void PutLE64(Bytes& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
    {
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

std::uint32_t GetLE32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

Bytes MakeRecord(std::uint32_t kind, const Bytes& payload)
{
    Bytes out;
    PutLE32(out, static_cast<std::uint32_t>(12 + payload.size()));
    PutLE32(out, 1);
    PutLE32(out, kind);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

constexpr std::uint32_t kKindArray = 16;
constexpr std::uint32_t kKindInt32 = 6;

std::string CodeText(std::int32_t messageId)
{
    const auto code = static_cast<std::uint32_t>(messageId);
    return std::string{static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                       static_cast<char>(code >> 8), static_cast<char>(code)};
}

std::string Hex(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes)
    {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

// The XML form of a tree built with the plist library's own calls; frees it.
Bytes ToXml(plist_t root)
{
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    Bytes out(reinterpret_cast<unsigned char*>(xml), reinterpret_cast<unsigned char*>(xml) + length);
    plist_to_xml_free(xml);
    plist_free(root);
    return out;
}

// Reads "DeviceIDKey", "ClientIDKey" and "ParameterDataKey" of a request
// dictionary.
void ReadDictionary(const Bytes& data, LoggedRequest& logged, Bytes& message)
{
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(data.data()), static_cast<std::uint32_t>(data.size()),
                      &root);
    if (root == nullptr)
    {
        return;
    }
    if (plist_get_node_type(root) == PLIST_DICT)
    {
        plist_t id = plist_dict_get_item(root, "DeviceIDKey");
        if (id != nullptr && plist_get_node_type(id) == PLIST_STRING)
        {
            char* text = nullptr;
            plist_get_string_val(id, &text);
            logged.DeviceId = text != nullptr ? text : "";
            std::free(text);
        }
        plist_t client = plist_dict_get_item(root, "ClientIDKey");
        if (client != nullptr && plist_get_node_type(client) == PLIST_UINT)
        {
            std::uint64_t value = 0;
            plist_get_uint_val(client, &value);
            logged.ClientId = static_cast<std::int64_t>(value);
        }
        plist_t parameters = plist_dict_get_item(root, "ParameterDataKey");
        if (parameters != nullptr && plist_get_node_type(parameters) == PLIST_DATA)
        {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(parameters, &bytes, &length);
            message.assign(reinterpret_cast<unsigned char*>(bytes),
                           reinterpret_cast<unsigned char*>(bytes) + length);
            std::free(bytes);
        }
    }
    plist_free(root);
}

} // namespace

namespace Records
{

Bytes Empty()
{
    return MakeRecord(0, {});
}

Bytes Bool(bool value)
{
    return MakeRecord(1, {static_cast<unsigned char>(value ? 1 : 0)});
}

Bytes Int32(std::int32_t value)
{
    Bytes payload;
    PutLE32(payload, static_cast<std::uint32_t>(value));
    return MakeRecord(kKindInt32, payload);
}

Bytes Int64(std::int64_t value)
{
    Bytes payload;
    PutLE64(payload, static_cast<std::uint64_t>(value));
    return MakeRecord(10, payload);
}

Bytes String(const std::string& text)
{
    Bytes payload(text.begin(), text.end());
    payload.push_back(0);
    return MakeRecord(15, payload);
}

Bytes Buffer(const Bytes& bytes)
{
    return MakeRecord(14, bytes);
}

Bytes Array(const std::vector<Bytes>& elements)
{
    Bytes payload;
    for (const Bytes& element : elements)
    {
        payload.insert(payload.end(), element.begin(), element.end());
    }
    return MakeRecord(kKindArray, payload);
}

Bytes DeviceID(const std::vector<std::int32_t>& words)
{
    std::vector<Bytes> elements;
    for (std::int32_t word : words)
    {
        elements.push_back(Int32(word));
    }
    return Array(elements);
}

Bytes ParamValues(const std::vector<std::pair<std::int32_t, Bytes>>& entries)
{
    std::vector<Bytes> list;
    for (const auto& [id, value] : entries)
    {
        list.push_back(Array({value, Int32(id), Empty()}));
    }
    return Array(list);
}

Bytes DeviceMessage(std::uint32_t kind, std::int32_t messageId, const Bytes& record)
{
    Bytes out;
    PutLE32(out, static_cast<std::uint32_t>(12 + record.size()));
    PutLE32(out, kind);
    PutLE32(out, static_cast<std::uint32_t>(messageId));
    out.insert(out.end(), record.begin(), record.end());
    return out;
}

std::optional<std::vector<Bytes>> ReadArray(const Bytes& record)
{
    if (record.size() < 12 || GetLE32(record.data()) != record.size() ||
        GetLE32(record.data() + 8) != kKindArray)
    {
        return std::nullopt;
    }
    std::vector<Bytes> elements;
    std::size_t at = 12;
    while (at < record.size())
    {
        if (record.size() - at < 12)
        {
            return std::nullopt;
        }
        const std::uint32_t length = GetLE32(record.data() + at);
        if (length < 12 || length > record.size() - at)
        {
            return std::nullopt;
        }
        elements.emplace_back(record.begin() + static_cast<std::ptrdiff_t>(at),
                              record.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return elements;
}

} // namespace Records

FakeHelper::FakeHelper(std::vector<FakeDevice> devices) : mDevices(std::move(devices)) {}

FakeHelper::~FakeHelper()
{
    Stop();
    if (mDeathThread.joinable())
    {
        mDeathThread.join();
    }
}

bool FakeHelper::Start()
{
    std::thread death;
    {
        std::lock_guard<std::mutex> guard(mLock);
        death = std::move(mDeathThread);
    }
    if (death.joinable())
    {
        death.join(); // the server it stopped is gone already
    }
    std::lock_guard<std::mutex> guard(mServerLock);
    if (mServer)
    {
        return true;
    }
    mServer = KT::Platform::MessagePortServer::Create(
        kPortName, [this](std::int32_t id, const std::optional<Bytes>& request, std::optional<Bytes>* reply)
        { Handle(id, request, reply); });
    mStopFd.store(mServer ? mServer->GetStopFd() : -1);
    return mServer != nullptr;
}

void FakeHelper::Stop()
{
    // Held until the server is gone, so that a Stop that returns means no port.
    std::lock_guard<std::mutex> guard(mServerLock);
    mServer.reset();
}

bool FakeHelper::Restart()
{
    Stop();
    return Start();
}

bool FakeHelper::IsServing()
{
    std::lock_guard<std::mutex> guard(mServerLock);
    return mServer != nullptr;
}

void FakeHelper::SetFault(Fault fault, std::uint32_t slowMs)
{
    std::lock_guard<std::mutex> guard(mLock);
    mFault = fault;
    mSlowMs = slowMs;
}

void FakeHelper::SetAcceptAfterHandshake(bool accept)
{
    std::lock_guard<std::mutex> guard(mLock);
    mAcceptAfterHandshake = accept;
}

void FakeHelper::SetDevices(std::vector<FakeDevice> devices)
{
    std::lock_guard<std::mutex> guard(mLock);
    mDevices = std::move(devices);
}

std::vector<FakeDevice> FakeHelper::Devices()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mDevices;
}

std::vector<LoggedRequest> FakeHelper::Requests()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mRequests;
}

bool FakeHelper::WaitForRequests(std::size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(mLock);
    return mChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return mRequests.size() >= count; });
}

void FakeHelper::ClearRequests()
{
    std::lock_guard<std::mutex> guard(mLock);
    mRequests.clear();
}

std::int64_t FakeHelper::LastClientId()
{
    std::lock_guard<std::mutex> guard(mLock);
    return mLastClientId;
}

void FakeHelper::SetLogFile(const std::string& path)
{
    std::lock_guard<std::mutex> guard(mLock);
    mLogFile = path;
}

std::string FakeHelper::Describe(const LoggedRequest& request)
{
    std::string line = request.Code;
    if (request.Code == "GtDI")
    {
        line += " " + Hex(request.Data.value_or(Bytes()));
    }
    else if (request.Code == "Cnct" || request.Code == "DCnt" || request.Code == "SPrM")
    {
        line += " " + request.DeviceId + " " + (request.ClientId ? std::to_string(*request.ClientId) : "-");
    }
    if (request.Code == "SPrM")
    {
        line += " " + std::to_string(request.Kind) + " " + std::to_string(request.MessageId) + " " +
                Hex(request.Payload);
    }
    return line;
}

std::optional<std::size_t> FakeHelper::FindByHelperId(const std::string& id)
{
    for (std::size_t i = 0; i < mDevices.size(); ++i)
    {
        if (mDevices[i].HelperId == id)
        {
            return i;
        }
    }
    return std::nullopt;
}

void FakeHelper::Handle(std::int32_t messageId, const std::optional<Bytes>& request,
                        std::optional<Bytes>* reply)
{
    LoggedRequest logged;
    logged.Code = CodeText(messageId);
    logged.Data = request;
    logged.ReplyWanted = reply != nullptr;
    bool postAcceptance = false;
    std::size_t acceptDevice = 0;
    Fault fault;
    std::uint32_t slowMs;
    std::optional<Bytes> answer;
    std::optional<std::pair<std::size_t, Bytes>> requested; // an asynchronous request's answer
    {
        std::lock_guard<std::mutex> guard(mLock);
        fault = mFault;
        slowMs = mSlowMs;
        answer = Answer(logged, request, postAcceptance, acceptDevice);
        if (logged.Code == "SPrM" && logged.Kind == 1)
        {
            if (const auto device = FindByHelperId(logged.DeviceId))
            {
                std::vector<std::pair<std::int32_t, Bytes>> all(mDevices[*device].Values.begin(),
                                                                mDevices[*device].Values.end());
                requested.emplace(*device, Records::ParamValues(all));
            }
        }
        mRequests.push_back(logged);
        if (!mLogFile.empty())
        {
            std::ofstream(mLogFile, std::ios::app) << Describe(logged) << "\n";
        }
    }
    mChanged.notify_all();

    const int stopFd = mStopFd.load();
    if (fault == Fault::DieMidRequest)
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mFault = Fault::None;
            if (!mDeathThread.joinable())
            {
                mDeathThread = std::thread([this] { Stop(); });
            }
        }
        pollfd fd{stopFd, POLLIN, 0};
        ::poll(&fd, 1, 10000);
        return;
    }
    if (fault == Fault::SlowReply)
    {
        pollfd fd{stopFd, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(slowMs));
    }
    if (reply != nullptr)
    {
        *reply = answer;
    }
    if (requested)
    {
        (void)PostMessage(requested->first, 0, -6, requested->second);
    }
    if (postAcceptance)
    {
        std::int64_t token;
        {
            std::lock_guard<std::mutex> guard(mLock);
            token = mDevices[acceptDevice].Token;
        }
        (void)PostAcceptance(acceptDevice, token, true, AcceptanceForm::Array);
    }
}

std::optional<Bytes> FakeHelper::Answer(LoggedRequest& logged, const std::optional<Bytes>& request,
                                        bool& postAcceptance, std::size_t& acceptDevice)
{
    const bool lookUp = logged.Code == "GtDL" || logged.Code == "GtDI" || logged.Code == "GtCI";
    if (lookUp && mFault == Fault::NullReply)
    {
        return std::nullopt;
    }
    if (lookUp && mFault == Fault::EmptyReply)
    {
        return Bytes();
    }
    const Bytes malformed{'<', 'p', 'l', 'i', 's', 't', '>', '<', 'a', 'r', 'r', 'a', 'y', '>'};
    if (logged.Code == "GtDL")
    {
        if (mFault == Fault::MalformedPlist)
        {
            return malformed;
        }
        if (mFault == Fault::WrongRootType)
        {
            return ToXml(plist_new_dict());
        }
        plist_t list = plist_new_array();
        for (const FakeDevice& device : mDevices)
        {
            const Bytes record =
                Records::Array({Records::DeviceID(device.IdWords), Records::String(device.Name)});
            plist_array_append_item(
                list, plist_new_data(reinterpret_cast<const char*>(record.data()), record.size()));
        }
        return ToXml(list);
    }
    if (logged.Code == "GtDI")
    {
        if (mFault == Fault::MalformedPlist)
        {
            return malformed;
        }
        if (mFault == Fault::WrongRootType)
        {
            return ToXml(plist_new_uint(5));
        }
        for (const FakeDevice& device : mDevices)
        {
            if (request && *request == Records::DeviceID(device.IdWords))
            {
                return ToXml(plist_new_string(device.HelperId.c_str()));
            }
        }
        return std::nullopt;
    }
    if (logged.Code == "GtCI")
    {
        Bytes id;
        if (mFault == Fault::ClientId4Bytes)
        {
            PutLE32(id, 0xFFFFFFFFu);
            mLastClientId = -1;
            return id;
        }
        if (mFault == Fault::ClientId6Bytes)
        {
            return Bytes(6, 0x01);
        }
        mLastClientId = mNextClientId++;
        PutLE64(id, static_cast<std::uint64_t>(mLastClientId));
        return id;
    }
    if (!request || (logged.Code != "Cnct" && logged.Code != "DCnt" && logged.Code != "SPrM"))
    {
        return std::nullopt;
    }
    Bytes message;
    ReadDictionary(*request, logged, message);
    if (logged.Code != "SPrM" || message.size() < 12 || GetLE32(message.data()) != message.size())
    {
        return std::nullopt;
    }
    logged.Kind = GetLE32(message.data() + 4);
    logged.MessageId = static_cast<std::int32_t>(GetLE32(message.data() + 8));
    logged.Payload.assign(message.begin() + 12, message.end());
    const auto found = FindByHelperId(logged.DeviceId);
    if (!found)
    {
        return std::nullopt;
    }
    FakeDevice& device = mDevices[*found];
    if (logged.Kind == 0)
    {
        // A set: keep each entry's value under its parameter ID.
        for (const Bytes& entry : Records::ReadArray(logged.Payload).value_or(std::vector<Bytes>()))
        {
            const auto parts = Records::ReadArray(entry);
            if (parts && parts->size() == 3 && (*parts)[1].size() == 16 &&
                GetLE32((*parts)[1].data() + 8) == kKindInt32)
            {
                device.Values[static_cast<std::int32_t>(GetLE32((*parts)[1].data() + 12))] = (*parts)[0];
            }
        }
        return std::nullopt;
    }
    if (logged.Kind != 2)
    {
        return std::nullopt;
    }
    if (mFault == Fault::NullReply)
    {
        return std::nullopt;
    }
    if (mFault == Fault::EmptyReply)
    {
        return Bytes();
    }
    if (mFault == Fault::GarbageReply)
    {
        return Bytes{'n', 'o', ' ', 'd', 'e', 'v', 'i', 'c',  'e', ' ',
                     'm', 'e', 's', 's', 'a', 'g', 'e', 0xFF, 0xFE};
    }
    std::vector<std::pair<std::int32_t, Bytes>> entries;
    switch (logged.MessageId)
    {
    case -3:
        entries.emplace_back(-3, Records::Int64(device.Token));
        break;
    case -4:
        entries.emplace_back(-4, Records::Bool(device.AcceptAtOnce));
        postAcceptance = !device.AcceptAtOnce && mAcceptAfterHandshake;
        acceptDevice = *found;
        break;
    case -5:
    case -7:
        entries.assign(device.Values.begin(), device.Values.end());
        break;
    default:
        if (const auto value = device.Values.find(logged.MessageId); value != device.Values.end())
        {
            entries.emplace_back(value->first, value->second);
        }
        break;
    }
    Bytes reply = Records::DeviceMessage(0, logged.MessageId, Records::ParamValues(entries));
    if (mFault == Fault::TruncatedReply)
    {
        reply.resize(8);
    }
    return reply;
}

bool FakeHelper::PostMessage(std::size_t device, std::uint32_t kind, std::int32_t messageId,
                             const Bytes& record)
{
    std::string name;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (device >= mDevices.size())
        {
            return false;
        }
        name = mDevices[device].HelperId;
    }
    const Bytes message = Records::DeviceMessage(kind, messageId, record);
    KT::Platform::Plist info = KT::Platform::Plist::NewDictionary();
    return info.SetItem("ParameterDataKey", KT::Platform::Plist::NewData(message.data(), message.size())) &&
           KT::Platform::DistributedNotificationCenter::Post(name, &info);
}

bool FakeHelper::PostValues(std::size_t device, const std::vector<std::pair<std::int32_t, Bytes>>& entries)
{
    return PostMessage(device, 0, -6, Records::ParamValues(entries));
}

bool FakeHelper::PostAcceptance(std::size_t device, std::int64_t token, bool state, AcceptanceForm form)
{
    Bytes value;
    if (form == AcceptanceForm::Array)
    {
        value = Records::Array({Records::Int64(token), Records::Bool(state)});
    }
    else
    {
        Bytes raw;
        PutLE64(raw, static_cast<std::uint64_t>(token));
        PutLE32(raw, state ? 1u : 0u);
        value = Records::Buffer(raw);
    }
    return PostValues(device, {{-4, value}});
}

} // namespace HelperTesting
