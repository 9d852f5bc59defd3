#include "datawriter.h"

#include "cp932.h"
#include "guards.h"
#include "leftovers.h"
#include "linecutter.h"
#include "writesupport.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Gives `to` every extended attribute of the file at `from` (ACLs are stored as such).
bool CopyExtendedAttributes(const QByteArray &from, int to)
{
    ssize_t size = ::listxattr(from.constData(), nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    QByteArray names(size, Qt::Uninitialized);
    size = ::listxattr(from.constData(), names.data(), size_t(names.size()));
    if (size < 0)
        return false;
    for (const QByteArray &name : names.left(size).split('\0')) {
        if (name.isEmpty())
            continue;
        const ssize_t length = ::getxattr(from.constData(), name.constData(), nullptr, 0);
        if (length < 0)
            return false;
        QByteArray value(length, Qt::Uninitialized);
        const ssize_t got =
            ::getxattr(from.constData(), name.constData(), value.data(), size_t(value.size()));
        if (got < 0 || ::fsetxattr(to, name.constData(), value.constData(), size_t(got), 0) != 0)
            return false;
    }
    return true;
}

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
    m_exists = ResolveTarget(QFile::encodeName(path), m_target, m_old, m_what);
    if (m_exists) {
        if (!S_ISREG(m_old.st_mode))
            throw RunTimeError(
                m_what +
                u"\n通常のファイルではない（フォルダー、デバイス、名前付きパイプなど）ため、置き換えませんでした。"_s);
        RequireWritable(
            m_target, m_old, m_what,
            u"\nこのファイルは書き込みが禁止されているため、置き換えませんでした。内容はそのままです。"_s);
    }
    SplitPath(m_target, m_dir, m_name);
    if (LockFolder(m_dir, m_lock) == Lock::Busy)
        throw RunTimeError(
            m_what +
            u"\n別のウィンドウがこのフォルダーのデータファイルを書き込んでいます。終わってからもう一度お試しください。"_s);
    if (m_lock.get() >= 0)
        ClearStaleFilesIn(m_dir, m_name, m_target);

    QByteArray pattern = TempPattern(m_dir, m_name);
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            throw RunTimeError(
                m_what + u"\nフォルダー%1に書き込む権限がありません。"
                         u"データファイルを置き換えるには、そのフォルダーに書き込めることが必要です。"_s.arg(
                             FolderText(m_dir)));
        Fail(m_what, errno);
    }
    m_temp = Fd(fd);
    m_tempPath = pattern;
}

DataFileWriter::~DataFileWriter()
{
    if (!m_committed) {
        m_temp.reset();
        ::unlink(m_tempPath.constData());
    }
}

void DataFileWriter::write(const char *data, qsizetype size)
{
    WriteAll(m_temp.get(), data, size, m_what);
    m_size += size;
}

void DataFileWriter::commit()
{
    if (!m_exists) {
        if (::fchmod(m_temp.get(), NewFileMode()) != 0)
            Fail(m_what, errno);
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
    if (m_old.st_nlink > 1)
        return false;
    if ((m_old.st_uid != ::geteuid() || m_old.st_gid != ::getegid()) &&
        ::fchown(m_temp.get(), m_old.st_uid, m_old.st_gid) != 0)
        return false;
    // After the owner: a change of owner clears the set-user-ID bits.
    if (::fchmod(m_temp.get(), m_old.st_mode & 07777) != 0)
        return false;
    return CopyExtendedAttributes(m_target, m_temp.get());
}

void DataFileWriter::ReplaceByRename()
{
    if (::fsync(m_temp.get()) != 0)
        Fail(m_what, errno);
    if (::close(m_temp.release()) != 0)
        Fail(m_what, errno);
    if (::rename(m_tempPath.constData(), m_target.constData()) != 0)
        Fail(m_what, errno);
    m_committed = true;
    SyncFolder(m_dir, m_what);
}

// The old bytes are secured in the backup first; a failure puts them back, and if the
// program dies meanwhile the next run does (ClearStaleFiles).
void DataFileWriter::WriteInPlace()
{
    Fd file(::open(m_target.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat now;
    if (file.get() < 0 || ::fstat(file.get(), &now) != 0)
        Fail(m_what, errno);
    if (now.st_dev != m_old.st_dev || now.st_ino != m_old.st_ino || !S_ISREG(now.st_mode))
        throw RunTimeError(m_what + u"\n書き込みの間にファイルが置き換えられました。"_s);

    QByteArray pattern = TempPattern(m_dir, m_name);
    Fd backup(::mkostemp(pattern.data(), O_CLOEXEC));
    if (backup.get() < 0)
        Fail(m_what, errno);
    const QByteArray backupPath = BackupPath(m_dir, m_name);
    try {
        CopyContents(file.get(), backup.get(), m_what);
        if (::rename(pattern.constData(), backupPath.constData()) != 0)
            Fail(m_what, errno);
    } catch (...) {
        ::unlink(pattern.constData());
        throw;
    }
    SyncFolder(m_dir, m_what);

    try {
        // Room first: a full disk then stops the write before any byte of the file changes.
        if (m_size > now.st_size) {
            if (const int error = ::posix_fallocate(file.get(), 0, m_size); error != 0)
                Fail(m_what, error);
        }
        CopyContents(m_temp.get(), file.get(), m_what);
    } catch (...) {
        try {
            CopyContents(backup.get(), file.get(), m_what);
            ::unlink(backupPath.constData());
        } catch (...) {
            // The backup stays; the next run puts it back.
        }
        throw;
    }
    ::unlink(backupPath.constData());
    SyncFolder(m_dir, m_what);
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
