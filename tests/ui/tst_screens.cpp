#include "app/installerwindow.h"
#include "controller/mainwindowcontroller.h"
#include "l10n/localization.h"
#include "platform/paths.h"
#include "ui/closebutton.h"
#include "ui/dotsview.h"
#include "ui/flippedview.h"
#include "ui/imagefit.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

QWidget *viewNamed(const MainWindowController &c, const QString &name)
{
    const QHash<QString, QWidget *> views{
        {"brandLabel", c.brandLabel}, {"productLabel", c.productLabel},
        {"installButton", c.installButton}, {"statusLabel", c.statusLabel},
        {"detailLabel", c.detailLabel}, {"offlineLink", c.offlineLink},
        {"settingsPanel", c.settingsPanel}, {"langLabel", c.langLabel},
        {"langPopup", c.langPopup}, {"pathLabel", c.pathLabel},
        {"locationField", c.locationField}, {"browseButton", c.browseButton},
        {"installView", c.installView}, {"slideTitle", c.slideTitle},
        {"slideImageView", c.slideImageView}, {"dots", c.dots}, {"progress", c.progress},
        {"instStatus", c.instStatus}, {"hideButton", c.hideButton},
        {"finishView", c.finishView}, {"finishName", c.finishName},
        {"startButton", c.startButton}};
    return views.value(name);
}

QColor textColor(const QWidget *w)
{
    return w->palette().color(QPalette::WindowText);
}

} // namespace

class TestScreens : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void window();
    void frames_data();
    void frames();
    void initialState();
    void texts_data();
    void texts();
    void agreeRow_data();
    void agreeRow();
    void hideAgreeRow();
    void installButtonTitleOnceDone();
    void pixels();
    void slideshowOrder();
    void dotClickRestartsWait();
    void eachShowingStartsAtSlideZero();
    void installClosesSettingsPanel();
    void keyboardReachesEveryControl();
    void missingSlidesAndCaptions();
    void images();

private:
    QColor pixel(const QPoint &p) { return c->window()->grab().toImage().pixelColor(p); }
    std::unique_ptr<MainWindowController> c;
};

void TestScreens::initTestCase()
{
    platform::setResourceDirectory(QStringLiteral(QM_RESOURCE_DIR));
}

void TestScreens::init()
{
    c = std::make_unique<MainWindowController>();
    c->setTimeScale(0.01);
}

void TestScreens::cleanup()
{
    c.reset();
}

void TestScreens::window()
{
    InstallerWindow *w = c->window();
    QCOMPARE(w->size(), QSize(640, 368));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(w->windowTitle(), QStringLiteral("Quillmarsh"));
    const QPoint offCentre = w->geometry().center() - w->screen()->availableGeometry().center();
    QVERIFY(offCentre.manhattanLength() <= 2);
    QCOMPARE(w->contentView(), c->root);
    QVERIFY(w->closeButton()->geometry().right() < 28);
    QCOMPARE(c->root->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size(), 16);
    QVERIFY(c->destFile.endsWith(QStringLiteral("/quillmarsh_setup.dmg")));
    QCOMPARE(c->destFile, platform::privateDirectory() + QStringLiteral("/quillmarsh_setup.dmg"));

    // The close button asks the one close decision.
    int asked = 0;
    w->shouldClose = [&] { ++asked; return false; };
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTest::mouseClick(w->closeButton(), Qt::LeftButton, {}, QPoint(7, 7));
    QCOMPARE(asked, 1);
    QVERIFY(w->isVisible());
}

