#include "ui/dotsview.h"
#include "ui/flippedview.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QSignalSpy>
#include <QTest>

class TestControls : public QObject
{
    Q_OBJECT

private slots:
    void roundedButtonClick_data();
    void roundedButtonClick();
    void roundedButtonHover_data();
    void roundedButtonHover();
    void roundedButtonCapsule();
    void roundedButtonKeyboard();
    void dotHitTest_data();
    void dotHitTest();
    void dotClickAndKeys();
    void dotDrawing();
    void flippedViewDrawing();
    void linkLabel();
    void accessibility();

private:
    static QImage render(QWidget *w)
    {
        QImage img(w->size(), QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        w->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
        return img;
    }
};

// Press and release, each inside or outside, with the enabled state at each moment.
void TestControls::roundedButtonClick_data()
{
    QTest::addColumn<bool>("enabledAtPress");
    QTest::addColumn<bool>("enabledAtRelease");
    QTest::addColumn<QPoint>("releaseAt");
    QTest::addColumn<int>("clicks");
    const QPoint inside(120, 24), outside(300, 24);
    QTest::newRow("press and release inside") << true << true << inside << 1;
    QTest::newRow("release outside") << true << true << outside << 0;
    QTest::newRow("disabled before release") << true << false << inside << 0;
    QTest::newRow("disabled press, enabled release") << false << true << inside << 0;
    QTest::newRow("disabled throughout") << false << false << inside << 0;
}

void TestControls::roundedButtonClick()
{
    QFETCH(bool, enabledAtPress);
    QFETCH(bool, enabledAtRelease);
    QFETCH(QPoint, releaseAt);
    QFETCH(int, clicks);

    QWidget top;
    top.resize(400, 100);
    RoundedButton button(QRect(0, 0, 240, 48), &top);
    top.show();
    QVERIFY(QTest::qWaitForWindowExposed(&top));
    QSignalSpy spy(&button, &RoundedButton::clicked);

    button.setEnabled(enabledAtPress);
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(120, 24));
    button.setEnabled(enabledAtRelease);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, releaseAt);
    QCOMPARE(spy.count(), clicks);
}

void TestControls::roundedButtonHover_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QColor>("hoverFace");
    QTest::addColumn<bool>("handCursor");
    QTest::newRow("enabled") << true << QColor(217, 69, 32) << true;
    QTest::newRow("disabled") << false << QColor(207, 207, 207) << false;
}

void TestControls::roundedButtonHover()
{
    QFETCH(bool, enabled);
    QFETCH(QColor, hoverFace);
    QFETCH(bool, handCursor);

    RoundedButton button(QRect(0, 0, 240, 48), nullptr);
    button.setEnabled(enabled);
    QCOMPARE(button.faceColor(), enabled ? QColor(243, 86, 39) : QColor(207, 207, 207));

    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
    QApplication::sendEvent(&button, &enter);
    QVERIFY(button.hover());
    QCOMPARE(button.faceColor(), hoverFace);
    QCOMPARE(render(&button).pixelColor(20, 24), hoverFace);
    // A disabled button leaves the cursor as it was.
    QCOMPARE(button.testAttribute(Qt::WA_SetCursor), handCursor);
    if (handCursor)
        QCOMPARE(button.cursor().shape(), Qt::PointingHandCursor);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    QVERIFY(!button.hover());
    QCOMPARE(button.cursor().shape(), Qt::ArrowCursor);

    // Hover taken while disabled shows as soon as the button is enabled again.
    QApplication::sendEvent(&button, &enter);
    button.setEnabled(true);
    QCOMPARE(button.faceColor(), QColor(217, 69, 32));
}

void TestControls::roundedButtonCapsule()
{
    RoundedButton button(QRect(0, 0, 120, 40), nullptr);
    QCOMPARE(button.effectiveRadius(), 20.0);
    button.setTitle(QStringLiteral("Go"));
    const QImage img = render(&button);
    QCOMPARE(img.pixelColor(0, 0).alpha(), 0);      // rounded away
    QCOMPARE(img.pixelColor(119, 39).alpha(), 0);
    QCOMPARE(img.pixelColor(4, 20), QColor(243, 86, 39));
    // The white title is centred.
    bool white = false;
    for (int x = 50; x < 70 && !white; ++x)
        for (int y = 12; y < 28 && !white; ++y)
            white = img.pixelColor(x, y).lightness() > 240;
    QVERIFY(white);
    button.setCornerRadius(5);
    QCOMPARE(button.effectiveRadius(), 5.0);
}

void TestControls::roundedButtonKeyboard()
{
    RoundedButton button(QRect(0, 0, 120, 40), nullptr);
    QSignalSpy spy(&button, &RoundedButton::clicked);
    QTest::keyClick(&button, Qt::Key_Space);
    QTest::keyClick(&button, Qt::Key_Return);
    QCOMPARE(spy.count(), 2);
    button.setEnabled(false);
    QTest::keyClick(&button, Qt::Key_Space);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(button.focusPolicy(), Qt::StrongFocus);
}

void TestControls::dotHitTest_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<qint64>("expected"); // -1: no dot
    QTest::newRow("second dot") << 95.0 << qint64(4) << qint64(1);
    QTest::newRow("gap after last dot") << 133.0 << qint64(4) << qint64(3);
    QTest::newRow("past the row") << 140.0 << qint64(4) << qint64(-1);
    QTest::newRow("first dot's left edge") << 72.0 << qint64(4) << qint64(0);
    QTest::newRow("truncated toward zero") << 60.0 << qint64(4) << qint64(0);
    QTest::newRow("a band left of the row") << 56.0 << qint64(4) << qint64(-1);
    QTest::newRow("no dots") << 100.0 << qint64(0) << qint64(-1);
}

