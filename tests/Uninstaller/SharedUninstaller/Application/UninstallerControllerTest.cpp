#include "Uninstaller/SharedUninstaller/Application/ControllerFixture.h"

#include <QtCore/QDir>
#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QScreen>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTextEdit>

#include "Platform/Uninstaller/RightsDatabase.h"

#include <thread>

using namespace Uninstaller;
using namespace UninstallerTest;

namespace
{

class UninstallerControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteTestTexts(mResources.Path());
        mSeams.installer = mInstaller;
        mSeams.helperPath = "/nonexistent/uninstallhelper";
        mSeams.root = mRightsRoot.Path();
        mSeams.connect = [this]() -> std::shared_ptr<IHelperConnection>
        {
            mConnections.push_back(std::make_shared<FakeConnection>(mNextAnswer, mHoldNext));
            return mConnections.back();
        };
        mSeams.restartRequester = mRestart;
        mSeams.resourceFolder = mResources.Path();
        mSeams.languages = {"ja-JP"};
        mSeams.wait = 300ms;
        mSeams.quit = [this] { ++mQuits; };
    }

    UninstallerController& Started()
    {
        mController = std::make_unique<UninstallerController>(mSeams);
        mController->Start();
        return *mController;
    }

    // Confirms the uninstall through the real buttons and waits for the attempt to end.
    void RunAttempt(UninstallerController& controller)
    {
        ASSERT_TRUE(ConfirmUninstall(controller));
        ASSERT_TRUE(WaitForAttemptEnd(controller));
    }

    void TearDown() override
    {
        if (mController)
        {
            EXPECT_TRUE(mController->WaitForWorkers(5s));
        }
    }

    TempRoot mResources;
    TempRoot mRightsRoot;
    std::shared_ptr<FakeInstaller> mInstaller = std::make_shared<FakeInstaller>();
    std::shared_ptr<FakeRestartRequester> mRestart = std::make_shared<FakeRestartRequester>();
    std::vector<std::shared_ptr<FakeConnection>> mConnections;
    HelperCallResult mNextAnswer = ScriptReply("removed files\n", 0);
    bool mHoldNext = false;
    int mQuits = 0;
    UninstallerSeams mSeams;
    std::unique_ptr<UninstallerController> mController;
};

bool HasManyColours(const QImage& image)
{
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y)
    {
        for (int x = 0; x < image.width(); ++x)
        {
            if (image.pixel(x, y) != first)
            {
                return true;
            }
        }
    }
    return false;
}

// Saves a picture of widget beside the build's other artefacts; one that is
// all one colour shows nothing and fails.
void SaveScreenshot(QWidget* widget, const QString& name)
{
    ASSERT_NE(widget, nullptr) << name.toStdString();
    const QImage image = widget->grab().toImage();
    ASSERT_FALSE(image.isNull()) << name.toStdString();
    EXPECT_TRUE(HasManyColours(image)) << name.toStdString() << " is a single colour";
    QDir().mkpath(UNINSTALLER_SCREENSHOT_DIR);
    EXPECT_TRUE(image.save(QString(UNINSTALLER_SCREENSHOT_DIR "/") + name + ".png")) << name.toStdString();
}

QPoint CentredPosition(const QWidget* window)
{
    QRect frame = window->frameGeometry();
    frame.moveCenter(QGuiApplication::primaryScreen()->availableGeometry().center());
    return frame.topLeft();
}

} // namespace

