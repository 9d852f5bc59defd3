#include "modalclose.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

xcb_atom_t Atom(xcb_connection_t *connection, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return atom;
}

class FrameCloseFilter : public QObject, public QAbstractNativeEventFilter
{
public:
    FrameCloseFilter(QWidget *window, xcb_connection_t *connection)
        : QObject(window), m_window(window), m_protocols(Atom(connection, "WM_PROTOCOLS")),
          m_delete(Atom(connection, "WM_DELETE_WINDOW"))
    {
        qGuiApp->installNativeEventFilter(this);
    }
    ~FrameCloseFilter() override { qGuiApp->removeNativeEventFilter(this); }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t" || m_window == nullptr)
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE)
            return false;
        const auto *client = reinterpret_cast<const xcb_client_message_event_t *>(event);
        if (client->format != 32 || client->type != m_protocols || client->data.data32[0] != m_delete ||
            client->window != m_window->winId())
            return false;
        QWindow *modal = QGuiApplication::modalWindow();
        if (modal == nullptr || modal == m_window->windowHandle())
            return false; // Qt passes it on itself
        QMetaObject::invokeMethod(m_window, &QWidget::close, Qt::QueuedConnection);
        return true;
    }

private:
    QPointer<QWidget> m_window;
    xcb_atom_t m_protocols;
    xcb_atom_t m_delete;
};

} // namespace

void PassFrameCloseThroughModalDialogs(QWidget *window)
{
    // Qt's offscreen platform answers for X11 too, without a connection.
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 != nullptr && x11->connection() != nullptr)
        new FrameCloseFilter(window, x11->connection());
}
