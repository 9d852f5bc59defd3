#include "writesupport.h"

#include "text/runtimeerror.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

QByteArray StalePrefix(const QByteArray &name)
{
    return "." + name + ".pelmor-";
}

QByteArray BackupPath(const QByteArray &dir, const QByteArray &name)
{
    return dir + "/" + StalePrefix(name) + kBackupTag;
}

QString FolderText(const QByteArray &dir)
{
    return Quoted(QFileInfo(sys::PathText(dir)).absoluteFilePath());
}

void SplitPath(const QByteArray &path, QByteArray &dir, QByteArray &name)
{
    const qsizetype slash = path.lastIndexOf('/');
    dir = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    name = path.mid(slash + 1);
}

bool ResolveTarget(const QByteArray &given, QByteArray &target, sys::FileInfo &info, const QString &what)
{
    target = given;
    sys::FileInfo named;
    if (const sys::Error error = sys::Status(given, named, sys::Follow::NotLinks)) {
        if (error.code() == sys::Errc::NotFound)
            return false;
        Fail(what, error);
    }
    if (named.kind != sys::FileKind::Link) {
        info = named;
        return true;
    }
    if (const sys::Error error = sys::Status(given, info, sys::Follow::Links))
        throw RunTimeError(what + u"\nリンク先のファイルを開けません。"_s + error.text());
    Check(what, sys::ResolveLinks(given, target));
    return true;
}

void RequireWritable(const QByteArray &path, const sys::FileInfo &info, const QString &what,
                     const QString &refusal)
{
    if (const sys::Error error = sys::CheckWritable(path, info); error.code() == sys::Errc::AccessDenied)
        throw RunTimeError(what + refusal);
    else
        Check(what, error);
}

void CopyContents(sys::File &from, sys::File &to, const QString &what, const Progress &progress, qint64 done,
                  qint64 total)
{
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    qint64 offset = 0;
    for (;;) {
        qsizetype n = 0;
        Check(what, from.readAt(offset, chunk.data(), chunk.size(), n));
        if (n == 0)
            break;
        Check(what, to.writeAt(offset, chunk.constData(), n));
        offset += n;
        ReportProgress(progress, done + offset, total);
    }
    Check(what, to.resize(offset));
    Check(what, to.flush());
}
