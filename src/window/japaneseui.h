#pragma once

class QApplication;
class QString;

// The window asks for the Windows fonts "ＭＳ ゴシック" and "MS UI Gothic". Mapping them to
// installed Japanese fonts here, not in the desktop's settings, gives kanji their
// Japanese forms everywhere (fontconfig would otherwise pick any CJK font, maybe a
// Chinese one).
void InstallJapaneseFontSubstitutes();

QString GothicFamily();   // "ＭＳ ゴシック"
QString UiGothicFamily(); // "MS UI Gothic"

// Fonts, the application font for menus and message boxes, and Qt's own texts (dialog
// buttons, the edit menu of the list) in Japanese.
void SetUpJapaneseUi(QApplication &app);
