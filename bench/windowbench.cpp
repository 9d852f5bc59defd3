#include "windowbench.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>
#include <QWindow>

#ifdef PELMOR_BENCH_XCB
#include <xcb/xcb.h>
#endif

#include <cstdlib>

namespace bench {

bool PaintCounter::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::Paint)
        ++paints;
    return false;
}

void ProcessOnce()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ServerRoundTrip()
{
#ifdef PELMOR_BENCH_XCB
    // The offscreen platform offers the same interface without a connection.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    if (auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        if (xcb_connection_t *connection = x11->connection())
            std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
#endif
}

void Quiesce()
{
    for (int i = 0; i < 5; ++i)
        ProcessOnce();
    ServerRoundTrip();
    ProcessOnce();
}

bool ShowAndWait(QWidget &window)
{
    window.show();
    QElapsedTimer limit;
    limit.start();
    while (limit.elapsed() < 10000) {
        ProcessOnce();
        if (window.windowHandle() != nullptr && window.windowHandle()->isExposed()) {
            Quiesce();
            return true;
        }
    }
    return false;
}

double WaitForFrame(const PaintCounter &counter, int paintsBefore, const std::function<bool()> &done,
                    Clock::time_point start, int timeoutMs)
{
    QElapsedTimer limit;
    limit.start();
    while (limit.elapsed() < timeoutMs) {
        ProcessOnce();
        if (counter.paints > paintsBefore && done()) {
            // Work the paint itself queued (a layout, a second update) belongs to the frame.
            for (int extra = 0; extra < 3; ++extra)
                ProcessOnce();
            ServerRoundTrip();
            return MsSince(start);
        }
    }
    return -1;
}

} // namespace bench
