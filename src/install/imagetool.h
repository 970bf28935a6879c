#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace install {

// Attaches a disk image read-only and reports where its volume can be read; detaches it again.
// Used from the installer's worker thread only, one attach followed by one detach.
class ImageTool
{
public:
    virtual ~ImageTool() = default;
    // Mount point of the image's volume, or nullopt when the image could not be attached.
    virtual std::optional<QString> attach(const QString &imagePath) = 0;
    // Never fails visibly; an empty mount point means there is nothing to detach.
    virtual void detach(const QString &mountPoint) = 0;
};

// How long a tool may take before it counts as hung and is stopped, so that no install stage
// runs without end: attaching reads little of the image, extracting reads all of it, detaching
// and clearing attributes are quick.
inline constexpr int kAttachLimitMs = 120'000;
inline constexpr int kExtractLimitMs = 900'000;
inline constexpr int kDetachLimitMs = 30'000;

// The tool the shipped program uses on this platform.
std::unique_ptr<ImageTool> createDefaultImageTool();

// macOS: "/usr/bin/hdiutil attach IMAGE -nobrowse -noverify -readonly -plist", and
// "detach MOUNTPOINT -quiet", retried once with "-force".
class HdiutilImageTool final : public ImageTool
{
public:
    explicit HdiutilImageTool(QString hdiutilPath = QStringLiteral("/usr/bin/hdiutil"));
    std::optional<QString> attach(const QString &imagePath) override;
    void detach(const QString &mountPoint) override;

private:
    QString m_hdiutil;
};

// The mount point of the first entity that carries a non-empty "mount-point" string under the
// top-level "system-entities" array of hdiutil's XML property list; nullopt when there is none
// or the text is not such a property list.
std::optional<QString> mountPointFromAttachPlist(const QString &plist);

} // namespace install
