#include "helddownload.h"

#include <QFileInfo>
#include <QUrl>

namespace download {

namespace {

QString baseOf(const QString &url)
{
    return url.left(url.lastIndexOf(u'/'));
}

} // namespace

HeldVerdict judgeHeldDownload(const HeldFacts &facts, const QString &imageFile)
{
    if (!facts.state)
        return {false, QStringLiteral("no usable resume state")};
    const ResumeState &s = *facts.state;
    const qint64 age = facts.nowMs - s.savedAtMs;
    if (age > kHeldForMs)
        return {false, QStringLiteral("older than 14 days")};
    if (age < -kClockSkewMs)
        return {false, QStringLiteral("saved in the future")};
    if (QUrl(s.url).fileName() != facts.imageName ||
        (!facts.signedImage && !facts.hosts.contains(baseOf(s.url))))
        return {false, QStringLiteral("from an address this program does not download from")};
    const bool whole = s.total > 0 && s.offset == s.total;
    if (!isPartialPathFor(s.partialPath, imageFile) ||
        !(facts.partialExists || (whole && facts.imageExists)))
        return {false, QStringLiteral("the bytes it describes are gone")};
    if (facts.signedImage && facts.signedSize != s.total)
        return {false, QStringLiteral("the signature file signs another size")};
    return {true, {}};
}

qsizetype heldHost(const HeldFacts &facts)
{
    if (!facts.state || facts.signedImage)
        return 0;
    return qMax<qsizetype>(0, facts.hosts.indexOf(baseOf(facts.state->url)));
}

} // namespace download
