#include "clipboardreader.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QList>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace {

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

enum Name {
    Clipboard,
    Targets,
    Incr,
    Property,
    Utf8String,
    MimeUtf8,
    String,
    Text,
    MimeText,
    Multiple,
    Timestamp,
    SaveTargets,
    NameCount
};
constexpr std::array<const char *, NameCount> kNames = {
    "CLIPBOARD", "TARGETS", "INCR",       "_PELMOR_CLIPBOARD", "UTF8_STRING", "text/plain;charset=utf-8",
    "STRING",    "TEXT",    "text/plain", "MULTIPLE",          "TIMESTAMP",   "SAVE_TARGETS"};
// The text formats, best first, as Qt's own read picks them: UTF-8 before the rest.
constexpr std::array kTextTargets = {Utf8String, MimeUtf8, String, Text, MimeText};
// Formats that tell about the selection rather than hold it; Qt leaves them out too.
constexpr std::array kMetaTargets = {Targets, Multiple, Timestamp, SaveTargets};
// Owners announce the size of an incremental transfer; a bigger promise is not reserved for.
constexpr qint64 kMaxReserve = qint64(1) << 31;

} // namespace

// Qt's own connection to the X server: each answer arrives as an event for a window of
// ours, which a native event filter picks out while the window handles its events. The
// window is made for one read and destroyed after it, so that nothing an owner sends
// later is taken for an answer to the next paste.
class ClipboardReader::Private : public QAbstractNativeEventFilter
{
public:
    enum class Step { Idle, Formats, Text };

    ~Private() override
    {
        release();
        if (filtering)
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }

