#pragma once

class QAction;

// Makes a checkable item of a choice menu reach assistive technology as a choice: a radio
// button with its checked state, named by its caption, whose Press action triggers the
// item as a click does. Qt's own menu item says "checkable" only in the process: its
// AT-SPI bridge drops that state, and a screen reader would hear every unchecked choice
// as a command. Call it right after creating the item, before anything asks for its
// accessible interface.
void MarkAsChoice(QAction *item);