void TestScreens::frames_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<int>("fontSize"); // 0: not checked
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QColor>("color"); // invalid: not checked
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<QString>("parent");

    const QColor body(51, 51, 51), link(62, 123, 250), none;
    QTest::newRow("brandLabel") << QRect(60, 11, 120, 22) << 15 << true << QColor(59, 54, 99) << false << "root";
    QTest::newRow("productLabel") << QRect(0, 162, 640, 30) << 21 << false << body << false << "root";
    QTest::newRow("installButton") << QRect(200, 208, 240, 48) << 0 << false << none << false << "root";
    QTest::newRow("statusLabel") << QRect(0, 268, 640, 16) << 12 << false << body << false << "root";
    QTest::newRow("detailLabel") << QRect(0, 290, 640, 16) << 11 << false << QColor(128, 128, 128) << false << "root";
    QTest::newRow("offlineLink") << QRect(0, 320, 640, 18) << 12 << false << link << true << "root";
    QTest::newRow("settingsPanel") << QRect(1, 368, 638, 148) << 0 << false << none << true << "root";
    QTest::newRow("langLabel") << QRect(24, 14, 200, 16) << 12 << false << body << false << "settingsPanel";
    QTest::newRow("langPopup") << QRect(24, 34, 200, 26) << 0 << false << none << false << "settingsPanel";
    QTest::newRow("pathLabel") << QRect(24, 74, 200, 16) << 12 << false << body << false << "settingsPanel";
    QTest::newRow("locationField") << QRect(24, 94, 492, 24) << 0 << false << none << false << "settingsPanel";
    QTest::newRow("browseButton") << QRect(524, 92, 90, 28) << 0 << false << none << false << "settingsPanel";
    QTest::newRow("installView") << QRect(1, 1, 638, 366) << 0 << false << none << true << "root";
    QTest::newRow("slideTitle") << QRect(0, 20, 638, 24) << 16 << true << body << false << "slidePanel";
    QTest::newRow("slideImageView") << QRect(179, 60, 280, 190) << 0 << false << none << false << "slidePanel";
    QTest::newRow("dots") << QRect(289, 258, 60, 14) << 0 << false << none << false << "slidePanel";
    QTest::newRow("progress") << QRect(16, 307, 606, 8) << 0 << false << none << false << "installView";
    QTest::newRow("instStatus") << QRect(16, 325, 400, 16) << 12 << false << body << false << "installView";
    QTest::newRow("hideButton") << QRect(534, 320, 90, 28) << 0 << false << none << false << "installView";
    QTest::newRow("finishView") << QRect(1, 1, 638, 366) << 0 << false << none << true << "root";
    QTest::newRow("finishName") << QRect(0, 161, 638, 30) << 21 << false << body << false << "finishView";
    QTest::newRow("startButton") << QRect(199, 207, 240, 48) << 0 << false << none << false << "finishView";
}

