#include "leftovers.h"

#include "filesystem.h"
#include "writesupport.h"

#include "text/runtimeerror.h"

#include <QFileInfo>
#include <QStringList>

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// Why a file under one of our names cannot be ours; empty when it can.
QString NotOursBecause(const sys::FileInfo &info)
{
    if (info.kind == sys::FileKind::Link)
        return u"シンボリックリンクです"_s;
    if (info.kind != sys::FileKind::Regular)
        return u"通常のファイルではありません（フォルダー、名前付きパイプ、デバイスなど）"_s;
    if (!info.mine)
        return u"ほかのユーザーのファイルです"_s;
    if (info.names != 1)
        return u"ほかの名前（ハードリンク）も付いています"_s;
    return {};
}

// Opens a leftover only when it is ours: judged by its name first, so that no FIFO or
// device is ever opened, then on the descriptor, so that nothing put there in between is
// taken. Otherwise a closed file, and `why` says why.
sys::File OpenOurs(const QByteArray &path, sys::FileInfo &info, QString &why)
{
    sys::FileInfo named;
    if (const sys::Error error = sys::Status(path, named, sys::Follow::NotLinks)) {
        why = error.text();
        return {};
    }
    if (why = NotOursBecause(named); !why.isEmpty())
        return {};
    sys::File file;
    sys::Error error = file.open(path, sys::Access::Read, sys::Follow::NotLinks);
    if (!error)
        error = file.info(info);
    if (error) {
        why = error.text();
        return {};
    }
    why = NotOursBecause(info);
    if (why.isEmpty() && info.id != named.id)
        why = u"調べている間に置き換えられました"_s;
    return why.isEmpty() ? std::move(file) : sys::File();
}

// Removes the name while it still names the file that was checked.
sys::Error RemoveChecked(const QByteArray &path, const sys::FileInfo &checked)
{
    sys::FileInfo now;
    if (const sys::Error error = sys::Status(path, now, sys::Follow::NotLinks))
        return error;
    if (now.id != checked.id)
        return sys::Error(sys::Errc::Replaced);
    return sys::Remove(path);
}

// Whether both files hold the same bytes.
bool SameContents(sys::File &a, sys::File &b, qint64 size, const QString &what, const Progress &progress,
                  qint64 total)
{
    sys::FileInfo info;
    Check(what, b.info(info));
    if (info.size != size)
        return false;
    QByteArray chunkA(kChunkSize, Qt::Uninitialized), chunkB(kChunkSize, Qt::Uninitialized);
    for (qint64 offset = 0; offset < size;) {
        qsizetype n = 0, m = 0;
        Check(what, a.readAt(offset, chunkA.data(), chunkA.size(), n));
        if (n > 0)
            Check(what, b.readAt(offset, chunkB.data(), n, m));
        if (n == 0 || m != n || std::memcmp(chunkA.constData(), chunkB.constData(), size_t(n)) != 0)
            return false;
        offset += n;
        ReportProgress(progress, offset, total);
    }
    return true;
}

// "表示するデータ.txt" → "表示するデータ（元に戻す前）.txt", then "…（元に戻す前2）.txt", …
QByteArray KeptPath(const QByteArray &dir, const QByteArray &name, int number)
{
    const QString fileName = sys::PathText(name);
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString extension = dot > 0 ? fileName.mid(dot) : QString();
    const QString tag = number == 1 ? u"（元に戻す前）"_s : u"（元に戻す前%1）"_s.arg(number);
    return dir + "/" + sys::PathBytes(stem + tag + extension);
}

inline constexpr int kKeptNames = 100;

QString Named(const QByteArray &path)
{
    return Quoted(QFileInfo(sys::PathText(path)).absoluteFilePath());
}

// A visible copy of the data file's bytes beside it, with no more access than the data
// file gives.
struct Kept
{
    QByteArray path;
    sys::File file; // open, so that nothing put under its name is ever read back
    sys::FileInfo info;
};

