#include "mainwindowcontroller.h"

#include "config.h"

#include "ui/dotsview.h"
#include "ui/flippedview.h"
#include "ui/imagefit.h"
#include "ui/palette.h"
#include "ui/roundedbutton.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

using namespace ui;

namespace controller {

namespace {

constexpr qint64 kSlideCount = 4;
constexpr double kSlideInterval = 3.5;

} // namespace

void MainWindowController::buildInstallView()
{
    installView = new FlippedView(root);
    installView->setObjectName(QStringLiteral("installView"));
    installView->setGeometry(1, 1, 638, 366);
    installView->setBackgroundColor(palette::kBackground);
    installView->hide();

    auto *slidePanel = new FlippedView(installView);
    slidePanel->setObjectName(QStringLiteral("slidePanel"));
    slidePanel->setGeometry(0, 0, 638, 295);
    slidePanel->setBackgroundColor(palette::kSlidePanel);

    slideTitle = label(QString(), QRect(0, 20, 638, 24), 16, palette::kBodyText, true, slidePanel);
    slideTitle->setAlignment(Qt::AlignCenter);

    slideImageView = new QLabel(slidePanel);
    slideImageView->setGeometry(179, 60, 280, 190);
    slideImageView->setAlignment(Qt::AlignCenter);

    dots = new DotsView(slidePanel);
    dots->setGeometry(289, 258, 60, 14);
    dots->setCount(kSlideCount);
    // The connection ends with the controller, so a late click never reaches a dead one.
    connect(dots, &DotsView::selected, this, [this](qint64 index) {
        setSlide(index);
        restartSlideTimer();
    });

    progress = new QProgressBar(installView);
    progress->setGeometry(16, 307, 606, 8);
    progress->setRange(0, kProgressMax);
    progress->setValue(0);
    progress->setTextVisible(false);

    instStatus =
        label(QString(), QRect(16, 325, 400, 16), 12, palette::kBodyText, false, installView);

    hideButton = new QPushButton(installView);
    hideButton->setGeometry(534, 320, 90, 28);
    hideButton->setAutoDefault(false);
    connect(hideButton, &QPushButton::clicked, this, &MainWindowController::minimizeClicked);
    // The slide pictures are loaded when the install screen is first shown, not at start-up.
}

void MainWindowController::buildFinishView()
{
    finishView = new FlippedView(root);
    finishView->setObjectName(QStringLiteral("finishView"));
    finishView->setGeometry(1, 1, 638, 366);
    finishView->setBackgroundColor(palette::kBackground);
    finishView->hide();

    // Its two pictures are read when it is first shown; each view is named after its picture.
    auto icon = [this](const QString &name, const QRect &frame) {
        auto *view = new QLabel(finishView);
        view->setObjectName(name);
        view->setGeometry(frame);
    };
    icon(QStringLiteral("brand"), QRect(28, 10, 24, 24));
    label(QStringLiteral(QUILLMARSH_PRODUCT_NAME), QRect(60, 11, 120, 22), 15, palette::kBrandText,
          true, finishView);
    icon(QStringLiteral("product"), QRect(271, 57, 96, 96));
    finishName = label(QStringLiteral(QUILLMARSH_PRODUCT_NAME), QRect(0, 161, 638, 30), 21,
                       palette::kBodyText, false, finishView);
    finishName->setAlignment(Qt::AlignCenter);

    startButton = new RoundedButton(QRect(199, 207, 240, 48), finishView);
    startButton->setFillColor(palette::kAccent);
    startButton->setHoverColor(palette::kAccentHover);
    connect(startButton, &RoundedButton::clicked, this, &MainWindowController::startClicked);
}

void MainWindowController::showInstallView(bool show)
{
    if (!show) {
        if (slideTimer) {
            slideTimer->stop();
            slideTimer->deleteLater();
            slideTimer = nullptr;
        }
        installView->hide();
        return;
    }
    if (settingsShown)
        settingsClicked();
    if (slideImages.isEmpty()) {
        // Entries stay in place even when a picture is missing, so slide i keeps picture i + 1.
        slideImages.reserve(kSlideCount);
        for (qint64 i = 1; i <= kSlideCount; ++i)
            slideImages.append(image(QStringLiteral("slide%1").arg(i)));
    }
    setSlide(0);
    installView->show();
    installView->raise();
    restartSlideTimer();
}

// Slides and captions are looked up with bounds checks: a language with fewer captions, or a
// missing picture, shows an empty caption or picture for that slide instead of failing.
void MainWindowController::setSlide(qint64 index)
{
    slideIndex = index;
    const QStringList &captions = L().slides;
    const QString caption = index >= 0 && index < captions.size() ? captions.at(index) : QString();
    slideTitle->setText(caption);
    const QPixmap picture =
        index >= 0 && index < slideImages.size() ? slideImages.at(index) : QPixmap();
    ui::setImage(slideImageView, picture);
    slideImageView->setAccessibleName(caption);
    dots->setActiveIndex(index);
    dots->setAccessibleName(caption);
}

void MainWindowController::restartSlideTimer()
{
    if (slideTimer) {
        slideTimer->stop();
        slideTimer->deleteLater();
    }
    slideTimer = new QTimer(this);
    slideTimer->setInterval(scaledMs(kSlideInterval));
    connect(slideTimer, &QTimer::timeout, this, &MainWindowController::advanceSlide);
    slideTimer->start();
}

void MainWindowController::advanceSlide()
{
    setSlide((slideIndex + 1) % kSlideCount);
}

void MainWindowController::showFinishView()
{
    for (const QString &name : {QStringLiteral("brand"), QStringLiteral("product")}) {
        auto *icon = finishView->findChild<QLabel *>(name, Qt::FindDirectChildrenOnly);
        if (icon && icon->pixmap().isNull())
            ui::setImage(icon, image(name));
    }
    finishView->show();
    finishView->raise();
}

} // namespace controller
