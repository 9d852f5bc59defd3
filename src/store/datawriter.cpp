#include "datawriter.h"

#include "leftovers.h"
#include "writesupport.h"

#include "text/cp932.h"
#include "text/linecutter.h"
#include "text/runtimeerror.h"

using namespace Qt::StringLiterals;

namespace {

// The pieces of pasted text as they are stored: each lone LF made a CR LF, then one CR
// LF; a surrogate pair is never split. `piece(text, charsDone)` gets each in turn.
template <typename Piece> void ForEachPastedPiece(const QString &text, Piece piece)
{
    constexpr qsizetype kPieceChars = 1 << 16;
    QString out;
    out.reserve(kPieceChars + 2);
    QChar previous;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\n' && previous != u'\r')
            out.append(u'\r');
        out.append(c);
        previous = c;
        if (out.size() >= kPieceChars && !c.isHighSurrogate()) {
            piece(QStringView(out), i + 1);
            out.clear();
        }
    }
    out.append(u"\r\n"_s);
    piece(QStringView(out), text.size());
}

// Whether text can be stored in code page 932: every character has a code there, and
// the bytes do not read back as UTF-8 (half-width "ﾃｽ" is 0xC3 0xBD).
bool PastedTextFitsCp932(const QString &text, const Progress &progress, qint64 total)
{
    bool fits = true;
    // Pasted text always holds a CR, so its lines end at CR LF.
    LineCutter cutter(LineEnds::CrOrCrLf, kMaxDataLines);
    ForEachPastedPiece(text, [&](QStringView piece, qsizetype done) {
        if (!fits)
            return;
        const std::optional<QByteArray> bytes = EncodeCp932(piece);
        if (!bytes)
            fits = false;
        else if (!cutter.truncated())
            cutter.feed(*bytes);
        ReportProgress(progress, done, total);
    });
    if (!fits)
        return false;
    cutter.finish();
    return DetectEncoding(cutter.lines(), false) == TextEncoding::Cp932;
}

template <typename Sink> void EncodePastedText(const QString &text, const Progress &progress, Sink sink)
{
    const qint64 total = 2 * qint64(text.size()) + 1;
    const bool cp932 = PastedTextFitsCp932(text, progress, total);
    if (!cp932)
        sink(QByteArrayView(kUtf8Bom));
    ForEachPastedPiece(text, [&](QStringView piece, qsizetype done) {
        sink(cp932 ? *EncodeCp932(piece) : piece.toUtf8());
        ReportProgress(progress, text.size() + done, total);
    });
}

} // namespace