void TestControls::dotHitTest()
{
    QFETCH(double, x);
    QFETCH(qint64, count);
    QFETCH(qint64, expected);
    const auto index = DotsView::dotIndexAt(x, 200, count);
    QCOMPARE(index.value_or(-1), expected);
}

void TestControls::dotClickAndKeys()
{
    DotsView dots;
    dots.resize(200, 14);
    dots.setCount(4);
    QList<qint64> selected;
    dots.onSelect = [&](qint64 i) { selected.append(i); };
    QTest::mouseClick(&dots, Qt::LeftButton, {}, QPoint(95, 2));
    QTest::mouseClick(&dots, Qt::LeftButton, {}, QPoint(140, 7));
    QCOMPARE(selected, QList<qint64>{1});
    QCOMPARE(dots.activeIndex(), 0); // the owner moves the highlight, not the view

    dots.setActiveIndex(3);
    QTest::keyClick(&dots, Qt::Key_Right);
    QTest::keyClick(&dots, Qt::Key_Left);
    QCOMPARE(selected, (QList<qint64>{1, 0, 2}));

    dots.setCount(0);
    QTest::mouseClick(&dots, Qt::LeftButton, {}, QPoint(95, 7));
    QCOMPARE(selected.size(), 3);
}

void TestControls::dotDrawing()
{
    DotsView dots;
    dots.resize(200, 14);
    dots.setCount(4);
    dots.setActiveIndex(2);
    QCOMPARE(DotsView::firstDotX(200, 4), 72.0);
    const QImage img = render(&dots);
    const QColor inactive(208, 208, 208), active(1, 155, 220);
    QCOMPARE(img.pixelColor(76, 7), inactive);
    QCOMPARE(img.pixelColor(92, 7), inactive);
    QCOMPARE(img.pixelColor(108, 7), active);
    QCOMPARE(img.pixelColor(124, 7), inactive);
    QCOMPARE(img.pixelColor(84, 7).alpha(), 0); // gap
    dots.setActiveIndex(9);
    QCOMPARE(render(&dots).pixelColor(108, 7), inactive);
    dots.setCount(0);
    QCOMPARE(render(&dots).pixelColor(76, 7).alpha(), 0);
}

void TestControls::flippedViewDrawing()
{
    FlippedView view;
    view.resize(20, 10);
    QImage img = render(&view);
    QCOMPARE(img.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(img.pixelColor(10, 5).alpha(), 0);
    view.setBackgroundColor(QColor(0, 255, 0));
    view.setBorderColor(QColor(255, 0, 0));
    img = render(&view);
    for (const QPoint p : {QPoint(0, 0), QPoint(19, 0), QPoint(0, 9), QPoint(19, 9), QPoint(10, 0)})
        QCOMPARE(img.pixelColor(p), QColor(255, 0, 0));
    QCOMPARE(img.pixelColor(1, 1), QColor(0, 255, 0));
    QCOMPARE(img.pixelColor(10, 5), QColor(0, 255, 0));
}

void TestControls::linkLabel()
{
    QWidget top;
    top.resize(300, 60);
    LinkLabel link(&top);
    link.setGeometry(0, 0, 200, 18);
    link.setText(QStringLiteral("Hi"));
    top.show();
    QVERIFY(QTest::qWaitForWindowExposed(&top));
    QSignalSpy spy(&link, &LinkLabel::clicked);
    QCOMPARE(link.cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(link.focusPolicy(), Qt::StrongFocus);
    QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(190, 9)); // far from the glyphs
    QCOMPARE(spy.count(), 1);
    QTest::mousePress(&link, Qt::LeftButton, {}, QPoint(10, 9));
    QTest::mouseRelease(&link, Qt::LeftButton, {}, QPoint(250, 40));
    QCOMPARE(spy.count(), 1);
    QTest::keyClick(&link, Qt::Key_Return);
    QTest::keyClick(&link, Qt::Key_Space);
    QCOMPARE(spy.count(), 3);
}

void TestControls::accessibility()
{
    LinkLabel link;
    link.setText(QStringLiteral("Privacy Policy"));
    RoundedButton button(QRect(0, 0, 100, 40), nullptr);
    button.setTitle(QStringLiteral("Install"));
    DotsView dots;
    dots.setCount(4);

    QAccessibleInterface *l = QAccessible::queryAccessibleInterface(&link);
    QAccessibleInterface *b = QAccessible::queryAccessibleInterface(&button);
    QAccessibleInterface *d = QAccessible::queryAccessibleInterface(&dots);
    QVERIFY(l && b && d);
    QCOMPARE(l->role(), QAccessible::Link);
    QCOMPARE(l->text(QAccessible::Name), QStringLiteral("Privacy Policy"));
    QCOMPARE(b->role(), QAccessible::Button);
    QCOMPARE(b->text(QAccessible::Name), QStringLiteral("Install"));
    QCOMPARE(d->role(), QAccessible::PageTabList);

    QSignalSpy spy(&button, &RoundedButton::clicked);
    QVERIFY(b->actionInterface());
    b->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCOMPARE(spy.count(), 1);
}

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
