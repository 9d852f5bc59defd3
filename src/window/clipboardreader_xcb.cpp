#include "clipboardreader.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QList>
#include <QStringDecoder>
#include <QTimer>

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
// Text decoded between two looks at the window's events.
constexpr qint64 kDecodeSliceBytes = 8 << 20;
// How long the window handles its events after the server has handed over all it had.
constexpr qint64 kLastLookMs = 100;

} // namespace

// Qt's own connection to the X server: each answer arrives as an event for a window of
// ours, which a native event filter picks out while the window handles its events. The
// window is made for one read and destroyed after it, so that nothing an owner sends
// later is taken for an answer to the next paste. The text is kept in the chunks it came
// in, never copied into one growing buffer (each growth of hundreds of megabytes is a copy
// that holds the window), and decoded a slice at a time between the window's events.
class ClipboardReader::Private : public QAbstractNativeEventFilter
{
public:
    Private()
    {
        decodeTimer.setInterval(0);
        decodeTimer.callOnTimeout(&decodeTimer, [this] { decodeSlice(); });
        // A chunk is read on the next turn of the event loop, not inside Qt's handling of X
        // events: an owner that answers at once would otherwise keep that handling busy,
        // chunk after chunk, and the window from painting until the transfer ends.
        chunkTimer.setInterval(0);
        chunkTimer.setSingleShot(true);
        chunkTimer.callOnTimeout(&chunkTimer, [this] {
            try {
                chunk();
            } catch (const std::bad_alloc &) {
                outOfMemory();
            }
        });
    }

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
        chunks.clear();
        receivedBytes = 0;
        announcedSize = 0;
        xcb_convert_selection(connection, requestor, atoms[Clipboard], target, atoms[Property],
                              XCB_CURRENT_TIME);
        xcb_flush(connection);
        restartSilence();
    }

    void restartSilence()
    {
        lastSign.start();
        lastLook.invalidate();
    }

    // Ends the read: the window goes, and with it whatever the owner still sends.
    void release()
    {
        if (requestor == XCB_NONE)
            return;
        xcb_destroy_window(connection, requestor);
        xcb_flush(connection);
        chunkTimer.stop();
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
                    chunkTimer.start();
                return true;
            }
            default:
                return false;
            }
        } catch (const std::bad_alloc &) {
            outOfMemory();
            return true;
        }
    }

    void outOfMemory()
    {
        decodeTimer.stop();
        chunks.clear();
        text = QString();
        noMemory = true;
        finish(Outcome::Text);
    }

    void append(const xcb_get_property_reply_t *reply)
    {
        const int length = xcb_get_property_value_length(reply);
        chunks.append(QByteArray(static_cast<const char *>(xcb_get_property_value(reply)), length));
        receivedBytes += length;
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
        restartSilence();
        dataType = reply->type;
        if (reply->type == atoms[Incr]) {
            // Deleting the property, done above, asks for the first chunk.
            incremental = true;
            if (reply->format == 32 && xcb_get_property_value_length(reply.get()) >= 4)
                announcedSize = *static_cast<const uint32_t *>(xcb_get_property_value(reply.get()));
            return;
        }
        append(reply.get());
        complete();
    }

    void chunk()
    {
        const Reply<xcb_get_property_reply_t> reply = takeProperty();
        if (!reply)
            return;
        restartSilence();
        if (xcb_get_property_value_length(reply.get()) == 0) {
            incremental = false;
            complete();
            return;
        }
        dataType = reply->type;
        append(reply.get());
    }

    void refused()
    {
        restartSilence();
        // An owner that does not list its formats may still hand over text.
        if (step == Step::Formats) {
            guessed = true;
            ask(Step::Text, atoms[Utf8String]);
        } else {
            chunks.clear();
            finish(guessed ? Outcome::NothingOffered : Outcome::Text);
        }
    }

    void complete()
    {
        if (step == Step::Text) {
            startDecoding();
            return;
        }
        const QByteArray list = chunks.join();
        chunks.clear();
        QList<xcb_atom_t> offered(list.size() / 4);
        std::memcpy(offered.data(), list.constData(), offered.size() * sizeof(xcb_atom_t));
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

    // STRING is Latin-1 by the X conventions; every other text format here is UTF-8. No
    // UTF-16 code unit takes less than a byte.
    void startDecoding()
    {
        release();
        decoder = QStringDecoder(dataType == atoms[String] ? QStringDecoder::Latin1 : QStringDecoder::Utf8);
        try {
            text.resize(receivedBytes);
        } catch (const std::bad_alloc &) {
            outOfMemory();
            return;
        }
        decoded = 0;
        decodeTimer.start();
    }

    // Decodes and lets go of chunks, a slice at a time, so that the window paints in between.
    void decodeSlice()
    {
        try {
            for (qint64 done = 0; done < kDecodeSliceBytes && !chunks.isEmpty();) {
                const QByteArray chunk = chunks.takeFirst();
                const qsizetype space = decoder.requiredSpace(chunk.size());
                if (text.size() - decoded < space)
                    text.resize(decoded + space);
                decoded = decoder.appendToBuffer(text.data() + decoded, chunk) - text.constData();
                done += chunk.size();
            }
        } catch (const std::bad_alloc &) {
            outOfMemory();
            return;
        }
        if (!chunks.isEmpty())
            return;
        decodeTimer.stop();
        text.truncate(decoded);
        outcome = Outcome::Text;
    }

    xcb_connection_t *connection = nullptr;
    bool filtering = false;
    std::array<xcb_atom_t, NameCount> atoms = {};
    xcb_window_t requestor = XCB_NONE;
    Step step = Step::Idle;
    xcb_atom_t target = XCB_NONE;
    bool incremental = false;
    bool guessed = false;
    bool noMemory = false;
    Outcome outcome = Outcome::Reading;
    QElapsedTimer lastSign;
    QElapsedTimer lastLook;
    QList<QByteArray> chunks;
    qint64 receivedBytes = 0;
    QStringDecoder decoder;
    QTimer decodeTimer;
    QTimer chunkTimer;
    QString text;
    qsizetype decoded = 0;
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
    d->noMemory = false;
    d->announcedSize = 0;
    d->dataType = XCB_NONE;
    d->createRequestor();
    d->ask(Private::Step::Formats, d->atoms[Targets]);
    return true;
}

void ClipboardReader::stop()
{
    d->release();
    d->decodeTimer.stop();
    d->chunks.clear();
    d->text = QString();
}

ClipboardReader::Outcome ClipboardReader::outcome() const
{
    return d->outcome;
}

bool ClipboardReader::silentFor(qint64 ms)
{
    // Once the text is whole, the owner is no longer waited for.
    if (!d->lastSign.isValid() || d->lastSign.elapsed() < ms || d->decodeTimer.isActive())
        return false;
    // An answer sent just before the limit may still be on its way to the window's events:
    // once the server has answered a request sent now, it has handed over everything sent
    // before, and a moment later the window has handled it.
    if (!d->lastLook.isValid()) {
        std::free(xcb_get_input_focus_reply(d->connection, xcb_get_input_focus(d->connection), nullptr));
        d->lastLook.start();
    }
    return d->lastLook.elapsed() >= kLastLookMs;
}

qint64 ClipboardReader::received() const
{
    return d->step == Private::Step::Text ? d->receivedBytes : 0;
}

qint64 ClipboardReader::announced() const
{
    return d->announcedSize;
}

QString ClipboardReader::takeText()
{
    if (d->noMemory)
        throw std::bad_alloc();
    return std::exchange(d->text, QString());
}
