#include "Uninstaller/SharedUninstaller/Application/UninstallerController.h"

#include "Platform/Uninstaller/ResourceBundle.h"
#include "Platform/Uninstaller/RightsDatabase.h"
#include "Uninstaller/SharedUninstaller/Common.h"
#include "Uninstaller/SharedUninstaller/RichText.h"
#include "Uninstaller/SharedUninstaller/UninstallerTexts.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QTextCursor>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QDialog>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTextEdit>
#include <QtWidgets/QVBoxLayout>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace Uninstaller
{

namespace
{

constexpr std::size_t kMaxReadMeBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxStringsBytes = 1024 * 1024;

// UI work off the GUI thread is a programming error that Qt would only
// sometimes survive, so it ends the process wherever it happens.
void AssertOnGuiThread(const char* where)
{
    const QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread())
    {
        std::fprintf(stderr, "uninstaller: %s called off the GUI thread\n", where);
        std::abort();
    }
}

void LogOnStderr(const std::string& line)
{
    std::fputs(line.c_str(), stderr);
}

} // namespace

// Carries posts from attempt workers to the controller. Detach, on the GUI
// thread, runs under the same lock as every post, so no post reaches a
// controller that is being destroyed; Qt drops posts still queued for it.
class UninstallerController::GuiLink
{
public:
    explicit GuiLink(UninstallerController* target) : mTarget(target) {}

    void Post(std::function<void(UninstallerController&)> work)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mTarget == nullptr)
        {
            return;
        }
        UninstallerController* target = mTarget;
        QMetaObject::invokeMethod(
            target, [target, work = std::move(work)] { work(*target); }, Qt::QueuedConnection);
    }

    void Detach()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTarget = nullptr;
    }

private:
    std::mutex mMutex;
    UninstallerController* mTarget; // guarded by mMutex
};

// Counts the attempt workers still running.
struct UninstallerController::Workers
{
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0; // guarded by mutex
};

UninstallerController::UninstallerController(UninstallerSeams seams)
    : mSeams(std::move(seams)), mLink(std::make_shared<GuiLink>(this)), mWorkers(std::make_shared<Workers>())
{
    AssertOnGuiThread("UninstallerController");
    BuildReadMeWindow();
    BuildCompleteWindow();
}

UninstallerController::~UninstallerController()
{
    mLink->Detach();
    if (mConnection)
    {
        mConnection->Cancel();
    }
}

void UninstallerController::BuildReadMeWindow()
{
    // Without close, minimise and zoom buttons: the window ends through its
    // own quit button only.
    mReadMeWindow =
        std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    mReadMeWindow->resize(640, 480);
    mReadMe = new QTextEdit;
    mReadMe->setReadOnly(true);
    mRemoveMidiDevices = new QCheckBox;
    mUninstallButton = new QPushButton(QString::fromUtf8(kUninstallButtonTitle));
    mUninstallButton->setDefault(true);
    mQuitButton = new QPushButton;
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(mRemoveMidiDevices);
    buttons->addStretch();
    buttons->addWidget(mQuitButton);
    buttons->addWidget(mUninstallButton);
    auto* layout = new QVBoxLayout(mReadMeWindow.get());
    layout->addWidget(mReadMe);
    layout->addLayout(buttons);
    QObject::connect(mUninstallButton, &QPushButton::clicked, this, [this] { Uninstall(); });
    QObject::connect(mQuitButton, &QPushButton::clicked, this, [this] { Quit(); });
}

void UninstallerController::BuildCompleteWindow()
{
    mCompleteWindow = new QDialog(mReadMeWindow.get());
    mCompleteWindow->setWindowModality(Qt::WindowModal);
    mCompleteTitle = new QLabel;
    QFont titleFont = mCompleteTitle->font();
    titleFont.setBold(true);
    mCompleteTitle->setFont(titleFont);
    mCompleteTitle->setTextFormat(Qt::PlainText);
    mCompleteMessage = new QLabel;
    mCompleteMessage->setTextFormat(Qt::PlainText);
    mCompleteMessage->setWordWrap(true);
    mCompleteUninstallLog = new QPlainTextEdit;
    mCompleteUninstallLog->setReadOnly(true);
    mCompleteMoreInfoToggleButton = new QPushButton(QString::fromUtf8(kLessInformationTitle));
    mCompleteDoneButton = new QPushButton;
    mCompleteRestartButton = new QPushButton;
    mCompleteRestartButton->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(mCompleteMoreInfoToggleButton);
    buttons->addStretch();
    buttons->addWidget(mCompleteDoneButton);
    buttons->addWidget(mCompleteRestartButton);
    auto* layout = new QVBoxLayout(mCompleteWindow);
    layout->addWidget(mCompleteTitle);
    layout->addWidget(mCompleteMessage);
    layout->addWidget(mCompleteUninstallLog, 1);
    // Takes up the room the log leaves while it is hidden.
    layout->addStretch(0);
    layout->addLayout(buttons);
    mCompleteWindow->setGeometry(0, 0, 520, 400);
    QObject::connect(mCompleteMoreInfoToggleButton, &QPushButton::clicked, this,
                     [this] { ToggleCompleteMoreInfo(); });
    QObject::connect(mCompleteDoneButton, &QPushButton::clicked, this, [this] { QuitNow(); });
    QObject::connect(mCompleteRestartButton, &QPushButton::clicked, this, [this] { RestartNow(); });
}

