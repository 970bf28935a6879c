#include "imagetool.h"

#include "squashfsimagetool.h"
#include "toolrunner.h"

#include "diag/itlog.h"

#include <QVariant>
#include <QXmlStreamReader>

namespace install {

namespace {

// Reads the value whose start element the reader stands on, up to its end element. Strings
// become QString; other scalars become types no caller mistakes for a string.
QVariant readPlistValue(QXmlStreamReader &xml, bool &ok)
{
    const QStringView name = xml.name();
    if (name == u"dict") {
        QVariantMap map;
        while (ok && xml.readNextStartElement()) {
            if (xml.name() != u"key") {
                ok = false;
                break;
            }
            const QString key = xml.readElementText();
            if (!xml.readNextStartElement()) {
                ok = false;
                break;
            }
            map.insert(key, readPlistValue(xml, ok));
        }
        return map;
    }
    if (name == u"array") {
        QVariantList list;
        while (ok && xml.readNextStartElement())
            list.append(readPlistValue(xml, ok));
        return list;
    }
    if (name == u"string")
        return xml.readElementText();
    if (name == u"true" || name == u"false") {
        const bool value = name == u"true";
        xml.skipCurrentElement();
        return value;
    }
    if (name == u"integer" || name == u"real" || name == u"date" || name == u"data")
        return xml.readElementText().toUtf8();
    ok = false;
    return {};
}

} // namespace

std::optional<QString> mountPointFromAttachPlist(const QString &plist)
{
    QXmlStreamReader xml(plist.toUtf8());
    if (!xml.readNextStartElement() || xml.name() != u"plist" || !xml.readNextStartElement())
        return std::nullopt;
    bool ok = true;
    const QVariant root = readPlistValue(xml, ok);
    while (ok && !xml.atEnd())
        xml.readNext();
    if (!ok || xml.hasError() || root.typeId() != QMetaType::QVariantMap)
        return std::nullopt;

    const QVariantList entities = root.toMap().value(QStringLiteral("system-entities")).toList();
    for (const QVariant &entity : entities) {
        if (entity.typeId() != QMetaType::QVariantMap)
            continue;
        const QVariant mountPoint = entity.toMap().value(QStringLiteral("mount-point"));
        if (mountPoint.typeId() == QMetaType::QString && !mountPoint.toString().isEmpty())
            return mountPoint.toString();
    }
    return std::nullopt;
}

HdiutilImageTool::HdiutilImageTool(QString hdiutilPath) : m_hdiutil(std::move(hdiutilPath)) {}

std::optional<QString> HdiutilImageTool::attach(const QString &imagePath)
{
    std::optional<QString> output;
    const int rc = runTool(m_hdiutil,
                           {QStringLiteral("attach"), imagePath, QStringLiteral("-nobrowse"),
                            QStringLiteral("-noverify"), QStringLiteral("-readonly"),
                            QStringLiteral("-plist")},
                           &output, nullptr, QDeadlineTimer(kAttachLimitMs));
    if (rc != 0 || !output || output->isEmpty()) {
        ITLog("INST: hdiutil attach failed, rc=%d", rc);
        return std::nullopt;
    }
    return mountPointFromAttachPlist(*output);
}

void HdiutilImageTool::detach(const QString &mountPoint)
{
    if (mountPoint.isEmpty())
        return;
    ITLog("INST: detaching %@", mountPoint);
    if (runTool(m_hdiutil, {QStringLiteral("detach"), mountPoint, QStringLiteral("-quiet")},
                nullptr, nullptr, QDeadlineTimer(kDetachLimitMs)) != 0)
        runTool(m_hdiutil,
                {QStringLiteral("detach"), mountPoint, QStringLiteral("-force"),
                 QStringLiteral("-quiet")},
                nullptr, nullptr, QDeadlineTimer(kDetachLimitMs));
}

std::unique_ptr<ImageTool> createDefaultImageTool()
{
#ifdef Q_OS_MACOS
    return std::make_unique<HdiutilImageTool>();
#else
    return std::make_unique<SquashfsImageTool>();
#endif
}

} // namespace install
