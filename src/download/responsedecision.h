#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace download {

// The headers of the final response of a request (after redirects and interim answers).
struct ResponseHead
{
    long status = 0;
    QList<QPair<QByteArray, QByteArray>> headers; // name, value without surrounding blanks

    // A header's value, case-insensitively by name; repeated ones joined with ", " as HTTP
    // combines a list, so that two different Content-Ranges or ETags are never read as one.
    QByteArray header(const QByteArray &name) const;
};

// What an attempt already holds of the file; from 0 when nothing.
struct HeldBytes
{
    qint64 from = 0;      // bytes held; > 0: Range and If-Range were sent
    qint64 total = 0;     // size of the whole file they belong to
    QByteArray validator; // the If-Range value: a strong ETag, else a Last-Modified date; empty:
                          // bytes from another host, which any 206 of the same size continues
                          // (only for signed images: their digest decides at the end)
};

struct ResponseDecision
{
    enum Use {
        ErrorPage,    // not 2xx: the body is never the file
        WholeFile,    // the file from byte 0; held bytes are dropped
        Continuation, // the rest of the held file, appended to it
        Restart,      // the held bytes cannot be continued: ask again from byte 0
        Refuse,       // a 2xx that cannot be the file
    };
    Use use = ErrorPage;
    qint64 total = -1;         // whole size of the file, -1 when unknown
    QByteArray validator;      // strong ETag, else Last-Modified; empty when none or weak
    bool rangesServed = false; // the server serves byte ranges of this file
    QString why;               // for Restart and Refuse
};

// Decides, from the headers alone, what the body of a response is to the file. Held bytes are
// continued only by a 206 for exactly the rest of the same version of the file: two versions
// are never spliced, also when the server ignores If-Range.
ResponseDecision decideResponse(const ResponseHead &head, const HeldBytes &held);

} // namespace download
