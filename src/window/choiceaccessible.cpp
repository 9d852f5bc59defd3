#include "choiceaccessible.h"

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QStyle>

namespace {

constexpr char kChoicesProperty[] = "pelmorChoices";

bool IsMarked(const QObject *object)
{
    return object->property(kChoicesProperty).toBool();
}

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

    // As Qt's own menu item reports it; the role above carries "a choice" to the bus.
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

    // The one action a menu item has, so that a press from the bus is a click.
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

// The menu holding the choices, as Qt's own popup menu describes itself. Qt's own would
// not count a radio button among its items: it finds the index of menu items only, and a
// screen reader would lose "which of how many".
class ChoiceMenuAccessible : public QAccessibleWidget
{
public:
    explicit ChoiceMenuAccessible(QMenu *menu) : QAccessibleWidget(menu, QAccessible::PopupMenu) {}

    int childCount() const override { return int(menu()->actions().size()); }

    QAccessibleInterface *child(int index) const override
    {
        const QList<QAction *> items = menu()->actions();
        return index >= 0 && index < items.size() ? QAccessible::queryAccessibleInterface(items.at(index))
                                                  : nullptr;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child == nullptr ? -1
                                : int(menu()->actions().indexOf(qobject_cast<QAction *>(child->object())));
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        QAction *item = menu()->actionAt(menu()->mapFromGlobal(QPoint(x, y)));
        return item == nullptr ? nullptr : QAccessible::queryAccessibleInterface(item);
    }

    QString text(QAccessible::Text kind) const override
    {
        const QString own = QAccessibleWidget::text(kind);
        return own.isEmpty() && kind == QAccessible::Name ? menu()->windowTitle() : own;
    }

    // The menu bar's item that opens the menu.
    QAccessibleInterface *parent() const override
    {
        QAction *head = menu()->menuAction();
        for (QObject *owner : head->associatedObjects()) {
            auto *bar = qobject_cast<QMenuBar *>(owner);
            if (bar == nullptr)
                continue;
            if (QAccessibleInterface *item = QAccessible::queryAccessibleInterface(head))
                return item;
            if (QAccessibleInterface *barInterface = QAccessible::queryAccessibleInterface(bar))
                return barInterface->child(int(bar->actions().indexOf(head)));
        }
        return QAccessibleWidget::parent();
    }

private:
    QMenu *menu() const { return static_cast<QMenu *>(widget()); }
};

QAccessibleInterface *ChoiceInterface(const QString &, QObject *object)
{
    if (object == nullptr || !IsMarked(object))
        return nullptr;
    if (auto *menu = qobject_cast<QMenu *>(object))
        return new ChoiceMenuAccessible(menu);
    if (auto *item = qobject_cast<QAction *>(object))
        for (QObject *owner : item->associatedObjects())
            if (auto *menu = qobject_cast<QMenu *>(owner); menu != nullptr && IsMarked(menu))
                return new ChoiceItemAccessible(item, menu);
    return nullptr;
}

} // namespace

void MarkAsChoices(QMenu *menu)
{
    // One factory for the process; it answers for marked menus and items only.
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(ChoiceInterface);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    menu->setProperty(kChoicesProperty, true);
    for (QAction *item : menu->actions())
        item->setProperty(kChoicesProperty, true);
}
