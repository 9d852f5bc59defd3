#pragma once

class QWidget;

// While a modal dialog shows, Qt drops a close of the window's own frame (the window
// manager's WM_DELETE_WINDOW): the user's close would do nothing. Where Qt runs on X11, such
// a close is passed on to `window` as close() once the event loop turns; elsewhere the system
// itself keeps a window a modal dialog blocks from being closed. Lives as long as `window`.
void PassFrameCloseThroughModalDialogs(QWidget *window);
