#pragma once

#include <QString>

namespace install {

// How a copy with administrator rights is run.
enum class ElevationProtocol {
    AppleScript, // "/usr/bin/osascript" "-e" <script>; a cancelled prompt reports -128
    Pkexec,      // "pkexec" "/bin/sh" "-c" <command line>; a dismissed prompt exits with 126
};

// One shell word: every single quote becomes '\'' and the whole is put in single quotes.
QString shellQuote(const QString &path);

// The osascript script text that removes dest and copies source there as administrator.
QString appleScriptCopyScript(const QString &source, const QString &dest);

// The /bin/sh command line run through pkexec: copies source into a hidden folder beside
// dest (creating destDir when missing) and locked while in use, then moves it into place,
// keeping the old copy until the new one is complete and putting it back if the move fails.
// Unlocked hidden folders of killed installs are removed first. Exits 0 or 1.
QString pkexecCopyCommand(const QString &source, const QString &destDir, const QString &dest);

// The user's message for a failed privileged copy: the cancel message when the prompt was
// dismissed, otherwise the copy message. output is what the tool wrote on either stream.
QString privilegedFailureMessage(ElevationProtocol protocol, int status, const QString &output);

inline constexpr const char *kCancelledMessage =
    "Installation was cancelled at the authorization prompt.";
inline constexpr const char *kCopyFailedMessage =
    "Could not copy the application to the install location.";

} // namespace install