void TestScreens::frames()
{
    QFETCH(QRect, frame);
    QFETCH(int, fontSize);
    QFETCH(bool, bold);
    QFETCH(QColor, color);
    QFETCH(bool, hidden);
    QFETCH(QString, parent);

    const QWidget *w = viewNamed(*c, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(w->geometry(), frame);
    QCOMPARE(w->isHidden(), hidden);
    QCOMPARE(w->parentWidget()->objectName(), parent);
    if (fontSize) {
        QCOMPARE(w->font().pixelSize(), fontSize);
        QCOMPARE(w->font().bold(), bold);
    }
    if (color.isValid())
        QCOMPARE(textColor(w), color);
}

void TestScreens::initialState()
{
    QVERIFY(c->acceptCheck->isChecked());
    QVERIFY(c->installButton->isEnabled());
    QCOMPARE(c->installButton->fillColor(), QColor(1, 155, 220));
    QCOMPARE(c->installButton->hoverColor(), QColor(1, 129, 184));
    QCOMPARE(c->installButton->cornerRadius(), 0.0);
    QCOMPARE(c->installButton->fontSize(), 15.0);
    QCOMPARE(c->startButton->fillColor(), QColor(1, 155, 220));
    QCOMPARE(c->acceptCheck->font().pixelSize(), 12);
    QCOMPARE(c->progress->minimum(), 0);
    QCOMPARE(c->progress->maximum(), 1000);
    QVERIFY(!c->progress->isTextVisible());
    QCOMPARE(c->dots->count(), 4);
    QCOMPARE(c->slideImages.size(), 4);
    QVERIFY(!c->slideTimer);
    QCOMPARE(c->locationField->text(), platform::defaultInstallFolder());
    QVERIFY(QDir::isAbsolutePath(c->locationField->text()));
    QCOMPARE(c->brandLabel->text(), QStringLiteral("Quillmarsh"));
    QCOMPARE(c->finishName->text(), QStringLiteral("Quillmarsh"));
    QVERIFY(c->statusLabel->text().isEmpty());
    QVERIFY(c->detailLabel->text().isEmpty());
    QVERIFY(c->productLabel->alignment() & Qt::AlignHCenter);
    QVERIFY(c->offlineLink->alignment() & Qt::AlignHCenter);
    QVERIFY(c->privacyLink->alignment() & Qt::AlignLeft);

    // Stacking: main controls, then the settings panel, the install screen, the finish screen.
    const QObjectList kids = c->root->children();
    const auto pos = [&](QObject *o) { return kids.indexOf(o); };
    QVERIFY(pos(c->settingsLink) < pos(c->settingsPanel));
    QVERIFY(pos(c->settingsPanel) < pos(c->installView));
    QVERIFY(pos(c->installView) < pos(c->finishView));

    // The language pop-up lists the table in order with the current language selected.
    const QList<UIStrings> &langs = Localization::all();
    QCOMPARE(c->langPopup->count(), langs.size());
    for (int i = 0; i < langs.size(); ++i)
        QCOMPARE(c->langPopup->itemText(i), langs.at(i).langName);
    QCOMPARE(c->langPopup->currentIndex(), int(c->langIndex));
}

void TestScreens::texts_data()
{
    QTest::addColumn<qint64>("lang");
    for (qint64 i = 0; i < Localization::all().size(); ++i)
        QTest::newRow(qPrintable(Localization::all().at(i).code)) << i;
}

void TestScreens::texts()
{
    QFETCH(qint64, lang);
    c->langIndex = lang;
    c->applyLanguage();
    const UIStrings &s = Localization::all().at(lang);
    QCOMPARE(c->acceptCheck->text(), s.readAgreed);
    QCOMPARE(c->privacyLink->text(), s.privacy);
    QCOMPARE(c->andLabel->text(), s.andWord);
    QCOMPARE(c->licenseLink->text(), s.license);
    QCOMPARE(c->settingsLink->text(), s.installSetting);
    QCOMPARE(c->offlineLink->text(), s.offlineLink);
    QCOMPARE(c->langLabel->text(), s.selectLanguage);
    QCOMPARE(c->pathLabel->text(), s.installPath);
    QCOMPARE(c->browseButton->text(), s.browse);
    QCOMPARE(c->hideButton->text(), s.btnHide);
    QCOMPARE(c->installButton->title(), s.btnInstall);
    QCOMPARE(c->startButton->title(), s.btnStartNow);
    QCOMPARE(c->brandLabel->text(), QStringLiteral("Quillmarsh"));
    QVERIFY(c->statusLabel->text().isEmpty());
    for (LinkLabel *link : {c->privacyLink, c->licenseLink, c->settingsLink, c->offlineLink}) {
        QCOMPARE(textColor(link), QColor(62, 123, 250));
        QVERIFY(link->font().underline());
        QCOMPARE(link->font().pixelSize(), 12);
        QVERIFY(!link->font().bold());
    }
}

void TestScreens::agreeRow_data()
{
    texts_data();
}

void TestScreens::agreeRow()
{
    QFETCH(qint64, lang);
    c->langIndex = lang;
    c->applyLanguage();
    const QRect check = c->acceptCheck->geometry();
    QCOMPARE(check.topLeft(), QPoint(24, 328));
    QCOMPARE(c->privacyLink->x(), check.x() + check.width() + 6);
    QCOMPARE(c->andLabel->x(), c->privacyLink->x() + c->privacyLink->width() + 6);
    QCOMPARE(c->licenseLink->x(), c->andLabel->x() + c->andLabel->width() + 6);
    QCOMPARE(c->settingsLink->x() + c->settingsLink->width(), 624);
    for (QWidget *w : {static_cast<QWidget *>(c->privacyLink), static_cast<QWidget *>(c->andLabel),
                       static_cast<QWidget *>(c->licenseLink), static_cast<QWidget *>(c->settingsLink)})
        QCOMPARE(w->y(), 329);
    // Sized to fit: each element is as wide as its text needs.
    QVERIFY(c->privacyLink->width() >= c->privacyLink->fontMetrics().horizontalAdvance(c->privacyLink->text()));
    QVERIFY(check.width() > c->acceptCheck->fontMetrics().horizontalAdvance(c->acceptCheck->text()));

    // Back and forth gives the same frames.
    const QRect licence = c->licenseLink->geometry();
    c->langIndex = (lang + 1) % Localization::all().size();
    c->applyLanguage();
    c->langIndex = lang;
    c->applyLanguage();
    QCOMPARE(c->licenseLink->geometry(), licence);
}

void TestScreens::hideAgreeRow()
{
    c->offlineLink->show();
    c->hideAgreeRow();
    for (QWidget *w : {static_cast<QWidget *>(c->acceptCheck), static_cast<QWidget *>(c->privacyLink),
                       static_cast<QWidget *>(c->andLabel), static_cast<QWidget *>(c->licenseLink),
                       static_cast<QWidget *>(c->settingsLink)})
        QVERIFY(w->isHidden());
    QVERIFY(!c->offlineLink->isHidden());
    c->langIndex = 1;
    c->applyLanguage();
    QVERIFY(c->settingsLink->isHidden());
    QVERIFY(c->acceptCheck->isHidden());
    QCOMPARE(c->settingsLink->x() + c->settingsLink->width(), 624);
}

void TestScreens::installButtonTitleOnceDone()
{
    c->installButton->setTitle(QStringLiteral("kept"));
    c->done = true;
    c->langIndex = 2;
    c->applyLanguage();
    QCOMPARE(c->installButton->title(), QStringLiteral("kept"));
    QCOMPARE(c->startButton->title(), Localization::all().at(2).btnStartNow);
}

void TestScreens::pixels()
{
    InstallerWindow *w = c->window();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCOMPARE(pixel(QPoint(600, 100)), QColor(245, 245, 245));
    QCOMPARE(pixel(QPoint(212, 232)), QColor(1, 155, 220));

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(c->installButton, &enter);
    QCOMPARE(pixel(QPoint(212, 232)), QColor(1, 129, 184));
    c->acceptCheck->setChecked(false);
    c->installButton->setEnabled(false);
    QCOMPARE(pixel(QPoint(212, 232)), QColor(207, 207, 207));

    // Install screen: slide panel, dots (first one active) and the 1-pixel root margin.
    c->showInstallView(true);
    QCOMPARE(pixel(QPoint(600, 100)), QColor(220, 237, 251));
    QCOMPARE(pixel(QPoint(450, 340)), QColor(245, 245, 245));
    QCOMPARE(pixel(QPoint(296, 266)), QColor(1, 155, 220));
    QCOMPARE(pixel(QPoint(312, 266)), QColor(208, 208, 208));
    QCOMPARE(pixel(QPoint(0, 100)), QColor(245, 245, 245));
    c->showInstallView(false);

    // Settings panel, opened the way the settings link opens it.
    QRect frame = w->geometry();
    frame.setHeight(516);
    w->setFrame(frame);
    c->root->setGeometry(0, 0, 640, 516);
    c->settingsPanel->show();
    QCOMPARE(pixel(QPoint(600, 500)), QColor(247, 249, 251));
    QCOMPARE(pixel(QPoint(0, 500)), QColor(245, 245, 245));
}

void TestScreens::slideshowOrder()
{
    QList<qint64> seen;
    c->showInstallView(true);
    QVERIFY(c->slideTimer && c->slideTimer->isActive());
    QCOMPARE(c->slideTimer->interval(), c->scaledMs(3.5));
    seen.append(c->slideIndex);
    connect(c->slideTimer, &QTimer::timeout, this, [&] { seen.append(c->slideIndex); });
    QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 5, 10000);
    QCOMPARE(seen.mid(0, 5), (QList<qint64>{0, 1, 2, 3, 0}));

    c->showInstallView(false);
    QVERIFY(!c->slideTimer);
    const qint64 stopped = c->slideIndex;
    QTest::qWait(c->scaledMs(3.5) * 3);
    QCOMPARE(c->slideIndex, stopped);
}

