// The keys of the uninstaller's localised texts, its fixed texts, and the
// formatting of the error sheet's title. Localised texts are data: none is
// ever used as a format, and only "errorTemplate" gets the error code put in.
#pragma once

#include <string>
#include <string_view>

namespace Uninstaller
{

inline constexpr char kNecessaryToRestartKey[] = "necessaryToRestart";
inline constexpr char kChanceToSaveKey[] = "chanceToSave";
inline constexpr char kProceedButtonKey[] = "proceedButton";
inline constexpr char kCancelButtonKey[] = "cancelButton";
inline constexpr char kSharedWarningTitleKey[] = "sharedWarningTitle";
inline constexpr char kSharedWarningMessageKey[] = "sharedWarningMessage";
inline constexpr char kOkButtonKey[] = "okButton";
inline constexpr char kErrorTemplateKey[] = "errorTemplate";
inline constexpr char kTryAgainKey[] = "tryAgain";
inline constexpr char kRestartButtonKey[] = "restartButton";
inline constexpr char kQuitButtonKey[] = "quitButton";
inline constexpr char kUninstallSucceededKey[] = "uninstallSucceeded";
inline constexpr char kRestartMessageKey[] = "restartMessage";

// Fixed texts, not localised.
inline constexpr char kUninstallButtonTitle[] = "Uninstall";
inline constexpr char kMoreInformationTitle[] = "More Information";
inline constexpr char kLessInformationTitle[] = "Less Information";
inline constexpr char kNotPermittedMessage[] =
    "The uninstaller needs root rights to install its helper. Run it as root and try again.";

// Resources.
inline constexpr char kReadMeName[] = "readme";
inline constexpr char kReadMeBundleType[] = "rtfd";
inline constexpr char kReadMeBundleText[] = "TXT.rtf";
inline constexpr char kReadMeType[] = "rtf";
inline constexpr char kUninstallScriptName[] = "uninstall.ss";
inline constexpr char kStringsTableName[] = "Localizable";
inline constexpr char kStringsTableType[] = "strings";

// The error sheet's title: the first %d, %i or %ld of the template becomes
// code and each %% a single %; everything else is kept as it stands.
std::string FormatErrorTemplate(std::string_view errorTemplate, int code);

} // namespace Uninstaller
