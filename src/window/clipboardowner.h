#pragma once

#include <memory>

// Asks the program that holds the clipboard for its list of formats before Qt reads the
// clipboard. Qt's X11 clipboard waits for the owner inside each call, up to five seconds
// with the window frozen, and takes a hung owner for an empty clipboard. The question
// put here is answered through the window's own event handling, so the window goes on
// painting while it waits, and an owner that never answers costs one wait, not one per
// call. Where the formats come without asking the owner (Wayland, Windows, the headless
// platform), there is nothing to ask ahead. One implementation per windowing system.
class ClipboardOwner
{
public:
    ClipboardOwner();
    ~ClipboardOwner();
    ClipboardOwner(const ClipboardOwner &) = delete;
    ClipboardOwner &operator=(const ClipboardOwner &) = delete;

    // Puts the question; false when there is no one to wait for: the clipboard has no
    // owner, it is this program's own, or the platform needs no question.
    bool ask();
    // Whether the owner last asked has answered, judged by the events handled since.
    bool answered() const;

private:
    class Private;
    std::unique_ptr<Private> d;
};