void TestScreens::dotClickRestartsWait()
{
    c->setTimeScale(0.2); // 700 ms: long enough to tell a fresh wait from an old one
    c->showInstallView(true);
    QTimer *first = c->slideTimer;
    QTest::qWait(300);
    // Third dot: panel x 289 + first dot 2 + 2 steps of 16.
    QTest::mouseClick(c->dots, Qt::LeftButton, {}, QPoint(2 + 32 + 4, 7));
    QCOMPARE(c->slideIndex, qint64(2));
    QCOMPARE(c->dots->activeIndex(), qint64(2));
    QCOMPARE(c->slideTitle->text(), c->L().slides.value(2));
    QVERIFY(c->slideTimer && c->slideTimer != first);
    QVERIFY(c->slideTimer->remainingTime() > 500);
    QTRY_COMPARE_WITH_TIMEOUT(c->slideIndex, qint64(3), 5000);
}

void TestScreens::eachShowingStartsAtSlideZero()
{
    c->showInstallView(true);
    c->setSlide(3);
    c->showInstallView(false);
    QCOMPARE(c->slideIndex, qint64(3));
    c->showInstallView(true);
    QCOMPARE(c->slideIndex, qint64(0));
    QCOMPARE(c->dots->activeIndex(), qint64(0));
    QCOMPARE(c->slideTitle->text(), c->L().slides.value(0));
    const QImage expected = ui::fitPixmap(c->slideImages.at(0), QSize(280, 190),
                                          c->slideImageView->devicePixelRatioF()).toImage();
    QCOMPARE(c->slideImageView->pixmap().toImage(), expected);
    QVERIFY(!c->installView->isHidden());
    QCOMPARE(c->root->children().last(), c->installView);

    c->showFinishView();
    QCOMPARE(c->root->children().last(), c->finishView);
    QVERIFY(!c->finishView->isHidden());
}

