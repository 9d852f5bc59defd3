#pragma once

// Driving the real window from a benchmark: letting its events run, and seeing when the
// frame an action caused is finished.

#include "benchsupport.h"

#include <QObject>

#include <functional>

class QWidget;

namespace bench {

// Counts paint events anywhere in the application.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// Delivers posted events, then whatever the platform has ready.
void ProcessOnce();
// On X11, waits for the server to answer a request, which it does only after carrying
// out every request sent before it (drawing included). Elsewhere does nothing.
void ServerRoundTrip();
// Lets everything pending happen, unmeasured.
void Quiesce();
// Shows the window and waits until it is exposed and painted.
bool ShowAndWait(QWidget &window);

// After an action started at `start`: runs events until something has been painted
// since `paintsBefore` and `done()` holds, then lets the work the paint queued finish
// and, on X11, the server draw it. Returns the ms from `start`, or -1 after `timeoutMs`.
double WaitForFrame(const PaintCounter &counter, int paintsBefore, const std::function<bool()> &done,
                    Clock::time_point start, int timeoutMs = 2000);

} // namespace bench
