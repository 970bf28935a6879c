#pragma once

#include <QString>

namespace download {

// The names of the download's files in the private folder, each spelled here only: the flow,
// the downloader, the sweep's keep-list and the tests take them from here.
namespace layout {

QString imageFile(const QString &folder);           // the image, once whole
QString signatureFile(const QString &imageFile);    // its .sig
QString stateFile(const QString &imageFile);        // the resume state kept for a later run
QString partialPrefix(const QString &imageFile);    // file name a partial file starts with
QString stateScratchFile(const QString &stateFile); // written first, renamed over stateFile

} // namespace layout

} // namespace download
