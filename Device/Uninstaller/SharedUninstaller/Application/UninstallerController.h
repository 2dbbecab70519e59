// The uninstaller's window and its whole behaviour: the read-me window with
// its buttons, the confirmation, warning and error sheets, the uninstall
// attempt, and the completion sheet with the attempt's log, from which the
// user restarts the computer or quits. main() makes one with the real seams;
// tests make one with fakes.
//
// Threads: everything here runs on the GUI thread, and each method that
// touches a widget checks that it does. An attempt (install, connect, request,
// wait) runs on a worker thread of its own, which posts its log lines and its
// result back to the GUI thread tagged with the attempt's number; anything
// from an attempt that is no longer the current one is dropped. The worker
// holds shared references to all it uses, so it may outlive the controller
// (it is never waited for on the GUI thread).
#pragma once

#include "Platform/Uninstaller/Authorization.h"
#include "Platform/Uninstaller/Restart/RestartRequester.h"
#include "Uninstaller/SharedUninstaller/StringsTable.h"
#include "Uninstaller/SharedUninstaller/UninstallAttempt.h"

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QDialog;
class QLabel;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QTextEdit;
class QWidget;

namespace Uninstaller
{

// What the controller reaches outside itself.
struct UninstallerSeams
{
    std::shared_ptr<IHelperInstaller> installer;
    std::string helperPath;
    // Install root of the helper, its rights database and its socket.
    std::string root = "/";
    // Makes the channel for one attempt (on the GUI thread); null fails the attempt.
    std::function<std::shared_ptr<IHelperConnection>()> connect;
    std::shared_ptr<Platform::IRestartRequester> restartRequester;
    std::string resourceFolder;
    std::vector<std::string> languages;
    std::chrono::milliseconds wait = kUninstallWait;
    std::function<void()> quit;
    // The application's own authorization; without one no right is
    // registered and requests carry none.
    std::shared_ptr<const Platform::Authorization> authorization;
};

class UninstallerController final : public QObject
{
public:
    explicit UninstallerController(UninstallerSeams seams);
    ~UninstallerController() override;
    UninstallerController(const UninstallerController&) = delete;
    UninstallerController& operator=(const UninstallerController&) = delete;

    // Loads the texts and the read-me, registers the helper's rights, collapses
    // the completion sheet and shows the read-me window.
    void Start();

    // Actions.
    void Uninstall();
    void UninstallWithWarning();
    void RestartNow();
    void QuitNow();
    void ToggleCompleteMoreInfo();
    // The read-me window's quit button: abandons a running attempt and quits.
    void Quit();

    // The windows and controls, for main() and for tests.
    QWidget* ReadMeWindow() const { return mReadMeWindow.get(); }
    QTextEdit* ReadMe() const { return mReadMe; }
    QPushButton* UninstallButton() const { return mUninstallButton; }
    QPushButton* QuitButton() const { return mQuitButton; }
    QCheckBox* RemoveMidiDevices() const { return mRemoveMidiDevices; }
    QDialog* CompleteWindow() const { return mCompleteWindow; }
    QLabel* CompleteTitle() const { return mCompleteTitle; }
    QLabel* CompleteMessage() const { return mCompleteMessage; }
    QPlainTextEdit* CompleteUninstallLog() const { return mCompleteUninstallLog; }
    QPushButton* CompleteRestartButton() const { return mCompleteRestartButton; }
    QPushButton* CompleteDoneButton() const { return mCompleteDoneButton; }
    QPushButton* CompleteMoreInfoToggleButton() const { return mCompleteMoreInfoToggleButton; }
    // The alert sheet opened last, while it is open.
    QMessageBox* CurrentSheet() const;

    bool CompleteMoreInfoVisible() const { return mCompleteMoreInfoVisible; }
    int UninstallError() const { return mUninstallError; }
    bool AttemptRunning() const { return mAttemptRunning; }
    QString Localized(const char* key) const;

    // Waits until no attempt's worker thread of this controller runs; false
    // when timeout passed first. For tests and for a clean exit.
    bool WaitForWorkers(std::chrono::milliseconds timeout) const;

private:
    class GuiLink;
    struct Workers;

    void BuildReadMeWindow();
    void BuildCompleteWindow();
    void LoadTexts();
    void LoadReadMe();
    void CentreReadMeWindow();
    void RegisterRights();

    // Opens a window-modal alert on the read-me window; endAction gets 1 for
    // the default button, 0 for the alternate one and -1 otherwise.
    void OpenSheet(const QString& title, const QString& message, const QString& defaultButton,
                   const QString& alternateButton, const QString& otherButton,
                   std::function<void(int)> endAction, const QString& detail = QString());
    void RunAlert(const char* titleKey, const char* messageKey, const char* defaultKey,
                  const char* alternateKey, std::function<void(int)> endAction);
    void CheckRestartSheetDidEnd(int returnCode);
    void DoWarningAfterRestartSheet(int returnCode);

    void StartAttempt();
    void AttemptLogged(std::uint64_t attempt, const std::string& line);
    void AttemptEnded(std::uint64_t attempt, int result);
    void ShowCompletionSheet();
    void ReportError(int code, const QString& detail = QString());
    void LogText(const QString& text);

    UninstallerSeams mSeams;
    StringsTable mStrings;
    std::unique_ptr<QWidget> mReadMeWindow;
    QTextEdit* mReadMe = nullptr;
    QPushButton* mUninstallButton = nullptr;
    QPushButton* mQuitButton = nullptr;
    QCheckBox* mRemoveMidiDevices = nullptr;
    QDialog* mCompleteWindow = nullptr;
    QLabel* mCompleteTitle = nullptr;
    QLabel* mCompleteMessage = nullptr;
    QPlainTextEdit* mCompleteUninstallLog = nullptr;
    QPushButton* mCompleteRestartButton = nullptr;
    QPushButton* mCompleteDoneButton = nullptr;
    QPushButton* mCompleteMoreInfoToggleButton = nullptr;
    QPointer<QMessageBox> mCurrentSheet;
    bool mCompleteMoreInfoVisible = true;
    bool mCentreReadMe = false; // a read-me was found

    // The current attempt: its number (a new one for each attempt, and on
    // quitting, so that late posts are dropped), its channel and its log.
    std::uint64_t mAttempt = 0;
    bool mAttemptRunning = false;
    int mUninstallError = 0;
    std::shared_ptr<IHelperConnection> mConnection;
    QString mAttemptLog;

    const std::shared_ptr<GuiLink> mLink;
    const std::shared_ptr<Workers> mWorkers;
};

} // namespace Uninstaller
