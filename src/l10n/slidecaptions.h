#pragma once

#include "uistrings.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace l10n {

// The captions we ship, compiled into the program (resources/slides.json).
inline constexpr char kSlideCaptionsResource[] = ":/quillmarsh/slides.json";

// What loading the slide captions did, for the log.
struct SlideCaptionsResult
{
    quint64 languages = 0;        // top-level members of the file, whatever they are
    quint64 fallbackCaptions = 0; // length of the "en" list
    QStringList logLines;         // the "L10N:" lines to write, in order
};

// Fills the slides of every record from the captions file at path (a file or a resource); an
// empty path means the program was built without the captions. A record whose code has no array of
// its own gets the "en" array; a missing or broken file leaves every record with no captions.
SlideCaptionsResult loadSlideCaptions(const QString &path, QList<UIStrings> &records);

} // namespace l10n
