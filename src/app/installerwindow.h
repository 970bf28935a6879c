#pragma once

#include <QWidget>

#include <functional>

// The installer's one top-level window: frameless, 640 x 368 of content, every close request
// routed through one decision function.
class InstallerWindow : public QWidget
{
    Q_OBJECT

public:
    explicit InstallerWindow(QWidget *parent = nullptr);

    // Asked on every close request (close button, Alt+F4, window manager); true lets it close.
    std::function<bool()> shouldClose;
    // Told once the window is really closing.
    std::function<void()> willClose;

protected:
    void closeEvent(QCloseEvent *event) override;
};
