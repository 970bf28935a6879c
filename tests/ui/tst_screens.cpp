// The window drawn offscreen over stand-in stages: geometry, colours, texts, states and clicks of
// each screen; with QM_SCREENS_DIR set it also saves what it drew (README, Screens).
#include "controller/mainwindowcontroller.h"
#include "controller/setupflow.h"
#include "fakestages.h"
#include "l10n/localization.h"
#include "testmain.h"
#include "ui/closebutton.h"
#include "ui/dotsview.h"
#include "ui/flippedview.h"
#include "ui/imagefit.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <ranges>

using namespace l10n;
using namespace ui;
using namespace testsupport;

// Results name only what the row needs; GCC 12 warns of the rest in designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const QColor kBackground(245, 245, 245), kAccent(1, 155, 220), kHover(1, 129, 184),
    kLink(62, 123, 250);
// The window is made on a desktop in Canadian French, then German, in the POSIX form. Qt reads
// the system's languages once per process and keeps them, so they are set before main, whatever
// LANG says.
[[maybe_unused]] const bool kDesktopLanguages = qputenv("LANGUAGE", "fr_CA:de");

class TestScreens : public QObject
{
    Q_OBJECT

    QTemporaryDir m_private;
    FakeDownload *m_download = nullptr;
    FakeInstall *m_install = nullptr;
    std::unique_ptr<MainWindowController> c;

    QColor pixel(int x, int y) // in points, also on a 2x screen (QT_SCALE_FACTOR=2)
    {
        const QImage shot = c->window()->grab().toImage();
        return shot.pixelColor(QPoint(x, y) * shot.devicePixelRatio());
    }
    void snap(const QString &name) // also as NAME.png in QM_SCREENS_DIR, when set
    {
        const QString dir = qEnvironmentVariable("QM_SCREENS_DIR");
        QVERIFY(dir.isEmpty() ||
                (QDir().mkpath(dir) && c->window()->grab().save(dir + '/' + name + ".png")));
    }
    void setLanguage(qint64 index) // as the user does, in the pop-up
    {
        c->langPopup->setCurrentIndex(int(index));
        emit c->langPopup->activated(int(index));
    }

private slots:
    void init()
    {
        c = std::make_unique<MainWindowController>(
            fakeParts(m_download, m_install, m_private.path(), 0.01));
    }
    void cleanup() { c.reset(); }

