#pragma once

#include "testutils.h"

#include "window/frmtesh.h"
#include "window/japaneseui.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>

#include <memory>

using Message = std::pair<frmTesh::MessageKind, QString>;

// The window under test, started in the current (temporary) working directory, with
// its messages collected instead of shown.
class WindowUnderTest
{
public:
    WindowUnderTest()
    {
        InstallJapaneseFontSubstitutes();
        m_window = std::make_unique<frmTesh>([this](frmTesh::MessageKind kind, const QString &text) {
            messages.append({kind, text});
        });
    }

    frmTesh &operator*() { return *m_window; }
    frmTesh *operator->() { return m_window.get(); }
    frmTesh *get() { return m_window.get(); }

    void show()
    {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    template <typename T = QWidget> T *child(const QString &name)
    {
        T *found = m_window->findChild<T *>(name);
        if (found == nullptr)
            qFatal("no child %s", qPrintable(name));
        return found;
    }
    QLabel *label(const QString &name) { return child<QLabel>(name); }
    QLabel *card(int index) { return label(QStringLiteral("lblTime%1").arg(index)); }
    QComboBox *list() { return child<QComboBox>(QStringLiteral("Combo1")); }
    QAction *action(const QString &name) { return child<QAction>(name); }
    QString status() { return label(QStringLiteral("lblNum"))->text(); }

    void click(const QString &name) { QTest::mouseClick(child(name), Qt::LeftButton); }
    void trigger(const QString &name) { action(name)->trigger(); }

    // The items of the list, in order.
    QStringList items()
    {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i)
            texts.append(list()->itemText(i));
        return texts;
    }

    QList<Message> messages;

private:
    std::unique_ptr<frmTesh> m_window;
};

// No handler may print a Qt warning (a refused font size, a negative geometry); only
// the headless platform's own remarks are allowed.
inline void FailOnWarnings()
{
    QTest::failOnWarning(QRegularExpression(
        QStringLiteral("^(?!This plugin does not support|QStandardPaths: |Could not set cursor).*")));
}
