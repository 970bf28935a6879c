// slides.json: a broken file leaves every language without captions, never a crash.
#include "l10n/localization.h"
#include "l10n/slidecaptions.h"

#include <QFile>

#include <cstdint>
#include <unistd.h>

using namespace l10n;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString path =
        QStringLiteral("/tmp/qm-fuzz-slides-%1.json").arg(QString::number(::getpid()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    QList<UIStrings> records = Localization::all();
    loadSlideCaptions(path, records);
    return 0;
}
