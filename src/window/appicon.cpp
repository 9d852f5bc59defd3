#include "appicon.h"

using namespace Qt::StringLiterals;

QIcon AppIcon()
{
    QIcon icon;
    for (const int size : kAppIconSizes)
        icon.addFile(u":/icons/%1x%1/pelmor.png"_s.arg(size), QSize(size, size));
    return icon;
}
