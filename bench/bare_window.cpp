// The yardstick for Pelmor's start-up: the least a Qt Widgets program showing Japanese
// text in Pelmor's window can do. One main window of the same client size, one label in
// the same substituted card font, nothing read, nothing else built.

#include "window/japaneseui.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    InstallJapaneseFontSubstitutes();

    QMainWindow window;
    window.setWindowTitle(u"Pelmor bare window"_s);
    auto *label = new QLabel(u"日本語"_s, &window);
    label->setFont(JapaneseFont(UiGothicFamily(), 99.75));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    window.setCentralWidget(label);
    window.resize(749, 486);
    window.show();
    return QApplication::exec();
}
