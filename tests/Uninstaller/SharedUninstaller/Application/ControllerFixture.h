// Fakes for the uninstaller window's seams, a resource folder with texts from
// a table, and helpers that click the real buttons of the open sheets.
#pragma once

#include <gtest/gtest.h>

#include "Uninstaller/SharedUninstaller/Application/UninstallerController.h"
#include "Uninstaller/SharedUninstaller/UninstallerTexts.h"
#include "support/Uninstaller/TestProcesses.h"

#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace UninstallerTest
{

using namespace std::chrono_literals;

class FakeInstaller final : public Uninstaller::IHelperInstaller
{
public:
    int Install(const std::string&, const std::string&) override
    {
        ++calls;
        return result.load();
    }
    std::atomic<int> result{0};
    std::atomic<int> calls{0};
};

// Answers with the answer set, or, while held, waits until released or cancelled.
class FakeConnection final : public Uninstaller::IHelperConnection
{
public:
    explicit FakeConnection(Uninstaller::HelperCallResult answer, bool held = false)
        : mAnswer(std::move(answer)), mHeld(held)
    {
    }

    Uninstaller::HelperCallResult
    RunUninstallScript(const std::optional<std::string>& path,
                       const std::optional<std::vector<unsigned char>>& authorization,
                       Uninstaller::Platform::Deadline) override
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mPath = path;
        mAuthorization = authorization;
        ++mCalls;
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return !mHeld || mCancelled; });
        if (mCancelled)
        {
            Uninstaller::HelperCallResult cancelled;
            cancelled.outcome = Uninstaller::HelperCallOutcome::Cancelled;
            return cancelled;
        }
        return mAnswer;
    }

    void Cancel() noexcept override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mCancelled = true;
        mChanged.notify_all();
    }

    void Release()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mHeld = false;
        mChanged.notify_all();
    }

    bool WaitForCall(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, timeout, [this] { return mCalls > 0; });
    }

    int Calls()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mCalls;
    }
    std::optional<std::string> Path()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mPath;
    }
    std::optional<std::vector<unsigned char>> Authorization()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mAuthorization;
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    Uninstaller::HelperCallResult mAnswer;
    bool mHeld;
    bool mCancelled = false;
    int mCalls = 0;
    std::optional<std::string> mPath;
    std::optional<std::vector<unsigned char>> mAuthorization;
};

class FakeRestartRequester final : public Uninstaller::Platform::IRestartRequester
{
public:
    void RequestRestart(std::function<void(int)> done) override
    {
        ++calls;
        // Answers later on the event loop, as the bus does.
        QMetaObject::invokeMethod(
            qApp, [done = std::move(done), status = status] { done(status); }, Qt::QueuedConnection);
    }
    int calls = 0;
    int status = 0;
};

inline Uninstaller::HelperCallResult ScriptReply(std::string output, int status)
{
    Uninstaller::HelperCallResult answer;
    answer.outcome = Uninstaller::HelperCallOutcome::Replied;
    answer.reply.output = std::move(output);
    answer.reply.status = status;
    return answer;
}

// The texts the tests' resource folder holds; "tryAgain" is left out so that
// its key shows instead.
inline const std::vector<std::pair<std::string, std::string>>& TestTexts()
{
    static const std::vector<std::pair<std::string, std::string>> texts = {
        {Uninstaller::kNecessaryToRestartKey, "Restart needed"},
        {Uninstaller::kChanceToSaveKey, "Save your work %@ first."},
        {Uninstaller::kProceedButtonKey, "Proceed"},
        {Uninstaller::kCancelButtonKey, "Cancel"},
        {Uninstaller::kSharedWarningTitleKey, "Shared files"},
        {Uninstaller::kSharedWarningMessageKey, "Other products use them."},
        {Uninstaller::kOkButtonKey, "OK"},
        {Uninstaller::kErrorTemplateKey, "Failed with %d (100%%) %s"},
        {Uninstaller::kRestartButtonKey, "Restart"},
        {Uninstaller::kQuitButtonKey, "Quit"},
        {Uninstaller::kUninstallSucceededKey, "Removed"},
        {Uninstaller::kRestartMessageKey, "Restart to finish."},
    };
    return texts;
}

inline const char kTestReadMe[] = "{\\rtf1\\ansi{\\fonttbl\\f0 Helvetica;}\\f0 {\\b Read me}\\par "
                                  "This removes the product.\\par\\i Caf\\'e9\\i0  \\u8364?}";

// Writes the test texts as folder/en.lproj/Localizable.strings.
inline void WriteTestTexts(const std::string& folder)
{
    std::string strings = "/* test texts */\n";
    for (const auto& [key, text] : TestTexts())
    {
        strings += "\"" + key + "\" = \"" + text + "\";\n";
    }
    MakeFolder(folder + "/en.lproj", 0755);
    WriteFile(folder + "/en.lproj/Localizable.strings", strings, 0644);
}

inline QString Text(const char* key)
{
    for (const auto& [name, text] : TestTexts())
    {
        if (name == key)
        {
            return QString::fromStdString(text);
        }
    }
    return QString::fromUtf8(key);
}

// Waits, running the event loop, until the open sheet is a different one from
// before, and gives it.
inline QMessageBox* OpenSheet(Uninstaller::UninstallerController& controller,
                              std::chrono::milliseconds timeout = 5s)
{
    QMessageBox* sheet = nullptr;
    (void)QTest::qWaitFor(
        [&]
        {
            sheet = controller.CurrentSheet();
            return sheet != nullptr && sheet->isVisible();
        },
        static_cast<int>(timeout.count()));
    return sheet != nullptr && sheet->isVisible() ? sheet : nullptr;
}

inline bool ClickSheetButton(Uninstaller::UninstallerController& controller, const QString& title)
{
    QMessageBox* sheet = OpenSheet(controller);
    if (sheet == nullptr)
    {
        ADD_FAILURE() << "no sheet open to click " << title.toStdString();
        return false;
    }
    for (QAbstractButton* button : sheet->buttons())
    {
        if (button->text() == title)
        {
            QTest::mouseClick(button, Qt::LeftButton);
            return true;
        }
    }
    ADD_FAILURE() << "the sheet has no button " << title.toStdString();
    return false;
}

// Asks to uninstall through the real buttons: the window's button, then the
// restart sheet's proceed button.
inline bool ConfirmUninstall(Uninstaller::UninstallerController& controller)
{
    QTest::mouseClick(controller.UninstallButton(), Qt::LeftButton);
    return ClickSheetButton(controller, Text(Uninstaller::kProceedButtonKey));
}

inline bool WaitForAttemptEnd(Uninstaller::UninstallerController& controller,
                              std::chrono::milliseconds timeout = 10s)
{
    return QTest::qWaitFor([&] { return !controller.AttemptRunning(); }, static_cast<int>(timeout.count()));
}

} // namespace UninstallerTest