void KeepCopy(sys::File &original, const QByteArray &dir, const QByteArray &name, const QString &what,
              const Progress &progress, qint64 done, qint64 total, Kept &kept)
{
    for (int number = 1; number <= kKeptNames; ++number) {
        const QByteArray path = KeptPath(dir, name, number);
        sys::File to;
        if (const sys::Error error = to.createNew(path)) {
            if (error.code() == sys::Errc::Exists)
                continue;
            Fail(what, error);
        }
        try {
            Check(what, to.protectLike(original));
            CopyContents(original, to, what, progress, done, total);
            Check(what, to.info(kept.info));
        } catch (...) {
            sys::Remove(path);
            throw;
        }
        kept.path = path;
        kept.file = std::move(to);
        return;
    }
    throw RunTimeError(what + u"\n元に戻す前の内容を残すファイルの名前（%1 から %2 まで）がすべて使われています。"
                              u"要らないものを削除してください。"_s.arg(Named(KeptPath(dir, name, 1)),
                                                                     Named(KeptPath(dir, name, kKeptNames))));
}

// No data file: a new one gets the backup's bytes and its protection, read from the
// descriptor that was checked, and never takes the place of a file that appeared meanwhile.
void Recreate(sys::File &from, const sys::FileInfo &saved, const QByteArray &target, const QByteArray &dir,
              const QByteArray &name, const QString &what, const Progress &progress)
{
    sys::File to;
    QByteArray temporary;
    Check(what, to.createTemporary(dir, StalePrefix(name), temporary));
    try {
        Check(what, to.protectLike(from));
        CopyContents(from, to, what, progress, 0, saved.size);
        Check(what, to.close());
        Check(what, sys::MoveNew(temporary, target));
    } catch (...) {
        sys::Remove(temporary);
        throw;
    }
}

// Copies the kept bytes back into the data file and removes the copy; false when that fails
// (then the copy stays, and the message names it).
bool PutBack(Kept &kept, sys::File &to, const QString &what)
{
    try {
        CopyContents(kept.file, to, what);
        return !RemoveChecked(kept.path, kept.info);
    } catch (const RunTimeError &) {
        return false;
    }
}

struct Outcome
{
    QString message; // empty when the data file already held the old bytes
    bool failed = false;
};

// Puts the bytes secured before a write into the file itself back.
Outcome RestoreBackup(const QByteArray &backup, const QByteArray &target, const QByteArray &dir,
                      const QByteArray &name, const Progress &progress)
{
    sys::FileInfo saved;
    QString why;
    sys::File from = OpenOurs(backup, saved, why);
    if (!from.isOpen())
        return {u"データファイルの隣にある%1は、このプログラムが残したものではないため使いませんでした（%2）。"
                u"データファイルはそのままです。"_s.arg(Named(backup), why)};

    const QString what = Named(target) + u"を元に戻せませんでした。"_s;
    Kept kept;
    const auto keptText = [&kept] {
        return kept.path.isEmpty()
                   ? QString()
                   : u"\n元に戻す前の内容は%1に残しました（その後に編集していた場合は、こちらをお使いください）。"_s
                         .arg(Named(kept.path));
    };
    bool restored = true;
    try {
        sys::FileInfo named;
        if (const sys::Error error = sys::Status(target, named, sys::Follow::NotLinks)) {
            if (error.code() != sys::Errc::NotFound)
                Fail(what, error);
            Recreate(from, saved, target, dir, name, what, progress);
        } else {
            if (named.kind != sys::FileKind::Regular)
                throw RunTimeError(what +
                                   u"\nデータファイルが通常のファイルではないため、置き換えませんでした。"_s);
            // One descriptor, checked, for comparing, keeping and writing: nothing put under
            // the name meanwhile is read or written.
            sys::File current;
            bool writable = true;
            if (const sys::Error error = current.open(target, sys::Access::ReadWrite, sys::Follow::NotLinks)) {
                if (error.code() != sys::Errc::AccessDenied)
                    Fail(what, error);
                writable = false;
                Check(what, current.open(target, sys::Access::Read, sys::Follow::NotLinks));
            }
            sys::FileInfo info;
            Check(what, current.info(info));
            if (info.id != named.id || info.kind != sys::FileKind::Regular)
                throw RunTimeError(what + u"\n調べている間にデータファイルが置き換えられました。"_s);
            if (!info.mine)
                throw RunTimeError(what + u"\nデータファイルはほかのユーザーのファイルのため、書き込む前の内容を"
                                          u"入れずにそのままにしました。"_s);
            const qint64 total = 2 * saved.size + info.size;
            restored = !SameContents(from, current, saved.size, what, progress, total);
            if (restored) {
                const QString refusal =
                    u"\nデータファイルは書き込みが禁止されているため、置き換えませんでした。内容はそのままです。"_s;
                if (!writable)
                    throw RunTimeError(what + refusal);
                RequireWritable(target, info, what, refusal);
                KeepCopy(current, dir, name, what, progress, saved.size, total, kept);
                try {
                    CopyContents(from, current, what, progress, saved.size + info.size, total);
                } catch (...) {
                    // Stopped half-way: the data file gets its own bytes back, never a mix.
                    if (PutBack(kept, current, what))
                        kept = Kept();
                    throw;
                }
            }
        }
        Check(what, sys::FlushFolder(dir));
    } catch (const Cancelled &) {
        return {u"元に戻すのを中止しました。"_s + keptText() +
                    u"\n書き込む前の内容は%1に残っています。次に起動したときに、もう一度元に戻します。"_s.arg(
                        Named(backup)),
                true};
    } catch (const RunTimeError &error) {
        return {error.message() + keptText() +
                    u"\n書き込む前の内容は%1に残っています。原因を取り除いてから起動し直すと、もう一度元に戻します。"
                    u"それまでは、データファイルを書き換えられません。"_s.arg(Named(backup)),
                true};
    }

    Outcome outcome;
    if (restored)
        outcome.message =
            u"前回の書き込みが途中で止まっていたため、データファイル%1を書き込む前の内容に戻しました。"_s.arg(
                Named(target)) +
            keptText();
    if (const sys::Error error = RemoveChecked(backup, saved)) {
        if (!outcome.message.isEmpty())
            outcome.message += u'\n';
        outcome.message +=
            u"書き込む前の内容を保存した%1を削除できませんでした。"_s.arg(Named(backup)) + error.text();
        outcome.failed = true;
    }
    return outcome;
}

} // namespace

