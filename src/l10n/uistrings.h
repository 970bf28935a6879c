#pragma once

#include <QString>
#include <QStringList>

namespace l10n {

// One language's interface texts. Immutable once the table has been built.
struct UIStrings
{
    QString code;
    QString langName;
    QString readAgreed;
    QString privacy;
    QString andWord;
    QString license;
    QString installSetting;
    QString selectLanguage;
    QString installPath;
    QString browse;
    QString btnInstall;
    QString btnRetry;
    QString btnStartNow;
    QString btnHide;
    QString installingWait;
    QString cancelling;
    QString installInProgress;
    QString chooseLocation;
    QString offlineLink;
    QString installFailed;
    QString couldNotStart;
    QString installerError; // one "%ld" placeholder
    QString exitConfirm;    // one "%@" placeholder: the product name
    QString selectFolder;
    QString notEnoughSpace; // "%@" product, "%ld" megabytes, "%@" folder, in this order
    QString noPrivateFolder;
    QString imageUnverified; // the downloaded image failed its signature check
    // Why a download failed before any HTTP status, in the user's words.
    QString netHostNotFound;
    QString netNoConnection;
    QString netTimedOut;
    QString netConnectionLost;
    QString netCertUntrusted;
    QString netCertExpired;
    QString netCertWrongHost;
    QString netProxyAuth;
    QString netProxyFailed;
    QString netOther;
    QStringList slides;
};

} // namespace l10n