DataFileWriter::DataFileWriter(const QString &path) : m_what(Quoted(path) + u"に書き込めませんでした。"_s)
{
    m_exists = ResolveTarget(sys::PathBytes(path), m_target, m_old, m_what);
    if (m_exists) {
        if (m_old.kind != sys::FileKind::Regular)
            throw RunTimeError(
                m_what +
                u"\n通常のファイルではない（フォルダー、デバイス、名前付きパイプなど）ため、置き換えませんでした。"_s);
        RequireWritable(
            m_target, m_old, m_what,
            u"\nこのファイルは書き込みが禁止されているため、置き換えませんでした。内容はそのままです。"_s);
    }
    SplitPath(m_target, m_dir, m_name);
    const sys::FolderLock::State lock = m_lock.take(m_dir);
    if (lock == sys::FolderLock::State::Busy)
        throw RunTimeError(
            m_what +
            u"\n別のウィンドウがこのフォルダーのデータファイルを書き込んでいます。終わってからもう一度お試しください。"_s);
    if (lock == sys::FolderLock::State::Taken) {
        const QString repair = ClearStaleFilesIn(m_dir, m_name, m_target);
        // A backup that could not be put back must not outlive a write: a later start
        // would take it for this write's and undo it.
        if (HoldsOurBackup(m_dir, m_name))
            throw RunTimeError(m_what + u"\n"_s + repair);
    }

    if (const sys::Error error = m_temp.createTemporary(m_dir, StalePrefix(m_name), m_tempPath)) {
        if (error.code() == sys::Errc::AccessDenied)
            throw RunTimeError(
                m_what + u"\nフォルダー%1に書き込む権限がありません。"
                         u"データファイルを置き換えるには、そのフォルダーに書き込めることが必要です。"_s.arg(
                             FolderText(m_dir)));
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
    Check(m_what, m_temp.write(data, size));
    m_size += size;
}

void DataFileWriter::commit()
{
    if (!m_exists) {
        Check(m_what, m_temp.protectAsNew());
        ReplaceByRename();
    } else if (TakeOverFile()) {
        ReplaceByRename();
    } else {
        WriteInPlace();
    }
}

// Gives the temporary file everything of the old one that a rename would lose. False
// when that cannot be done (another owner, more names than one): then the file itself
// must be written.
bool DataFileWriter::TakeOverFile()
{
    return m_old.names == 1 && m_temp.takeOver(m_target, m_old);
}

void DataFileWriter::ReplaceByRename()
{
    Check(m_what, m_temp.flush());
    Check(m_what, m_temp.close());
    Check(m_what, sys::Replace(m_tempPath, m_target));
    m_committed = true;
    Check(m_what, sys::FlushFolder(m_dir));
}

// The old bytes are secured in the backup first; a failure puts them back, and if the
// program dies meanwhile the next run does (ClearStaleFiles).
void DataFileWriter::WriteInPlace()
{
    sys::File file;
    sys::FileInfo now;
    Check(m_what, file.open(m_target, sys::Access::ReadWrite, sys::Follow::NotLinks));
    Check(m_what, file.info(now));
    if (now.id != m_old.id || now.kind != sys::FileKind::Regular)
        throw RunTimeError(m_what + u"\n書き込みの間にファイルが置き換えられました。"_s);

    sys::File backup;
    QByteArray pattern;
    Check(m_what, backup.createTemporary(m_dir, StalePrefix(m_name), pattern));
    const QByteArray backupPath = BackupPath(m_dir, m_name);
    try {
        Check(m_what, backup.protectLike(file));
        CopyContents(file, backup, m_what);
        Check(m_what, sys::MoveNew(pattern, backupPath));
    } catch (...) {
        sys::Remove(pattern);
        throw;
    }
    Check(m_what, sys::FlushFolder(m_dir));

    try {
        // Room first: a full disk then stops the write before any byte of the file changes.
        if (m_size > now.size)
            Check(m_what, file.reserve(m_size));
        CopyContents(m_temp, file, m_what);
        // The backup goes with the write: left behind, a later start would undo the write.
        Check(m_what, sys::Remove(backupPath));
    } catch (...) {
        try {
            CopyContents(backup, file, m_what);
            sys::Remove(backupPath);
        } catch (...) {
            // The backup stays; the next run puts it back.
        }
        throw;
    }
    Check(m_what, sys::FlushFolder(m_dir));
}

QByteArray EncodeDataText(const QString &text)
{
    if (std::optional<QByteArray> cp932 = EncodeCp932(text)) {
        // Read back, these bytes must not pass for UTF-8 (half-width "ﾃｽ" is 0xC3 0xBD).
        if (DetectEncoding(CutLines(*cp932, kMaxDataLines).lines, false) == TextEncoding::Cp932)
            return *cp932;
    }
    return QByteArray(kUtf8Bom) + text.toUtf8();
}

QByteArray PastedDataBytes(const QString &clipboardText)
{
    QByteArray bytes;
    EncodePastedText(clipboardText, {}, [&bytes](QByteArrayView piece) { bytes.append(piece); });
    return bytes;
}

void WritePastedText(const QString &clipboardText, const QString &path, const Progress &progress)
{
    DataFileWriter writer(path);
    EncodePastedText(clipboardText, progress,
                     [&writer](QByteArrayView piece) { writer.write(piece.constData(), piece.size()); });
    writer.commit();
}

void WriteDataFile(const QByteArray &bytes, const QString &path)
{
    DataFileWriter writer(path);
    writer.write(bytes.constData(), bytes.size());
    writer.commit();
}
