#include "responsedecision.h"

#include "resumestate.h"

#include <QDateTime>

namespace download {

namespace {

bool isHttpDate(const QByteArray &value)
{
    // The one form servers send (IMF-fixdate); the obsolete ones are not worth a resumption.
    return QDateTime::fromString(QString::fromLatin1(value),
                                 QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .isValid();
}

bool isEntityTag(const QByteArray &value)
{
    return value.size() >= 2 && value.startsWith('"') && value.endsWith('"');
}

// What If-Range may carry: a strong entity tag, or a date when the server gave no entity tag at
// all. Anything else the server would not recognise, so nothing could be continued with it.
QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    if (!etag.isEmpty())
        return isEntityTag(etag) ? etag : QByteArray();
    return isHttpDate(lastModified) ? lastModified : QByteArray();
}

ResponseDecision restart(const QString &why)
{
    ResponseDecision d;
    d.use = ResponseDecision::Restart;
    d.why = why;
    return d;
}

// The held bytes may be continued only by the rest of the very same file. A server that
// ignores If-Range answers a changed file with a 206 all the same; only the validator it
// sends along tells, so the 206 has to name the version held, not merely not contradict it.
ResponseDecision continuation(const ResponseHead &head, const HeldBytes &held)
{
    const auto range = parseContentRange(head.header("Content-Range"));
    if (!range)
        return restart(QStringLiteral("206 without a usable Content-Range"));
    if (range->first != held.from || range->total != held.total)
        return restart(QStringLiteral("206 for bytes %1-%2/%3, expected %4-/%5")
                           .arg(range->first)
                           .arg(range->last)
                           .arg(range->total)
                           .arg(held.from)
                           .arg(held.total));
    if (held.validator.isEmpty() &&
        head.header("Accept-Ranges").compare("none", Qt::CaseInsensitive)) {
        ResponseDecision d;
        d.use = ResponseDecision::Continuation;
        d.total = range->total;
        d.validator = strongValidator(head.header("ETag"), head.header("Last-Modified"));
        d.rangesServed = true;
        return d;
    }
    const bool heldEtag = isEntityTag(held.validator);
    if (!heldEtag && !isHttpDate(held.validator))
        return restart(QStringLiteral("no usable validator held"));
    const QByteArray named = head.header(heldEtag ? "ETag" : "Last-Modified");
    if (named != held.validator)
        return restart(named.isEmpty() ? QStringLiteral("206 that does not name its version")
                                       : QStringLiteral("206 of another version of the file"));
    if (head.header("Accept-Ranges").compare("none", Qt::CaseInsensitive) == 0)
        return restart(QStringLiteral("server does not serve ranges"));
    ResponseDecision d;
    d.use = ResponseDecision::Continuation;
    d.total = range->total;
    d.validator = held.validator;
    d.rangesServed = true;
    return d;
}

} // namespace

QByteArray ResponseHead::header(const QByteArray &name) const
{
    QByteArray value;
    bool seen = false;
    for (const auto &[n, v] : headers) {
        if (n.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (seen)
            value += ", ";
        value += v;
        seen = true;
    }
    return value;
}

ResponseDecision decideResponse(const ResponseHead &head, const HeldBytes &held)
{
    ResponseDecision d;
    if (head.status < 200 || head.status > 299) {
        if (held.from > 0 && head.status == 416)
            return restart(QStringLiteral("416"));
        return d; // an error page is never the file
    }
    if (head.status == 206 && held.from > 0)
        return continuation(head, held);
    if (head.status == 206) {
        // Not asked for a range: only the whole file in one piece will do.
        const auto range = parseContentRange(head.header("Content-Range"));
        if (!range || range->first != 0 || range->last != range->total - 1) {
            d.use = ResponseDecision::Refuse;
            d.why = QStringLiteral("partial content that was not asked for");
            return d;
        }
        d.total = range->total;
    } else {
        bool ok = false;
        const qint64 length = head.header("Content-Length").toLongLong(&ok);
        d.total = ok && length >= 0 && head.header("Transfer-Encoding").isEmpty() ? length : -1;
    }
    // Any other 2xx answers the whole file: whatever was held is replaced from byte 0.
    d.use = ResponseDecision::WholeFile;
    d.validator = strongValidator(head.header("ETag"), head.header("Last-Modified"));
    d.rangesServed = head.header("Accept-Ranges").toLower().contains("bytes");
    return d;
}

} // namespace download