void UninstallerController::Start()
{
    AssertOnGuiThread("Start");
    LoadTexts();
    LoadReadMe();
    mQuitButton->setText(Localized(kQuitButtonKey));
    // Lay the sheet out once so that the log has its height to hide.
    mCompleteWindow->layout()->activate();
    mCompleteMoreInfoVisible = true;
    ToggleCompleteMoreInfo();
    RegisterRights();
    // Removing MIDI devices is never offered.
    mRemoveMidiDevices->hide();
    mReadMeWindow->show();
    if (mCentreReadMe)
    {
        CentreReadMeWindow();
    }
}

QMessageBox* UninstallerController::CurrentSheet() const
{
    return mCurrentSheet.data();
}

QString UninstallerController::Localized(const char* key) const
{
    return QString::fromUtf8(mStrings.Lookup(key));
}

void UninstallerController::LoadTexts()
{
    const Platform::ResourceBundle bundle(mSeams.resourceFolder, mSeams.languages);
    const std::optional<std::string> path = bundle.PathForResource(kStringsTableName, kStringsTableType);
    if (!path)
    {
        return;
    }
    const std::optional<std::string> bytes = Platform::ReadResourceFile(*path, kMaxStringsBytes);
    if (!bytes)
    {
        LogOnStderr(*path + ": cannot be read\n");
        return;
    }
    std::string fault;
    mStrings = StringsTable::Parse(*bytes, fault);
    if (!fault.empty())
    {
        LogOnStderr(*path + ": " + fault + "\n");
    }
}

void UninstallerController::LoadReadMe()
{
    const Platform::ResourceBundle bundle(mSeams.resourceFolder, mSeams.languages);
    std::optional<std::string> path = bundle.PathForResource(kReadMeName, kReadMeBundleType);
    if (path)
    {
        *path += "/";
        *path += kReadMeBundleText;
    }
    else
    {
        path = bundle.PathForResource(kReadMeName, kReadMeType);
    }
    if (!path)
    {
        return;
    }
    const std::optional<std::string> bytes = Platform::ReadResourceFile(*path, kMaxReadMeBytes);
    QTextCursor cursor(mReadMe->document());
    for (const RichTextRun& run : ReadRichText(bytes.value_or(std::string())))
    {
        QTextCharFormat format;
        format.setFontWeight(run.bold ? QFont::Bold : QFont::Normal);
        format.setFontItalic(run.italic);
        format.setFontUnderline(run.underline);
        cursor.insertText(QString::fromUtf8(run.text), format);
    }
    mReadMe->moveCursor(QTextCursor::Start);
    mCentreReadMe = true;
}

void UninstallerController::CentreReadMeWindow()
{
    // Only a shown window knows the size of its frame.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr)
    {
        QRect frame = mReadMeWindow->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        mReadMeWindow->move(frame.topLeft());
    }
}

void UninstallerController::RegisterRights()
{
    // The helper's installation registers the rights too; failing here only
    // means that the installation has to.
    const Platform::OSStatus status =
        Common::SetupAuthorizationRights(mSeams.authorization.get(), Platform::RightsDatabase(mSeams.root));
    if (status != Platform::errAuthorizationSuccess)
    {
        LogOnStderr("could not register the uninstall rights: " + std::to_string(status) + "\n");
    }
}

