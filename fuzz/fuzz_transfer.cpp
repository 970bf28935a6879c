// A response's headers come from the server: whatever they say, held bytes are continued only
// by the rest of the same version of the file (of the same size, for bytes of another host), and
// nothing but a 2xx is ever written.
// Input: a line "<bytes held> <whole size> <If-Range value>", the status line, header lines.
#include "download/responsedecision.h"
#include "download/resumestate.h"

#include <QDateTime>

#include <cstdint>
#include <cstdlib>

using namespace download;

namespace {

void check(const ResponseHead &head, const HeldBytes &held)
{
    const ResponseDecision d = decideResponse(head, held);
    const bool success = head.status >= 200 && head.status <= 299;
    const auto range = parseContentRange(head.header("Content-Range"));
    // What goes back as If-Range is a strong entity tag or a date, never anything else.
    const bool quoted =
        d.validator.size() >= 2 && d.validator.startsWith('"') && d.validator.endsWith('"');
    if (d.total < -1 || !(d.validator.isEmpty() || quoted ||
                          QDateTime::fromString(QString::fromLatin1(d.validator),
                                                QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
                              .isValid()))
        std::abort();
    switch (d.use) {
    case ResponseDecision::ErrorPage:
        if (success || (held.from > 0 && head.status == 416))
            std::abort();
        break;
    case ResponseDecision::Restart:
        if (held.from <= 0)
            std::abort();
        break;
    case ResponseDecision::Refuse:
        if (head.status != 206 || held.from > 0)
            std::abort();
        break;
    case ResponseDecision::Continuation: {
        // No validator held: bytes of another host, which only the signed digest vouches for.
        const bool crossing = held.validator.isEmpty();
        const QByteArray named =
            head.header(held.validator.startsWith('"') ? "ETag" : "Last-Modified");
        if (head.status != 206 || held.from <= 0 || !range || range->first != held.from ||
            range->total != held.total || d.total != held.total || d.total <= held.from ||
            (!crossing && (named != held.validator || d.validator != held.validator)))
            std::abort();
        break;
    }
    case ResponseDecision::WholeFile:
        if (!success || (head.status == 206 && (held.from > 0 || !range || range->first != 0 ||
                                                range->last + 1 != d.total)))
            std::abort();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayList lines =
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\n');
    const QByteArrayList state = lines.value(0).trimmed().split(' ');
    HeldBytes held{state.value(0).toLongLong(), state.value(1).toLongLong(),
                   state.mid(2).join(' ')};
    ResponseHead head;
    head.status = lines.value(1).split(' ').value(1).toLong();
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            head.headers.append({lines[i].left(colon), lines[i].mid(colon + 1).trimmed()});
    }
    check(head, held);
    held.from = 0; // the same answer to a first request
    check(head, held);
    return 0;
}