TEST_F(UninstallerControllerTest, StartsWithTheReadMeCentredAndTheSheetCollapsed)
{
    MakeFolder(mResources / "en.lproj/readme.rtfd", 0755);
    WriteFile(mResources / "en.lproj/readme.rtfd/TXT.rtf", kTestReadMe, 0644);
    UninstallerController& controller = Started();
    QWidget* window = controller.ReadMeWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(controller.ReadMe()->toPlainText(),
              QString::fromUtf8("Read me\nThis removes the product.\nCaf\u00e9 \u20ac"));
    EXPECT_EQ(window->pos(), CentredPosition(window));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags &
                 (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(controller.UninstallButton()->text(), "Uninstall");
    EXPECT_EQ(controller.QuitButton()->text(), "Quit");
    EXPECT_TRUE(controller.RemoveMidiDevices()->isHidden());
    EXPECT_FALSE(controller.CompleteMoreInfoVisible());
    EXPECT_EQ(controller.CompleteMoreInfoToggleButton()->text(), "More Information");
    // Texts come from the table; a key the table lacks shows as itself.
    EXPECT_EQ(controller.Localized(kProceedButtonKey), "Proceed");
    EXPECT_EQ(controller.Localized(kTryAgainKey), "tryAgain");
    SaveScreenshot(window, "readme");
}

TEST_F(UninstallerControllerTest, WithoutAReadMeLeavesTheViewEmptyAndTheWindowWhereItIs)
{
    WriteFile(mResources / "en.lproj/readme.txt", "not the read-me", 0644);
    UninstallerController& controller = Started();
    EXPECT_TRUE(controller.ReadMe()->toPlainText().isEmpty());
    EXPECT_NE(controller.ReadMeWindow()->pos(), CentredPosition(controller.ReadMeWindow()));
}

TEST_F(UninstallerControllerTest, CancellingTheConfirmationStartsNothing)
{
    UninstallerController& controller = Started();
    QTest::mouseClick(controller.UninstallButton(), Qt::LeftButton);
    QMessageBox* sheet = OpenSheet(controller);
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->parentWidget(), controller.ReadMeWindow());
    EXPECT_EQ(sheet->text(), Text(kNecessaryToRestartKey));
    EXPECT_EQ(sheet->informativeText(), Text(kChanceToSaveKey));
    SaveScreenshot(sheet, "confirmation-sheet");
    ASSERT_TRUE(ClickSheetButton(controller, Text(kCancelButtonKey)));
    QTest::qWait(50);
    EXPECT_FALSE(controller.AttemptRunning());
    EXPECT_EQ(mInstaller->calls, 0);
    EXPECT_TRUE(mConnections.empty());
}

TEST_F(UninstallerControllerTest, TheWarningPathShowsTwoSheetsBeforeTheAttempt)
{
    WriteFile(mResources / "uninstall.ss", "#!/bin/sh\n", 0755);
    UninstallerController& controller = Started();
    controller.UninstallWithWarning();
    ASSERT_TRUE(ClickSheetButton(controller, Text(kProceedButtonKey)));
    QMessageBox* warning = OpenSheet(controller);
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->text(), Text(kSharedWarningTitleKey));
    EXPECT_EQ(warning->informativeText(), Text(kSharedWarningMessageKey));
    EXPECT_EQ(mInstaller->calls, 0);
    SaveScreenshot(warning, "warning-sheet");
    ASSERT_TRUE(ClickSheetButton(controller, Text(kProceedButtonKey)));
    ASSERT_TRUE(WaitForAttemptEnd(controller));
    EXPECT_EQ(mInstaller->calls, 1);
    ASSERT_EQ(mConnections.size(), 1u);
    EXPECT_EQ(mConnections[0]->Path(), mResources / "uninstall.ss");
    EXPECT_TRUE(controller.CompleteWindow()->isVisible());
    EXPECT_EQ(controller.CompleteUninstallLog()->toPlainText(), "removed files\n");
    EXPECT_EQ(controller.CompleteTitle()->text(), Text(kUninstallSucceededKey));
    EXPECT_EQ(controller.CompleteMessage()->text(), Text(kRestartMessageKey));
    EXPECT_EQ(controller.CompleteRestartButton()->text(), Text(kRestartButtonKey));
    EXPECT_EQ(controller.CompleteDoneButton()->text(), Text(kQuitButtonKey));
    EXPECT_EQ(controller.CompleteWindow()->windowModality(), Qt::WindowModal);
    SaveScreenshot(controller.CompleteWindow(), "completion-sheet-collapsed");
    QTest::mouseClick(controller.CompleteMoreInfoToggleButton(), Qt::LeftButton);
    SaveScreenshot(controller.CompleteWindow(), "completion-sheet-expanded");

    // The other warning answer starts nothing.
    controller.CompleteWindow()->done(0);
    controller.UninstallWithWarning();
    ASSERT_TRUE(ClickSheetButton(controller, Text(kProceedButtonKey)));
    ASSERT_TRUE(ClickSheetButton(controller, Text(kCancelButtonKey)));
    QTest::qWait(50);
    EXPECT_EQ(mInstaller->calls, 1);
}

