#pragma once

#include <QFont>

class QApplication;

// The window asks for the Windows fonts "ＭＳ ゴシック" and "MS UI Gothic". Mapping them to
// installed Japanese fonts here, not in the desktop's settings, gives kanji their
// Japanese forms everywhere (fontconfig would otherwise pick any CJK font, maybe a
// Chinese one).
void InstallJapaneseFontSubstitutes();

QString GothicFamily();   // "ＭＳ ゴシック"
QString UiGothicFamily(); // "MS UI Gothic"

// A font of the installed family that stands for the Windows family. Naming the installed
// family directly spares the toolkit a fallback search for the missing one (several
// milliseconds of start-up each).
QFont JapaneseFont(const QString &windowsFamily, double points, bool bold = false);

// Fonts, the application font for menus and message boxes, and Qt's own texts (dialog
// buttons, the edit menu of the list) in Japanese.
void SetUpJapaneseUi(QApplication &app);
