#pragma once

#include "imagetool.h"

namespace install {

// Linux: squashfs images mounted read-only with squashfuse on a fresh private mount point and
// unmounted with fusermount3. Where FUSE cannot be used (no device, no squashfuse, a mount
// refused for a reason other than the image) the image is extracted with unsquashfs into a
// private folder instead; removing that folder is then the detach.
class SquashfsImageTool final : public ImageTool
{
public:
    // On PATH, or first beside the installer's own executable when besideFirst: the
    // self-contained release carries its own unsquashfs. Empty when not there.
    static QString findTool(const char *name, bool besideFirst = false);

    // The tools as found; empty when one is not installed. fusermount3 is always the
    // system's: it works only as installed, set-user-id root.
    struct Paths
    {
        QString squashfuse = findTool("squashfuse", true);
        QString fusermount = findTool("fusermount3");
        QString unsquashfs = findTool("unsquashfs", true);
        QString fuseDevice = QStringLiteral("/dev/fuse");
        QString workDir; // where mount points and extractions go; empty: the image's folder
        int attachLimitMs = kAttachLimitMs;   // a mount ends by then
        int extractLimitMs = kExtractLimitMs; // an extraction, which copies every byte, by then
    };

    SquashfsImageTool();
    explicit SquashfsImageTool(Paths paths);

    std::optional<QString> attach(const QString &imagePath) override;
    void detach(const QString &mountPoint) override;

private:
    bool fuseUsable() const;
    std::optional<QString> mountWithFuse(const QString &imagePath, const QString &workDir,
                                         bool *fuseRefused);
    std::optional<QString> extract(const QString &imagePath, const QString &workDir);

    Paths m_paths;
    QString m_extractedVolume; // set while the attached volume is an extraction
    QString m_extractionFolder;
};

} // namespace install
