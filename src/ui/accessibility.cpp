#include "accessibility.h"

#include "closebutton.h"
#include "dotsview.h"
#include "flatbutton.h"
#include "linklabel.h"
#include "roundedbutton.h"

#include <QAccessibleWidget>

namespace ui {

namespace {

// A self-drawn button: its text is its name, and "press" clicks it as the mouse would.
class PressableAccessible : public QAccessibleWidget
{
public:
    PressableAccessible(QWidget *w, QAccessible::Role role) : QAccessibleWidget(w, role) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return button()->text();
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (widget()->isEnabled())
            names.prepend(pressAction());
        return names;
    }

    void doAction(const QString &name) override
    {
        if (name == pressAction())
            button()->click(); // nothing happens while disabled
        else
            QAccessibleWidget::doAction(name);
    }

private:
    FlatButton *button() const { return static_cast<FlatButton *>(widget()); }
};

class DotsAccessible : public QAccessibleWidget
{
public:
    explicit DotsAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::PageTabList) {}

    QString text(QAccessible::Text t) const override
    {
        const auto *dots = static_cast<const DotsView *>(widget());
        if (t == QAccessible::Value)
            return QStringLiteral("%1/%2").arg(dots->activeIndex() + 1).arg(dots->count());
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *w = static_cast<QWidget *>(object);
    if (className == QLatin1String(LinkLabel::staticMetaObject.className()))
        return new PressableAccessible(w, QAccessible::Link);
    if (className == QLatin1String(RoundedButton::staticMetaObject.className()) ||
        className == QLatin1String(CloseButton::staticMetaObject.className()))
        return new PressableAccessible(w, QAccessible::Button);
    if (className == QLatin1String(DotsView::staticMetaObject.className()))
        return new DotsAccessible(w);
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}

} // namespace ui
