#include "diag/itformat.h"

#include <QTest>

class TestFormat : public QObject
{
    Q_OBJECT

private slots:
    void format_data();
    void format();
};

void TestFormat::format_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("expected");
    QTest::newRow("string") << ITFormat("dir=\"%@\"", QStringLiteral("/Applications"))
                            << "dir=\"/Applications\"";
    QTest::newRow("integers") << ITFormat("%d %ld %lld %lu", 1, -2L, qint64(3), quint64(4))
                              << "1 -2 3 4";
    QTest::newRow("rounded") << ITFormat("in %.0f ms", 2.0 * 1000) << "in 2000 ms";
    QTest::newRow("percent") << ITFormat("%ld%%", 45) << "45%";
    QTest::newRow("number for %@") << ITFormat("%@", 7) << "7";
    QTest::newRow("text for %ld") << ITFormat("%ld", "x") << "0";
    QTest::newRow("missing argument") << ITFormat("a %@ b") << "a  b";
    QTest::newRow("unknown conversion") << ITFormat("100%x") << "100%x";
    QTest::newRow("non-ASCII") << ITFormat("确定要退出 %@ 安装程序吗？", "Quillmarsh")
                               << "确定要退出 Quillmarsh 安装程序吗？";
}

void TestFormat::format()
{
    QFETCH(QString, result);
    QFETCH(QString, expected);
    QCOMPARE(result, expected);
}

QTEST_APPLESS_MAIN(TestFormat)
#include "tst_format.moc"
