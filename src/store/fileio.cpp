#include "fileio.h"

#include "filesystem.h"

#include "text/runtimeerror.h"

#include <QDir>

using namespace Qt::StringLiterals;

void ReportProgress(const Progress &progress, qint64 done, qint64 total)
{
    if (progress && !progress(done, total))
        throw Cancelled();
}

QString Quoted(const QString &path)
{
    return u"「"_s + QDir::toNativeSeparators(path) + u"」"_s;
}

QString QuotedNative(const QByteArray &path)
{
    return Quoted(sys::PathText(path));
}

void Fail(const QString &what, const sys::Error &error)
{
    throw RunTimeError(what + u"\n"_s + error.text());
}