    void internAtoms()
    {
        std::array<xcb_intern_atom_cookie_t, NameCount> cookies;
        for (int i = 0; i < NameCount; ++i)
            cookies[i] = xcb_intern_atom(connection, 0, uint16_t(std::strlen(kNames[i])), kNames[i]);
        for (int i = 0; i < NameCount; ++i) {
            Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookies[i], nullptr),
                                                 &std::free);
            atoms[i] = reply ? reply->atom : xcb_atom_t(XCB_NONE);
        }
        QCoreApplication::instance()->installNativeEventFilter(this);
        filtering = true;
    }

    xcb_window_t owner() const
    {
        Reply<xcb_get_selection_owner_reply_t> reply(
            xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atoms[Clipboard]),
                                          nullptr),
            &std::free);
        return reply ? reply->owner : xcb_window_t(XCB_NONE);
    }

    // An incremental transfer's chunks are announced as changes of the property.
    void createRequestor()
    {
        requestor = xcb_generate_id(connection);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, requestor, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    }

    void ask(Step next, xcb_atom_t what)
    {
        step = next;
        target = what;
        incremental = false;
        bytes = QByteArray();
        announcedSize = 0;
        xcb_convert_selection(connection, requestor, atoms[Clipboard], target, atoms[Property],
                              XCB_CURRENT_TIME);
        xcb_flush(connection);
        lastSign.start();
    }

    // Ends the read: the window goes, and with it whatever the owner still sends.
    void release()
    {
        if (requestor == XCB_NONE)
            return;
        xcb_destroy_window(connection, requestor);
        xcb_flush(connection);
        requestor = XCB_NONE;
        step = Step::Idle;
        incremental = false;
    }

    void finish(Outcome result)
    {
        outcome = result;
        release();
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (requestor == XCB_NONE || eventType != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        try {
            switch (event->response_type & ~0x80) {
            case XCB_SELECTION_NOTIFY: {
                const auto *notify = reinterpret_cast<const xcb_selection_notify_event_t *>(event);
                if (notify->requestor != requestor)
                    return false;
                // Any client can send this event: only the answer to the question put counts.
                if (notify->selection == atoms[Clipboard] && notify->target == target && !incremental) {
                    if (notify->property == XCB_NONE)
                        refused();
                    else if (notify->property == atoms[Property])
                        answered();
                }
                return true;
            }
            case XCB_PROPERTY_NOTIFY: {
                const auto *notify = reinterpret_cast<const xcb_property_notify_event_t *>(event);
                if (notify->window != requestor)
                    return false;
                // The server's own report, never one sent by a client.
                if ((event->response_type & 0x80) == 0 && incremental && notify->atom == atoms[Property] &&
                    notify->state == XCB_PROPERTY_NEW_VALUE)
                    chunk();
                return true;
            }
            default:
                return false;
            }
        } catch (const std::bad_alloc &) {
            bytes = QByteArray();
            outOfMemory = true;
            finish(Outcome::Text);
            return true;
        }
    }

    // Reads and deletes the property; null when it does not exist, as with an answer that
    // names a property the owner never set.
    Reply<xcb_get_property_reply_t> takeProperty()
    {
        Reply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(connection,
                                   xcb_get_property(connection, 1, requestor, atoms[Property],
                                                    XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4),
                                   nullptr),
            &std::free);
        if (reply && reply->type == XCB_NONE)
            reply.reset();
        return reply;
    }

    void answered()
    {
        const Reply<xcb_get_property_reply_t> reply = takeProperty();
        if (!reply)
            return;
        lastSign.start();
        dataType = reply->type;
        if (reply->type == atoms[Incr]) {
            // Deleting the property, done above, asks for the first chunk.
            incremental = true;
            if (reply->format == 32 && xcb_get_property_value_length(reply.get()) >= 4) {
                announcedSize = *static_cast<const uint32_t *>(xcb_get_property_value(reply.get()));
                if (announcedSize <= kMaxReserve)
                    bytes.reserve(announcedSize);
            }
            return;
        }
        bytes = QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
        complete();
    }

    void chunk()
    {
        const Reply<xcb_get_property_reply_t> reply = takeProperty();
        if (!reply)
            return;
        lastSign.start();
        const int length = xcb_get_property_value_length(reply.get());
        if (length == 0) {
            incremental = false;
            complete();
            return;
        }
        dataType = reply->type;
        bytes.append(static_cast<const char *>(xcb_get_property_value(reply.get())), length);
    }

    void refused()
    {
        lastSign.start();
        // An owner that does not list its formats may still hand over text.
        if (step == Step::Formats) {
            guessed = true;
            ask(Step::Text, atoms[Utf8String]);
        } else {
            bytes = QByteArray();
            finish(guessed ? Outcome::NothingOffered : Outcome::Text);
        }
    }

    void complete()
    {
        if (step == Step::Text) {
            finish(Outcome::Text);
            return;
        }
        QList<xcb_atom_t> offered(bytes.size() / 4);
        std::memcpy(offered.data(), bytes.constData(), offered.size() * sizeof(xcb_atom_t));
        bytes = QByteArray();
        const auto isContent = [this](xcb_atom_t atom) {
            return atom != XCB_NONE && std::none_of(kMetaTargets.begin(), kMetaTargets.end(),
                                                    [&](Name meta) { return atoms[meta] == atom; });
        };
        if (std::none_of(offered.begin(), offered.end(), isContent)) {
            finish(Outcome::NothingOffered);
            return;
        }
        for (const Name text : kTextTargets) {
            if (offered.contains(atoms[text])) {
                ask(Step::Text, atoms[text]);
                return;
            }
        }
        finish(Outcome::NoText);
    }

    xcb_connection_t *connection = nullptr;
    bool filtering = false;
    std::array<xcb_atom_t, NameCount> atoms = {};
    xcb_window_t requestor = XCB_NONE;
    Step step = Step::Idle;
    xcb_atom_t target = XCB_NONE;
    bool incremental = false;
    bool guessed = false;
    bool outOfMemory = false;
    Outcome outcome = Outcome::Reading;
    QElapsedTimer lastSign;
    QByteArray bytes;
    xcb_atom_t dataType = XCB_NONE;
    qint64 announcedSize = 0;
};

ClipboardReader::ClipboardReader() : d(std::make_unique<Private>())
{
    if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        d->connection = x11->connection();
}

ClipboardReader::~ClipboardReader() = default;

bool ClipboardReader::start()
{
    stop();
    if (d->connection == nullptr || QGuiApplication::clipboard()->ownsClipboard())
        return false;
    if (!d->filtering)
        d->internAtoms();
    if (d->owner() == XCB_NONE)
        return false;
    d->outcome = Outcome::Reading;
    d->guessed = false;
    d->outOfMemory = false;
    d->announcedSize = 0;
    d->dataType = XCB_NONE;
    d->createRequestor();
    d->ask(Private::Step::Formats, d->atoms[Targets]);
    return true;
}

void ClipboardReader::stop()
{
    d->release();
    d->bytes = QByteArray();
}

ClipboardReader::Outcome ClipboardReader::outcome() const
{
    return d->outcome;
}

qint64 ClipboardReader::silentMs() const
{
    return d->lastSign.isValid() ? d->lastSign.elapsed() : 0;
}

qint64 ClipboardReader::received() const
{
    return d->step == Private::Step::Text ? d->bytes.size() : 0;
}

qint64 ClipboardReader::announced() const
{
    return d->announcedSize;
}

QString ClipboardReader::takeText()
{
    if (d->outOfMemory)
        throw std::bad_alloc();
    // STRING is Latin-1 by the X conventions; every other text format here is UTF-8.
    const QByteArray bytes = std::exchange(d->bytes, QByteArray());
    return d->dataType == d->atoms[String] ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
}
