#include "datafile.h"

#include "cp932.h"
#include "guards.h"
#include "linecutter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kChunkSize = 1 << 20;

QString Quoted(const QString &path)
{
    return u"「"_s + QDir::toNativeSeparators(path) + u"」"_s;
}

QString ErrnoText(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return u"アクセスが許可されていません。"_s;
    case ENOENT:
        return u"ファイルまたはフォルダーが見つかりません。"_s;
    case EISDIR:
        return u"ファイルではなくフォルダーです。"_s;
    case ENOSPC:
        return u"ディスクの空き容量が足りません。"_s;
    case EDQUOT:
        return u"ディスクの使用量の上限に達しました。"_s;
    case EFBIG:
        return u"ファイルが大きすぎます。"_s;
    case EROFS:
        return u"読み取り専用のファイルシステムです。"_s;
    case EIO:
        return u"入出力エラーが起きました。"_s;
    case ELOOP:
        return u"シンボリックリンクが多すぎます。"_s;
    case ENAMETOOLONG:
        return u"パスが長すぎます。"_s;
    default:
        return u"システムエラーが起きました（%1: %2）。"_s.arg(error).arg(
            QString::fromLocal8Bit(std::strerror(error)));
    }
}

[[noreturn]] void Fail(const QString &what, int error)
{
    throw RunTimeError(what + u"\n"_s + ErrnoText(error));
}

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset();
        m_fd = other.release();
        return *this;
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Opens without blocking (a FIFO would wait for a writer) and refuses anything but an
// ordinary file. Returns the errno of a failure, or 0.
int OpenRegularFile(const QString &path, Fd &fd, struct stat &info)
{
    fd = Fd();
    const int raw = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (raw < 0)
        return errno;
    Fd opened(raw);
    if (::fstat(raw, &info) != 0)
        return errno;
    if (S_ISDIR(info.st_mode))
        return EISDIR;
    if (!S_ISREG(info.st_mode))
        return -1;
    // Reads from an ordinary file never block; the flag is of no further use.
    ::fcntl(raw, F_SETFL, ::fcntl(raw, F_GETFL) & ~O_NONBLOCK);
    fd = std::move(opened);
    return 0;
}

// Reads up to `size` bytes, retrying after signals. Throws on a read error.
qsizetype ReadSome(int fd, char *buffer, qsizetype size, const QString &what)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size_t(size));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            Fail(what, errno);
    }
}

void WriteAll(int fd, const char *data, qsizetype size, const QString &what)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(what, errno);
        }
        data += n;
        size -= n;
    }
}

// A temporary file beside the target that becomes the target on commit().
class AtomicWriter
{
public:
    explicit AtomicWriter(const QString &path)
    {
        // Write through a link to the file it names, as an editor would.
        const QFileInfo info(path);
        m_target = info.isSymLink() && info.exists() ? info.canonicalFilePath() : path;
        m_what = Quoted(path) + u"に書き込めませんでした。"_s;
        const QFileInfo target(m_target);
        QByteArray pattern =
            QFile::encodeName(target.absolutePath() + u"/."_s + target.fileName() + u".XXXXXX"_s);
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0)
            Fail(m_what, errno);
        m_fd = Fd(fd);
        m_tempPath = pattern;
    }
    ~AtomicWriter()
    {
        if (!m_committed) {
            m_fd.reset();
            ::unlink(m_tempPath.constData());
        }
    }
    AtomicWriter(const AtomicWriter &) = delete;
    AtomicWriter &operator=(const AtomicWriter &) = delete;

    void write(const char *data, qsizetype size) { WriteAll(m_fd.get(), data, size, m_what); }

    void commit()
    {
        const QByteArray target = QFile::encodeName(m_target);
        struct stat old;
        mode_t mode;
        if (::stat(target.constData(), &old) == 0) {
            mode = old.st_mode & 07777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        if (::fchmod(m_fd.get(), mode) != 0 || ::fsync(m_fd.get()) != 0)
            Fail(m_what, errno);
        if (::close(m_fd.release()) != 0)
            Fail(m_what, errno);
        if (::rename(m_tempPath.constData(), target.constData()) != 0)
            Fail(m_what, errno);
        m_committed = true;
    }

private:
    QString m_target;
    QString m_what;
    QByteArray m_tempPath;
    Fd m_fd;
    bool m_committed = false;
};

