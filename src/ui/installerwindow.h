#pragma once

#include <QWidget>

#include <functional>

namespace ui {

class CloseButton;

// The installer's one top-level window: frameless, 640 x 368 of content, centred, not resizable
// by the user. The whole window is content; the close button is drawn in the top-left corner and
// dragging the background moves the window. Every close request (the close button, Alt+F4, the
// window manager, close() from the flow) is routed through one decision function.
class InstallerWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 368;

    explicit InstallerWindow(QWidget *parent = nullptr);

    // Asked on every close request; true lets it close. Unset: the close goes ahead.
    std::function<bool()> shouldClose;
    // Told once the window is really closing.
    std::function<void()> willClose;

    // The window always accepts keyboard focus and activation.
    bool canBecomeKeyWindow() const { return true; }
    bool canBecomeMainWindow() const { return true; }

    // Makes view the content: placed at (0, 0), under the close button.
    void setContentView(QWidget *view);
    QWidget *contentView() const { return m_contentView; }
    CloseButton *closeButton() const { return m_closeButton; }

    // Moves and resizes the window at once (the size stays fixed for the user).
    void setFrame(const QRect &frame);
    // Centres the window on the screen it is on (the primary screen before it is shown).
    void center();

protected:
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    QWidget *m_contentView = nullptr;
    CloseButton *m_closeButton = nullptr;
};

} // namespace ui
