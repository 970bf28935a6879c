#include "appdelegate.h"

#include "diag/itlog.h"

#include <QApplication>
#include <QTimer>

#include <curl/curl.h>

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    AppDelegate delegate;
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    app.exec();
    ITLogDrain();
    return 0;
}