bool HoldsOurBackup(const QByteArray &dir, const QByteArray &name)
{
    sys::FileInfo info;
    return !sys::Status(BackupPath(dir, name), info, sys::Follow::NotLinks) && NotOursBecause(info).isEmpty();
}

// With the folder locked: nobody is writing there now, so every temporary file of ours
// is a killed run's.
QString ClearStaleFilesIn(const QByteArray &dir, const QByteArray &name, const QByteArray &target,
                          const Progress &progress, bool *failed)
{
    const QByteArray prefix = StalePrefix(name);
    QStringList messages;
    bool anyFailed = false;
    for (const QByteArray &entryName : sys::FolderEntries(dir)) {
        if (!entryName.startsWith(prefix))
            continue;
        const QByteArray rest = entryName.mid(prefix.size());
        const QByteArray path = dir + "/" + entryName;
        sys::FileInfo info;
        if (rest == kBackupTag) {
            const Outcome outcome = RestoreBackup(path, target, dir, name, progress);
            if (!outcome.message.isEmpty())
                messages.append(outcome.message);
            anyFailed = anyFailed || outcome.failed;
        } else if (rest.size() == 6 && !sys::Status(path, info, sys::Follow::NotLinks) &&
                   NotOursBecause(info).isEmpty()) {
            RemoveChecked(path, info);
        }
    }
    if (failed)
        *failed = anyFailed;
    return messages.join(u'\n');
}

QString ClearStaleFiles(const QString &path, const Progress &progress, bool *failed)
{
    if (failed)
        *failed = false;
    try {
        QByteArray target, dir, name;
        sys::FileInfo info;
        ResolveTarget(sys::PathBytes(path), target, info, QString());
        SplitPath(target, dir, name);
        sys::FolderLock lock;
        switch (lock.take(dir)) {
        case sys::FolderLock::State::Taken:
            return ClearStaleFilesIn(dir, name, target, progress, failed);
        case sys::FolderLock::State::Busy:
            if (!HoldsOurBackup(dir, name))
                return {};
            if (failed)
                *failed = true;
            return u"前回の書き込みが途中で止まっていますが、別のウィンドウがフォルダー%1を使っているため、"
                   u"まだ元に戻していません。読み込んだデータは書きかけのものかもしれません。"
                   u"そのウィンドウを閉じてから起動し直すと、書き込む前の内容（%2）に戻します。"_s.arg(
                       FolderText(dir), Named(BackupPath(dir, name)));
        case sys::FolderLock::State::Unavailable:
            return {};
        }
        return {};
    } catch (const RunTimeError &) {
        return {}; // no data file to look beside: reading it will tell the user
    }
}
