#include "datawriter.h"

#include "cp932.h"
#include "linecutter.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

DataFileWriter::DataFileWriter(const QString &path)
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

DataFileWriter::~DataFileWriter()
{
    if (!m_committed) {
        m_fd.reset();
        ::unlink(m_tempPath.constData());
    }
}

void DataFileWriter::write(const char *data, qsizetype size)
{
    WriteAll(m_fd.get(), data, size, m_what);
}

void DataFileWriter::commit()
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
    DataFileWriter writer(path);
    writer.write(bytes.constData(), bytes.size());
    writer.commit();
}
