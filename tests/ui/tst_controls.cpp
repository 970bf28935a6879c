// The window's own controls alone: clicks, keys, hit-testing, what a screen reader is told.
#include "testmain.h"
#include "ui/dotsview.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QSignalSpy>

using namespace ui;

class TestControls : public QObject
{
    Q_OBJECT

private slots:
    // Steps: "press X" and "release X" with the left button at (X, 9), "press action" (a screen
    // reader's), "key K", "enable", "disable". A button clicks on press and release inside while
    // enabled at both; a link anywhere in its frame. Both are named by their text.
    void clicks_data()
    {
        QTest::addColumn<bool>("link");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("clicks");
        QTest::newRow("press and release inside") << false << "press 120, release 120" << 1;
        QTest::newRow("release outside") << false << "press 120, release 300" << 0;
        QTest::newRow("disabled before release") << false << "press 120, disable, release 120" << 0;
        QTest::newRow("disabled press, enabled release")
            << false << "disable, press 120, enable, release 120" << 0;
        QTest::newRow("press action") << false << "press action" << 1;
        QTest::newRow("keys") << false << "key Space, key Return, key Enter" << 3;
        QTest::newRow("link, far from the glyphs") << true << "press 190, release 190" << 1;
    }
    void clicks()
    {
        QFETCH(bool, link);
        QFETCH(QString, steps);
        QFETCH(int, clicks);
        QWidget top;
        top.resize(400, 100);
        QWidget *w = link ? static_cast<QWidget *>(new LinkLabel(&top)) : new RoundedButton(&top);
        w->setGeometry(0, 0, link ? 200 : 240, link ? 18 : 48);
        w->setProperty("text", QStringLiteral("Hi")); // a link's glyphs end far left of x 190
        top.show();
        QVERIFY(QTest::qWaitForWindowExposed(&top));
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(w);
        QCOMPARE(std::tuple(w->focusPolicy(), a->role(), a->text(QAccessible::Name),
                            w->cursor().shape() == Qt::PointingHandCursor || !link),
                 std::tuple(Qt::StrongFocus, link ? QAccessible::Link : QAccessible::Button,
                            QString("Hi"), true));
        QSignalSpy spy(w, SIGNAL(clicked()));
        for (const QString &step : steps.split(", ")) {
            const QString arg = step.section(' ', 1);
            if (step == "press action")
                a->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
            else if (step.startsWith("press"))
                QTest::mousePress(w, Qt::LeftButton, {}, QPoint(arg.toInt(), 9));
            else if (step.startsWith("release"))
                QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(arg.toInt(), 9));
            else if (step.startsWith("key"))
                QTest::keyClick(w, QKeySequence(arg)[0].key());
            else
                w->setEnabled(step == "enable");
        }
        QCOMPARE(spy.count(), clicks);
    }

    // Each dot owns the 16-point band from its left edge over the gap after it; four dots in a
    // view 200 wide start at 72. A click reaches it in the screens test.
    void dotHitTest_data()
    {
        QTest::addColumn<double>("x");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected"); // -1: no dot
        QTest::newRow("gap after last dot") << 133.0 << 4 << 3;
        QTest::newRow("past the row") << 140.0 << 4 << -1;
        QTest::newRow("truncated toward zero") << 60.0 << 4 << 0;
        QTest::newRow("a band left of the row") << 56.0 << 4 << -1;
        QTest::newRow("no dots") << 100.0 << 0 << -1;
    }
    void dotHitTest()
    {
        QFETCH(double, x);
        QFETCH(int, count);
        QFETCH(int, expected);
        QCOMPARE(DotsView::dotIndexAt(x, 200, count).value_or(-1), expected);
    }

    // Arrow keys choose the neighbour, round the ends; the owner moves the highlight, not the view.
    void dotKeys()
    {
        DotsView dots;
        dots.setCount(4);
        dots.setActiveIndex(3);
        QList<qint64> selected;
        connect(&dots, &DotsView::selected, this, [&](qint64 i) { selected.append(i); });
        for (Qt::Key key : {Qt::Key_Right, Qt::Key_Left, Qt::Key_Home, Qt::Key_End})
            QTest::keyClick(&dots, key);
        QCOMPARE(selected, (QList<qint64>{0, 2, 0, 3}));
        QCOMPARE(dots.activeIndex(), 3);
        QCOMPARE(QAccessible::queryAccessibleInterface(&dots)->role(), QAccessible::PageTabList);
    }
};

QM_TEST_MAIN(TestControls)
#include "tst_controls.moc"
