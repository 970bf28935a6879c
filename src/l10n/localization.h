#pragma once

#include "uistrings.h"

#include <QList>

namespace l10n {

class Localization
{
public:
    // The nine records in table order; built once (with the slide captions) on first use.
    static const QList<UIStrings> &all();

    // Index 0..8 for the first preferred language of the user.
    static qint64 detectSystemLanguageIndex();

    // The rule itself, for one identifier such as "zh-Hant-TW"; an empty one counts as "en".
    static qint64 languageIndexFor(const QString &identifier);
};

} // namespace l10n
