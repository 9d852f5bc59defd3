#include "window/frmtesh.h"
#include "window/japaneseui.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Names the user's data folder, where replaced decks are kept, whatever the file is called.
    QApplication::setApplicationName(QStringLiteral("pelmor"));
    SetUpJapaneseUi(app);
    frmTesh window;
    window.show();
    const int status = QApplication::exec();
#ifdef Q_OS_LINUX
    // Qt's Wayland client can hang for good while it closes its connection (it waits for
    // its event thread, which waits to read). Every write is on disk by now, so leave
    // without that teardown there.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
#endif
    return status;
}
