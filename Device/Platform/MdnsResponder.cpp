#include "Platform/MdnsResponder.h"

namespace KT::Platform
{

std::unique_ptr<MdnsResponder> MdnsResponder::Create(unsigned cacheEntries)
{
    std::unique_ptr<MdnsResponder> responder(new MdnsResponder());
    responder->mLoop = MdnsEventLoop::Create();
    if (!responder->mLoop)
    {
        return nullptr;
    }
    MdnsServer::Options options;
    options.publishAddresses = true;
    options.boundedCache = true;
    options.cacheEntries = cacheEntries;
    MdnsEventLoop& loop = *responder->mLoop;
    loop.Lock();
    responder->mServer = MdnsServer::Create(loop, options);
    loop.Unlock();
    if (!responder->mServer)
    {
        return nullptr;
    }
    return responder;
}

MdnsResponder::~MdnsResponder()
{
    mServer.reset();
}

// The responder's lock is its loop's; the analysis knows it by the responder.
void MdnsResponder::Lock() NO_THREAD_SAFETY_ANALYSIS
{
    mLoop->Lock();
}

void MdnsResponder::Unlock() NO_THREAD_SAFETY_ANALYSIS
{
    mLoop->Unlock();
}

void MdnsResponder::RunOnce()
{
    mLoop->AssertHeld();
    mLoop->RunOnce();
}

void MdnsResponder::Wake()
{
    mLoop->Wake();
}

void MdnsResponder::BeginExit()
{
    mServer->BeginExit();
}

bool MdnsResponder::IsRegistering() const
{
    return mServer->IsRegistering();
}

std::string MdnsResponder::GetHostName() const
{
    return mServer->GetHostName();
}

std::vector<std::string> MdnsResponder::GetInterfaces() const
{
    return mServer->GetInterfaces();
}

} // namespace KT::Platform