TEST_F(UninstallerControllerTest, InstallerFailuresShowNothingOrTheErrorSheet)
{
    UninstallerController& controller = Started();
    mInstaller->result = kInstallIOError;
    RunAttempt(controller);
    EXPECT_EQ(controller.UninstallError(), kUninstallHelperNotInstalled);
    QTest::qWait(50);
    EXPECT_EQ(controller.CurrentSheet(), nullptr);
    // No prompt asks for root rights: a process without them is told why nothing happens.
    mInstaller->result = kInstallNotPermitted;
    RunAttempt(controller);
    QMessageBox* refused = OpenSheet(controller);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->text(), QString("Failed with %1 (100%) %s").arg(kUninstallNotPermitted));
    EXPECT_EQ(refused->informativeText(), kNotPermittedMessage);
    ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));
    mInstaller->result = kInstallInvalidHelper;
    RunAttempt(controller);
    EXPECT_EQ(controller.UninstallError(), kInstallInvalidHelper);
    QMessageBox* error = OpenSheet(controller);
    ASSERT_NE(error, nullptr);
    // Only the first %d takes the code; the rest of the template stays as it is.
    EXPECT_EQ(error->text(), "Failed with 3 (100%) %s");
    EXPECT_EQ(error->informativeText(), "tryAgain");
    for (const auto& connection : mConnections)
    {
        EXPECT_EQ(connection->Calls(), 0);
    }
    SaveScreenshot(error, "error-sheet");
    ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));
}

TEST_F(UninstallerControllerTest, AFailedScriptOrNoAnswerShowsTheErrorSheet)
{
    UninstallerController& controller = Started();
    const struct
    {
        const char* name;
        HelperCallResult answer;
        int result;
        const char* detail;
    } rows[] = {
        {"exit status 3", ScriptReply("half done\n", 3), kUninstallScriptFailed,
         "half done\nuninstall script exited with status 3\n"},
        {"invalid UTF-8", ScriptReply("bad \xFF byte\n", 0), kUninstallSucceeded, nullptr},
        {"no answer", HelperCallResult{HelperCallOutcome::TimedOut, 0, {}}, kUninstallNoAnswer, nullptr},
    };
    for (const auto& row : rows)
    {
        mNextAnswer = row.answer;
        RunAttempt(controller);
        EXPECT_EQ(controller.UninstallError(), row.result) << row.name;
        if (row.result == kUninstallSucceeded)
        {
            EXPECT_TRUE(controller.CompleteUninstallLog()->toPlainText().endsWith(
                QString::fromUtf8("bad \uFFFD byte\n")))
                << row.name;
            controller.CompleteWindow()->done(0);
            continue;
        }
        QMessageBox* error = OpenSheet(controller);
        ASSERT_NE(error, nullptr) << row.name;
        EXPECT_EQ(error->text(), QString("Failed with %1 (100%) %s").arg(row.result)) << row.name;
        EXPECT_EQ(error->detailedText(), row.detail != nullptr ? QString(row.detail) : QString()) << row.name;
        ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));
    }
}

TEST_F(UninstallerControllerTest, EachAttemptStartsFromZeroAndDisablesTheButton)
{
    UninstallerController& controller = Started();
    mInstaller->result = kInstallInvalidHelper;
    RunAttempt(controller);
    ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));
    EXPECT_EQ(controller.UninstallError(), kInstallInvalidHelper);

    mInstaller->result = kInstallSucceeded;
    mHoldNext = true;
    ASSERT_TRUE(ConfirmUninstall(controller));
    ASSERT_EQ(mConnections.size(), 2u);
    ASSERT_TRUE(mConnections[1]->WaitForCall(5s));
    EXPECT_TRUE(controller.AttemptRunning());
    EXPECT_EQ(controller.UninstallError(), 0);
    EXPECT_FALSE(controller.UninstallButton()->isEnabled());
    // The GUI thread stays free while the attempt waits.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 5; }, 5000));
    mConnections[1]->Release();
    ASSERT_TRUE(WaitForAttemptEnd(controller));
    EXPECT_TRUE(controller.UninstallButton()->isEnabled());
    EXPECT_TRUE(controller.CompleteWindow()->isVisible());
}

