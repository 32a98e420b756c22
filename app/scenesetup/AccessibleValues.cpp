#include "AccessibleValues.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QMetaProperty>
#include <QQuickItem>
#include <QQuickWindow>

namespace {

constexpr char kValue[] = "accessibleValue";

// The item's `Accessible` attached object, which Qt Quick parents to the item.
QObject *attachedAccessible(const QObject *item)
{
    for (QObject *child : item->children()) {
        if (qstrcmp(child->metaObject()->className(), "QQuickAccessibleAttached") == 0)
            return child;
    }
    return nullptr;
}

// Tells assistive technology of each change of its parent's value.
class ValueNotifier : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

public slots:
    void changed()
    {
        QAccessibleValueChangeEvent event(parent(), parent()->property(kValue));
        QAccessible::updateAccessibility(&event);
    }
};

class ValueItem : public QAccessibleObject, public QAccessibleValueInterface
{
public:
    explicit ValueItem(QQuickItem *item)
        : QAccessibleObject(item)
    {
    }

    QQuickItem *item() const { return static_cast<QQuickItem *>(object()); }

    QWindow *window() const override { return item()->window(); }

    // The nearest ancestor in the tree, or the window for the scene's root.
    QAccessibleInterface *parent() const override
    {
        const QQuickWindow *w = item()->window();
        for (QQuickItem *p = item()->parentItem(); p; p = p->parentItem()) {
            if (w && p == w->contentItem())
                return QAccessible::queryAccessibleInterface(item()->window());
            if (QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(p))
                return iface;
        }
        return nullptr;
    }
    int childCount() const override { return 0; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override
    {
        const QObject *attached = attachedAccessible(object());
        switch (t) {
        case QAccessible::Name:
            return attached ? attached->property("name").toString() : QString();
        case QAccessible::Description:
            return attached ? attached->property("description").toString() : QString();
        case QAccessible::Value:
            return currentValue().toString();
        default:
            return QString();
        }
    }

    QAccessible::Role role() const override
    {
        const QObject *attached = attachedAccessible(object());
        bool ok = false;
        const int role = attached ? attached->property("role").toInt(&ok) : 0;
        return ok && role != QAccessible::NoRole ? QAccessible::Role(role) : QAccessible::StaticText;
    }

    QAccessible::State state() const override
    {
        const QQuickItem *i = item();
        QAccessible::State s;
        s.invisible = !i->window() || !i->window()->isVisible() || !i->isVisible() || qFuzzyIsNull(i->opacity());
        s.disabled = !i->isEnabled();
        s.readOnly = true;
        s.focusable = i->activeFocusOnTab();
        s.focused = i->hasActiveFocus();
        return s;
    }

    QRect rect() const override
    {
        const QQuickItem *i = item();
        if (!i->window() || !i->isVisible())
            return QRect();
        const QPoint topLeft = i->window()->mapToGlobal(i->mapToScene(QPointF(0, 0)).toPoint());
        return QRect(topLeft, QSize(int(i->width()), int(i->height())));
    }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleObject::interface_cast(t);
    }

    // Read-only: a reading is not set from outside.
    QVariant currentValue() const override { return object()->property(kValue); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return object()->property("accessibleMaximum"); }
    QVariant minimumValue() const override { return object()->property("accessibleMinimum"); }
    QVariant minimumStepSize() const override { return QVariant(); }
};

// Asked for every class of an object from the most derived one up; this
// answers at the first, before Qt Quick's own factory answers for QQuickItem.
QAccessibleInterface *valueItemFactory(const QString &className, QObject *object)
{
    auto *item = qobject_cast<QQuickItem *>(object);
    if (!item || className != QLatin1String(object->metaObject()->className()))
        return nullptr;
    const QMetaObject *mo = object->metaObject();
    const int index = mo->indexOfProperty(kValue);
    if (index < 0)
        return nullptr;
    if (!object->findChild<ValueNotifier *>(QString(), Qt::FindDirectChildrenOnly)) {
        auto *notifier = new ValueNotifier(object);
        const QMetaProperty property = mo->property(index);
        if (property.hasNotifySignal()) {
            const QMetaObject *nmo = notifier->metaObject();
            QObject::connect(object, property.notifySignal(), notifier, nmo->method(nmo->indexOfSlot("changed()")));
        }
    }
    return new ValueItem(item);
}

} // namespace

namespace scenesetup {

void installAccessibleValues()
{
    static const bool installed = [] {
        QAccessible::installFactory(valueItemFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace scenesetup

#include "AccessibleValues.moc"