void UninstallerController::OpenSheet(const QString& title, const QString& message,
                                      const QString& defaultButton, const QString& alternateButton,
                                      const QString& otherButton, std::function<void(int)> endAction,
                                      const QString& detail)
{
    AssertOnGuiThread("OpenSheet");
    auto* sheet = new QMessageBox(mReadMeWindow.get());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setTextFormat(Qt::PlainText);
    sheet->setText(title);
    sheet->setInformativeText(message);
    if (!detail.isEmpty())
    {
        sheet->setDetailedText(detail);
    }
    QPushButton* defaultChoice = sheet->addButton(defaultButton, QMessageBox::AcceptRole);
    QPushButton* alternateChoice =
        alternateButton.isNull() ? nullptr : sheet->addButton(alternateButton, QMessageBox::RejectRole);
    if (!otherButton.isNull())
    {
        sheet->addButton(otherButton, QMessageBox::DestructiveRole);
    }
    sheet->setDefaultButton(defaultChoice);
    QObject::connect(sheet, &QMessageBox::finished, this,
                     [sheet, defaultChoice, alternateChoice, endAction = std::move(endAction)](int)
                     {
                         const QAbstractButton* clicked = sheet->clickedButton();
                         const int returnCode = clicked == nullptr           ? -1
                                                : clicked == defaultChoice   ? 1
                                                : clicked == alternateChoice ? 0
                                                                             : -1;
                         endAction(returnCode);
                     });
    mCurrentSheet = sheet;
    sheet->open();
}

void UninstallerController::RunAlert(const char* titleKey, const char* messageKey, const char* defaultKey,
                                     const char* alternateKey, std::function<void(int)> endAction)
{
    OpenSheet(Localized(titleKey), Localized(messageKey),
              Localized(defaultKey != nullptr ? defaultKey : kOkButtonKey),
              alternateKey != nullptr ? Localized(alternateKey) : QString(), QString(), std::move(endAction));
}

void UninstallerController::Uninstall()
{
    AssertOnGuiThread("Uninstall");
    if (mAttemptRunning)
    {
        return;
    }
    RunAlert(kNecessaryToRestartKey, kChanceToSaveKey, kProceedButtonKey, kCancelButtonKey,
             [this](int returnCode) { CheckRestartSheetDidEnd(returnCode); });
}

void UninstallerController::UninstallWithWarning()
{
    AssertOnGuiThread("UninstallWithWarning");
    if (mAttemptRunning)
    {
        return;
    }
    RunAlert(kNecessaryToRestartKey, kChanceToSaveKey, kProceedButtonKey, kCancelButtonKey,
             [this](int returnCode) { DoWarningAfterRestartSheet(returnCode); });
}

void UninstallerController::DoWarningAfterRestartSheet(int returnCode)
{
    if (returnCode != 1)
    {
        return;
    }
    RunAlert(kSharedWarningTitleKey, kSharedWarningMessageKey, kProceedButtonKey, kCancelButtonKey,
             [this](int code) { CheckRestartSheetDidEnd(code); });
}

void UninstallerController::CheckRestartSheetDidEnd(int returnCode)
{
    if (returnCode != 1 || mAttemptRunning)
    {
        return;
    }
    StartAttempt();
}

void UninstallerController::StartAttempt()
{
    AssertOnGuiThread("StartAttempt");
    const std::uint64_t attempt = ++mAttempt;
    mAttemptRunning = true;
    mUninstallError = 0;
    mAttemptLog.clear();
    mUninstallButton->setEnabled(false);
    mRemoveMidiDevices->setEnabled(false);

    UninstallAttemptSettings settings;
    settings.installer = mSeams.installer;
    settings.root = mSeams.root;
    settings.helperPath = mSeams.helperPath;
    settings.scriptPath = Platform::ResourceBundle(mSeams.resourceFolder, mSeams.languages)
                              .PathForResource(kUninstallScriptName, "");
    if (mSeams.authorization)
    {
        Platform::AuthorizationExternalForm form{};
        if (Platform::AuthorizationMakeExternalForm(*mSeams.authorization, form) ==
            Platform::errAuthorizationSuccess)
        {
            settings.authorization.emplace(form.begin(), form.end());
        }
    }
    settings.wait = mSeams.wait;
    mConnection = mSeams.connect ? mSeams.connect() : nullptr;
    if (!mConnection)
    {
        AttemptLogged(attempt,
                      "error " + std::string(kPOSIXErrorDomain) + " / " + std::to_string(EIO) + "\n");
        AttemptEnded(attempt, EIO);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mWorkers->mutex);
        ++mWorkers->running;
    }
    std::thread(
        [attempt, settings = std::move(settings), connection = mConnection, link = mLink, workers = mWorkers]
        {
            const int result =
                UninstallAttempt::Run(settings, *connection,
                                      [&](const std::string& line)
                                      {
                                          link->Post([attempt, line](UninstallerController& controller)
                                                     { controller.AttemptLogged(attempt, line); });
                                      });
            link->Post([attempt, result](UninstallerController& controller)
                       { controller.AttemptEnded(attempt, result); });
            std::lock_guard<std::mutex> lock(workers->mutex);
            --workers->running;
            workers->ended.notify_all();
        })
        .detach();
}

