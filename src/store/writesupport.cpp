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
    if (!named.mine) {
        // A classmate's link in a shared folder would have the user overwrite a file of the
        // user's own elsewhere.
        QByteArray leadsTo;
        const QString where = sys::ResolveLinks(given, leadsTo) ? u"リンク先は見つかりません"_s
                                                                : u"%1を指しています"_s.arg(Named(leadsTo));
        throw RunTimeError(
            what + u"\n%1は、ほかのユーザー（%2）のシンボリックリンクです（%3）。"
                   u"ほかのユーザーのリンクを通しては書き込みません。\n"
                   u"そのリンクを削除するか名前を変えてもらうか、自分のフォルダーでお使いください。"_s.arg(
                       Named(given), sys::OwnerName(given), where));
    }
    if (const sys::Error error = sys::Status(given, info, sys::Follow::Links))
        throw RunTimeError(what + u"\nリンク先のファイルを開けません。"_s + error.text());
    Check(what, sys::ResolveLinks(given, target));
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
