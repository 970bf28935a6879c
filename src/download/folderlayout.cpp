#include "folderlayout.h"

#include <QFileInfo>

namespace download::layout {

QString imageFile(const QString &folder)
{
    return folder + QStringLiteral("/quillmarsh_setup.dmg");
}

QString signatureFile(const QString &imageFile)
{
    return imageFile + QStringLiteral(".sig");
}

QString stateFile(const QString &imageFile)
{
    return imageFile + QStringLiteral(".resume");
}

QString partialPrefix(const QString &imageFile)
{
    return QFileInfo(imageFile).fileName() + QStringLiteral(".part-");
}

QString stateScratchFile(const QString &stateFile)
{
    return stateFile + QStringLiteral(".new");
}

} // namespace download::layout
