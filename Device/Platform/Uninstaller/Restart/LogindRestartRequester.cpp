#include "Platform/Uninstaller/Restart/LogindRestartRequester.h"

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>

#include <cstdio>

namespace Uninstaller::Platform
{

namespace
{

constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
constexpr char kRebootMethod[] = "Reboot";

} // namespace

void LogindRestartRequester::RequestRestart(std::function<void(int status)> done)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, kRebootMethod);
    call << true; // interactive
    const QDBusPendingCall pending = QDBusConnection::systemBus().asyncCall(call);
    auto* watcher = new QDBusPendingCallWatcher(pending);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [done = std::move(done)](QDBusPendingCallWatcher* finished)
                     {
                         finished->deleteLater();
                         if (finished->isError())
                         {
                             std::fprintf(stderr, "restart request failed: %s\n",
                                          finished->error().name().toUtf8().constData());
                             done(kRestartRequestFailed);
                             return;
                         }
                         done(0);
                     });
}

} // namespace Uninstaller::Platform
