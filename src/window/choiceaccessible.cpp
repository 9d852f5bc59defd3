#include "choiceaccessible.h"

#include <QAccessibleObject>
#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QStyle>

namespace {

constexpr char kChoiceProperty[] = "pelmorChoice";

// A choice item in its menu. The menu owns the geometry and the activation; this only
// describes the item and passes a press on to it.
class ChoiceItemAccessible : public QAccessibleObject, public QAccessibleActionInterface
{
public:
    ChoiceItemAccessible(QAction *item, QMenu *menu) : QAccessibleObject(item), m_item(item), m_menu(menu) {}

    bool isValid() const override { return QAccessibleObject::isValid() && m_item && m_menu; }
    QWindow *window() const override { return m_menu ? m_menu->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_menu); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *focusChild() const override { return nullptr; }

    QAccessible::Role role() const override { return QAccessible::RadioButton; }

    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Name && m_item ? m_item->text() : QString();
    }

    QRect rect() const override
    {
        if (!isValid())
            return {};
        return m_menu->actionGeometry(m_item).translated(m_menu->mapToGlobal(QPoint(0, 0)));
    }

    // As Qt's own menu item reports it, with the role above carrying "a choice" to the bus.
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid())
            return s;
        if (!m_menu->isVisible() || !m_item->isVisible())
            s.invisible = true;
        if (m_menu->activeAction() == m_item)
            s.focused = true;
        if (m_menu->style()->styleHint(QStyle::SH_Menu_MouseTracking))
            s.hotTracked = true;
        if (!m_item->isEnabled())
            s.disabled = true;
        s.checkable = m_item->isCheckable();
        s.checked = m_item->isChecked();
        return s;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this)
                                                    : nullptr;
    }

    // The same action a menu item has, so that a press from the bus is a click.
    QStringList actionNames() const override { return {pressAction()}; }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }
    void doAction(const QString &actionName) override
    {
        if (isValid() && m_item->isEnabled() && actionName == pressAction())
            m_item->trigger();
    }

private:
    QPointer<QAction> m_item;
    QPointer<QMenu> m_menu;
};

QAccessibleInterface *ChoiceInterface(const QString &, QObject *object)
{
    auto *item = qobject_cast<QAction *>(object);
    if (item == nullptr || !item->property(kChoiceProperty).toBool())
        return nullptr;
    for (QObject *owner : item->associatedObjects())
        if (auto *menu = qobject_cast<QMenu *>(owner))
            return new ChoiceItemAccessible(item, menu);
    return nullptr;
}

} // namespace

void MarkAsChoice(QAction *item)
{
    // One factory for the process; it answers for marked items only.
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(ChoiceInterface);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    item->setProperty(kChoiceProperty, true);
}
