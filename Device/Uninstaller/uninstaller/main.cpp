// The uninstaller application: shows the read-me, and on the user's word
// installs the privileged helper beside this executable, has it run the
// uninstall script and offers to restart the computer.

#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/Restart/LogindRestartRequester.h"
#include "Uninstaller/SharedUninstaller/Application/UninstallerController.h"
#include "Uninstaller/SharedUninstaller/HelperInstaller.h"
#include "Uninstaller/SharedUninstaller/HelperToolProtocol.h"

#include <QtCore/QLocale>
#include <QtWidgets/QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    using namespace Uninstaller;

    Platform::AuthorizationRef authorization;
    if (Platform::AuthorizationCreate(authorization) != Platform::errAuthorizationSuccess)
    {
        std::fprintf(stderr, "uninstaller: cannot make the authorization for the helper\n");
        return 1;
    }

    UninstallerSeams seams;
    seams.installer = std::make_shared<HelperInstaller>();
    seams.helperPath = (QCoreApplication::applicationDirPath() + "/" + kHelperLabel).toStdString();
    seams.root = "/";
    seams.connect = [] { return HelperSocketConnection::Create("/"); };
    seams.restartRequester = std::make_shared<Platform::LogindRestartRequester>();
    seams.resourceFolder = UNINSTALLER_RESOURCE_FOLDER;
    for (const QString& language : QLocale::system().uiLanguages())
    {
        seams.languages.push_back(language.toStdString());
    }
    seams.quit = [] { QCoreApplication::quit(); };
    seams.authorization = std::move(authorization);

    UninstallerController controller(std::move(seams));
    controller.Start();
    return application.exec();
}
