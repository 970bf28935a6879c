#include "l10n/localization.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("%lld\n", static_cast<long long>(Localization::detectSystemLanguageIndex()));
    return 0;
}
