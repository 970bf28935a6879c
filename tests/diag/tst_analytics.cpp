#include <QTest>
class TestAnalytics : public QObject
{
    Q_OBJECT
};
QTEST_GUILESS_MAIN(TestAnalytics)
#include "tst_analytics.moc"
