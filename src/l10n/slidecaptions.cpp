#include "slidecaptions.h"

#include "diag/itformat.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace l10n {

namespace {

QStringList toStrings(const QJsonArray &array)
{
    QStringList out;
    out.reserve(array.size());
    for (const QJsonValue &v : array)
        out.append(v.toString());
    return out;
}

} // namespace

SlideCaptionsResult loadSlideCaptions(const QString &path, QList<UIStrings> &records)
{
    SlideCaptionsResult result;
    QJsonObject captions;
    bool valid = false;
    if (!path.isEmpty()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
            if (error.error == QJsonParseError::NoError && doc.isObject()) {
                captions = doc.object();
                valid = true;
            }
        }
    }
    if (!valid) {
        result.logLines << ITFormat("L10N: slides.json missing or invalid at %@",
                                    path.isEmpty() ? QStringLiteral("(not built in)") : path);
    }

    const QJsonValue en = captions.value(QStringLiteral("en"));
    const QStringList fallback = en.isArray() ? toStrings(en.toArray()) : QStringList();
    for (UIStrings &record : records) {
        const QJsonValue own = captions.value(record.code);
        record.slides = own.isArray() ? toStrings(own.toArray()) : fallback;
    }

    result.languages = static_cast<quint64>(captions.size());
    result.fallbackCaptions = static_cast<quint64>(fallback.size());
    result.logLines << ITFormat("L10N: slides loaded for %lu languages (en fallback: %lu captions)",
                                result.languages, result.fallbackCaptions);
    return result;
}

} // namespace l10n
