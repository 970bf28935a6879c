#include "fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace ui {

QFont interfaceFont()
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    QStringList families{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                         QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"),
                         QStringLiteral("Arial")};
    families.append(f.families().isEmpty() ? QStringList{f.family()} : f.families());
    f.setFamilies(families);
    return f;
}

QFont interfaceFont(double pixelSize, bool bold)
{
    QFont f = interfaceFont();
    f.setPixelSize(qRound(pixelSize));
    f.setBold(bold);
    return f;
}

} // namespace ui
