// Draws the installer's pictures (brand, product, slide1..slide4) at twice their shown size.
// Usage: quillmarsh-drawart OUTDIR   (the PNGs in resources/ are its output, committed)
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace {

const QColor kBrand(0x3B, 0x36, 0x63);
const QColor kAccent(0x01, 0x9B, 0xDC);
const QColor kLink(0x3E, 0x7B, 0xFA);
const QColor kPanel(0xDC, 0xED, 0xFB);
const QColor kLine(0xC9, 0xD3, 0xE0);
const QColor kWarm(0xF3, 0x56, 0x27);

// A quill feather lying along the x axis, nib at the origin, vane towards +x, length len.
QPainterPath featherPath(double len)
{
    QPainterPath p;
    const double w = len * 0.17;
    p.moveTo(len * 0.18, 0);
    p.cubicTo(len * 0.40, -w * 1.15, len * 0.85, -w * 0.95, len, -w * 0.15);
    p.cubicTo(len * 0.80, w * 0.25, len * 0.45, w * 0.65, len * 0.18, 0);
    p.closeSubpath();
    return p;
}

void drawQuill(QPainter &p, QPointF nib, double angleDeg, double len, const QColor &vane,
               const QColor &shaft)
{
    p.save();
    p.translate(nib);
    p.rotate(angleDeg);
    p.setPen(Qt::NoPen);
    p.setBrush(vane);
    p.drawPath(featherPath(len));
    // Barbs: a few light notches across the vane.
    p.setPen(QPen(QColor(255, 255, 255, 110), len * 0.012, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 5; ++i) {
        const double x = len * (0.38 + i * 0.11);
        p.drawLine(QPointF(x, -len * 0.01), QPointF(x + len * 0.07, -len * 0.12));
    }
    p.setPen(QPen(shaft, len * 0.025, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(len * 0.02, 0), QPointF(len * 0.98, -len * 0.02));
    // The nib.
    p.setPen(Qt::NoPen);
    p.setBrush(shaft);
    QPainterPath nibPath;
    nibPath.moveTo(0, 0);
    nibPath.lineTo(len * 0.09, -len * 0.025);
    nibPath.lineTo(len * 0.09, len * 0.025);
    nibPath.closeSubpath();
    p.drawPath(nibPath);
    p.restore();
}

void card(QPainter &p, const QRectF &r, const QColor &fill = Qt::white, double radius = 8)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(59, 54, 99, 28));
    p.drawRoundedRect(r.translated(0, 2.5), radius, radius);
    p.setBrush(fill);
    p.drawRoundedRect(r, radius, radius);
}

void textLines(QPainter &p, double x, double y, const QList<double> &widths, double gap,
               const QColor &color, double thickness = 4)
{
    p.setPen(QPen(color, thickness, Qt::SolidLine, Qt::RoundCap));
    for (double w : widths) {
        p.drawLine(QPointF(x, y), QPointF(x + w, y));
        y += gap;
    }
}

QImage canvas(int w, int h, double scale, QPainter &p)
{
    QImage img(int(w * scale), int(h * scale), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    p.begin(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    return img;
}

QImage brand()
{
    QPainter p;
    QImage img = canvas(24, 24, 2, p);
    p.setPen(Qt::NoPen);
    p.setBrush(kBrand);
    p.drawRoundedRect(QRectF(0, 0, 24, 24), 6, 6);
    drawQuill(p, QPointF(5.5, 18.5), -48, 19, Qt::white, kAccent);
    p.end();
    return img;
}

QImage product()
{
    QPainter p;
    QImage img = canvas(96, 96, 2, p);
    QLinearGradient g(0, 0, 0, 96);
    g.setColorAt(0, kBrand.lighter(125));
    g.setColorAt(1, kBrand);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(4, 4, 88, 88), 20, 20);
    // A page with a folded corner.
    QPainterPath page;
    page.moveTo(26, 18);
    page.lineTo(60, 18);
    page.lineTo(72, 30);
    page.lineTo(72, 78);
    page.lineTo(26, 78);
    page.closeSubpath();
    p.setBrush(QColor(0xFA, 0xFB, 0xFF));
    p.drawPath(page);
    p.setBrush(kPanel);
    QPainterPath fold;
    fold.moveTo(60, 18);
    fold.lineTo(60, 30);
    fold.lineTo(72, 30);
    fold.closeSubpath();
    p.drawPath(fold);
    textLines(p, 33, 38, {26, 32, 20}, 9, kLine, 3.2);
    p.setPen(QPen(kBrand, 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(33, 65), QPointF(46, 65));
    drawQuill(p, QPointF(48, 66), -52, 46, kAccent, QColor(0x1B, 0x2A, 0x4A));
    p.end();
    return img;
}

using Scene = std::function<void(QPainter &)>;

QImage slide(const Scene &scene)
{
    QPainter p;
    QImage img = canvas(280, 190, 2, p);
    scene(p);
    p.end();
    return img;
}

void writingScene(QPainter &p)
{
    card(p, QRectF(70, 14, 140, 166), Qt::white, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(kBrand);
    p.drawRoundedRect(QRectF(86, 30, 70, 7), 3.5, 3.5);
    textLines(p, 86, 52, {108, 100, 112, 94, 104}, 12, kLine);
    // The line being written, in ink.
    QPainterPath ink;
    ink.moveTo(86, 116);
    for (int i = 0; i < 6; ++i)
        ink.cubicTo(90 + i * 9, 110, 93 + i * 9, 122, 97 + i * 9, 116);
    p.setPen(QPen(kBrand, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(ink);
    drawQuill(p, QPointF(141, 117), -50, 96, kAccent, kBrand);
    // A few ink dots.
    p.setPen(Qt::NoPen);
    p.setBrush(kLink);
    p.drawEllipse(QPointF(50, 60), 4, 4);
    p.drawEllipse(QPointF(232, 150), 3, 3);
    p.setBrush(kWarm);
    p.drawEllipse(QPointF(238, 40), 3.5, 3.5);
}

void notesScene(QPainter &p)
{
    const struct
    {
        QRectF r;
        QColor tab;
        double angle;
    } cards[] = {
        {QRectF(16, 42, 92, 112), kLink, -7},
        {QRectF(172, 42, 92, 112), kWarm, 7},
        {QRectF(92, 22, 104, 140), kAccent, 0},
    };
    for (const auto &c : cards) {
        p.save();
        p.translate(c.r.center());
        p.rotate(c.angle);
        const QRectF r(-c.r.width() / 2, -c.r.height() / 2, c.r.width(), c.r.height());
        card(p, r, Qt::white, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(c.tab);
        p.drawRoundedRect(QRectF(r.left() + 12, r.top() + 12, 40, 7), 3.5, 3.5);
        // Outline: bullets with indented children.
        double y = r.top() + 34;
        for (int i = 0; i < 5 && y < r.bottom() - 10; ++i) {
            const double indent = (i % 3 == 1 || i % 3 == 2) && i > 0 ? 12 : 0;
            p.setPen(Qt::NoPen);
            p.setBrush(indent ? kLine : kBrand);
            p.drawEllipse(QPointF(r.left() + 16 + indent, y), 2.5, 2.5);
            p.setPen(
                QPen(indent ? kLine : QColor(0xA9, 0xB4, 0xC6), 4, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(r.left() + 24 + indent, y),
                       QPointF(r.right() - 14 - (i % 2) * 14, y));
            y += 17;
        }
        p.restore();
    }
}

void formatTile(QPainter &p, const QRectF &r, const QColor &color, const QString &text)
{
    card(p, r, Qt::white, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(r.left() + 8, r.bottom() - 22, r.width() - 16, 14), 4, 4);
    textLines(p, r.left() + 10, r.top() + 12, {r.width() - 22, r.width() - 30}, 8, kLine, 3);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(9);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(r.left() + 8, r.bottom() - 22, r.width() - 16, 14), Qt::AlignCenter, text);
}

void exportScene(QPainter &p)
{
    card(p, QRectF(30, 45, 82, 104), Qt::white, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(kBrand);
    p.drawRoundedRect(QRectF(42, 58, 40, 6), 3, 3);
    textLines(p, 42, 76, {56, 50, 58, 44, 52}, 11, kLine);
    // Arrows fanning out to the formats.
    const QPointF from(122, 97);
    const QPointF targets[] = {QPointF(176, 40), QPointF(176, 97), QPointF(176, 154)};
    for (const QPointF &t : targets) {
        QPainterPath arrow;
        arrow.moveTo(from);
        arrow.cubicTo(from + QPointF(26, 0), t - QPointF(26, 0), t);
        p.setPen(QPen(kAccent, 3, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawPath(arrow);
        p.setPen(Qt::NoPen);
        p.setBrush(kAccent);
        QPainterPath head;
        head.moveTo(t + QPointF(6, 0));
        head.lineTo(t + QPointF(-3, -5));
        head.lineTo(t + QPointF(-3, 5));
        head.closeSubpath();
        p.drawPath(head);
    }
    formatTile(p, QRectF(186, 14, 58, 52), kWarm, QStringLiteral("PDF"));
    formatTile(p, QRectF(186, 71, 58, 52), kLink, QStringLiteral("EPUB"));
    formatTile(p, QRectF(186, 128, 58, 52), kBrand, QStringLiteral("DOCX"));
}

void syncScene(QPainter &p)
{
    // Cloud with a shield and a tick.
    QPainterPath cloud;
    cloud.setFillRule(Qt::WindingFill);
    cloud.addEllipse(QPointF(122, 52), 24, 20);
    cloud.addEllipse(QPointF(146, 42), 26, 25);
    cloud.addEllipse(QPointF(170, 54), 20, 17);
    cloud.addRoundedRect(QRectF(100, 50, 90, 22), 11, 11);
    cloud = cloud.simplified();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(59, 54, 99, 28));
    p.drawPath(cloud.translated(0, 2.5));
    p.setBrush(Qt::white);
    p.drawPath(cloud);
    QPainterPath shield;
    shield.moveTo(146, 30);
    shield.lineTo(160, 35);
    shield.cubicTo(160, 52, 154, 60, 146, 65);
    shield.cubicTo(138, 60, 132, 52, 132, 35);
    shield.closeSubpath();
    p.setBrush(kAccent);
    p.drawPath(shield);
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(139.5, 46);
    tick.lineTo(144.5, 51.5);
    tick.lineTo(153, 40.5);
    p.drawPath(tick);

    // Laptop.
    card(p, QRectF(34, 104, 104, 62), kBrand, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(40, 110, 92, 50));
    textLines(p, 48, 120, {60, 70, 52, 64}, 10, kLine, 3);
    p.setBrush(kBrand.lighter(140));
    p.drawRoundedRect(QRectF(24, 166, 124, 8), 3, 3);
    // Phone.
    card(p, QRectF(206, 98, 46, 80), kBrand, 7);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(210, 106, 38, 62), 3, 3);
    textLines(p, 215, 116, {26, 22, 28, 18}, 10, kLine, 3);
    // Sync arrows between the devices and the cloud.
    p.setPen(QPen(kLink, 3, Qt::DashLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(96, 96), QPointF(116, 78));
    p.drawLine(QPointF(206, 92), QPointF(180, 76));
    p.setPen(Qt::NoPen);
    p.setBrush(kLink);
    p.drawEllipse(QPointF(96, 96), 3.5, 3.5);
    p.drawEllipse(QPointF(206, 92), 3.5, 3.5);
}

bool save(const QImage &img, const QString &dir, const char *name)
{
    const QString path = dir + u'/' + QLatin1String(name) + QStringLiteral(".png");
    if (img.save(path, "PNG"))
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    bool ok = save(brand(), dir, "brand") && save(product(), dir, "product");
    ok = ok && save(slide(writingScene), dir, "slide1") && save(slide(notesScene), dir, "slide2");
    ok = ok && save(slide(exportScene), dir, "slide3") && save(slide(syncScene), dir, "slide4");
    return ok ? 0 : 1;
}