TEST_F(UninstallerControllerTest, TogglingTheLogTwiceRestoresTheSheetWithItsTopEdgeFixed)
{
    UninstallerController& controller = Started();
    QDialog* sheet = controller.CompleteWindow();
    const QRect collapsed = sheet->geometry();
    QTest::mouseClick(controller.CompleteMoreInfoToggleButton(), Qt::LeftButton);
    const QRect expanded = sheet->geometry();
    EXPECT_TRUE(controller.CompleteMoreInfoVisible());
    EXPECT_EQ(controller.CompleteMoreInfoToggleButton()->text(), "Less Information");
    EXPECT_EQ(expanded.top(), collapsed.top());
    EXPECT_GT(expanded.height(), collapsed.height());
    EXPECT_FALSE(controller.CompleteUninstallLog()->isHidden());
    controller.ToggleCompleteMoreInfo();
    EXPECT_EQ(sheet->geometry(), collapsed);
    EXPECT_EQ(controller.CompleteMoreInfoToggleButton()->text(), "More Information");
    EXPECT_TRUE(controller.CompleteUninstallLog()->isHidden());
    controller.ToggleCompleteMoreInfo();
    EXPECT_EQ(sheet->geometry(), expanded);
}

TEST_F(UninstallerControllerTest, RestartAsksOnceAndReportsAFailure)
{
    UninstallerController& controller = Started();
    RunAttempt(controller);
    ASSERT_TRUE(controller.CompleteWindow()->isVisible());
    QTest::mouseClick(controller.CompleteRestartButton(), Qt::LeftButton);
    EXPECT_FALSE(controller.CompleteWindow()->isVisible());
    QTest::qWait(50);
    EXPECT_EQ(mRestart->calls, 1);
    EXPECT_EQ(controller.CurrentSheet(), nullptr);

    mRestart->status = -5;
    RunAttempt(controller);
    QTest::mouseClick(controller.CompleteRestartButton(), Qt::LeftButton);
    QMessageBox* error = OpenSheet(controller);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text(), "Failed with -5 (100%) %s");
    EXPECT_EQ(mRestart->calls, 2);
    EXPECT_EQ(mQuits, 0);

    ASSERT_TRUE(ClickSheetButton(controller, Text(kOkButtonKey)));
    RunAttempt(controller);
    QTest::mouseClick(controller.CompleteDoneButton(), Qt::LeftButton);
    EXPECT_FALSE(controller.CompleteWindow()->isVisible());
    EXPECT_EQ(mQuits, 1);
}

TEST_F(UninstallerControllerTest, QuittingMidAttemptReturnsAtOnceAndDropsTheLateResult)
{
    mHoldNext = true;
    UninstallerController& controller = Started();
    ASSERT_TRUE(ConfirmUninstall(controller));
    ASSERT_EQ(mConnections.size(), 1u);
    ASSERT_TRUE(mConnections[0]->WaitForCall(5s));
    QTest::mouseClick(controller.QuitButton(), Qt::LeftButton);
    EXPECT_EQ(mQuits, 1);
    EXPECT_TRUE(controller.WaitForWorkers(5s));
    QTest::qWait(50);
    EXPECT_EQ(controller.CurrentSheet(), nullptr);
    EXPECT_FALSE(controller.CompleteWindow()->isVisible());
    EXPECT_EQ(controller.UninstallError(), 0);
}

TEST_F(UninstallerControllerTest, RegistersTheRightsAtStartAndCarriesOnWhenItCannot)
{
    if (::geteuid() == 0)
    {
        Platform::AuthorizationRef authorization;
        ASSERT_EQ(Platform::AuthorizationCreate(authorization), Platform::errAuthorizationSuccess);
        mSeams.authorization = std::move(authorization);
        Started();
        EXPECT_EQ(Platform::AuthorizationRightGet(Platform::RightsDatabase(mRightsRoot.Path()),
                                                  "uninstallhelper.runUninstallScript"),
                  Platform::errAuthorizationSuccess);
        mController.reset();
    }

    // Without an authorization nothing can be registered: that is reported
    // and the window still opens.
    mSeams.authorization.reset();
    testing::internal::CaptureStderr();
    UninstallerController& controller = Started();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("could not register the uninstall rights: -60002"), std::string::npos) << errors;
    EXPECT_TRUE(controller.ReadMeWindow()->isVisible());
}

TEST_F(UninstallerControllerTest, UIWorkOffTheGUIThreadEndsTheProcess)
{
    UninstallerController& controller = Started();
    EXPECT_DEATH(std::thread([&controller] { controller.ToggleCompleteMoreInfo(); }).join(),
                 "called off the GUI thread");
}
