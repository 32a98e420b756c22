#include "AccessibleValues.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QGuiApplication>
#include <QMetaProperty>
#include <QQuickItem>
#include <QQuickWindow>

namespace {

constexpr char kValue[] = "accessibleValue";
constexpr char kRole[] = "accessibleRole";

// The item's `Accessible` attached object, which Qt Quick parents to the item.
QObject *attachedAccessible(const QObject *item)
{
    for (QObject *child : item->children()) {
        if (qstrcmp(child->metaObject()->className(), "QQuickAccessibleAttached") == 0)
            return child;
    }
    return nullptr;
}

// In the tree as Qt Quick builds it: accessible and not ignored.
bool inTree(const QQuickItem *item)
{
    const QObject *attached = attachedAccessible(item);
    return attached && !attached->property("ignored").toBool();
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

class SceneItem : public QAccessibleObject,
                  public QAccessibleValueInterface,
                  public QAccessibleTextInterface,
                  public QAccessibleActionInterface
{
public:
    SceneItem(QQuickItem *item, bool hasValue, bool isText)
        : QAccessibleObject(item)
        , m_hasValue(hasValue)
        , m_isText(isText)
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
            if (inTree(p))
                return QAccessible::queryAccessibleInterface(p);
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
            return m_isText ? content() : currentValue().toString();
        default:
            return QString();
        }
    }

    // A control's own role comes back on Qt 6.4 whatever `Accessible.role`
    // says; `accessibleRole` stays.
    QAccessible::Role role() const override
    {
        const QObject *attached = attachedAccessible(object());
        bool ok = false;
        const QVariant own = object()->property(kRole);
        const int role = own.isValid() ? own.toInt(&ok) : attached ? attached->property("role").toInt(&ok) : 0;
        if (ok && role != QAccessible::NoRole)
            return QAccessible::Role(role);
        return m_isText ? QAccessible::EditableText : QAccessible::StaticText;
    }

    QAccessible::State state() const override
    {
        const QQuickItem *i = item();
        QAccessible::State s;
        s.invisible = !i->window() || !i->window()->isVisible() || !i->isVisible() || qFuzzyIsNull(i->opacity());
        s.disabled = !i->isEnabled();
        s.focused = i->hasActiveFocus();
        if (m_isText) {
            s.readOnly = i->property("readOnly").toBool();
            s.editable = !s.readOnly;
            s.selectableText = true;
            s.focusable = true;
        } else {
            const QObject *attached = attachedAccessible(object());
            s.readOnly = m_hasValue;
            s.focusable = i->activeFocusOnTab();
            s.checkable = attached && attached->property("checkable").toBool();
            s.checked = attached && attached->property("checked").toBool();
        }
        return s;
    }

