// Quillmarsh sample: stands in for the real product in the demo and the end-to-end tests.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Quillmarsh"));

    // Tests ask for proof of life and an immediate exit instead of a window that stays open.
    const QString probe = qEnvironmentVariable("QUILLMARSH_SAMPLE_PROBE");
    if (!probe.isEmpty()) {
        QFile file(probe);
        if (file.open(QIODevice::WriteOnly))
            file.write(QCoreApplication::applicationFilePath().toUtf8() + '\n');
        return 0;
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("Quillmarsh is running"));
    auto *layout = new QVBoxLayout(&window);
    auto *text = new QLabel(QStringLiteral("Quillmarsh is running"));
    QFont font = text->font();
    font.setPointSize(18);
    font.setBold(true);
    text->setFont(font);
    text->setAlignment(Qt::AlignCenter);
    layout->addWidget(text);
    auto *note = new QLabel(QStringLiteral("This sample stands in for the real product."));
    note->setAlignment(Qt::AlignCenter);
    layout->addWidget(note);
    window.resize(360, 160);
    window.show();
    return app.exec();
}