    // The window at start, in the desktop's language: its frame; frame, font pixel size and
    // boldness and colour of texts, hidden flag and parent of a view of each kind in each panel,
    // and of each hidden one. Then shown: its close decision, fill colours, the Install button's
    // hover and cursor rules, keyboard reach, the settings panel, the install screen.
    void window()
    {
        InstallerWindow *w = c->window();
        QCOMPARE(std::tuple(c->L().code, c->langPopup->currentIndex(), c->langPopup->count()),
                 std::tuple(QString("fr"), 2, 9));
        QCOMPARE(std::tuple(w->minimumSize(), w->maximumSize(), w->windowTitle()),
                 std::tuple(QSize(640, 368), QSize(640, 368), QString("Quillmarsh")));
        QVERIFY((w->windowFlags() & Qt::FramelessWindowHint) &&
                w->closeButton()->geometry().right() < 28 &&
                (w->geometry().center() - w->screen()->availableGeometry().center())
                        .manhattanLength() <= 2);
        using Look = std::tuple<QRect, int, bool, QColor, bool, QString>;
        const QColor body(51, 51, 51), none;
        const QList<std::pair<QWidget *, Look>> views{
            {c->brandLabel, {{60, 11, 120, 22}, 15, true, {59, 54, 99}, false, "root"}},
            {c->installButton, {{200, 208, 240, 48}, 0, false, none, false, "root"}},
            {c->detailLabel, {{0, 290, 640, 16}, 11, false, {128, 128, 128}, false, "root"}},
            {c->offlineLink, {{0, 320, 640, 18}, 12, false, kLink, true, "root"}},
            {c->settingsPanel, {{1, 368, 638, 148}, 0, false, none, true, "root"}},
            {c->langLabel, {{24, 14, 200, 16}, 12, false, body, false, "settingsPanel"}},
            {c->installView, {{1, 1, 638, 366}, 0, false, none, true, "root"}},
            {c->slideTitle, {{0, 20, 638, 24}, 16, true, body, false, "slidePanel"}},
            {c->instStatus, {{16, 325, 400, 16}, 12, false, body, false, "installView"}},
            {c->finishView, {{1, 1, 638, 366}, 0, false, none, true, "root"}},
        };
        for (const auto &[v, look] : views) {
            const bool text = std::get<1>(look) != 0;
            QCOMPARE(Look(v->geometry(), text ? v->font().pixelSize() : 0, text && v->font().bold(),
                          text ? v->palette().color(QPalette::WindowText) : QColor(), v->isHidden(),
                          v->parentWidget()->objectName()),
                     look);
        }
        QVERIFY(c->productLabel->alignment() & c->statusLabel->alignment() &
                c->offlineLink->alignment() & Qt::AlignHCenter);
        QVERIFY(c->privacyLink->alignment() & Qt::AlignLeft);
        QVERIFY(c->acceptCheck->isChecked() && c->installButton->isEnabled());

        setLanguage(0); // the saved screens are English
        const QRect closed = w->geometry();
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
        snap("main");
        int asked = 0; // the close button and every other close ask the one close decision
        w->shouldClose = [&] { return ++asked < 0; };
        QTest::mouseClick(w->closeButton(), Qt::LeftButton, {}, QPoint(7, 7));
        QVERIFY(!w->close() && w->isVisible() && asked == 2);

        // The Install button: a capsule, darker under the pointer. Disabled, it is grey and leaves
        // the cursor alone; the hover shows as soon as it is enabled again.
        QCOMPARE((QList<QColor>{pixel(600, 100), pixel(201, 209), pixel(212, 232)}),
                 (QList<QColor>{kBackground, kBackground, kAccent}));
        auto hover = [&](bool enabled) { // the pointer comes in again
            QEvent leave(QEvent::Leave);
            QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
            c->acceptCheck->setChecked(enabled);
            QApplication::sendEvent(c->installButton, &leave);
            QApplication::sendEvent(c->installButton, &enter);
            return std::pair(pixel(212, 232), c->installButton->cursor().shape());
        };
        QCOMPARE(hover(true), std::pair(kHover, Qt::PointingHandCursor));
        QCOMPARE(hover(false), std::pair(QColor(207, 207, 207), Qt::ArrowCursor));
        c->acceptCheck->setChecked(true);
        QCOMPARE(pixel(212, 232), kHover);

        // A blank location warns and opens the settings panel, which a second try leaves open;
        // nothing is downloaded. Enter on the settings link closes it.
        c->locationField->setText(" \t ");
        for (int i = 0; i < 2; ++i) {
            QTest::mouseClick(c->installButton, Qt::LeftButton);
            const std::unique_ptr<QMessageBox> box(w->findChild<QMessageBox *>("alert"));
            QVERIFY(box && box->icon() == QMessageBox::Warning &&
                    box->informativeText() == c->L().chooseLocation);
        }
        QCOMPARE(std::tuple(c->settingsShown, w->geometry(), m_download->attempt.url),
                 std::tuple(true, closed.adjusted(0, 0, 0, 148), QString()));
        QTest::keyClick(c->settingsLink, Qt::Key_Return);

        // Tab reaches every control; Enter on the settings link opens the panel.
        QSet<QWidget *> reached;
        c->installButton->setFocus(Qt::TabFocusReason);
        for (int i = 0; i < 12; ++i, QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab))
            reached.insert(QApplication::focusWidget());
        QVERIFY(reached.contains(
            {c->installButton, c->acceptCheck, c->privacyLink, c->licenseLink, c->settingsLink}));
        QTest::keyClick(c->settingsLink, Qt::Key_Return);
        QCOMPARE((QList<QColor>{pixel(600, 500), pixel(0, 500)}),
                 (QList<QColor>{{247, 249, 251}, kBackground}));
        snap("settings");

