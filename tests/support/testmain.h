#pragma once

#include "testsupport.h"

#include <QCoreApplication>
#include <QTest>
#if __has_include(<QApplication>) // the programs that build the window
#include <QApplication>
#endif

#include <curl/curl.h>

// Programs that link the diagnostics own their log writer and analytics poster as the installer
// does; the others have neither.
#if __has_include("diag/diagnostics.h")
#include "diag/diagnostics.h"
#define QM_TEST_DIAGNOSTICS diag::Diagnostics diagnostics;
#else
#define QM_TEST_DIAGNOSTICS
#endif

// QTEST_MAIN with libcurl set up first, before any thread, as the installer's own main does: the
// programs that build the window also send its analytics events.
#define QM_TEST_MAIN_WITH(Application, TestObject)                                                 \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        curl_global_init(CURL_GLOBAL_DEFAULT);                                                     \
        Application app(argc, argv);                                                               \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        QM_TEST_DIAGNOSTICS                                                                        \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
#define QM_TEST_MAIN(TestObject) QM_TEST_MAIN_WITH(QApplication, TestObject)
#define QM_TEST_GUILESS_MAIN(TestObject) QM_TEST_MAIN_WITH(QCoreApplication, TestObject)
