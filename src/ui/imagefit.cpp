#include "imagefit.h"

#include <QLabel>

namespace ui {

QPixmap fitPixmap(const QPixmap &source, const QSize &box, qreal devicePixelRatio)
{
    if (source.isNull() || box.isEmpty())
        return {};
    const qreal dpr = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const QSize device = source.size().scaled(box * dpr, Qt::KeepAspectRatio);
    QPixmap fitted = source.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    fitted.setDevicePixelRatio(dpr);
    return fitted;
}

void setImage(QLabel *view, const QPixmap &source)
{
    if (source.isNull()) {
        view->clear();
        return;
    }
    view->setAlignment(Qt::AlignCenter);
    view->setPixmap(fitPixmap(source, view->size(), view->devicePixelRatioF()));
}

} // namespace ui
