#include "window/frmtesh.h"
#include "window/japaneseui.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SetUpJapaneseUi(app);
    frmTesh window;
    window.show();
    return QApplication::exec();
}
