// The window driven through its real buttons against the real helper: the
// helper is installed below a temporary root and started on its socket as the
// service manager would start it when the installation activates it.
#include "Uninstaller/SharedUninstaller/Application/ControllerFixture.h"

#include <QtCore/QTimer>
#include <QtWidgets/QDialog>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>

using namespace Uninstaller;
using namespace UninstallerTest;

namespace
{

// Installs for real below the root, then starts the installed helper on its
// socket. Runs on the attempt's worker thread.
class ActivatingInstaller final : public IHelperInstaller
{
public:
    int Install(const std::string& root, const std::string& helperPath) override
    {
        HelperInstaller installer([](const std::vector<std::string>&) { return 0; }, "/nonexistent");
        const int result = installer.Install(root, helperPath);
        if (result != kInstallSucceeded)
        {
            return result;
        }
        std::filesystem::create_directories(root + "/run");
        auto helper = std::make_unique<ActivatedHelper>(
            root + kHelperInstallPath, HelperToolClient::SocketPathForRoot(root),
            std::vector<std::string>{"--root", root, "--request-timeout-ms", "5000", "--drain-timeout-ms",
                                     "200"});
        std::lock_guard<std::mutex> lock(mMutex);
        mHelpers.push_back(std::move(helper));
        return kInstallSucceeded;
    }

    // The exit status of the helper started last, once it has ended.
    std::optional<int> WaitForLastHelper(std::chrono::milliseconds timeout)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mHelpers.empty() ? std::nullopt : mHelpers.back()->WaitForExit(timeout);
    }

private:
    std::mutex mMutex;
    std::vector<std::unique_ptr<ActivatedHelper>> mHelpers; // killed by process ID when this goes
};

class EndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        UNINSTALLER_REQUIRE_ROOT();
        WriteTestTexts(mRoot / "share/uninstaller");
        Platform::AuthorizationRef authorization;
        ASSERT_EQ(Platform::AuthorizationCreate(authorization), Platform::errAuthorizationSuccess);
        mSeams.authorization = std::move(authorization);
        mSeams.installer = mInstaller;
        mSeams.helperPath = UNINSTALLHELPER_PATH;
        mSeams.root = mRoot.Path();
        const std::string root = mRoot.Path();
        mSeams.connect = [root] { return HelperSocketConnection::Create(root); };
        mSeams.restartRequester = std::make_shared<FakeRestartRequester>();
        mSeams.resourceFolder = mRoot / "share/uninstaller";
        mSeams.languages = {"en"};
        mSeams.wait = 10s;
        mSeams.quit = [this] { ++mQuits; };
    }

    void TearDown() override
    {
        if (mController)
        {
            EXPECT_TRUE(mController->WaitForWorkers(5s));
        }
    }

    void SetScript(const std::string& text, mode_t mode = 0755)
    {
        WriteFile(mRoot / "share/uninstaller/uninstall.ss", text, mode);
    }

    UninstallerController& Started()
    {
        mController = std::make_unique<UninstallerController>(mSeams);
        mController->Start();
        return *mController;
    }

    TempRoot mRoot;
    std::shared_ptr<ActivatingInstaller> mInstaller = std::make_shared<ActivatingInstaller>();
    int mQuits = 0;
    UninstallerSeams mSeams;
    std::unique_ptr<UninstallerController> mController;
};

} // namespace

TEST_F(EndToEnd, LogsTheScriptsOutputAndShowsTheCompletionSheet)
{
    SetScript("#!/bin/sh\necho removing files\necho warning >&2\nprintf 'bad \\377 byte\\n'\n");
    UninstallerController& controller = Started();
    ASSERT_TRUE(ConfirmUninstall(controller));
    ASSERT_TRUE(WaitForAttemptEnd(controller));
    EXPECT_EQ(controller.UninstallError(), kUninstallSucceeded);
    EXPECT_EQ(controller.CompleteUninstallLog()->toPlainText(),
              QString::fromUtf8("removing files\nwarning\nbad \uFFFD byte\n"));
    EXPECT_TRUE(controller.CompleteWindow()->isVisible());
    EXPECT_EQ(mInstaller->WaitForLastHelper(10s), 1);
}

TEST_F(EndToEnd, AFailingOrUnsafeScriptShowsTheErrorSheet)
{
    const struct
    {
        const char* name;
        const char* script;
        mode_t mode;
        int result;
        const char* log;
    } rows[] = {
        {"exit 3", "#!/bin/sh\necho partly\nexit 3\n", 0755, kUninstallScriptFailed,
         "partly\nuninstall script exited with status 3\n"},
        {"group-writable", "#!/bin/sh\necho never\n", 0775, 1, "error NSPOSIXErrorDomain / 1\n"},
    };
    UninstallerController& controller = Started();
    for (const auto& row : rows)
    {
        SetScript(row.script, row.mode);
        controller.CompleteUninstallLog()->clear();
        ASSERT_TRUE(ConfirmUninstall(controller)) << row.name;
        ASSERT_TRUE(WaitForAttemptEnd(controller)) << row.name;
        EXPECT_EQ(controller.UninstallError(), row.result) << row.name;
        EXPECT_EQ(controller.CompleteUninstallLog()->toPlainText(), QString(row.log)) << row.name;
        QMessageBox* error = OpenSheet(controller);
        ASSERT_NE(error, nullptr) << row.name;
        EXPECT_EQ(error->text(), QString("Failed with %1 (100%) %s").arg(row.result)) << row.name;
        EXPECT_FALSE(controller.CompleteWindow()->isVisible()) << row.name;
        ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));
        EXPECT_EQ(mInstaller->WaitForLastHelper(10s), 1) << row.name;
    }
}

TEST_F(EndToEnd, AScriptOutlastingTheWaitGivesNoAnswerWhileTheWindowStaysLive)
{
    mSeams.wait = 300ms;
    SetScript("#!/bin/sh\nexec sleep 2\n");
    UninstallerController& controller = Started();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(20);
    ASSERT_TRUE(ConfirmUninstall(controller));
    ASSERT_TRUE(WaitForAttemptEnd(controller));
    EXPECT_EQ(controller.UninstallError(), kUninstallNoAnswer);
    EXPECT_GE(ticks, 5) << "the GUI thread was blocked";
    QMessageBox* error = OpenSheet(controller);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text(), "Failed with 9002 (100%) %s");
    ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));

    // The next attempt starts from 0, not from the code the last one left.
    SetScript("#!/bin/sh\necho again\n");
    ASSERT_TRUE(ConfirmUninstall(controller));
    EXPECT_EQ(controller.UninstallError(), 0);
    EXPECT_TRUE(controller.AttemptRunning());
    ASSERT_TRUE(WaitForAttemptEnd(controller));
}

TEST_F(EndToEnd, QuittingMidAttemptReturnsPromptly)
{
    SetScript("#!/bin/sh\necho started > " + (mRoot / "started") + "\nexec sleep 3\n");
    UninstallerController& controller = Started();
    ASSERT_TRUE(ConfirmUninstall(controller));
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(mRoot / "started"); }, 10000));
    const auto before = std::chrono::steady_clock::now();
    QTest::mouseClick(controller.QuitButton(), Qt::LeftButton);
    EXPECT_EQ(mQuits, 1);
    EXPECT_TRUE(controller.WaitForWorkers(1500ms)) << "the attempt did not end when quitting";
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
    QTest::qWait(50);
    EXPECT_EQ(controller.CurrentSheet(), nullptr);
    EXPECT_FALSE(controller.CompleteWindow()->isVisible());
}
