#pragma once

class QMenu;

// Makes the items of a menu of choices reach assistive technology as choices: radio
// buttons with their checked state, named by their captions, whose Press action
// triggers the item as a click does. Qt's own menu items say "checkable" only inside the
// process: its AT-SPI bridge drops that state, and a screen reader would hear every
// unchecked choice as a command. Call it once the menu has all its items, before
// anything asks for an accessible interface of the menu or its items.
void MarkAsChoices(QMenu *menu);