DataFileText Decode(const QList<QByteArray> &rawLines, bool truncated)
{
    QList<QByteArray> lines = rawLines;
    const bool bom = !lines.isEmpty() && lines.first().startsWith(kUtf8Bom);
    if (bom)
        lines.first().remove(0, 3);
    DataFileText text;
    text.encoding = DetectEncoding(lines, bom);
    text.lines = DecodeLines(lines, text.encoding);
    text.truncated = truncated;
    return text;
}

} // namespace

QString DataFileName()
{
    return u"表示するデータ.txt"_s;
}

bool DataFileExists(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

DataFileText ParseDataBytes(QByteArrayView bytes)
{
    const CutResult cut = CutLines(bytes, kMaxDataLines);
    return Decode(cut.lines, cut.truncated);
}

DataFileText ReadDataFile(const QString &path)
{
    const QString what = Quoted(path) + u"を読み込めませんでした。"_s;
    Fd fd;
    struct stat info;
    if (const int error = OpenRegularFile(path, fd, info); error != 0)
        throw RunTimeError(what + u"\n"_s +
                           (error < 0 ? u"通常のファイルではありません。"_s : ErrnoText(error)));

    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    // A single CR anywhere decides how lines end, so look for one first.
    LineEnds ends = LineEnds::Lf;
    for (qsizetype n; (n = ReadSome(fd.get(), chunk.data(), chunk.size(), what)) > 0;) {
        if (QByteArrayView(chunk.constData(), n).contains('\r')) {
            ends = LineEnds::CrOrCrLf;
            break;
        }
    }
    if (::lseek(fd.get(), 0, SEEK_SET) != 0)
        Fail(what, errno);

    LineCutter cutter(ends, kMaxDataLines);
    for (qsizetype n; (n = ReadSome(fd.get(), chunk.data(), chunk.size(), what)) > 0;) {
        if (!cutter.feed(QByteArrayView(chunk.constData(), n)))
            break;
    }
    cutter.finish();
    return Decode(cutter.lines(), cutter.truncated());
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
    QString text;
    text.reserve(clipboardText.size() + clipboardText.count(u'\n') + 2);
    QChar previous;
    for (QChar c : clipboardText) {
        if (c == u'\n' && previous != u'\r')
            text.append(u'\r');
        text.append(c);
        previous = c;
    }
    text.append(u"\r\n"_s);
    return EncodeDataText(text);
}

void WriteDataFile(const QByteArray &bytes, const QString &path)
{
    AtomicWriter writer(path);
    writer.write(bytes.constData(), bytes.size());
    writer.commit();
}

SourceFile::SourceFile(const QString &path) : m_path(path)
{
    Fd fd;
    struct stat info;
    if (const int error = OpenRegularFile(path, fd, info); error != 0) {
        const QString what = Quoted(path) + u"は読み込めません。"_s;
        throw RunTimeError(what + u"\n"_s +
                           (error < 0 ? u"通常のファイルではありません（デバイスや名前付きパイプなど）。"_s
                                      : ErrnoText(error)));
    }
    m_fd = fd.release();
}

SourceFile::~SourceFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SourceFile::isSameFileAs(const QString &path) const
{
    struct stat mine, other;
    return ::fstat(m_fd, &mine) == 0 && ::stat(QFile::encodeName(path).constData(), &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

void SourceFile::copyOver(const QString &path)
{
    const QString what = Quoted(m_path) + u"を読み込めませんでした。"_s;
    AtomicWriter writer(path);
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    for (qsizetype n; (n = ReadSome(m_fd, chunk.data(), chunk.size(), what)) > 0;)
        writer.write(chunk.constData(), n);
    writer.commit();
}