void TestScreens::installClosesSettingsPanel()
{
    InstallerWindow *w = c->window();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    const QRect closed = w->geometry();
    c->settingsClicked();
    QCOMPARE(w->height(), 516);
    c->showInstallView(true);
    QVERIFY(!c->settingsShown);
    QVERIFY(c->settingsPanel->isHidden());
    QCOMPARE(w->geometry(), closed);
    QCOMPARE(c->root->height(), 368);
}

void TestScreens::missingSlidesAndCaptions()
{
    c->slideImages = {c->slideImages.at(0)};
    c->showInstallView(true);
    c->setSlide(2);
    QVERIFY(c->slideImageView->pixmap().isNull());
    c->setSlide(7); // past every caption
    QVERIFY(c->slideTitle->text().isEmpty());
    c->advanceSlide();
    QCOMPARE(c->slideIndex, qint64(0));
    QVERIFY(!c->slideImageView->pixmap().isNull());
}

void TestScreens::images()
{
    const QPixmap brand = c->image(QStringLiteral("brand"));
    QCOMPARE(brand.size(), QSize(48, 48));
    QCOMPARE(c->image(QStringLiteral("product")).size(), QSize(192, 192));
    QCOMPARE(c->image(QStringLiteral("slide4")).size(), QSize(560, 380));
    QVERIFY(c->image(QStringLiteral("no-such-picture")).isNull());
    // At 2x a 280 x 190 view gets the full 560 x 380 picture.
    const QPixmap sharp = ui::fitPixmap(c->image(QStringLiteral("slide1")), QSize(280, 190), 2.0);
    QCOMPARE(sharp.size(), QSize(560, 380));
    QCOMPARE(sharp.deviceIndependentSize(), QSizeF(280, 190));
}

void TestScreens::keyboardReachesEveryControl()
{
    InstallerWindow *w = c->window();
    w->show();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    c->installButton->setFocus(Qt::TabFocusReason);
    QSet<QWidget *> reached;
    for (int i = 0; i < 12; ++i) {
        reached.insert(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (QWidget *v : {static_cast<QWidget *>(c->installButton), static_cast<QWidget *>(c->acceptCheck),
                       static_cast<QWidget *>(c->privacyLink), static_cast<QWidget *>(c->licenseLink),
                       static_cast<QWidget *>(c->settingsLink)})
        QVERIFY2(reached.contains(v), qPrintable(v->objectName()));

    int opened = 0;
    connect(c->settingsLink, &LinkLabel::clicked, this, [&] { ++opened; });
    c->settingsLink->setFocus(Qt::TabFocusReason);
    QTest::keyClick(c->settingsLink, Qt::Key_Return);
    QCOMPARE(opened, 1);
    QVERIFY(c->settingsShown);
}

QTEST_MAIN(TestScreens)
#include "tst_screens.moc"
