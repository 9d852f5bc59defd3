#include "writesupport.h"

#include "text/runtimeerror.h"

#include <QFileInfo>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace {
constexpr char kTagLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr qsizetype kTagSize = 6;
} // namespace

QByteArray StalePrefix(const QByteArray &name)
{
    return "." + name + ".pelmor-";
}

QByteArray BackupPrefix(const QByteArray &name)
{
    return StalePrefix(name) + "backup-";
}

QByteArray RandomTag()
{
    QByteArray tag(kTagSize, Qt::Uninitialized);
    for (char &c : tag)
        c = kTagLetters[QRandomGenerator::system()->bounded(int(sizeof kTagLetters - 1))];
    return tag;
}

bool IsRandomTag(QByteArrayView text)
{
    return text.size() == kTagSize && std::all_of(text.begin(), text.end(), [](char c) {
               return c != 0 && std::strchr(kTagLetters, c);
           });
}

QString Named(const QByteArray &path)
{
    return Quoted(QFileInfo(sys::PathText(path)).absoluteFilePath());
}

void SplitPath(const QByteArray &path, QByteArray &dir, QByteArray &name)
{
    const qsizetype slash = path.lastIndexOf('/');
    dir = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    name = path.mid(slash + 1);
}

bool ResolveTarget(const QByteArray &given, QByteArray &target, sys::FileInfo &info, const QString &what)
{
    sys::ForeignLink foreign;
    if (const sys::Error error = sys::WalkPath(given, target, foreign)) {
        if (error.code() != sys::Errc::NotFound)
            Fail(what, error);
        target = given; // a folder on the way is missing: making the file says so
        return false;
    }
    if (!foreign.link.isEmpty()) {
        // A classmate's link in a shared folder, wherever it stands in a chain, would have
        // the user overwrite a file of the user's own elsewhere.
        throw RunTimeError(
            what + u"\n%1は、ほかのユーザー（%2）のシンボリックリンクです（%3を指しています）。"
                   u"ほかのユーザーのリンクを通しては書き込みません。\n"
                   u"そのリンクを削除するか名前を変えてもらうか、自分のフォルダーでお使いください。"_s.arg(
                       Named(foreign.link), foreign.owner, Named(foreign.leadsTo)));
    }
    if (const sys::Error error = sys::Status(target, info, sys::Follow::NotLinks)) {
        sys::FileInfo named;
        if (error.code() != sys::Errc::NotFound)
            Fail(what, error);
        // A link of the user's that leads nowhere is not filled in behind the user's back.
        if (!sys::Status(given, named, sys::Follow::NotLinks) && named.kind == sys::FileKind::Link)
            throw RunTimeError(what + u"\nリンク先のファイルを開けません。"_s + error.text());
        return false;
    }
    return true;
}

QByteArray MoveToFreshName(const QByteArray &from, const QByteArray &dir, const QByteArray &prefix,
                           const QString &what)
{
    sys::Error error;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray to = dir + "/" + prefix + RandomTag();
        error = sys::MoveNew(from, to);
        if (error.code() == sys::Errc::Unsupported)
            error = sys::Replace(from, to);
        if (!error)
            return to;
        if (error.code() != sys::Errc::Exists)
            break;
    }
    Fail(what, error);
}

void CopyContents(sys::File &from, sys::File &to, const QString &what, const Progress &progress, qint64 written)
{
    sys::FileInfo info;
    Check(what, from.info(info));
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    bool holes = false;
    qint64 offset = 0;
    for (;;) {
        const qint64 data = from.nextData(offset);
        const qint64 next = data < 0 ? std::max(offset, info.size) : data;
        if (next > offset && !std::exchange(holes, true))
            Check(what, to.allowHoles());
        // Where `to` may hold other bytes, a hole is written as the zeros it reads as.
        for (qint64 end = std::min(next, written); offset < end;) {
            const qsizetype n = qsizetype(std::min<qint64>(end - offset, kChunkSize));
            chunk.fill(0);
            Check(what, to.writeAt(offset, chunk.constData(), n));
            offset += n;
            ReportProgress(progress, offset, info.size);
        }
        offset = std::max(offset, next);
        qsizetype n = 0;
        if (data >= 0)
            Check(what, from.readAt(offset, chunk.data(), chunk.size(), n));
        if (n == 0)
            break;
        Check(what, to.writeAt(offset, chunk.constData(), n));
        offset += n;
        ReportProgress(progress, offset, info.size);
    }
    Check(what, to.resize(offset));
    Check(what, to.flush());
}
