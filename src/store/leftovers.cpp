#include "leftovers.h"

#include "filesystem.h"
#include "writesupport.h"

#include "text/runtimeerror.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

const QString kDropToRestore = u"元に戻すには、このファイルをウィンドウにドロップしてください。"_s;

bool IsOurs(const sys::FileInfo &info)
{
    return info.kind == sys::FileKind::Regular && info.mine && info.names == 1;
}

enum class Leftover { None, Temporary, Backup };

// Which of our names `entry` is; only whole names count, never one that merely holds ours.
Leftover KindOf(const QByteArray &entry, const QByteArray &name)
{
    const QByteArray backup = BackupPrefix(name);
    // ".<name>.pelmor-backup" alone: what earlier versions named it.
    if (entry == backup.chopped(1) ||
        (entry.startsWith(backup) && IsRandomTag(QByteArrayView(entry).sliced(backup.size()))))
        return Leftover::Backup;
    const QByteArray prefix = StalePrefix(name);
    if (entry.startsWith(prefix) && IsRandomTag(QByteArrayView(entry).sliced(prefix.size())))
        return Leftover::Temporary;
    return Leftover::None;
}

// Removes the name while it still names the file that was checked.
void RemoveChecked(const QByteArray &path, const sys::FileInfo &checked)
{
    sys::FileInfo now;
    if (!sys::Status(path, now, sys::Follow::NotLinks) && now.id == checked.id)
        sys::Remove(path);
}

// "表示するデータ.txt" → "表示するデータ（書き込む前）.txt", or with a tag when that is taken.
QByteArray VisiblePath(const QByteArray &dir, const QByteArray &name, const QByteArray &tag)
{
    const QString fileName = sys::PathText(name);
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString extension = dot > 0 ? fileName.mid(dot) : QString();
    const QString label =
        tag.isEmpty() ? u"（書き込む前）"_s : u"（書き込む前 %1）"_s.arg(QString::fromLatin1(tag));
    return dir + "/" + sys::PathBytes(stem + label + extension);
}

// Copies the backup to a new visible file beside the data file, then removes the backup. The
// copy is made whole under a temporary name and only then given its visible name, never
// over one that is taken: a visible file always holds every old byte. The message to tell.
QString ShowBackup(const QByteArray &backup, const sys::FileInfo &named, const QByteArray &target,
                   const QByteArray &dir, const QByteArray &name, const Progress &progress)
{
    // Looked at by name first, so that no FIFO or device is ever opened; trusted on the
    // descriptor, so that nothing put under the name meanwhile is taken.
    sys::File from;
    sys::FileInfo info;
    if (from.open(backup, sys::Access::Read, sys::Follow::NotLinks) || from.info(info) || !IsOurs(info) ||
        info.id != named.id)
        return {};
    QString message =
        u"前回、データファイル%1への書き込みが途中で止まりました。データファイルは書きかけかもしれません。\n"_s
            .arg(Named(target));
    QByteArray shown, temporary;
    try {
        const QString what = u"書き込む前の内容を見えるファイルにできませんでした。"_s;
        sys::File to;
        Check(what, to.createTemporary(dir, StalePrefix(name), temporary));
        Check(what, to.protectAsCopyOf(from));
        CopyContents(from, to, what, progress);
        Check(what, to.close());
        for (int attempt = 0; attempt < 10 && shown.isEmpty(); ++attempt) {
            const QByteArray path = VisiblePath(dir, name, attempt == 0 ? QByteArray() : RandomTag());
            sys::Error error = sys::MoveNew(temporary, path);
            // Without a move that never replaces, only a name no one can guess is safe.
            if (error.code() == sys::Errc::Unsupported && attempt > 0)
                error = sys::Replace(temporary, path);
            if (!error)
                shown = path;
            else if (error.code() != sys::Errc::Exists && error.code() != sys::Errc::Unsupported)
                Fail(what, error);
        }
    } catch (const Cancelled &) {
    } catch (const RunTimeError &error) {
        message += error.message() + u'\n';
    }
    if (shown.isEmpty()) {
        if (!temporary.isEmpty())
            sys::Remove(temporary);
        return message + u"書き込む前の内容は%1にあります。"_s.arg(Named(backup)) + kDropToRestore;
    }
    sys::FlushFolder(dir);
    RemoveChecked(backup, info);
    return message + u"書き込む前の内容は%1に残しました。"_s.arg(Named(shown)) + kDropToRestore;
}

// Told only where that account could have written the data file: anything else is just
// another account's file with one of our names.
QString AnotherAccountsBackup(const QByteArray &backup, const QByteArray &target)
{
    if (!sys::OwnerCouldWrite(backup, target))
        return {};
    const QString owner = sys::OwnerName(backup);
    return u"データファイル%1の隣に、ほかのユーザー（%2）の書き込みが途中で止まったときに残ったと思われるファイル%3が"
           u"あります。データファイルは書きかけかもしれません。\nそのファイルの中身は%2が書いたもので、"
           u"データファイルの元の内容かどうかは%2にしか分かりません。%2に確かめてもらってください。"_s.arg(
               Named(target), owner, Named(backup));
}

} // namespace

QString ClearStaleFiles(const QString &path, const Progress &progress, bool *failed)
{
    if (failed)
        *failed = false;
    QByteArray target, dir, name;
    sys::FileInfo data;
    bool exists = false;
    try {
        exists = ResolveTarget(sys::PathBytes(path), target, data, QString());
    } catch (const RunTimeError &) {
        return {}; // reading the data file tells the user what is wrong with it
    }
    SplitPath(target, dir, name);

    // Only with the folder locked is a temporary file or backup a killed run's, not a
    // live window's.
    sys::FolderLock lock;
    QList<QByteArray> entries;
    const sys::FolderLock::State state = lock.take(dir);
    if (state == sys::FolderLock::State::Busy)
        return {};
    if (state == sys::FolderLock::State::Unavailable || sys::FolderEntries(dir, entries)) {
        // Only a data file that is written into itself can have had a backup.
        if (!exists || (data.mine && data.names == 1))
            return {};
        return u"フォルダー%"
               u"1の中を読めない（一覧を読む権限がないか、ファイルシステムがロックに対応していない）ため、"
               u"前回の書き込みが途中で止まっていないか確かめられませんでした。"_s.arg(Named(dir));
    }

    QStringList messages;
    for (const QByteArray &entry : std::as_const(entries)) {
        const Leftover kind = KindOf(entry, name);
        sys::FileInfo info;
        const QByteArray leftover = dir + "/" + entry;
        if (kind == Leftover::None || sys::Status(leftover, info, sys::Follow::NotLinks))
            continue;
        if (kind == Leftover::Temporary && IsOurs(info))
            RemoveChecked(leftover, info);
        else if (kind == Leftover::Backup && IsOurs(info))
            messages.append(ShowBackup(leftover, info, target, dir, name, progress));
        else if (kind == Leftover::Backup && info.kind == sys::FileKind::Regular && !info.mine)
            messages.append(AnotherAccountsBackup(leftover, target));
    }
    messages.removeAll(QString());
    if (failed)
        *failed = !messages.isEmpty();
    return messages.join(u'\n');
}