void UninstallerController::AttemptLogged(std::uint64_t attempt, const std::string& line)
{
    AssertOnGuiThread("AttemptLogged");
    if (attempt != mAttempt)
    {
        return;
    }
    // Bytes that are not UTF-8 become U+FFFD here rather than being lost.
    const QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
    mAttemptLog += text;
    LogText(text);
}

void UninstallerController::AttemptEnded(std::uint64_t attempt, int result)
{
    AssertOnGuiThread("AttemptEnded");
    if (attempt != mAttempt)
    {
        return;
    }
    mAttemptRunning = false;
    mConnection.reset();
    mUninstallError = result;
    mUninstallButton->setEnabled(true);
    mRemoveMidiDevices->setEnabled(true);
    if (result == kUninstallSucceeded)
    {
        ShowCompletionSheet();
    }
    else if (result == kUninstallHelperNotInstalled || result == kUninstallCancelledByUser)
    {
        LogOnStderr("uninstall not done: " + std::to_string(result) + "\n");
    }
    else
    {
        ReportError(result, result == kUninstallScriptFailed ? mAttemptLog : QString());
    }
}

void UninstallerController::LogText(const QString& text)
{
    AssertOnGuiThread("LogText");
    mCompleteUninstallLog->moveCursor(QTextCursor::End);
    mCompleteUninstallLog->insertPlainText(text);
}

void UninstallerController::ShowCompletionSheet()
{
    AssertOnGuiThread("ShowCompletionSheet");
    mCompleteRestartButton->setText(Localized(kRestartButtonKey));
    mCompleteDoneButton->setText(Localized(kQuitButtonKey));
    mCompleteTitle->setText(Localized(kUninstallSucceededKey));
    mCompleteMessage->setText(Localized(kRestartMessageKey));
    // A sheet hangs from the top of its window, centred across it.
    const QRect parent = mReadMeWindow->geometry();
    mCompleteWindow->move(parent.x() + (parent.width() - mCompleteWindow->width()) / 2, parent.y());
    mCompleteWindow->open();
}

void UninstallerController::ToggleCompleteMoreInfo()
{
    AssertOnGuiThread("ToggleCompleteMoreInfo");
    const int height = mCompleteUninstallLog->height();
    const QRect frame = mCompleteWindow->geometry();
    // The top edge stays where it is; the sheet grows or shrinks at the bottom.
    if (mCompleteMoreInfoVisible)
    {
        mCompleteUninstallLog->hide();
        mCompleteWindow->setGeometry(frame.x(), frame.y(), frame.width(), frame.height() - height);
        mCompleteMoreInfoToggleButton->setText(QString::fromUtf8(kMoreInformationTitle));
    }
    else
    {
        mCompleteWindow->setGeometry(frame.x(), frame.y(), frame.width(), frame.height() + height);
        mCompleteUninstallLog->show();
        mCompleteMoreInfoToggleButton->setText(QString::fromUtf8(kLessInformationTitle));
    }
    mCompleteMoreInfoVisible = !mCompleteMoreInfoVisible;
    mCompleteWindow->setSizeGripEnabled(mCompleteMoreInfoVisible);
}

void UninstallerController::ReportError(int code, const QString& detail)
{
    // Trying again as it stands cannot help a process that lacks the rights.
    const QString message =
        code == kUninstallNotPermitted ? QString::fromUtf8(kNotPermittedMessage) : Localized(kTryAgainKey);
    OpenSheet(
        QString::fromUtf8(FormatErrorTemplate(mStrings.Lookup(kErrorTemplateKey), code)), message,
        Localized(kOkButtonKey), QString(), QString(), [](int) {}, detail);
}

void UninstallerController::RestartNow()
{
    AssertOnGuiThread("RestartNow");
    mCompleteWindow->done(QDialog::Accepted);
    if (!mSeams.restartRequester)
    {
        return;
    }
    QPointer<UninstallerController> self(this);
    mSeams.restartRequester->RequestRestart(
        [self](int status)
        {
            if (self && status != 0)
            {
                self->ReportError(status);
            }
        });
}

void UninstallerController::QuitNow()
{
    AssertOnGuiThread("QuitNow");
    mCompleteWindow->done(QDialog::Accepted);
    Quit();
}

void UninstallerController::Quit()
{
    AssertOnGuiThread("Quit");
    // Whatever the running attempt still posts belongs to no current attempt.
    ++mAttempt;
    mAttemptRunning = false;
    if (mConnection)
    {
        mConnection->Cancel();
        mConnection.reset();
    }
    if (mSeams.quit)
    {
        mSeams.quit();
    }
}

bool UninstallerController::WaitForWorkers(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mWorkers->mutex);
    return mWorkers->ended.wait_for(lock, timeout, [this] { return mWorkers->running == 0; });
}

} // namespace Uninstaller
