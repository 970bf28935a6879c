// quillmarsh-bare-window: the yardstick of startup-bench.sh. An empty frameless window of the
// installer's size; prints "UI: window visible <ms since the epoch>" when it is first on screen,
// found the same way the installer finds it (first exposure handled), then keeps running.
#include <QApplication>
#include <QDateTime>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>

namespace {

class ExposeWatch : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && static_cast<QWindow *>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, [] {
                std::printf("UI: window visible %lld\n", QDateTime::currentMSecsSinceEpoch());
                std::fflush(stdout);
            });
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.setFixedSize(640, 368);
    ExposeWatch watch;
    window.winId();
    window.windowHandle()->installEventFilter(&watch);
    window.show();
    return app.exec();
}
