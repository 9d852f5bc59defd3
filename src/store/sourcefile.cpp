#include "sourcefile.h"

#include "datawriter.h"

#include "text/runtimeerror.h"

using namespace Qt::StringLiterals;

SourceFile::SourceFile(const QUrl &url)
{
    // The file system's own bytes: a name need not be valid UTF-8. A NUL would end the name
    // for the system: "a.txt%00.jpg" would open "a.txt".
    const bool here = sys::LocalFilePath(url, m_path);
    if (!here || m_path.contains('\0'))
        throw RunTimeError(
            Quoted(url.toDisplayString()) + u"は読み込めません。\n"_s +
            (here ? u"ファイル名に使えない文字（NUL）が含まれています。"_s
                  : u"ほかのコンピューター（%1）のファイルです。このコンピューターに保存してから"
                    u"ドロップしてください。"_s.arg(url.host())));
    const QString what = QuotedNative(m_path) + u"は読み込めません。"_s;
    // Decided before opening: opening a device or a FIFO can itself do something (a
    // terminal would become the program's controlling terminal, a FIFO would wait).
    sys::FileInfo info;
    Check(what, sys::Status(m_path, info, sys::Follow::Links));
    if (info.kind == sys::FileKind::Folder)
        Fail(what, sys::Error(sys::Errc::IsFolder));
    if (info.kind != sys::FileKind::Regular)
        throw RunTimeError(what + u"\n通常のファイルではありません（デバイスや名前付きパイプなど）。"_s);
    sys::FileInfo opened;
    Check(what, m_file.open(m_path, sys::Access::Read, sys::Follow::Links));
    Check(what, m_file.info(opened));
    if (opened.id != info.id)
        throw RunTimeError(what + u"\n開く間にファイルが置き換えられました。"_s);
}

bool SourceFile::isSameFileAs(const QString &path) const
{
    sys::FileInfo mine, other;
    return !m_file.info(mine) && !sys::Status(sys::PathBytes(path), other, sys::Follow::Links) &&
           mine.id == other.id;
}

void SourceFile::copyOver(const QString &path, const Progress &progress)
{
    const QString what = QuotedNative(m_path) + u"を読み込めませんでした。"_s;
    sys::FileInfo info;
    const qint64 total = m_file.info(info) ? 0 : info.size;
    DataFileWriter writer(path);
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    qint64 done = 0;
    for (;;) {
        qsizetype n = 0;
        Check(what, m_file.readAt(done, chunk.data(), chunk.size(), n));
        if (n == 0)
            break;
        writer.write(chunk.constData(), n);
        done += n;
        ReportProgress(progress, done, total);
    }
    writer.commit(progress);
}
