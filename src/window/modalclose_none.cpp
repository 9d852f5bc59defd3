#include "modalclose.h"

// Windows keeps a window that a modal dialog blocks from being closed; elsewhere Qt's own
// behaviour stands.
void PassFrameCloseThroughModalDialogs(QWidget *) {}
