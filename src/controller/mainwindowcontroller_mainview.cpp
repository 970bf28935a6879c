#include "mainwindowcontroller.h"

#include "config.h"

#include "ui/flippedview.h"
#include "ui/fonts.h"
#include "ui/imagefit.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/palette.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QImageReader>
#include <QLabel>

using namespace ui;

namespace controller {

namespace {

void setTextColor(QWidget *w, const QColor &color)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Text, color);
    w->setPalette(pal);
}

} // namespace

QFont MainWindowController::uiFont(double size, bool bold)
{
    return ui::interfaceFont(size, bold);
}

void MainWindowController::buildUI()
{
    root = new FlippedView;
    root->setObjectName(QStringLiteral("root"));
    root->setGeometry(0, 0, InstallerWindow::kWidth, InstallerWindow::kHeight);
    root->setBackgroundColor(palette::kBackground);
    m_window->setFont(ui::interfaceFont());
    m_window->setContentView(root);

    buildMainView();
    buildSettingsPanel();
    buildInstallView();
    buildFinishView();
}

QPixmap MainWindowController::image(const QString &name) const
{
    // Compiled into the program (resources/), and decoded afresh on every call. The reader is
    // told the format and not to guess it, so it uses Qt's own PNG decoder without loading
    // every image-format plugin first (a few milliseconds of start-up).
    QImageReader reader(QStringLiteral(":/quillmarsh/") + name + QStringLiteral(".png"), "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

QLabel *MainWindowController::imageView(const QString &name, const QRect &frame, QWidget *parent)
{
    auto *view = new QLabel(parent ? parent : root);
    view->setGeometry(frame);
    view->setAlignment(Qt::AlignCenter);
    ui::setImage(view, image(name));
    return view;
}

QLabel *MainWindowController::label(const QString &text, const QRect &frame, double size,
                                    const QColor &color, bool bold, QWidget *parent)
{
    auto *l = new QLabel(parent ? parent : root);
    l->setGeometry(frame);
    l->setTextFormat(Qt::PlainText);
    l->setTextInteractionFlags(Qt::NoTextInteraction);
    l->setAutoFillBackground(false);
    l->setFrameShape(QFrame::NoFrame);
    l->setText(text);
    l->setFont(uiFont(size, bold));
    setTextColor(l, color);
    return l;
}

LinkLabel *MainWindowController::link(const QString &text, const QRect &frame,
                                      void (MainWindowController::*action)(), QWidget *parent)
{
    auto *l = new LinkLabel(parent ? parent : root);
    l->setGeometry(frame);
    l->setText(text);
    connect(l, &LinkLabel::clicked, this, action);
    styleLink(l);
    return l;
}

void MainWindowController::styleLink(LinkLabel *link, bool centered)
{
    QFont f = uiFont(12, false);
    f.setUnderline(true);
    link->setFont(f);
    setTextColor(link, palette::kLinkText);
    link->setAlignment((centered ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
}

void MainWindowController::buildMainView()
{
    imageView(QStringLiteral("brand"), QRect(28, 10, 24, 24));
    brandLabel = label(QStringLiteral(QUILLMARSH_PRODUCT_NAME), QRect(60, 11, 120, 22), 15,
                       palette::kBrandText, true);
    imageView(QStringLiteral("product"), QRect(272, 58, 96, 96));
    productLabel = label(QStringLiteral(QUILLMARSH_PRODUCT_NAME), QRect(0, 162, 640, 30), 21,
                         palette::kBodyText, false);
    productLabel->setAlignment(Qt::AlignCenter);

    installButton = new RoundedButton(QRect(200, 208, 240, 48), root);
    installButton->setFillColor(palette::kAccent);
    installButton->setHoverColor(palette::kAccentHover);
    connect(installButton, &RoundedButton::clicked, this, &MainWindowController::installClicked);

    statusLabel = label(QString(), QRect(0, 268, 640, 16), 12, palette::kBodyText, false);
    statusLabel->setAlignment(Qt::AlignCenter);
    detailLabel = label(QString(), QRect(0, 290, 640, 16), 11, palette::kDetailText, false);
    detailLabel->setAlignment(Qt::AlignCenter);
    offlineLink = link(QString(), QRect(0, 320, 640, 18), &MainWindowController::offlineClicked);
    offlineLink->setAlignment(Qt::AlignCenter);
    offlineLink->hide();

    acceptCheck = new QCheckBox(root);
    acceptCheck->setGeometry(24, 328, 200, 20);
    acceptCheck->setFont(uiFont(12, false));
    acceptCheck->setChecked(true);
    connect(acceptCheck, &QCheckBox::toggled, this, &MainWindowController::acceptToggled);

    privacyLink = link(QString(), QRect(164, 329, 90, 18), &MainWindowController::privacyClicked);
    andLabel = label(QString(), QRect(250, 329, 30, 18), 12, palette::kBodyText, false);
    licenseLink = link(QString(), QRect(280, 329, 150, 18), &MainWindowController::licenseClicked);
    settingsLink =
        link(QString(), QRect(520, 329, 104, 18), &MainWindowController::settingsClicked);
}

} // namespace controller
