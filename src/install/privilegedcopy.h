#pragma once

#include <QByteArray>
#include <QString>

namespace install {

// How a copy with administrator rights is run.
enum class ElevationProtocol {
    AppleScript, // "/usr/bin/osascript" "-e" <script>; a cancelled prompt reports -128
    Pkexec,      // "/usr/bin/pkexec" "/bin/sh" "-c" <command line>; a dismissed prompt exits 126
};

// One shell word: every single quote becomes '\'' and the whole is put in single quotes.
QString shellQuote(const QString &path);

// The osascript script text that removes dest and copies source there as administrator.
QString appleScriptCopyScript(const QString &source, const QString &dest);

// What the administrator's copy is told, all of it written into its command line.
struct RootInstall
{
    QString destDir;    // absolute, resolved, and changeable by root alone
    QString bundleName; // entry at the top level of the image, and its name in destDir
    qint64 imageSize = 0;
    QByteArray sha256; // 32 raw bytes: the image's digest as verified or as it arrived
    // What standard input holds: the disk image, or (where the system cannot read images) a
    // tar archive of the bundle; imageSize and sha256 are then the archive's.
    enum class Payload { SquashfsImage, TarArchive };
    Payload payload = Payload::SquashfsImage;
    qint64 bundleSize = 0; // what the extracted bundle takes, as counted by treeSize()
    // How long root waits for another administrator install to finish its sweep at most.
    int lockWaitSeconds = 30;
};

// Root's own folder (made 0700 when missing) for the lock every administrator install takes.
inline constexpr const char *kRootLockFolder = "/run/quillmarsh-installer";

// Root keeps this much of the space users may take free beyond its input and the bundle.
inline constexpr qint64 kRootSpaceMargin = 1 << 20;
// The root command's exit status when the install folder's file system is short of space; its
// standard error then says "not enough space in <folder>: N bytes needed, M available".
inline constexpr int kRootNoSpaceStatus = 3;

// The /bin/sh command line run as root through pkexec, with the image on standard input. It
// takes exactly imageSize bytes into a locked root-only folder in destDir, checks them against
// sha256, extracts the bundle from that copy with /usr/bin/unsquashfs (a plain tar archive with
// the system's tar, after its listing shows only files, folders, relative links and hard links
// within the bundle under names inside it, no sparse or oversized entry, and without the
// archive's owners and modes), refuses anything but files, folders and links that stay inside
// the bundle, and names or link targets with control characters, makes the copy root's with no
// set-id bits and no group or other write, and swaps it into place, keeping the old copy until
// the new one is there. Unlocked staging folders of killed installs are removed first (never
// through a link), under a lock in kRootLockFolder that is waited for lockWaitSeconds at most.
// Before writing the input, and again before extracting what it lists, the space users may take in
// destDir must hold it with kRootSpaceMargin to spare. Exits 0, kRootNoSpaceStatus when short of
// space, or 1, with "refused: ..." lines on standard error.
QString pkexecInstallCommand(const RootInstall &install);

// The one program that reads the image as root; a system tool at a fixed path.
inline constexpr const char *kRootExtractor = "/usr/bin/unsquashfs";

// The system's tar, /usr/bin/tar or /bin/tar (the ones the root command looks for); empty
// when neither is there.
QString systemTar();

// The user's message for a failed privileged copy: the cancel message when the prompt was
// dismissed, otherwise the copy message. output is what the tool wrote on either stream.
QString privilegedFailureMessage(ElevationProtocol protocol, int status, const QString &output);

inline constexpr const char *kCancelledMessage =
    "Installation was cancelled at the authorization prompt.";
inline constexpr const char *kCopyFailedMessage =
    "Could not copy the application to the install location.";

} // namespace install
