#pragma once

// Watching the real program from outside, as a user sees it: spawning it, and learning
// from the X server when one of its windows is mapped and every pixel of it drawn.
//
// How a frame is seen: a DAMAGE object on the root window reports every drawing request
// the server carries out on any window, with its rectangle. A window counts as the
// program's when its _NET_WM_PID is the spawned process; its frame is complete when the
// damage reported inside it covers all of it. The server sends the report only after it
// has drawn, so the time is that of pixels on the (virtual) screen, not of a request
// still in the program's buffers. Watching the root, rather than the window once it
// appears, leaves no gap in which a paint could be missed. The X server (DISPLAY) must
// have nothing else drawing on it.

#include "benchsupport.h"

#include <QList>
#include <QString>

#include <X11/Xlib.h>

#include <sys/types.h>

namespace bench {

// The main window (a normal top-level) or a message box (a dialog).
enum class WindowKind { Main, Dialog };

struct WindowFrame
{
    Window window = 0;
    int width = 0, height = 0;
    double mapMs = -1;        // mapped
    double firstPaintMs = -1; // first drawing inside it
    double frameMs = -1;      // all of it drawn
    double otherMapMs = -1;   // a window of the other kind mapped first (a message box)
    bool exited = false;      // the process ended (and has been reaped)
    QString error;            // why there is no frame
};

class ServerWatch
{
public:
    ServerWatch();
    ~ServerWatch();
    ServerWatch(const ServerWatch &) = delete;
    ServerWatch &operator=(const ServerWatch &) = delete;

    Display *display() const { return m_display; }

    // Drops everything reported so far.
    void drain();

    // Starts `argv` with no input and its output appended to `logPath`, its address space
    // limited to `addressLimit` bytes when above 0. Returns the process id, or -1 with
    // `error` set.
    pid_t spawn(const QList<QByteArray> &argv, const QByteArray &logPath, qint64 addressLimit,
                QString &error);

    // Waits until a top-level window of `pid` of `kind` is mapped and fully drawn, or
    // `timeoutMs` from `start` have passed, or the process ends. When `kind` is Main, a
    // message box mapped first ends the wait: the program then shows no window of its own
    // until the box is answered.
    WindowFrame waitForFrame(pid_t pid, WindowKind kind, Clock::time_point start, int timeoutMs);

    // While waiting for a Main window, answer a message box that comes first with Enter
    // (the notice that long lines were cut, say) instead of failing; otherMapMs tells when.
    bool answerBoxes = false;

    // Ends a process started by spawn(): SIGTERM, then SIGKILL after 3 s.
    static void end(pid_t pid);

private:
    long windowPid(Window window);
    WindowKind windowKind(Window window);

    Display *m_display = nullptr;
    Window m_root = 0;
    unsigned long m_damage = 0;
    int m_damageEventBase = 0;
    Atom m_pidAtom = 0;
    Atom m_typeAtom = 0;
    Atom m_dialogAtom = 0;
};

// The CPU time, in ms, that all threads of a process have run.
double CpuMs(pid_t pid);

} // namespace bench
