#include "mainwindowcontroller.h"

#include "setupflow.h"

#include "l10n/localization.h"
#include "platform/paths.h"
#include "ui/flippedview.h"
#include "ui/linklabel.h"
#include "ui/palette.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace l10n;
using namespace ui;

namespace controller {

namespace {

constexpr int kAgreeGap = 6;
constexpr int kRightMargin = 16;

} // namespace

void MainWindowController::buildSettingsPanel()
{
    settingsPanel = new FlippedView(root);
    settingsPanel->setObjectName(QStringLiteral("settingsPanel"));
    settingsPanel->setGeometry(1, 368, 638, 148);
    settingsPanel->setBackgroundColor(palette::kPanelBackground);
    settingsPanel->hide();

    auto *separator = new QFrame(settingsPanel);
    separator->setGeometry(0, 0, 638, 1);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Plain);
    separator->setLineWidth(1);
    QPalette pal = separator->palette();
    pal.setColor(QPalette::WindowText, palette::kSeparator);
    separator->setPalette(pal);

    langLabel =
        label(QString(), QRect(24, 14, 200, 16), 12, palette::kBodyText, false, settingsPanel);

    langPopup = new QComboBox(settingsPanel);
    langPopup->setGeometry(24, 34, 200, 26);
    for (const UIStrings &lang : Localization::all())
        langPopup->addItem(lang.langName);
    langPopup->setCurrentIndex(static_cast<int>(m_flow->language()));
    // Only a choice made by the user is a language change; setting the index from code is not.
    connect(langPopup, &QComboBox::activated, this, &MainWindowController::languageChanged);

    pathLabel =
        label(QString(), QRect(24, 74, 200, 16), 12, palette::kBodyText, false, settingsPanel);

    locationField = new QLineEdit(settingsPanel);
    locationField->setGeometry(24, 94, 492, 24);
    locationField->setText(platform::defaultInstallFolder());

    browseButton = new QPushButton(settingsPanel);
    browseButton->setGeometry(524, 92, 90, 28);
    browseButton->setAutoDefault(false);
    connect(browseButton, &QPushButton::clicked, this, &MainWindowController::browseClicked);

    // The captions label their controls for screen readers.
    langLabel->setBuddy(langPopup);
    pathLabel->setBuddy(locationField);
}

void MainWindowController::applyLanguage()
{
    const UIStrings &s = L();

    acceptCheck->setText(s.readAgreed);
    acceptCheck->adjustSize();

    privacyLink->setText(s.privacy);
    styleLink(privacyLink);
    privacyLink->adjustSize();

    andLabel->setText(s.andWord);
    andLabel->adjustSize();

    licenseLink->setText(s.license);
    styleLink(licenseLink);
    licenseLink->adjustSize();

    settingsLink->setText(s.installSetting);
    styleLink(settingsLink);
    settingsLink->adjustSize();

    offlineLink->setText(s.offlineLink);
    styleLink(offlineLink, true);

    langLabel->setText(s.selectLanguage);
    pathLabel->setText(s.installPath);
    browseButton->setText(s.browse);
    hideButton->setText(s.btnHide);
    // After a failure the button starts the run again and says so, in the new language too.
    if (m_flow->state() == SetupFlow::State::Failed)
        installButton->setTitle(s.btnRetry);
    else if (m_flow->state() != SetupFlow::State::Finished)
        installButton->setTitle(s.btnInstall);
    startButton->setTitle(s.btnStartNow);

    langPopup->setAccessibleName(s.selectLanguage);
    locationField->setAccessibleName(s.installPath);

    layoutAgreeRow();
}

void MainWindowController::layoutAgreeRow()
{
    double x = acceptCheck->x() + acceptCheck->width() + kAgreeGap;
    place(privacyLink, x);
    x = privacyLink->x() + privacyLink->width() + kAgreeGap;
    place(andLabel, x);
    x = andLabel->x() + andLabel->width() + kAgreeGap;
    place(licenseLink, x);
    place(settingsLink, root->width() - settingsLink->width() - kRightMargin);
}

void MainWindowController::place(QWidget *view, double x)
{
    QRect frame = view->geometry();
    frame.moveLeft(qRound(x));
    view->setGeometry(frame);
}

void MainWindowController::hideAgreeRow()
{
    acceptCheck->hide();
    privacyLink->hide();
    andLabel->hide();
    licenseLink->hide();
    settingsLink->hide();
}

} // namespace controller
