#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>

// Reads the clipboard's text without holding the window. Qt's X11 clipboard waits for the
// owner inside each call, up to five seconds per request with the window frozen, and a
// large text freezes it for the whole transfer. Here each step of the read (the owner's
// formats, then the text in one format, then each chunk of an incremental transfer) is an
// answer handled among the window's other events, so the window goes on painting and
// answering screen readers while it waits; the caller decides how long silence may last.
// Where the platform hands over the clipboard itself (Windows, Wayland, the headless
// platform, this program's own clipboard), start() says so and Qt's QClipboard is read.
// One implementation per windowing system.
class ClipboardReader
{
public:
    enum class Outcome {
        Reading,        // not finished
        NothingOffered, // the owner offers no format at all
        NoText,         // it offers formats, none of them text
        Text,           // what came in a text format (possibly nothing)
    };

    ClipboardReader();
    ~ClipboardReader();
    ClipboardReader(const ClipboardReader &) = delete;
    ClipboardReader &operator=(const ClipboardReader &) = delete;

    // Starts a read; false when there is nothing to read this way: the clipboard has no
    // owner, it is this program's own, or the platform hands it over itself.
    bool start();
    // Gives up the read under way: answers that still come are ignored.
    void stop();

    Outcome outcome() const;
    // Whether the owner has shown no sign of life (an answer, a chunk) for `ms`, counting
    // whatever it sent before then even when the window has not handled it yet.
    bool silentFor(qint64 ms);
    // Bytes of the text received so far, and the size the owner announced (0: unknown).
    qint64 received() const;
    qint64 announced() const;
    // The text, once the outcome is Text; the read keeps no copy.
    QString takeText();

private:
    class Private;
    std::unique_ptr<Private> d;
};
