#pragma once

#include "resumestate.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace download {

// What an earlier run left of the image, as the private folder shows it now.
struct HeldFacts
{
    std::optional<ResumeState> state; // the resume state kept, when it decoded
    bool partialExists = false;       // the partial file it names is there
    bool imageExists = false;         // the image itself is there (arrived whole, never installed)
    qint64 nowMs = 0;                 // the present, ms since the epoch, UTC
    QString imageName;                // this processor's image: the last segment of its URL
    QStringList hosts;                // the download hosts' base URLs
    bool signedImage = false;         // a .sig checked again is held beside it
    qint64 signedSize = -1;           // the size that .sig signs
};

// Whether a later Install may continue the held bytes, and why not; what the held state names
// is checked again when the download opens it.
struct HeldVerdict
{
    bool accepted = false;
    QString why; // when refused
};

constexpr qint64 kHeldForMs = 14LL * 24 * 3600 * 1000; // a partial download older goes at start
constexpr qint64 kClockSkewMs = 24LL * 3600 * 1000;    // a state this far in the future is refused

HeldVerdict judgeHeldDownload(const HeldFacts &facts, const QString &imageFile);

// The host the held bytes tie an Install to: unsigned bytes go on where they came from (only
// that host's validator vouches for them); signed ones may come from any, so from the first.
qsizetype heldHost(const HeldFacts &facts);

} // namespace download
