// Exits with the language index detected for argv[1] as the preference list (LANGUAGE).
#include "l10n/localization.h"

#include <QCoreApplication>

using namespace l10n;

int main(int argc, char **argv)
{
    qputenv("LANGUAGE", argc > 1 ? argv[1] : ""); // before Qt first reads the locale
    QCoreApplication app(argc, argv);
    return static_cast<int>(Localization::detectSystemLanguageIndex());
}
