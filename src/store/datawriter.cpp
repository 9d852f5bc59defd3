#include "datawriter.h"

#include "writesupport.h"

#include "text/pastedtext.h"
#include "text/runtimeerror.h"

using namespace Qt::StringLiterals;

DataFileWriter::DataFileWriter(const QString &path) : m_what(Quoted(path) + u"に書き込めませんでした。"_s)
{
    m_exists = ResolveTarget(sys::PathBytes(path), m_target, m_old, m_what);
    if (m_exists) {
        if (m_old.kind != sys::FileKind::Regular)
            throw RunTimeError(
                m_what +
                u"\n通常のファイルではない（フォルダー、デバイス、名前付きパイプなど）ため、置き換えませんでした。"_s);
        if (const sys::Error error = sys::CheckWritable(m_target, m_old);
            error.code() == sys::Errc::AccessDenied)
            throw RunTimeError(
                m_what +
                u"\nこのファイルは書き込みが禁止されているため、置き換えませんでした。内容はそのままです。"_s +
                (m_old.mine
                     ? QString()
                     : u"\n%1はほかのユーザー（%2）のファイルです。そのユーザーに書き込みを許してもらうか、"
                       u"自分のフォルダーでお使いください。"_s.arg(Named(m_target),
                                                                   sys::OwnerName(m_target))));
        else
            Check(m_what, error);
    }
    SplitPath(m_target, m_dir, m_name);
    const sys::FolderLock::State lock = m_lock.take(m_dir);
    if (lock == sys::FolderLock::State::Busy)
        throw RunTimeError(
            m_what +
            u"\n別のウィンドウがこのフォルダーのデータファイルを書き込んでいます。終わってからもう一度お試しください。"_s);

    if (const sys::Error error = m_temp.createTemporary(m_dir, StalePrefix(m_name), m_tempPath)) {
        if (error.code() == sys::Errc::AccessDenied)
            throw RunTimeError(
                m_what + u"\nフォルダー%1に書き込む権限がありません。"
                         u"データファイルを置き換えるには、そのフォルダーに書き込めることが必要です。"_s.arg(
                             Named(m_dir)));
        Fail(m_what, error);
    }
}

DataFileWriter::~DataFileWriter()
{
    m_temp.close();
    if (!m_committed && !m_tempPath.isEmpty())
        sys::Remove(m_tempPath);
}

void DataFileWriter::write(const char *data, qsizetype size)
{
    Check(m_what, m_temp.writeAt(m_size, data, size));
    m_size += size;
}

void DataFileWriter::commit(const Progress &progress)
{
    if (!m_exists) {
        Check(m_what, m_temp.protectAsNew());
        ReplaceByRename();
    } else if (m_old.names == 1 && m_temp.takeOver(m_target, m_old)) {
        ReplaceByRename();
    } else {
        // A rename would lose what cannot be given to a new file (another owner or group,
        // other names): the file itself is written.
        WriteInPlace(progress);
    }
}

void DataFileWriter::ReplaceByRename()
{
    Check(m_what, m_temp.flush());
    Check(m_what, m_temp.close());
    Check(m_what, sys::Replace(m_tempPath, m_target));
    m_committed = true;
    Check(m_what, sys::FlushFolder(m_dir));
}

// The old bytes are secured in a backup first, under a fresh name and readable by no one
// the data file keeps out; a failure or a cancel puts them back. If the program dies
// meanwhile, the next start shows the backup and tells the user (leftovers.h). Both copies
// tell `progress`, one after the other, so that a large file keeps the window answering.
void DataFileWriter::WriteInPlace(const Progress &progress)
{
    sys::File file;
    sys::FileInfo now;
    Check(m_what, file.open(m_target, sys::Access::ReadWrite, sys::Follow::NotLinks));
    Check(m_what, file.info(now));
    if (now.id != m_old.id || now.kind != sys::FileKind::Regular)
        throw RunTimeError(m_what + u"\n書き込みの間にファイルが置き換えられました。"_s);
    const qint64 total = now.size + m_size;
    const auto phase = [&progress, total](qint64 before, bool mayStop) -> Progress {
        return [&progress, total, before, mayStop](qint64 done, qint64) {
            return !progress || progress(before + done, total) || !mayStop;
        };
    };

    // Made whole under a temporary name and only then given the backup's: a backup is
    // always every old byte.
    sys::File backup;
    QByteArray temporary;
    Check(m_what, backup.createTemporary(m_dir, StalePrefix(m_name), temporary));
    QByteArray backupPath;
    try {
        Check(m_what, backup.protectAsCopyOf(file));
        CopyContents(file, backup, m_what, phase(0, true));
        backupPath = MoveToFreshName(temporary, m_dir, BackupPrefix(m_name), m_what);
    } catch (...) {
        sys::Remove(temporary);
        throw;
    }
    Check(m_what, sys::FlushFolder(m_dir));

    try {
        // Room first: a full disk then stops the write before any byte of the file changes.
        if (m_size > now.size)
            Check(m_what, file.reserve(m_size));
        CopyContents(m_temp, file, m_what, phase(now.size, true), m_size);
        // The backup goes with the write: left behind, a later start would say the write stopped.
        Check(m_what, sys::Remove(backupPath));
    } catch (...) {
        try {
            // Only the bytes the write may have reached can differ from the backup's.
            CopyContents(backup, file, m_what, phase(0, false), m_size);
            sys::Remove(backupPath);
        } catch (...) {
            // The backup stays; the next start shows it to the user.
        }
        throw;
    }
    Check(m_what, sys::FlushFolder(m_dir));
}

void WritePastedText(const QString &clipboardText, const QString &path, const Progress &progress)
{
    DataFileWriter writer(path);
    EncodePastedText(
        clipboardText, kMaxDataLines,
        [&writer](QByteArrayView piece) { writer.write(piece.constData(), piece.size()); },
        [&progress](qint64 done, qint64 total) { ReportProgress(progress, done, total); });
    writer.commit(progress);
}

void WriteDataFile(const QByteArray &bytes, const QString &path)
{
    DataFileWriter writer(path);
    writer.write(bytes.constData(), bytes.size());
    writer.commit();
}