    QRect rect() const override { return screenRect(QRectF(0, 0, item()->width(), item()->height())); }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface && m_hasValue)
            return static_cast<QAccessibleValueInterface *>(this);
        if (t == QAccessible::TextInterface && m_isText)
            return static_cast<QAccessibleTextInterface *>(this);
        if (t == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface *>(this);
        return QAccessibleObject::interface_cast(t);
    }

    // Read-only: a reading or a box's value is not set from outside.
    QVariant currentValue() const override { return object()->property(kValue); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return object()->property("accessibleMaximum"); }
    QVariant minimumValue() const override { return object()->property("accessibleMinimum"); }
    QVariant minimumStepSize() const override { return QVariant(); }

    // The text of a text input, as shown (a password field's dots).
    QString content() const
    {
        return object()->property(object()->property("echoMode").toInt() == 0 ? "text" : "displayText").toString();
    }
    QString text(int startOffset, int endOffset) const override
    {
        const QString all = content();
        startOffset = qBound(0, startOffset, int(all.size()));
        endOffset = endOffset < 0 ? int(all.size()) : qBound(startOffset, endOffset, int(all.size()));
        return all.mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(content().size()); }
    int cursorPosition() const override { return object()->property("cursorPosition").toInt(); }
    void setCursorPosition(int position) override { object()->setProperty("cursorPosition", position); }
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        const bool any = selectionIndex == 0 && selectionCount() == 1;
        *startOffset = any ? object()->property("selectionStart").toInt() : 0;
        *endOffset = any ? object()->property("selectionEnd").toInt() : 0;
    }
    int selectionCount() const override
    {
        return object()->property("selectionStart").toInt() != object()->property("selectionEnd").toInt() ? 1 : 0;
    }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int) override { setCursorPosition(cursorPosition()); }
    void setSelection(int, int startOffset, int endOffset) override
    {
        QMetaObject::invokeMethod(object(), "select", Q_ARG(int, startOffset), Q_ARG(int, endOffset));
    }
    QRect characterRect(int offset) const override
    {
        QRectF r;
        QMetaObject::invokeMethod(object(), "positionToRectangle", Q_RETURN_ARG(QRectF, r), Q_ARG(int, offset));
        return screenRect(r);
    }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    // One run of default attributes over the whole text: that is what it has.
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        const int count = characterCount();
        *startOffset = offset < 0 || offset > count ? -1 : 0;
        *endOffset = offset < 0 || offset > count ? -1 : count;
        return QString();
    }

    // A button's press and toggle are its `Accessible` handlers'.
    QStringList actionNames() const override
    {
        QStringList names;
        const QAccessible::Role r = role();
        if (r == QAccessible::Button || r == QAccessible::CheckBox || r == QAccessible::RadioButton)
            names << pressAction();
        if (state().checkable)
            names << toggleAction();
        if (state().focusable)
            names << setFocusAction();
        return names;
    }
    void doAction(const QString &name) override
    {
        QObject *attached = attachedAccessible(object());
        if (name == setFocusAction())
            item()->forceActiveFocus(Qt::OtherFocusReason);
        else if (attached && (name == pressAction() || name == toggleAction()))
            QMetaObject::invokeMethod(attached, name == pressAction() ? "pressAction" : "toggleAction");
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QRect screenRect(const QRectF &local) const
    {
        const QQuickItem *i = item();
        if (!i->window() || !i->isVisible())
            return QRect();
        const QPointF topLeft = i->mapToScene(local.topLeft());
        return QRect(i->window()->mapToGlobal(topLeft.toPoint()), local.size().toSize());
    }

    bool m_hasValue;
    bool m_isText;
};

// Asked for every class of an object from the most derived one up; this
// answers at the first, before Qt Quick's own factory answers for QQuickItem.
QAccessibleInterface *sceneItemFactory(const QString &className, QObject *object)
{
    auto *item = qobject_cast<QQuickItem *>(object);
    if (!item || className != QLatin1String(object->metaObject()->className()))
        return nullptr;
    const QMetaObject *mo = object->metaObject();
    const int index = mo->indexOfProperty(kValue);
    const bool isText = object->inherits("QQuickTextInput");
    if (index < 0 && !isText && mo->indexOfProperty(kRole) < 0)
        return nullptr;
    if (index >= 0 && !object->findChild<ValueNotifier *>(QString(), Qt::FindDirectChildrenOnly)) {
        auto *notifier = new ValueNotifier(object);
        const QMetaProperty property = mo->property(index);
        if (property.hasNotifySignal()) {
            const QMetaObject *nmo = notifier->metaObject();
            QObject::connect(object, property.notifySignal(), notifier, nmo->method(nmo->indexOfSlot("changed()")));
        }
    }
    return new SceneItem(item, index >= 0, isText);
}

} // namespace

namespace scenesetup {

void installAccessibleValues()
{
    static const bool installed = [] {
        QAccessible::installFactory(sceneItemFactory);
        // A window that turns active tells which control has the focus: Qt
        // Quick told it once, as the control took it, before a screen reader
        // could listen; the focus at start would go unheard.
        if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
            QObject::connect(app, &QGuiApplication::focusWindowChanged, app, [](QWindow *window) {
                auto *quick = qobject_cast<QQuickWindow *>(window);
                if (!quick || !quick->activeFocusItem() || !QAccessible::isActive())
                    return;
                QAccessibleEvent event(quick->activeFocusItem(), QAccessible::Focus);
                QAccessible::updateAccessibility(&event);
            });
        }
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace scenesetup

#include "AccessibleValues.moc"
