#include "app/readout_accessible.h"

#include <QAccessibleWidget>
#include <QWidget>

namespace app {
namespace {

constexpr const char* kClockProperty = "tavrinReadsAsOneClock";
constexpr const char* kPartProperty = "tavrinPartOfTheClock";

class ClockAccessible final : public QAccessibleWidget {
public:
    // A label to screen readers: they pass over the "unknown" role that AT-SPI gives a clock.
    explicit ClockAccessible(QWidget* panel) : QAccessibleWidget(panel, QAccessible::StaticText) {}

    int childCount() const override { return static_cast<int>(Children().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QWidgetList children = Children();
        return index >= 0 && index < children.size() ? QAccessible::queryAccessibleInterface(children[index]) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child ? static_cast<int>(Children().indexOf(child->object())) : -1;
    }

private:
    QWidgetList Children() const
    {
        QWidgetList children;
        for (QObject* object : widget()->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (child && !child->isWindow() && !child->property(kPartProperty).toBool())
                children.append(child);
        }
        return children;
    }
};

QAccessibleInterface* ClockFactory(const QString& /*className*/, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget && widget->property(kClockProperty).toBool())
        return new ClockAccessible(widget);
    return nullptr;
}

} // namespace

void ReadAsOneClock(QWidget* panel, std::initializer_list<QWidget*> parts)
{
    static const bool installed = (QAccessible::installFactory(ClockFactory), true);
    (void)installed;
    panel->setProperty(kClockProperty, true);
    for (QWidget* part : parts)
        part->setProperty(kPartProperty, true);
}

} // namespace app