        // The install screen closes the panel: slide panel, dots (the first active), root margin.
        c->showInstallView(true);
        QVERIFY(!c->settingsShown && c->settingsPanel->isHidden());
        QCOMPARE(std::pair(w->geometry(), c->root->height()), std::pair(closed, 368));
        QCOMPARE(
            (QList<QColor>{pixel(600, 100), pixel(450, 340), pixel(296, 266), pixel(312, 266),
                           pixel(0, 100)}),
            (QList<QColor>{{220, 237, 251}, kBackground, kAccent, {208, 208, 208}, kBackground}));
        emit c->flow()->progressChanged(450);
        emit c->flow()->statusChanged(c->L().installingWait + "  45%");
        snap("install");
        emit c->flow()->failed(SetupFlow::Failure::Download, c->L().netCertExpired); // the longest
        snap("failed");
        // The offline image would fail the check the same way: not offered, nor alerted.
        emit c->flow()->failed(SetupFlow::Failure::Unverified, c->L().imageUnverified);
        QVERIFY(!c->offlineLink->isVisible() && !w->findChild<QMessageBox *>("alert"));
        c->showFinishView();
        QCOMPARE(pixel(212, 232), kAccent);
        snap("finish");
    }

    void language_data()
    {
        QTest::addColumn<qint64>("lang");
        for (qint64 i = 0; i < Localization::all().size(); ++i)
            QTest::newRow(qPrintable(Localization::all().at(i).code)) << i;
    }
    // Every text in the language, the links styled; the agree row laid out with 6-point gaps from
    // the check box, each sized to fit, the settings link's right edge at 624, y never moved. After
    // a failure the agree row stays hidden, the button says Retry in the language chosen then, and
    // Retry clears the failure's texts and locks the inputs; once done, the button keeps its title.
    void language()
    {
        QFETCH(qint64, lang);
        setLanguage(lang);
        const UIStrings &s = Localization::all().at(lang);
        QVERIFY(logText().contains("UI: language changed to " + s.langName));
        const qint64 next = (lang + 1) % Localization::all().size();
        for (LinkLabel *l : {c->privacyLink, c->licenseLink, c->settingsLink, c->offlineLink})
            QCOMPARE(std::tuple(l->palette().color(QPalette::WindowText), l->font().underline(),
                                l->font().pixelSize(), l->font().bold()),
                     std::tuple(kLink, true, 12, false));
        const QList<QWidget *> agreeRow{c->acceptCheck, c->privacyLink, c->andLabel, c->licenseLink,
                                        c->settingsLink};
        QPoint at(24, 328); // the check box's; each next 6 points right of the one before, at y 329
        for (QWidget *v : agreeRow.first(4)) {
            QVERIFY(v->pos() == at && v->width() >= v->sizeHint().width());
            at = QPoint(v->x() + v->width() + 6, 329);
        }
        QCOMPARE(c->settingsLink->geometry().topRight(), QPoint(623, 329));
        c->settingsClicked();
        snap("settings-" + s.code);
        QCOMPARE(
            (QStringList{c->acceptCheck->text(), c->privacyLink->text(), c->andLabel->text(),
                         c->licenseLink->text(), c->settingsLink->text(), c->offlineLink->text(),
                         c->langLabel->text(), c->pathLabel->text(), c->browseButton->text(),
                         c->hideButton->text(), c->installButton->title(), c->startButton->title(),
                         c->langPopup->currentText()}),
            (QStringList{s.readAgreed, s.privacy, s.andWord, s.license, s.installSetting,
                         s.offlineLink, s.selectLanguage, s.installPath, s.browse, s.btnHide,
                         s.btnInstall, s.btnStartNow, s.langName}));

        c->flow()->install(QStringLiteral("/nowhere"));
        m_download->completion({.httpStatus = 404});
        setLanguage(next);
        QCOMPARE(c->installButton->title(), Localization::all().at(next).btnRetry);
        QVERIFY(std::ranges::all_of(agreeRow, &QWidget::isHidden));
        c->flow()->install(QStringLiteral("/nowhere")); // through the flow's own way to its end
        QVERIFY(!c->installView->isHidden() && c->statusLabel->text().isEmpty() &&
                c->offlineLink->isHidden() && !c->langPopup->isEnabled());
        m_download->completion({.status = DownloadResult::Status::Saved});
        m_install->completion({.status = InstallResult::Status::Installed});
        setLanguage(lang);
        QCOMPARE(std::pair(c->installButton->title(), c->startButton->title()),
                 std::pair(Localization::all().at(next).btnRetry, s.btnStartNow));
    }

    // Pictures are built in at twice their shown size, for 2x screens, and read when their screen
    // first shows. Slides 0, 1, 2, 3, 0 every 3.5 s; a dot click shows its slide and starts a fresh
    // wait; hiding stops the show; each showing starts at the first slide, on top. A language with
    // fewer captions or a missing picture shows them empty.
    void installScreen()
    {
        QLabel *finishIcon = c->finishView->findChild<QLabel *>(QStringLiteral("product"));
        QVERIFY(c->slideImages.isEmpty() && finishIcon->pixmap().isNull());
        c->showInstallView(true);
        QVERIFY(c->slideImages.size() == 4 &&
                std::ranges::none_of(c->slideImages, &QPixmap::isNull));
        QList<qint64> seen{c->slideIndex};
        connect(c->slideTimer, &QTimer::timeout, this, [&] { seen.append(c->slideIndex); });
        QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 5, 10000);
        QCOMPARE(seen.mid(0, 5), (QList<qint64>{0, 1, 2, 3, 0}));

        QTimer *first = c->slideTimer;
        QTest::mouseClick(c->dots, Qt::LeftButton, {}, QPoint(2 + 32 + 4, 7)); // the third dot
        QCOMPARE(std::tuple(c->slideIndex, c->dots->activeIndex(), c->slideTitle->text()),
                 std::tuple(qint64(2), qint64(2), c->L().slides.value(2)));
        QVERIFY(c->slideTimer != first && c->slideTimer->isActive());

        c->showInstallView(false);
        const qint64 hiddenAt = c->slideIndex;
        QTest::qWait(c->scaledMs(3.5) * 3);
        QCOMPARE(c->slideIndex, hiddenAt);
        c->showInstallView(true);
        QCOMPARE(std::tuple(c->slideIndex, c->dots->activeIndex(), c->slideTitle->text()),
                 std::tuple(qint64(0), qint64(0), c->L().slides.value(0)));
        QCOMPARE(c->root->children().last(), c->installView);
        c->showFinishView();
        QVERIFY(c->root->children().last() == c->finishView && !c->finishView->isHidden() &&
                !finishIcon->pixmap().isNull());
        const QPixmap sharp = fitPixmap(c->slideImages.at(3), QSize(280, 190), 2.0);
        QCOMPARE(std::tuple(c->image("brand").size(), sharp.size(), sharp.deviceIndependentSize()),
                 std::tuple(QSize(48, 48), QSize(560, 380), QSizeF(280, 190)));

        c->slideImages = {c->slideImages.at(0)};
        c->setSlide(2);
        QVERIFY(c->slideImageView->pixmap().isNull());
        c->setSlide(7);
        QVERIFY(c->slideTitle->text().isEmpty());
        c->advanceSlide();
        QVERIFY(c->slideIndex == 0 && !c->slideImageView->pixmap().isNull());
    }
};

QM_TEST_MAIN(TestScreens)
#include "tst_screens.moc"
