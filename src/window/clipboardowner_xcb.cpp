#include "clipboardowner.h"

#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

// Qt's own connection to the X server: the answer arrives as an event for a window of
// ours, which a native event filter picks out while the window handles its events.
class ClipboardOwner::Private : public QAbstractNativeEventFilter
{
public:
    ~Private() override
    {
        if (requestor == XCB_NONE)
            return;
        QCoreApplication::instance()->removeNativeEventFilter(this);
        xcb_destroy_window(connection, requestor);
        xcb_flush(connection);
    }

    xcb_atom_t atom(const char *name) const
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply != nullptr ? reply->atom : XCB_NONE;
        std::free(reply);
        return atom;
    }

    // The window the answer is addressed to. It lives as long as the main window, so that
    // an owner that answers late still finds it.
    void createRequestor()
    {
        clipboard = atom("CLIPBOARD");
        targets = atom("TARGETS");
        property = atom("_PELMOR_CLIPBOARD_TARGETS");
        requestor = xcb_generate_id(connection);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, requestor, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    xcb_window_t owner() const
    {
        xcb_get_selection_owner_reply_t *reply = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, clipboard), nullptr);
        const xcb_window_t window = reply != nullptr ? reply->owner : xcb_window_t(XCB_NONE);
        std::free(reply);
        return window;
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & ~0x80) != XCB_SELECTION_NOTIFY)
            return false;
        const auto *notify = reinterpret_cast<const xcb_selection_notify_event_t *>(event);
        if (notify->requestor != requestor)
            return false;
        // That it answered is all that counts; Qt reads the clipboard itself.
        if (notify->property != XCB_NONE)
            xcb_delete_property(connection, requestor, notify->property);
        asking = false;
        return true;
    }

    xcb_connection_t *connection = nullptr;
    xcb_window_t requestor = XCB_NONE;
    xcb_atom_t clipboard = XCB_NONE;
    xcb_atom_t targets = XCB_NONE;
    xcb_atom_t property = XCB_NONE;
    bool asking = false;
};

ClipboardOwner::ClipboardOwner() : d(std::make_unique<Private>())
{
    if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        d->connection = x11->connection();
}

ClipboardOwner::~ClipboardOwner() = default;

bool ClipboardOwner::ask()
{
    d->asking = false;
    if (d->connection == nullptr || QGuiApplication::clipboard()->ownsClipboard())
        return false;
    if (d->requestor == XCB_NONE)
        d->createRequestor();
    if (d->owner() == XCB_NONE)
        return false;
    xcb_convert_selection(d->connection, d->requestor, d->clipboard, d->targets, d->property,
                          XCB_CURRENT_TIME);
    xcb_flush(d->connection);
    d->asking = true;
    return true;
}

bool ClipboardOwner::answered() const
{
    return !d->asking;
}
